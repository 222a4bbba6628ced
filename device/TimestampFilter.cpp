#include "device/TimestampFilter.h"

#include <CoreAudio/HostTime.h>
#include <mach/mach_time.h>

#include <cstdio>

namespace {

constexpr UInt32 kTimeStampFlags =
    kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;

// Converting a double outside 0..2^64 to an integer is undefined: saturate instead (and take
// NaN as 0), so absurd rates or sizes give absurd but defined timings.
uint64_t truncateToU64(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= 18446744073709551616.0)
        return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

// A difference of two 64-bit counters, read as signed (modular conversion, no overflow), so a
// count that went down shifts sample times back instead of by 2^64.
double signedDifference(uint64_t a, uint64_t b)
{
    return static_cast<double>(static_cast<int64_t>(a - b));
}

void setTimeStamp(AudioTimeStamp& stamp, double sampleTime, uint64_t hostTime)
{
    stamp.mSampleTime = sampleTime;
    stamp.mHostTime = hostTime;
    stamp.mRateScalar = 1.0;
    stamp.mFlags = kTimeStampFlags;
}

} // namespace

void Filter::init(unsigned long long period, unsigned long long time)
{
    // Unsigned to signed is modular since C++20; host times beyond 2^63 do not occur.
    mPeriod = static_cast<int64_t>(period);
    mLastTime = static_cast<int64_t>(time);
    const int64_t quarter = static_cast<int64_t>(period >> 2);
    const int64_t eighth = static_cast<int64_t>(period >> 3);
    const int64_t sixteenth = static_cast<int64_t>(period >> 4);
    const int64_t thirtySecond = static_cast<int64_t>(period >> 5);
    mTaps[0] = quarter;
    for (int i = 1; i <= 2; ++i)
        mTaps[i] = eighth;
    for (int i = 3; i <= 6; ++i)
        mTaps[i] = sixteenth;
    for (int i = 7; i <= 14; ++i)
        mTaps[i] = thirtySecond;
}

unsigned long long Filter::get(unsigned long long measuredTime)
{
    // Host-time sums wrap in unsigned arithmetic rather than overflow the signed words.
    const uint64_t lastTime = static_cast<uint64_t>(mLastTime);
    const uint64_t predicted = lastTime + static_cast<uint64_t>(mPeriod);
    const int64_t sample = static_cast<int64_t>(measuredTime - lastTime);
    mLastTime = static_cast<int64_t>(predicted);

    // Age the taps; >> of a negative value is an arithmetic shift (defined since C++20).
    for (int i = 14; i > 7; --i)
        mTaps[i] = mTaps[i - 1];
    mTaps[7] = mTaps[6] >> 1;
    for (int i = 6; i > 3; --i)
        mTaps[i] = mTaps[i - 1];
    mTaps[3] = mTaps[2] >> 1;
    mTaps[2] = mTaps[1];
    mTaps[1] = mTaps[0] >> 1;
    mTaps[0] = sample >> 2;

    // Summed modulo 2^64: the taps of init's unsigned period need not fit a signed sum.
    uint64_t sum = 0;
    for (int64_t tap : mTaps)
        sum += static_cast<uint64_t>(tap);
    const int64_t period = static_cast<int64_t>(sum);
    mPeriod = period < 0 ? 0 : period;
    return predicted;
}

void TimestampFilter::init(unsigned long long rate, unsigned long long bufferSize,
                           unsigned long long inputLatency, unsigned long long outputLatency)
{
    mach_timebase_info_data_t timebase{};
    // A failed call or a zero numerator would divide by zero: take host ticks as nanoseconds.
    if (mach_timebase_info(&timebase) == KERN_SUCCESS && timebase.numer != 0)
        mHostTicksPerSecond = 1.0e9 * timebase.denom / timebase.numer;
    else
        mHostTicksPerSecond = 1.0e9;
    mFirstHostTime = 0;
    mInputOffset = inputLatency + bufferSize;
    mOutputOffset = outputLatency + bufferSize;
    initTiming(rate, bufferSize);
    mNextWakeTime = 0;
}

void TimestampFilter::initTiming(unsigned long long rate, unsigned long long bufferSize)
{
    mBufferSize = bufferSize;
    mSampleRate = rate != 0 ? rate : 44100;
    const double rateHz = static_cast<double>(mSampleRate);
    mHostTicksPerBuffer = truncateToU64(static_cast<double>(mBufferSize) * mHostTicksPerSecond / rateHz);
    mHostTicksPerFrame = truncateToU64(mHostTicksPerSecond / rateHz);
    mHostTicksToWake = truncateToU64(0.8 * static_cast<double>(mHostTicksPerBuffer));
    mBufferNanos = AudioConvertHostTimeToNanos(mHostTicksPerBuffer);
}

void TimestampFilter::prepare(unsigned long long rate, unsigned long long bufferSize,
                              unsigned long long inputLatency, unsigned long long outputLatency)
{
    if (rate == mSampleRate && bufferSize == mBufferSize)
        return;
    const uint64_t newIn = inputLatency + bufferSize;
    const uint64_t newOut = outputLatency + bufferSize;
    initTiming(rate, bufferSize);
    const double inShift = signedDifference(newIn, mInputOffset);
    const double outShift = signedDifference(newOut, mOutputOffset);
    mInputTime.mSampleTime -= inShift;
    mOutputTime.mSampleTime += outShift + inShift;
    mInputOffset = newIn;
    mOutputOffset = newOut;
    mFilter.init(mHostTicksPerBuffer, static_cast<unsigned long long>(mFilter.mLastTime));
}

