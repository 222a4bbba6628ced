// The clock thread as its consumers depend on it: scheduled above the I/O threads it feeds, and
// publishing time records only into the slot readers are not pointed at.
#include <mach/mach.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "device/AudioSM.h"
#include "device/DriverRequest.h"
#include "tests/kext/InterfaceFixture.h"

namespace kexttest {
namespace {

// The kernel thread id of this process's thread named `name`, or 0.
pid_t threadNamed(const std::string& name)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string text;
        if (std::getline(comm, text) && text == name)
            return pid_t(std::stoi(entry.path().filename().string()));
    }
    return 0;
}

class ClockThreadTest : public InterfaceTest {
protected:
    void SetUp() override
    {
        InterfaceTest::SetUp();
        plugModel("default");
        m_client = open();
        ASSERT_TRUE(m_client->ok());
        configure(*m_client);
    }
    void TearDown() override
    {
        if (m_inAddress != 0)
            IOConnectUnmapMemory(m_client->connect(), kMemoryInputRing, mach_task_self(), m_inAddress);
        m_client.reset();
        InterfaceTest::TearDown();
    }

    std::unique_ptr<InterfaceClient> m_client;
    vm_address_t m_inAddress = 0;
};

TEST_F(ClockThreadTest, ClockRunsAboveTheHighestIOThreadPrecedence)
{
    // What the I/O thread gets: the highest precedence a user thread can ask for.
    int ioPolicy = -1;
    sched_param ioParam{};
    std::thread io([&] {
        thread_precedence_policy_data_t precedence{32}; // base 31 + 32 = 63
        thread_policy_set(pthread_mach_thread_np(pthread_self()), THREAD_PRECEDENCE_POLICY,
                          reinterpret_cast<thread_policy_t>(&precedence), THREAD_PRECEDENCE_POLICY_COUNT);
        pthread_getschedparam(pthread_self(), &ioPolicy, &ioParam);
    });
    io.join();
    if (ioPolicy != SCHED_FIFO)
        GTEST_SKIP() << "no real-time class for this process";

    ASSERT_EQ(m_client->attach(256), kIOReturnSuccess); // the clock runs once configured
    pid_t clock = 0;
    ASSERT_TRUE(waitUntil([&] { return (clock = threadNamed("tarsel-clock")) != 0; }));
    sched_param clockParam{};
    // The thread names itself before it sets its class; wait for the class.
    ASSERT_TRUE(waitUntil([&] { return sched_getscheduler(clock) == SCHED_FIFO; }));
    ASSERT_EQ(sched_getparam(clock, &clockParam), 0);
    EXPECT_GT(clockParam.sched_priority, ioParam.sched_priority);
}

TEST_F(ClockThreadTest, TheRecordReadersAreToldToUseIsNeverRewritten)
{
    vm_size_t size = 0;
    ASSERT_EQ(m_client->map(kMemoryInputRing, size, &m_inAddress), kIOReturnSuccess);
    ASSERT_EQ(size, kAudioRingSize);
    const AudioSM& ring = *reinterpret_cast<const AudioSM*>(m_inAddress);

    // A reader that checks, for as long as a slot stays current, that its contents stay what
    // they were when it was first seen current. Each attach sets the ring up afresh and the
    // clock's first passes publish the first records, the moments this can go wrong.
    struct Seen {
        uint32_t frame0, frame1;
        uint64_t ts0, ts1, dTS, dFrames;
        bool operator==(const Seen&) const = default;
    };
    auto snapshot = [&](const AudioTSData& r) {
        return Seen{audiosm::load(r.frame0), audiosm::load(r.frame1), audiosm::load(r.ts0),
                    audiosm::load(r.ts1),    audiosm::load(r.dTS),    audiosm::load(r.dFrames)};
    };
    std::atomic<int> rewrites{0};
    for (int round = 0; round < 20 && rewrites.load() == 0; ++round) {
        ASSERT_EQ(m_client->attach(256), kIOReturnSuccess);
        // Started after the set-up, so the ring's clearing is not taken for a rewrite.
        std::atomic<bool> reading{true};
        std::thread reader([&] {
            uint32_t lastCurrent = ~0u;
            uint32_t lastStart = 0;
            Seen first{};
            while (reading.load(std::memory_order_relaxed)) {
                const uint32_t start = ring.getFramePos();
                const uint32_t before = audiosm::load(ring.tsCurrent, std::memory_order_acquire);
                const Seen now = snapshot(before != 0 ? ring.tsRecord1 : ring.tsRecord2);
                const uint32_t after = audiosm::load(ring.tsCurrent, std::memory_order_acquire);
                // Records are published at least ring.tsMinFrames frames apart: over fewer
                // frames since the last look the slot can have switched at most once, which
                // tsCurrent shows. A reader held up for longer starts over.
                const bool comparable = ring.getFramePos() - lastStart < ring.tsMinFrames / 2;
                lastStart = start;
                if (after != before || !comparable) {
                    lastCurrent = ~0u;
                    continue;
                }
                if (before != lastCurrent) {
                    lastCurrent = before;
                    first = now;
                } else if (!(now == first)) {
                    rewrites.fetch_add(1, std::memory_order_relaxed);
                    first = now;
                }
            }
        });
        const uint32_t start = ring.getFramePos();
        EXPECT_TRUE(waitUntil([&] { return ring.getFramePos() - start >= 2048; }));
        reading = false;
        reader.join();
        ASSERT_EQ(m_client->call(kReqDetach), kIOReturnSuccess);
    }
    EXPECT_EQ(rewrites.load(), 0);
}

} // namespace
} // namespace kexttest
