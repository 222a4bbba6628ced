// tarsel-rec: records an input device of the HAL into a 24-bit WAV file. The IOProc hands the
// input to this thread through a lock-free ring, and this thread writes the file, so that the
// IOProc never waits for the disk.
#include <CoreAudio/AudioHardware.h>
#include <getopt.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
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
    "usage: tarsel-rec [OPTION]... FILE.wav --seconds S\n"
    "Records the input channels of a device of the HAL into a WAV file, 24-bit at the device's\n"
    "sample rate, for S seconds.\n"
    "\n"
    "  -s, --seconds S       how long to record (up to a day; a WAV file holds at most 4 GiB)\n"
    "  -d, --device N|UID    the device: its number in tarsel-hal's list, or its UID\n"
    "                        (default: the default input device)\n"
    "  -h, --help            this text\n"
    "\n"
    "Progress is shown when standard error is a terminal. Ctrl-C stops recording cleanly: the\n"
    "file keeps what was recorded.\n"
    "\n"
    "Exit status: 0 when the whole time was recorded, 1 when the file or the device cannot be\n"
    "used or input was lost, 2 on a usage error, 130 when stopped by Ctrl-C.\n";

constexpr size_t kBlockFrames = 4096;
constexpr auto kStallLimit = std::chrono::seconds(3);
// RIFF sizes are 32-bit.
constexpr double kMaxWavBytes = 4294967295.0 - 1024.0;

struct Options {
    std::optional<std::string> device;
    std::optional<double> seconds;
    std::string file;
};

