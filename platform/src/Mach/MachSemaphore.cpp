// Mach semaphores: counting semaphores named by 32-bit port names. A destroyed semaphore wakes
// its waiters with KERN_TERMINATED, and a stale name answers KERN_INVALID_ARGUMENT, as on the
// Mac; nothing is ever touched through a dangling name.
#include <mach/semaphore.h>
#include <mach/mach_init.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

struct MachSemaphore {
    std::mutex lock;
    std::condition_variable changed;
    long count = 0;
    bool destroyed = false;
};

struct SemaphoreTable {
    std::mutex lock;
    std::unordered_map<semaphore_t, std::shared_ptr<MachSemaphore>> byName;
    semaphore_t nextName = 0x2000;
};

SemaphoreTable& table()
{
    // Never destroyed: semaphores may still be used from static destructors of the suite.
    static SemaphoreTable* instance = new SemaphoreTable;
    return *instance;
}

std::shared_ptr<MachSemaphore> lookup(semaphore_t name)
{
    SemaphoreTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.byName.find(name);
    return it == t.byName.end() ? nullptr : it->second;
}

kern_return_t waitFor(semaphore_t name, const std::chrono::nanoseconds* timeout)
{
    std::shared_ptr<MachSemaphore> s = lookup(name);
    if (!s)
        return KERN_INVALID_ARGUMENT;
    std::unique_lock<std::mutex> guard(s->lock);
    auto ready = [&] { return s->count > 0 || s->destroyed; };
    if (timeout == nullptr) {
        s->changed.wait(guard, ready);
    } else if (!s->changed.wait_for(guard, *timeout, ready)) {
        return KERN_OPERATION_TIMED_OUT;
    }
    if (s->destroyed)
        return KERN_TERMINATED;
    --s->count;
    return KERN_SUCCESS;
}

} // namespace

extern "C" kern_return_t semaphore_create(task_t task, semaphore_t* semaphore, int policy, int value)
{
    if (task != mach_task_self() || semaphore == nullptr || value < 0)
        return KERN_INVALID_ARGUMENT;
    if (policy < 0 || policy > SYNC_POLICY_ORDER_MASK)
        return KERN_INVALID_ARGUMENT;
    auto s = std::make_shared<MachSemaphore>();
    s->count = value;
    SemaphoreTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    semaphore_t name = t.nextName++;
    if (t.nextName == 0)
        t.nextName = 0x2000;
    t.byName.emplace(name, std::move(s));
    *semaphore = name;
    return KERN_SUCCESS;
}

extern "C" kern_return_t semaphore_destroy(task_t task, semaphore_t semaphore)
{
    if (task != mach_task_self())
        return KERN_INVALID_ARGUMENT;
    std::shared_ptr<MachSemaphore> s;
    {
        SemaphoreTable& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.byName.find(semaphore);
        if (it == t.byName.end())
            return KERN_INVALID_ARGUMENT;
        s = std::move(it->second);
        t.byName.erase(it);
    }
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->destroyed = true;
    }
    s->changed.notify_all();
    return KERN_SUCCESS;
}

extern "C" kern_return_t semaphore_signal(semaphore_t semaphore)
{
    std::shared_ptr<MachSemaphore> s = lookup(semaphore);
    if (!s)
        return KERN_INVALID_ARGUMENT;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        ++s->count;
    }
    s->changed.notify_one();
    return KERN_SUCCESS;
}

extern "C" kern_return_t semaphore_wait(semaphore_t semaphore)
{
    return waitFor(semaphore, nullptr);
}

extern "C" kern_return_t semaphore_timedwait(semaphore_t semaphore, mach_timespec_t wait_time)
{
    if (wait_time.tv_nsec < 0 || wait_time.tv_nsec >= 1000000000)
        return KERN_INVALID_VALUE;
    std::chrono::nanoseconds timeout =
        std::chrono::seconds(wait_time.tv_sec) + std::chrono::nanoseconds(wait_time.tv_nsec);
    return waitFor(semaphore, &timeout);
}
