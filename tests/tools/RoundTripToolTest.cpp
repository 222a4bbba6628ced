// tarsel-roundtrip as a program against a private simulated kernel driver: one run through the
// loopback with its WAV files, the failures it must report, and its refusals. The round trip
// itself is measured in the device's I/O tests.
#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
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
    return kexttest::runProgram(TARSEL_ROUNDTRIP, args);
}

// The number after the first `label` in `text` (spaces skipped), or -1.
long numberAfter(const std::string& text, const std::string& label)
{
    const size_t at = text.find(label);
    if (at == std::string::npos)
        return -1;
    const char* start = text.c_str() + at + label.size();
    char* end = nullptr;
    const long value = std::strtol(start, &end, 10);
    return end == start ? -1 : value;
}

// A WAV file as libsndfile reads it; frames < 0 when it cannot be opened.
struct Wav {
    long frames = -1;
    int channels = 0;
    int rate = 0;
    std::vector<float> samples;
};

Wav readWav(const std::filesystem::path& path)
{
    Wav wav;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return wav;
    wav.frames = long(info.frames);
    wav.channels = info.channels;
    wav.rate = info.samplerate;
    wav.samples.resize(size_t(info.frames) * size_t(info.channels));
    if (sf_readf_float(file, wav.samples.data(), info.frames) != info.frames)
        wav.frames = -1;
    sf_close(file);
    return wav;
}

// The first frame whose channel 0 is louder than `level`, or -1.
long firstLoud(const Wav& wav, float level)
{
    for (long i = 0; i < wav.frames; ++i)
        if (std::fabs(wav.samples[size_t(i) * size_t(wav.channels)]) > level)
            return i;
    return -1;
}

// A private HOME, which holds the output folder too.
class RoundTripToolTest : public kexttest::KextTest {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_home.folder().empty());
        KextTest::SetUp();
    }
    std::filesystem::path out() const { return m_home.folder() / "out"; }
    kexttest::PrivateHome m_home;
};

TEST_F(RoundTripToolTest, RoundTripThroughTheLoopbackWithBothWavFiles)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    ToolRun run = runTool({"--frames", "256", "--seconds", "1", "--out", out().string()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "44100 Hz, 256 frames, 2 in / 2 out")) << run.out;
    EXPECT_TRUE(contains(run.out, "streaming\u2026 1/")) << run.out;
    EXPECT_TRUE(contains(run.out, "matches sample by sample")) << run.out;
    EXPECT_TRUE(contains(run.out, "result: pass")) << run.out;

    const long trip = numberAfter(run.out, "round trip ");
    const long frames = numberAfter(run.out, ".wav (");
    ASSERT_GT(trip, 0) << run.out;
    // Half a second, the pulse, a quarter second, the one-second sine and the tail.
    EXPECT_GE(frames, long(1.75 * 44100));
    EXPECT_LT(frames, long(2.5 * 44100));

    const Wav played = readWav(out() / "played.wav");
    const Wav recorded = readWav(out() / "recorded.wav");
    ASSERT_EQ(played.frames, frames);
    ASSERT_EQ(recorded.frames, frames);
    EXPECT_EQ(played.channels, 2);
    EXPECT_EQ(recorded.channels, 2);
    EXPECT_EQ(played.rate, 44100);
    EXPECT_EQ(recorded.rate, 44100);
    // The pulse leaves after half a second and is heard one round trip later; the files start
    // with the first buffer each way.
    EXPECT_EQ(firstLoud(played, 0.25f), 22050);
    EXPECT_EQ(firstLoud(recorded, 0.25f), 22050 + trip);
}

// The tool compares the round trip with the delay it is told and fails when they differ; a
// signal that never comes back fails too.
TEST_F(RoundTripToolTest, AWrongRoundTripOrASilentInputFails)
{
    const uint32_t id = daemon().plug("tarsel");
    ASSERT_NE(id, 0u);
    ASSERT_EQ(daemon().control().configure(id, "source", "loopback:37"), KERN_SUCCESS);
    ToolRun told = runTool({"--seconds", "0.2", "--loopback-delay", "37", "--out", out().string()});
    EXPECT_EQ(told.status, 0) << told.out << told.err;
    EXPECT_TRUE(contains(told.out, "loopback delay 37")) << told.out;

    ToolRun untold = runTool({"--seconds", "0.2", "--out", out().string()});
    EXPECT_EQ(untold.status, 1) << untold.out << untold.err;
    EXPECT_TRUE(contains(untold.out, "DIFFERENT")) << untold.out;
    EXPECT_TRUE(contains(untold.out, "result: FAIL")) << untold.out;

    ASSERT_EQ(daemon().control().configure(id, "source", "silence"), KERN_SUCCESS);
    ToolRun silent = runTool({"--seconds", "0.2", "--out", out().string()});
    EXPECT_EQ(silent.status, 1) << silent.out << silent.err;
    EXPECT_TRUE(contains(silent.out, "the pulse did not come back")) << silent.out;
    // The files are written all the same, for a look at what happened.
    EXPECT_GT(readWav(out() / "recorded.wav").frames, 0);
}

TEST_F(RoundTripToolTest, RefusalsAndMistakesExitNonZeroWithAReason)
{
    ToolRun none = runTool({"--out", out().string()});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(contains(none.err, "tarsel-roundtrip: no interface is attached")) << none.err;

    ASSERT_NE(daemon().plug("tarsel"), 0u);
    const std::vector<kexttest::Refusal> refusals = {
        {{"--frames", "4096"}, 1, "frame size 4096 is outside 64 to 1024"},
        {{"--seconds", "1e9"}, 2, "invalid length"},
        {{"--loopback-delay", "-3"}, 2, "invalid loopback delay"},
        {{"--out", ""}, 2, "empty folder name"},
    };
    kexttest::expectRefusals(TARSEL_ROUNDTRIP, "tarsel-roundtrip", refusals, false);
    EXPECT_FALSE(std::filesystem::exists(out())) << "nothing is written after a refusal";

    EXPECT_TRUE(kexttest::showsUsage(runTool({"--help"}), "tarsel-roundtrip"));
}

TEST(RoundTripTool, WithoutKernelDriverSaysSo)
{
    ToolRun run = kexttest::runWithoutDaemon(TARSEL_ROUNDTRIP, {});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "cannot reach the kernel driver")) << run.err;
}

} // namespace
