// The programs on the HAL's client calls as programs: each started as a child process whose HAL
// loads TARSEL.plugin from the build, against a private simulated kernel driver in loopback.
// How a change tarsel-mixer makes reaches the listeners of other processes is the plug-in's
// test (tests/halplugin) and the kernel driver's.
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"
#include "tests/tools/SoundFiles.h"

namespace {

using kexttest::contains;
using kexttest::BackgroundProgram;
using kexttest::ProgramRun;
using namespace std::chrono_literals;
using namespace toolstest;

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

// Whether jq (installed with the build's packages) finds `query` true of `json`.
bool jqHolds(const std::filesystem::path& folder, const std::string& json, const std::string& query)
{
    const std::filesystem::path file = folder / "out.json";
    std::ofstream(file) << json;
    return system(("jq -e '" + query + "' " + file.string() + " >/dev/null").c_str()) == 0;
}

// A 24-bit file: `lead` frames of silence, then channel c a cosine of 300 * (c + 1) Hz at half
// scale, so that every channel is told from the others and the first sound is loud at once.
bool writeTestWav(const std::filesystem::path& path, int channels, int rate, long lead, long frames)
{
    std::vector<float> samples(size_t(lead + frames) * size_t(channels), 0.0f);
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            samples[size_t(lead + i) * size_t(channels) + size_t(c)] =
                float(0.5 * std::cos(2.0 * M_PI * 300.0 * (c + 1) * double(i) / rate));
    return writeWav(path, samples, channels, rate, SF_FORMAT_PCM_24);
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
    void plugBoth()
    {
        ASSERT_NE(daemon().plug("tarsel"), 0u);
        ASSERT_NE(daemon().plug("kingsmere-digital-hs"), 0u);
    }

    kexttest::PrivateHome m_home;
};

constexpr const char* kKingsmere = "kingsmere-digital:7E0F:1000";

ProgramRun mixer(const std::vector<std::string>& args)
{
    return kexttest::runProgram(TARSEL_MIXER, args);
}

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
    // The same figures as the text, read by a JSON parser.
    EXPECT_TRUE(jqHolds(folder(), json.out,
                        "(.devices | length) == 1 and .devices[0].defaultOutput and "
                        ".devices[0].uid == \"tarsel:7E01:0003\" and .devices[0].nominalRate == 44100 and "
                        ".devices[0].output.channels == 2 and .devices[0].input.streams[0].direction == "
                        "\"input\" and .devices[0].frameSize.max == 1024"))
        << json.out;
}

// --- tarsel-play and tarsel-rec -------------------------------------------------------------------

// A file of 1 or 3 channels played to the 2-channel Tarsel while tarsel-rec records it: its
// first channels come back sample by sample, a missing one as silence, an extra one not.
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

    const Frames file = readWav(played), back = readWav(recorded);
    ASSERT_EQ(back.count(), 110250);
    EXPECT_EQ(back.channels, 2);
    EXPECT_EQ(back.rate, kRate);
    EXPECT_EQ(back.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    long heard = 0;
    while (heard < back.count() && std::fabs(back.at(heard, 0)) <= 0.25f)
        ++heard;
    ASSERT_LT(heard, back.count()) << "nothing came back";
    ASSERT_LE(heard + kFrames, back.count()) << "the recording ended first";
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
        const Frames wav = readWav(file);
        EXPECT_GT(wav.count(), 0) << "a WAV file with what was recorded";
        EXPECT_EQ(wav.count(), numberAfter(run.out, "recorded ")) << run.out;
    }
}

