// Host time: the monotonic clock in nanoseconds (mach_absolute_time with a 1/1 time base), the
// same in every process.
#pragma once
#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

UInt64 AudioGetCurrentHostTime(void);
// Host ticks per second: 1e9.
Float64 AudioGetHostClockFrequency(void);
// The smallest difference between two host times that the clock resolves: 1 tick.
UInt32 AudioGetHostClockMinimumTimeDelta(void);
// With the 1/1 time base both conversions are the identity.
UInt64 AudioConvertHostTimeToNanos(UInt64 inHostTime);
UInt64 AudioConvertNanosToHostTime(UInt64 inNanos);

#ifdef __cplusplus
}
#endif
