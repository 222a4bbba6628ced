// The client calls of CoreAudio/AudioHardware.h. Each loads the HAL first (the first call of a
// process does the work), finds the plug-in behind the object and calls it on the caller's
// thread with no HAL lock held.
#include <CoreAudio/AudioHardware.h>

#include <cstdio>

#include "hal/HALSystem.h"
#include "hal/PlugInCall.h"

namespace {

using Interface = AudioHardwarePlugInInterface;

HALSystem& loadedHAL()
{
    HALSystem& hal = HALSystem::instance();
    hal.ensureLoaded();
    return hal;
}

OSStatus deviceRoute(AudioDeviceID device, HALRoute& route)
{
    if (!loadedHAL().route(device, route) || route.kind != HALRoute::Kind::Device)
        return kAudioHardwareBadDeviceError;
    return kAudioHardwareNoError;
}

OSStatus streamRoute(AudioStreamID stream, HALRoute& route)
{
    if (!loadedHAL().route(stream, route) || route.kind != HALRoute::Kind::Stream)
        return kAudioHardwareBadStreamError;
    return kAudioHardwareNoError;
}

template <typename Entry, typename... Args>
OSStatus call(const HALRoute& route, Entry Interface::*member, Args... args)
{
    return callPlugIn(route.ref, route.interfaceVersion, member, args...);
}

// The system object answers its properties in the global scope on the master element.
bool systemAddress(const AudioObjectPropertyAddress& address)
{
    return address.mScope == kAudioObjectPropertyScopeGlobal &&
        address.mElement == kAudioObjectPropertyElementMaster;
}

// Plug-ins older than the third interface have no object calls: their devices and streams are
// asked through the device and stream calls, the scope giving the direction and the element
// the channel.
bool usesObjectCalls(const HALRoute& route)
{
    return route.interfaceVersion >= 3;
}

Boolean isInputScope(const AudioObjectPropertyAddress& address)
{
    return address.mScope == kAudioDevicePropertyScopeInput;
}

OSStatus mappedPropertyInfo(const HALRoute& route, const AudioObjectPropertyAddress& address,
                            UInt32* outSize, Boolean* outWritable)
{
    if (route.kind == HALRoute::Kind::Device)
        return call(route, &Interface::DeviceGetPropertyInfo, route.object, address.mElement,
                    isInputScope(address), address.mSelector, outSize, outWritable);
    if (route.kind == HALRoute::Kind::Stream)
        return call(route, &Interface::StreamGetPropertyInfo, route.object, address.mElement,
                    address.mSelector, outSize, outWritable);
    return kAudioHardwareUnknownPropertyError;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The system object

extern "C" OSStatus AudioHardwareGetPropertyInfo(AudioHardwarePropertyID inPropertyID, UInt32* outSize,
                                                 Boolean* outWritable)
{
    return loadedHAL().systemPropertyInfo(inPropertyID, outSize, outWritable);
}

extern "C" OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                             void* outPropertyData)
{
    return loadedHAL().getSystemProperty(inPropertyID, ioPropertyDataSize, outPropertyData);
}

extern "C" OSStatus AudioHardwareSetProperty(AudioHardwarePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                             const void* inPropertyData)
{
    return loadedHAL().setSystemProperty(inPropertyID, inPropertyDataSize, inPropertyData);
}

extern "C" OSStatus AudioHardwareUnload(void)
{
    return HALSystem::instance().unload();
}

// ---------------------------------------------------------------------------------------------
// IOProcs and time

extern "C" OSStatus AudioDeviceAddIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc, void* inClientData)
{
    if (inProc == nullptr)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    return call(route, &Interface::DeviceAddIOProc, inDevice, inProc, inClientData);
}

extern "C" OSStatus AudioDeviceRemoveIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc)
{
    if (inProc == nullptr)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    return call(route, &Interface::DeviceRemoveIOProc, inDevice, inProc);
}

extern "C" OSStatus AudioDeviceCreateIOProcID(AudioDeviceID inDevice, AudioDeviceIOProc inProc,
                                              void* inClientData, AudioDeviceIOProcID* outIOProcID)
{
    if (inProc == nullptr || outIOProcID == nullptr)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    if (plugInEntry(route.ref, route.interfaceVersion, &Interface::DeviceCreateIOProcID) != nullptr)
        return call(route, &Interface::DeviceCreateIOProcID, inDevice, inProc, inClientData, outIOProcID);
    // Without IOProc IDs the proc is its own ID.
    OSStatus status = call(route, &Interface::DeviceAddIOProc, inDevice, inProc, inClientData);
    if (status == kAudioHardwareNoError)
        *outIOProcID = inProc;
    return status;
}

