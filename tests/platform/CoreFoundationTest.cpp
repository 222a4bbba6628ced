#include <CoreFoundation/CoreFoundation.h>

#include "platform/src/CoreFoundation/CFPlugInPrivate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::string utf8(CFStringRef s)
{
    char buffer[512];
    return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "<unconvertible>";
}

// Waits for `done` with a generous limit, so a broken run loop fails the test instead of hanging.
bool eventually(const std::function<bool()>& done)
{
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
        if (done())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// Records what the run loop does with a version-0 source.
struct Probe {
    std::atomic<int> retains{0};
    std::atomic<int> releases{0};
    std::atomic<int> performs{0};
    std::atomic<bool> stopInPerform{false};
    std::mutex lock;
    std::vector<CFRunLoopRef> scheduledOn;
    std::vector<CFRunLoopRef> cancelledOn;
    std::thread::id performThread;
    std::function<void()> onPerform;

    static const void* retain(const void* info)
    {
        static_cast<Probe*>(const_cast<void*>(info))->retains++;
        return info;
    }
    static void release(const void* info) { static_cast<Probe*>(const_cast<void*>(info))->releases++; }
    static void schedule(void* info, CFRunLoopRef rl, CFRunLoopMode)
    {
        auto* p = static_cast<Probe*>(info);
        std::lock_guard<std::mutex> guard(p->lock);
        p->scheduledOn.push_back(rl);
    }
    static void cancel(void* info, CFRunLoopRef rl, CFRunLoopMode)
    {
        auto* p = static_cast<Probe*>(info);
        std::lock_guard<std::mutex> guard(p->lock);
        p->cancelledOn.push_back(rl);
    }
    static void perform(void* info)
    {
        auto* p = static_cast<Probe*>(info);
        {
            std::lock_guard<std::mutex> guard(p->lock);
            p->performThread = std::this_thread::get_id();
        }
        if (p->onPerform)
            p->onPerform();
        p->performs++;
        if (p->stopInPerform)
            CFRunLoopStop(CFRunLoopGetCurrent());
    }

    CFRunLoopSourceRef makeSource()
    {
        CFRunLoopSourceContext context{};
        context.info = this;
        context.retain = retain;
        context.release = release;
        context.schedule = schedule;
        context.cancel = cancel;
        context.perform = perform;
        return CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    }

    std::thread::id lastPerformThread()
    {
        std::lock_guard<std::mutex> guard(lock);
        return performThread;
    }
};

// A thread that runs its own run loop (CFRunLoopRun) until stopped.
class LoopThread {
public:
    LoopThread()
    {
        std::promise<CFRunLoopRef> published;
        auto future = published.get_future();
        m_thread = std::thread([&published] {
            CFRunLoopRef rl = CFRunLoopGetCurrent();
            published.set_value(static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(rl))));
            CFRunLoopRun();
        });
        m_runLoop = future.get();
        m_id = m_thread.get_id();
    }

    ~LoopThread()
    {
        stop();
        CFRelease(m_runLoop);
    }

    void stop()
    {
        if (!m_thread.joinable())
            return;
        CFRunLoopStop(m_runLoop);
        m_thread.join();
    }

    CFRunLoopRef runLoop() const { return m_runLoop; }
    std::thread::id id() const { return m_id; }

private:
    std::thread m_thread;
    CFRunLoopRef m_runLoop = nullptr;
    std::thread::id m_id;
};

void onThread(const std::function<void()>& body)
{
    std::thread thread(body);
    thread.join();
}

// ---------------------------------------------------------------------------------------------
// Objects, retain and release

TEST(CFBase, RetainAndReleaseCountAndNullIsHarmless)
{
    CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, "text", kCFStringEncodingASCII);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(CFGetRetainCount(s), 1);
    EXPECT_EQ(CFRetain(s), s);
    EXPECT_EQ(CFGetRetainCount(s), 2);
    CFRelease(s);
    EXPECT_EQ(CFGetRetainCount(s), 1);
    CFRelease(s);

    CFRelease(nullptr);
    EXPECT_EQ(CFRetain(nullptr), nullptr);
    EXPECT_EQ(CFGetRetainCount(nullptr), 0);
    EXPECT_FALSE(CFEqual(nullptr, nullptr));
    EXPECT_FALSE(CFEqual(CFSTR("a"), nullptr));
    EXPECT_EQ(CFGetTypeID(nullptr), 0u);
}

