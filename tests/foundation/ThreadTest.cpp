#include "foundation/IntSpinLock.h"
#include "foundation/OSXUserThread.h"
#include "foundation/Semaphore.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <utility>

namespace {

// The device's hand-shake in miniature: signal on entry, poll the stop flag (sleeping, never
// spinning, as it may run at a real-time priority), signal just before leaving.
class HandshakeThread : public OSXUserThread {
public:
    explicit HandshakeThread(UInt32 priority) : OSXUserThread(priority)
    {
        m_started.create();
        m_finished.create();
    }

    SInt32 threadRun() override
    {
        m_iRuns.fetch_add(1);
        m_started.signal();
        while (!isStopRequested())
            usleep(1000);
        m_finished.signal();
        return 7;
    }

    pthread_t thread() const { return m_thread; }
    SInt32 basePriority() const { return m_iBasePriority; }

    Semaphore m_started;
    Semaphore m_finished;
    std::atomic<int> m_iRuns{0};
};

SInt32 atomicRead(SInt32& word)
{
    return std::atomic_ref<SInt32>(word).load();
}

} // namespace

TEST(OSXUserThreadTest, StartsOnceAndStopsThroughTheHandshake)
{
    HandshakeThread t(31);
    ASSERT_TRUE(t.threadStart());
    ASSERT_TRUE(t.m_started.wait());
    EXPECT_FALSE(t.threadStart()); // one object runs at most one thread
    EXPECT_FALSE(t.m_finished.waitTimeout(0)) << "left before being asked to stop";
    t.threadStop();
    t.threadStop();
    EXPECT_TRUE(t.isStopRequested());
    ASSERT_TRUE(t.m_finished.waitTimeout(3));
    EXPECT_FALSE(t.threadStart()); // not even once the first one has ended
    EXPECT_EQ(t.m_iRuns.load(), 1);
}

TEST(OSXUserThreadTest, PriorityAfterStartIsTheOneThePlatformReports)
{
    // Real-time precedence is best effort: whether or not this process may have it, the start
    // succeeds and the stored priority is the one the thread really has (127 is beyond any user
    // precedence). Lowering is always permitted, so there the result is exact: a default thread
    // sits at 31, and precedence moves it by (wanted - creator's base).
    for (UInt32 wanted : {21u, 63u, 127u}) {
        HandshakeThread t(wanted);
        ASSERT_TRUE(t.threadStart());
        ASSERT_TRUE(t.m_started.wait());
        EXPECT_EQ(t.getPriority(), UInt32(OSXUserThread::getThreadPriority(t.thread())));
        if (SInt32(wanted) < t.basePriority()) {
            EXPECT_EQ(SInt32(t.getPriority()), 31 + SInt32(wanted) - t.basePriority());
        } else {
            EXPECT_GE(t.getPriority(), UInt32(t.basePriority()));
            EXPECT_LE(t.getPriority(), 63u);
        }
        t.threadStop();
        EXPECT_TRUE(t.m_finished.waitTimeout(3));
    }
}

TEST(OSXUserThreadTest, OtherSchedulingPolicyReportsZero)
{
    SInt32 priority = -1;
    std::thread idle([&] {
        struct sched_param param {};
        if (sched_setscheduler(0, SCHED_IDLE, &param) == 0)
            priority = OSXUserThread::getThreadPriority(pthread_self());
    });
    idle.join();
    EXPECT_EQ(priority, 0);
}

TEST(OSXUserThreadTest, EntryRunsTheBodyAndPassesItsResult)
{
    HandshakeThread t(31);
    t.threadStop(); // the body then returns at once
    EXPECT_EQ(OSXUserThread::entry(&t), reinterpret_cast<void*>(7));
    EXPECT_EQ(OSXUserThread::entry(nullptr), nullptr);
    EXPECT_EQ(t.m_iRuns.load(), 1);
}