extern "C" OSStatus AudioDeviceDestroyIOProcID(AudioDeviceID inDevice, AudioDeviceIOProcID inIOProcID)
{
    if (inIOProcID == nullptr)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    if (plugInEntry(route.ref, route.interfaceVersion, &Interface::DeviceDestroyIOProcID) != nullptr)
        return call(route, &Interface::DeviceDestroyIOProcID, inDevice, inIOProcID);
    return call(route, &Interface::DeviceRemoveIOProc, inDevice, inIOProcID);
}

extern "C" OSStatus AudioDeviceStart(AudioDeviceID inDevice, AudioDeviceIOProc inProc)
{
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    return call(route, &Interface::DeviceStart, inDevice, inProc);
}

extern "C" OSStatus AudioDeviceStop(AudioDeviceID inDevice, AudioDeviceIOProc inProc)
{
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    return call(route, &Interface::DeviceStop, inDevice, inProc);
}

extern "C" OSStatus AudioDeviceGetCurrentTime(AudioDeviceID inDevice, AudioTimeStamp* outTime)
{
    if (outTime == nullptr)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    return call(route, &Interface::DeviceGetCurrentTime, inDevice, outTime);
}

extern "C" OSStatus AudioDeviceTranslateTime(AudioDeviceID inDevice, const AudioTimeStamp* inTime,
                                             AudioTimeStamp* outTime)
{
    if (inTime == nullptr || outTime == nullptr)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    return call(route, &Interface::DeviceTranslateTime, inDevice, inTime, outTime);
}

// ---------------------------------------------------------------------------------------------
// Device properties

extern "C" OSStatus AudioDeviceGetPropertyInfo(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                               AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                               Boolean* outWritable)
{
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    // Both answers are optional for the caller, never for the plug-in.
    UInt32 size = 0;
    Boolean writable = false;
    OSStatus status = call(route, &Interface::DeviceGetPropertyInfo, inDevice, inChannel, isInput,
                           inPropertyID, &size, &writable);
    if (status == kAudioHardwareNoError) {
        if (outSize != nullptr)
            *outSize = size;
        if (outWritable != nullptr)
            *outWritable = writable;
    }
    return status;
}

extern "C" OSStatus AudioDeviceGetProperty(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                           AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                           void* outPropertyData)
{
    if (ioPropertyDataSize == nullptr || outPropertyData == nullptr)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    return call(route, &Interface::DeviceGetProperty, inDevice, inChannel, isInput, inPropertyID,
                ioPropertyDataSize, outPropertyData);
}

extern "C" OSStatus AudioDeviceSetProperty(AudioDeviceID inDevice, const AudioTimeStamp* inWhen,
                                           UInt32 inChannel, Boolean isInput, AudioDevicePropertyID inPropertyID,
                                           UInt32 inPropertyDataSize, const void* inPropertyData)
{
    if (inPropertyData == nullptr && inPropertyDataSize != 0)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = deviceRoute(inDevice, route))
        return status;
    return call(route, &Interface::DeviceSetProperty, inDevice, inWhen, inChannel, isInput, inPropertyID,
                inPropertyDataSize, inPropertyData);
}

extern "C" OSStatus AudioDeviceAddPropertyListener(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                                   AudioDevicePropertyID inPropertyID,
                                                   AudioDevicePropertyListenerProc inProc, void* inClientData)
{
    if (inProc == nullptr)
        return kAudioHardwareIllegalOperationError;
    return loadedHAL().addDeviceListener(inDevice, inChannel, isInput, inPropertyID, inProc, inClientData);
}

extern "C" OSStatus AudioDeviceRemovePropertyListener(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                                      AudioDevicePropertyID inPropertyID,
                                                      AudioDevicePropertyListenerProc inProc)
{
    if (inProc == nullptr)
        return kAudioHardwareIllegalOperationError;
    return loadedHAL().removeDeviceListener(inDevice, inChannel, isInput, inPropertyID, inProc);
}

// ---------------------------------------------------------------------------------------------
// Stream properties

extern "C" OSStatus AudioStreamGetPropertyInfo(AudioStreamID inStream, UInt32 inChannel,
                                               AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                               Boolean* outWritable)
{
    HALRoute route;
    if (OSStatus status = streamRoute(inStream, route))
        return status;
    UInt32 size = 0;
    Boolean writable = false;
    OSStatus status = call(route, &Interface::StreamGetPropertyInfo, inStream, inChannel, inPropertyID,
                           &size, &writable);
    if (status == kAudioHardwareNoError) {
        if (outSize != nullptr)
            *outSize = size;
        if (outWritable != nullptr)
            *outWritable = writable;
    }
    return status;
}

