// The ring's 32-bit frame counters wrap (every 27 hours at 44.1 kHz); a reader that stalls
// longer than the ring finds its frames overwritten. Both on the filter and the device
// streaming through the simulated interface's loopback (the time-stamp record's wrap is
// AudioSMTest's).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/AudioSM.h"
#include "device/TimestampFilter.h"
#include "device/IOProcEntry.h"
#include "tests/device/DeviceFixture.h"
#include "tests/device/LoopbackTape.h"

using namespace devicetest;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kNearWrap = 0xFFFFFF00u;

// ---------------------------------------------------------------------------------------------
// The filter

TEST(CounterWrap, SampleTimesFollowA64BitCountAcrossTheWrap)
{
    constexpr uint64_t kT0 = 1'000'000'000'000ull;
    constexpr uint64_t kPeriod = 8'000'000; // 256 frames at 32 kHz: the taps keep it exactly
    constexpr uint64_t kTicksPerFrame = 31250;
    TimestampFilter filter;
    filter.init(32000, 256, 0, 0);
    uint32_t position = kNearWrap - 512;
    filter.updateTimestamps(kT0, position, position + 300);
    for (int n = 1; n <= 6; ++n) {
        position += 256;
        const uint32_t write = position + 300;
        filter.updateTimestamps(kT0 + n * kPeriod, position, write);
        SCOPED_TRACE(n);
        EXPECT_EQ(filter.mNowTime.mSampleTime, 256.0 * n + 300) << "no jump back by 2^32";
        EXPECT_EQ(filter.mInputTime.mSampleTime, 256.0 * n);
        // The writer is 300 frames ahead of the reader, whichever side of the wrap each is.
        EXPECT_EQ(filter.mNowTime.mHostTime, filter.mInputTime.mHostTime + 300 * kTicksPerFrame);
        EXPECT_EQ(filter.mInputTime.mHostTime, kT0 + n * kPeriod);
    }
}

// ---------------------------------------------------------------------------------------------
// The device

// A device whose rings the test can see; `manual` leaves the cycles to the test (the thread
// only does the start and exit hand-shake), so the test plays the kernel's part.
class RingDevice : public ZmOSXDevice {
public:
    RingDevice(DeviceManagerClient* client, io_service_t service, bool manual)
        : ZmOSXDevice(fakePlugIn(), client, service, nullptr), m_manual(manual)
    {
    }

    SInt32 threadRun() override
    {
        if (!m_manual)
            return ZmOSXDevice::threadRun();
        EThreadState expected = kThreadNotRunning;
        m_iThreadState.compare_exchange_strong(expected, kThreadRunning);
        m_startSemaphore.signal();
        while (!isStopRequested())
            usleep(10000);
        onThreadExit();
        return 0;
    }

    // The thread's attach step, less the kernel's registration.
    bool attachHere()
    {
        if (m_eStreamState.load() != kStreamPrepared || !hardwareReady() || !createIOBuffers())
            return false;
        armTimestampFilter();
        m_eStreamState.store(kStreamAttached);
        return true;
    }

    AudioSM* in() const { return static_cast<AudioSM*>(m_pInputRing.load()); }
    AudioSM* out() const { return static_cast<AudioSM*>(m_pOutputRing.load()); }

private:
    bool m_manual;
};

class FrameWrapTest : public DeviceTest {
protected:
    RingDevice* device(const std::string& model, bool manual)
    {
        return publishedBy(model, [&](io_service_t service) { return new RingDevice(&m_client, service, manual); });
    }
};

class FrameWrapLoopback : public FrameWrapTest, public ::testing::WithParamInterface<uint32_t> {};

