#pragma once
#include "platform/src/CoreAudio/HALBackend.h"

#include <cstddef>
#include <vector>

// The recording backend stands in for the HAL in unit tests of the device layer: it hands out
// increasing IDs from 2 (0 is no object, 1 the system object), records every call that reaches
// it and keeps the system listeners; on devices created or died it tells the listeners of
// kAudioHardwarePropertyDevices. It is installed before main() in every test program that
// uses the functions below.
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
    std::vector<AudioObjectID> objects{};

    bool operator==(const HALNotification&) const = default;
};

// The record keeps the latest calls up to this many; older ones are dropped.
constexpr std::size_t kHALRecordedNotificationLimit = 4096;

// A copy of the built-in backend's record, oldest first.
std::vector<HALNotification> recordedHALCalls();
// Empties the record.
void clearRecordedHALCalls();
