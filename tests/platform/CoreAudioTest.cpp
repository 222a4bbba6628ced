// Host time (the one place it is tested): the monotonic clock in nanoseconds, time base 1/1, as
// the timestamp filter converts it. The HAL calls a plug-in makes are tests/halplugin's, with the
// recording backend and with the HAL.
#include <CoreAudio/CoreAudio.h>
#include <mach/mach_time.h>

#include <gtest/gtest.h>
#include <time.h>

namespace {

UInt64 nanos(const timespec& ts)
{
    return UInt64(ts.tv_sec) * 1000000000ull + UInt64(ts.tv_nsec);
}

TEST(HostTime, IsTheMonotonicClockInNanoseconds)
{
    mach_timebase_info_data_t base{};
    ASSERT_EQ(mach_timebase_info(&base), KERN_SUCCESS);
    EXPECT_EQ(base.numer, 1u);
    EXPECT_EQ(base.denom, 1u);
    EXPECT_DOUBLE_EQ(AudioGetHostClockFrequency(), 1.0e9);

    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    const UInt64 host = AudioGetCurrentHostTime();
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(host, nanos(before));
    EXPECT_LE(host, nanos(after));
    for (UInt64 t : {UInt64(0), UInt64(1000000007), ~UInt64(0)})
        EXPECT_EQ(AudioConvertHostTimeToNanos(t), t);
}

} // namespace
