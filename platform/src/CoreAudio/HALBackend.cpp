#include "platform/src/CoreAudio/HALBackend.h"

#include <atomic>

namespace {

// A process without a HAL (the control application runs the device layer with no plug-in):
// nothing can be claimed or announced, and changes have nobody to hear them.
class NoHALBackend final : public HALBackend {
public:
    OSStatus claimDeviceID(AudioHardwarePlugInRef, AudioDeviceID*) override { return refused(); }
    OSStatus claimStreamID(AudioHardwarePlugInRef, AudioDeviceID, AudioStreamID*) override
    {
        return refused();
    }
    OSStatus devicesCreated(AudioHardwarePlugInRef, UInt32, const AudioDeviceID*) override
    {
        return refused();
    }
    OSStatus devicesDied(AudioHardwarePlugInRef, UInt32, const AudioDeviceID*) override
    {
        return refused();
    }
    OSStatus streamsCreated(AudioHardwarePlugInRef, AudioDeviceID, UInt32,
                            const AudioStreamID*) override
    {
        return refused();
    }
    OSStatus streamsDied(AudioHardwarePlugInRef, AudioDeviceID, UInt32,
                         const AudioStreamID*) override
    {
        return refused();
    }
    OSStatus devicePropertyChanged(AudioHardwarePlugInRef, AudioDeviceID, UInt32, Boolean,
                                   AudioDevicePropertyID) override
    {
        return kAudioHardwareNoError;
    }
    OSStatus streamPropertyChanged(AudioHardwarePlugInRef, AudioDeviceID, AudioStreamID, UInt32,
                                   AudioDevicePropertyID) override
    {
        return kAudioHardwareNoError;
    }
    OSStatus addPropertyListener(AudioHardwarePropertyID, AudioHardwarePropertyListenerProc,
                                 void*) override
    {
        return refused();
    }
    OSStatus removePropertyListener(AudioHardwarePropertyID,
                                    AudioHardwarePropertyListenerProc) override
    {
        return refused();
    }
    void hardwarePropertyChanged(AudioHardwarePropertyID) override {}

private:
    static OSStatus refused() { return kAudioHardwareIllegalOperationError; }
};

NoHALBackend g_noHAL;
std::atomic<HALBackend*> g_installed{nullptr};

} // namespace

HALBackend* _AudioHALSetBackend(HALBackend* backend)
{
    HALBackend* previous = g_installed.exchange(backend, std::memory_order_acq_rel);
    return previous ? previous : &g_noHAL;
}

HALBackend* _AudioHALGetBackend()
{
    HALBackend* installed = g_installed.load(std::memory_order_acquire);
    return installed ? installed : &g_noHAL;
}

void _AudioHALHardwarePropertyChanged(AudioHardwarePropertyID property)
{
    _AudioHALGetBackend()->hardwarePropertyChanged(property);
}