// Streaming through the loopback, with 37 frames of its own delay, from a quarter of a second
// before the counters wrap: time goes on smoothly, and every played frame comes back in order
// after the round trip the device reports (both latencies and the two buffers in flight) plus
// the loopback's delay, the silent channel silent.
TEST_P(FrameWrapLoopback, StreamingAcrossTheWrapKeepsTimeAndAudio)
{
    constexpr uint32_t kStart = 0u - 11025u;
    constexpr size_t kDelay = 37;
    ASSERT_TRUE(plug("tarsel"));
    ASSERT_EQ(set("frame-start", std::to_string(kStart)), kIOReturnSuccess);
    ASSERT_EQ(set("source", "loopback:" + std::to_string(kDelay)), kIOReturnSuccess);
    releaseService();
    RingDevice* d = device("tarsel", false);
    ASSERT_NE(d, nullptr);
    d->setFrameSize(GetParam(), false, false);
    ASSERT_EQ(d->getFrameSize(), GetParam());
    auto r = std::make_unique<Tape>();
    r->signal = counter;
    ASSERT_TRUE(d->addIOProc(recordAndPlay, r.get()));
    ASSERT_TRUE(d->onDeviceStart(recordAndPlay));
    ASSERT_TRUE(waitForFrames(*r, 44100));
    const uint32_t counter = d->in()->getFramePos();
    const int underruns = underrunsOf(d);
    ASSERT_GE(underruns, 0) << "attached while streaming";
    ASSERT_TRUE(d->removeIOProc(recordAndPlay));
    ASSERT_LT(counter, kStart) << "the input counter wrapped";
    EXPECT_EQ(d->getTimestampFilter().mOverloadCount.load(), 0u);

    // Sample times step by the buffer; host times are the frames' times on the interface's
    // clock, within a part per thousand over the first buffers.
    const size_t calls = std::min(r->calls.load(), Tape::kTimed);
    const double period = GetParam() * 1e9 / d->getFrequency();
    for (size_t c = 1; c < calls; ++c) {
        SCOPED_TRACE(c);
        ASSERT_EQ(r->inputTimes[c].mSampleTime - r->inputTimes[c - 1].mSampleTime, double(r->callFrames[c - 1]));
        const double nowAhead = r->nowTimes[c].mSampleTime - r->inputTimes[c].mSampleTime;
        ASSERT_GE(nowAhead, 0.0);
        ASSERT_LE(nowAhead, 65536.0);
        const double step = double(int64_t(r->inputTimes[c].mHostTime - r->inputTimes[c - 1].mHostTime));
        ASSERT_NEAR(step, period, c < 32 ? period * 1e-3 : period / 2);
    }
    // A machine too busy to keep the I/O thread in time loses audio of its own accord.
    if (underruns != 0)
        GTEST_SKIP() << underruns << " underruns: the ramp cannot come back whole";
    const size_t delay = d->getLatency(false) + d->getLatency(true) + 2 * size_t(GetParam()) + kDelay;
    const size_t frames = std::min(r->frames.load(), Tape::kFrames);
    for (size_t f = 0; f + delay < frames; ++f) {
        ASSERT_EQ(r->input[(f + delay) * 2], throughLoopback(r->output[f * 2])) << "frame " << f;
        ASSERT_EQ(r->input[(f + delay) * 2 + 1], 0.0f) << "frame " << f;
    }
}

INSTANTIATE_TEST_SUITE_P(FrameSizes, FrameWrapLoopback, ::testing::Values(64u, 256u, 1024u));

// The kernel's side of a manual cycle: frames numbered by their position (channel 0) on an
// ideal 48 kHz clock.
struct Kernel {
    static constexpr double kNanosPerFrame = 1e9 / 48000.0;
    uint64_t t0 = 1'000'000'000'000ull;

    uint64_t timeOf(uint32_t frame) const { return t0 + uint64_t(std::llround(frame * kNanosPerFrame)); }

    void deliver(AudioSM& in, uint32_t count)
    {
        std::vector<int32_t> frames(size_t(count) * 2);
        const uint32_t first = in.getFramePos();
        for (uint32_t f = 0; f < count; ++f)
            frames[size_t(f) * 2] = int32_t((first + f) << 8);
        in.writeFrames(frames.data(), count, 0, 2);
        in.writeTimestamp(timeOf(in.getFramePos()));
    }
};

