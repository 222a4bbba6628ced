// The plug-in's face to the HAL: the factory, the function table in its slot order and the
// entries behind it, each a trampoline onto the driver object.
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <new>

#include "halplugin/ZmAsioDriver.h"

namespace {

std::atomic<ZmAsioDriver*> g_driver{nullptr};

ZmAsioDriver* driver(AudioHardwarePlugInRef self)
{
    return ZmAsioDriver::fromRef(self);
}

HRESULT AudioDriverQueryInterface(void* self, REFIID iid, LPVOID* out)
{
    CFUUIDRef requested = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, iid);
    const CFUUIDRef served[] = {
        kAudioHardwarePlugInInterface4ID, kAudioHardwarePlugInInterface3ID, kAudioHardwarePlugInInterface2ID,
        kAudioHardwarePlugInInterfaceID,  kAudioHardwarePlugInTypeID,       IUnknownUUID,
    };
    bool found = false;
    for (CFUUIDRef uuid : served)
        if (requested != nullptr && CFEqual(requested, uuid)) {
            found = true;
            break;
        }
    if (requested != nullptr)
        CFRelease(requested);
    if (!found) {
        if (out != nullptr)
            *out = nullptr;
        return E_NOINTERFACE;
    }
    auto ref = static_cast<AudioHardwarePlugInRef>(self);
    (*ref)->AddRef(self);
    if (out != nullptr)
        *out = self;
    return S_OK;
}

ULONG AudioDriverAddRef(void* self)
{
    return driver(static_cast<AudioHardwarePlugInRef>(self))->addRef();
}

ULONG AudioDriverRelease(void* self)
{
    ZmAsioDriver* d = driver(static_cast<AudioHardwarePlugInRef>(self));
    ZmAsioDriver* expected = d;
    const ULONG count = d->release();
    if (count == 0)
        g_driver.compare_exchange_strong(expected, nullptr);
    return count;
}

OSStatus AudioDriverInitialize(AudioHardwarePlugInRef self)
{
    return driver(self)->onInitialize(0);
}

OSStatus AudioDriverInitializeWithObjectID(AudioHardwarePlugInRef self, AudioObjectID objectID)
{
    return driver(self)->onInitializeWithObjectID(objectID);
}

OSStatus AudioDriverTeardown(AudioHardwarePlugInRef self)
{
    return driver(self)->onTeardown();
}

OSStatus AudioDriverDeviceAddIOProc(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc,
                                    void* clientData)
{
    return driver(self)->onDeviceAddIOProc(device, proc, clientData);
}

OSStatus AudioDriverDeviceRemoveIOProc(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc)
{
    return driver(self)->onDeviceRemoveIOProc(device, proc);
}

OSStatus AudioDriverDeviceStart(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc)
{
    return driver(self)->onDeviceStart(device, proc);
}

OSStatus AudioDriverDeviceStop(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc)
{
    return driver(self)->onDeviceStop(device, proc);
}

OSStatus AudioDriverDeviceRead(AudioHardwarePlugInRef self, AudioDeviceID device, const AudioTimeStamp* start,
                               AudioBufferList* data)
{
    return driver(self)->onDeviceRead(device, start, data);
}

OSStatus AudioDriverDeviceGetCurrentTime(AudioHardwarePlugInRef self, AudioDeviceID device, AudioTimeStamp* time)
{
    return driver(self)->onDeviceGetCurrentTime(device, time);
}

OSStatus AudioDriverDeviceTranslateTime(AudioHardwarePlugInRef self, AudioDeviceID device, const AudioTimeStamp* in,
                                        AudioTimeStamp* out)
{
    return driver(self)->onDeviceTranslateTime(device, in, out);
}

OSStatus AudioDriverDeviceGetPropertyInfo(AudioHardwarePlugInRef self, AudioDeviceID device, UInt32 channel,
                                          Boolean isInput, AudioDevicePropertyID property, UInt32* outSize,
                                          Boolean* outWritable)
{
    return driver(self)->onDeviceGetPropertyInfo(device, channel, isInput, property, outSize, outWritable);
}

OSStatus AudioDriverDeviceGetProperty(AudioHardwarePlugInRef self, AudioDeviceID device, UInt32 channel,
                                      Boolean isInput, AudioDevicePropertyID property, UInt32* ioSize, void* outData)
{
    return driver(self)->onDeviceGetProperty(device, channel, isInput, property, ioSize, outData);
}

OSStatus AudioDriverDeviceSetProperty(AudioHardwarePlugInRef self, AudioDeviceID device, const AudioTimeStamp* when,
                                      UInt32 channel, Boolean isInput, AudioDevicePropertyID property, UInt32 size,
                                      const void* data)
{
    return driver(self)->onDeviceSetProperty(device, when, channel, isInput, property, size, data);
}

OSStatus AudioDriverStreamGetPropertyInfo(AudioHardwarePlugInRef self, AudioStreamID stream, UInt32 channel,
                                          AudioDevicePropertyID property, UInt32* outSize, Boolean* outWritable)
{
    return driver(self)->onStreamGetPropertyInfo(stream, channel, property, outSize, outWritable);
}

