#include <CoreServices/CoreServices.h>
#include <mach/mach.h>

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/ulock.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct SchedInfo {
    policy_t policy = POLICY_NULL;
    integer_t basePriority = -1;
};

kern_return_t basicInfo(thread_act_t thread, thread_basic_info_data_t& basic)
{
    mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
    return thread_info(thread, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&basic), &count);
}

// Policy and base priority as the suite reads them: the basic record, then the policy's own.
SchedInfo schedInfo(thread_act_t thread)
{
    SchedInfo result;
    thread_basic_info_data_t basic{};
    if (basicInfo(thread, basic) != KERN_SUCCESS || basic.policy == POLICY_NULL)
        return result;
    result.policy = basic.policy;
    thread_flavor_t flavor = basic.policy == POLICY_TIMESHARE ? THREAD_SCHED_TIMESHARE_INFO
        : basic.policy == POLICY_RR                           ? THREAD_SCHED_RR_INFO
                                                              : THREAD_SCHED_FIFO_INFO;
    integer_t record[5] = {};
    mach_msg_type_number_t count = 5;
    if (thread_info(thread, flavor, record, &count) == KERN_SUCCESS)
        result.basePriority = record[1]; // base_priority is the second word of all three
    return result;
}

kern_return_t setImportance(thread_act_t thread, integer_t importance)
{
    thread_precedence_policy_data_t precedence{importance};
    return thread_policy_set(thread, THREAD_PRECEDENCE_POLICY,
                             reinterpret_cast<thread_policy_t>(&precedence),
                             THREAD_PRECEDENCE_POLICY_COUNT);
}

// Runs `body` on a fresh thread, so scheduling changes never reach the test's own thread.
void onFreshThread(const std::function<void()>& body)
{
    std::thread(body).join();
}

bool mayUseRealTime()
{
    bool allowed = false;
    onFreshThread([&] {
        struct sched_param param {};
        param.sched_priority = 1;
        allowed = sched_setscheduler(0, SCHED_FIFO, &param) == 0;
    });
    return allowed;
}

} // namespace

