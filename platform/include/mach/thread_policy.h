#pragma once
#include <mach/mach_types.h>

typedef natural_t thread_policy_flavor_t;
typedef integer_t* thread_policy_t;

#define THREAD_STANDARD_POLICY   1
#define THREAD_EXTENDED_POLICY   1
#define THREAD_TIME_CONSTRAINT_POLICY 2
#define THREAD_PRECEDENCE_POLICY 3

struct thread_precedence_policy {
    integer_t importance;
};
typedef struct thread_precedence_policy thread_precedence_policy_data_t;
typedef struct thread_precedence_policy* thread_precedence_policy_t;

#define THREAD_PRECEDENCE_POLICY_COUNT \
    ((mach_msg_type_number_t)(sizeof(thread_precedence_policy_data_t) / sizeof(integer_t)))
