// The programs on the HAL's client calls as programs: each started as a child process whose HAL
// loads TARSEL.plugin from the build, against a private simulated kernel driver in loopback.
#include <sndfile.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"

namespace {

using kexttest::contains;
using kexttest::BackgroundProgram;
using kexttest::ProgramRun;
using namespace std::chrono_literals;

constexpr int kRate = 44100;
constexpr double kStep = 1.0 / 8388608.0; // one 24-bit step

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

// --- sound files ----------------------------------------------------------------------------------

struct Wav {
    long frames = -1; // -1: it could not be read
    int channels = 0;
    int rate = 0;
    int format = 0;
    std::vector<float> samples;
    float at(long frame, int channel) const { return samples[size_t(frame) * size_t(channels) + size_t(channel)]; }
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
    wav.format = info.format;
    wav.samples.resize(size_t(info.frames) * size_t(info.channels));
    if (sf_readf_float(file, wav.samples.data(), info.frames) != info.frames)
        wav.frames = -1;
    sf_close(file);
    return wav;
}

// A 24-bit file: `lead` frames of silence, then channel c a cosine of 300 * (c + 1) Hz at half
// scale, so that every channel is told from the others and the first sound is loud at once.
bool writeTestWav(const std::filesystem::path& path, int channels, int rate, long lead, long frames)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        return false;
    std::vector<float> samples(size_t(lead + frames) * size_t(channels), 0.0f);
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            samples[size_t(lead + i) * size_t(channels) + size_t(c)] =
                float(0.5 * std::cos(2.0 * M_PI * 300.0 * (c + 1) * double(i) / rate));
    const bool written = sf_writef_float(file, samples.data(), lead + frames) == lead + frames;
    return sf_close(file) == 0 && written;
}

long firstLoud(const Wav& wav, float level)
{
    for (long i = 0; i < wav.frames; ++i)
        if (std::fabs(wav.at(i, 0)) > level)
            return i;
    return -1;
}

// The size of a file, 0 while there is none.
uintmax_t sizeOf(const std::filesystem::path& path)
{
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// --- the fixture ----------------------------------------------------------------------------------

// A private daemon and HOME; the children's HAL loads the plug-in from the build.
class HALTool : public kexttest::KextTest {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_home.folder().empty());
        setenv("TARSEL_HAL_PLUGIN_DIR", TARSEL_PLUGIN_FOLDER, 1);
        KextTest::SetUp();
    }
    void TearDown() override
    {
        KextTest::TearDown();
        unsetenv("TARSEL_HAL_PLUGIN_DIR");
    }
    std::filesystem::path folder() const { return m_home.folder(); }

    kexttest::PrivateHome m_home;
};

// --- tarsel-hal -----------------------------------------------------------------------------------

