#include "foundation/Semaphore.h"

#include <algorithm>

Semaphore::~Semaphore()
{
    close();
}

bool Semaphore::create()
{
    if (isValid())
        return false;
    m_task = mach_task_self();
    semaphore_t semaphore = 0;
    if (semaphore_create(m_task, &semaphore, SYNC_POLICY_FIFO, 0) != KERN_SUCCESS)
        return false;
    m_semaphore.store(semaphore, std::memory_order_release);
    return semaphore != 0;
}

bool Semaphore::wait()
{
    semaphore_t semaphore = m_semaphore.load(std::memory_order_acquire);
    return semaphore != 0 && semaphore_wait(semaphore) == KERN_SUCCESS;
}

bool Semaphore::waitTimeout(int seconds)
{
    semaphore_t semaphore = m_semaphore.load(std::memory_order_acquire);
    if (semaphore == 0)
        return false;
    // A negative time would read as some 136 years once unsigned; it means "do not wait".
    mach_timespec_t timeout{unsigned(std::max(seconds, 0)), 0};
    return semaphore_timedwait(semaphore, timeout) == KERN_SUCCESS;
}

kern_return_t Semaphore::signal()
{
    semaphore_t semaphore = m_semaphore.load(std::memory_order_acquire);
    return semaphore == 0 ? KERN_SUCCESS : semaphore_signal(semaphore);
}

kern_return_t Semaphore::close()
{
    // Taking the name first makes a close racing another close destroy it only once.
    semaphore_t semaphore = m_semaphore.exchange(0, std::memory_order_acq_rel);
    return semaphore == 0 ? KERN_SUCCESS : semaphore_destroy(m_task, semaphore);
}
