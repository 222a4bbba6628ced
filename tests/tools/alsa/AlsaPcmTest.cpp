// The ALSA device in this process, through alsa-lib as a program uses it: the configuration
// of the build, the HAL inside the module loading TARSEL.plugin from the build, a private
// simulated driver whose input hears its output (loopback).
#include <alsa/asoundlib.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/tools/alsa/AlsaSupport.h"

namespace {

using namespace alsatest;
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
        m_service = daemon().plug("tarsel");
        ASSERT_NE(m_service, 0u);
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

    snd_pcm_t* open(snd_pcm_stream_t stream, int mode = 0, const char* name = "tarsel")
    {
        snd_pcm_t* pcm = nullptr;
        const int err = snd_pcm_open_lconf(&pcm, name, stream, mode, m_config);
        EXPECT_EQ(err, 0) << snd_strerror(err);
        if (err == 0)
            m_open.push_back(pcm);
        return err == 0 ? pcm : nullptr;
    }
    void close(snd_pcm_t* pcm)
    {
        std::erase(m_open, pcm);
        snd_pcm_close(pcm);
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
    uint32_t m_service = 0;
    snd_config_t* m_config = nullptr;
    std::vector<snd_pcm_t*> m_open;
};

// --- the delay ------------------------------------------------------------------------------------

// A noise burst played into the loopback while the input is recorded, both streams
// non-blocking on this thread: the delays snd_pcm_delay reports, taken together at moments
// during the run, say where the burst lands in the recording, and they add up to the device's
// own figures.
TEST_F(AlsaPcm, DelaysSayWhereThePlayedSignalLandsInTheRecording)
{
    snd_pcm_t* play = open(SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    snd_pcm_t* rec = open(SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    ASSERT_TRUE(play && rec);
    ASSERT_EQ(configure(play, SND_PCM_FORMAT_FLOAT_LE, 2, kRate, 256, 16), 0);
    ASSERT_EQ(configure(rec, SND_PCM_FORMAT_FLOAT_LE, 2, kRate, 256, 16), 0);

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
    EXPECT_LE(predicted.back() - predicted.front(), 3) << "the delays do not keep to one another";

    const Match match = findSignal(recording, burst, 2);
    ASSERT_GE(match.lag, 0) << "the burst did not come back";
    EXPECT_GT(match.strength, 0.999) << "the burst came back changed";
    const long measured = match.lag - kLead;

    const Figures out = figures(play), in = figures(rec);
    ASSERT_EQ(out.frameSize, 256);
    ASSERT_GE(out.latency, 0);
    ASSERT_GE(in.latency, 0);
    const long outputSide = out.latency + out.safety + 2 * out.frameSize, inputSide = in.latency + in.safety;
    EXPECT_NEAR(median, outputSide + inputSide, 2) << "the delays are not the device's figures";
    // The device's figures bound the trip from the output side to the output and input sides
    // together; the simulated interface's input side is shorter than it reports.
    EXPECT_GE(measured, median - inputSide - 3) << "predicted " << median;
    EXPECT_LE(measured, median + 3) << "predicted " << median;
    RecordProperty("predicted", std::to_string(median));
    RecordProperty("measured", std::to_string(measured));
    std::printf("delay: predicted %ld (output side %ld + input side %ld), measured %ld\n", median, outputSide,
                inputSide, measured);
}

} // namespace