TEST_F(HALTool, HalListsTheDeviceAndItsStreamsAsTextAndAsJson)
{
    const ProgramRun none = kexttest::runProgram(TARSEL_HAL, {});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(contains(none.err, "tarsel-hal: no audio device")) << none.err;

    ASSERT_NE(daemon().plug("tarsel"), 0u);
    const ProgramRun text = kexttest::runProgram(TARSEL_HAL, {});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out.rfind("0: Quenta Audio Tarsel (device ", 0), 0u) << text.out;
    for (const char* line : {", default output, default input)\n", "  UID: tarsel:7E01:0003\n",
                             "  sample rate: 44100 Hz; available: 44100* 48000",
                             "  frame size: 256 frames (64 to 1024)\n", "  output: 2 channels in 1 buffer (2), latency ",
                             "  input: 2 channels in 1 buffer (2), latency ", "      44100 Hz: 2x32 float* 4x32 float",
                             ": output, latency ", ": input, latency "})
        EXPECT_TRUE(contains(text.out, line)) << line << "\n" << text.out;

    const ProgramRun json = kexttest::runProgram(TARSEL_HAL, {"--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"devices\": [", 0), 0u) << json.out;
    if (system("command -v jq >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "jq is not installed: the JSON is not parsed";
    const std::filesystem::path file = folder() / "devices.json";
    std::ofstream(file) << json.out;
    // The same figures as the text, read by a JSON parser.
    const std::string query = "jq -e '(.devices | length) == 1 and .devices[0].defaultOutput and "
                              ".devices[0].uid == \"tarsel:7E01:0003\" and .devices[0].nominalRate == 44100 and "
                              ".devices[0].output.channels == 2 and .devices[0].input.streams[0].direction == "
                              "\"input\" and .devices[0].frameSize.max == 1024' " +
                              file.string() + " >/dev/null";
    EXPECT_EQ(system(query.c_str()), 0) << json.out;
}

// --- tarsel-play and tarsel-rec -------------------------------------------------------------------

// A file of 1, 2 or 3 channels played to the 2-channel Tarsel while tarsel-rec records it:
// its first channels come back sample by sample, a missing one as silence, an extra one not.
class PlayRec : public HALTool, public ::testing::WithParamInterface<int> {};

TEST_P(PlayRec, WhatIsPlayedComesBackInTheRecording)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    const int channels = GetParam();
    constexpr long kLead = kRate / 5, kFrames = kRate / 2;
    const std::filesystem::path played = folder() / "played.wav", recorded = folder() / "recorded.wav";
    ASSERT_TRUE(writeTestWav(played, channels, kRate, kLead, kFrames));

    BackgroundProgram rec(TARSEL_REC, {recorded.string(), "--seconds", "2.5"}, folder());
    ASSERT_TRUE(rec.started());
    // Recording once its file grows past the header.
    ASSERT_TRUE(kexttest::waitUntil([&] { return sizeOf(recorded) > 4096; })) << rec.finish().err;
    const ProgramRun play = kexttest::runProgram(TARSEL_PLAY, {played.string()});
    const ProgramRun recording = rec.finish();
    ASSERT_EQ(play.status, 0) << play.out << play.err;
    ASSERT_EQ(recording.status, 0) << recording.out << recording.err;
    EXPECT_TRUE(contains(play.out, std::to_string(channels) + " channels at 44100 Hz, 0.70 s -> Quenta Audio Tarsel, 2 channels"))
        << play.out;
    EXPECT_TRUE(contains(play.out, "played 30870 frames (0.70 s); ring underruns: 0;")) << play.out;
    EXPECT_TRUE(contains(recording.out, "recorded 110250 frames (2.50 s)")) << recording.out;
    EXPECT_TRUE(contains(recording.out, "ring overruns: 0 (0 frames lost)")) << recording.out;

    const Wav file = readWav(played), back = readWav(recorded);
    ASSERT_EQ(back.frames, 110250);
    EXPECT_EQ(back.channels, 2);
    EXPECT_EQ(back.rate, kRate);
    EXPECT_EQ(back.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    const long heard = firstLoud(back, 0.25f);
    ASSERT_GE(heard, 0) << "nothing came back";
    ASSERT_LE(heard + kFrames, back.frames) << "the recording ended first";
    // A machine too busy to keep the I/O thread in time loses audio of its own accord.
    const long late = numberAfter(play.out, "calls too late for their output: ");
    for (long i = 0; i < kFrames; ++i)
        for (int c = 0; c < 2; ++c) {
            const float want = c < channels ? file.at(kLead + i, c) : 0.0f;
            if (std::fabs(back.at(heard + i, c) - want) > 3 * kStep) {
                if (late != 0)
                    GTEST_SKIP() << late << " IOProc calls came too late: the file cannot come back whole";
                FAIL() << "frame " << i << " channel " << c << ": " << back.at(heard + i, c) << " for " << want;
            }
        }
}

// Two channels come back in the round trip's test.
INSTANTIATE_TEST_SUITE_P(FileChannels, PlayRec, ::testing::Values(1, 3),
                         [](const auto& info) { return std::to_string(info.param) + "Channels"; });

// Ctrl-C while playing or recording: the IOProc stops, the report says so, the exit status is
// 130, and a recording is a valid WAV file of what came before.
class Interrupt : public HALTool, public ::testing::WithParamInterface<bool> {};

TEST_P(Interrupt, CtrlCStopsCleanly)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    const bool recording = GetParam();
    const std::filesystem::path file = folder() / (recording ? "take.wav" : "long.wav");
    if (!recording) {
        ASSERT_TRUE(writeTestWav(file, 2, kRate, 0, 30 * kRate));
    }
    BackgroundProgram child(recording ? TARSEL_REC : TARSEL_PLAY,
                            recording ? std::vector<std::string>{file.string(), "--seconds", "30"}
                                      : std::vector<std::string>{file.string()},
                            folder());
    ASSERT_TRUE(child.started());
    const std::filesystem::path out = folder() / "child.out";
    // Streaming: the recording grows, or the player has said what it plays and had a moment.
    ASSERT_TRUE(kexttest::waitUntil([&] { return recording ? sizeOf(file) > 8192 : sizeOf(out) > 0; }))
        << child.finish().err;
    if (!recording)
        std::this_thread::sleep_for(500ms);
    child.interrupt();
    const ProgramRun run = child.finish();
    EXPECT_EQ(run.status, 130) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, ", stopped by Ctrl-C; ring ")) << run.out;
    if (recording) {
        const Wav wav = readWav(file);
        EXPECT_GT(wav.frames, 0) << "a WAV file with what was recorded";
        EXPECT_EQ(wav.frames, numberAfter(run.out, "recorded ")) << run.out;
        EXPECT_EQ(wav.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    }
}

