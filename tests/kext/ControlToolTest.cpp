// tarsel-kextd and tarsel-kextctl as programs: plugging, listing, events and unplugging while
// a client holds the interface open.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "KextSocket.h"
#include "device/KernelEvent.h"
#include "tests/support/PrivateDaemon.h"
#include "tests/support/Subprocess.h"

extern char** environ;

namespace kexttest {
namespace {

using Result = ProgramRun;

// A command line's words (the tests' arguments hold no spaces of their own).
std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

class ControlToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/tarsel-kextctl-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_folder = folder;
        m_path = m_folder + "/kext.sock";
        m_log = m_folder + "/daemon.log";
        setenv("TARSEL_KEXT_SOCKET", m_path.c_str(), 1);
        m_daemon = start();
        ASSERT_GT(m_daemon, 0);
        ASSERT_TRUE(waitUntil([&] {
            int fd = kextwire::connectTo(m_path);
            if (fd >= 0)
                close(fd);
            return fd >= 0;
        }));
    }
    void TearDown() override
    {
        if (m_daemon > 0) {
            kill(m_daemon, SIGKILL);
            waitpid(m_daemon, nullptr, 0);
        }
        unlink(m_path.c_str());
        unlink(m_log.c_str());
        rmdir(m_folder.c_str());
        unsetenv("TARSEL_KEXT_SOCKET");
    }
    pid_t start()
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const char* argv[] = {TARSEL_KEXTD, "--socket", m_path.c_str(), "--plug", "default", nullptr};
        pid_t pid = 0;
        int rc = posix_spawn(&pid, TARSEL_KEXTD, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }
    Result ctl(const std::string& args, const std::string& socket = {})
    {
        std::vector<std::string> all{"--socket", socket.empty() ? m_path : socket};
        for (std::string& w : words(args))
            all.push_back(std::move(w));
        return runProgram(TARSEL_KEXTCTL, all);
    }
    std::string log()
    {
        std::ifstream in(m_log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string m_folder, m_path, m_log;
    pid_t m_daemon = -1;
};

// What the tool's events and unplugging do to listeners is NotificationTest's and the device
// manager's;
// here what the tool says and does.
TEST_F(ControlToolTest, PlugsListsPostsAndUnplugsUnderAnOpenClient)
{
    Result list = ctl("list");
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("service 1 class=ZmKernelDeviceTARSEL name=\"ZmKernelDeviceTARSEL\" model=default"),
              std::string::npos)
        << list.out;

    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    io_connect_t connect = 0;
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connect), kIOReturnSuccess);

    Result plugged = ctl("plug default --darwin8");
    EXPECT_EQ(plugged.status, 0);
    EXPECT_EQ(plugged.out, "2\n");
    Result services = ctl("services");
    EXPECT_NE(services.out.find("service 2 class=ZmKernelDeviceTARSELTiger"), std::string::npos) << services.out;
    Result connections = ctl("connections");
    EXPECT_NE(connections.out.find("connection 1 service=1 pid=" + std::to_string(getpid()) + " type=0"),
              std::string::npos)
        << connections.out;

    EXPECT_EQ(ctl("event 1 9 5").status, 0);
    EXPECT_EQ(ctl("unplug 1").status, 0);
    connections = ctl("connections");
    EXPECT_NE(connections.out.find("connection 1 service=1"), std::string::npos);
    EXPECT_NE(connections.out.find("terminated"), std::string::npos);
    DriverRequest r{};
    r.iCode = kReqOpen;
    IOByteCount size = sizeof r;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(connect, 0, sizeof r, &size, &r, &r), kIOReturnNoDevice);

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
    Result second = runProgram(TARSEL_KEXTD, {"--socket", m_path});
    EXPECT_EQ(second.status, 1);

    // SIGTERM stops the daemon cleanly and takes the socket with it.
    ASSERT_EQ(kill(m_daemon, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(m_daemon, &status, 0), m_daemon);
    m_daemon = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st;
    EXPECT_NE(lstat(m_path.c_str(), &st), 0);
    EXPECT_EQ(log(), ""); // nothing printed in normal operation
}

} // namespace
} // namespace kexttest