TEST(CFBase, DictionaryKeepsItsValuesAliveUntilRemovedOrReleased)
{
    // A run-loop source reports its own end through its context's release call-back.
    Probe probe;
    CFRunLoopSourceRef source = probe.makeSource();
    CFStringRef key = CFStringCreateWithCString(nullptr, "source", kCFStringEncodingASCII);
    CFMutableDictionaryRef dict = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(dict, key, source);
    EXPECT_EQ(CFGetRetainCount(key), 2);
    EXPECT_EQ(CFGetRetainCount(source), 2);

    CFRelease(source);
    EXPECT_EQ(probe.releases, 0) << "the dictionary still holds the source";
    CFDictionaryRemoveValue(dict, key);
    EXPECT_EQ(probe.releases, 1) << "removing the last reference frees the source";
    EXPECT_EQ(CFGetRetainCount(key), 1);

    // Releasing the dictionary releases what it holds.
    Probe second;
    CFRunLoopSourceRef other = second.makeSource();
    CFDictionarySetValue(dict, key, other);
    CFRelease(other);
    CFRelease(dict);
    EXPECT_EQ(second.releases, 1);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    CFRelease(key);
}

// ---------------------------------------------------------------------------------------------
// Strings

TEST(CFString, CreatesFromCStringsAndReadsBack)
{
    CFStringRef s = CFStringCreateWithCString(nullptr, "TARSEL", kCFStringEncodingASCII);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(CFStringGetLength(s), 6);
    ASSERT_NE(CFStringGetCStringPtr(s, kCFStringEncodingASCII), nullptr);
    EXPECT_STREQ(CFStringGetCStringPtr(s, kCFStringEncodingASCII), "TARSEL");
    EXPECT_EQ(CFStringGetCharacterAtIndex(s, 1), 'A');
    EXPECT_EQ(CFStringGetCharacterAtIndex(s, 6), 0) << "out of range";
    UniChar chars[3] = {};
    CFStringGetCharacters(s, CFRangeMake(2, 3), chars);
    EXPECT_EQ(chars[0], 'R');
    EXPECT_EQ(chars[2], 'E');

    CFStringRef copy = CFStringCreateCopy(nullptr, s);
    EXPECT_TRUE(CFEqual(copy, s));
    EXPECT_EQ(CFHash(copy), CFHash(s));
    CFRelease(copy);
    CFRelease(s);

    EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingASCII), nullptr);
    CFStringRef empty = CFStringCreateWithCString(nullptr, "", kCFStringEncodingASCII);
    EXPECT_EQ(CFStringGetLength(empty), 0);
    CFRelease(empty);
}

TEST(CFString, GetCStringRespectsTheBufferSize)
{
    CFStringRef s = CFSTR("abcd");
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_TRUE(CFStringGetCString(s, buffer, 5, kCFStringEncodingASCII)) << "four characters and the NUL";
    EXPECT_STREQ(buffer, "abcd");

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(s, buffer, 4, kCFStringEncodingASCII)) << "no room for the NUL";
    EXPECT_EQ(buffer[0], '\0') << "a failed call leaves an empty string behind";
    EXPECT_EQ(buffer[4], 'x') << "nothing is written past the given size";

    EXPECT_FALSE(CFStringGetCString(s, buffer, 0, kCFStringEncodingASCII));
    EXPECT_FALSE(CFStringGetCString(s, nullptr, 8, kCFStringEncodingASCII));
    EXPECT_FALSE(CFStringGetCString(nullptr, buffer, 8, kCFStringEncodingASCII));

    char one[1];
    EXPECT_TRUE(CFStringGetCString(CFSTR(""), one, 1, kCFStringEncodingASCII));
    EXPECT_EQ(one[0], '\0');
}

