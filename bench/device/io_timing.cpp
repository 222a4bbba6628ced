// io_timing: streams through a device's real I/O thread against a private simulated kernel
// driver, at 64, 256 and 1024 frames, with and without time-stamp jitter in the kernel, and
// prints a table: CPU per cycle of the I/O thread, wake-up lateness, the IOProc time stamps'
// jitter against the least-squares clock, and overloads.
#include <CoreAudio/HostTime.h>
#include <getopt.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/ZmOSXDevice.h"
#include "bench/BenchDaemon.h"
#include "tools/Statistics.h"

namespace {

using toolsupport::Spread;
using toolsupport::spreadOf;

constexpr uint32_t kFrameSizes[] = {64, 256, 1024};
constexpr double kWarmUpSeconds = 0.5;

const char kUsage[] =
    "usage: io_timing [--seconds S] [--jitter NS] [--model NAME]\n"
    "Streams through the device's I/O thread on a private simulated kernel driver at 64, 256\n"
    "and 1024 frames, each for S seconds (default 60), once with an exact kernel clock and once\n"
    "with NS nanoseconds of time-stamp jitter (default 50000; 0 leaves that run out), and\n"
    "prints CPU per cycle, wake-up lateness, time-stamp jitter and overloads.\n";

struct Options {
    double seconds = 60;
    uint64_t jitter = 50000;
    std::string model = "tarsel";
    bool help = false;
};

bool parseOptions(int argc, char** argv, Options& options)
{
    static const option kLong[] = {
        {"seconds", required_argument, nullptr, 's'}, {"jitter", required_argument, nullptr, 'j'},
        {"model", required_argument, nullptr, 'm'},   {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "s:j:m:h", kLong, nullptr)) != -1) {
        char* end = nullptr;
        errno = 0;
        switch (c) {
        case 's':
            options.seconds = std::strtod(optarg, &end);
            if (errno != 0 || *end != '\0' || !(options.seconds >= 0.1 && options.seconds <= 3600))
                return false;
            break;
        case 'j':
            options.jitter = std::strtoull(optarg, &end, 10);
            if (errno != 0 || *end != '\0' || *optarg < '0' || *optarg > '9' || options.jitter > 100'000'000)
                return false;
            break;
        case 'm':
            options.model = optarg;
            break;
        case 'h':
            options.help = true;
            return true;
        default:
            return false;
        }
    }
    return optind == argc;
}

struct Sample {
    uint64_t entryHost;
    uint64_t inputHost;
    uint64_t outputHost;
    double outputSample;
    uint32_t frames;
};

// Filled by the IOProc while `measuring`, into memory allocated before the run.
struct Recorder {
    std::vector<Sample> samples;
    std::atomic<uint32_t> count{0};
    std::atomic<bool> measuring{false};
    std::atomic<uint64_t> calls{0};
    std::atomic<bool> haveThread{false};
    pthread_t thread{};
    pid_t tid = 0;
};

OSStatus timingIOProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp* inputTime,
                      AudioBufferList* outputData, const AudioTimeStamp* outputTime, void* clientData)
{
    const uint64_t entry = AudioGetCurrentHostTime();
    auto* r = static_cast<Recorder*>(clientData);
    if (!r->haveThread.load(std::memory_order_relaxed)) {
        // Once, on the first call: which thread to watch from outside.
        r->thread = pthread_self();
        r->tid = gettid();
        r->haveThread.store(true, std::memory_order_release);
    }
    r->calls.fetch_add(1, std::memory_order_relaxed);
    uint32_t frames = 0;
    if (outputData != nullptr && outputData->mNumberBuffers > 0 && outputData->mBuffers[0].mNumberChannels > 0)
        frames = outputData->mBuffers[0].mDataByteSize / (4 * outputData->mBuffers[0].mNumberChannels);
    const uint32_t n = r->count.load(std::memory_order_relaxed);
    if (r->measuring.load(std::memory_order_acquire) && n < r->samples.size() && inputTime != nullptr
        && outputTime != nullptr) {
        r->samples[n] = {entry, inputTime->mHostTime, outputTime->mHostTime, outputTime->mSampleTime, frames};
        r->count.store(n + 1, std::memory_order_release);
    }
    return 0;
}

// |outputTime.mHostTime - the least-squares line over sample time|, in ns.
Spread clockJitter(const std::vector<Sample>& samples)
{
    if (samples.empty())
        return {};
    const double x0 = samples.front().outputSample;
    const auto y0 = int64_t(samples.front().outputHost);
    std::vector<double> x, y;
    x.reserve(samples.size());
    y.reserve(samples.size());
    for (const Sample& s : samples) {
        x.push_back(s.outputSample - x0);
        y.push_back(double(int64_t(s.outputHost) - y0));
    }
    return toolsupport::fitLine(x, y).deviation;
}

// The call's start against the moment its input buffer was complete, in ns.
Spread lateness(const std::vector<Sample>& samples, double rate)
{
    std::vector<double> late;
    late.reserve(samples.size());
    for (const Sample& s : samples)
        late.push_back(double(int64_t(s.entryHost - s.inputHost)) - s.frames * 1.0e9 / rate);
    return spreadOf(std::move(late));
}

