// The BSD sysctl call, for the one query the suite makes: the process table
// (CTL_KERN, KERN_PROC, KERN_PROC_ALL). Other names fail with ENOTSUP.
#pragma once
#include <stddef.h>
#include <sys/types.h>

enum { CTL_KERN = 1 };
enum { KERN_PROC = 14 };
enum { KERN_PROC_ALL = 0 };
enum { MAXCOMLEN = 16 };

// The part of the process record the suite reads.
struct extern_proc {
    pid_t p_pid;
    // The first 16 characters of the executable name, NUL-padded.
    char p_comm[MAXCOMLEN + 1];
};

struct kinfo_proc {
    struct extern_proc kp_proc;
};

#ifdef __cplusplus
extern "C" {
#endif

// With a null `oldp`, *oldlenp receives a size that leaves room for some new processes. With a
// buffer, as many records as fit are written and *oldlenp is set to their size; if the table
// did not fit, the result is -1 with errno ENOMEM. Nothing can be set (`newp` gives EPERM).
int sysctl(int* name, unsigned int namelen, void* oldp, size_t* oldlenp, void* newp, size_t newlen);

#ifdef __cplusplus
}
#endif
