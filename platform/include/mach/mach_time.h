#pragma once
#include <stdint.h>
#include <mach/kern_return.h>

struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

#ifdef __cplusplus
extern "C" {
#endif

// Host time: the monotonic clock in nanoseconds, the same in every process.
uint64_t mach_absolute_time(void);
// Always 1/1: host ticks are nanoseconds.
kern_return_t mach_timebase_info(mach_timebase_info_t info);

#ifdef __cplusplus
}
#endif
