// The ALSA device in this process, through alsa-lib as a program uses it: the configuration
// of the build, the HAL inside the module loading TARSEL.plugin from the build, a private
// simulated driver whose input hears its output (loopback).
#include <alsa/asoundlib.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/tools/SoundFiles.h"

namespace {

using namespace toolstest;
using namespace std::chrono_literals;

// The device's figures as the stream's dump gives them.
struct Figures {
    long frameSize = -1, latency = -1, safety = -1;
};

class AlsaPcm : public kexttest::KextTest {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_home.folder().empty());
        setenv("TARSEL_HAL_PLUGIN_DIR", TARSEL_PLUGIN_FOLDER, 1);
        KextTest::SetUp();
        ASSERT_NE(daemon().plug("tarsel"), 0u);
        ASSERT_EQ(snd_config_top(&m_config), 0);
        snd_input_t* in = nullptr;
        ASSERT_EQ(snd_input_stdio_open(&in, TARSEL_ALSA_CONF, "r"), 0);
        const int loaded = snd_config_load(m_config, in);
        snd_input_close(in);
        ASSERT_EQ(loaded, 0);
    }
    void TearDown() override
    {
        for (snd_pcm_t* pcm : m_open)
            snd_pcm_close(pcm);
        m_open.clear();
        if (m_config != nullptr)
            snd_config_delete(m_config);
        KextTest::TearDown();
        unsetenv("TARSEL_HAL_PLUGIN_DIR");
    }

    snd_pcm_t* open(snd_pcm_stream_t stream, int mode = 0)
    {
        snd_pcm_t* pcm = nullptr;
        const int err = snd_pcm_open_lconf(&pcm, "tarsel", stream, mode, m_config);
        EXPECT_EQ(err, 0) << snd_strerror(err);
        if (err == 0)
            m_open.push_back(pcm);
        return err == 0 ? pcm : nullptr;
    }

    static int configure(snd_pcm_t* pcm, snd_pcm_format_t format, unsigned channels, unsigned rate,
                         snd_pcm_uframes_t period, unsigned periods)
    {
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        int err = snd_pcm_hw_params_any(pcm, hw);
        if (err >= 0)
            err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
        if (err >= 0)
            err = snd_pcm_hw_params_set_format(pcm, hw, format);
        if (err >= 0)
            err = snd_pcm_hw_params_set_channels(pcm, hw, channels);
        if (err >= 0)
            err = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0);
        if (err >= 0)
            err = snd_pcm_hw_params_set_period_size(pcm, hw, period, 0);
        if (err >= 0)
            err = snd_pcm_hw_params_set_periods(pcm, hw, periods, 0);
        if (err >= 0)
            err = snd_pcm_hw_params(pcm, hw);
        return err;
    }

    static Figures figures(snd_pcm_t* pcm)
    {
        snd_output_t* out = nullptr;
        Figures f;
        if (snd_output_buffer_open(&out) < 0)
            return f;
        snd_pcm_dump(pcm, out);
        char* text = nullptr;
        const size_t size = snd_output_buffer_string(out, &text);
        const std::string dump(text, size);
        snd_output_close(out);
        const size_t at = dump.find("I/O frame size ");
        if (at != std::string::npos)
            std::sscanf(dump.c_str() + at, "I/O frame size %ld, latency %ld + safety offset %ld", &f.frameSize,
                        &f.latency, &f.safety);
        return f;
    }

    kexttest::PrivateHome m_home;
    snd_config_t* m_config = nullptr;
    std::vector<snd_pcm_t*> m_open;
};

// --- the delay ------------------------------------------------------------------------------------

// A noise burst played into the loopback while the input is recorded, both streams
// non-blocking on this thread: the delays snd_pcm_delay reports, taken together at moments
// during the run, say where the burst lands in the recording, and they add up to the device's
// own figures.
class AlsaDelay : public AlsaPcm, public ::testing::WithParamInterface<snd_pcm_uframes_t> {};

