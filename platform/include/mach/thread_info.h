#pragma once
#include <mach/mach_types.h>
#include <mach/policy.h>

typedef natural_t thread_flavor_t;
typedef integer_t* thread_info_t;

#define THREAD_BASIC_INFO           3
#define THREAD_SCHED_TIMESHARE_INFO 10
#define THREAD_SCHED_RR_INFO        11
#define THREAD_SCHED_FIFO_INFO      12

struct thread_basic_info {
    time_value_t user_time;
    time_value_t system_time;
    integer_t cpu_usage;
    policy_t policy;
    integer_t run_state;
    integer_t flags;
    integer_t suspend_count;
    integer_t sleep_time;
};
typedef struct thread_basic_info thread_basic_info_data_t;
typedef struct thread_basic_info* thread_basic_info_t;
#define THREAD_BASIC_INFO_COUNT \
    ((mach_msg_type_number_t)(sizeof(thread_basic_info_data_t) / sizeof(natural_t)))

#define TH_STATE_RUNNING 1
#define TH_STATE_WAITING 3

#define THREAD_SCHED_TIMESHARE_INFO_COUNT POLICY_TIMESHARE_INFO_COUNT
#define THREAD_SCHED_RR_INFO_COUNT        POLICY_RR_INFO_COUNT
#define THREAD_SCHED_FIFO_INFO_COUNT      POLICY_FIFO_INFO_COUNT

#ifdef __cplusplus
static_assert(THREAD_BASIC_INFO_COUNT == 10, "thread_basic_info is ten words");
static_assert(THREAD_SCHED_TIMESHARE_INFO_COUNT == 5, "timeshare info is five words");
static_assert(THREAD_SCHED_RR_INFO_COUNT == 5, "round-robin info is five words");
static_assert(THREAD_SCHED_FIFO_INFO_COUNT == 4, "fifo info is four words");
#endif
