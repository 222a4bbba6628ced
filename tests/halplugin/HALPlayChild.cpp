// A second program with the plug-in loaded by its HAL: plays one constant value on every
// channel of the default output device for the seconds given, then says its process ID.
//   hal_play_child VALUE SECONDS
#include <CoreAudio/AudioHardware.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

OSStatus play(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
              AudioBufferList* output, const AudioTimeStamp*, void* clientData)
{
    const float value = *static_cast<const float*>(clientData);
    if (output != nullptr && output->mNumberBuffers > 0 && output->mBuffers[0].mData != nullptr)
        std::fill_n(static_cast<float*>(output->mBuffers[0].mData), output->mBuffers[0].mDataByteSize / 4, value);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    static float value = std::strtof(argv[1], nullptr);
    const double seconds = std::strtod(argv[2], nullptr);
    AudioDeviceID device = 0;
    UInt32 size = sizeof(device);
    if (AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &device) != noErr || device == 0)
        return 1;
    AudioDeviceIOProcID id = nullptr;
    if (AudioDeviceCreateIOProcID(device, play, &value, &id) != noErr || AudioDeviceStart(device, id) != noErr)
        return 1;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const bool stopped = AudioDeviceStop(device, id) == noErr && AudioDeviceDestroyIOProcID(device, id) == noErr;
    AudioHardwareUnload();
    std::printf("pid %d\n", int(getpid()));
    return stopped ? 0 : 1;
}