TEST(CFString, UTF8IsValidatedAndCountsUTF16Units)
{
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3", kCFStringEncodingUTF8), nullptr) << "truncated";
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC0\xAF", kCFStringEncodingUTF8), nullptr) << "overlong";
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xED\xA0\x80", kCFStringEncodingUTF8), nullptr) << "surrogate";
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xFF", kCFStringEncodingUTF8), nullptr);

    CFStringRef note = CFStringCreateWithCString(nullptr, "\xF0\x9F\x8E\xB5!", kCFStringEncodingUTF8);
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(CFStringGetLength(note), 3) << "a surrogate pair and one more unit";
    EXPECT_EQ(utf8(note), "\xF0\x9F\x8E\xB5!");
    CFRelease(note);

    UniChar lone[] = {'a', 0xD800};
    CFStringRef broken = CFStringCreateWithCharacters(nullptr, lone, 2);
    char buffer[16];
    EXPECT_FALSE(CFStringGetCString(broken, buffer, sizeof buffer, kCFStringEncodingUTF8));
    CFRelease(broken);

    const UInt8 withMark[] = {0xEF, 0xBB, 0xBF, 'o', 'k'};
    CFStringRef external = CFStringCreateWithBytes(nullptr, withMark, 5, kCFStringEncodingUTF8, true);
    EXPECT_EQ(utf8(external), "ok");
    CFRelease(external);
}

TEST(CFString, ConstantStringsAreInternedAndNeverFreed)
{
    CFStringRef a = CFSTR("IOProviderClass");
    EXPECT_EQ(a, CFSTR("IOProviderClass"));
    EXPECT_NE(a, CFSTR("IOProviderClasz"));

    CFRetain(a);
    CFRelease(a);
    CFRelease(a);
    CFRelease(a);
    EXPECT_EQ(CFGetRetainCount(a), LONG_MAX);
    EXPECT_EQ(utf8(a), "IOProviderClass") << "still alive after surplus releases";

    CFStringRef made = CFStringCreateWithCString(nullptr, "IOProviderClass", kCFStringEncodingASCII);
    EXPECT_NE(made, a);
    EXPECT_TRUE(CFEqual(made, a));
    EXPECT_EQ(CFHash(made), CFHash(a));
    CFRelease(made);

    EXPECT_TRUE(CFEqual(kCFRunLoopDefaultMode, CFSTR("kCFRunLoopDefaultMode")));
}

// ---------------------------------------------------------------------------------------------
// Dictionaries and numbers

TEST(CFDictionary, KeysMatchByContentOrByPointerWithNullCallBacks)
{
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(matching, CFSTR("IOProviderClass"), CFSTR("ZmKernelDeviceTARSEL"));
    CFStringRef sameText = CFStringCreateWithCString(nullptr, "IOProviderClass", kCFStringEncodingASCII);
    EXPECT_EQ(CFDictionaryGetValue(matching, sameText), CFSTR("ZmKernelDeviceTARSEL"));
    EXPECT_EQ(CFDictionaryGetValue(matching, CFSTR("IOProviderclass")), nullptr);
    // Setting through an equal key replaces the entry's value rather than adding a second entry.
    CFDictionarySetValue(matching, sameText, CFSTR("Other"));
    EXPECT_EQ(CFDictionaryGetCount(matching), 1);
    EXPECT_EQ(CFDictionaryGetValue(matching, CFSTR("IOProviderClass")), CFSTR("Other"));
    CFDictionarySetValue(matching, sameText, CFSTR("Other"));
    EXPECT_EQ(CFGetRetainCount(sameText), 1) << "the first key stays; setting again holds nothing more";
    CFRelease(matching);

    CFMutableDictionaryRef plain = CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr);
    CFStringRef other = CFStringCreateWithCString(nullptr, "IOProviderClass", kCFStringEncodingASCII);
    CFDictionarySetValue(plain, sameText, sameText);
    EXPECT_EQ(CFGetRetainCount(sameText), 1);
    EXPECT_EQ(CFDictionaryGetValue(plain, sameText), sameText);
    EXPECT_EQ(CFDictionaryGetValue(plain, other), nullptr) << "different pointers are different keys";
    CFRelease(plain);
    EXPECT_EQ(CFGetRetainCount(sameText), 1);
    CFRelease(other);
    CFRelease(sameText);
}

