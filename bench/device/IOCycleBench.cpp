// One I/O cycle of the device (onUSBProc) with one IOProc that does nothing: 2 channels each
// way, 256 frames. The benchmark is the kernel: it writes the input ring and its time stamps,
// then runs the cycle on its own thread. The device's I/O thread only does the start and exit
// hand-shake, so no other cycle runs meanwhile, and the connection is never attached, so the
// simulated kernel driver's clock leaves the rings to the benchmark.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/AudioSM.h"
#include "device/ZmOSXDevice.h"
#include "bench/BenchDaemon.h"

namespace {

constexpr const char* kModel = "wrenfield-w2-hs"; // two channels each way
constexpr uint32_t kChannels = 2;
constexpr uint32_t kTimingBase = 4096;

class BenchDevice : public ZmOSXDevice {
public:
    using ZmOSXDevice::ZmOSXDevice;

    // The base thread's hand-shake without its cycles.
    SInt32 threadRun() override
    {
        EThreadState expected = kThreadNotRunning;
        m_iThreadState.compare_exchange_strong(expected, kThreadRunning);
        m_startSemaphore.signal();
        while (!isStopRequested())
            usleep(10000);
        onThreadExit();
        return 0;
    }

    // The thread's attach step, less the kernel's registration.
    bool attachHere()
    {
        if (m_eStreamState.load() != kStreamPrepared || !hardwareReady())
            return false;
        if (!createIOBuffers())
            return false;
        armTimestampFilter();
        m_eStreamState.store(kStreamAttached);
        return true;
    }

    AudioSM* inputRing() const { return static_cast<AudioSM*>(m_pInputRing.load()); }
    AudioSM* outputRing() const { return static_cast<AudioSM*>(m_pOutputRing.load()); }
    uint32_t clientChannels(bool input) const { return (input ? m_inputBuffer : m_outputBuffer).clientChannels(); }
};

// Does nothing but count its calls (the benchmark's thread runs the cycles).
OSStatus silentIOProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                      AudioBufferList*, const AudioTimeStamp*, void* calls)
{
    ++*static_cast<uint64_t*>(calls);
    return 0;
}

// A private HOME for the settings file, a private daemon with one interface, and a started
// device on it.
class Rig {
public:
    explicit Rig(uint32_t frames)
    {
        m_daemon = std::make_unique<bench::BenchDaemon>();
        m_service = m_daemon->plug(kModel);
        if (m_service == 0) {
            m_error = "no private kernel driver";
            return;
        }
        m_device = new BenchDevice(nullptr, &m_client, m_service, nullptr);
        m_device->incReferences();
        if (!m_device->init()) {
            m_error = "the device did not initialise";
            return;
        }
        m_device->setFrameSize(frames, false, false);
        if (m_device->getFrameSize() != frames || !m_device->addIOProc(&silentIOProc, &m_calls)
            || !m_device->onDeviceStart(&silentIOProc)) {
            m_error = "the device did not start";
            return;
        }
        m_started = true;
        // The kernel's side of the attach: the rings set up for the format in force.
        in()->init(kChannels, kTimingBase);
        out()->init(kChannels, kTimingBase);
        if (!m_device->attachHere() || m_device->clientChannels(true) != kChannels
            || m_device->clientChannels(false) != kChannels) {
            m_error = "the device did not attach with 2 channels each way";
            return;
        }
        out()->setStreaming(1);
    }

    ~Rig()
    {
        if (m_device != nullptr) {
            if (m_started) {
                m_device->onDeviceStop(&silentIOProc);
                m_device->removeIOProc(&silentIOProc);
            }
            m_device->decReferences();
        }
        if (m_service != 0)
            IOObjectRelease(m_service);
        m_daemon.reset();
    }

    const std::string& error() const { return m_error; }
    uint64_t calls() const { return m_calls; }
    BenchDevice& device() { return *m_device; }
    AudioSM* in() { return m_device->inputRing(); }
    AudioSM* out() { return m_device->outputRing(); }

private:
    std::string m_error;
    std::unique_ptr<bench::BenchDaemon> m_daemon;
    io_service_t m_service = 0;
    IgnoringDeviceManagerClient m_client;
    BenchDevice* m_device = nullptr;
    bool m_started = false;
    uint64_t m_calls = 0;
};

// The kernel's part of a buffer: its frames, then their time stamp on an ideal clock.
struct Kernel {
    std::vector<int32_t> frames;
    uint64_t time = 1'000'000'000;
    double nanosPerFrame = 1.0e9 / 48000.0;
    double fraction = 0;

    void deliver(AudioSM& in, uint32_t count)
    {
        in.writeFrames(frames.data(), count, 0, kChannels);
        fraction += count * nanosPerFrame;
        const auto whole = uint64_t(fraction);
        fraction -= double(whole);
        time += whole;
        in.writeTimestamp(time);
    }
};

Kernel makeKernel(uint32_t frames, double rate)
{
    Kernel kernel;
    kernel.frames.resize(size_t(frames) * kChannels);
    for (size_t i = 0; i < kernel.frames.size(); ++i)
        kernel.frames[i] = int32_t(std::lround(std::sin(double(i) * 0.01) * 1.0e9));
    kernel.nanosPerFrame = 1.0e9 / rate;
    return kernel;
}

void BM_IOCycle(benchmark::State& state)
{
    const auto frames = uint32_t(state.range(0));
    Rig rig(frames);
    if (!rig.error().empty()) {
        state.SkipWithError(rig.error().c_str());
        return;
    }
    Kernel kernel = makeKernel(frames, rig.device().getFrequency());
    AudioSM& in = *rig.in();
    ZmOSXDevice& device = rig.device();
    uint64_t idle = 0;
    for (auto _ : state) {
        kernel.deliver(in, frames);
        const unsigned long sleep = device.onUSBProc(true);
        benchmark::DoNotOptimize(sleep);
        // A cycle that found nothing to do would measure the wrong thing.
        idle += in.getAvailableFrames(rig.out()->loadReadPosition()) != 0;
    }
    state.counters["frames"] = frames;
    state.counters["idle_cycles"] = double(idle);
    state.counters["ioproc_calls"] = benchmark::Counter(double(rig.calls()), benchmark::Counter::kAvgIterations);
    state.counters["overloads"] = device.getTimestampFilter().mOverloadCount.load();
}
BENCHMARK(BM_IOCycle)->Arg(256)->Arg(64)->Arg(1024)->Unit(benchmark::kNanosecond);

// The kernel's part alone, to take out of the figure above.
void BM_KernelDelivery(benchmark::State& state)
{
    const auto frames = uint32_t(state.range(0));
    Kernel kernel = makeKernel(frames, 48000);
    auto ring = std::make_unique<AudioSM>();
    ring->init(kChannels, kTimingBase);
    for (auto _ : state)
        kernel.deliver(*ring, frames);
    benchmark::DoNotOptimize(ring->getFramePos());
}
BENCHMARK(BM_KernelDelivery)->Arg(256)->Unit(benchmark::kNanosecond);

} // namespace

BENCHMARK_MAIN();
