// tarsel-play: plays a sound file through an output device of the HAL. The file is read on
// this thread and handed to the IOProc through a lock-free ring, so that the IOProc never
// waits for the disk.
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/HostTime.h>
#include <getopt.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/CommandLine.h"
#include "tools/FrameRing.h"
#include "tools/HALDevices.h"

namespace {

using namespace haltools;
using toolsupport::fail;
using toolsupport::report;
using toolsupport::usageError;

const char kUsage[] =
    "usage: tarsel-play [OPTION]... FILE\n"
    "Plays a sound file (WAV, or another format libsndfile reads) through an output device of\n"
    "the HAL. The file's channels go to the device's output channels in order: extra channels\n"
    "are dropped, missing ones play silence. A file whose sample rate is not the device's is\n"
    "refused unless --rate-set is given.\n"
    "\n"
    "  -d, --device N|UID    the device: its number in tarsel-hal's list, or its UID\n"
    "                        (default: the default output device)\n"
    "  -r, --rate-set        set the device's sample rate to the file's when the device\n"
    "                        offers it (the device keeps that rate afterwards)\n"
    "  -h, --help            this text\n"
    "\n"
    "Progress is shown when standard error is a terminal. Ctrl-C stops playing cleanly.\n"
    "\n"
    "Exit status: 0 when the whole file was played, 1 when the file or the device cannot be\n"
    "used, 2 on a usage error, 130 when stopped by Ctrl-C.\n";

// Frames read from the file at a time.
constexpr sf_count_t kBlockFrames = 4096;
// How long the device may take no audio before the program gives up.
constexpr auto kStallLimit = std::chrono::seconds(3);

struct Options {
    std::optional<std::string> device;
    bool rateSet = false;
    std::string file;
};

// 0: parsed, -1: help given; otherwise the exit status.
int parseOptions(int argc, char** argv, Options& options)
{
    static const option kLong[] = {{"device", required_argument, nullptr, 'd'},
                                   {"rate-set", no_argument, nullptr, 'r'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    const int status = toolsupport::parseArguments(
        argc, argv, "d:rh", kLong, kUsage,
        [&](int c, const char* value) {
            switch (c) {
            case 'd':
                return haltools::takeDeviceChoice(value, options.device);
            case 'r':
                options.rateSet = true;
                return 0;
            default:
                return kExitUsage;
            }
        },
        [&](const char* operand) {
            options.file = operand;
            return 0;
        },
        1);
    if (status == 0 && options.file.empty()) {
        usageError("no file to play");
        return kExitUsage;
    }
    return status;
}

// What the IOProc and the reading thread share. The ring is the only way audio goes; the
// counters are written by the IOProc alone.
struct Player {
    Player(uint32_t channels, size_t frames) : ring(channels, frames) {}
    FrameRing ring;
    std::atomic<bool> fileDone{false};    // the reader has put the file's last frame in the ring
    std::atomic<bool> finished{false};    // the IOProc has taken it out
    std::atomic<uint64_t> played{0};      // frames of the file handed to the device
    std::atomic<uint32_t> underruns{0};   // calls that found the ring short before the end
    std::atomic<uint32_t> shapeErrors{0}; // calls whose buffer was not as announced
    // Calls later than the reported output latency, safety offset and a buffer allow: the
    // device played something else (silence) in their place.
    std::atomic<uint32_t> lateCalls{0};
    double ticksPerFrame = 0;            // host ticks
    double slackTicks = 0;
};

OSStatus playProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp* inputTime,
                  AudioBufferList* output, const AudioTimeStamp*, void* clientData)
{
    const UInt64 entry = AudioGetCurrentHostTime();
    auto* player = static_cast<Player*>(clientData);
    if (output == nullptr || output->mNumberBuffers == 0 || output->mBuffers[0].mData == nullptr)
        return 0;
    AudioBuffer& out = output->mBuffers[0];
    const uint32_t channels = player->ring.channels();
    if (out.mNumberChannels != channels) {
        player->shapeErrors.fetch_add(1, std::memory_order_relaxed);
        std::memset(out.mData, 0, out.mDataByteSize);
        return 0;
    }
    const size_t frames = out.mDataByteSize / (sizeof(float) * channels);
    // How long after its input was complete the call came.
    if (inputTime != nullptr && (inputTime->mFlags & kAudioTimeStampHostTimeValid) != 0 && inputTime->mHostTime != 0) {
        const double late = double(int64_t(entry - inputTime->mHostTime)) - double(frames) * player->ticksPerFrame;
        if (late > player->slackTicks)
            player->lateCalls.fetch_add(1, std::memory_order_relaxed);
    }
    // Read before the ring: once the reader is done, a short ring is the end, not an underrun.
    const bool fileDone = player->fileDone.load(std::memory_order_acquire);
    const size_t got = player->ring.read(static_cast<float*>(out.mData), frames);
    const size_t filled = got * channels * sizeof(float);
    std::memset(static_cast<char*>(out.mData) + filled, 0, out.mDataByteSize - filled);
    if (got < frames) {
        if (fileDone)
            player->finished.store(true, std::memory_order_release);
        else
            player->underruns.fetch_add(1, std::memory_order_relaxed);
    }
    player->played.store(player->played.load(std::memory_order_relaxed) + got, std::memory_order_release);
    return 0;
}

// The file's frames in the device's channels: the first ones in order, silence for the rest.
void mapChannels(const float* in, uint32_t inChannels, float* out, uint32_t outChannels, size_t frames)
{
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < outChannels; ++c)
            out[i * outChannels + c] = c < inChannels ? in[i * inChannels + c] : 0.0f;
}

// Sets the device to the file's rate when the caller allows it; false with the reason said.
bool matchRate(AudioDeviceID device, Float64 fileRate, const Options& options)
{
    const Float64 deviceRate = nominalRate(device);
    if (deviceRate == fileRate)
        return true;
    const std::string title = deviceTitle(device);
    if (!options.rateSet) {
        fail("%s is at %.0f Hz and %s at %.0f Hz; --rate-set sets the device's rate", options.file.c_str(), fileRate,
             title.c_str(), deviceRate);
        return false;
    }
    if (!offersRate(device, fileRate)) {
        fail("%s does not offer %.0f Hz, the rate of %s (tarsel-hal lists its rates)", title.c_str(), fileRate,
             options.file.c_str());
        return false;
    }
    const OSStatus status = AudioDeviceSetProperty(device, nullptr, 0, false, kAudioDevicePropertyNominalSampleRate,
                                                   sizeof fileRate, &fileRate);
    if (status != kAudioHardwareNoError || nominalRate(device) != fileRate) {
        fail("%s did not take %.0f Hz (%s); it runs at %.0f Hz", title.c_str(), fileRate, statusText(status).c_str(),
             nominalRate(device));
        return false;
    }
    return true;
}

class SoundFile {
public:
    explicit SoundFile(const std::string& path) { m_file = sf_open(path.c_str(), SFM_READ, &m_info); }
    ~SoundFile()
    {
        if (m_file != nullptr)
            sf_close(m_file);
    }
    SoundFile(const SoundFile&) = delete;
    SoundFile& operator=(const SoundFile&) = delete;
    SNDFILE* get() const { return m_file; }
    const SF_INFO& info() const { return m_info; }

private:
    SF_INFO m_info{};
    SNDFILE* m_file = nullptr;
};

int play(const Options& options)
{
    SoundFile file(options.file);
    if (file.get() == nullptr) {
        fail("cannot read %s: %s", options.file.c_str(), sf_strerror(nullptr));
        return kExitFailure;
    }
    const SF_INFO& info = file.info();
    if (info.channels <= 0 || info.samplerate <= 0) {
        fail("%s has no channels or no sample rate", options.file.c_str());
        return kExitFailure;
    }
    const auto fileChannels = uint32_t(info.channels);
    const auto fileRate = Float64(info.samplerate);

    const AudioDeviceID device = chooseDevice(options.device, false);
    if (device == kAudioDeviceUnknown || !matchRate(device, fileRate, options))
        return kExitFailure;
    // Read after the rate: another rate may come with other channels.
    const uint32_t channels = channelCount(device, false);
    if (channels == 0) {
        fail("%s has no output channels at %.0f Hz", deviceTitle(device).c_str(), fileRate);
        return kExitFailure;
    }
    const double seconds = double(info.frames) / fileRate;
    std::fprintf(report(), "tarsel-play: %s, %u channels at %.0f Hz, %.2f s -> %s, %u channels\n",
                 options.file.c_str(), fileChannels, fileRate, seconds, deviceTitle(device).c_str(), channels);
    std::fflush(report());

    // Half a second of audio between the file and the IOProc: room for the disk to be slow.
    auto player = std::make_unique<Player>(channels, std::max<size_t>(size_t(fileRate / 2), 8192));
    const ReportedDelays delays = reportedDelays(device);
    player->ticksPerFrame = AudioGetHostClockFrequency() / fileRate;
    player->slackTicks =
        double(delays.outputLatency + delays.outputSafety + delays.frameSize) * player->ticksPerFrame;
    std::vector<float> fileBlock(size_t(kBlockFrames) * fileChannels);
    std::vector<float> deviceBlock(size_t(kBlockFrames) * channels);
    size_t pending = 0, offset = 0; // frames of deviceBlock not yet in the ring
    bool readError = false;
    // Moves file frames into the ring until it is full or the file has ended.
    const auto fill = [&] {
        while (!player->fileDone.load(std::memory_order_relaxed)) {
            if (pending == 0) {
                const sf_count_t got = sf_readf_float(file.get(), fileBlock.data(), kBlockFrames);
                if (got <= 0) {
                    readError = sf_error(file.get()) != SF_ERR_NO_ERROR;
                    player->fileDone.store(true, std::memory_order_release);
                    return;
                }
                mapChannels(fileBlock.data(), fileChannels, deviceBlock.data(), channels, size_t(got));
                pending = size_t(got);
                offset = 0;
            }
            const size_t taken = player->ring.write(deviceBlock.data() + offset * channels, pending);
            pending -= taken;
            offset += taken;
            if (pending != 0)
                return; // the ring is full
        }
    };

    fill();
    RunningIOProc proc;
    if (!proc.start(device, &playProc, player.get()))
        return kExitFailure;

    using Clock = std::chrono::steady_clock;
    Progress progress;
    uint64_t lastPlayed = 0;
    auto lastMove = Clock::now();
    const char* stalled = nullptr;
    while (!player->finished.load(std::memory_order_acquire) && !interrupted()) {
        fill();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const uint64_t played = player->played.load(std::memory_order_acquire);
        const auto now = Clock::now();
        if (played != lastPlayed) {
            lastPlayed = played;
            lastMove = now;
        } else if (now - lastMove > kStallLimit) {
            stalled = played == 0 ? "the device takes no audio (is the kernel driver's audio engine on?)"
                                  : "the device stopped taking audio";
            break;
        }
        progress.show("playing %.1f / %.1f s", double(played) / fileRate, seconds);
    }
    // The last frames are still on their way out: the reported output latency, safety offset
    // and buffers in flight.
    if (player->finished.load(std::memory_order_acquire)) {
        const auto tail = Clock::now() + std::chrono::duration<double>(double(delays.outputSide()) / fileRate);
        while (Clock::now() < tail && !interrupted())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    proc.stop();
    progress.clear();

    const uint64_t played = player->played.load(std::memory_order_acquire);
    const uint32_t underruns = player->underruns.load(std::memory_order_relaxed);
    const uint32_t shapeErrors = player->shapeErrors.load(std::memory_order_relaxed);
    std::fprintf(report(), "played %" PRIu64 " frames (%.2f s)%s; ring underruns: %u; calls too late for their output: %u",
                 played, double(played) / fileRate, interrupted() ? ", stopped by Ctrl-C" : "", underruns,
                 player->lateCalls.load(std::memory_order_relaxed));
    if (shapeErrors != 0)
        std::fprintf(report(), "; %u buffers of another channel count, played as silence", shapeErrors);
    std::fputc('\n', report());
    if (readError) {
        fail("reading %s failed: %s", options.file.c_str(), sf_strerror(file.get()));
        return kExitFailure;
    }
    if (stalled != nullptr) {
        fail("%s", stalled);
        return kExitFailure;
    }
    return interrupted() ? kExitInterrupted : 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    return runHALProgram("tarsel-play", [&] { return parseOptions(argc, argv, options); },
                         [&] { return play(options); });
}
