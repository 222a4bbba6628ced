// The ALSA device under Debian's own programs, unchanged: aplay, arecord and speaker-test as
// child processes that find pcm.tarsel through a private asoundrc, their HAL loading
// TARSEL.plugin from the build, against a private simulated driver.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"
#include "tests/tools/SoundFiles.h"

namespace {

using namespace toolstest;
using namespace std::chrono_literals;
using kexttest::contains;
using kexttest::ProgramRun;
using Child = kexttest::BackgroundProgram;

const char* const kAplay = "/usr/bin/aplay";
const char* const kArecord = "/usr/bin/arecord";
const char* const kSpeakerTest = "/usr/bin/speaker-test";

// A private daemon with the Tarsel plugged, a private HOME whose asoundrc includes the build's
// configuration; the children's HAL loads the plug-in from the build.
class AlsaPrograms : public kexttest::KextTest {
protected:
    void SetUp() override
    {
        for (const char* program : {kAplay, kArecord, kSpeakerTest})
            if (access(program, X_OK) != 0)
                GTEST_SKIP() << program << " is not installed (scripts/deps.sh installs alsa-utils)";
        ASSERT_FALSE(m_home.folder().empty());
        std::ofstream(m_home.folder() / ".asoundrc") << "<" TARSEL_ALSA_CONF ">\n";
        setenv("TARSEL_HAL_PLUGIN_DIR", TARSEL_PLUGIN_FOLDER, 1);
        // A module built with a sanitizer needs its runtime loaded first in the programs;
        // their own leaks are not this test's.
        if (*TARSEL_CHILD_PRELOAD != '\0') {
            setenv("LD_PRELOAD", TARSEL_CHILD_PRELOAD, 1);
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        }
        KextTest::SetUp();
        m_service = daemon().plug("tarsel");
        ASSERT_NE(m_service, 0u);
    }
    void TearDown() override
    {
        KextTest::TearDown();
        unsetenv("TARSEL_HAL_PLUGIN_DIR");
        unsetenv("LD_PRELOAD");
    }
    std::filesystem::path folder() const { return m_home.folder(); }

