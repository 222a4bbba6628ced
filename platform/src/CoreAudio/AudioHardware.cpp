// The hardware property listener calls, answered by the installed backend.
#include <CoreAudio/AudioHardware.h>

#include "platform/src/CoreAudio/HALBackend.h"

extern "C" OSStatus AudioHardwareAddPropertyListener(AudioHardwarePropertyID inPropertyID,
                                                     AudioHardwarePropertyListenerProc inProc,
                                                     void* inClientData)
{
    if (inProc == nullptr)
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->addPropertyListener(inPropertyID, inProc, inClientData);
}

extern "C" OSStatus AudioHardwareRemovePropertyListener(AudioHardwarePropertyID inPropertyID,
                                                        AudioHardwarePropertyListenerProc inProc)
{
    if (inProc == nullptr)
        return kAudioHardwareIllegalOperationError;
    return _AudioHALGetBackend()->removePropertyListener(inPropertyID, inProc);
}
