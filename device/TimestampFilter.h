#pragma once
#include <CoreAudio/CoreAudioTypes.h>

#include <atomic>
#include <cstdint>

// Smooths the host-time period between buffers: a FIR of 15 taps whose weights halve in
// groups (1/4, 1/8 twice, 1/16 four times, 1/32 eight times), so one late buffer moves the
// estimate by a quarter of its error and is forgotten after 15 buffers.
class Filter {
public:
    // mPeriod = period, mLastTime = time, and the taps split the period by their weights.
    void init(unsigned long long period, unsigned long long time);
    // Takes in a measured time and answers the prediction made before it (last + period).
    unsigned long long get(unsigned long long measuredTime);

    int64_t mTaps[15]{};
    int64_t mLastTime = 0;
    int64_t mPeriod = 0;
};

// Turns the kernel's raw time of each buffer into smooth time stamps for the IOProcs, and
// decides how long the I/O thread sleeps before the next cycle. Runs on the I/O thread: no
// allocation, no lock, no system call except the prints on the overload paths.
class TimestampFilter {
public:
    void init(unsigned long long rate, unsigned long long bufferSize, unsigned long long inputLatency,
              unsigned long long outputLatency);
    // Re-times the filter when rate or buffer size changed; latency changes alone do not.
    void prepare(unsigned long long rate, unsigned long long bufferSize, unsigned long long inputLatency,
                 unsigned long long outputLatency);
    void initTiming(unsigned long long rate, unsigned long long bufferSize);
    // hostTime: kernel time of the buffer's first frame; readPosition: before the read;
    // writeCount: the input ring's. Answers the current host time. The ring's counters are
    // 32-bit and wrap: they are compared by their wrapping differences, and the sample times
    // follow a 64-bit count of the frames since the first buffer.
    unsigned long long updateTimestamps(unsigned long long hostTime, unsigned long long readPosition,
                                        unsigned long long writeCount);
    // The reader jumped `skippedFrames` ahead to the newest data (the ring overran): sample
    // times move on by the frames lost, the next buffer restarts the period estimate from its
    // own time (the gap is no period), and the overrun counts as an overload.
    void resync(unsigned long long skippedFrames);
    unsigned long calcSleepNanos(unsigned long nAvailableFrames, bool bWasBufferswitch);
    // With deferred texts the diagnostics of calcSleepNanos are only counted on the real-time
    // thread, and flushTexts prints them later from another thread (the same texts).
    void setDeferredTexts(bool deferred) { mDeferTexts.store(deferred, std::memory_order_relaxed); }
    void flushTexts();

    AudioTimeStamp mNowTime{};
    AudioTimeStamp mInputTime{};
    AudioTimeStamp mOutputTime{};
    Filter mFilter;
    double mHostTicksPerSecond = 0.0;
    uint64_t mFirstHostTime = 0;
    uint64_t mFirstPosition = 0;
    uint64_t mNextWakeTime = 0;
    uint64_t mHostTicksPerBuffer = 0;
    uint64_t mHostTicksPerFrame = 0;
    uint64_t mHostTicksToWake = 0;
    uint64_t mBufferNanos = 0;
    uint64_t mSampleRate = 0;
    uint64_t mInputOffset = 0;
    uint64_t mOutputOffset = 0;
    uint64_t mBufferSize = 0;
    // The write count of the last buffer and the frames it is past the first buffer's read
    // position: the 64-bit extension of the wrapping counter.
    uint32_t mLastWriteCount = 0;
    int64_t mWriteFrames = 0;
    bool mRestartFilter = false; // after resync: the next buffer's time seeds the filter
    // Counted beside the printed messages, for whoever watches the cycle from outside.
    std::atomic<uint32_t> mOverloadCount{0};
    std::atomic<uint32_t> mAlertCount{0};

private:
    void alert(unsigned long nAvailableFrames);
    void overload(int which);

    std::atomic<bool> mDeferTexts{false};
    std::atomic<uint32_t> mTextsAlert{0};
    std::atomic<uint32_t> mTextsOverload[2]{};
    std::atomic<uint64_t> mAlertFigures{0}; // available << 32 | buffer size, of the latest alert
};
