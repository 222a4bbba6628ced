// tarsel-devices against a private simulated kernel driver: what it lists, what it changes,
// and how it fails.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/kext/KextFixture.h"

extern char** environ;

namespace {

struct ToolRun {
    int status = -1; // exit status, -1 when it did not exit normally
    std::string out, err;
};

// Runs the tool with `args`; its environment names the test's daemon.
ToolRun runTool(const std::vector<std::string>& args)
{
    ToolRun run;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    std::vector<std::string> words{TARSEL_DEVICES};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    int rc = posix_spawn(&child, TARSEL_DEVICES, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc == 0) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        std::string* sinks[2] = {&run.out, &run.err};
        int open = 2;
        while (open > 0 && poll(fds, 2, -1) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0)
                    continue;
                char buffer[4096];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, size_t(n));
                } else {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        int status = 0;
        waitpid(child, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(outPipe[0]);
    close(errPipe[0]);
    return run;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A private HOME, so the devices' settings files stay out of the user's.
class DevicesToolTest : public kexttest::KextTest {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/tarsel-tooltest-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_home = folder;
        const char* old = getenv("HOME");
        if (old != nullptr)
            m_oldHome = old;
        setenv("HOME", m_home.c_str(), 1);
        KextTest::SetUp();
    }
    void TearDown() override
    {
        KextTest::TearDown();
        if (!m_oldHome.empty())
            setenv("HOME", m_oldHome.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(m_home, ignored);
    }
    std::string m_home, m_oldHome;
};

TEST_F(DevicesToolTest, ListsEveryInterfaceWithItsDetails)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    ASSERT_NE(daemon().plug("tarsel-lite-fs"), 0u);

    ToolRun text = runTool({});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "0: Quenta Audio Tarsel [7e01:0003] high speed")) << text.out;
    EXPECT_TRUE(contains(text.out, "1: Quenta Audio Tarsel Lite [7e01:0001] full speed")) << text.out;
    EXPECT_TRUE(contains(text.out, "model UID:")) << text.out;
    EXPECT_TRUE(contains(text.out, "input formats (physical):")) << text.out;
    EXPECT_TRUE(contains(text.out, "output formats (virtual: 32-bit float, channels):")) << text.out;
    EXPECT_TRUE(contains(text.out, "frame size: 256 (64 to 1024)")) << text.out;
    EXPECT_TRUE(contains(text.out, "latency: input")) << text.out;

    ToolRun json = runTool({"--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"interfaces\": [", 0), 0u) << json.out;
    EXPECT_TRUE(contains(json.out, "\"usbId\": \"7e01:0003\", \"highSpeed\": true")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"usbId\": \"7e01:0001\", \"highSpeed\": false")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"frameSize\": {\"current\": 256, \"min\": 64, \"max\": 1024}")) << json.out;
    // The full-speed model stops at 48 kHz; its formats are all 16 bit.
    size_t lite = json.out.find("\"index\": 1");
    ASSERT_NE(lite, std::string::npos);
    EXPECT_FALSE(contains(json.out.substr(lite), "96000")) << json.out;
    EXPECT_FALSE(contains(json.out.substr(lite), "\"bits\": 24")) << json.out;
    EXPECT_EQ(json.out.substr(json.out.size() - 3), "]}\n");
}

TEST_F(DevicesToolTest, ChangesRateFormatAndFrameSize)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);

    ToolRun rate = runTool({"--rate", "48000", "--json"});
    ASSERT_EQ(rate.status, 0) << rate.err;
    EXPECT_TRUE(contains(rate.out, "\"running\": {\"rate\": 48000")) << rate.out;
    // The kernel keeps it for the next program.
    ToolRun again = runTool({"-j"});
    EXPECT_TRUE(contains(again.out, "\"running\": {\"rate\": 48000")) << again.out;

    ToolRun format = runTool({"--output", "2x24", "--input", "2x24", "--rate", "96000", "--json"});
    ASSERT_EQ(format.status, 0) << format.err;
    EXPECT_TRUE(contains(format.out, "\"running\": {\"rate\": 96000, \"input\": {\"channels\": 2, \"bits\": 24}, "
                                     "\"output\": {\"channels\": 2, \"bits\": 24}"))
        << format.out;

    // The frame size is this connection's own: it shows in the same run.
    ToolRun frames = runTool({"-d", "0", "-f", "512"});
    ASSERT_EQ(frames.status, 0) << frames.err;
    EXPECT_TRUE(contains(frames.out, "frame size: 512 (64 to 1024)")) << frames.out;
}

TEST_F(DevicesToolTest, RefusalsAndMistakesExitNonZeroWithAReason)
{
    ToolRun none = runTool({"--rate", "48000"});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(contains(none.err, "no interface is attached")) << none.err;
    ToolRun empty = runTool({"--json"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "{\"interfaces\": [\n]}\n");

    ASSERT_NE(daemon().plug("tarsel"), 0u);
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* reason;
    } cases[] = {
        {{"--rate", "12345"}, 1, "12345 Hz is not offered"},
        {{"--frame-size", "4096"}, 1, "frame size 4096 is outside 64 to 1024"},
        {{"--output", "3x24"}, 1, "output format 3x24 at"},
        {{"--device", "4", "--rate", "48000"}, 1, "there is no interface 4"},
        {{"--output", "2by24"}, 2, "invalid format"},
        {{"--rate"}, 2, "option '--rate' needs a value"},
        {{"--loud"}, 2, "unknown option"},
        {{"extra"}, 2, "unexpected argument"},
    };
    for (const Case& c : cases) {
        ToolRun run = runTool(c.args);
        EXPECT_EQ(run.status, c.status) << c.args[0];
        EXPECT_TRUE(contains(run.err, std::string("tarsel-devices: ") + c.reason)) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out; // no listing after a refusal
    }
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    ToolRun which = runTool({"--rate", "48000"});
    EXPECT_EQ(which.status, 2);
    EXPECT_TRUE(contains(which.err, "choose one with --device")) << which.err;

    ToolRun help = runTool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: tarsel-devices", 0), 0u) << help.out;
}

TEST(DevicesTool, WithoutKernelDriverSaysSo)
{
    char folder[] = "/tmp/tarsel-tooltest-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    setenv("TARSEL_KEXT_SOCKET", (std::string(folder) + "/none.sock").c_str(), 1);
    ToolRun run = runTool({});
    unsetenv("TARSEL_KEXT_SOCKET");
    rmdir(folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "cannot reach the kernel driver")) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

} // namespace
