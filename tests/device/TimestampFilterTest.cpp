#include "device/TimestampFilter.h"

#include <CoreAudio/HostTime.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <tuple>

namespace {

int64_t tapSum(const Filter& filter)
{
    return std::accumulate(std::begin(filter.mTaps), std::end(filter.mTaps), int64_t(0));
}

void expectStamp(const AudioTimeStamp& stamp, double sampleTime, uint64_t hostTime, const char* which)
{
    SCOPED_TRACE(which);
    EXPECT_EQ(stamp.mSampleTime, sampleTime);
    EXPECT_EQ(stamp.mHostTime, hostTime);
    EXPECT_EQ(stamp.mRateScalar, 1.0);
    EXPECT_EQ(stamp.mFlags, 7u);
}

constexpr uint64_t kT0 = 1'000'000'000'000ull;

// Rate, buffer size, host ticks per buffer, per frame and to the wake, buffer nanoseconds.
using Timing = std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t>;
Timing timing(const TimestampFilter& f)
{
    return {f.mSampleRate, f.mBufferSize, f.mHostTicksPerBuffer, f.mHostTicksPerFrame, f.mHostTicksToWake,
            f.mBufferNanos};
}

// Input and output offsets, and the sample times of the input and the output stamps.
std::tuple<uint64_t, uint64_t, double, double> offsets(const TimestampFilter& f)
{
    return {f.mInputOffset, f.mOutputOffset, f.mInputTime.mSampleTime, f.mOutputTime.mSampleTime};
}

} // namespace

TEST(Filter, PredictsThePeriodAndFollowsAStepChange)
{
    Filter filter;
    filter.init(3200, 1000);
    EXPECT_EQ(tapSum(filter), 3200) << "the taps share the period out";
    for (uint64_t k = 1; k <= 40; ++k)
        EXPECT_EQ(filter.get(1000 + 3200 * k), 1000 + 3200 * k) << "a steady clock is predicted exactly, " << k;

    // After a step the estimate moves toward the new period, never past it, and gets there
    // once every tap has taken a new sample in.
    for (const int64_t target : {6400, 1600}) {
        SCOPED_TRACE(target);
        filter.init(3200, 500);
        int64_t previous = 3200;
        for (int n = 0; n < 15; ++n) {
            const int64_t last = filter.mLastTime, period = filter.mPeriod;
            EXPECT_EQ(filter.get(uint64_t(last + target)), uint64_t(last + period)) << "the prior prediction";
            EXPECT_LE(std::abs(target - filter.mPeriod), std::abs(target - previous)) << n;
            previous = filter.mPeriod;
        }
        EXPECT_EQ(filter.mPeriod, target);
    }

    // A period that is not a multiple of the tap shifts settles just below, and stays.
    filter.init(5333333, 0);
    for (int k = 0; k < 200; ++k)
        filter.get(uint64_t(filter.mLastTime + filter.mPeriod));
    EXPECT_GE(filter.mPeriod, 5333312);
    EXPECT_LE(filter.mPeriod, 5333333);
}

TEST(Filter, ATimeGoingBackwardsGivesAPeriodOfZeroNotANegativeOne)
{
    Filter filter;
    filter.init(32, 1000);
    EXPECT_EQ(filter.get(0), 1032u) << "the prediction before the sample";
    EXPECT_EQ(std::tuple(filter.mPeriod, filter.mLastTime), std::tuple(int64_t(0), int64_t(1032)));

    filter.init(0, 10);
    EXPECT_EQ(filter.get(5), 10u);
    EXPECT_EQ(std::tuple(filter.get(10), filter.mPeriod), std::tuple(uint64_t(10), int64_t(0)));
}

TEST(TimestampFilter, InitDerivesTheTimingFields)
{
    TimestampFilter filter;
    filter.mFirstHostTime = 5;
    filter.mNextWakeTime = 5;
    // Rate 0 counts as 44100.
    filter.init(0, 256, 10, 20);
    EXPECT_EQ(filter.mHostTicksPerSecond, 1.0e9);
    EXPECT_EQ(timing(filter), Timing(44100, 256, 5804988, 22675, 4643990, 5804988));
    EXPECT_EQ(std::tuple(filter.mInputOffset, filter.mOutputOffset, filter.mFirstHostTime, filter.mNextWakeTime),
              std::tuple(266u, 276u, 0u, 0u));

    // 256 frames at 48 kHz: a wake 0.8 x 5.33 ms, about 4.27 ms, after each buffer.
    filter.init(48000, 256, 0, 0);
    EXPECT_EQ(timing(filter), Timing(48000, 256, 5333333, 20833, 4266666, 5333333));

    // Absurd sizes saturate instead of converting an out-of-range double.
    filter.initTiming(1, UINT64_MAX);
    EXPECT_EQ(std::tuple(filter.mHostTicksPerBuffer, filter.mHostTicksPerFrame), std::tuple(UINT64_MAX, uint64_t(1e9)));
}

