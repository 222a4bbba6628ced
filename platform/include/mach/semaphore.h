#pragma once
#include <mach/mach_types.h>
#include <mach/sync_policy.h>

#ifdef __cplusplus
extern "C" {
#endif

kern_return_t semaphore_create(task_t task, semaphore_t* semaphore, int policy, int value);
kern_return_t semaphore_destroy(task_t task, semaphore_t semaphore);
kern_return_t semaphore_signal(semaphore_t semaphore);
kern_return_t semaphore_wait(semaphore_t semaphore);
kern_return_t semaphore_timedwait(semaphore_t semaphore, mach_timespec_t wait_time);

#ifdef __cplusplus
}
#endif