extern "C" OSStatus AudioStreamGetProperty(AudioStreamID inStream, UInt32 inChannel,
                                           AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                           void* outPropertyData)
{
    if (ioPropertyDataSize == nullptr || outPropertyData == nullptr)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = streamRoute(inStream, route))
        return status;
    return call(route, &Interface::StreamGetProperty, inStream, inChannel, inPropertyID, ioPropertyDataSize,
                outPropertyData);
}

extern "C" OSStatus AudioStreamSetProperty(AudioStreamID inStream, const AudioTimeStamp* inWhen, UInt32 inChannel,
                                           AudioDevicePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                           const void* inPropertyData)
{
    if (inPropertyData == nullptr && inPropertyDataSize != 0)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (OSStatus status = streamRoute(inStream, route))
        return status;
    return call(route, &Interface::StreamSetProperty, inStream, inWhen, inChannel, inPropertyID,
                inPropertyDataSize, inPropertyData);
}

extern "C" OSStatus AudioStreamAddPropertyListener(AudioStreamID inStream, UInt32 inChannel,
                                                   AudioDevicePropertyID inPropertyID,
                                                   AudioStreamPropertyListenerProc inProc, void* inClientData)
{
    if (inProc == nullptr)
        return kAudioHardwareIllegalOperationError;
    return loadedHAL().addStreamListener(inStream, inChannel, inPropertyID, inProc, inClientData);
}

extern "C" OSStatus AudioStreamRemovePropertyListener(AudioStreamID inStream, UInt32 inChannel,
                                                      AudioDevicePropertyID inPropertyID,
                                                      AudioStreamPropertyListenerProc inProc)
{
    if (inProc == nullptr)
        return kAudioHardwareIllegalOperationError;
    return loadedHAL().removeStreamListener(inStream, inChannel, inPropertyID, inProc);
}

// ---------------------------------------------------------------------------------------------
// Objects

extern "C" void AudioObjectShow(AudioObjectID inObjectID)
{
    HALRoute route;
    if (!loadedHAL().route(inObjectID, route))
        return;
    if (route.kind == HALRoute::Kind::System) {
        UInt32 size = 0;
        loadedHAL().systemPropertyInfo(kAudioHardwarePropertyDevices, &size, nullptr);
        std::fprintf(stderr, "AudioObject %u: the system object, %u devices\n", inObjectID,
                     unsigned(size / sizeof(AudioDeviceID)));
        return;
    }
    if (auto show = plugInEntry(route.ref, route.interfaceVersion, &Interface::ObjectShow)) {
        show(route.ref, inObjectID);
        return;
    }
    const char* kind = route.kind == HALRoute::Kind::Device ? "device" :
        route.kind == HALRoute::Kind::Stream                 ? "stream" : "plug-in";
    std::fprintf(stderr, "AudioObject %u: a %s\n", inObjectID, kind);
}

extern "C" Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress)
{
    HALRoute route;
    if (inAddress == nullptr || !loadedHAL().route(inObjectID, route))
        return false;
    if (route.kind == HALRoute::Kind::System)
        return systemAddress(*inAddress) &&
            loadedHAL().systemPropertyInfo(inAddress->mSelector, nullptr, nullptr) == kAudioHardwareNoError;
    if (usesObjectCalls(route)) {
        auto has = plugInEntry(route.ref, route.interfaceVersion, &Interface::ObjectHasProperty);
        return has != nullptr && has(route.ref, inObjectID, inAddress);
    }
    UInt32 size = 0;
    Boolean writable = false;
    return mappedPropertyInfo(route, *inAddress, &size, &writable) == kAudioHardwareNoError;
}

extern "C" OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                                  const AudioObjectPropertyAddress* inAddress,
                                                  Boolean* outIsSettable)
{
    if (inAddress == nullptr || outIsSettable == nullptr)
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (!loadedHAL().route(inObjectID, route))
        return kAudioHardwareBadObjectError;
    if (route.kind == HALRoute::Kind::System) {
        if (!systemAddress(*inAddress))
            return kAudioHardwareUnknownPropertyError;
        return loadedHAL().systemPropertyInfo(inAddress->mSelector, nullptr, outIsSettable);
    }
    if (usesObjectCalls(route))
        return call(route, &Interface::ObjectIsPropertySettable, inObjectID, inAddress, outIsSettable);
    UInt32 size = 0;
    Boolean writable = false;
    OSStatus status = mappedPropertyInfo(route, *inAddress, &size, &writable);
    if (status == kAudioHardwareNoError)
        *outIsSettable = writable;
    return status;
}

