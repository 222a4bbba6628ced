#include <CoreFoundation/CoreFoundation.h>

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
    std::thread::id performThread;
    std::function<void()> onPerform;

    static const void* retain(const void* info)
    {
        static_cast<Probe*>(const_cast<void*>(info))->retains++;
        return info;
    }
    static void release(const void* info) { static_cast<Probe*>(const_cast<void*>(info))->releases++; }
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
// Objects, strings, dictionaries, UUIDs, URLs and plug-in instances as the suite uses them

// Dictionaries are IOKit's matching dictionaries, tested with it (MatchingTest, IOKitTest).
TEST(CFBase, ReferencesCount)
{
    CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, "text", kCFStringEncodingASCII);
    EXPECT_EQ(CFRetain(s), s);
    EXPECT_EQ(CFGetRetainCount(s), 2);
    CFRelease(s);
    CFRelease(s);
    CFRelease(nullptr);
    EXPECT_EQ(CFRetain(nullptr), nullptr);
    EXPECT_FALSE(CFEqual(CFSTR("a"), nullptr));
}

TEST(CFString, ReadsBackWithinTheBufferAndValidatesUTF8)
{
    CFStringRef s = CFStringCreateWithCString(nullptr, "TARSEL", kCFStringEncodingASCII);
    EXPECT_EQ(CFStringGetLength(s), 6);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(s, buffer, 6, kCFStringEncodingASCII)) << "no room for the NUL";
    EXPECT_EQ(buffer[0], '\0') << "a failed call leaves an empty string behind";
    EXPECT_EQ(buffer[6], 'x') << "nothing is written past the given size";
    EXPECT_TRUE(CFStringGetCString(s, buffer, 7, kCFStringEncodingASCII));
    EXPECT_STREQ(buffer, "TARSEL");
    EXPECT_FALSE(CFStringGetCString(s, nullptr, 8, kCFStringEncodingASCII));
    EXPECT_FALSE(CFStringGetCString(nullptr, buffer, 8, kCFStringEncodingASCII));
    CFRelease(s);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingASCII), nullptr);

    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xFF"}) // truncated, overlong, surrogate
        EXPECT_EQ(CFStringCreateWithCString(nullptr, bad, kCFStringEncodingUTF8), nullptr);
    CFStringRef note = CFStringCreateWithCString(nullptr, "\xF0\x9F\x8E\xB5!", kCFStringEncodingUTF8);
    EXPECT_EQ(CFStringGetLength(note), 3) << "a surrogate pair and one more unit";
    EXPECT_EQ(utf8(note), "\xF0\x9F\x8E\xB5!");
    CFRelease(note);

    // Constant strings are one object per text and survive surplus releases.
    CFStringRef a = CFSTR("IOProviderClass");
    EXPECT_EQ(a, CFSTR("IOProviderClass"));
    CFRelease(a);
    CFRelease(a);
    EXPECT_EQ(CFGetRetainCount(a), LONG_MAX);
    EXPECT_EQ(utf8(a), "IOProviderClass");
}

CFUUIDRef halTypeConstant()
{
    return CFUUIDGetConstantUUIDWithBytes(nullptr, 0xF8, 0xBB, 0x1C, 0x28, 0xBA, 0xE8, 0x11, 0xD6, 0x9C,
                                          0x31, 0x00, 0x03, 0x93, 0x15, 0xCD, 0x46);
}

TEST(CFUUID, ConstantsAreOneObjectAndStringsParse)
{
    CFUUIDRef a = halTypeConstant();
    EXPECT_EQ(a, halTypeConstant());
    CFRelease(a);
    EXPECT_EQ(CFGetRetainCount(a), LONG_MAX);
    CFUUIDRef iunknown = CFUUIDCreateFromString(nullptr, CFSTR("00000000-0000-0000-C000-000000000046"));
    EXPECT_TRUE(CFEqual(IUnknownUUID, iunknown));
    CFRelease(iunknown);

    // As a bundle's property list writes them: either case, braces or none.
    CFUUIDRef lower = CFUUIDCreateFromString(nullptr, CFSTR("{f8bb1c28-bae8-11d6-9c31-00039315cd46}"));
    EXPECT_TRUE(CFEqual(lower, a));
    for (CFStringRef bad : {CFSTR(""), CFSTR("F8BB1C28-BAE8-11D6-9C31-00039315CD4"),
                            CFSTR("F8BB1C28BAE8-11D6-9C31-00039315CD46-"),
                            CFSTR("G8BB1C28-BAE8-11D6-9C31-00039315CD46"),
                            CFSTR("F8BB1C28-BAE8-11D6-9C31-00039315CD46X")})
        EXPECT_EQ(CFUUIDCreateFromString(nullptr, bad), nullptr) << utf8(bad);
    CFRelease(lower);
}

// The plug-in's icon property makes its URL from a path.
TEST(CFURL, AFileSystemPathIsEscaped)
{
    CFStringRef path = CFSTR("/Applications/Audio MIDI Setup.app/Contents/Resources/USB.png");
    CFURLRef url = CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, false);
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(utf8(CFURLGetString(url)), "file:///Applications/Audio%20MIDI%20Setup.app/Contents/Resources/USB.png");
    CFRelease(url);
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
