// The device's IOProcs and I/O thread against the simulated interface: registration, start and
// stop, mixing, frame-size changes and input ownership through the interface's loopback (the
// round trip itself is FrameWrapTest's).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <tuple>
#include <vector>

#include "device/KernelStatusBlock.h"
#include "device/IOProcEntry.h"
#include "tests/device/DeviceFixture.h"
#include "tests/device/LoopbackTape.h"

using namespace devicetest;
using namespace std::chrono_literals;

namespace {

OSStatus another(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                 AudioBufferList*, const AudioTimeStamp*, void*)
{
    return 0;
}

class DeviceIOTest : public DeviceTest {
protected:
    ClientData* record(ZmOSXDevice* device)
    {
        return device->getDriverSM()->client(device->getAttachSlot());
    }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Registration, start and stop

TEST_F(DeviceIOTest, RegistrationKeepsOneEntryPerProcAndRefusesWhatIsUnknown)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    Tape first, second;

    EXPECT_FALSE(device->addIOProc(nullptr, &first));
    EXPECT_FALSE(device->onDeviceStart(recordAndPlay)) << "never added";
    ASSERT_TRUE(device->addIOProc(recordAndPlay, &first));
    ASSERT_TRUE(device->addIOProc(recordAndPlay, &second)) << "the second client data replaces the first";
    EXPECT_TRUE(device->onDeviceStop(recordAndPlay)) << "stopping what does not run changes nothing";
    EXPECT_EQ(device->getAttachedIOProcs(), 0);
    EXPECT_EQ(device->getStreamState(), kStreamIdle);

    AudioHardwareIOProcStreamUsage usage{};
    usage.mIOProc = reinterpret_cast<void*>(another);
    EXPECT_EQ(device->getStreamUsage(&usage, true), OSStatus(kIOReturnNoDevice));
    usage.mIOProc = reinterpret_cast<void*>(recordAndPlay);
    usage.mStreamIsOn[0] = 0;
    EXPECT_EQ(device->setStreamUsage(&usage, true), 0);
    usage.mStreamIsOn[0] = 1;
    EXPECT_EQ(device->getStreamUsage(&usage, true), 0);
    EXPECT_EQ(std::tuple(usage.mNumberStreams, usage.mStreamIsOn[0], device->ioprocHasAttachedIn(),
                         device->ioprocHasAttachedOut()),
              std::tuple(1u, 0u, false, true));

    AudioBufferList list{};
    EXPECT_EQ(device->getStreamConfiguration(false, nullptr), OSStatus(kIOReturnError));
    EXPECT_EQ(device->getStreamConfiguration(false, &list), 0);
    const UInt32 channels = device->getReportedChannels().iOutChannels;
    EXPECT_EQ(std::tuple(list.mNumberBuffers, list.mBuffers[0].mNumberChannels, list.mBuffers[0].mDataByteSize,
                         list.mBuffers[0].mData),
              std::tuple(1u, channels, device->getFrameSize() * channels * 4, nullptr));

    // One entry: it goes with one removal.
    EXPECT_TRUE(device->removeIOProc(recordAndPlay));
    EXPECT_FALSE(device->removeIOProc(recordAndPlay));
}

TEST_F(DeviceIOTest, StartingAttachesAndRemovingARunningProcDetaches)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    Tape tape;
    ASSERT_TRUE(device->addIOProc(recordAndPlay, &tape));
    ASSERT_TRUE(device->onDeviceStart(recordAndPlay));
    EXPECT_EQ(device->getAttachedIOProcs(), 1);
    ASSERT_TRUE(kexttest::waitUntil([&] { return device->getStreamState() == kStreamAttached; }));
    ASSERT_NE(record(device), nullptr);
    EXPECT_EQ(record(device)->iPid, getpid());
    EXPECT_EQ(record(device)->iFrameSize, device->getFrameSize());
    ASSERT_TRUE(kexttest::waitUntil([&] { return std::atomic_ref<int32_t>(record(device)->iIOCycles).load() > 0; }))
        << "each cycle is counted in the client record";
    EXPECT_GE(device->getDriverSM()->streamingCount(), 1u);
    EXPECT_GE(countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyDeviceIsRunning), 2u);

    // A second start of the same proc is not counted twice.
    ASSERT_TRUE(device->onDeviceStart(recordAndPlay));
    EXPECT_EQ(device->getAttachedIOProcs(), 1);

    ASSERT_TRUE(device->removeIOProc(recordAndPlay));
    EXPECT_EQ(device->getAttachedIOProcs(), 0);
    EXPECT_EQ(device->getStreamState(), kStreamIdle);
    EXPECT_EQ(device->getAttachSlot(), -1);
}