// A stall longer than the ring, between cycles or inside an IOProc: the cycle goes on from the
// newest buffer, with the output the same distance ahead, time moving on by the frames lost,
// and an overload counted.
TEST_F(FrameWrapTest, AnOverrunGoesOnFromTheNewestBuffer)
{
    constexpr uint32_t kFrames = 256;
    RingDevice* d = device("wrenfield-w2-hs", true);
    ASSERT_NE(d, nullptr);
    d->setFrameSize(kFrames, false, false);
    auto r = std::make_unique<Tape>();
    r->signal = counter;
    ASSERT_TRUE(d->addIOProc(recordAndPlay, r.get()));
    ASSERT_TRUE(d->onDeviceStart(recordAndPlay));
    AudioSM& in = *d->in();
    AudioSM& out = *d->out();
    in.init(2, 4096);
    out.init(2, 4096);
    ASSERT_TRUE(d->attachHere());
    ASSERT_EQ(d->getFrequency(), 48000u);
    Kernel kernel;
    kernel.deliver(in, kFrames);
    d->onUSBProc(true);
    ASSERT_EQ(r->calls.load(), 0u) << "the kernel driver does not stream yet: no call";
    EXPECT_EQ(out.loadReadPosition(), 0u);
    out.setStreaming(1);
    d->onUSBProc(true);
    ASSERT_EQ(r->calls.load(), 1u);
    d->onUSBProc(true);
    ASSERT_EQ(r->calls.load(), 1u) << "no frames, no call";

    for (int n = 0; n < 4; ++n) {
        kernel.deliver(in, kFrames);
        d->onUSBProc(true);
    }
    // Three buffers behind: two a wake, the third at the next.
    kernel.deliver(in, 3 * kFrames);
    d->onUSBProc(true);
    ASSERT_EQ(r->calls.load(), 7u);
    d->onUSBProc(true);
    ASSERT_EQ(r->calls.load(), 8u);
    const uint32_t overloads = d->getTimestampFilter().mOverloadCount.load();

    // The ring holds 65536 frames; a stall lets 100000 pile up.
    struct Stall {
        Kernel& kernel;
        AudioSM& in;
        static void run(void* context)
        {
            auto& s = *static_cast<Stall*>(context);
            for (int n = 0; n < 390; ++n)
                s.kernel.deliver(s.in, kFrames);
        }
    } stall{kernel, in};
    // The call that gets the newest buffer after a stall, and the one after it.
    auto expectResumed = [&](size_t call) {
        SCOPED_TRACE(call);
        EXPECT_EQ(out.loadReadPosition(), in.getFramePos());
        EXPECT_EQ(out.getFramePos(), out.loadReadPosition()) << "the output keeps step with the input";
        // At least: a preempted test thread may miss a wake-up as well.
        EXPECT_GE(d->getTimestampFilter().mOverloadCount.load(), overloads + 1);
        const uint32_t newest = in.getFramePos() - kFrames;
        const uint32_t before = newest - uint32_t(r->inputTimes[call].mSampleTime - r->inputTimes[call - 1].mSampleTime);
        EXPECT_EQ(r->input[call * kFrames * 2], throughLoopback(float(newest) / 8388608.0f)) << "the newest frames";
        EXPECT_EQ(r->input[(call - 1) * kFrames * 2], throughLoopback(float(before) / 8388608.0f))
            << "the sample time moved on by the frames lost";
        EXPECT_NEAR(double(r->inputTimes[call].mHostTime), double(kernel.timeOf(newest)), 3.0) << "the stall is no period";

        kernel.deliver(in, kFrames);
        d->onUSBProc(true);
        ASSERT_EQ(r->calls.load(), call + 2);
        EXPECT_EQ(r->inputTimes[call + 1].mSampleTime - r->inputTimes[call].mSampleTime, double(kFrames));
        EXPECT_NEAR(double(r->inputTimes[call + 1].mHostTime), double(kernel.timeOf(newest + kFrames)), 3.0);
    };

    Stall::run(&stall); // between two cycles
    d->onUSBProc(true);
    ASSERT_EQ(r->calls.load(), 9u) << "one buffer, not two of the oldest";
    expectResumed(8);

    // In the first of two buffers of one cycle.
    kernel.deliver(in, 2 * kFrames);
    r->stall = &Stall::run;
    r->stallContext = &stall;
    r->stallAt = 10;
    d->onUSBProc(true);
    ASSERT_EQ(r->calls.load(), 12u);
    expectResumed(11);

    ASSERT_TRUE(d->onDeviceStop(recordAndPlay));
    ASSERT_TRUE(d->removeIOProc(recordAndPlay));
}

} // namespace
