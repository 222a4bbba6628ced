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
// built-in backend. The backend is not owned and must outlive every call that can reach it.
HALBackend* _AudioHALSetBackend(HALBackend* backend);
HALBackend* _AudioHALGetBackend();

// Tells the current backend that a property of the system object changed.
void _AudioHALHardwarePropertyChanged(AudioHardwarePropertyID property);

// The built-in backend hands out increasing IDs from 2 (0 is no object, 1 the system object)
// and records every call that reaches it. It keeps no registry of objects, so it accepts any
// ID; the HAL library checks them. On devices created or died it tells the listeners of
// kAudioHardwarePropertyDevices.
enum class HALCall {
    ClaimDeviceID,         // device: the claimed ID
    ClaimStreamID,         // device: the owner given; stream: the claimed ID
    DevicesCreated,        // objects: the devices
    DevicesDied,           // objects: the devices
    StreamsCreated,        // device: the owner given; objects: the streams
    StreamsDied,           // device: the owner given; objects: the streams
    DevicePropertyChanged, // device, channel, isInput, property
    StreamPropertyChanged, // device, stream, channel, property
};

struct HALNotification {
    HALCall call = HALCall::DevicePropertyChanged;
    AudioHardwarePlugInRef owner = nullptr;
    AudioDeviceID device = kAudioDeviceUnknown;
    AudioStreamID stream = kAudioStreamUnknown;
    UInt32 channel = 0;
    bool isInput = false;
    AudioDevicePropertyID property = 0;
    std::vector<AudioObjectID> objects;

    bool operator==(const HALNotification&) const = default;
};

// The record keeps the latest calls up to this many; older ones are dropped and counted.
constexpr std::size_t kHALRecordedNotificationLimit = 4096;

// A copy of the built-in backend's record, oldest first.
std::vector<HALNotification> _AudioHALRecordedNotifications();
// Empties the record and zeroes the dropped count.
void _AudioHALClearRecordedNotifications();
// Calls dropped from the front of the record since it was last cleared.
std::size_t _AudioHALDroppedNotificationCount();