INSTANTIATE_TEST_SUITE_P(PlayOrRecord, Interrupt, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Recording" : "Playing"; });

// A file at another rate is refused unless the device is told to take it; devices are chosen
// by number or UID.
TEST_F(HALTool, PlaySetsTheDeviceToTheFilesRateOnlyWhenTold)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    const std::filesystem::path file = folder() / "48k.wav";
    ASSERT_TRUE(writeTestWav(file, 2, 48000, 0, 4800));
    const ProgramRun refused = kexttest::runProgram(TARSEL_PLAY, {file.string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "is at 48000 Hz and Quenta Audio Tarsel at 44100 Hz; --rate-set")) << refused.err;

    const ProgramRun set = kexttest::runProgram(TARSEL_PLAY, {file.string(), "--rate-set", "--device", "tarsel:7E01:0003"});
    EXPECT_EQ(set.status, 0) << set.out << set.err;
    // The device kept the rate.
    const ProgramRun again = kexttest::runProgram(TARSEL_PLAY, {file.string(), "--device", "0"});
    EXPECT_EQ(again.status, 0) << again.out << again.err;

    const ProgramRun elsewhere = kexttest::runProgram(TARSEL_PLAY, {file.string(), "--device", "1"});
    EXPECT_EQ(elsewhere.status, 1);
    EXPECT_TRUE(contains(elsewhere.err, "there is no device 1 (1 attached")) << elsewhere.err;
    const ProgramRun unknown = kexttest::runProgram(TARSEL_REC, {"x.wav", "--seconds", "1", "--device", "nope"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(contains(unknown.err, "no device has the UID 'nope'")) << unknown.err;
}

// --- every program: refusals ----------------------------------------------------------------------

struct Program {
    const char* name;
    const char* path;
    std::vector<kexttest::Refusal> refusals; // exit status 2 each
};

void PrintTo(const Program& program, std::ostream* out)
{
    *out << program.name;
}

class Usage : public HALTool, public ::testing::WithParamInterface<Program> {};

// Mistakes in the arguments exit 2 with the reason, before any device is looked at; without a
// device the programs that need one exit 1 and say so.
TEST_P(Usage, BadArgumentsExitTwoAndNoDeviceExitsOne)
{
    const Program& p = GetParam();
    kexttest::expectRefusals(p.path, p.name, p.refusals, true);
    EXPECT_TRUE(kexttest::showsUsage(kexttest::runProgram(p.path, {"--help"}), p.name));

    std::vector<std::string> valid;
    if (std::string(p.name) == "tarsel-play") {
        ASSERT_TRUE(writeTestWav(folder() / "a.wav", 1, kRate, 0, 10));
        valid = {(folder() / "a.wav").string()};
    } else if (std::string(p.name) == "tarsel-rec") {
        valid = {(folder() / "r.wav").string(), "--seconds", "1"};
    } else if (std::string(p.name) == "tarsel-roundtrip") {
        valid = {"--out", (folder() / "out").string()};
    }
    const ProgramRun none = kexttest::runProgram(p.path, valid);
    EXPECT_EQ(none.status, 1) << none.out << none.err;
    EXPECT_TRUE(contains(none.err, std::string(p.name) + ": no audio device")) << none.err;
}

INSTANTIATE_TEST_SUITE_P(
    Programs, Usage,
    ::testing::Values(
        // The shared option parser's refusals are tarsel-devices' test; here each program's own.
        Program{"tarsel-hal", TARSEL_HAL, {}},
        Program{"tarsel-play", TARSEL_PLAY, {{{}, 2, "no file to play"}, {{"a.wav", "--device", ""}, 2, "empty device name"}}},
        Program{"tarsel-rec",
                TARSEL_REC,
                {{{"--seconds", "1"}, 2, "no file to record into"},
                 {{"r.wav"}, 2, "how long to record? (--seconds S)"},
                 {{"r.wav", "--seconds", "1e3"}, 2, "invalid length '1e3'"}}},
        Program{"tarsel-roundtrip",
                TARSEL_ROUNDTRIP,
                {{{"--loopback-delay", "-3"}, 2, "invalid loopback delay"},
                 {{"--frames", "0"}, 2, "invalid frame size"},
                 {{"--out", ""}, 2, "empty folder name"}}}),
    [](const auto& info) { return std::string(info.param.name + 7); }); // after "tarsel-"

// --- tarsel-roundtrip -----------------------------------------------------------------------------

TEST_F(HALTool, RoundTripThroughTheLoopbackWithBothWavFiles)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    const std::filesystem::path out = folder() / "out";
    const ProgramRun run =
        kexttest::runProgram(TARSEL_ROUNDTRIP, {"--frames", "256", "--seconds", "1", "--out", out.string()});
    const long late = numberAfter(run.out, "calls too late for their output");
    if (run.status != 0 && contains(run.out, "sine               DIFFERS") && late != 0)
        GTEST_SKIP() << "IOProc calls came too late: the sine cannot come back whole\n" << run.out;
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "Quenta Audio Tarsel, 44100 Hz, 256 frames, 2 in / 2 out")) << run.out;
    EXPECT_TRUE(contains(run.out, "streaming\u2026 1/")) << run.out;
    // The HAL's figures for this device at 256 frames, and the trip between them.
    EXPECT_TRUE(contains(run.out, "output latency 284 + safety offset 0 + 2 buffers of 256 = 796")) << run.out;
    EXPECT_TRUE(contains(run.out, "expected 796 to 864: as expected")) << run.out;
    EXPECT_TRUE(contains(run.out, "matches sample by sample")) << run.out;
    EXPECT_TRUE(contains(run.out, "result: pass")) << run.out;

    const long trip = numberAfter(run.out, "round trip ");
    const long frames = numberAfter(run.out, ".wav (");
    const Wav played = readWav(out / "played.wav");
    const Wav recorded = readWav(out / "recorded.wav");
    ASSERT_EQ(played.frames, frames);
    ASSERT_EQ(recorded.frames, frames);
    EXPECT_EQ(played.channels, 2);
    EXPECT_EQ(recorded.channels, 2);
    EXPECT_EQ(recorded.rate, kRate);
    // The pulse leaves after half a second and is heard one round trip later; the files start
    // with the first buffer each way.
    EXPECT_EQ(firstLoud(played, 0.25f), kRate / 2);
    EXPECT_EQ(firstLoud(recorded, 0.25f), kRate / 2 + trip);
}