// ---------------------------------------------------------------------------------------------
// UUIDs, URLs and plug-in instances

CFUUIDRef halTypeConstant()
{
    return CFUUIDGetConstantUUIDWithBytes(nullptr, 0xF8, 0xBB, 0x1C, 0x28, 0xBA, 0xE8, 0x11, 0xD6, 0x9C,
                                          0x31, 0x00, 0x03, 0x93, 0x15, 0xCD, 0x46);
}

TEST(CFUUID, ConstantsAreOneObjectPerValueAndNeverFreed)
{
    CFUUIDRef a = halTypeConstant();
    EXPECT_EQ(a, halTypeConstant());
    CFRelease(a);
    CFRelease(a);
    EXPECT_EQ(CFGetRetainCount(a), LONG_MAX);
    EXPECT_EQ(CFUUIDGetUUIDBytes(a).byte15, 0x46);

    CFUUIDRef other = CFUUIDGetConstantUUIDWithBytes(nullptr, 0xF8, 0xBB, 0x1C, 0x28, 0xBA, 0xE8, 0x11,
                                                     0xD6, 0x9C, 0x31, 0x00, 0x03, 0x93, 0x15, 0xCD, 0x47);
    EXPECT_NE(a, other);
    EXPECT_FALSE(CFEqual(a, other));


    CFUUIDRef iunknown = CFUUIDCreateFromString(nullptr, CFSTR("00000000-0000-0000-C000-000000000046"));
    EXPECT_TRUE(CFEqual(IUnknownUUID, iunknown));
    CFRelease(iunknown);
}

TEST(CFUUID, StringFormIsUpperCaseAndParsesBack)
{
    CFStringRef text = CFUUIDCreateString(nullptr, halTypeConstant());
    EXPECT_EQ(utf8(text), "F8BB1C28-BAE8-11D6-9C31-00039315CD46");

    CFUUIDRef parsed = CFUUIDCreateFromString(nullptr, text);
    EXPECT_TRUE(CFEqual(parsed, halTypeConstant()));
    CFUUIDRef lower = CFUUIDCreateFromString(nullptr, CFSTR("{f8bb1c28-bae8-11d6-9c31-00039315cd46}"));
    EXPECT_TRUE(CFEqual(lower, halTypeConstant()));

    for (CFStringRef bad : {CFSTR(""), CFSTR("F8BB1C28-BAE8-11D6-9C31-00039315CD4"),
                            CFSTR("F8BB1C28BAE8-11D6-9C31-00039315CD46-"),
                            CFSTR("G8BB1C28-BAE8-11D6-9C31-00039315CD46"),
                            CFSTR("F8BB1C28-BAE8-11D6-9C31-00039315CD46X")})
        EXPECT_EQ(CFUUIDCreateFromString(nullptr, bad), nullptr) << utf8(bad);
    CFRelease(text);
    CFRelease(parsed);
    CFRelease(lower);
}

