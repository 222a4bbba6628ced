// The HAL plug-in interface: the type and interface UUIDs, the function table a plug-in fills,
// and the HAL calls through which a plug-in claims object IDs and announces its devices,
// streams and property changes.
#pragma once
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CFPlugInCOM.h>

// F8BB1C28-BAE8-11D6-9C31-00039315CD46: the type a HAL plug-in's factory is asked for.
#define kAudioHardwarePlugInTypeID                                                            \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorSystemDefault, 0xF8, 0xBB, 0x1C, 0x28, 0xBA, \
                                   0xE8, 0x11, 0xD6, 0x9C, 0x31, 0x00, 0x03, 0x93, 0x15, 0xCD, \
                                   0x46)

// FAFCAFC3-BAE8-11D6-B4A8-00039315CD46: the first interface, Initialize to StreamSetProperty.
#define kAudioHardwarePlugInInterfaceID                                                       \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorSystemDefault, 0xFA, 0xFC, 0xAF, 0xC3, 0xBA, \
                                   0xE8, 0x11, 0xD6, 0xB4, 0xA8, 0x00, 0x03, 0x93, 0x15, 0xCD, \
                                   0x46)

// 5D80CB6C-484F-11D7-8571-000A95771282: adds DeviceStartAtTime and DeviceGetNearestStartTime.
#define kAudioHardwarePlugInInterface2ID                                                      \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorSystemDefault, 0x5D, 0x80, 0xCB, 0x6C, 0x48, \
                                   0x4F, 0x11, 0xD7, 0x85, 0x71, 0x00, 0x0A, 0x95, 0x77, 0x12, \
                                   0x82)

// 38D78A18-77A5-11D8-B8B8-000A9588787E: adds InitializeWithObjectID and the AudioObject calls.
#define kAudioHardwarePlugInInterface3ID                                                      \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorSystemDefault, 0x38, 0xD7, 0x8A, 0x18, 0x77, \
                                   0xA5, 0x11, 0xD8, 0xB8, 0xB8, 0x00, 0x0A, 0x95, 0x88, 0x78, \
                                   0x7E)

// E96C3E92-E745-4CB7-BA91-B33C68F2F026: adds DeviceCreateIOProcID and DeviceDestroyIOProcID.
#define kAudioHardwarePlugInInterface4ID                                                      \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorSystemDefault, 0xE9, 0x6C, 0x3E, 0x92, 0xE7, \
                                   0x45, 0x4C, 0xB7, 0xBA, 0x91, 0xB3, 0x3C, 0x68, 0xF2, 0xF0, \
                                   0x26)

typedef struct AudioHardwarePlugInInterface AudioHardwarePlugInInterface;
// What the HAL holds for a plug-in: the address of a record whose first word points to the
// function table.
typedef AudioHardwarePlugInInterface** AudioHardwarePlugInRef;

struct AudioHardwarePlugInInterface {
    IUNKNOWN_C_GUTS;

