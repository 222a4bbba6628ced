// The device's IOProcs and I/O thread against the simulated interface: registration, start and
// stop, and audio through the interface's loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
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

float sine(size_t frame)
{
    return static_cast<float>(0.5 * std::sin(2.0 * M_PI * 997.0 * static_cast<double>(frame) / 44100.0));
}

// Input frame at which channel 0 first differs from silence, or -1.
long firstSound(const Tape& tape, size_t from = 0)
{
    const size_t frames = std::min(tape.frames.load(), Tape::kFrames);
    for (size_t f = from; f < frames; ++f)
        if (tape.input[f * tape.channels] != 0.0f)
            return static_cast<long>(f);
    return -1;
}

class DeviceIOTest : public DeviceTest {
protected:
    static bool waitForFrames(const Tape& tape, size_t frames)
    {
        return kexttest::waitUntil([&] { return tape.frames.load() >= frames; }, 20s);
    }

    const ClientData* record(ZmOSXDevice* device)
    {
        return device->getDriverSM()->client(device->getAttachSlot());
    }

    // The kernel counts this client's underruns while it streams.
    int underrunsOf(ZmOSXDevice* device)
    {
        ClientData* own = device->getDriverSM()->client(device->getAttachSlot());
        return own == nullptr ? -1 : std::atomic_ref<int32_t>(own->iUnderruns).load();
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
    EXPECT_EQ(usage.mNumberStreams, 1u);
    EXPECT_EQ(usage.mStreamIsOn[0], 0u);
    EXPECT_FALSE(device->ioprocHasAttachedIn());
    EXPECT_TRUE(device->ioprocHasAttachedOut());

    AudioBufferList list{};
    EXPECT_EQ(device->getStreamConfiguration(false, nullptr), OSStatus(kIOReturnError));
    EXPECT_EQ(device->getStreamConfiguration(false, &list), 0);
    EXPECT_EQ(list.mNumberBuffers, 1u);
    EXPECT_EQ(list.mBuffers[0].mNumberChannels, device->getReportedChannels().iOutChannels);
    EXPECT_EQ(list.mBuffers[0].mDataByteSize, device->getFrameSize() * list.mBuffers[0].mNumberChannels * 4);
    EXPECT_EQ(list.mBuffers[0].mData, nullptr);

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

class LoopbackTest : public DeviceIOTest, public ::testing::WithParamInterface<uint32_t> {};

// Silence, one impulse, then half a second of sine.
constexpr size_t kPulse = 20000;
constexpr size_t kSineFrom = kPulse + 8192;
constexpr size_t kSineFrames = 22050;

float pulseThenSine(size_t frame)
{
    if (frame == kPulse)
        return 0.5f;
    return frame >= kSineFrom && frame < kSineFrom + kSineFrames ? sine(frame) : 0.0f;
}

// The control application's measurement: frames from the buffer that starts the pulse to the
// input frame that hears it, what the device reports (both latencies and the two buffers in
// flight) plus the loopback's own delay. What follows comes back sample by sample, within one
// 24-bit step.
TEST_P(LoopbackTest, RoundTripIsTheReportedLatencyPlusTheDelayAndTheSineComesBackExactly)
{
    constexpr uint32_t kDelay = 37;
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(set("source", "loopback:" + std::to_string(kDelay)), kIOReturnSuccess);
    device->setFrameSize(GetParam(), false, false);
    ASSERT_EQ(device->getFrameSize(), GetParam());

    auto tape = std::make_unique<Tape>();
    tape->signal = pulseThenSine;
    ASSERT_TRUE(device->addIOProc(recordAndPlay, tape.get()));
    ASSERT_TRUE(device->onDeviceStart(recordAndPlay));
    ASSERT_TRUE(waitForFrames(*tape, kSineFrom + kSineFrames + 8192));
    const int underruns = underrunsOf(device);
    ASSERT_GE(underruns, 0) << "attached while streaming";
    ASSERT_TRUE(device->removeIOProc(recordAndPlay));

    const long heard = firstSound(*tape);
    ASSERT_GE(heard, 0) << "the pulse never came back";
    const size_t trip = size_t(heard) - kPulse;
    EXPECT_EQ(trip, device->getLatency(false) + device->getLatency(true) + 2 * GetParam() + kDelay);
    EXPECT_EQ(tape->input[size_t(heard) * 2], throughLoopback(0.5f));
    EXPECT_EQ(device->getTimestampFilter().mOverloadCount.load(), 0u);
    // A machine too busy to keep the I/O thread in time loses audio of its own accord.
    if (underruns != 0)
        GTEST_SKIP() << underruns << " underruns: the sine cannot come back whole";
    for (size_t f = kSineFrom; f < kSineFrom + kSineFrames; ++f) {
        const float back = tape->input[(f + trip) * 2];
        ASSERT_EQ(back, throughLoopback(tape->output[f * 2])) << "frame " << f;
        ASSERT_LE(std::fabs(back - tape->output[f * 2]), 1.0f / 8388608.0f) << "frame " << f;
        ASSERT_EQ(tape->input[(f + trip) * 2 + 1], 0.0f) << "the silent channel stays silent";
    }

    // Timed from the first buffer on: sample times step by the buffer, host times are the
    // frames' times on the interface's clock (44.1 kHz, within a part per thousand).
    for (size_t c = 1; c < std::min<size_t>(32, tape->calls.load()); ++c) {
        const AudioTimeStamp& before = tape->inputTimes[c - 1];
        const AudioTimeStamp& now = tape->inputTimes[c];
        ASSERT_NE(before.mHostTime, 0u) << "call " << c - 1;
        EXPECT_EQ(now.mSampleTime - before.mSampleTime, double(GetParam())) << "call " << c;
        const double nanos = double(now.mHostTime - before.mHostTime);
        EXPECT_NEAR(nanos, GetParam() * 1e9 / 44100.0, GetParam() * 1e9 / 44100.0 * 1e-3) << "call " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(FrameSizes, LoopbackTest, ::testing::Values(64u, 256u, 1024u));

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

// Two other processes stream at once, and a third process (this one) finds both in the client
// records. How the interface mixes clients is AudioEngineTest's.
TEST_F(DeviceIOTest, TwoStreamingProcessesAreListedForAThird)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    FILE* first = popen(STREAM_CLIENT " 1000 4", "r");
    FILE* second = popen(STREAM_CLIENT " 234 4", "r");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    char line[64] = {};
    int pids[2] = {0, 0};
    ASSERT_NE(fgets(line, sizeof line, first), nullptr);
    ASSERT_EQ(sscanf(line, "streaming %d", &pids[0]), 1) << line;
    ASSERT_NE(fgets(line, sizeof line, second), nullptr);
    ASSERT_EQ(sscanf(line, "streaming %d", &pids[1]), 1) << line;

    auto tape = std::make_unique<Tape>();
    ASSERT_TRUE(device->addIOProc(recordAndPlay, tape.get()));
    ASSERT_TRUE(device->onDeviceStart(recordAndPlay));
    ASSERT_TRUE(waitForFrames(*tape, 30000));

    const KernelStatusBlock* s = device->getDriverSM();
    int listed = 0;
    for (size_t slot = 0; slot < kClientRecords; ++slot) {
        const ClientData& c = s->clientBlock.clients[slot];
        if (c.iPid == pids[0] || c.iPid == pids[1]) {
            ++listed;
            EXPECT_GT(c.iIOCycles, 0);
            EXPECT_NE(c.iFrameSize, 0u);
        }
    }
    EXPECT_EQ(listed, 2);
    EXPECT_GE(s->streamingCount(), 3u);
    device->removeIOProc(recordAndPlay);
    EXPECT_EQ(pclose(first), 0);
    EXPECT_EQ(pclose(second), 0);
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
    EXPECT_EQ(seen.input.mNumberBuffers, 1u);
    EXPECT_EQ(seen.input.mBuffers[0].mNumberChannels, 0u);
    EXPECT_EQ(seen.input.mBuffers[0].mData, nullptr);

    // Input without output buffers: the output's shape without data, and nothing to take.
    seen.answer = 0;
    EXPECT_FALSE(entry.callIOProc(1, &time, &input, &time, nullptr, &time, inSettings, outSettings));
    ASSERT_FALSE(seen.outputWasNull);
    EXPECT_EQ(seen.output.mBuffers[0].mNumberChannels, 6u);
    EXPECT_EQ(seen.output.mBuffers[0].mDataByteSize, 24u);
    EXPECT_EQ(seen.output.mBuffers[0].mData, nullptr);

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