unsigned long long TimestampFilter::updateTimestamps(unsigned long long hostTime,
                                                     unsigned long long readPosition,
                                                     unsigned long long writeCount)
{
    // Host-time arithmetic is unsigned: it wraps instead of overflowing. The ring's counters
    // are 32-bit: the writer's distance from the reader is their signed wrapping difference.
    const uint32_t write32 = static_cast<uint32_t>(writeCount);
    const int64_t writeAhead = static_cast<int32_t>(write32 - static_cast<uint32_t>(readPosition));
    if (mFirstHostTime == 0) {
        // A host time of 0 (no time record yet) leaves this the first buffer again.
        mFirstHostTime = hostTime;
        mFirstPosition = readPosition;
        mLastWriteCount = write32;
        mWriteFrames = writeAhead;
        mRestartFilter = false;
        const uint64_t nowHost = hostTime + mInputOffset * mHostTicksPerFrame;
        setTimeStamp(mNowTime, static_cast<double>(mInputOffset), nowHost);
        setTimeStamp(mInputTime, 0.0, hostTime);
        setTimeStamp(mOutputTime, static_cast<double>(mOutputOffset + mInputOffset),
                     nowHost + mOutputOffset * mHostTicksPerFrame);
        mFilter.init(mHostTicksPerBuffer, hostTime);
    } else {
        uint64_t filtered;
        if (mRestartFilter) {
            mRestartFilter = false;
            mFilter.init(mHostTicksPerBuffer, hostTime);
            filtered = hostTime;
        } else {
            filtered = mFilter.get(hostTime);
        }
        // The 64-bit count moves by the counter's wrapping step, so the wrap is no jump back.
        mWriteFrames += static_cast<int32_t>(write32 - mLastWriteCount);
        mLastWriteCount = write32;
        const uint32_t offsets = static_cast<uint32_t>(mInputOffset + mOutputOffset);
        setTimeStamp(mInputTime, mInputTime.mSampleTime + static_cast<double>(mBufferSize), filtered);
        setTimeStamp(mOutputTime, mOutputTime.mSampleTime + static_cast<double>(mBufferSize),
                     filtered + uint64_t(offsets) * mHostTicksPerFrame);
        setTimeStamp(mNowTime, static_cast<double>(mWriteFrames),
                     filtered + static_cast<uint64_t>(writeAhead) * mHostTicksPerFrame);
    }
    const uint64_t now = AudioGetCurrentHostTime();
    mNextWakeTime = now + mHostTicksToWake;
    return now;
}

namespace {

void printAlert(uint32_t available, uint32_t bufferSize)
{
    std::printf("ALERT TimestampFilter::calcSleepNanos nAvailableFrames(%d) >= mBufferSize(%d) while "
                "!bWasBufferswitch\n",
                static_cast<int>(available), static_cast<int>(bufferSize));
}

void printOverload(int which)
{
    std::puts(which == 0 ? "TimestampFilter::calcSleepNanos -> detected application caused overload (1)"
                         : "TimestampFilter::calcSleepNanos -> detected application caused overload (2)");
}

} // namespace

void TimestampFilter::alert(unsigned long nAvailableFrames)
{
    mAlertCount.fetch_add(1, std::memory_order_relaxed);
    if (!mDeferTexts.load(std::memory_order_relaxed)) {
        printAlert(static_cast<uint32_t>(nAvailableFrames), static_cast<uint32_t>(mBufferSize));
        return;
    }
    mAlertFigures.store(uint64_t(static_cast<uint32_t>(nAvailableFrames)) << 32 | static_cast<uint32_t>(mBufferSize),
                        std::memory_order_relaxed);
    mTextsAlert.fetch_add(1, std::memory_order_release);
}

void TimestampFilter::overload(int which)
{
    mOverloadCount.fetch_add(1, std::memory_order_relaxed);
    if (!mDeferTexts.load(std::memory_order_relaxed))
        printOverload(which);
    else
        mTextsOverload[which].fetch_add(1, std::memory_order_release);
}

void TimestampFilter::flushTexts()
{
    // Texts that piled up are printed as many times as they came; an alert carries the
    // figures of the latest one.
    for (uint32_t n = mTextsAlert.exchange(0, std::memory_order_acquire); n > 0; --n) {
        const uint64_t figures = mAlertFigures.load(std::memory_order_relaxed);
        printAlert(uint32_t(figures >> 32), uint32_t(figures));
    }
    for (int which = 0; which < 2; ++which)
        for (uint32_t n = mTextsOverload[which].exchange(0, std::memory_order_acquire); n > 0; --n)
            printOverload(which);
}

void TimestampFilter::resync(unsigned long long skippedFrames)
{
    mOverloadCount.fetch_add(1, std::memory_order_relaxed);
    // Before the first buffer there is no time to continue.
    if (mFirstHostTime == 0)
        return;
    const auto skipped = static_cast<double>(skippedFrames);
    mInputTime.mSampleTime += skipped;
    mOutputTime.mSampleTime += skipped;
    mRestartFilter = true;
}

unsigned long TimestampFilter::calcSleepNanos(unsigned long nAvailableFrames, bool bWasBufferswitch)
{
    if (mNextWakeTime == 0)
        return 500000;
    const uint64_t now = AudioGetCurrentHostTime();
    uint64_t deadline;
    if (nAvailableFrames >= mBufferSize) {
        if (!bWasBufferswitch) {
            alert(nAvailableFrames);
            return 0;
        }
        deadline = mNextWakeTime;
        if (now >= deadline) {
            overload(0);
            return 100000;
        }
    } else {
        const uint64_t missing = now + (mBufferSize - nAvailableFrames) * mHostTicksPerFrame;
        deadline = missing > mNextWakeTime ? missing : mNextWakeTime;
        if (now >= deadline) {
            overload(1);
            return 100000;
        }
    }
    return AudioConvertHostTimeToNanos(deadline - now);
}
