// Where HAL threads meet a device's I/O thread: the attach step against a close, IOProcs that
// start, stop or remove procs from inside the cycle while a HAL thread starts one, and
// concurrent registration. Real threads with explicit hand-shakes; run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/KernelStatusBlock.h"
#include "foundation/IntSpinLock.h"
#include "tests/device/DeviceFixture.h"

using namespace devicetest;
using namespace std::chrono_literals;
using kexttest::runLoopUntil;

namespace {

// A device whose start/stop lock word a test can look at and hold.
class ProbeDevice : public ZmOSXDevice {
public:
    using ZmOSXDevice::ZmOSXDevice;
    SInt32* lockWord() { return &m_iLock; }
    // Another thread is spinning for the lock while someone holds it.
    bool lockContended() { return std::atomic_ref<SInt32>(m_iLock).load() >= 2; }
    bool lockHeld() { return std::atomic_ref<SInt32>(m_iLock).load() != 0; }
};

class DeviceThreadsTest : public DeviceTest {
protected:
    // An initialised device on the Tarsel, held by the fixture.
    ProbeDevice* probe(DeviceManagerClient* client = nullptr, AudioHardwarePlugInRef plugIn = fakePlugIn())
    {
        return publishedBy("tarsel", [&](io_service_t service) {
            return new ProbeDevice(plugIn, client != nullptr ? client : &m_client, service, nullptr);
        });
    }
};

// Counts its calls in `data`, if given; each instance is a proc of its own.
template <int>
OSStatus counting(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                  AudioBufferList*, const AudioTimeStamp*, void* data)
{
    if (data != nullptr)
        ++*static_cast<std::atomic<int>*>(data);
    return 0;
}
constexpr AudioDeviceIOProc silent = counting<0>;
constexpr AudioDeviceIOProc other = counting<1>;

// What the self-stopping IOProc does once a HAL thread is starting another proc.
enum class Then { StopSelfAgain, RemoveSelf, StartAnother };

struct Script {
    ProbeDevice* device = nullptr;
    Then then = Then::StopSelfAgain;
    std::atomic<bool> go{false};
    std::atomic<bool> stoppedSelf{false};
    std::atomic<bool> done{false};
    std::atomic<int> calls{0};
};

OSStatus selfStopping(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                      AudioBufferList*, const AudioTimeStamp*, void* data)
{
    auto& script = *static_cast<Script*>(data);
    ++script.calls;
    if (!script.go.exchange(false))
        return 0;
    ProbeDevice& device = *script.device;
    device.onDeviceStop(selfStopping);
    script.stoppedSelf = true;
    // The HAL thread's start holds the lock, or has prepared the stream and let it go.
    while (!device.lockHeld() && device.getStreamState() != kStreamPrepared)
        std::this_thread::yield();
    switch (script.then) {
    case Then::StopSelfAgain:
        device.onDeviceStop(selfStopping);
        break;
    case Then::RemoveSelf:
        device.removeIOProc(selfStopping);
        break;
    case Then::StartAnother:
        device.onDeviceStart(other);
        break;
    }
    script.done = true;
    return 0;
}

} // namespace

// A close that comes while the I/O thread is inside its attach step (the kernel has not yet
// answered request 2): the attach must not leave a client record in use behind the close.
TEST_F(DeviceThreadsTest, ACloseDuringTheAttachStepLeavesNoClientRecordInUse)
{
    ProbeDevice* device = probe();
    ASSERT_NE(device, nullptr);
    // Prepared while the lock is held; then the kernel is kept busy, so that the attach step
    // waits for request 2's answer.
    std::atomic<bool> kernelBusy{false}, releaseKernel{false};
    std::thread kernel;
    {
        IntSpinLock hold(device->lockWord());
        ASSERT_TRUE(device->prepareHardware());
        kernel = std::thread([&] {
            daemon().thread().call([&](kext::Daemon&) {
                kernelBusy = true;
                kexttest::waitUntil([&] { return releaseKernel.load(); }, 30s);
                return 0;
            });
        });
        if (!kexttest::waitUntil([&] { return kernelBusy.load(); })) {
            releaseKernel = true;
            kernel.join();
            FAIL() << "the kernel never took the call";
        }
    }
    // Only the I/O thread takes the lock now: it holds it in the attach step.
    ASSERT_TRUE(kexttest::waitUntil([&] { return device->lockHeld(); }));
    std::atomic<bool> closeReturned{false};
    std::thread closer([&] {
        device->closeDevice(false);
        closeReturned = true;
    });
    // The closer waits for the attach step to let the lock go (a closer that does not wait
    // returns at once and the attach lands after it).
    kexttest::waitUntil([&] { return closeReturned.load() || device->lockContended(); }, 2s);
    releaseKernel = true;
    kernel.join();
    closer.join();
    ASSERT_TRUE(kexttest::waitUntil([&] { return !device->lockHeld(); }));
    EXPECT_EQ(device->getStreamState(), kStreamIdle);
    EXPECT_FALSE(device->isRunningStream());
    EXPECT_EQ(std::atomic_ref<uint32_t>(device->getDriverSM()->clientBlock.iStreamingCount).load(), 0u);
}

