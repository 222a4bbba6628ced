#pragma once
#include <pthread.h>
#include <mach/mach_types.h>
#include <mach/thread_info.h>
#include <mach/thread_policy.h>

#ifdef __cplusplus
extern "C" {
#endif

kern_return_t thread_policy_set(thread_act_t thread, thread_policy_flavor_t flavor,
                                thread_policy_t policy_info, mach_msg_type_number_t count);
kern_return_t thread_info(thread_act_t thread, thread_flavor_t flavor, thread_info_t info,
                          mach_msg_type_number_t* count);

// The Mach name of a POSIX thread (declared by <pthread.h> on the Mac). MACH_PORT_NULL when
// the thread is not known or has ended.
mach_port_t pthread_mach_thread_np(pthread_t thread);

// The process id behind a task port.
kern_return_t pid_for_task(mach_port_name_t task, int* pid);

#ifdef __cplusplus
}
#endif