TEST(TimestampFilter, FirstAndLaterBuffers)
{
    TimestampFilter filter;
    filter.init(48000, 256, 32, 64); // offsets: input 288, output 320
    EXPECT_EQ(filter.calcSleepNanos(300, false), 500000u) << "before the first buffer";

    const uint64_t before = AudioGetCurrentHostTime();
    const uint64_t now = filter.updateTimestamps(kT0, 5000, 5300);
    const uint64_t after = AudioGetCurrentHostTime();
    EXPECT_TRUE(now >= before && now <= after);
    EXPECT_EQ(std::tuple(filter.mNextWakeTime, filter.mFirstHostTime, filter.mFirstPosition),
              std::tuple(now + 4266666, kT0, 5000u));
    const uint64_t nowHost = kT0 + 288 * 20833;
    expectStamp(filter.mNowTime, 288, nowHost, "now, first");
    expectStamp(filter.mInputTime, 0, kT0, "input, first");
    expectStamp(filter.mOutputTime, 608, nowHost + 320 * 20833, "output, first");
    EXPECT_EQ(std::tuple(filter.mFilter.mPeriod, filter.mFilter.mLastTime), std::tuple(int64_t(5333333), int64_t(kT0)));

    // A late buffer: the host times follow the prediction, not the jittered kernel time.
    const uint64_t predicted = kT0 + 5333333;
    filter.updateTimestamps(predicted + 900, 5256, 5600);
    expectStamp(filter.mInputTime, 256, predicted, "input, second");
    expectStamp(filter.mOutputTime, 864, predicted + 608 * 20833, "output, second");
    expectStamp(filter.mNowTime, 600, predicted + 344 * 20833, "now, second");
    EXPECT_EQ(std::tuple(filter.mFirstHostTime, filter.mFilter.mLastTime), std::tuple(kT0, int64_t(predicted)));
    // The late sample enters with a quarter: (5333333 + 900) / 4 beside the aged taps of init.
    EXPECT_EQ(filter.mFilter.mPeriod, 1333558 + 2 * 666666 + 4 * 333333 + 8 * 166666);

    // Positions before the first one give negative sample times, and a write count behind the
    // read position puts the current host time before the buffer's.
    const uint64_t predicted3 = predicted + uint64_t(filter.mFilter.mPeriod);
    filter.updateTimestamps(predicted3, 5512, 4990);
    expectStamp(filter.mNowTime, -10, predicted3 - 522 * 20833, "now, behind");
}

TEST(TimestampFilter, NoKernelTimeKeepsTheFirstBufferState)
{
    TimestampFilter filter;
    filter.init(48000, 256, 0, 0);
    filter.updateTimestamps(0, 100, 400);
    expectStamp(filter.mInputTime, 0, 0, "input, no time");
    EXPECT_EQ(std::tuple(filter.mFirstHostTime, filter.mNextWakeTime != 0), std::tuple(uint64_t(0), true))
        << "the wake-up is planned all the same";

    filter.updateTimestamps(kT0, 356, 700);
    EXPECT_EQ(std::tuple(filter.mFirstHostTime, filter.mFirstPosition), std::tuple(kT0, 356u));
    expectStamp(filter.mInputTime, 0, kT0, "input, first with time");
    expectStamp(filter.mNowTime, 256, kT0 + 256 * 20833, "now, first with time");
    EXPECT_EQ(filter.mFilter.mLastTime, int64_t(kT0));
}

TEST(TimestampFilter, OutputHostTimeUsesA32BitOffsetSum)
{
    TimestampFilter filter;
    filter.init(48000, 256, 0x100000000ull - 256, 0); // offsets 2^32 and 256
    filter.updateTimestamps(kT0, 0, 256);
    expectStamp(filter.mOutputTime, 4294967552.0, kT0 + 0x100000000ull * 20833 + 256 * 20833,
                "output, first: full sum");
    filter.updateTimestamps(kT0 + 5333333, 256, 512);
    expectStamp(filter.mOutputTime, 4294967552.0 + 256, kT0 + 5333333 + 256 * 20833, "output, later: 32-bit sum");
}

