// Events between processes: clients of one interface in two processes hear each other attach
// and detach, a client that dies loses what it held. Posted events and their parameters are
// NotificationTest's; an interface going away is tested with the device manager.
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "tests/kext/ChildClient.h"
#include "tests/kext/InterfaceFixture.h"

namespace kexttest {
namespace {

// This process configured and listening, a second one (the child) on the same interface.
class EventsTest : public InterfaceTest {
protected:
    void SetUp() override
    {
        InterfaceTest::SetUp();
        plugModel("default");
        m_mine = open();
        ASSERT_TRUE(m_mine->ok());
        m_port = std::make_unique<NotifyPort>(); // on the private daemon, once it runs
        ASSERT_TRUE(m_port->listen(m_service, m_log));
        configure(*m_mine);
        ASSERT_TRUE(m_child.start());
    }
    void TearDown() override
    {
        m_child.stop();
        m_port.reset();
        m_mine.reset();
        InterfaceTest::TearDown();
    }

    // Event 11 or 12 as the listeners hear it for the record in `slot`.
    static std::array<uint32_t, 7> clientParams(int slot, std::array<uint32_t, 2> pair, pid_t pid)
    {
        return {uint32_t(slot), pair[0], pair[1], uint32_t(pid), 0, 0, 0};
    }
    static std::array<uint32_t, 7> paramsOf(const KernelEvent& e)
    {
        std::array<uint32_t, 7> p;
        std::copy(std::begin(e.iParam), std::end(e.iParam), p.begin());
        return p;
    }

    std::unique_ptr<InterfaceClient> m_mine;
    std::unique_ptr<NotifyPort> m_port;
    EventLog m_log;
    ChildClient m_child;
};

TEST_F(EventsTest, TwoProcessesHearEachOtherAttachAndDetach)
{
    EXPECT_NE(m_child.pair(), m_mine->pair());

    // This process attaches: the child hears it with this connection's pair and process id.
    int slot = -1;
    ASSERT_EQ(m_mine->attach(256, &slot), kIOReturnSuccess);
    EXPECT_EQ(m_child.waitFor("event 11"), eventLine(kEventClientAttached, clientParams(slot, m_mine->pair(), getpid())));

    // The child attaches: this process hears it with the child's, and so does the child.
    m_child.send("attach 512");
    ASSERT_EQ(m_child.waitFor("attach "), "attach 0 1");
    const auto childAttached = clientParams(1, m_child.pair(), m_child.pid());
    EXPECT_EQ(m_child.waitFor("event 11"), eventLine(kEventClientAttached, childAttached));
    ASSERT_TRUE(runLoopUntil([&] { return m_log.count(kEventClientAttached) == 2; }));
    EXPECT_EQ(paramsOf(m_log.last(kEventClientAttached)), childAttached);
    EXPECT_EQ(m_mine->block().client(1)->iPid, m_child.pid());
    EXPECT_EQ(m_mine->block().streamingCount(), 2u);

    m_child.send("detach");
    EXPECT_EQ(m_child.waitFor("detach "), "detach 0");
    ASSERT_TRUE(runLoopUntil([&] { return m_log.count(kEventClientDetached) == 1; }));
    EXPECT_EQ(paramsOf(m_log.last(kEventClientDetached)), childAttached);

    ASSERT_EQ(m_mine->call(kReqDetach), kIOReturnSuccess);
    EXPECT_EQ(m_child.waitFor("event 12 0"), eventLine(kEventClientDetached, clientParams(0, m_mine->pair(), getpid())));
    EXPECT_EQ(m_mine->block().streamingCount(), 0u);
}

TEST_F(EventsTest, AClientThatIsKilledLosesItsRecordAndItsInputs)
{
    m_child.send("attach 128");
    ASSERT_EQ(m_child.waitFor("attach "), "attach 0 0");
    m_child.send("exclusive 1");
    ASSERT_EQ(m_child.waitFor("exclusive "), "exclusive 0");
    const pid_t pid = m_child.pid();
    const std::array<uint32_t, 2> pair = m_child.pair();
    EXPECT_EQ(m_mine->block().client(0)->iPid, pid);
    EXPECT_EQ(m_mine->block().inputOwnerToken(), uint64_t(pair[1]) << 32 | pair[0]);

    const int status = m_child.kill();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ASSERT_TRUE(runLoopUntil([&] { return m_log.count(kEventClientDetached) == 1; }));
    EXPECT_EQ(paramsOf(m_log.last(kEventClientDetached)), clientParams(0, pair, pid));
    ClientData zero{};
    EXPECT_EQ(std::memcmp(m_mine->block().client(0), &zero, sizeof zero), 0);
    EXPECT_EQ(m_mine->block().streamingCount(), 0u);
    EXPECT_EQ(m_mine->block().inputOwnerToken(), 0u);
    std::vector<kext::ControlClient::ConnectionEntry> connections;
    ASSERT_EQ(daemon().control().listConnections(connections), kIOReturnSuccess);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].pid, getpid());
    // Its slot is free for the next client.
    int slot = -1;
    ASSERT_EQ(m_mine->attach(256, &slot), kIOReturnSuccess);
    EXPECT_EQ(slot, 0);
}

} // namespace
} // namespace kexttest
