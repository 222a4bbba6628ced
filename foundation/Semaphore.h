#pragma once
#include <mach/mach.h>

#include <atomic>

// A Mach counting semaphore, initially 0. One thread may wait while others signal or close it:
// a wait cut short by close() returns false.
class Semaphore {
public:
    Semaphore() = default;
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;
    virtual ~Semaphore();

    // False if a semaphore exists already or none could be made.
    bool create();
    bool wait();
    // Waits at most `seconds` whole seconds; false on timeout.
    bool waitTimeout(int seconds);
    kern_return_t signal();
    kern_return_t close();
    bool isValid() const { return m_semaphore.load(std::memory_order_acquire) != 0; }

private:
    task_t m_task = 0;
    // Atomic because the thread that closes it is usually not the one that waits or signals.
    std::atomic<semaphore_t> m_semaphore{0};
};
