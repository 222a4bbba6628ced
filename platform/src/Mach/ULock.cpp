#include <sys/ulock.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The private futex operations for words of this process, the shared ones for words in
// memory other processes map too (the kernel then keys the word by its page, not the address).
bool futexOperation(uint32_t operation, int wait, int& out)
{
    switch (operation & 0xFF) {
    case UL_COMPARE_AND_WAIT: out = wait | FUTEX_PRIVATE_FLAG; return true;
    case UL_COMPARE_AND_WAIT_SHARED: out = wait; return true;
    default: return false;
    }
}

} // namespace

extern "C" int __ulock_wait(uint32_t operation, void* addr, uint64_t value, uint32_t timeout_us)
{
    int op = 0;
    if (!futexOperation(operation, FUTEX_WAIT, op) || value > UINT32_MAX) {
        errno = EINVAL;
        return -1;
    }
    timespec timeout{time_t(timeout_us / 1000000u), long(timeout_us % 1000000u) * 1000};
    const long result = syscall(SYS_futex, addr, op, uint32_t(value), timeout_us != 0 ? &timeout : nullptr, nullptr, 0);
    if (result == 0 || errno == EAGAIN)
        return 0; // woken, or the word had changed already
    return -1;
}

extern "C" int __ulock_wake(uint32_t operation, void* addr, uint64_t)
{
    int op = 0;
    if (!futexOperation(operation, FUTEX_WAKE, op)) {
        errno = EINVAL;
        return -1;
    }
    const long woken = syscall(SYS_futex, addr, op, (operation & ULF_WAKE_ALL) != 0 ? INT_MAX : 1, nullptr, nullptr, 0);
    if (woken < 0)
        return -1;
    if (woken == 0) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}
