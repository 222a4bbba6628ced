// The HAL calls a plug-in makes: checked here, answered by the installed backend.
#include <CoreAudio/AudioHardwarePlugIn.h>

#include "platform/src/CoreAudio/HALBackend.h"

namespace {

// A list of `count` IDs needs its storage unless it is empty.
bool validList(UInt32 count, const AudioObjectID* ids)
{
    return count == 0 || ids != nullptr;
}

} // namespace

extern "C" OSStatus AudioHardwareClaimAudioDeviceID(AudioHardwarePlugInRef inOwner,
                                                    AudioDeviceID* outAudioDeviceID)
{
    if (outAudioDeviceID == nullptr)
        return kAudioHardwareIllegalOperationError;
    *outAudioDeviceID = kAudioDeviceUnknown;
    if (inOwner == nullptr)
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->claimDeviceID(inOwner, outAudioDeviceID);
}

extern "C" OSStatus AudioHardwareClaimAudioStreamID(AudioHardwarePlugInRef inOwner,
                                                    AudioDeviceID inOwningDeviceID,
                                                    AudioStreamID* outAudioStreamID)
{
    if (outAudioStreamID == nullptr)
        return kAudioHardwareIllegalOperationError;
    *outAudioStreamID = kAudioStreamUnknown;
    if (inOwner == nullptr)
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->claimStreamID(inOwner, inOwningDeviceID, outAudioStreamID);
}

extern "C" OSStatus AudioHardwareDevicesCreated(AudioHardwarePlugInRef inOwner,
                                                UInt32 inNumberDevices,
                                                const AudioDeviceID* inAudioDeviceIDs)
{
    if (inOwner == nullptr || !validList(inNumberDevices, inAudioDeviceIDs))
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->devicesCreated(inOwner, inNumberDevices, inAudioDeviceIDs);
}

extern "C" OSStatus AudioHardwareDevicesDied(AudioHardwarePlugInRef inOwner,
                                             UInt32 inNumberDevices,
                                             const AudioDeviceID* inAudioDeviceIDs)
{
    if (inOwner == nullptr || !validList(inNumberDevices, inAudioDeviceIDs))
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->devicesDied(inOwner, inNumberDevices, inAudioDeviceIDs);
}

extern "C" OSStatus AudioHardwareDevicePropertyChanged(AudioHardwarePlugInRef inOwner,
                                                       AudioDeviceID inDeviceID,
                                                       UInt32 inChannel, Boolean isInput,
                                                       AudioDevicePropertyID inPropertyID)
{
    if (inOwner == nullptr)
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->devicePropertyChanged(inOwner, inDeviceID, inChannel, isInput,
                                                        inPropertyID);
}

extern "C" OSStatus AudioHardwareStreamsCreated(AudioHardwarePlugInRef inOwner,
                                                AudioDeviceID inOwningDeviceID,
                                                UInt32 inNumberStreams,
                                                const AudioStreamID* inAudioStreamIDs)
{
    if (inOwner == nullptr || !validList(inNumberStreams, inAudioStreamIDs))
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->streamsCreated(inOwner, inOwningDeviceID, inNumberStreams,
                                                 inAudioStreamIDs);
}

extern "C" OSStatus AudioHardwareStreamsDied(AudioHardwarePlugInRef inOwner,
                                             AudioDeviceID inOwningDeviceID,
                                             UInt32 inNumberStreams,
                                             const AudioStreamID* inAudioStreamIDs)
{
    if (inOwner == nullptr || !validList(inNumberStreams, inAudioStreamIDs))
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->streamsDied(inOwner, inOwningDeviceID, inNumberStreams,
                                              inAudioStreamIDs);
}

extern "C" OSStatus AudioHardwareStreamPropertyChanged(AudioHardwarePlugInRef inOwner,
                                                       AudioDeviceID inOwningDeviceID,
                                                       AudioStreamID inStreamID,
                                                       UInt32 inChannel,
                                                       AudioDevicePropertyID inPropertyID)
{
    if (inOwner == nullptr)
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->streamPropertyChanged(inOwner, inOwningDeviceID, inStreamID,
                                                        inChannel, inPropertyID);
}
