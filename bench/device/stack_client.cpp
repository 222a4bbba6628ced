// stack_client: one client of a simulated interface through the device layer, copying its
// inputs to its outputs for S seconds: the counterpart of a JACK client in
// scripts/compare-jack.sh, and one of the clients of scripts/scale-run.sh. Prints one line:
//   cycles=N glitched=N underruns=N overloads=N client_cpu=% server_cpu=% late_p50=us
//   late_p99=us late_max=us
// glitched counts buffers: the cycles before which the kernel counted an underrun, plus the
// overloads. The lateness is the IOProc's start less the moment the buffer's last frame was
// in the input ring (the simulated driver's availability log), not its nominal capture time.
#include <CoreAudio/HostTime.h>
#include <getopt.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/AudioSM.h"
#include "device/KernelStatusBlock.h"
#include "device/ZmOSXDevice.h"
#include "kext/AvailabilityLog.h"
#include "tools/Statistics.h"
#include "tools/ToolSupport.h"

namespace {

using namespace toolsupport;

const char kUsage[] =
    "usage: stack_client [--frames N] [--rate HZ] [--seconds S] [--server-pid PID] [--interface I]\n"
    "Copies the inputs of interface I (default 0, the first) to its outputs for S seconds\n"
    "(default 10) after 1 s to settle, and prints glitches, CPU (this process and PID's) and\n"
    "lateness from data availability.\n";

struct Options {
    unsigned frames = 64;
    unsigned rate = 48000;
    double seconds = 10;
    long serverPid = 0;
    unsigned interface = 0;
};

struct Run {
    ZmOSXDevice* device = nullptr;
    const AudioSM* ring = nullptr; // a second view of the device's input ring
    const ClientData* record = nullptr;
    int32_t channels = 1;
    std::vector<double> late; // ns, allocated before the run
    std::atomic<uint32_t> count{0};
    std::atomic<bool> measuring{false};
    std::atomic<uint64_t> cycles{0};
    std::atomic<uint64_t> glitched{0};
    std::atomic<uint64_t> unlogged{0};
    int32_t lastUnderruns = 0;
};

OSStatus copyIOProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp* inputTime,
                    AudioBufferList* out, const AudioTimeStamp*, void* data)
{
    const uint64_t entry = AudioGetCurrentHostTime();
    auto* run = static_cast<Run*>(data);
    if (in != nullptr && out != nullptr && in->mNumberBuffers > 0 && out->mNumberBuffers > 0) {
        const AudioBuffer& i = in->mBuffers[0];
        AudioBuffer& o = out->mBuffers[0];
        if (i.mNumberChannels > 0 && o.mNumberChannels > 0 && i.mData != nullptr && o.mData != nullptr) {
            const UInt32 frames = std::min(i.mDataByteSize / (4 * i.mNumberChannels), o.mDataByteSize / (4 * o.mNumberChannels));
            const UInt32 channels = std::min(i.mNumberChannels, o.mNumberChannels);
            const auto* from = static_cast<const float*>(i.mData);
            auto* to = static_cast<float*>(o.mData);
            for (UInt32 f = 0; f < frames; ++f)
                for (UInt32 c = 0; c < channels; ++c)
                    to[f * o.mNumberChannels + c] = from[f * i.mNumberChannels + c];
            if (run->measuring.load(std::memory_order_acquire) && inputTime != nullptr) {
                run->cycles.fetch_add(1, std::memory_order_relaxed);
                const int32_t underruns = audiosm::load(run->record->iUnderruns);
                if (underruns != run->lastUnderruns)
                    run->glitched.fetch_add(1, std::memory_order_relaxed);
                run->lastUnderruns = underruns;
                // The ring frame count that completes this buffer.
                const auto end = uint32_t(run->device->getTimestampFilter().mFirstPosition
                                          + uint64_t(inputTime->mSampleTime) + frames);
                uint64_t available = 0;
                const uint32_t n = run->count.load(std::memory_order_relaxed);
                if (kext::AvailabilityLog::of(*run->ring).whenAvailable(end, available) && n < run->late.size()) {
                    run->late[n] = double(int64_t(entry - available));
                    run->count.store(n + 1, std::memory_order_release);
                } else {
                    run->unlogged.fetch_add(1, std::memory_order_relaxed);
                }
            }
        }
    }
    return 0;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process, in seconds; -1 when unknown.
double otherCpuSeconds(long pid)
{
    if (pid <= 0)
        return -1;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return -1;
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size()) {
        const size_t space = text.find(' ', at);
        fields.push_back(text.substr(at, space - at));
        if (space == std::string::npos)
            break;
        at = space + 1;
    }
    if (fields.size() < 13)
        return -1;
    return (std::stod(fields[11]) + std::stod(fields[12])) / double(sysconf(_SC_CLK_TCK));
}