TEST_P(AlsaDelay, SaysWhereThePlayedSignalLandsInTheRecording)
{
    const snd_pcm_uframes_t period = GetParam();
    // A cycle missed on a busy machine (at 64 frames one lasts 1.3 ms) changes the burst but
    // not the delays: such a run is made again, up to three runs in all.
    for (int attempt = 1;; ++attempt) {
        snd_pcm_t* play = open(SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        snd_pcm_t* rec = open(SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
        ASSERT_TRUE(play && rec);
        // Buffers of at least 4096 frames: the loop below sleeps between its turns.
        const unsigned periods = unsigned(std::max<snd_pcm_uframes_t>(4, 4096 / period));
        ASSERT_EQ(configure(play, SND_PCM_FORMAT_FLOAT_LE, 2, kRate, period, periods), 0);
        ASSERT_EQ(configure(rec, SND_PCM_FORMAT_FLOAT_LE, 2, kRate, period, periods), 0);

        constexpr long kLead = kRate / 2, kBurst = 2048, kTail = kRate / 2;
        std::vector<float> played(size_t(kLead + kBurst + kTail) * 2, 0.0f);
        const std::vector<float> burst = noise(kBurst, 2, 7);
        std::copy(burst.begin(), burst.end(), played.begin() + kLead * 2);
        const long total = long(played.size() / 2);

        Frames recording{2, {}};
        std::vector<float> chunk(4096 * 2);
        long written = 0, read = 0;
        std::vector<long> predicted;
        ASSERT_EQ(snd_pcm_start(rec), 0);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        for (int round = 0; read < total + kRate / 4; ++round) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the streams stopped moving";
            if (written < total) {
                const snd_pcm_sframes_t n = snd_pcm_writei(play, played.data() + written * 2, size_t(total - written));
                ASSERT_TRUE(n >= 0 || n == -EAGAIN) << "playback: " << snd_strerror(int(n));
                written += std::max<snd_pcm_sframes_t>(n, 0);
            }
            const snd_pcm_sframes_t n = snd_pcm_readi(rec, chunk.data(), 4096);
            ASSERT_TRUE(n >= 0 || n == -EAGAIN) << "capture: " << snd_strerror(int(n));
            if (n > 0) {
                recording.samples.insert(recording.samples.end(), chunk.begin(), chunk.begin() + n * 2);
                read += n;
            }
            // Both delays at one moment, once playback runs.
            if (round % 8 == 0 && snd_pcm_state(play) == SND_PCM_STATE_RUNNING && written < total) {
                snd_pcm_sframes_t dp = 0, dc = 0;
                ASSERT_EQ(snd_pcm_delay(play, &dp), 0);
                ASSERT_EQ(snd_pcm_delay(rec, &dc), 0);
                // The frame written next is heard after dp; what is heard then is recorded dc
                // after the frame read next.
                predicted.push_back(read + dc + dp - written);
            }
            std::this_thread::sleep_for(2ms);
        }
        ASSERT_GE(predicted.size(), 10u);
        std::sort(predicted.begin(), predicted.end());
        const long median = predicted[predicted.size() / 2];
        // The median: a moment between the two IOProcs' calls of one cycle, on a late cycle, sees
        // the time-stamp filter's error on one side only.
        const Match match = findSignal(recording, burst, 2);
        ASSERT_GE(match.lag, 0) << "the burst did not come back";
        if (match.strength <= 0.999 && attempt < 3) {
            for (snd_pcm_t* pcm : {play, rec}) {
                snd_pcm_close(pcm);
                m_open.erase(std::find(m_open.begin(), m_open.end(), pcm));
            }
            continue;
        }
        EXPECT_GT(match.strength, 0.999) << "the burst came back changed";
        const long measured = match.lag - kLead;

        const Figures out = figures(play), in = figures(rec);
        ASSERT_EQ(out.frameSize, long(period));
        ASSERT_GE(out.latency, 0);
        ASSERT_GE(in.latency, 0);
        const long outputSide = out.latency + out.safety + 2 * out.frameSize, inputSide = in.latency + in.safety;
        EXPECT_NEAR(median, outputSide + inputSide, 2) << "the delays are not the device's figures";
        EXPECT_NEAR(measured, median, 3) << "the signal does not land where the delays say";
        return;
    }
}

INSTANTIATE_TEST_SUITE_P(Periods, AlsaDelay, ::testing::Values(64, 256, 1024),
                         [](const auto& info) { return std::to_string(info.param) + "Frames"; });

// --- xruns ----------------------------------------------------------------------------------------

// A program that stops writing for longer than its buffer lasts is told -EPIPE, in the state
// ALSA gives an underrun, and goes on after snd_pcm_prepare; one that asked never to stop
// plays silence instead. The same for a recorder that stops reading.
TEST_F(AlsaPcm, XrunsAreReportedAsBrokenPipesAndPrepareRecovers)
{
    snd_pcm_t* play = open(SND_PCM_STREAM_PLAYBACK);
    ASSERT_TRUE(play);
    ASSERT_EQ(configure(play, SND_PCM_FORMAT_S16_LE, 2, kRate, 256, 4), 0);
    std::vector<int16_t> block(2048 * 2, 1000);
    ASSERT_EQ(snd_pcm_writei(play, block.data(), 1024), 1024);
    EXPECT_EQ(snd_pcm_state(play), SND_PCM_STATE_RUNNING) << "a full buffer starts the stream";
    // The program stalls: the buffer lasts 23 ms.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(snd_pcm_writei(play, block.data(), 256), -EPIPE);
    EXPECT_EQ(snd_pcm_state(play), SND_PCM_STATE_XRUN);
    snd_pcm_sframes_t delay = 0;
    EXPECT_EQ(snd_pcm_delay(play, &delay), -EPIPE);
    ASSERT_EQ(snd_pcm_prepare(play), 0);
    // Running again: a blocking write of more than the buffer returns once the device took
    // the rest.
    EXPECT_EQ(snd_pcm_writei(play, block.data(), 2048), 2048);
    EXPECT_EQ(snd_pcm_state(play), SND_PCM_STATE_RUNNING);
    ASSERT_EQ(snd_pcm_drop(play), 0);

    // Never to stop: silence, no error.
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    ASSERT_EQ(snd_pcm_sw_params_current(play, sw), 0);
    snd_pcm_uframes_t boundary = 0;
    ASSERT_EQ(snd_pcm_sw_params_get_boundary(sw, &boundary), 0);
    ASSERT_EQ(snd_pcm_sw_params_set_stop_threshold(play, sw, boundary), 0);
    ASSERT_EQ(snd_pcm_sw_params(play, sw), 0);
    ASSERT_EQ(snd_pcm_prepare(play), 0);
    ASSERT_EQ(snd_pcm_writei(play, block.data(), 1024), 1024);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(snd_pcm_writei(play, block.data(), 256), 256);
    EXPECT_EQ(snd_pcm_state(play), SND_PCM_STATE_RUNNING);

    snd_pcm_t* rec = open(SND_PCM_STREAM_CAPTURE);
    ASSERT_TRUE(rec);
    ASSERT_EQ(configure(rec, SND_PCM_FORMAT_FLOAT_LE, 2, kRate, 256, 4), 0);
    std::vector<float> in(1024 * 2);
    ASSERT_EQ(snd_pcm_start(rec), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(snd_pcm_readi(rec, in.data(), 256), -EPIPE);
    EXPECT_EQ(snd_pcm_state(rec), SND_PCM_STATE_XRUN);
    ASSERT_EQ(snd_pcm_prepare(rec), 0);
    // A read starts the stream again and waits for its frames.
    EXPECT_EQ(snd_pcm_readi(rec, in.data(), 1024), 1024);
}

// --- rates and channels --------------------------------------------------------------------------

// A rate the device lists is taken by changing the device's rate through the HAL; one it
// does not list is refused.
TEST_F(AlsaPcm, TheDeviceTakesAnOfferedRateAndAnotherIsRefused)
{
    snd_pcm_t* play = open(SND_PCM_STREAM_PLAYBACK);
    ASSERT_TRUE(play);
    EXPECT_LT(configure(play, SND_PCM_FORMAT_S16_LE, 2, 22050, 256, 4), 0);
    EXPECT_LT(configure(play, SND_PCM_FORMAT_S16_LE, 3, kRate, 256, 4), 0) << "more channels than the device has";
    ASSERT_EQ(configure(play, SND_PCM_FORMAT_S16_LE, 2, 48000, 256, 4), 0);
    std::vector<kext::ControlClient::ServiceEntry> services;
    ASSERT_EQ(daemon().control().listServices(services), KERN_SUCCESS);
    ASSERT_EQ(services.size(), 1u);
    EXPECT_NE(services[0].description.find("48000Hz"), std::string::npos) << services[0].description;
    // A recorder of this process at the same rate shares the device.
    snd_pcm_t* rec = open(SND_PCM_STREAM_CAPTURE);
    ASSERT_TRUE(rec);
    ASSERT_EQ(configure(rec, SND_PCM_FORMAT_S16_LE, 2, 48000, 256, 4), 0);
    std::vector<int16_t> in(512 * 2);
    EXPECT_EQ(snd_pcm_readi(rec, in.data(), 512), 512);
}

} // namespace