class SelfStopTest : public DeviceThreadsTest, public ::testing::WithParamInterface<Then> {};

// An IOProc stops itself; a HAL thread then starts another proc (which re-prepares the rings);
// the first IOProc, still inside the cycle, stops, removes or starts a proc. Nobody may wait
// for the cycle while holding the lock that the IOProc needs.
TEST_P(SelfStopTest, AHALStartDuringTheCycleDoesNotDeadlockAnIOProcThatCallsBack)
{
    ProbeDevice* device = probe();
    ASSERT_NE(device, nullptr);
    Script script;
    script.device = device;
    script.then = GetParam();
    std::atomic<int> startedCalls{0}, otherCalls{0};
    ASSERT_TRUE(device->addIOProc(selfStopping, &script));
    ASSERT_TRUE(device->addIOProc(silent, &startedCalls));
    ASSERT_TRUE(device->addIOProc(other, &otherCalls));
    ASSERT_TRUE(device->onDeviceStart(selfStopping));
    ASSERT_TRUE(kexttest::waitUntil([&] { return script.calls.load() > 0; }));

    script.go = true;
    ASSERT_TRUE(kexttest::waitUntil([&] { return script.stoppedSelf.load(); }));
    EXPECT_TRUE(device->onDeviceStart(silent));
    EXPECT_TRUE(script.done.load());

    // Streaming comes back for the proc the HAL thread started.
    ASSERT_TRUE(kexttest::waitUntil([&] { return device->getStreamState() == kStreamAttached; }));
    const int started = startedCalls.load(), others = otherCalls.load();
    EXPECT_TRUE(kexttest::waitUntil([&] { return startedCalls.load() > started; }));
    if (GetParam() == Then::StartAnother) {
        EXPECT_TRUE(kexttest::waitUntil([&] { return otherCalls.load() > others; }));
    }
    device->removeIOProc(other);
    device->removeIOProc(silent);
    device->removeIOProc(selfStopping);
    EXPECT_EQ(device->getStreamState(), kStreamIdle);
}

INSTANTIATE_TEST_SUITE_P(Callbacks, SelfStopTest,
                         ::testing::Values(Then::StopSelfAgain, Then::RemoveSelf, Then::StartAnother));

// An IOProc that stops itself ends the stream from the I/O thread: the HAL hears that the
// device stopped running, but on the run loop, not from inside the cycle.
namespace {
size_t runningNotes() { return countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyDeviceIsRunning); }

struct StopSelf {
    ZmOSXDevice* device = nullptr;
    std::atomic<long> toldInCycle{-1};
};

OSStatus stopSelfAndLook(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                         AudioBufferList*, const AudioTimeStamp*, void* data)
{
    auto& self = *static_cast<StopSelf*>(data);
    const size_t before = runningNotes();
    if (self.toldInCycle.load() < 0 && self.device->onDeviceStop(stopSelfAndLook))
        self.toldInCycle = long(runningNotes() - before);
    return 0;
}
} // namespace

TEST_F(DeviceThreadsTest, AnIOProcStoppingItselfIsToldToTheHALOnTheRunLoop)
{
    StopSelf self{.device = probe()};
    ASSERT_NE(self.device, nullptr);
    ASSERT_TRUE(self.device->addIOProc(stopSelfAndLook, &self));
    ASSERT_TRUE(self.device->onDeviceStart(stopSelfAndLook));
    const size_t started = runningNotes();
    ASSERT_TRUE(kexttest::waitUntil([&] { return self.toldInCycle.load() >= 0; }));
    EXPECT_EQ(self.toldInCycle.load(), 0);
    // Both scopes, once the run loop has run.
    runLoopUntil([&] { return runningNotes() >= started + 2; });
    EXPECT_EQ(runningNotes(), started + 2);
    self.device->removeIOProc(stopSelfAndLook);
}

// Two HAL threads add one proc at once: one entry, so it is never called twice a cycle.
TEST_F(DeviceThreadsTest, ConcurrentAddsOfOneProcMakeOneEntry)
{
    ProbeDevice* device = probe();
    ASSERT_NE(device, nullptr);
    constexpr int kRounds = 300;
    // Both adders wait for the start of a round, so that their calls overlap.
    std::atomic<int> round{0}, ready{0}, finished{0};
    auto adder = [&] {
        for (int r = 1; r <= kRounds; ++r) {
            ++ready;
            while (round.load() < r)
                std::this_thread::yield();
            device->addIOProc(silent, nullptr);
            ++finished;
        }
    };
    std::thread first(adder), second(adder);
    int duplicated = 0;
    for (int r = 1; r <= kRounds; ++r) {
        while (ready.load() < 2 * r)
            std::this_thread::yield();
        round = r;
        while (finished.load() < 2 * r)
            std::this_thread::yield();
        EXPECT_TRUE(device->removeIOProc(silent));
        if (device->removeIOProc(silent))
            ++duplicated;
    }
    first.join();
    second.join();
    EXPECT_EQ(duplicated, 0);
}