int stream(ZmOSXDevice& device, const Options& options)
{
    if (device.getFrequency() != options.rate && !device.setFrequency(false, options.rate)) {
        fail("the interface refused %u Hz", options.rate);
        return kExitFailure;
    }
    if (!applyFrameSize(device, options.frames))
        return kExitFailure;
    auto run = std::make_unique<Run>();
    run->device = &device;
    run->late.resize(size_t((options.seconds + 2) * options.rate / options.frames) + 64);
    if (!device.addIOProc(&copyIOProc, run.get()) || !device.onDeviceStart(&copyIOProc)) {
        fail("the device did not start");
        return kExitFailure;
    }
    // The run's figures start after the stream has settled.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const KernelStatusBlock* block = device.getDriverSM();
    run->record = block != nullptr ? block->client(device.getAttachSlot()) : nullptr;
    run->ring = static_cast<const AudioSM*>(device.mapSharedMemory(kMemoryInputRing, kAudioRingSize));
    if (run->record == nullptr || run->ring == nullptr) {
        device.onDeviceStop(&copyIOProc);
        device.removeIOProc(&copyIOProc);
        fail("the interface did not stream");
        return kExitFailure;
    }
    run->channels = std::max<int32_t>(1, int32_t(device.getTrueChannels().iOutChannels));
    const uint32_t overloads = device.getTimestampFilter().mOverloadCount.load();
    const int32_t underruns = audiosm::load(run->record->iUnderruns);
    run->lastUnderruns = underruns; // published to the IOProc with `measuring`
    const double cpu = processCpuSeconds();
    const double server = otherCpuSeconds(options.serverPid);
    const auto start = std::chrono::steady_clock::now();
    run->measuring.store(true, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    run->measuring.store(false, std::memory_order_release);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpuAfter = processCpuSeconds();
    const double serverAfter = otherCpuSeconds(options.serverPid);
    const uint32_t overloadCount = device.getTimestampFilter().mOverloadCount.load() - overloads;
    const int32_t underrunCount = (audiosm::load(run->record->iUnderruns) - underruns) / run->channels;
    device.onDeviceStop(&copyIOProc);
    device.removeIOProc(&copyIOProc);

    std::vector<double> late(run->late.begin(), run->late.begin() + run->count.load());
    const Spread spread = spreadOf(std::move(late));
    std::fprintf(report(),
                 "cycles=%llu glitched=%llu underruns=%d overloads=%u client_cpu=%.2f server_cpu=%.2f "
                 "late_p50=%.1f late_p99=%.1f late_max=%.1f unlogged=%llu\n",
                 static_cast<unsigned long long>(run->cycles.load()),
                 static_cast<unsigned long long>(run->glitched.load() + overloadCount), int(underrunCount),
                 overloadCount, 100.0 * (cpuAfter - cpu) / elapsed,
                 server >= 0 && serverAfter >= 0 ? 100.0 * (serverAfter - server) / elapsed : -1.0,
                 spread.p50 / 1000.0, spread.p99 / 1000.0, spread.max / 1000.0,
                 static_cast<unsigned long long>(run->unlogged.load()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    static const option kLong[] = {
        {"frames", required_argument, nullptr, 'f'}, {"rate", required_argument, nullptr, 'r'},
        {"seconds", required_argument, nullptr, 's'}, {"server-pid", required_argument, nullptr, 'p'},
        {"interface", required_argument, nullptr, 'i'}, {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    auto parse = [&] {
        return parseArguments(argc, argv, "f:r:s:p:i:h", kLong, kUsage, [&](int c, const char* value) {
            unsigned long number = 0;
            switch (c) {
            case 'f':
            case 'r':
            case 's':
            case 'p':
            case 'i':
                if (!parseUnsigned(value, 10000000, number) || (number == 0 && c != 'i')) {
                    fail("invalid number '%s'", value);
                    return kExitUsage;
                }
                if (c == 'f')
                    options.frames = unsigned(number);
                else if (c == 'r')
                    options.rate = unsigned(number);
                else if (c == 's')
                    options.seconds = double(number);
                else if (c == 'i')
                    options.interface = unsigned(number);
                else
                    options.serverPid = long(number);
                return 0;
            default:
                return kExitUsage;
            }
        });
    };
    return runProgram("stack_client", parse, [&](OSXDeviceManager& manager) {
        ZmOSXDevice* device = long(options.interface) < manager.getCountDevices()
                                  ? manager.getDevice(long(options.interface))
                                  : nullptr;
        if (device == nullptr) {
            fail("interface %u is not attached", options.interface);
            return kExitFailure;
        }
        device->incReferences();
        const int status = stream(*device, options);
        device->decReferences();
        return status;
    });
}