    kexttest::PrivateHome m_home;
    uint32_t m_service = 0;
};

// A WAV file in each sample format the device offers (and a mono one), played by aplay into the
// loopback (the device chosen each way) while arecord records 32-bit float: the recording holds the file's samples
// unchanged, found by cross-correlation, its last ones too, for aplay drains before it ends.
struct FileCase {
    const char* name;
    int format, channels;
    const char* device;    // for aplay: the default, by number or by UID
    const char* described; // as aplay says what it plays
};

void PrintTo(const FileCase& c, std::ostream* out)
{
    *out << c.name;
}

class AplayFormats : public AlsaPrograms, public ::testing::WithParamInterface<FileCase> {};

TEST_P(AplayFormats, AplayIntoTheLoopbackWhileArecordRecords)
{
    const FileCase& c = GetParam();
    constexpr long kLead = kRate / 4, kNoise = kRate / 2;
    std::vector<float> played(size_t(kLead + kNoise) * size_t(c.channels), 0.0f);
    const std::vector<float> signal = noise(kNoise, c.channels, 3);
    std::copy(signal.begin(), signal.end(), played.begin() + kLead * c.channels);
    const std::filesystem::path file = folder() / "played.wav", recorded = folder() / "recorded.wav";
    ASSERT_TRUE(writeWav(file, played, c.channels, kRate, c.format));

    Child rec(kArecord, {"-D", "tarsel", "-f", "FLOAT_LE", "-r", "44100", "-c", "2", "-d", "3", recorded.string()},
              folder(), "arecord");
    ASSERT_TRUE(rec.started());
    ASSERT_TRUE(kexttest::waitUntil([&] { return sizeOf(recorded) > 8192; }, 20s)) << rec.finish(1s).err;
    const ProgramRun play = kexttest::runProgram(kAplay, {"-D", c.device, file.string()});
    const ProgramRun recording = rec.finish(20s);
    ASSERT_EQ(play.status, 0) << play.out << play.err;
    ASSERT_EQ(recording.status, 0) << recording.out << recording.err;
    EXPECT_TRUE(contains(play.err, c.described)) << play.err;

    const Frames back = readWav(recorded);
    ASSERT_EQ(back.channels, 2);
    EXPECT_EQ(back.rate, kRate);
    EXPECT_EQ(back.count(), 3 * kRate);
    // The first 4096 frames of the noise locate it; then every sample is compared.
    const std::vector<float> head(signal.begin(), signal.begin() + 4096 * c.channels);
    const Match match = findSignal(back, head, c.channels);
    ASSERT_GE(match.lag, 0) << "the noise did not come back";
    EXPECT_GT(match.strength, 0.999);
    ASSERT_LE(match.lag + kNoise, back.count()) << "the recording ended first";
    // The file as aplay reads it (libsndfile's float scale is not the converters'), within a
    // step of the device layer's 24-bit conversions; a channel the file lacks is silence.
    const Frames sent = readWav(file);
    for (long i = 0; i < kNoise; ++i)
        for (int ch = 0; ch < 2; ++ch)
            ASSERT_NEAR(back.at(match.lag + i, ch), ch < c.channels ? sent.at(kLead + i, ch) : 0.0f, 1.0 / 8388608.0)
                << "frame " << i << " channel " << ch;
}

INSTANTIATE_TEST_SUITE_P(
    Files, AplayFormats,
    ::testing::Values(
        FileCase{"S16", SF_FORMAT_PCM_16, 2, "tarsel", "Signed 16 bit Little Endian, Rate 44100 Hz, Stereo"},
        FileCase{"S24_3", SF_FORMAT_PCM_24, 2, "tarsel:0", "Signed 24 bit Little Endian in 3bytes, Rate 44100 Hz"},
        FileCase{"S32", SF_FORMAT_PCM_32, 2, "tarsel:DEV=\"tarsel:7E01:0003\"", "Signed 32 bit Little Endian, Rate 44100"},
        FileCase{"Float", SF_FORMAT_FLOAT, 2, "tarsel", "Float 32 bit Little Endian, Rate 44100 Hz"},
        FileCase{"S16Mono", SF_FORMAT_PCM_16, 1, "tarsel", "Signed 16 bit Little Endian, Rate 44100 Hz, Mono"}),
    [](const auto& info) { return std::string(info.param.name); });

// speaker-test's sine on the left and right speakers in turn, twice, three seconds each: it
// ends well, and the simulated driver's sink hears each round whole, without a break
// (speaker-test recovers from an xrun by itself, so a break is how one would show).
TEST_F(AlsaPrograms, SpeakerTestPlaysItsToneWithoutAnXrun)
{
    const std::filesystem::path sink = folder() / "sink.wav";
    Child test(kSpeakerTest, {"-D", "tarsel", "-t", "sine", "-f", "1000", "-c", "2", "-r", "44100", "-F", "S16_LE",
                              "-l", "2"},
               folder(), "speaker-test");
    ASSERT_TRUE(test.started());
    // The interface takes a sink once the program has it configured.
    ASSERT_TRUE(kexttest::waitUntil(
        [&] { return daemon().control().configure(m_service, "sink", "wav:" + sink.string()) == KERN_SUCCESS; }, 20s));
    const ProgramRun run = test.finish(60s);
    ASSERT_EQ(daemon().control().configure(m_service, "sink", "none"), KERN_SUCCESS);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_FALSE(contains(run.out + run.err, "rror")) << run.out << run.err;

    const Frames heard = readWav(sink);
    ASSERT_EQ(heard.channels, 2);
    // Rounds lie a tenth of a second or more apart; a sine at 1 kHz is never near zero for
    // three samples running, so three quiet ones inside a round are a break.
    for (int channel = 0; channel < 2; ++channel) {
        int rounds = 0, breaks = 0;
        long silent = kRate, loud = 0; // silence before the first sound
        for (long i = 0; i < heard.count(); ++i) {
            if (std::fabs(heard.at(i, channel)) < 0.01f) {
                ++silent;
                continue;
            }
            rounds += silent >= kRate / 10 ? 1 : 0;
            breaks += silent >= 3 && silent < kRate / 10 ? 1 : 0;
            ++loud;
            silent = 0;
        }
        EXPECT_EQ(rounds, 2) << "channel " << channel;
        EXPECT_EQ(breaks, 0) << "channel " << channel << ": the tone broke off";
        EXPECT_GT(loud, 4 * kRate) << "channel " << channel << ": " << double(loud) / kRate << " s of tone";
    }
}

// A device that is not there is an error that says why (AplayFormats chooses one by number and
// by UID).
TEST_F(AlsaPrograms, AnAbsentDeviceIsAnErrorThatSaysWhy)
{
    const std::filesystem::path file = folder() / "short.wav";
    ASSERT_TRUE(writeWav(file, noise(kRate / 10, 1, 9), 1, kRate, SF_FORMAT_PCM_16));
    const ProgramRun none = kexttest::runProgram(kAplay, {"-q", "-D", "tarsel:1", file.string()});
    EXPECT_NE(none.status, 0);
    EXPECT_TRUE(contains(none.err, "tarsel: there is no device 1 (1 attached, numbered from 0)")) << none.err;
    const ProgramRun unknown = kexttest::runProgram(kArecord, {"-q", "-D", "tarsel:DEV=nope", "-d", "1", (folder() / "x.wav").string()});
    EXPECT_NE(unknown.status, 0);
    EXPECT_TRUE(contains(unknown.err, "tarsel: no device has the UID 'nope'")) << unknown.err;
}

// The interface goes away while aplay plays: aplay ends with an error instead of waiting for
// a device that will not come back.
TEST_F(AlsaPrograms, UnpluggingEndsAplayWithAnError)
{
    const std::filesystem::path file = folder() / "long.wav";
    ASSERT_TRUE(writeWav(file, noise(20 * kRate, 2, 5), 2, kRate, SF_FORMAT_PCM_16));
    Child play(kAplay, {"-D", "tarsel", file.string()}, folder(), "aplay");
    ASSERT_TRUE(play.started());
    // Playing: aplay said what it plays, and the interface streams to its connection.
    ASSERT_TRUE(kexttest::waitUntil(
        [&] {
            std::vector<kext::ControlClient::ServiceEntry> services;
            return daemon().control().listServices(services) == KERN_SUCCESS && services.size() == 1 &&
                contains(services[0].description, "streaming=1");
        },
        20s))
        << play.finish(1s).err;
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(daemon().unplug(m_service), KERN_SUCCESS);
    bool hung = false;
    const ProgramRun run = play.finish(10s, &hung);
    ASSERT_FALSE(hung) << "aplay went on after the interface was gone\n" << run.err;
    EXPECT_NE(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "No such device")) << run.err;
}

} // namespace
