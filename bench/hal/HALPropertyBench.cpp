// What a property costs a HAL client: the call through the HAL to the plug-in loaded from its
// bundle, and on to the device object, against a private simulated kernel driver.
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>
#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench/BenchDaemon.h"

namespace {

AudioDeviceID g_device = 0;

void systemDeviceList(benchmark::State& state)
{
    AudioDeviceID ids[8];
    for (auto _ : state) {
        UInt32 size = sizeof(ids);
        benchmark::DoNotOptimize(AudioHardwareGetProperty(kAudioHardwarePropertyDevices, &size, ids));
    }
}
BENCHMARK(systemDeviceList);

void deviceNominalRate(benchmark::State& state)
{
    Float64 rate = 0;
    for (auto _ : state) {
        UInt32 size = sizeof(rate);
        benchmark::DoNotOptimize(
            AudioDeviceGetProperty(g_device, 0, false, kAudioDevicePropertyNominalSampleRate, &size, &rate));
    }
}
BENCHMARK(deviceNominalRate);

void objectStreamFormat(benchmark::State& state)
{
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamFormat, kAudioDevicePropertyScopeOutput, 0};
    AudioStreamBasicDescription format{};
    for (auto _ : state) {
        UInt32 size = sizeof(format);
        benchmark::DoNotOptimize(AudioObjectGetPropertyData(g_device, &address, 0, nullptr, &size, &format));
    }
}
BENCHMARK(objectStreamFormat);

void deviceNameCFString(benchmark::State& state)
{
    for (auto _ : state) {
        CFStringRef name = nullptr;
        UInt32 size = sizeof(name);
        if (AudioDeviceGetProperty(g_device, 0, false, kAudioDevicePropertyDeviceNameCFString, &size, &name) == noErr)
            CFRelease(name);
    }
}
BENCHMARK(deviceNameCFString);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bench::BenchDaemon daemon;
    io_service_t service = daemon.plug("tarsel");
    if (service == 0) {
        std::fprintf(stderr, "hal_property_bench: no private kernel driver\n");
        return 1;
    }
    IOObjectRelease(service);
    // The build's bundle unless the caller names another folder.
    setenv("TARSEL_HAL_PLUGIN_DIR", TARSEL_PLUGIN_FOLDER, 0);
    UInt32 size = sizeof(g_device);
    if (AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &g_device) != noErr ||
        g_device == 0) {
        std::fprintf(stderr, "hal_property_bench: the HAL has no device (is TARSEL.plugin in %s?)\n",
                     getenv("TARSEL_HAL_PLUGIN_DIR"));
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    AudioHardwareUnload();
    return 0;
}
