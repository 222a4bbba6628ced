#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
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

// Counts the performs of a version-0 source and notes the thread of the last.
struct Probe {
    std::atomic<int> performs{0};
    std::atomic<std::thread::id> performThread;

    static void perform(void* info)
    {
        auto* p = static_cast<Probe*>(info);
        p->performThread = std::this_thread::get_id();
        p->performs++;
    }

    CFRunLoopSourceRef makeSource()
    {
        CFRunLoopSourceContext context{};
        context.info = this;
        context.perform = perform;
        return CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
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

// ---------------------------------------------------------------------------------------------
// Objects, strings, UUIDs and URLs as the suite uses them

// Dictionaries are IOKit's matching dictionaries, tested with it (IOKitTest, and the device manager's tests).
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

TEST(CFString, ReadsBackWithinTheBuffer)
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
    CFRelease(s);

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
// Run loops: the sources of notification ports and of the HAL's thread, and the device's timer

TEST(CFRunLoop, SourceSignalledFromAnotherThreadPerformsOnTheOwnerUntilRemoved)
{
    LoopThread loop;
    Probe probe;
    CFRunLoopSourceRef source = probe.makeSource();
    CFRunLoopAddSource(loop.runLoop(), source, kCFRunLoopDefaultMode);
    for (int i = 1; i <= 3; ++i) {
        // Signalling alone wakes the run loops that hold the source.
        CFRunLoopSourceSignal(source);
        EXPECT_TRUE(eventually([&] { return probe.performs >= i; }));
    }
    EXPECT_EQ(probe.performThread.load(), loop.id());

    CFRunLoopRemoveSource(loop.runLoop(), source, kCFRunLoopDefaultMode);
    CFRunLoopSourceSignal(source);
    CFRunLoopWakeUp(loop.runLoop());
    loop.stop();
    EXPECT_EQ(probe.performs, 3);
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);
}

struct TimerLog {
    std::atomic<int> fired{0};
    int stopAt = 0;
    int invalidateAt = 0;
    std::thread::id thread;
    std::function<void()> onFire;

    static void callout(CFRunLoopTimerRef timer, void* info)
    {
        auto* log = static_cast<TimerLog*>(info);
        log->thread = std::this_thread::get_id();
        if (log->onFire)
            log->onFire();
        int n = ++log->fired;
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

// Invalidated from its own call-out, the timer does not wait for itself.
TEST(CFRunLoop, RepeatingTimerFiresOnItsRunLoopUntilInvalidated)
{
    std::thread([] {
        TimerLog log;
        log.stopAt = 3;
        log.invalidateAt = 3;
        CFRunLoopTimerRef timer = log.make(0.005, 0.005);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 20, false), kCFRunLoopRunStopped);
        EXPECT_EQ(log.fired, 3);
        EXPECT_EQ(log.thread, std::this_thread::get_id());
        EXPECT_FALSE(CFRunLoopContainsTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode));
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.03, false), kCFRunLoopRunFinished);
        EXPECT_EQ(log.fired, 3);
        EXPECT_EQ(CFGetRetainCount(timer), 1);
        CFRelease(timer);
    }).join();
}

// The device stops its timer from another thread while a call-out may be running: the
// invalidation waits for it, and nothing fires after.
TEST(CFRunLoop, TimerInvalidatedFromAnotherThreadWaitsForItsCalloutAndNeverFiresAgain)
{
    LoopThread loop;
    TimerLog log;
    std::atomic<bool> inCallout{false};
    std::atomic<bool> invalidating{false};
    std::atomic<bool> calloutFinished{false};
    log.onFire = [&] {
        if (log.fired < 2)
            return;
        inCallout = true;
        while (!invalidating)
            std::this_thread::yield();
        std::this_thread::sleep_for(20ms); // long enough for an Invalidate that does not wait to return
        calloutFinished = true;
    };
    CFRunLoopTimerRef timer = log.make(0, 0.002);
    CFRunLoopAddTimer(loop.runLoop(), timer, kCFRunLoopDefaultMode);
    ASSERT_TRUE(eventually([&] { return inCallout.load(); }));
    invalidating = true;
    CFRunLoopTimerInvalidate(timer);
    EXPECT_TRUE(calloutFinished) << "Invalidate returned while the call-out was still running";
    const int firedAtInvalidate = log.fired;
    std::this_thread::sleep_for(20ms);
    loop.stop();
    EXPECT_EQ(log.fired, firedAtInvalidate);
    EXPECT_EQ(log.thread, loop.id());
    CFRelease(timer);
}

} // namespace