// 0: parsed, -1: help given; otherwise the exit status.
int parseOptions(int argc, char** argv, Options& options)
{
    static const option kLong[] = {{"seconds", required_argument, nullptr, 's'},
                                   {"device", required_argument, nullptr, 'd'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    const int status = toolsupport::parseArguments(
        argc, argv, "s:d:h", kLong, kUsage,
        [&](int c, const char* value) {
            double seconds = 0;
            switch (c) {
            case 's':
                if (!toolsupport::parseSeconds(value, 0.001, 86400.0, seconds)) {
                    fail("invalid length '%s' (seconds, 0.001 to 86400)", value);
                    return kExitUsage;
                }
                options.seconds = seconds;
                return 0;
            case 'd':
                return haltools::takeDeviceChoice(value, options.device);
            default:
                return kExitUsage;
            }
        },
        [&](const char* operand) {
            options.file = operand;
            return 0;
        },
        1);
    if (status != 0)
        return status;
    if (options.file.empty()) {
        usageError("no file to record into");
        return kExitUsage;
    }
    if (!options.seconds) {
        usageError("how long to record? (--seconds S)");
        return kExitUsage;
    }
    return 0;
}

// What the IOProc and the writing thread share. The ring is the only way audio goes; the
// counters are written by the IOProc alone.
struct Recorder {
    Recorder(uint32_t channels, size_t frames, uint64_t target) : ring(channels, frames), target(target) {}
    FrameRing ring;
    const uint64_t target;                // frames to record
    std::atomic<uint64_t> captured{0};    // input frames the IOProc has been given, up to the target
    std::atomic<uint64_t> lostFrames{0};  // of them, frames the ring had no room for
    std::atomic<uint32_t> overruns{0};    // calls that found the ring full
    std::atomic<uint32_t> shapeErrors{0}; // calls whose input was not as announced
};

OSStatus recordProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                    AudioBufferList*, const AudioTimeStamp*, void* clientData)
{
    auto* recorder = static_cast<Recorder*>(clientData);
    const uint64_t captured = recorder->captured.load(std::memory_order_relaxed);
    if (captured >= recorder->target)
        return 0;
    const uint32_t channels = recorder->ring.channels();
    if (input == nullptr || input->mNumberBuffers == 0 || input->mBuffers[0].mData == nullptr ||
        input->mBuffers[0].mNumberChannels != channels) {
        recorder->shapeErrors.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    const size_t frames = input->mBuffers[0].mDataByteSize / (sizeof(float) * channels);
    const size_t wanted = size_t(std::min<uint64_t>(frames, recorder->target - captured));
    const size_t taken = recorder->ring.write(static_cast<const float*>(input->mBuffers[0].mData), wanted);
    if (taken < wanted) {
        recorder->overruns.fetch_add(1, std::memory_order_relaxed);
        recorder->lostFrames.fetch_add(wanted - taken, std::memory_order_relaxed);
    }
    recorder->captured.store(captured + wanted, std::memory_order_release);
    return 0;
}

int record(const Options& options)
{
    const AudioDeviceID device = chooseDevice(options.device, true);
    if (device == kAudioDeviceUnknown)
        return kExitFailure;
    const uint32_t channels = channelCount(device, true);
    const Float64 rate = nominalRate(device);
    if (rate < 1.0 || rate > 1.0e7) {
        fail("%s reports no usable sample rate", deviceTitle(device).c_str());
        return kExitFailure;
    }
    const auto target = uint64_t(std::llround(*options.seconds * rate));
    if (double(target) * channels * 3.0 > kMaxWavBytes) {
        fail("%.0f s of %u channels at %.0f Hz is more than a WAV file holds; take fewer seconds", *options.seconds,
             channels, rate);
        return kExitFailure;
    }

    SF_INFO info{};
    info.samplerate = int(std::lround(rate));
    info.channels = int(channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* file = sf_open(options.file.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        fail("cannot write %s: %s", options.file.c_str(), sf_strerror(nullptr));
        return kExitFailure;
    }
    // Input at full scale or beyond is clipped, not wrapped round to the other sign.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    std::fprintf(report(), "tarsel-rec: %s, %u channels at %.0f Hz -> %s, %.2f s\n", deviceTitle(device).c_str(),
                 channels, rate, options.file.c_str(), double(target) / rate);
    std::fflush(report());

    auto recorder = std::make_unique<Recorder>(channels, std::max<size_t>(size_t(rate / 2), 8192), target);
    std::vector<float> block(kBlockFrames * channels);
    uint64_t written = 0;
    bool writeError = false;
    std::string writeProblem;
    // Moves what the IOProc left in the ring into the file.
    const auto drain = [&] {
        while (!writeError) {
            const size_t got = recorder->ring.read(block.data(), kBlockFrames);
            if (got == 0)
                return;
            if (sf_writef_float(file, block.data(), sf_count_t(got)) != sf_count_t(got)) {
                writeError = true;
                writeProblem = sf_strerror(file);
                return;
            }
            written += got;
        }
    };

    RunningIOProc proc;
    if (!proc.start(device, &recordProc, recorder.get())) {
        sf_close(file);
        return kExitFailure;
    }
    using Clock = std::chrono::steady_clock;
    Progress progress;
    uint64_t lastCaptured = 0;
    auto lastMove = Clock::now();
    const char* stalled = nullptr;
    while (!interrupted() && !writeError) {
        const uint64_t captured = recorder->captured.load(std::memory_order_acquire);
        if (captured >= target)
            break;
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto now = Clock::now();
        if (captured != lastCaptured) {
            lastCaptured = captured;
            lastMove = now;
        } else if (now - lastMove > kStallLimit) {
            stalled = captured == 0 ? "the device gives no audio (is the kernel driver's audio engine on?)"
                                    : "the device stopped giving audio";
            break;
        }
        progress.show("recording %.1f / %.1f s", double(captured) / rate, double(target) / rate);
    }
    proc.stop();
    // The IOProc is done with the ring: what is left goes to the file too.
    drain();
    progress.clear();
    const bool closed = sf_close(file) == 0;

    const uint64_t lost = recorder->lostFrames.load(std::memory_order_relaxed);
    const uint32_t overruns = recorder->overruns.load(std::memory_order_relaxed);
    const uint32_t shapeErrors = recorder->shapeErrors.load(std::memory_order_relaxed);
    std::fprintf(report(), "recorded %" PRIu64 " frames (%.2f s) to %s%s; ring overruns: %u (%" PRIu64 " frames lost)",
                 written, double(written) / rate, options.file.c_str(), interrupted() ? ", stopped by Ctrl-C" : "",
                 overruns, lost);
    if (shapeErrors != 0)
        std::fprintf(report(), "; %u buffers of another channel count, left out", shapeErrors);
    std::fputc('\n', report());
    if (writeError || !closed) {
        fail("writing %s failed%s%s", options.file.c_str(), writeProblem.empty() ? "" : ": ", writeProblem.c_str());
        return kExitFailure;
    }
    if (stalled != nullptr) {
        fail("%s", stalled);
        return kExitFailure;
    }
    if (interrupted())
        return kExitInterrupted;
    if (lost != 0 || shapeErrors != 0) {
        fail("input was lost: the file has gaps");
        return kExitFailure;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    return runHALProgram("tarsel-rec", [&] { return parseOptions(argc, argv, options); },
                         [&] { return record(options); });
}