TEST(MachSemaphoreTest, CountsTimesOutAndRefusesBadArguments)
{
    semaphore_t s = 0;
    ASSERT_EQ(semaphore_create(mach_task_self(), &s, SYNC_POLICY_FIFO, 2), KERN_SUCCESS);
    EXPECT_EQ(semaphore_wait(s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(s, {0, 0}), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(s, {0, 20000000}), KERN_OPERATION_TIMED_OUT);
    EXPECT_EQ(semaphore_timedwait(s, {0, 1000000000}), KERN_INVALID_VALUE);
    EXPECT_EQ(semaphore_timedwait(s, {0, -1}), KERN_INVALID_VALUE);
    EXPECT_EQ(semaphore_signal(s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(s, {1, 0}), KERN_SUCCESS);
    EXPECT_EQ(semaphore_destroy(mach_task_self() + 1, s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);
    // A stale name is refused everywhere, never used.
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_signal(s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_wait(s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_timedwait(s, {0, 0}), KERN_INVALID_ARGUMENT);

    EXPECT_EQ(semaphore_create(mach_task_self() + 1, &s, SYNC_POLICY_FIFO, 0), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_create(mach_task_self(), nullptr, SYNC_POLICY_FIFO, 0), KERN_INVALID_ARGUMENT);
}

// The compare-and-wait word: no sleep when it changed already, a wake from another thread ends
// the sleep, the limit ends it otherwise; bad operations and addresses are refused.
TEST(ULockTest, WaitsWhileTheWordHoldsItsValueUntilWokenOrTimedOut)
{
    alignas(4) uint32_t word = 7;
    EXPECT_EQ(__ulock_wait(UL_COMPARE_AND_WAIT_SHARED, &word, 6, 0), 0) << "the word differs";
    EXPECT_EQ(__ulock_wait(UL_COMPARE_AND_WAIT, &word, 7, 1000), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(__ulock_wake(UL_COMPARE_AND_WAIT_SHARED, &word, 0), -1);
    EXPECT_EQ(errno, ENOENT) << "nobody waits";

    std::atomic<bool> woken{false};
    std::thread sleeper([&] {
        // Without a limit: only the wake ends it.
        while (std::atomic_ref<uint32_t>(word).load() == 7)
            __ulock_wait(UL_COMPARE_AND_WAIT_SHARED, &word, 7, 0);
        woken = true;
    });
    std::atomic_ref<uint32_t>(word).store(8);
    while (__ulock_wake(UL_COMPARE_AND_WAIT_SHARED | ULF_WAKE_ALL, &word, 0) != 0 && !woken)
        std::this_thread::yield();
    sleeper.join();
    EXPECT_TRUE(woken);

    EXPECT_EQ(__ulock_wait(99, &word, 8, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(__ulock_wait(UL_COMPARE_AND_WAIT, &word, uint64_t(1) << 32, 1), -1) << "a 32-bit word";
    EXPECT_EQ(__ulock_wait(UL_COMPARE_AND_WAIT_SHARED, nullptr, 0, 1), -1);
    EXPECT_EQ(errno, EFAULT);
}

TEST(MachThreadTest, TaskAndThreadNamesAreStableAndDistinct)
{
    int pid = 0;
    ASSERT_EQ(pid_for_task(mach_task_self(), &pid), KERN_SUCCESS);
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(pid_for_task(mach_task_self() + 1, &pid), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(pid_for_task(mach_task_self(), nullptr), KERN_INVALID_ARGUMENT);
    thread_t self = pthread_mach_thread_np(pthread_self());
    EXPECT_NE(self, MACH_PORT_NULL);
    EXPECT_EQ(mach_thread_self(), self);
    thread_t other = MACH_PORT_NULL;
    onFreshThread([&] { other = pthread_mach_thread_np(pthread_self()); });
    EXPECT_NE(other, MACH_PORT_NULL);
    EXPECT_NE(other, self);
}

namespace {

struct Parked {
    semaphore_t release = 0;
    std::atomic<thread_t> seenFromInside{MACH_PORT_NULL};
};

void* park(void* raw)
{
    auto* parked = static_cast<Parked*>(raw);
    parked->seenFromInside = mach_thread_self();
    semaphore_wait(parked->release);
    return nullptr;
}

} // namespace

TEST(MachThreadTest, CreatedThreadHasANameAtOnceAndLosesItOnExit)
{
    Parked parked;
    ASSERT_EQ(semaphore_create(mach_task_self(), &parked.release, SYNC_POLICY_FIFO, 0), KERN_SUCCESS);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, park, &parked), 0);
    thread_t name = pthread_mach_thread_np(thread); // no waiting: the creator returns registered
    EXPECT_NE(name, MACH_PORT_NULL);
    thread_basic_info_data_t basic{};
    EXPECT_EQ(basicInfo(name, basic), KERN_SUCCESS);
    semaphore_signal(parked.release);
    pthread_join(thread, nullptr);
    EXPECT_EQ(parked.seenFromInside.load(), name);
    EXPECT_EQ(basicInfo(name, basic), KERN_INVALID_ARGUMENT) << "an ended thread is not touched";
    EXPECT_EQ(setImportance(name, 0), KERN_INVALID_ARGUMENT);
    semaphore_destroy(mach_task_self(), parked.release);
}

TEST(MachThreadTest, InfoReportsRealTimeClasses)
{
    if (!mayUseRealTime())
        GTEST_SKIP() << "this process may not use a real-time class";
    onFreshThread([] {
        thread_t self = mach_thread_self();
        struct sched_param param {};
        param.sched_priority = 5;
        ASSERT_EQ(sched_setscheduler(0, SCHED_FIFO, &param), 0);
        SchedInfo fifo = schedInfo(self);
        EXPECT_EQ(fifo.policy, POLICY_FIFO);
        EXPECT_EQ(fifo.basePriority, 36);

        ASSERT_EQ(sched_setscheduler(0, SCHED_RR, &param), 0);
        EXPECT_EQ(schedInfo(self).policy, POLICY_RR);
        EXPECT_EQ(schedInfo(self).basePriority, 36);
    });
}

TEST(MachThreadTest, RefusesWrongRequests)
{
    thread_t self = mach_thread_self();
    integer_t record[10] = {};
    mach_msg_type_number_t count = 9;
    EXPECT_EQ(thread_info(self, THREAD_BASIC_INFO, record, &count), KERN_INVALID_ARGUMENT);
    count = 10;
    EXPECT_EQ(thread_info(self, 99, record, &count), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_info(self, THREAD_BASIC_INFO, nullptr, &count), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_info(self, THREAD_BASIC_INFO, record, nullptr), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_info(MACH_PORT_NULL, THREAD_BASIC_INFO, record, &count), KERN_INVALID_ARGUMENT);
    count = 5;
    ASSERT_EQ(schedInfo(self).policy, POLICY_TIMESHARE);
    EXPECT_EQ(thread_info(self, THREAD_SCHED_FIFO_INFO, record, &count), KERN_INVALID_POLICY);
    EXPECT_EQ(thread_info(self, THREAD_SCHED_RR_INFO, record, &count), KERN_INVALID_POLICY);

    EXPECT_EQ(thread_policy_set(self, THREAD_PRECEDENCE_POLICY, nullptr, 1), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_policy_set(self, THREAD_PRECEDENCE_POLICY, record, 0), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(setImportance(MACH_PORT_NULL, 0), KERN_INVALID_ARGUMENT);
}

TEST(AtomicTest, ReturnsTheValueBefore)
{
    SInt32 word = 5;
    EXPECT_EQ(IncrementAtomic(&word), 5);
    EXPECT_EQ(DecrementAtomic(&word), 6);
    EXPECT_EQ(word, 5);
    EXPECT_EQ(IncrementAtomic(nullptr), 0);
    SInt32 top = INT32_MAX;
    EXPECT_EQ(IncrementAtomic(&top), INT32_MAX);
    EXPECT_EQ(top, INT32_MIN) << "wraps like the machine word";
}