TEST(CFURL, FileSystemPathsRoundTrip)
{
    const char* path = "/Applications/Utilities/Audio MIDI Setup.app/Contents/Resources/USB.png";
    CFStringRef pathString = CFStringCreateWithCString(nullptr, path, kCFStringEncodingASCII);
    CFURLRef url = CFURLCreateWithFileSystemPath(nullptr, pathString, kCFURLPOSIXPathStyle, false);
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(utf8(CFURLGetString(url)),
              "file:///Applications/Utilities/Audio%20MIDI%20Setup.app/Contents/Resources/USB.png");

    CFStringRef back = CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle);
    EXPECT_TRUE(CFEqual(back, pathString));
    CFRelease(back);

    size_t length = std::strlen(path);
    std::vector<UInt8> buffer(length + 1);
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(url, true, buffer.data(), static_cast<CFIndex>(length + 1)));
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), path);
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url, true, buffer.data(), static_cast<CFIndex>(length)))
        << "no room for the NUL";

    CFURLRef same = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path),
                                                            static_cast<CFIndex>(length), false);
    EXPECT_TRUE(CFEqual(url, same));
    testing::internal::CaptureStderr();
    CFShow(url);
    CFShow(nullptr);
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("file:///Applications/Utilities/Audio%20MIDI"), std::string::npos) << shown;
    EXPECT_NE(shown.find("(null)\n"), std::string::npos) << shown;
    CFRelease(same);
    CFRelease(url);
    CFRelease(pathString);
}

TEST(CFPlugIn, InstanceCountsArePerFactoryValue)
{
    CFUUIDRef factory = CFUUIDCreateWithBytes(nullptr, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90,
                                              0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0x01);
    CFUUIDRef sameValue = CFUUIDCreateFromUUIDBytes(nullptr, CFUUIDGetUUIDBytes(factory));
    CFUUIDRef otherFactory = CFUUIDCreateWithBytes(nullptr, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80,
                                                   0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0x02);
    EXPECT_EQ(_CFPlugInInstanceCount(factory), 0);
    CFPlugInAddInstanceForFactory(factory);
    CFPlugInAddInstanceForFactory(sameValue);
    EXPECT_EQ(_CFPlugInInstanceCount(factory), 2) << "counted by the factory's value";
    EXPECT_EQ(_CFPlugInInstanceCount(otherFactory), 0);

    CFPlugInRemoveInstanceForFactory(factory);
    CFPlugInRemoveInstanceForFactory(factory);
    CFPlugInRemoveInstanceForFactory(factory);
    EXPECT_EQ(_CFPlugInInstanceCount(factory), 0) << "never below zero";
    CFPlugInAddInstanceForFactory(nullptr);
    EXPECT_EQ(_CFPlugInInstanceCount(nullptr), 0);

    // Concurrent instances from many threads add up exactly.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                CFPlugInAddInstanceForFactory(otherFactory);
                CFPlugInAddInstanceForFactory(otherFactory);
                CFPlugInRemoveInstanceForFactory(otherFactory);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(_CFPlugInInstanceCount(otherFactory), 4000);
    for (int i = 0; i < 4000; ++i)
        CFPlugInRemoveInstanceForFactory(otherFactory);
    EXPECT_EQ(_CFPlugInInstanceCount(otherFactory), 0);

    CFRelease(factory);
    CFRelease(sameValue);
    CFRelease(otherFactory);
}

// ---------------------------------------------------------------------------------------------
// Run loops

TEST(CFRunLoop, RunInModeReportsWhyItReturned)
{
    onThread([] {
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false), kCFRunLoopRunFinished)
            << "nothing to wait for";

        Probe probe;
        CFRunLoopSourceRef source = probe.makeSource();
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.02, true), kCFRunLoopRunTimedOut);
        EXPECT_EQ(probe.performs, 0);

        CFRunLoopSourceSignal(source);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true), kCFRunLoopRunHandledSource);
        EXPECT_EQ(probe.performs, 1);

        // Signals coalesce until the source is performed; zero seconds still serves what is ready.
        CFRunLoopSourceSignal(source);
        CFRunLoopSourceSignal(source);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
        EXPECT_EQ(probe.performs, 2);

        probe.stopInPerform = true;
        CFRunLoopSourceSignal(source);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopCommonModes, 10, false), kCFRunLoopRunStopped);
        EXPECT_EQ(probe.performs, 3);

        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false), kCFRunLoopRunFinished);
        CFRelease(source);
    });
}