TEST_F(DeviceIOTest, DeviceStartsWithoutProcAreCountedUntilTheLastStop)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->onDeviceStart(nullptr));
    ASSERT_TRUE(device->onDeviceStart(nullptr));
    ASSERT_TRUE(kexttest::waitUntil([&] { return device->getStreamState() == kStreamAttached; }));
    std::this_thread::sleep_for(50ms); // a few cycles of the I/O thread with no IOProc to call
    ASSERT_TRUE(device->onDeviceStop(nullptr));
    EXPECT_EQ(device->getStreamState(), kStreamAttached);
    ASSERT_TRUE(device->onDeviceStop(nullptr));
    EXPECT_EQ(device->getStreamState(), kStreamIdle);
    ASSERT_TRUE(device->onDeviceStop(nullptr)) << "one stop too many is harmless";
    EXPECT_EQ(device->getStreamState(), kStreamIdle);
}

// ---------------------------------------------------------------------------------------------
// Audio through the loopback

TEST_F(DeviceIOTest, TwoIOProcsAreMixedByIntegerAddition)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    auto one = std::make_unique<Tape>();
    auto two = std::make_unique<Tape>();
    one->constant = 1000.0f / 8388608.0f;
    two->constant = 234.0f / 8388608.0f;
    ASSERT_TRUE(device->addIOProc(recordAndPlay, one.get()));
    ASSERT_TRUE(device->addIOProc(another, nullptr));
    ASSERT_TRUE(device->onDeviceStart(recordAndPlay));
    // The second tape rides on a proc of its own: the same function cannot be added twice.
    static Tape* s_two = two.get();
    auto second = [](AudioDeviceID d, const AudioTimeStamp* n, const AudioBufferList* i, const AudioTimeStamp* it,
                     AudioBufferList* o, const AudioTimeStamp* ot, void*) {
        return recordAndPlay(d, n, i, it, o, ot, s_two);
    };
    ASSERT_TRUE(device->addIOProc(second, nullptr));
    ASSERT_TRUE(device->onDeviceStart(second));
    ASSERT_TRUE(waitForFrames(*one, 30000));
    ASSERT_TRUE(device->onDeviceStop(second));
    ASSERT_TRUE(device->onDeviceStop(recordAndPlay));

    // Somewhere the two overlapped: the input carried the integer sum.
    const float sum = throughLoopback(1234.0f / 8388608.0f);
    bool mixed = false;
    for (size_t f = 0; f < std::min(one->frames.load(), Tape::kFrames) && !mixed; ++f)
        mixed = one->input[f * 2] == sum;
    EXPECT_TRUE(mixed);
    device->removeIOProc(second);
    device->removeIOProc(recordAndPlay);
}

