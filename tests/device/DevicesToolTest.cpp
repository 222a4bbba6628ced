// tarsel-devices against a private simulated kernel driver: what it lists, what it changes,
// and how it fails.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"

namespace {

using kexttest::contains;
using ToolRun = kexttest::ProgramRun;

ToolRun runTool(const std::vector<std::string>& args)
{
    return kexttest::runProgram(TARSEL_DEVICES, args);
}

// A private HOME, so the devices' settings files stay out of the user's.
class DevicesToolTest : public kexttest::KextTest {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_home.folder().empty());
        KextTest::SetUp();
    }
    kexttest::PrivateHome m_home;
};

TEST_F(DevicesToolTest, ListsEveryInterfaceWithItsDetails)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    ASSERT_NE(daemon().plug("tarsel-lite-fs"), 0u);

    ToolRun text = runTool({});
    ASSERT_EQ(text.status, 0) << text.err;
    for (const char* part : {"0: Quenta Audio Tarsel [7e01:0003] high speed",
                             "1: Quenta Audio Tarsel Lite [7e01:0001] full speed", "model UID:",
                             "input formats (physical):", "output formats (virtual: 32-bit float, channels):",
                             "frame size: 256 (64 to 1024)", "latency: input"})
        EXPECT_TRUE(contains(text.out, part)) << part << " in\n" << text.out;

    ToolRun json = runTool({"--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"interfaces\": [", 0), 0u) << json.out;
    for (const char* part : {"\"usbId\": \"7e01:0003\", \"highSpeed\": true",
                             "\"usbId\": \"7e01:0001\", \"highSpeed\": false",
                             "\"frameSize\": {\"current\": 256, \"min\": 64, \"max\": 1024}"})
        EXPECT_TRUE(contains(json.out, part)) << part << " in\n" << json.out;
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
    const std::vector<kexttest::Refusal> refusals = {
        {{"--rate", "12345"}, 1, "12345 Hz is not offered"},
        {{"--frame-size", "4096"}, 1, "frame size 4096 is outside 64 to 1024"},
        {{"--output", "3x24"}, 1, "output format 3x24 at"},
        {{"--device", "4", "--rate", "48000"}, 1, "there is no interface 4"},
        {{"--output", "2by24"}, 2, "invalid format"},
        {{"--rate"}, 2, "option '--rate' needs a value"},
        {{"--loud"}, 2, "unknown option"},
        {{"extra"}, 2, "unexpected argument"},
    };
    kexttest::expectRefusals(TARSEL_DEVICES, "tarsel-devices", refusals, true);
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    ToolRun which = runTool({"--rate", "48000"});
    EXPECT_EQ(which.status, 2);
    EXPECT_TRUE(contains(which.err, "choose one with --device")) << which.err;

    EXPECT_TRUE(kexttest::showsUsage(runTool({"--help"}), "tarsel-devices"));
}

TEST(DevicesTool, WithoutKernelDriverSaysSo)
{
    ToolRun run = kexttest::runWithoutDaemon(TARSEL_DEVICES, {});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "cannot reach the kernel driver")) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

} // namespace
