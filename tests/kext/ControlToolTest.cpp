// tarsel-kextd and tarsel-kextctl as programs: plugging, listing, events and unplugging while
// a client holds the interface open.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>

#include "KextSocket.h"
#include "device/KernelEvent.h"
#include "tests/support/PrivateDaemon.h"
#include "tests/support/Subprocess.h"

namespace kexttest {
namespace {

class ControlToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/tarsel-kextctl-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_folder = folder;
        m_path = m_folder + "/kext.sock";
        setenv("TARSEL_KEXT_SOCKET", m_path.c_str(), 1);
        m_daemon = std::make_unique<BackgroundProgram>(
            TARSEL_KEXTD, std::vector<std::string>{"--socket", m_path, "--plug", "default"}, m_folder, "daemon");
        ASSERT_TRUE(m_daemon->started());
        ASSERT_TRUE(waitUntil([&] {
            int fd = kextwire::connectTo(m_path);
            if (fd >= 0)
                close(fd);
            return fd >= 0;
        }));
    }
    void TearDown() override
    {
        m_daemon.reset();
        std::filesystem::remove_all(m_folder);
        unsetenv("TARSEL_KEXT_SOCKET");
    }
    // The tests' arguments hold no spaces of their own.
    ProgramRun ctl(const std::string& args, const std::string& socket = {})
    {
        std::vector<std::string> all{"--socket", socket.empty() ? m_path : socket};
        std::istringstream words(args);
        for (std::string w; words >> w;)
            all.push_back(w);
        return runProgram(TARSEL_KEXTCTL, all);
    }

    std::string m_folder, m_path;
    std::unique_ptr<BackgroundProgram> m_daemon;
};

// What the tool's events and unplugging do to listeners is NotificationTest's and the device
// manager's; here what the tool says and does.
TEST_F(ControlToolTest, PlugsListsPostsAndUnplugsUnderAnOpenClient)
{
    ProgramRun list = ctl("list");
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("service 1 class=ZmKernelDeviceTARSEL name=\"ZmKernelDeviceTARSEL\" model=default"),
              std::string::npos)
        << list.out;

    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    io_connect_t connect = 0;
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connect), kIOReturnSuccess);

    ProgramRun plugged = ctl("plug default --darwin8");
    EXPECT_EQ(plugged.status, 0);
    EXPECT_EQ(plugged.out, "2\n");
    ProgramRun services = ctl("services");
    EXPECT_NE(services.out.find("service 2 class=ZmKernelDeviceTARSELTiger"), std::string::npos) << services.out;
    ProgramRun connections = ctl("connections");
    EXPECT_NE(connections.out.find("connection 1 service=1 pid=" + std::to_string(getpid()) + " type=0"),
              std::string::npos)
        << connections.out;

    EXPECT_EQ(ctl("event 1 9 5").status, 0);
    EXPECT_EQ(ctl("unplug 1").status, 0);
    connections = ctl("connections");
    EXPECT_NE(connections.out.find("connection 1 service=1"), std::string::npos);
    EXPECT_NE(connections.out.find("terminated"), std::string::npos);

    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    IOObjectRelease(service);
}

TEST_F(ControlToolTest, RefusalsAreReportedAndTheDaemonStaysQuiet)
{
    // Refused by the daemon: 1; not understood by the tool: 2.
    const std::pair<const char*, int> refusals[] = {
        {"unplug 9", 1}, {"plug no-such-model", 1}, {"event 9 2", 1},
        {"set 0 fault x", 1}, // the default factory knows no settings
        {"unplug one", 2}, {"frobnicate", 2},
    };
    for (const auto& [args, status] : refusals)
        EXPECT_EQ(ctl(args).status, status) << args;
    EXPECT_EQ(ctl("list", m_folder + "/none.sock").status, 1);

    // A second daemon on the same socket refuses to start.
    ProgramRun second = runProgram(TARSEL_KEXTD, {"--socket", m_path});
    EXPECT_EQ(second.status, 1);

    // A stop signal ends the daemon cleanly and takes the socket with it; nothing was printed
    // in normal operation.
    m_daemon->interrupt();
    const ProgramRun daemonRun = m_daemon->finish(10s);
    EXPECT_EQ(daemonRun.status, 0);
    EXPECT_EQ(daemonRun.out + daemonRun.err, "");
    struct stat st;
    EXPECT_NE(lstat(m_path.c_str(), &st), 0);
}

} // namespace
} // namespace kexttest
