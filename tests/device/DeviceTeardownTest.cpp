// A device released while its IOProc holds the I/O thread longer than the close waits for it:
// the object is not freed before the thread has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "tests/device/DeviceFixture.h"

using namespace devicetest;
using namespace std::chrono_literals;

namespace {

// Notes the I/O thread's state at the moment its storage goes.
class TeardownProbe : public ZmOSXDevice {
public:
    TeardownProbe(AudioHardwarePlugInRef plugIn, DeviceManagerClient* client, io_service_t service)
        : ZmOSXDevice(plugIn, client, service, nullptr)
    {
        s_threadState = &m_iThreadState;
    }

    // A pair with the delete below, so that both sides of the allocation match.
    static void* operator new(std::size_t size) { return ::operator new(size); }
    static void operator delete(void* storage)
    {
        // The state word is an atomic without a destructor: it still holds the last value here.
        s_stateAtFree = s_threadState->load();
        s_freed = true;
        ::operator delete(storage);
    }

    static inline std::atomic<EThreadState>* s_threadState = nullptr;
    static inline std::atomic<EThreadState> s_stateAtFree{kThreadRunning};
    static inline std::atomic<bool> s_freed{false};
};

struct Blocker {
    std::mutex lock;
    std::condition_variable changed;
    bool armed = false;
    bool blocking = false;
    bool released = false;
};

OSStatus blocking(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                  AudioBufferList*, const AudioTimeStamp*, void* data)
{
    auto& blocker = *static_cast<Blocker*>(data);
    std::unique_lock<std::mutex> guard(blocker.lock);
    if (!blocker.armed || blocker.blocking)
        return 0;
    blocker.blocking = true;
    blocker.changed.notify_all();
    blocker.changed.wait(guard, [&] { return blocker.released; });
    return 0;
}

class DeviceTeardownTest : public DeviceTest {};

} // namespace

TEST_F(DeviceTeardownTest, TheLastReleaseWaitsForAnIOThreadThatAnIOProcHoldsBeyondTheCloseTimeout)
{
    ASSERT_TRUE(plug("tarsel"));
    auto* device = new TeardownProbe(fakePlugIn(), &m_client, m_service);
    device->incReferences();
    ASSERT_TRUE(device->init());
    device->setFrameSize(1024, false, false);
    Blocker blocker;
    ASSERT_TRUE(device->addIOProc(blocking, &blocker));
    ASSERT_TRUE(device->onDeviceStart(blocking));
    {
        std::unique_lock<std::mutex> guard(blocker.lock);
        blocker.armed = true;
        ASSERT_TRUE(blocker.changed.wait_for(guard, 10s, [&] { return blocker.blocking; }));
    }

    std::thread releaser([device] { device->decReferences(); });
    // Longer than the close waits for the thread to end.
    std::this_thread::sleep_for(3500ms);
    {
        std::lock_guard<std::mutex> guard(blocker.lock);
        blocker.released = true;
    }
    blocker.changed.notify_all();
    releaser.join();

    EXPECT_TRUE(TeardownProbe::s_freed.load());
    EXPECT_EQ(TeardownProbe::s_stateAtFree.load(), kThreadNotRunning);
}
