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

using EventsTest = InterfaceTest;

std::string attachedLine(int slot, std::array<uint32_t, 2> pair, pid_t pid)
{
    return eventLine(kEventClientAttached, {uint32_t(slot), pair[0], pair[1], uint32_t(pid), 0, 0, 0});
}

std::string detachedLine(int slot, std::array<uint32_t, 2> pair, pid_t pid)
{
    return eventLine(kEventClientDetached, {uint32_t(slot), pair[0], pair[1], uint32_t(pid), 0, 0, 0});
}

TEST_F(EventsTest, TwoProcessesHearEachOtherAttachAndDetach)
{
    plugModel("default");
    auto mine = open();
    NotifyPort port;
    EventLog log;
    ASSERT_TRUE(mine->ok());
    ASSERT_TRUE(port.listen(m_service, log));
    configure(*mine);
    ChildClient child;
    ASSERT_TRUE(child.start());
    EXPECT_NE(child.pair(), mine->pair());

    // This process attaches: the child hears it with this connection's pair and process id.
    int slot = -1;
    ASSERT_EQ(mine->attach(256, &slot), kIOReturnSuccess);
    EXPECT_EQ(child.waitFor("event 11"), attachedLine(slot, mine->pair(), getpid()));

    // The child attaches: this process hears it with the child's.
    child.send("attach 512");
    const std::string answer = child.waitFor("attach ");
    ASSERT_EQ(answer, "attach 0 1");
    EXPECT_EQ(child.waitFor("event 11"), attachedLine(1, child.pair(), child.pid())); // its own as well
    ASSERT_TRUE(runLoopUntil([&] { return log.count(kEventClientAttached) == 2; }));
    KernelEvent e = log.last(kEventClientAttached);
    EXPECT_EQ(e.iParam[0], 1u);
    EXPECT_EQ(e.iParam[1], child.pair()[0]);
    EXPECT_EQ(e.iParam[2], child.pair()[1]);
    EXPECT_EQ(e.iParam[3], uint32_t(child.pid()));
    EXPECT_EQ(mine->block().client(1)->iPid, child.pid());
    EXPECT_EQ(mine->block().streamingCount(), 2u);

    child.send("detach");
    EXPECT_EQ(child.waitFor("detach "), "detach 0");
    ASSERT_TRUE(runLoopUntil([&] { return log.count(kEventClientDetached) == 1; }));
    e = log.last(kEventClientDetached);
    EXPECT_EQ(e.iParam[0], 1u);
    EXPECT_EQ(e.iParam[1], child.pair()[0]);
    EXPECT_EQ(e.iParam[2], child.pair()[1]);

    ASSERT_EQ(mine->call(kReqDetach), kIOReturnSuccess);
    EXPECT_EQ(child.waitFor("event 12 0"), detachedLine(0, mine->pair(), getpid()));
    EXPECT_EQ(mine->block().streamingCount(), 0u);
}

TEST_F(EventsTest, AClientThatIsKilledLosesItsRecordAndItsInputs)
{
    plugModel("default");
    auto mine = open();
    NotifyPort port;
    EventLog log;
    ASSERT_TRUE(mine->ok());
    ASSERT_TRUE(port.listen(m_service, log));
    configure(*mine);
    ChildClient child;
    ASSERT_TRUE(child.start());
    child.send("attach 128");
    ASSERT_EQ(child.waitFor("attach "), "attach 0 0");
    child.send("exclusive 1");
    ASSERT_EQ(child.waitFor("exclusive "), "exclusive 0");
    const pid_t pid = child.pid();
    const std::array<uint32_t, 2> pair = child.pair();
    EXPECT_EQ(mine->block().client(0)->iPid, pid);
    EXPECT_EQ(mine->block().inputOwnerToken(), uint64_t(pair[1]) << 32 | pair[0]);

    const int status = child.kill();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ASSERT_TRUE(runLoopUntil([&] { return log.count(kEventClientDetached) == 1; }));
    const KernelEvent e = log.last(kEventClientDetached);
    EXPECT_EQ(e.iParam[0], 0u);
    EXPECT_EQ(e.iParam[1], pair[0]);
    EXPECT_EQ(e.iParam[2], pair[1]);
    EXPECT_EQ(e.iParam[3], uint32_t(pid));
    ClientData zero{};
    EXPECT_EQ(std::memcmp(mine->block().client(0), &zero, sizeof zero), 0);
    EXPECT_EQ(mine->block().streamingCount(), 0u);
    EXPECT_EQ(mine->block().inputOwnerToken(), 0u);
    std::vector<kext::ControlClient::ConnectionEntry> connections;
    ASSERT_EQ(daemon().control().listConnections(connections), kIOReturnSuccess);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].pid, getpid());
    // Its slot is free for the next client.
    int slot = -1;
    ASSERT_EQ(mine->attach(256, &slot), kIOReturnSuccess);
    EXPECT_EQ(slot, 0);
}

} // namespace
} // namespace kexttest