extern "C" OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                                   const AudioObjectPropertyAddress* inAddress,
                                                   UInt32 inQualifierDataSize, const void* inQualifierData,
                                                   UInt32* outDataSize)
{
    if (inAddress == nullptr || outDataSize == nullptr || (inQualifierDataSize != 0 && inQualifierData == nullptr))
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (!loadedHAL().route(inObjectID, route))
        return kAudioHardwareBadObjectError;
    if (route.kind == HALRoute::Kind::System) {
        if (!systemAddress(*inAddress))
            return kAudioHardwareUnknownPropertyError;
        return loadedHAL().systemPropertyInfo(inAddress->mSelector, outDataSize, nullptr);
    }
    if (usesObjectCalls(route))
        return call(route, &Interface::ObjectGetPropertyDataSize, inObjectID, inAddress, inQualifierDataSize,
                    inQualifierData, outDataSize);
    UInt32 size = 0;
    Boolean writable = false;
    OSStatus status = mappedPropertyInfo(route, *inAddress, &size, &writable);
    if (status == kAudioHardwareNoError)
        *outDataSize = size;
    return status;
}

extern "C" OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                               UInt32 inQualifierDataSize, const void* inQualifierData,
                                               UInt32* ioDataSize, void* outData)
{
    if (inAddress == nullptr || ioDataSize == nullptr || outData == nullptr ||
        (inQualifierDataSize != 0 && inQualifierData == nullptr))
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (!loadedHAL().route(inObjectID, route))
        return kAudioHardwareBadObjectError;
    if (route.kind == HALRoute::Kind::System) {
        if (!systemAddress(*inAddress))
            return kAudioHardwareUnknownPropertyError;
        return loadedHAL().getSystemProperty(inAddress->mSelector, ioDataSize, outData);
    }
    if (usesObjectCalls(route))
        return call(route, &Interface::ObjectGetPropertyData, inObjectID, inAddress, inQualifierDataSize,
                    inQualifierData, ioDataSize, outData);
    if (route.kind == HALRoute::Kind::Device)
        return call(route, &Interface::DeviceGetProperty, inObjectID, inAddress->mElement, isInputScope(*inAddress),
                    inAddress->mSelector, ioDataSize, outData);
    if (route.kind == HALRoute::Kind::Stream)
        return call(route, &Interface::StreamGetProperty, inObjectID, inAddress->mElement, inAddress->mSelector,
                    ioDataSize, outData);
    return kAudioHardwareUnknownPropertyError;
}

extern "C" OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                               UInt32 inQualifierDataSize, const void* inQualifierData,
                                               UInt32 inDataSize, const void* inData)
{
    if (inAddress == nullptr || (inDataSize != 0 && inData == nullptr) ||
        (inQualifierDataSize != 0 && inQualifierData == nullptr))
        return kAudioHardwareIllegalOperationError;
    HALRoute route;
    if (!loadedHAL().route(inObjectID, route))
        return kAudioHardwareBadObjectError;
    if (route.kind == HALRoute::Kind::System) {
        if (!systemAddress(*inAddress))
            return kAudioHardwareUnknownPropertyError;
        return loadedHAL().setSystemProperty(inAddress->mSelector, inDataSize, inData);
    }
    if (usesObjectCalls(route))
        return call(route, &Interface::ObjectSetPropertyData, inObjectID, inAddress, inQualifierDataSize,
                    inQualifierData, inDataSize, inData);
    if (route.kind == HALRoute::Kind::Device)
        return call(route, &Interface::DeviceSetProperty, inObjectID, static_cast<const AudioTimeStamp*>(nullptr),
                    inAddress->mElement, isInputScope(*inAddress), inAddress->mSelector, inDataSize, inData);
    if (route.kind == HALRoute::Kind::Stream)
        return call(route, &Interface::StreamSetProperty, inObjectID, static_cast<const AudioTimeStamp*>(nullptr),
                    inAddress->mElement, inAddress->mSelector, inDataSize, inData);
    return kAudioHardwareUnknownPropertyError;
}

extern "C" OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                                   const AudioObjectPropertyAddress* inAddress,
                                                   AudioObjectPropertyListenerProc inListener, void* inClientData)
{
    if (inAddress == nullptr || inListener == nullptr)
        return kAudioHardwareIllegalOperationError;
    return loadedHAL().addObjectListener(inObjectID, *inAddress, inListener, inClientData);
}

extern "C" OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                                      const AudioObjectPropertyAddress* inAddress,
                                                      AudioObjectPropertyListenerProc inListener, void* inClientData)
{
    if (inAddress == nullptr || inListener == nullptr)
        return kAudioHardwareIllegalOperationError;
    return loadedHAL().removeObjectListener(inObjectID, *inAddress, inListener, inClientData);
}