TEST(CFRunLoop, SourceSignalledFromAnotherThreadPerformsOnTheOwner)
{
    LoopThread loop;
    Probe probe;
    CFRunLoopSourceRef source = probe.makeSource();
    CFRunLoopAddSource(loop.runLoop(), source, kCFRunLoopDefaultMode);
    for (int i = 1; i <= 3; ++i) {
        CFRunLoopSourceSignal(source);
        CFRunLoopWakeUp(loop.runLoop());
        EXPECT_TRUE(eventually([&] { return probe.performs >= i; }));
    }
    EXPECT_EQ(probe.lastPerformThread(), loop.id());

    // Signalling alone wakes the run loops that hold the source.
    CFRunLoopSourceSignal(source);
    EXPECT_TRUE(eventually([&] { return probe.performs >= 4; }));
    loop.stop();
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);
}

TEST(CFRunLoop, ScheduleCancelAndContextReferencesBalance)
{
    Probe probe;
    CFRunLoopSourceRef source = probe.makeSource();
    EXPECT_EQ(probe.retains, 1);
    CFRunLoopSourceContext context{};
    CFRunLoopSourceGetContext(source, &context);
    EXPECT_EQ(context.info, &probe);

    LoopThread first;
    LoopThread second;
    CFRunLoopAddSource(first.runLoop(), source, kCFRunLoopDefaultMode);
    CFRunLoopAddSource(first.runLoop(), source, kCFRunLoopDefaultMode); // already there: no-op
    CFRunLoopAddSource(second.runLoop(), source, kCFRunLoopDefaultMode);
    EXPECT_TRUE(CFRunLoopContainsSource(first.runLoop(), source, kCFRunLoopDefaultMode));
    EXPECT_TRUE(CFRunLoopContainsSource(second.runLoop(), source, kCFRunLoopCommonModes));
    EXPECT_GT(CFGetRetainCount(source), 2) << "each run loop holds the source";
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        EXPECT_EQ(probe.scheduledOn, (std::vector<CFRunLoopRef>{first.runLoop(), second.runLoop()}));
    }

    CFRunLoopRemoveSource(first.runLoop(), source, kCFRunLoopDefaultMode);
    EXPECT_FALSE(CFRunLoopContainsSource(first.runLoop(), source, kCFRunLoopDefaultMode));
    CFRunLoopSourceInvalidate(source);
    EXPECT_FALSE(CFRunLoopSourceIsValid(source));
    EXPECT_FALSE(CFRunLoopContainsSource(second.runLoop(), source, kCFRunLoopDefaultMode));
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        EXPECT_EQ(probe.cancelledOn, (std::vector<CFRunLoopRef>{first.runLoop(), second.runLoop()}));
    }
    CFRunLoopAddSource(first.runLoop(), source, kCFRunLoopDefaultMode);
    EXPECT_FALSE(CFRunLoopContainsSource(first.runLoop(), source, kCFRunLoopDefaultMode))
        << "an invalid source cannot be added";
    CFRunLoopSourceSignal(source);
    CFRunLoopWakeUp(first.runLoop());

    EXPECT_EQ(CFGetRetainCount(source), 1);
    CFRelease(source);
    EXPECT_EQ(probe.releases, 1);
    EXPECT_EQ(probe.performs, 0);
}

TEST(CFRunLoop, InvalidateWaitsForAPerformRunningOnAnotherThread)
{
    LoopThread loop;
    Probe probe;
    std::atomic<bool> inPerform{false};
    std::atomic<bool> invalidating{false};
    std::atomic<bool> performFinished{false};
    probe.onPerform = [&] {
        inPerform = true;
        while (!invalidating)
            std::this_thread::yield();
        std::this_thread::sleep_for(20ms); // long enough for an Invalidate that does not wait to return
        performFinished = true;
    };
    CFRunLoopSourceRef source = probe.makeSource();
    CFRunLoopAddSource(loop.runLoop(), source, kCFRunLoopDefaultMode);
    CFRunLoopSourceSignal(source);
    CFRunLoopWakeUp(loop.runLoop());
    ASSERT_TRUE(eventually([&] { return inPerform.load(); }));
    invalidating = true;
    CFRunLoopSourceInvalidate(source);
    EXPECT_TRUE(performFinished) << "Invalidate returned while perform was still running";

    // Signals after invalidation are never performed.
    int before = probe.performs;
    CFRunLoopSourceSignal(source);
    CFRunLoopWakeUp(loop.runLoop());
    loop.stop();
    EXPECT_EQ(probe.performs, before);
    CFRelease(source);
}

