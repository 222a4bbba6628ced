// The plug-in as programs use it: loaded from its bundle by the HAL of the process, reached
// only through the HAL's client calls, against a private simulated kernel driver.
#include <CoreAudio/AudioHardware.h>
#include <IOKit/IOReturn.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/InterfaceClient.h"
#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"

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

struct Recording {
    std::atomic<int> calls{0};
    std::atomic<float> lastInput{0};
    std::atomic<bool> sawThread{false};
    std::thread::id ioThread;
};

OSStatus recordInput(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                     AudioBufferList*, const AudioTimeStamp*, void* clientData)
{
    auto* r = static_cast<Recording*>(clientData);
    if (!r->sawThread.load()) {
        r->ioThread = std::this_thread::get_id();
        r->sawThread.store(true);
    }
    if (input != nullptr && input->mNumberBuffers > 0 && input->mBuffers[0].mData != nullptr &&
        input->mBuffers[0].mDataByteSize >= 4) {
        const auto* samples = static_cast<const float*>(input->mBuffers[0].mData);
        r->lastInput.store(samples[input->mBuffers[0].mDataByteSize / 4 - 1]);
    }
    r->calls.fetch_add(1);
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

// Two programs, each with its own HAL and plug-in, play at once: the interface mixes them,
// both are in its client records, and a third client hears the mix on the loopback.
TEST_F(HALClient, TwoProcessesPlayAtOnceAndTheInterfaceMixesThem)
{
    const uint32_t service = daemon().plug("default");
    ASSERT_NE(service, 0u);
    const std::vector<AudioDeviceID> devices = halDevices();
    ASSERT_EQ(devices.size(), 1u);
    const AudioDeviceID device = devices[0];

    Recording recording;
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, recordInput, &recording, &id), noErr);
    ASSERT_EQ(AudioDeviceStart(device, id), noErr);

    ProgramRun runs[2];
    std::thread children[2];
    const char* values[2] = {"0.125", "0.25"};
    for (int i = 0; i < 2; ++i)
        children[i] = std::thread([&, i] { runs[i] = runProgram(HAL_PLAY_CHILD, {values[i], "3"}); });

    // While both play: the mix comes back, and the kernel's records hold both processes.
    io_service_t interface = firstService();
    ASSERT_NE(interface, 0u);
    InterfaceClient watcher(interface);
    IOObjectRelease(interface);
    ASSERT_TRUE(watcher.ok());
    std::set<int32_t> streaming;
    const bool mixed = waitUntil([&] {
        for (const ClientData& c : watcher.block().clientBlock.clients)
            if (c.iPid != 0 && c.inUse() != 0)
                streaming.insert(c.iPid);
        return std::fabs(recording.lastInput.load() - 0.375f) < 1e-4f;
    });
    for (std::thread& t : children)
        t.join();
    EXPECT_TRUE(mixed) << "last input " << recording.lastInput.load();
    for (const ProgramRun& run : runs) {
        ASSERT_EQ(run.status, 0) << run.err;
        const int pid = std::atoi(run.out.c_str() + run.out.find("pid ") + 4);
        EXPECT_EQ(streaming.count(pid), 1u) << "process " << pid << " in the client records";
    }
    EXPECT_EQ(streaming.count(getpid()), 1u);

    // Unloading tears the streaming plug-in down: its IOProc is never called afterwards.
    ASSERT_TRUE(recording.sawThread.load());
    EXPECT_NE(recording.ioThread, std::this_thread::get_id());
    ASSERT_EQ(AudioHardwareUnload(), noErr);
    const int last = recording.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(recording.calls.load(), last);
}

} // namespace