    OSStatus (*Initialize)(AudioHardwarePlugInRef inSelf);
    OSStatus (*Teardown)(AudioHardwarePlugInRef inSelf);
    OSStatus (*DeviceAddIOProc)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                AudioDeviceIOProc inProc, void* inClientData);
    OSStatus (*DeviceRemoveIOProc)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                   AudioDeviceIOProc inProc);
    OSStatus (*DeviceStart)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                            AudioDeviceIOProc inProc);
    OSStatus (*DeviceStop)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                           AudioDeviceIOProc inProc);
    OSStatus (*DeviceRead)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                           const AudioTimeStamp* inStartTime, AudioBufferList* outData);
    OSStatus (*DeviceGetCurrentTime)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                     AudioTimeStamp* outTime);
    OSStatus (*DeviceTranslateTime)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                    const AudioTimeStamp* inTime, AudioTimeStamp* outTime);
    OSStatus (*DeviceGetPropertyInfo)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                      UInt32 inChannel, Boolean isInput,
                                      AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                      Boolean* outWritable);
    OSStatus (*DeviceGetProperty)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                  UInt32 inChannel, Boolean isInput,
                                  AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                  void* outPropertyData);
    OSStatus (*DeviceSetProperty)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                  const AudioTimeStamp* inWhen, UInt32 inChannel, Boolean isInput,
                                  AudioDevicePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                  const void* inPropertyData);
    OSStatus (*StreamGetPropertyInfo)(AudioHardwarePlugInRef inSelf, AudioStreamID inStream,
                                      UInt32 inChannel, AudioDevicePropertyID inPropertyID,
                                      UInt32* outSize, Boolean* outWritable);
    OSStatus (*StreamGetProperty)(AudioHardwarePlugInRef inSelf, AudioStreamID inStream,
                                  UInt32 inChannel, AudioDevicePropertyID inPropertyID,
                                  UInt32* ioPropertyDataSize, void* outPropertyData);
    OSStatus (*StreamSetProperty)(AudioHardwarePlugInRef inSelf, AudioStreamID inStream,
                                  const AudioTimeStamp* inWhen, UInt32 inChannel,
                                  AudioDevicePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                  const void* inPropertyData);

    // Second interface.
    OSStatus (*DeviceStartAtTime)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                  AudioDeviceIOProc inProc, AudioTimeStamp* ioRequestedStartTime,
                                  UInt32 inFlags);
    OSStatus (*DeviceGetNearestStartTime)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                          AudioTimeStamp* ioRequestedStartTime, UInt32 inFlags);

    // Third interface.
    OSStatus (*InitializeWithObjectID)(AudioHardwarePlugInRef inSelf, AudioObjectID inObjectID);
    void (*ObjectShow)(AudioHardwarePlugInRef inSelf, AudioObjectID inObjectID);
    Boolean (*ObjectHasProperty)(AudioHardwarePlugInRef inSelf, AudioObjectID inObjectID,
                                 const AudioObjectPropertyAddress* inAddress);
    OSStatus (*ObjectIsPropertySettable)(AudioHardwarePlugInRef inSelf, AudioObjectID inObjectID,
                                         const AudioObjectPropertyAddress* inAddress,
                                         Boolean* outIsSettable);
    OSStatus (*ObjectGetPropertyDataSize)(AudioHardwarePlugInRef inSelf, AudioObjectID inObjectID,
                                          const AudioObjectPropertyAddress* inAddress,
                                          UInt32 inQualifierDataSize, const void* inQualifierData,
                                          UInt32* outDataSize);
    OSStatus (*ObjectGetPropertyData)(AudioHardwarePlugInRef inSelf, AudioObjectID inObjectID,
                                      const AudioObjectPropertyAddress* inAddress,
                                      UInt32 inQualifierDataSize, const void* inQualifierData,
                                      UInt32* ioDataSize, void* outData);
    OSStatus (*ObjectSetPropertyData)(AudioHardwarePlugInRef inSelf, AudioObjectID inObjectID,
                                      const AudioObjectPropertyAddress* inAddress,
                                      UInt32 inQualifierDataSize, const void* inQualifierData,
                                      UInt32 inDataSize, const void* inData);

    // Fourth interface.
    OSStatus (*DeviceCreateIOProcID)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                     AudioDeviceIOProc inProc, void* inClientData,
                                     AudioDeviceIOProcID* outIOProcID);
    OSStatus (*DeviceDestroyIOProcID)(AudioHardwarePlugInRef inSelf, AudioDeviceID inDevice,
                                      AudioDeviceIOProcID inIOProcID);
};

// The reserved word, IUnknown's three entries and 26 HAL entries, one pointer each.
static_assert(sizeof(AudioHardwarePlugInInterface) == 30 * sizeof(void*));
static_assert(offsetof(AudioHardwarePlugInInterface, Initialize) == 4 * sizeof(void*));
static_assert(offsetof(AudioHardwarePlugInInterface, StreamSetProperty) == 18 * sizeof(void*));
static_assert(offsetof(AudioHardwarePlugInInterface, InitializeWithObjectID) ==
              21 * sizeof(void*));
static_assert(offsetof(AudioHardwarePlugInInterface, DeviceDestroyIOProcID) ==
              29 * sizeof(void*));

#ifdef __cplusplus
extern "C" {
#endif

// The calls a plug-in makes into the HAL. `inOwner` is the plug-in's own reference; a null
// owner is not a plug-in the HAL knows (the control application runs the device layer with
// one), so such a call does nothing and answers kAudioHardwareIllegalOperationError, as does a
// call with a null pointer where an ID or a non-empty list is needed. Claimed IDs are never 0.

OSStatus AudioHardwareClaimAudioDeviceID(AudioHardwarePlugInRef inOwner,
                                         AudioDeviceID* outAudioDeviceID);
OSStatus AudioHardwareDevicesCreated(AudioHardwarePlugInRef inOwner, UInt32 inNumberDevices,
                                     const AudioDeviceID* inAudioDeviceIDs);
OSStatus AudioHardwareDevicesDied(AudioHardwarePlugInRef inOwner, UInt32 inNumberDevices,
                                  const AudioDeviceID* inAudioDeviceIDs);
OSStatus AudioHardwareDevicePropertyChanged(AudioHardwarePlugInRef inOwner,
                                            AudioDeviceID inDeviceID, UInt32 inChannel,
                                            Boolean isInput, AudioDevicePropertyID inPropertyID);

OSStatus AudioHardwareClaimAudioStreamID(AudioHardwarePlugInRef inOwner,
                                         AudioDeviceID inOwningDeviceID,
                                         AudioStreamID* outAudioStreamID);
OSStatus AudioHardwareStreamsCreated(AudioHardwarePlugInRef inOwner, AudioDeviceID inOwningDeviceID,
                                     UInt32 inNumberStreams, const AudioStreamID* inAudioStreamIDs);
OSStatus AudioHardwareStreamsDied(AudioHardwarePlugInRef inOwner, AudioDeviceID inOwningDeviceID,
                                  UInt32 inNumberStreams, const AudioStreamID* inAudioStreamIDs);
OSStatus AudioHardwareStreamPropertyChanged(AudioHardwarePlugInRef inOwner,
                                            AudioDeviceID inOwningDeviceID,
                                            AudioStreamID inStreamID, UInt32 inChannel,
                                            AudioDevicePropertyID inPropertyID);

#ifdef __cplusplus
}
#endif