TEST(CFRunLoop, SourceInvalidatedFromItsOwnPerformDoesNotWaitForItself)
{
    onThread([] {
        Probe probe;
        CFRunLoopSourceRef source = probe.makeSource();
        probe.onPerform = [source] { CFRunLoopSourceInvalidate(source); };
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        CFRunLoopSourceSignal(source);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true), kCFRunLoopRunHandledSource);
        EXPECT_FALSE(CFRunLoopSourceIsValid(source));
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true), kCFRunLoopRunFinished);
        CFRelease(source);
    });
}

struct TimerLog {
    std::atomic<int> fired{0};
    int stopAt = 0;
    int invalidateAt = 0;
    std::thread::id thread;

    static void callout(CFRunLoopTimerRef timer, void* info)
    {
        auto* log = static_cast<TimerLog*>(info);
        int n = ++log->fired;
        log->thread = std::this_thread::get_id();
        if (n == log->invalidateAt)
            CFRunLoopTimerInvalidate(timer);
        if (n == log->stopAt)
            CFRunLoopStop(CFRunLoopGetCurrent());
    }

    CFRunLoopTimerRef make(double delay, double interval)
    {
        CFRunLoopTimerContext context{0, this, nullptr, nullptr, nullptr};
        return CFRunLoopTimerCreate(nullptr, CFAbsoluteTimeGetCurrent() + delay, interval, 0, 0, callout, &context);
    }
};

TEST(CFRunLoop, RepeatingTimerFiresUntilInvalidated)
{
    onThread([] {
        TimerLog log;
        log.stopAt = 3;
        log.invalidateAt = 3;
        CFRunLoopTimerRef timer = log.make(0.005, 0.005);
        EXPECT_TRUE(CFRunLoopTimerDoesRepeat(timer));
        EXPECT_DOUBLE_EQ(CFRunLoopTimerGetInterval(timer), 0.005);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
        EXPECT_TRUE(CFRunLoopContainsTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode));
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 20, false), kCFRunLoopRunStopped);
        EXPECT_EQ(log.fired, 3);
        EXPECT_EQ(log.thread, std::this_thread::get_id());
        EXPECT_FALSE(CFRunLoopTimerIsValid(timer));
        EXPECT_FALSE(CFRunLoopContainsTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode));
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.03, false), kCFRunLoopRunFinished);
        EXPECT_EQ(log.fired, 3);
        EXPECT_EQ(CFGetRetainCount(timer), 1);
        CFRelease(timer);
    });
}

TEST(CFRunLoop, TimerInvalidatedFromAnotherThreadNeverFiresAgain)
{
    LoopThread loop;
    TimerLog log;
    CFRunLoopTimerRef timer = log.make(0, 0.002);
    CFRunLoopAddTimer(loop.runLoop(), timer, kCFRunLoopDefaultMode);

    // A timer belongs to one run loop only.
    CFRunLoopAddTimer(CFRunLoopGetMain(), timer, kCFRunLoopDefaultMode);
    EXPECT_FALSE(CFRunLoopContainsTimer(CFRunLoopGetMain(), timer, kCFRunLoopDefaultMode));

    ASSERT_TRUE(eventually([&] { return log.fired >= 3; }));
    CFRunLoopTimerInvalidate(timer);
    int firedAtInvalidate = log.fired;
    std::this_thread::sleep_for(20ms);
    loop.stop();
    EXPECT_EQ(log.fired, firedAtInvalidate);
    EXPECT_EQ(log.thread, loop.id());
    CFRelease(timer);
}

} // namespace
