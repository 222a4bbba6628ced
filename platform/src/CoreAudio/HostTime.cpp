#include <CoreAudio/HostTime.h>
#include <mach/mach_time.h>

extern "C" UInt64 AudioGetCurrentHostTime(void)
{
    return mach_absolute_time();
}

extern "C" Float64 AudioGetHostClockFrequency(void)
{
    return 1.0e9;
}

extern "C" UInt32 AudioGetHostClockMinimumTimeDelta(void)
{
    return 1;
}

// mach_timebase_info is 1/1 here: host ticks are nanoseconds.
extern "C" UInt64 AudioConvertHostTimeToNanos(UInt64 inHostTime)
{
    return inHostTime;
}

extern "C" UInt64 AudioConvertNanosToHostTime(UInt64 inNanos)
{
    return inNanos;
}