TEST(TimestampFilter, PrepareRetimesOnlyOnRateOrSizeChanges)
{
    TimestampFilter filter;
    filter.init(48000, 256, 32, 64);
    filter.updateTimestamps(kT0, 0, 256);
    filter.updateTimestamps(kT0 + 5333333 + 3200, 256, 512);
    const int64_t period = filter.mFilter.mPeriod;
    ASSERT_NE(period, 5333333);

    filter.prepare(48000, 256, 1000, 2000);
    EXPECT_EQ(offsets(filter), std::tuple(288u, 320u, 256.0, 864.0)) << "latency changes alone do not re-prepare";
    EXPECT_EQ(filter.mFilter.mPeriod, period);

    // Smaller buffers: both offsets shrink by 128 frames.
    const int64_t lastTime = filter.mFilter.mLastTime;
    filter.prepare(48000, 128, 32, 64);
    EXPECT_EQ(timing(filter), Timing(48000, 128, 2666666, 20833, 2133332, 2666666));
    EXPECT_EQ(offsets(filter), std::tuple(160u, 192u, 256.0 + 128, 864.0 - 128 - 128));
    EXPECT_EQ(std::tuple(filter.mFilter.mPeriod, filter.mFilter.mLastTime, filter.mFilter.mTaps[0]),
              std::tuple(int64_t(2666666), lastTime, int64_t(2666666 / 4)));

    // A new rate with new latencies: input +352 - 160, output +416 - 192.
    filter.prepare(96000, 256, 96, 160);
    EXPECT_EQ(std::tuple(filter.mSampleRate, filter.mHostTicksPerFrame), std::tuple(96000u, uint64_t(10416)));
    EXPECT_EQ(offsets(filter), std::tuple(352u, 416u, 384.0 - 192, 608.0 + 224 + 192));
    EXPECT_EQ(filter.mFilter.mPeriod, 2666666);

    // A rate of 0 is compared as given, so it never equals the stored 44100 and every prepare
    // re-times (and restarts the period estimate).
    filter.init(0, 256, 0, 0);
    filter.updateTimestamps(kT0, 0, 256);
    filter.updateTimestamps(kT0 + 5804988 + 3200, 256, 512);
    ASSERT_NE(filter.mFilter.mPeriod, 5804988);
    filter.prepare(0, 256, 0, 0);
    EXPECT_EQ(std::tuple(filter.mSampleRate, filter.mFilter.mPeriod, filter.mInputTime.mSampleTime),
              std::tuple(44100u, int64_t(5804988), 256.0))
        << "offsets unchanged: no shift";
}

TEST(TimestampFilter, SleepUntilTheWakeOrTheMissingFrames)
{
    TimestampFilter filter;
    filter.init(48000, 256, 0, 0);
    filter.updateTimestamps(kT0, 0, 256);

    testing::internal::CaptureStdout();
    EXPECT_EQ(filter.calcSleepNanos(300, false), 0u) << "a full buffer left without a switch";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ALERT TimestampFilter::calcSleepNanos nAvailableFrames(300) >= mBufferSize(256) while "
              "!bWasBufferswitch\n");

    // The planned wake-up lies ahead: sleep until it, for full buffers and for missing frames
    // that arrive before it.
    for (const unsigned long available : {256ul, 300ul, 255ul}) {
        SCOPED_TRACE(available);
        const uint64_t before = AudioGetCurrentHostTime();
        filter.mNextWakeTime = before + 3600'000'000'000ull;
        const unsigned long nanos = filter.calcSleepNanos(available, true);
        const uint64_t after = AudioGetCurrentHostTime();
        EXPECT_LE(nanos, filter.mNextWakeTime - before);
        EXPECT_GE(nanos, filter.mNextWakeTime - after);
    }

    // The wake-up has passed: missing frames decide, each a frame's ticks away.
    filter.mNextWakeTime = 1;
    EXPECT_EQ(filter.calcSleepNanos(56, true), 200u * 20833);
    EXPECT_EQ(filter.calcSleepNanos(0, false), 256u * 20833);
}

TEST(TimestampFilter, OverloadsShortenTheSleep)
{
    TimestampFilter filter;
    filter.init(48000, 256, 0, 0);
    filter.updateTimestamps(kT0, 0, 256);
    filter.mNextWakeTime = 1; // the planned wake-up has passed

    testing::internal::CaptureStdout();
    EXPECT_EQ(filter.calcSleepNanos(256, true), 100000u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "TimestampFilter::calcSleepNanos -> detected application caused overload (1)\n");

    // A frame shorter than a host tick: the missing frames are due at once.
    filter.init(2'000'000'000, 256, 0, 0);
    EXPECT_EQ(filter.mHostTicksPerFrame, 0u);
    filter.updateTimestamps(kT0, 0, 256);
    filter.mNextWakeTime = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(filter.calcSleepNanos(10, true), 100000u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "TimestampFilter::calcSleepNanos -> detected application caused overload (2)\n");
}

// The I/O thread's diagnostics wait for another thread, which prints the same texts.
TEST(TimestampFilter, DeferredTextsComeOutWhenFlushedAndOnlyThen)
{
    TimestampFilter filter;
    filter.setDeferredTexts(true);
    filter.init(48000, 256, 0, 0);
    filter.updateTimestamps(kT0, 0, 256);
    testing::internal::CaptureStdout();
    EXPECT_EQ(filter.calcSleepNanos(300, false), 0u);
    filter.mNextWakeTime = 1;
    EXPECT_EQ(filter.calcSleepNanos(256, true), 100000u);
    EXPECT_EQ(filter.calcSleepNanos(256, true), 100000u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(std::tuple(filter.mAlertCount.load(), filter.mOverloadCount.load()), std::tuple(1u, 2u));

    testing::internal::CaptureStdout();
    filter.flushTexts();
    filter.flushTexts();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ALERT TimestampFilter::calcSleepNanos nAvailableFrames(300) >= mBufferSize(256) while "
              "!bWasBufferswitch\n"
              "TimestampFilter::calcSleepNanos -> detected application caused overload (1)\n"
              "TimestampFilter::calcSleepNanos -> detected application caused overload (1)\n");
}
