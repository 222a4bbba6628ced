#pragma once
#include <mach/mach_types.h>

#ifdef __cplusplus
extern "C" {
#endif

// The calling process's task port; the same non-zero name on every call.
mach_port_t mach_task_self(void);
// Name of the calling thread.
thread_t mach_thread_self(void);

#ifdef __cplusplus
}
#endif
