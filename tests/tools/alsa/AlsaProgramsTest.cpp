// The ALSA device under Debian's own programs, unchanged: aplay, arecord and speaker-test as
// child processes that find pcm.tarsel through a private asoundrc, their HAL loading
// TARSEL.plugin from the build, against a private simulated driver.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"
#include "tests/tools/alsa/AlsaSupport.h"

namespace {

using namespace alsatest;
using namespace std::chrono_literals;
using kexttest::contains;
using kexttest::ProgramRun;
using Child = kexttest::BackgroundProgram;

const char* const kAplay = "/usr/bin/aplay";
const char* const kArecord = "/usr/bin/arecord";
const char* const kSpeakerTest = "/usr/bin/speaker-test";

uintmax_t sizeOf(const std::filesystem::path& path)
{
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}


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

// aplay plays a 16-bit WAV file into the loopback while arecord records 32-bit float: the
// recording holds the file's samples unchanged, found by cross-correlation.
TEST_F(AlsaPrograms, AplayIntoTheLoopbackWhileArecordRecords)
{
    constexpr long kLead = kRate / 4, kNoise = kRate, kTail = kRate / 4;
    std::vector<float> played(size_t(kLead + kNoise + kTail) * 2, 0.0f);
    const std::vector<float> signal = noise(kNoise, 2, 3);
    std::copy(signal.begin(), signal.end(), played.begin() + kLead * 2);
    const std::filesystem::path file = folder() / "played.wav", recorded = folder() / "recorded.wav";
    ASSERT_TRUE(writeWav(file, played, 2, kRate, SF_FORMAT_PCM_16));

    Child rec(kArecord, {"-D", "tarsel", "-f", "FLOAT_LE", "-r", "44100", "-c", "2", "-d", "4", recorded.string()},
              folder(), "arecord");
    ASSERT_TRUE(rec.started());
    ASSERT_TRUE(kexttest::waitUntil([&] { return sizeOf(recorded) > 8192; }, 20s)) << rec.finish(1s).err;
    const ProgramRun play = kexttest::runProgram(kAplay, {"-D", "tarsel", file.string()});
    const ProgramRun recording = rec.finish(20s);
    ASSERT_EQ(play.status, 0) << play.out << play.err;
    ASSERT_EQ(recording.status, 0) << recording.out << recording.err;
    EXPECT_TRUE(contains(play.err, "Signed 16 bit Little Endian, Rate 44100 Hz, Stereo")) << play.err;

    int rate = 0;
    const Frames back = readWav(recorded, &rate);
    ASSERT_EQ(back.channels, 2);
    EXPECT_EQ(rate, kRate);
    EXPECT_EQ(back.count(), 4 * kRate);
    // The first 4096 frames of the noise locate it; then every sample is compared.
    const std::vector<float> head(signal.begin(), signal.begin() + 4096 * 2);
    const Match match = findSignal(back, head, 2);
    ASSERT_GE(match.lag, 0) << "the noise did not come back";
    EXPECT_GT(match.strength, 0.999);
    ASSERT_LE(match.lag + kNoise, back.count()) << "the recording ended first";
    // The file as aplay reads it (libsndfile stored the floats on its own 16-bit scale), within
    // a step of the device layer's 24-bit conversions.
    const Frames sent = readWav(file);
    ASSERT_EQ(sent.count(), kLead + kNoise + kTail);
    for (long i = 0; i < kNoise; ++i)
        for (int c = 0; c < 2; ++c)
            ASSERT_NEAR(back.at(match.lag + i, c), sent.at(kLead + i, c), 1.0 / 8388608.0)
                << "frame " << i << " channel " << c;
}

// A stretch of tone on one channel: where it starts, how long it is, how often its sign
// changes, and how many short silences break it.
struct Stretch {
    long start = 0, frames = 0, crossings = 0, breaks = 0;
    bool otherSilent = true;
};

// The stretches of channel `channel`, apart where it is quiet for a tenth of a second or more.
// A sine at 1 kHz is never near zero for three samples running: three quiet ones inside a
// stretch are a break.
std::vector<Stretch> stretchesOf(const Frames& heard, int channel, float quiet)
{
    std::vector<Stretch> found;
    long silent = kRate; // before the first sound
    bool positive = false;
    for (long i = 0; i < heard.count(); ++i) {
        const float x = heard.at(i, channel);
        if (std::fabs(x) < quiet) {
            ++silent;
            continue;
        }
        if (silent >= kRate / 10) {
            found.push_back({i, 0, 0, 0, true});
        } else {
            if (silent >= 3)
                ++found.back().breaks;
            if ((x > 0) != positive)
                ++found.back().crossings;
        }
        Stretch& s = found.back();
        s.frames = i - s.start + 1;
        for (long j = i - std::min<long>(silent, i - s.start); j <= i; ++j)
            if (std::fabs(heard.at(j, 1 - channel)) >= quiet)
                s.otherSilent = false;
        positive = x > 0;
        silent = 0;
    }
    return found;
}

// speaker-test's 1 kHz sine on the left and right speakers in turn, twice, three seconds each:
// it ends well, and the simulated driver's sink hears each round whole, without a break
// (speaker-test recovers from an xrun by itself, so a break is how one would show), at 1 kHz,
// with the other speaker silent.
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
    long total = 0;
    int rounds = 0;
    for (int channel = 0; channel < 2; ++channel)
        for (const Stretch& s : stretchesOf(heard, channel, 0.01f)) {
            ++rounds;
            total += s.frames;
            EXPECT_EQ(s.breaks, 0) << "channel " << channel << ": the tone broke off in the round at " << s.start;
            EXPECT_TRUE(s.otherSilent) << "channel " << channel << ": the other speaker sounded too";
            EXPECT_NEAR(double(s.crossings) / 2 / (double(s.frames) / kRate), 1000.0, 5.0) << "channel " << channel;
        }
    EXPECT_EQ(rounds, 4);
    EXPECT_GT(total, 10 * kRate) << "the sink heard " << double(total) / kRate << " s of tone";
}

// The device by its number in the HAL's list or by its UID; one that is not there is an
// error that says why.
TEST_F(AlsaPrograms, TheDeviceIsChosenByNumberOrUid)
{
    const std::filesystem::path file = folder() / "short.wav";
    ASSERT_TRUE(writeWav(file, noise(kRate / 10, 1, 9), 1, kRate, SF_FORMAT_PCM_16));
    for (const char* device : {"tarsel:0", "tarsel:DEV=\"tarsel:7E01:0003\""}) {
        const ProgramRun run = kexttest::runProgram(kAplay, {"-q", "-D", device, file.string()});
        EXPECT_EQ(run.status, 0) << device << "\n" << run.err;
    }
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
