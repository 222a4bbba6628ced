#pragma once
// Private to the platform and the HAL library: the seam behind the HAL calls a plug-in makes
// (and the hardware property listeners), and what the built-in backend recorded, for tests.
#include <CoreAudio/AudioHardwarePlugIn.h>

#include <cstddef>
#include <vector>

// Answers the HAL calls. The public functions check their arguments first: a backend is only
// reached with a non-null owner, non-null output pointers, ID lists that hold their count and a
// non-null listener proc. Calls arrive on any thread; an implementation must be thread-safe and
// must call listeners with no lock held.
struct HALBackend {
    virtual ~HALBackend() = default;

    virtual OSStatus claimDeviceID(AudioHardwarePlugInRef owner, AudioDeviceID* outID) = 0;
    virtual OSStatus claimStreamID(AudioHardwarePlugInRef owner, AudioDeviceID device,
                                   AudioStreamID* outID) = 0;
    virtual OSStatus devicesCreated(AudioHardwarePlugInRef owner, UInt32 count,
                                    const AudioDeviceID* ids) = 0;
    virtual OSStatus devicesDied(AudioHardwarePlugInRef owner, UInt32 count,
                                 const AudioDeviceID* ids) = 0;
    virtual OSStatus streamsCreated(AudioHardwarePlugInRef owner, AudioDeviceID device,
                                    UInt32 count, const AudioStreamID* ids) = 0;
    virtual OSStatus streamsDied(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 count,
                                 const AudioStreamID* ids) = 0;
    virtual OSStatus devicePropertyChanged(AudioHardwarePlugInRef owner, AudioDeviceID device,
                                           UInt32 channel, Boolean isInput,
                                           AudioDevicePropertyID property) = 0;
    virtual OSStatus streamPropertyChanged(AudioHardwarePlugInRef owner, AudioDeviceID device,
                                           AudioStreamID stream, UInt32 channel,
                                           AudioDevicePropertyID property) = 0;

    virtual OSStatus addPropertyListener(AudioHardwarePropertyID property,
                                         AudioHardwarePropertyListenerProc proc,
                                         void* clientData) = 0;
    virtual OSStatus removePropertyListener(AudioHardwarePropertyID property,
                                            AudioHardwarePropertyListenerProc proc) = 0;
    // A property of the system object changed: calls its listeners and the wildcard ones.
    virtual void hardwarePropertyChanged(AudioHardwarePropertyID property) = 0;
};

// Installs `backend` for every later call and answers the one it replaces; null restores the
// built-in backend, which stands for a process without a HAL: it refuses claims and
// announcements and listeners with kAudioHardwareIllegalOperationError and drops property
// changes. The backend is not owned and must outlive every call that can reach it.
HALBackend* _AudioHALSetBackend(HALBackend* backend);
HALBackend* _AudioHALGetBackend();

// Tells the current backend that a property of the system object changed.
void _AudioHALHardwarePropertyChanged(AudioHardwarePropertyID property);