double threadCpuNanos(pthread_t thread)
{
    clockid_t clock;
    timespec t{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0)
        return -1;
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// How often a thread has gone to sleep and been woken, from the kernel's count of its context
// switches; -1 when unknown.
double contextSwitches(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    double total = -1;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            total = (total < 0 ? 0 : total) + std::strtod(line.c_str() + line.find(':') + 1, nullptr);
    return total;
}

// What one sleep and wake-up costs a thread here, in CPU ns: the floor under CPU per cycle.
double cpuPerSleep()
{
    constexpr int kSleeps = 200;
    const double before = threadCpuNanos(pthread_self());
    for (int i = 0; i < kSleeps; ++i) {
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return (threadCpuNanos(pthread_self()) - before) / kSleeps;
}

struct Row {
    uint32_t frames = 0;
    uint64_t jitter = 0;
    uint64_t cycles = 0;
    double cpuPerCycle = -1; // ns
    double wakesPerCycle = -1;
    Spread late, stamps;
    uint32_t overloads = 0;
    std::string error;
};

Row measure(ZmOSXDevice& device, uint32_t frames, uint64_t jitter, double seconds)
{
    Row row;
    row.frames = frames;
    row.jitter = jitter;
    device.setFrameSize(frames, false, false);
    if (device.getFrameSize() != frames) {
        row.error = "frame size refused";
        return row;
    }
    const double rate = device.getFrequency();
    auto recorder = std::make_unique<Recorder>();
    recorder->samples.resize(size_t((seconds + 1.0) * rate / frames) + 64);
    if (!device.addIOProc(&timingIOProc, recorder.get()) || !device.onDeviceStart(&timingIOProc)) {
        device.removeIOProc(&timingIOProc);
        row.error = "the device did not start";
        return row;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
    if (!recorder->haveThread.load(std::memory_order_acquire)) {
        device.onDeviceStop(&timingIOProc);
        device.removeIOProc(&timingIOProc);
        row.error = "no IOProc call (does the kernel driver stream?)";
        return row;
    }
    const pthread_t thread = recorder->thread;
    const uint32_t overloads = device.getTimestampFilter().mOverloadCount.load();
    const uint64_t calls = recorder->calls.load();
    const double cpu = threadCpuNanos(thread);
    const double switches = contextSwitches(recorder->tid);
    recorder->measuring.store(true, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    recorder->measuring.store(false, std::memory_order_release);
    const double cpuAfter = threadCpuNanos(thread);
    const double switchesAfter = contextSwitches(recorder->tid);
    row.cycles = recorder->calls.load() - calls;
    row.overloads = device.getTimestampFilter().mOverloadCount.load() - overloads;
    device.onDeviceStop(&timingIOProc);
    device.removeIOProc(&timingIOProc);
    if (cpu >= 0 && cpuAfter >= cpu && row.cycles > 0)
        row.cpuPerCycle = (cpuAfter - cpu) / double(row.cycles);
    if (switches >= 0 && switchesAfter >= switches && row.cycles > 0)
        row.wakesPerCycle = (switchesAfter - switches) / double(row.cycles);
    std::vector<Sample> samples(recorder->samples.begin(), recorder->samples.begin() + recorder->count.load());
    row.late = lateness(samples, rate);
    row.stamps = clockJitter(samples);
    return row;
}

void printRow(const Row& row)
{
    if (!row.error.empty()) {
        std::printf("%6u  %9" PRIu64 "  %s\n", row.frames, row.jitter, row.error.c_str());
        return;
    }
    std::printf("%6u  %9" PRIu64 "  %7" PRIu64 "  %9.2f  %6.1f  %7.1f %7.1f %8.1f  %7.2f %7.2f %8.2f  %9u\n",
                row.frames, row.jitter, row.cycles, row.cpuPerCycle / 1000.0, row.wakesPerCycle, row.late.p50 / 1000.0,
                row.late.p99 / 1000.0,
                row.late.max / 1000.0, row.stamps.p50 / 1000.0, row.stamps.p99 / 1000.0, row.stamps.max / 1000.0,
                row.overloads);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // A private HOME for the settings file the device writes, and a private kernel driver.
    bench::BenchDaemon daemon;
    io_service_t service = daemon.plug(options.model);
    if (service == 0) {
        std::fprintf(stderr, "io_timing: no private kernel driver with model '%s'\n", options.model.c_str());
        return 1;
    }
    IgnoringDeviceManagerClient client;
    auto* device = new ZmOSXDevice(nullptr, &client, service, nullptr);
    device->incReferences();
    int status = 0;
    if (!device->init()) {
        std::fprintf(stderr, "io_timing: the device did not initialise\n");
        status = 1;
    } else {
        std::printf("io_timing: %s %s, %u Hz, %.1f s a run (after %.1f s to settle)\n",
                    device->getManufacturer().c_str(), device->getDeviceName().c_str(),
                    unsigned(device->getFrequency()), options.seconds, kWarmUpSeconds);
        std::printf("(one 1 ms sleep costs a thread %.1f us CPU on this machine)\n", cpuPerSleep() / 1000.0);
        std::printf("%51s%s\n", "", "wake-up lateness (us)    time-stamp jitter (us)");
        std::printf("frames  jitter ns   cycles  CPU/cycle  wakes/      p50     p99      max      p50     p99"
                    "      max  overloads\n");
        std::printf("                                  (us)   cycle\n");
        std::vector<uint64_t> jitters{0};
        if (options.jitter != 0)
            jitters.push_back(options.jitter);
        for (uint64_t jitter : jitters) {
            if (daemon.control().configure(daemon.id(), "jitter", std::to_string(jitter)) != KERN_SUCCESS) {
                std::printf("(the kernel driver refused jitter %" PRIu64 " ns)\n", jitter);
                continue;
            }
            for (uint32_t frames : kFrameSizes) {
                const Row row = measure(*device, frames, jitter, options.seconds);
                printRow(row);
                if (!row.error.empty())
                    status = 1;
            }
        }
    }
    device->decReferences();
    IOObjectRelease(service);
    return status;
}
