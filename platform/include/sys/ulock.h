// The kernel's compare-and-wait on a 32-bit word, for a thread that waits for a word in memory
// shared with the kernel driver to change: it sleeps until it is woken on that word or its
// timeout passes, and not at all if the word no longer holds the value it saw.
#pragma once
#include <stdint.h>

#define UL_COMPARE_AND_WAIT 1        // the word is in this process's memory only
#define UL_COMPARE_AND_WAIT_SHARED 3 // the word is in memory shared between processes
#define ULF_WAKE_ALL 0x00000100      // a wake for every waiter, not one

#ifdef __cplusplus
extern "C" {
#endif

// Sleeps while *addr == value, at most timeout_us microseconds (0: no limit). 0 when woken or
// when the word differed; -1 with errno ETIMEDOUT when the time passed, EINTR on a signal,
// EFAULT for an address that is not mapped, EINVAL for an operation other than the two above.
int __ulock_wait(uint32_t operation, void* addr, uint64_t value, uint32_t timeout_us);
// Wakes one waiter on the word, or all of them with ULF_WAKE_ALL; wake_value is unused. 0 when
// one was woken, -1 with errno ENOENT when nobody waited.
int __ulock_wake(uint32_t operation, void* addr, uint64_t wake_value);

#ifdef __cplusplus
}
#endif
