// The simulated interface's clock: frames it publishes per second of host time against the
// nominal rate, on a private daemon in this process. A figure, not a check: a loaded machine
// lowers it.
#include <IOKit/IOKitLib.h>
#include <benchmark/benchmark.h>
#include <mach/mach.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "bench/BenchDaemon.h"
#include "device/AudioSM.h"
#include "device/DriverRequest.h"
#include "device/KernelMemory.h"
#include "kext/model/Catalogue.h"
#include "kext/model/DeviceModel.h"

namespace {

kern_return_t call(io_connect_t connect, DriverRequest& r)
{
    IOByteCount size = sizeof r;
    return IOConnectMethodStructureIStructureO(connect, 0, sizeof r, &size, &r, &r);
}

// Configures the default interface at `rate`, attaches, and measures for as long as the
// benchmark runs; counters: frames per second and their ratio to the rate.
void BM_EngineClock(benchmark::State& state)
{
    const uint32_t rate = uint32_t(state.range(0));
    bench::BenchDaemon daemon;
    io_service_t service = daemon.plug("default");
    io_connect_t connect = 0;
    if (service == 0 || IOServiceOpen(service, mach_task_self(), 0, &connect) != kIOReturnSuccess) {
        state.SkipWithError("no interface");
        return;
    }
    VkChannelSettings s = kext::defaultSettings(*kext::findModel("tarsel"));
    s.iFrequency = rate;
    DriverRequest r{};
    r.iCode = kReqSetChannelSettings;
    const uint32_t words[] = {s.iFrequency, s.iInChannels, s.iInBits, s.iOutChannels, s.iOutBits, s.iConfiguration};
    for (size_t i = 0; i < 6; ++i)
        r.setWord(i, words[i]);
    kern_return_t kr = call(connect, r);
    r = DriverRequest{};
    r.iCode = kReqAttach;
    r.setWord(0, uint32_t(getpid()));
    r.iParam = 256;
    if (kr == kIOReturnSuccess)
        kr = call(connect, r);
    vm_address_t address = 0;
    vm_size_t size = 0;
    if (kr == kIOReturnSuccess)
        kr = IOConnectMapMemory(connect, kMemoryInputRing, mach_task_self(), &address, &size, kIOMapAnywhere);
    if (kr != kIOReturnSuccess || size != kAudioRingSize) {
        state.SkipWithError("cannot configure and attach");
        IOServiceClose(connect);
        IOObjectRelease(service);
        return;
    }
    const AudioSM& in = *reinterpret_cast<const AudioSM*>(address);
    while (in.getFramePos() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint32_t first = in.getFramePos();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const uint32_t frames = in.getFramePos() - first;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["frames_per_s"] = frames / seconds;
    state.counters["of_nominal"] = frames / seconds / rate;
    IOConnectUnmapMemory(connect, kMemoryInputRing, mach_task_self(), address);
    IOServiceClose(connect);
    IOObjectRelease(service);
}
BENCHMARK(BM_EngineClock)->Arg(44100)->Arg(48000)->Iterations(50)->UseRealTime();

} // namespace