INSTANTIATE_TEST_SUITE_P(PlayOrRecord, Interrupt, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Recording" : "Playing"; });

// A file at another rate is refused unless the device is told to take it. Devices are chosen
// by number or UID, by the chooser every program shares: its refusals are checked here once.
TEST_F(HALTool, PlaySetsTheDeviceToTheFilesRateOnlyWhenTold)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    const std::filesystem::path file = folder() / "48k.wav";
    ASSERT_TRUE(writeTestWav(file, 2, 48000, 0, 4800));
    const ProgramRun refused = kexttest::runProgram(TARSEL_PLAY, {file.string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "is at 48000 Hz and Quenta Audio Tarsel at 44100 Hz; --rate-set")) << refused.err;

    // By its number here, by its UID in the mixer's tests.
    const ProgramRun set = kexttest::runProgram(TARSEL_PLAY, {file.string(), "--rate-set", "--device", "0"});
    EXPECT_EQ(set.status, 0) << set.out << set.err;

    const ProgramRun elsewhere = kexttest::runProgram(TARSEL_PLAY, {file.string(), "--device", "1"});
    EXPECT_EQ(elsewhere.status, 1);
    EXPECT_TRUE(contains(elsewhere.err, "there is no device 1 (1 attached")) << elsewhere.err;
    const ProgramRun unknown = kexttest::runProgram(TARSEL_REC, {"x.wav", "--seconds", "1", "--device", "nope"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(contains(unknown.err, "no device has the UID 'nope'")) << unknown.err;
}

// Each program's own mistakes in the arguments exit 2 with the reason, before any device is
// looked at (none is plugged). The shared option parser's refusals and --help are
// tarsel-devices' test (tests/device/DevicesToolTest.cpp); no device at all is tarsel-mixer's.
TEST_F(HALTool, EachProgramRefusesItsOwnBadArguments)
{
    const struct {
        const char* path;
        const char* name;
        kexttest::Refusal refusal;
    } cases[] = {
        {TARSEL_PLAY, "tarsel-play", {{}, 2, "no file to play"}},
        {TARSEL_PLAY, "tarsel-play", {{"a.wav", "--device", ""}, 2, "empty device name"}},
        {TARSEL_REC, "tarsel-rec", {{"r.wav"}, 2, "how long to record? (--seconds S)"}},
        {TARSEL_REC, "tarsel-rec", {{"r.wav", "--seconds", "1e3"}, 2, "invalid length '1e3'"}},
        {TARSEL_ROUNDTRIP, "tarsel-roundtrip", {{"--loopback-delay", "-3"}, 2, "invalid loopback delay"}},
        {TARSEL_ROUNDTRIP, "tarsel-roundtrip", {{"--out", ""}, 2, "empty folder name"}},
    };
    for (const auto& c : cases)
        kexttest::expectRefusals(c.path, c.name, {c.refusal}, true);
}

// --- tarsel-roundtrip -----------------------------------------------------------------------------

// The trip and the sine themselves are the device layer's loopback test's; here the program's
// run, its verdict and its two files. A trip beyond what the HAL reports passes only when the
// loopback delay is told; a signal that never comes back fails, with both files written for a
// look.
TEST_F(HALTool, RoundTripPassesOnlyWhenTheTripIsTheReportedOneAndSomethingComesBack)
{
    const uint32_t id = daemon().plug("tarsel");
    ASSERT_NE(id, 0u);
    const std::filesystem::path out = folder() / "out";
    const ProgramRun outside = kexttest::runProgram(TARSEL_ROUNDTRIP, {"--frames", "4096", "--out", out.string()});
    EXPECT_EQ(outside.status, 1);
    EXPECT_TRUE(contains(outside.err, "frame size 4096 is outside 64 to 1024")) << outside.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << "nothing is written after a refusal";

    ASSERT_EQ(daemon().control().configure(id, "source", "loopback:400"), KERN_SUCCESS);
    const ProgramRun told = kexttest::runProgram(
        TARSEL_ROUNDTRIP, {"--frames", "256", "--seconds", "1", "--loopback-delay", "400", "--out", out.string()});
    const long late = numberAfter(told.out, "calls too late for their output");
    if (told.status != 0 && contains(told.out, "sine               DIFFERS") && late != 0)
        GTEST_SKIP() << "IOProc calls came too late: the sine cannot come back whole\n" << told.out;
    ASSERT_EQ(told.status, 0) << told.out << told.err;
    EXPECT_TRUE(contains(told.out, "Quenta Audio Tarsel, 44100 Hz, 256 frames, 2 in / 2 out")) << told.out;
    EXPECT_TRUE(contains(told.out, ": as expected")) << told.out;
    EXPECT_TRUE(contains(told.out, "result: pass")) << told.out;
    const long frames = numberAfter(told.out, ".wav (");
    for (const char* name : {"played.wav", "recorded.wav"}) {
        const Frames file = readWav(out / name);
        EXPECT_EQ(std::pair(file.count(), file.channels), std::pair(frames, 2)) << name;
    }

    const ProgramRun untold = kexttest::runProgram(TARSEL_ROUNDTRIP, {"--seconds", "0.2", "--out", out.string()});
    EXPECT_EQ(untold.status, 1) << untold.out << untold.err;
    EXPECT_TRUE(contains(untold.out, ": DIFFERENT")) << untold.out;
    EXPECT_TRUE(contains(untold.out, "result: FAIL")) << untold.out;

    ASSERT_EQ(daemon().control().configure(id, "source", "silence"), KERN_SUCCESS);
    const ProgramRun silent = kexttest::runProgram(TARSEL_ROUNDTRIP, {"--seconds", "0.2", "--out", out.string()});
    EXPECT_EQ(silent.status, 1) << silent.out << silent.err;
    EXPECT_TRUE(contains(silent.out, "the pulse did not come back")) << silent.out;
    EXPECT_GT(readWav(out / "recorded.wav").count(), 0);
}

// --- tarsel-mixer ---------------------------------------------------------------------------------

// Every control of the default interface, by default; as JSON, the one with three input
// sources and neither input volume nor monitoring.
TEST_F(HALTool, MixerListShowsTheControlsEachDeviceHas)
{
    plugBoth();
    const ProgramRun tarsel = mixer({});
    ASSERT_EQ(tarsel.status, 0) << tarsel.err;
    EXPECT_EQ(tarsel.out, "Quenta Audio Tarsel (device 0, UID tarsel:7E01:0003)\n"
                          "output-source: 1 \"Main Out\" (sources: 1 \"Main Out\")\n"
                          "output-volume: channel 1 \"OUT 1\" 1.0000 (100.0%, 0.00 dB)\n"
                          "output-volume: channel 2 \"OUT 2\" 1.0000 (100.0%, 0.00 dB)\n"
                          "output-mute: channel 0 \"Master OUT\" off\n"
                          "input-source: 101 \"Analog In\" (sources: 101 \"Analog In\", 102 \"Digital In\")\n"
                          "input-volume: channel 0 \"Master IN\" 0.0000 (0.0%, 0.00 dB)\n"
                          "input-mute: channel 0 \"Master IN\" off\n"
                          "monitor: channel 0 \"Master IN\" off\n");

    const ProgramRun json = mixer({"--json", "--device", "1"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_TRUE(jqHolds(folder(), json.out,
                        ".device.uid == \"kingsmere-digital:7E0F:1000\" and .device.index == 1 and "
                        ".controls[\"input-source\"].current == 101 and "
                        "(.controls[\"input-source\"].sources | map(.id)) == [101, 102, 103] and "
                        ".controls[\"output-volume\"][0] == {\"channel\": 0, \"name\": \"Master OUT\", \"scalar\": 1, "
                        "\"percent\": 100, \"dB\": 0} and "
                        ".controls[\"output-mute\"][0].on == false and (.controls | has(\"monitor\") | not) and "
                        "(.controls | has(\"input-volume\") | not)"))
        << json.out;
}

// What is set reads back, in the run's own answer and in a later process's list: volume as a
// scalar, a percentage and decibels (a value that looks like an option too), mute, monitoring,
// a source by its place in the list and by its name.
TEST_F(HALTool, MixerSetValuesReadBack)
{
    plugBoth();
    struct Case {
        std::vector<std::string> args;
        std::string shown;
        bool lasts = true; // false: a later case changes it again
    };
    const std::vector<Case> cases = {
        {{"set", "output-volume", "0.5", "--channel", "1"}, "output-volume: channel 1 \"OUT 1\" 0.5000 (50.0%, -48.00 dB)\n", false},
        {{"set", "output-volume", "25%", "-c", "2"}, "output-volume: channel 2 \"OUT 2\" 0.2500 (25.0%, -72.00 dB)\n", false},
        // Every channel with volume without --channel; -96 to 0 dB puts -6 dB at 0.9375.
        {{"set", "output-volume", "-6dB"},
         "output-volume: channel 1 \"OUT 1\" 0.9375 (93.8%, -6.00 dB)\n"
         "output-volume: channel 2 \"OUT 2\" 0.9375 (93.8%, -6.00 dB)\n"},
        {{"set", "output-mute", "on"}, "output-mute: channel 0 \"Master OUT\" on\n"},
        {{"set", "monitor", "on"}, "monitor: channel 0 \"Master IN\" on\n"},
        {{"set", "input-source", "2"}, "input-source: 102 \"Digital In\" (sources: 101 \"Analog In\", 102 \"Digital In\")\n"},
        {{"--device", kKingsmere, "set", "input-source", "spdif (rca)"},
         "input-source: 103 \"SPDIF (RCA)\" (sources: 101 \"Analog\", 102 \"Analog - Sync Digital\", 103 \"SPDIF "
         "(RCA)\")\n"},
        {{"--device", kKingsmere, "set", "output-volume", "-24dB"},
         "output-volume: channel 0 \"Master OUT\" 0.7500 (75.0%, -24.00 dB)\n"},
    };
    for (const Case& c : cases) {
        const ProgramRun set = mixer(c.args);
        EXPECT_EQ(set.status, 0) << c.args[1] << ": " << set.err;
        EXPECT_EQ(set.out, c.shown) << c.args[1];
    }
    const ProgramRun tarsel = mixer({"list"}), kingsmere = mixer({"list", "--device", kKingsmere});
    for (const Case& c : cases) {
        if (!c.lasts)
            continue;
        const ProgramRun& later = c.args[0] == "--device" ? kingsmere : tarsel;
        EXPECT_TRUE(contains(later.out, c.shown)) << c.shown << later.out;
    }
    // The Tarsel's digital input has no volume: the control went with the analog source.
    EXPECT_FALSE(contains(tarsel.out, "input-volume")) << tarsel.out;
}

// A control, channel or source the device does not have exits 1 with the reason; mistakes in
// the arguments exit 2 before any device is looked at (representative ones of each kind), and
// without a device the program says so: the device chooser every program shares.
TEST_F(HALTool, MixerMissingControlsExitOneAndBadUsageTwo)
{
    kexttest::expectRefusals(TARSEL_MIXER, "tarsel-mixer",
                             {{{"frob"}, 2, "unknown command 'frob'"},
                              {{"get", "volume"}, 2, "unknown control 'volume'"},
                              {{"set", "output-volume"}, 2, "set output-volume to what?"},
                              {{"set", "output-volume", "150%"}, 2, "invalid volume '150%'"},
                              {{"set", "output-mute", "maybe"}, 2, "invalid switch 'maybe'"},
                              {{"get", "output-source", "--channel", "1"}, 2, "output-source has no channels"},
                              {{"list", "--channel", "1"}, 2, "--channel goes with get and set"}},
                             true);
    const ProgramRun none = mixer({});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(contains(none.err, "tarsel-mixer: no audio device")) << none.err;

    plugBoth();
    kexttest::expectRefusals(
        TARSEL_MIXER, "tarsel-mixer",
        {{{"--device", kKingsmere, "get", "input-volume"}, 1, "Kingsmere Audio Kingsmere Digital has no input-volume"},
         {{"get", "output-volume", "--channel", "3"}, 1, "Quenta Audio Tarsel has no output channel 3 (it has 2"},
         {{"set", "output-volume", "0.5", "--channel", "0"},
          1,
          "output channel 0 of Quenta Audio Tarsel has no volume (output-volume is on channels 1, 2)"},
         {{"set", "input-source", "103"}, 1, "Quenta Audio Tarsel has no input source '103'"}},
        true);
}

} // namespace