// The new size starts at a buffer boundary, and the played ramp comes back whole around each
// change: a smaller write-ahead skips exactly the frames it no longer holds back, a larger one
// leaves exactly that many frames of silence, and no old audio is played again.
TEST_F(DeviceIOTest, FrameSizeChangesWhileStreamingTakeEffectBetweenBuffers)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    device->setFrameSize(256, false, false);
    auto tape = std::make_unique<Tape>();
    tape->signal = counter;
    ASSERT_TRUE(device->addIOProc(recordAndPlay, tape.get()));
    ASSERT_TRUE(device->onDeviceStart(recordAndPlay));
    ASSERT_TRUE(waitForFrames(*tape, 20000));
    const uint32_t aheadLarge = device->getOutputWriteAhead();
    device->setFrameSize(128, false, false);
    EXPECT_EQ(device->getFrameSize(), 128u) << "reported at once, applied by the I/O thread";
    // Past one lap of the output ring, so that the slots a larger write-ahead skips held audio.
    ASSERT_TRUE(waitForFrames(*tape, 80000));
    const uint32_t aheadSmall = device->getOutputWriteAhead();
    device->setFrameSize(256, false, false);
    ASSERT_TRUE(waitForFrames(*tape, 110000));
    const int underruns = underrunsOf(device);
    ASSERT_GE(underruns, 0) << "attached while streaming";
    ASSERT_TRUE(device->removeIOProc(recordAndPlay));
    ASSERT_LT(aheadSmall, aheadLarge);
    const long delta = long(aheadLarge - aheadSmall);

    // Call sizes: 256, then 128, then 256 again, each switch at one boundary.
    const size_t calls = std::min(tape->calls.load(), tape->callFrames.size());
    std::vector<uint32_t> sizes{tape->callFrames[0]};
    for (size_t c = 1; c < calls; ++c)
        if (tape->callFrames[c] != sizes.back())
            sizes.push_back(tape->callFrames[c]);
    EXPECT_EQ(sizes, (std::vector<uint32_t>{256, 128, 256}));

    // A machine too busy to keep the I/O thread in time loses audio of its own accord.
    if (underruns != 0)
        GTEST_SKIP() << underruns << " underruns: the ramp cannot come back whole";
    const long start = firstSound(*tape);
    ASSERT_GE(start, 0);
    const size_t frames = std::min(tape->frames.load(), Tape::kFrames);
    auto value = [&](size_t f) { return std::lround(double(tape->input[f * 2]) * 2147483520.0 / 256.0); };
    size_t skips = 0, gaps = 0;
    for (size_t f = size_t(start) + 1; f < frames; ++f) {
        const long step = value(f) - value(f - 1);
        if (step == 1)
            continue;
        if (value(f) != 0) {
            ++skips;
            EXPECT_EQ(step, delta + 1) << "a skip at frame " << f;
            continue;
        }
        // Silence: as long as the write-ahead grew, then the ramp goes on where it stopped.
        size_t end = f;
        while (end < frames && value(end) == 0)
            ++end;
        if (end == frames)
            break;
        ++gaps;
        EXPECT_EQ(long(end - f), delta) << "a gap at frame " << f;
        EXPECT_EQ(value(end), value(f - 1) + 1) << "after the gap at frame " << f;
        f = end;
    }
    EXPECT_EQ(skips, 1u);
    EXPECT_EQ(gaps, 1u);
    EXPECT_EQ(device->getTimestampFilter().mOverloadCount.load(), 0u);
    EXPECT_EQ(record(device), nullptr) << "removed: detached";
}

TEST_F(DeviceIOTest, InputOwnedByAnotherClientIsSilenceWhileOutputGoesOn)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    auto tape = std::make_unique<Tape>();
    tape->constant = 0.25f;
    ASSERT_TRUE(device->addIOProc(recordAndPlay, tape.get()));
    ASSERT_TRUE(device->onDeviceStart(recordAndPlay));
    ASSERT_TRUE(waitForFrames(*tape, 10000));
    ASSERT_NE(firstSound(*tape), -1);
    // Another client takes the input.
    std::atomic_ref<uint32_t>(device->getDriverSM()->iInputOwner[0]).store(0x1234);
    const size_t from = tape->frames.load() + 2048;
    ASSERT_TRUE(waitForFrames(*tape, from + 10000));
    EXPECT_EQ(firstSound(*tape, from), -1);
    EXPECT_GT(tape->frames.load(), from) << "the IOProc is still called";
    std::atomic_ref<uint32_t>(device->getDriverSM()->iInputOwner[0]).store(0);
    device->removeIOProc(recordAndPlay);
}

