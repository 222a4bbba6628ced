// The plug-in as programs use it: loaded from its bundle by the HAL of the process, reached
// only through the HAL's client calls, against a private simulated kernel driver. Streaming
// from several processes is the device layer's test (DeviceIOTest), their mix the kernel
// driver's (AudioEngineTest).
#include <CoreAudio/AudioHardware.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"

namespace {

using namespace kexttest;

std::vector<AudioDeviceID> halDevices()
{
    UInt32 size = 0;
    if (AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDevices, &size, nullptr) != noErr)
        return {};
    std::vector<AudioDeviceID> ids(size / sizeof(AudioDeviceID));
    if (!ids.empty() && AudioHardwareGetProperty(kAudioHardwarePropertyDevices, &size, ids.data()) != noErr)
        return {};
    ids.resize(size / sizeof(AudioDeviceID));
    return ids;
}

// How often the system's device-list listener was called, and on which threads.
struct DeviceListLog {
    std::mutex lock;
    std::atomic<int> calls{0};
    std::set<std::thread::id> threads;
};

OSStatus deviceListChanged(AudioHardwarePropertyID, void* clientData)
{
    auto* log = static_cast<DeviceListLog*>(clientData);
    std::lock_guard guard(log->lock);
    log->threads.insert(std::this_thread::get_id());
    ++log->calls;
    return noErr;
}

class HALClient : public KextTest {
protected:
    void SetUp() override
    {
        KextTest::SetUp();
        setenv("TARSEL_HAL_PLUGIN_DIR", TARSEL_PLUGIN_FOLDER, 1);
    }
    void TearDown() override
    {
        AudioHardwareUnload();
        unsetenv("TARSEL_HAL_PLUGIN_DIR");
        KextTest::TearDown();
    }

    PrivateHome m_home;
};

TEST_F(HALClient, HotPlugReachesTheSystemListenersOnTheNotificationThread)
{
    ASSERT_NE(daemon().plug("default"), 0u);
    const std::vector<AudioDeviceID> first = halDevices();
    ASSERT_EQ(first.size(), 1u) << "the plug-in was found, loaded and initialised";

    DeviceListLog log;
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDevices, deviceListChanged, &log), noErr);
    const uint32_t second = daemon().plug("tarsel-fs");
    ASSERT_NE(second, 0u);
    // The first load's own announcement may still be on its way: wait for the list itself.
    std::vector<AudioDeviceID> both;
    ASSERT_TRUE(waitUntil([&] { return (both = halDevices()).size() == 2 && log.calls > 0; }));
    const int heard = log.calls;
    const AudioDeviceID added = both[0] == first[0] ? both[1] : both[0];
    EXPECT_NE(added, first[0]);

    ASSERT_EQ(daemon().unplug(second), KERN_SUCCESS);
    ASSERT_TRUE(waitUntil([&] { return log.calls > heard && halDevices() == first; }));
    {
        std::lock_guard guard(log.lock);
        EXPECT_EQ(log.threads.count(std::this_thread::get_id()), 0u);
    }
    Float64 rate = 0;
    UInt32 size = sizeof(rate);
    EXPECT_NE(AudioDeviceGetProperty(added, 0, false, kAudioDevicePropertyNominalSampleRate, &size, &rate), noErr)
        << "the unplugged device's ID names nothing any more";
    EXPECT_EQ(AudioHardwareRemovePropertyListener(kAudioHardwarePropertyDevices, deviceListChanged), noErr);
}

} // namespace