TEST(SemaphoreTest, CountsSignalsUntilClosed)
{
    Semaphore s;
    // Without a semaphore everything is harmless.
    EXPECT_EQ(std::tuple(s.isValid(), s.wait(), s.waitTimeout(1), s.signal(), s.close()),
              std::tuple(false, false, false, KERN_SUCCESS, KERN_SUCCESS));

    ASSERT_TRUE(s.create());
    EXPECT_FALSE(s.create());
    EXPECT_FALSE(s.waitTimeout(0)) << "starts at 0";
    EXPECT_EQ(s.signal(), KERN_SUCCESS);
    EXPECT_EQ(s.signal(), KERN_SUCCESS);
    EXPECT_TRUE(s.wait());
    EXPECT_TRUE(s.waitTimeout(0));
    EXPECT_FALSE(s.waitTimeout(0));
    s.signal();
    EXPECT_EQ(s.close(), KERN_SUCCESS);
    EXPECT_FALSE(s.isValid());
    EXPECT_FALSE(s.wait()) << "a closed semaphore keeps no signals";
    ASSERT_TRUE(s.create());
    EXPECT_FALSE(s.waitTimeout(0));
}

TEST(SemaphoreTest, WaitTimeoutGivesUpAfterTheGivenSeconds)
{
    Semaphore s;
    ASSERT_TRUE(s.create());
    // The count is in seconds: a lower bound only, which no slow machine can break.
    auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.waitTimeout(1));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(900));
}

TEST(SemaphoreTest, CloseReleasesAWaiterWithFalse)
{
    Semaphore s;
    ASSERT_TRUE(s.create());
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = s.wait() ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    s.close(); // whether the waiter is already blocked or not, it must not see success
    waiter.join();
    EXPECT_EQ(result.load(), 0);
}

TEST(IntSpinLockTest, OneWordPerObjectNotRecursiveAndAFailedAttemptHoldsNothing)
{
    SInt32 word = 0;
    SInt32 second = 0;
    {
        IntSpinLock held(&word);
        EXPECT_EQ(atomicRead(word), 1);
        IntSpinLock lock(nullptr);
        EXPECT_TRUE(lock.lock(nullptr, false)) << "a null word succeeds and holds nothing";
        EXPECT_FALSE(lock.lock(&word, false));
        lock.unlock(); // holds nothing, so changes nothing
        EXPECT_EQ(atomicRead(word), 1) << "a failed attempt leaves the held value";
    }
    EXPECT_EQ(atomicRead(word), 0) << "the scope's holder let go, the loser's destructor changed nothing";

    IntSpinLock lock(nullptr);
    ASSERT_TRUE(lock.lock(&word, false));
    EXPECT_FALSE(lock.lock(&second, true)) << "one lock per object, even on another word";
    EXPECT_FALSE(lock.lock(&word, false)) << "not recursive";
    EXPECT_EQ(std::pair(atomicRead(word), atomicRead(second)), std::pair(1, 0));
    lock.unlock();
    lock.unlock();
    EXPECT_EQ(atomicRead(word), 0);
    EXPECT_TRUE(lock.lock(&word, true));
    EXPECT_EQ(atomicRead(word), 1);
}

TEST(IntSpinLockTest, ContendersExcludeEachOther)
{
    constexpr int kRounds = 100000;
    SInt32 word = 0;
    long counter = 0; // plain on purpose: only the lock orders the two threads' updates
    auto byScope = [&] {
        for (int i = 0; i < kRounds; ++i) {
            IntSpinLock lock(&word);
            ++counter;
        }
    };
    auto byLock = [&] {
        IntSpinLock lock(nullptr);
        for (int i = 0; i < kRounds; ++i) {
            if (i % 2 == 0)
                ASSERT_TRUE(lock.lock(&word, true));
            else
                while (!lock.lock(&word, false)) {
                } // failed attempts under contention must leave the word intact
            ++counter;
            lock.unlock();
        }
    };
    std::thread a(byScope);
    std::thread b(byLock);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2L * kRounds);
    EXPECT_EQ(atomicRead(word), 0);
}