OSStatus AudioDriverStreamGetProperty(AudioHardwarePlugInRef self, AudioStreamID stream, UInt32 channel,
                                      AudioDevicePropertyID property, UInt32* ioSize, void* outData)
{
    return driver(self)->onStreamGetProperty(stream, channel, property, ioSize, outData);
}

OSStatus AudioDriverStreamSetProperty(AudioHardwarePlugInRef self, AudioStreamID stream, const AudioTimeStamp* when,
                                      UInt32 channel, AudioDevicePropertyID property, UInt32 size, const void* data)
{
    return driver(self)->onStreamSetProperty(stream, when, channel, property, size, data);
}

OSStatus AudioDriverDeviceStartAtTime(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc,
                                      AudioTimeStamp* time, UInt32 flags)
{
    return driver(self)->onDeviceStartAtTime(device, proc, time, flags);
}

OSStatus AudioDriverDeviceGetNearestStartTime(AudioHardwarePlugInRef self, AudioDeviceID device,
                                              AudioTimeStamp* time, UInt32 flags)
{
    return driver(self)->onDeviceGetNearestStartTime(device, time, flags);
}

void AudioDriverObjectShow(AudioHardwarePlugInRef self, AudioObjectID object)
{
    driver(self)->onObjectShow(object);
}

Boolean AudioDriverObjectHasProperty(AudioHardwarePlugInRef self, AudioObjectID object,
                                     const AudioObjectPropertyAddress* address)
{
    return driver(self)->onObjectHasProperty(object, address);
}

OSStatus AudioDriverObjectIsPropertySettable(AudioHardwarePlugInRef self, AudioObjectID object,
                                             const AudioObjectPropertyAddress* address, Boolean* outSettable)
{
    return driver(self)->onObjectIsPropertySettable(object, address, outSettable);
}

OSStatus AudioDriverObjectGetPropertyDataSize(AudioHardwarePlugInRef self, AudioObjectID object,
                                              const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                              const void* qualifier, UInt32* outSize)
{
    return driver(self)->onObjectGetPropertyDataSize(object, address, qualifierSize, qualifier, outSize);
}

OSStatus AudioDriverObjectGetPropertyData(AudioHardwarePlugInRef self, AudioObjectID object,
                                          const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                          const void* qualifier, UInt32* ioSize, void* outData)
{
    return driver(self)->onObjectGetPropertyData(object, address, qualifierSize, qualifier, ioSize, outData);
}

OSStatus AudioDriverObjectSetPropertyData(AudioHardwarePlugInRef self, AudioObjectID object,
                                          const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                          const void* qualifier, UInt32 size, const void* data)
{
    return driver(self)->onObjectSetPropertyData(object, address, qualifierSize, qualifier, size, data);
}

OSStatus AudioDriverDeviceCreateIOProcID(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc,
                                         void* clientData, AudioDeviceIOProcID* outID)
{
    return driver(self)->onDeviceCreateIOProcID(device, proc, clientData, outID);
}

OSStatus AudioDriverDeviceDestroyIOProcID(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProcID id)
{
    return driver(self)->onDeviceDestroyIOProcID(device, id);
}

} // namespace

// Every interface version is served by this one table.
extern const AudioHardwarePlugInInterface kAudioDriverInterface = {
    nullptr,
    AudioDriverQueryInterface,
    AudioDriverAddRef,
    AudioDriverRelease,
    AudioDriverInitialize,
    AudioDriverTeardown,
    AudioDriverDeviceAddIOProc,
    AudioDriverDeviceRemoveIOProc,
    AudioDriverDeviceStart,
    AudioDriverDeviceStop,
    AudioDriverDeviceRead,
    AudioDriverDeviceGetCurrentTime,
    AudioDriverDeviceTranslateTime,
    AudioDriverDeviceGetPropertyInfo,
    AudioDriverDeviceGetProperty,
    AudioDriverDeviceSetProperty,
    AudioDriverStreamGetPropertyInfo,
    AudioDriverStreamGetProperty,
    AudioDriverStreamSetProperty,
    AudioDriverDeviceStartAtTime,
    AudioDriverDeviceGetNearestStartTime,
    AudioDriverInitializeWithObjectID,
    AudioDriverObjectShow,
    AudioDriverObjectHasProperty,
    AudioDriverObjectIsPropertySettable,
    AudioDriverObjectGetPropertyDataSize,
    AudioDriverObjectGetPropertyData,
    AudioDriverObjectSetPropertyData,
    AudioDriverDeviceCreateIOProcID,
    AudioDriverDeviceDestroyIOProcID,
};

extern "C" __attribute__((visibility("default"))) void* CreateAudio(CFAllocatorRef, CFUUIDRef requestedTypeUUID)
{
    if (requestedTypeUUID == nullptr || !CFEqual(requestedTypeUUID, kAudioHardwarePlugInTypeID))
        return nullptr;
    auto* d = new (std::nothrow) ZmAsioDriver(requestedTypeUUID);
    if (d == nullptr)
        return nullptr;
    g_driver.store(d);
    return d->pluginRef();
}
