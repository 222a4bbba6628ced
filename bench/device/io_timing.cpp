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

#include <CoreAudio/AudioHardware.h>

#include "device/ZmOSXDevice.h"
#include "bench/BenchDaemon.h"
#include "tools/Statistics.h"

namespace {

using toolsupport::Spread;
using toolsupport::spreadOf;

constexpr uint32_t kFrameSizes[] = {64, 256, 1024};
constexpr double kWarmUpSeconds = 0.5;

const char kUsage[] =
    "usage: io_timing [--seconds S] [--jitter NS] [--model NAME] [--hal]\n"
    "Streams through the device's I/O thread on a private simulated kernel driver at 64, 256\n"
    "and 1024 frames, each for S seconds (default 60), once with an exact kernel clock and once\n"
    "with NS nanoseconds of time-stamp jitter (default 50000; 0 leaves that run out), and\n"
    "prints CPU per cycle, wake-up lateness, time-stamp jitter and overloads. With --hal the\n"
    "IOProc goes through the HAL and TARSEL.plugin loaded from its bundle (the build's, unless\n"
    "TARSEL_HAL_PLUGIN_DIR names another folder) instead of the device layer; overloads are\n"
    "then not known to the client and show as -.\n";

struct Options {
    double seconds = 60;
    uint64_t jitter = 50000;
    std::string model = "tarsel";
    bool hal = false;
    bool help = false;
};

bool parseOptions(int argc, char** argv, Options& options)
{
    static const option kLong[] = {
        {"seconds", required_argument, nullptr, 's'}, {"jitter", required_argument, nullptr, 'j'},
        {"model", required_argument, nullptr, 'm'},   {"help", no_argument, nullptr, 'h'},
        {"hal", no_argument, nullptr, 'H'},           {nullptr, 0, nullptr, 0},
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
        case 'H':
            options.hal = true;
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

// The way to the I/O thread: the device object itself, or the HAL's client calls.
class Path {
public:
    virtual ~Path() = default;
    virtual bool setFrameSize(uint32_t frames) = 0;
    virtual double rate() = 0;
    virtual bool start(Recorder* recorder) = 0;
    virtual void stop() = 0;
    virtual int64_t overloads() = 0; // -1: not known on this path
};

class DevicePath final : public Path {
public:
    explicit DevicePath(ZmOSXDevice& device) : m_device(device) {}
    bool setFrameSize(uint32_t frames) override
    {
        m_device.setFrameSize(frames, false, false);
        return m_device.getFrameSize() == frames;
    }
    double rate() override { return m_device.getFrequency(); }
    bool start(Recorder* recorder) override
    {
        if (m_device.addIOProc(&timingIOProc, recorder) && m_device.onDeviceStart(&timingIOProc))
            return true;
        m_device.removeIOProc(&timingIOProc);
        return false;
    }
    void stop() override
    {
        m_device.onDeviceStop(&timingIOProc);
        m_device.removeIOProc(&timingIOProc);
    }
    int64_t overloads() override { return m_device.getTimestampFilter().mOverloadCount.load(); }

private:
    ZmOSXDevice& m_device;
};

class HALPath final : public Path {
public:
    explicit HALPath(AudioDeviceID device) : m_device(device) {}
    bool setFrameSize(uint32_t frames) override
    {
        UInt32 size = sizeof(frames), now = 0;
        if (AudioDeviceSetProperty(m_device, nullptr, 0, false, kAudioDevicePropertyBufferFrameSize, size, &frames) != 0)
            return false;
        return AudioDeviceGetProperty(m_device, 0, false, kAudioDevicePropertyBufferFrameSize, &size, &now) == 0 &&
               now == frames;
    }
    double rate() override
    {
        Float64 rate = 0;
        UInt32 size = sizeof(rate);
        AudioDeviceGetProperty(m_device, 0, false, kAudioDevicePropertyNominalSampleRate, &size, &rate);
        return rate;
    }
    bool start(Recorder* recorder) override
    {
        if (AudioDeviceCreateIOProcID(m_device, &timingIOProc, recorder, &m_id) == 0 &&
            AudioDeviceStart(m_device, m_id) == 0)
            return true;
        AudioDeviceDestroyIOProcID(m_device, m_id);
        return false;
    }
    void stop() override
    {
        AudioDeviceStop(m_device, m_id);
        AudioDeviceDestroyIOProcID(m_device, m_id);
    }
    int64_t overloads() override { return -1; }

private:
    AudioDeviceID m_device;
    AudioDeviceIOProcID m_id = nullptr;
};

struct Row {
    uint32_t frames = 0;
    uint64_t jitter = 0;
    uint64_t cycles = 0;
    double cpuPerCycle = -1; // ns
    double wakesPerCycle = -1;
    Spread late, stamps;
    int64_t overloads = 0; // -1: not known
    std::string error;
};

Row measure(Path& path, uint32_t frames, uint64_t jitter, double seconds)
{
    Row row;
    row.frames = frames;
    row.jitter = jitter;
    if (!path.setFrameSize(frames)) {
        row.error = "frame size refused";
        return row;
    }
    const double rate = path.rate();
    auto recorder = std::make_unique<Recorder>();
    recorder->samples.resize(size_t((seconds + 1.0) * rate / frames) + 64);
    if (!path.start(recorder.get())) {
        row.error = "the device did not start";
        return row;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
    if (!recorder->haveThread.load(std::memory_order_acquire)) {
        path.stop();
        row.error = "no IOProc call (does the kernel driver stream?)";
        return row;
    }
    const pthread_t thread = recorder->thread;
    const int64_t overloads = path.overloads();
    const uint64_t calls = recorder->calls.load();
    const double cpu = threadCpuNanos(thread);
    const double switches = contextSwitches(recorder->tid);
    recorder->measuring.store(true, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    recorder->measuring.store(false, std::memory_order_release);
    const double cpuAfter = threadCpuNanos(thread);
    const double switchesAfter = contextSwitches(recorder->tid);
    row.cycles = recorder->calls.load() - calls;
    row.overloads = overloads < 0 ? -1 : path.overloads() - overloads;
    path.stop();
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
    const std::string overloads = row.overloads < 0 ? "-" : std::to_string(row.overloads);
    std::printf("%6u  %9" PRIu64 "  %7" PRIu64 "  %9.2f  %6.1f  %7.1f %7.1f %8.1f  %7.2f %7.2f %8.2f  %9s\n",
                row.frames, row.jitter, row.cycles, row.cpuPerCycle / 1000.0, row.wakesPerCycle, row.late.p50 / 1000.0,
                row.late.p99 / 1000.0,
                row.late.max / 1000.0, row.stamps.p50 / 1000.0, row.stamps.p99 / 1000.0, row.stamps.max / 1000.0,
                overloads.c_str());
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
    ZmOSXDevice* device = nullptr;
    std::unique_ptr<Path> path;
    std::string name;
    int status = 0;
    if (options.hal) {
        IOObjectRelease(service);
        service = 0;
        setenv("TARSEL_HAL_PLUGIN_DIR", TARSEL_PLUGIN_FOLDER, 0);
        AudioDeviceID id = 0;
        UInt32 size = sizeof(id);
        CFStringRef text = nullptr;
        UInt32 textSize = sizeof(text);
        if (AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &id) != 0 || id == 0) {
            std::fprintf(stderr, "io_timing: the HAL has no device (is TARSEL.plugin in %s?)\n",
                         getenv("TARSEL_HAL_PLUGIN_DIR"));
            return 1;
        }
        if (AudioDeviceGetProperty(id, 0, false, kAudioDevicePropertyDeviceNameCFString, &textSize, &text) == 0) {
            char buffer[128] = "";
            CFStringGetCString(text, buffer, sizeof(buffer), kCFStringEncodingASCII);
            CFRelease(text);
            name = std::string(buffer) + ", through the HAL";
        }
        path = std::make_unique<HALPath>(id);
    } else {
        device = new ZmOSXDevice(nullptr, &client, service, nullptr);
        device->incReferences();
        if (!device->init()) {
            std::fprintf(stderr, "io_timing: the device did not initialise\n");
            status = 1;
        } else {
            name = std::string(device->getManufacturer().c_str()) + " " + device->getDeviceName().c_str();
            path = std::make_unique<DevicePath>(*device);
        }
    }
    if (path) {
        std::printf("io_timing: %s, %u Hz, %.1f s a run (after %.1f s to settle)\n", name.c_str(),
                    unsigned(path->rate()), options.seconds, kWarmUpSeconds);
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
                const Row row = measure(*path, frames, jitter, options.seconds);
                printRow(row);
                if (!row.error.empty())
                    status = 1;
            }
        }
    }
    path.reset();
    if (device != nullptr)
        device->decReferences();
    if (options.hal)
        AudioHardwareUnload();
    if (service != 0)
        IOObjectRelease(service);
    return status;
}
