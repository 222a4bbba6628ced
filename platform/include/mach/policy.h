#pragma once
#include <mach/mach_types.h>

#define POLICY_NULL      0
#define POLICY_TIMESHARE 1
#define POLICY_RR        2
#define POLICY_FIFO      4

struct policy_timeshare_info {
    integer_t max_priority;
    integer_t base_priority;
    integer_t cur_priority;
    integer_t depressed;
    integer_t depress_priority;
};
typedef struct policy_timeshare_info policy_timeshare_info_data_t;
typedef struct policy_timeshare_info* policy_timeshare_info_t;
#define POLICY_TIMESHARE_INFO_COUNT \
    ((mach_msg_type_number_t)(sizeof(struct policy_timeshare_info) / sizeof(integer_t)))

struct policy_rr_info {
    integer_t max_priority;
    integer_t base_priority;
    integer_t quantum;
    integer_t depressed;
    integer_t depress_priority;
};
typedef struct policy_rr_info policy_rr_info_data_t;
typedef struct policy_rr_info* policy_rr_info_t;
#define POLICY_RR_INFO_COUNT \
    ((mach_msg_type_number_t)(sizeof(struct policy_rr_info) / sizeof(integer_t)))

struct policy_fifo_info {
    integer_t max_priority;
    integer_t base_priority;
    integer_t depressed;
    integer_t depress_priority;
};
typedef struct policy_fifo_info policy_fifo_info_data_t;
typedef struct policy_fifo_info* policy_fifo_info_t;
#define POLICY_FIFO_INFO_COUNT \
    ((mach_msg_type_number_t)(sizeof(struct policy_fifo_info) / sizeof(integer_t)))
