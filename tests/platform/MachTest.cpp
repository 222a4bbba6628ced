#include <CoreServices/CoreServices.h>
#include <mach/mach.h>

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ulock.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace {

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

} // namespace

// Counting and waiting are the suite's semaphore's tests (SemaphoreTest); here the codes it
// reads and a name that has been destroyed, which a racing close can leave to a waiter.
TEST(MachSemaphoreTest, TimesOutAndRefusesAStaleName)
{
    semaphore_t s = 0;
    ASSERT_EQ(semaphore_create(mach_task_self(), &s, SYNC_POLICY_FIFO, 0), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(s, {0, 0}), KERN_OPERATION_TIMED_OUT);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_signal(s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_wait(s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_timedwait(s, {0, 0}), KERN_INVALID_ARGUMENT);
}

// The compare-and-wait word: no sleep when it changed already, a wake from another thread ends
// the sleep, the limit ends it otherwise.
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
}

// The device tells the kernel driver its process by the task's pid.
TEST(MachTaskTest, TheTaskNamesThisProcess)
{
    int pid = 0;
    ASSERT_EQ(pid_for_task(mach_task_self(), &pid), KERN_SUCCESS);
    EXPECT_EQ(pid, getpid());
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
    EXPECT_NE(name, mach_thread_self());
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
    bool allowed = false;
    // On a fresh thread, so the test's own thread keeps its class.
    std::thread([&] {
        thread_t self = mach_thread_self();
        struct sched_param param {};
        param.sched_priority = 5;
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
            return;
        allowed = true;
        SchedInfo fifo = schedInfo(self);
        EXPECT_EQ(fifo.policy, POLICY_FIFO);
        EXPECT_EQ(fifo.basePriority, 36);

        ASSERT_EQ(sched_setscheduler(0, SCHED_RR, &param), 0);
        EXPECT_EQ(schedInfo(self).policy, POLICY_RR);
        EXPECT_EQ(schedInfo(self).basePriority, 36);
    }).join();
    if (!allowed)
        GTEST_SKIP() << "this process may not use a real-time class";
}

TEST(AtomicTest, ReturnsTheValueBefore)
{
    SInt32 word = 5;
    EXPECT_EQ(IncrementAtomic(&word), 5);
    EXPECT_EQ(DecrementAtomic(&word), 6);
    EXPECT_EQ(word, 5);
}
