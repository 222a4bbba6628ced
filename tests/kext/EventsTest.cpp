// Events between processes: clients of one interface in two processes hear each other attach
// and detach, a client that dies loses what it held. Posted events and their parameters are
// NotificationTest's; an interface going away is tested with the device manager.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "tests/kext/InterfaceFixture.h"
#include "tests/support/Subprocess.h"

namespace kexttest {
namespace {

// The parameters of event 11 or 12 for the record in `slot`.
std::array<uint32_t, 7> clientParams(int slot, std::array<uint32_t, 2> pair, pid_t pid)
{
    return {uint32_t(slot), pair[0], pair[1], uint32_t(pid), 0, 0, 0};
}

// The line the child prints for a kernel event.
std::string eventLine(uint32_t code, std::array<uint32_t, 7> params)
{
    std::string line = "event " + std::to_string(code);
    for (uint32_t p : params)
        line += " " + std::to_string(p);
    return line;
}

// This process configured and listening, a second one (kext_test_client, the child) on the
// same interface.
class EventsTest : public InterfaceTest {
protected:
    void SetUp() override
    {
        InterfaceTest::SetUp();
        plugModel("default");
        m_mine = open();
        ASSERT_TRUE(m_mine->ok());
        m_port = std::make_unique<NotifyPort>();
        ASSERT_TRUE(m_port->listen(m_service, m_log));
        configure(*m_mine);
        m_child = std::make_unique<BackgroundProgram>(KEXT_TEST_CLIENT, std::vector<std::string>{}, daemon().folder());
        std::istringstream ready(waitFor("ready "));
        std::string word;
        ready >> word >> m_childPair[0] >> m_childPair[1] >> m_childPid;
        ASSERT_EQ(m_childPid, m_child->pid());
    }
    void TearDown() override
    {
        m_child.reset();
        std::filesystem::remove(daemon().folder() + "/child.out");
        std::filesystem::remove(daemon().folder() + "/child.err");
        m_port.reset();
        m_mine.reset();
        InterfaceTest::TearDown();
    }

    // Has the child make request 2 (1), 3 (2) or take the inputs (3).
    void tell(uint32_t what, uint32_t value = 0)
    {
        ASSERT_EQ(daemon().control().postEvent(m_id, kEventDiagnostic, {what, value, 0, 0, 0, 0, 0}), kIOReturnSuccess);
    }
    // The first line of the child's not yet taken that starts with `prefix`; empty if none came
    // in time. Waiting runs this thread's run loop, so this process's notifications keep coming.
    std::string waitFor(const std::string& prefix)
    {
        std::string found;
        runLoopUntil([&] {
            std::ifstream out(daemon().folder() + "/child.out");
            std::string line;
            for (size_t n = 0; std::getline(out, line) && !out.eof(); ++n)
                if (!m_taken.count(n) && line.rfind(prefix, 0) == 0) {
                    m_taken.insert(n);
                    found = line;
                    return true;
                }
            return false;
        });
        return found;
    }

    std::unique_ptr<InterfaceClient> m_mine;
    std::unique_ptr<NotifyPort> m_port; // made once the private daemon runs
    EventLog m_log;
    std::unique_ptr<BackgroundProgram> m_child;
    std::array<uint32_t, 2> m_childPair{};
    pid_t m_childPid = 0;
    std::set<size_t> m_taken;
};

TEST_F(EventsTest, TwoProcessesHearEachOtherAttachAndDetach)
{
    EXPECT_NE(m_childPair, m_mine->pair());

    // This process attaches: the child hears it with this connection's pair and process id.
    int slot = -1;
    ASSERT_EQ(m_mine->attach(256, &slot), kIOReturnSuccess);
    EXPECT_EQ(waitFor("event 11"), eventLine(kEventClientAttached, clientParams(slot, m_mine->pair(), getpid())));

    // The child attaches: this process hears it with the child's, and so does the child.
    tell(1, 512);
    ASSERT_EQ(waitFor("attach "), "attach 0 1");
    const auto childAttached = clientParams(1, m_childPair, m_childPid);
    EXPECT_EQ(waitFor("event 11"), eventLine(kEventClientAttached, childAttached));
    ASSERT_TRUE(runLoopUntil([&] { return m_log.count(kEventClientAttached) == 2; }));
    EXPECT_EQ(paramsOf(m_log.last(kEventClientAttached)), childAttached);
    EXPECT_EQ(m_mine->block().client(1)->iPid, m_childPid);
    EXPECT_EQ(m_mine->block().streamingCount(), 2u);

    tell(2);
    EXPECT_EQ(waitFor("detach "), "detach 0");
    ASSERT_TRUE(runLoopUntil([&] { return m_log.count(kEventClientDetached) == 1; }));
    EXPECT_EQ(paramsOf(m_log.last(kEventClientDetached)), childAttached);

    ASSERT_EQ(m_mine->call(kReqDetach), kIOReturnSuccess);
    EXPECT_EQ(waitFor("event 12 0"), eventLine(kEventClientDetached, clientParams(0, m_mine->pair(), getpid())));
    EXPECT_EQ(m_mine->block().streamingCount(), 0u);
}

TEST_F(EventsTest, AClientThatIsKilledLosesItsRecordAndItsInputs)
{
    tell(1, 128);
    ASSERT_EQ(waitFor("attach "), "attach 0 0");
    tell(3, 1);
    ASSERT_EQ(waitFor("exclusive "), "exclusive 0");
    EXPECT_EQ(m_mine->block().client(0)->iPid, m_childPid);
    EXPECT_EQ(m_mine->block().inputOwnerToken(), uint64_t(m_childPair[1]) << 32 | m_childPair[0]);

    ASSERT_EQ(kill(m_childPid, SIGKILL), 0);
    EXPECT_EQ(m_child->finish(10s).status, -1) << "it did not exit on its own";
    ASSERT_TRUE(runLoopUntil([&] { return m_log.count(kEventClientDetached) == 1; }));
    EXPECT_EQ(paramsOf(m_log.last(kEventClientDetached)), clientParams(0, m_childPair, m_childPid));
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
