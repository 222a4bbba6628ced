// A client process that dies loses what it held, as on a real kernel. Clients hearing each other
// attach and detach are the device's (DeviceLifecycleTest): the transport is the same whether the
// other client is in this process or another. Posted events and their parameters are
// NotificationTest's; an interface going away is tested with the device manager.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/kext/InterfaceFixture.h"
#include "tests/support/Subprocess.h"

namespace kexttest {
namespace {

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

    // Has the child make request 2 (1) or take the inputs (3).
    void tell(uint32_t what, uint32_t value)
    {
        ASSERT_EQ(daemon().control().postEvent(m_id, kEventDiagnostic, {what, value, 0, 0, 0, 0, 0}), kIOReturnSuccess);
    }
    // The child's first line that starts with `prefix`; empty if none came in time. Waiting runs
    // this thread's run loop, so this process's notifications keep coming.
    std::string waitFor(const std::string& prefix)
    {
        std::string found;
        runLoopUntil([&] {
            std::ifstream out(daemon().folder() + "/child.out");
            std::string line;
            while (std::getline(out, line) && !out.eof())
                if (line.rfind(prefix, 0) == 0) {
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
};

TEST_F(EventsTest, AClientThatIsKilledLosesItsRecordAndItsInputs)
{
    tell(1, 128);
    ASSERT_EQ(waitFor("attach "), "attach 0 0");
    tell(3, 1);
    ASSERT_EQ(waitFor("exclusive "), "exclusive 0");
    EXPECT_EQ(m_mine->block().client(0)->iPid, m_childPid);
    EXPECT_EQ(m_mine->block().inputOwnerToken(), uint64_t(m_childPair[1]) << 32 | m_childPair[0]);

    // Those who stay hear it detach, with its pair and process id.
    ASSERT_EQ(kill(m_childPid, SIGKILL), 0);
    EXPECT_EQ(m_child->finish(10s).status, -1) << "it did not exit on its own";
    ASSERT_TRUE(runLoopUntil([&] { return m_log.count(kEventClientDetached) == 1; }));
    EXPECT_EQ(paramsOf(m_log.last(kEventClientDetached)),
              (std::array<uint32_t, 7>{0, m_childPair[0], m_childPair[1], uint32_t(m_childPid), 0, 0, 0}));
    ClientData zero{};
    EXPECT_EQ(std::memcmp(m_mine->block().client(0), &zero, sizeof zero), 0);
    EXPECT_EQ(m_mine->block().streamingCount(), 0u);
    EXPECT_EQ(m_mine->block().inputOwnerToken(), 0u);
    // Its slot is free for the next client.
    int slot = -1;
    ASSERT_EQ(m_mine->attach(256, &slot), kIOReturnSuccess);
    EXPECT_EQ(slot, 0);
}

} // namespace
} // namespace kexttest