// HAL threads add, start, stop and remove IOProcs while the I/O thread calls them: a proc is
// never called once its stop or removal has returned (run under ThreadSanitizer too).
TEST_F(DeviceIOTest, AStoppedOrRemovedProcIsNeverCalledAgain)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    device->setFrameSize(64, false, false);
    ASSERT_TRUE(device->onDeviceStart(nullptr)); // keeps the stream up between the rounds
    auto tape = std::make_unique<Tape>();
    for (int round = 0; round < 30; ++round) {
        tape->mustNotRun = false;
        ASSERT_TRUE(device->addIOProc(recordAndPlay, tape.get()));
        ASSERT_TRUE(device->addIOProc(another, nullptr));
        ASSERT_TRUE(device->onDeviceStart(recordAndPlay));
        ASSERT_TRUE(device->onDeviceStart(another));
        const size_t calls = tape->calls.load();
        ASSERT_TRUE(kexttest::waitUntil([&] { return tape->calls.load() > calls; }));
        if (round % 2 == 0) {
            ASSERT_TRUE(device->onDeviceStop(recordAndPlay));
            tape->mustNotRun = true;
            std::this_thread::sleep_for(5ms);
            ASSERT_TRUE(device->removeIOProc(recordAndPlay));
        } else {
            ASSERT_TRUE(device->removeIOProc(recordAndPlay));
            tape->mustNotRun = true;
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(device->removeIOProc(another));
    }
    EXPECT_FALSE(tape->ranWhenItMustNot.load());
    ASSERT_TRUE(device->onDeviceStop(nullptr));
}

namespace {

// What the last call of `inspect` was given.
struct Seen {
    int calls = 0;
    AudioBufferList input{};
    AudioBufferList output{};
    bool outputWasNull = false;
    OSStatus answer = 0;
};

OSStatus inspect(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                 AudioBufferList* out, const AudioTimeStamp*, void* data)
{
    auto& seen = *static_cast<Seen*>(data);
    ++seen.calls;
    seen.input = *in;
    seen.outputWasNull = out == nullptr;
    if (out != nullptr)
        seen.output = *out;
    return seen.answer;
}

AudioBufferList oneBuffer(uint32_t channels, void* data)
{
    AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {channels, channels * 4 * 64, data};
    return list;
}

} // namespace

TEST_F(DeviceIOTest, AnIOProcIsCalledWithTheBuffersThatSuitItsDirections)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    Seen seen;
    IOProcEntry entry(device, inspect, &seen);
    float samples[64 * 2] = {};
    AudioBufferList input = oneBuffer(2, samples), output = oneBuffer(2, samples), none = oneBuffer(0, nullptr);
    VkChannelSettings inSettings{}, outSettings{};
    outSettings.iOutChannels = 6;
    const AudioTimeStamp time{};

    EXPECT_FALSE(entry.callIOProc(1, &time, &input, &time, &output, &time, inSettings, outSettings));
    EXPECT_EQ(seen.calls, 0) << "not started";

    entry.start();
    ASSERT_TRUE(entry.isRunning());
    EXPECT_TRUE(entry.callIOProc(1, &time, &input, &time, &output, &time, inSettings, outSettings));
    EXPECT_EQ(seen.output.mBuffers[0].mData, samples);

    // No input channels: an empty input list; the answer is the proc's.
    seen.answer = 1;
    EXPECT_FALSE(entry.callIOProc(1, &time, &none, &time, &output, &time, inSettings, outSettings));
    EXPECT_EQ(std::tuple(seen.input.mNumberBuffers, seen.input.mBuffers[0].mNumberChannels, seen.input.mBuffers[0].mData),
              std::tuple(1u, 0u, nullptr));

    // Input without output buffers: the output's shape without data, and nothing to take.
    seen.answer = 0;
    EXPECT_FALSE(entry.callIOProc(1, &time, &input, &time, nullptr, &time, inSettings, outSettings));
    ASSERT_FALSE(seen.outputWasNull);
    const AudioBuffer& shape = seen.output.mBuffers[0];
    EXPECT_EQ(std::tuple(shape.mNumberChannels, shape.mDataByteSize, shape.mData), std::tuple(6u, 24u, nullptr));

    // A usage switched off holds until the next call.
    AudioHardwareIOProcStreamUsage usage{};
    entry.setStreamUsage(&usage, true);
    EXPECT_FALSE(entry.hasIOProcIn());
    entry.callIOProc(1, &time, &input, &time, &output, &time, inSettings, outSettings);
    EXPECT_TRUE(entry.hasIOProcIn());

    entry.stop();
    EXPECT_FALSE(entry.isRunning());
    const int calls = seen.calls;
    EXPECT_FALSE(entry.callIOProc(1, &time, &input, &time, &output, &time, inSettings, outSettings));
    EXPECT_EQ(seen.calls, calls);
    EXPECT_EQ(device->getAttachedIOProcs(), 0);
}