// A trip beyond what the HAL reports fails unless the loopback delay is told; a signal that
// never comes back fails too, with both files written for a look.
TEST_F(HALTool, RoundTripFailsWhenTheTripIsNotTheReportedOneOrNothingComesBack)
{
    const uint32_t id = daemon().plug("tarsel");
    ASSERT_NE(id, 0u);
    const std::string out = (folder() / "out").string();
    const ProgramRun outside = kexttest::runProgram(TARSEL_ROUNDTRIP, {"--frames", "4096", "--out", out});
    EXPECT_EQ(outside.status, 1);
    EXPECT_TRUE(contains(outside.err, "frame size 4096 is outside 64 to 1024")) << outside.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << "nothing is written after a refusal";

    ASSERT_EQ(daemon().control().configure(id, "source", "loopback:400"), KERN_SUCCESS);
    const ProgramRun told = kexttest::runProgram(TARSEL_ROUNDTRIP, {"--seconds", "0.2", "--loopback-delay", "400", "--out", out});
    EXPECT_TRUE(contains(told.out, ": as expected")) << told.out;
    const ProgramRun untold = kexttest::runProgram(TARSEL_ROUNDTRIP, {"--seconds", "0.2", "--out", out});
    EXPECT_EQ(untold.status, 1) << untold.out << untold.err;
    EXPECT_TRUE(contains(untold.out, ": DIFFERENT")) << untold.out;
    EXPECT_TRUE(contains(untold.out, "result: FAIL")) << untold.out;

    ASSERT_EQ(daemon().control().configure(id, "source", "silence"), KERN_SUCCESS);
    const ProgramRun silent = kexttest::runProgram(TARSEL_ROUNDTRIP, {"--seconds", "0.2", "--out", out});
    EXPECT_EQ(silent.status, 1) << silent.out << silent.err;
    EXPECT_TRUE(contains(silent.out, "the pulse did not come back")) << silent.out;
    EXPECT_GT(readWav(folder() / "out" / "recorded.wav").frames, 0);
}

} // namespace
