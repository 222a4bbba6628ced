#pragma once
#include <stdint.h>
#include <mach/kern_return.h>

typedef uint32_t natural_t;
typedef int32_t  integer_t;
typedef natural_t mach_port_t;
typedef mach_port_t mach_port_name_t;
typedef mach_port_t task_t;
typedef mach_port_t thread_t;
typedef mach_port_t thread_act_t;
typedef mach_port_t semaphore_t;
typedef int policy_t;
typedef natural_t mach_msg_type_number_t;

#define MACH_PORT_NULL ((mach_port_t)0)

typedef struct time_value {
    integer_t seconds;
    integer_t microseconds;
} time_value_t;

typedef struct mach_timespec {
    unsigned int tv_sec;
    int tv_nsec;
} mach_timespec_t;
