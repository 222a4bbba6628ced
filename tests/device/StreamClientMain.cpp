// device_stream_client VALUE SECONDS: one more process on the first interface of the kernel
// driver named by TARSEL_KEXT_SOCKET. It plays VALUE (in 24-bit steps) on output channel 0
// through an IOProc for SECONDS, printing "streaming PID" once the IOProc has been called, or
// "failed" (exit status 1) when the interface cannot be streamed.
#include <IOKit/IOKitLib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "device/DeviceManagerClient.h"
#include "device/ZmOSXDevice.h"

namespace {

float g_value = 0.0f;
std::atomic<long> g_calls{0};

OSStatus play(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
              AudioBufferList* out, const AudioTimeStamp*, void*)
{
    if (out != nullptr && out->mBuffers[0].mData != nullptr && out->mBuffers[0].mNumberChannels != 0) {
        auto* samples = static_cast<float*>(out->mBuffers[0].mData);
        const uint32_t channels = out->mBuffers[0].mNumberChannels;
        for (uint32_t i = 0; i < out->mBuffers[0].mDataByteSize / 4; i += channels)
            samples[i] = g_value;
    }
    g_calls.fetch_add(1);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    g_value = static_cast<float>(std::strtol(argv[1], nullptr, 10) / 8388608.0);
    const long seconds = std::strtol(argv[2], nullptr, 10);
    io_service_t service =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("ZmKernelDeviceTARSEL"));
    IgnoringDeviceManagerClient client;
    auto* device = new ZmOSXDevice(nullptr, &client, service, nullptr);
    device->incReferences();
    int status = 1;
    if (service != 0 && device->init() && device->addIOProc(play, nullptr) && device->onDeviceStart(play)) {
        for (int i = 0; i < 500 && g_calls.load() == 0; ++i)
            usleep(10000);
        if (g_calls.load() > 0) {
            std::printf("streaming %d\n", int(getpid()));
            std::fflush(stdout);
            sleep(static_cast<unsigned>(seconds));
            status = 0;
        }
        device->removeIOProc(play);
    }
    if (status != 0)
        std::puts("failed");
    device->decReferences();
    if (service != 0)
        IOObjectRelease(service);
    return status;
}
