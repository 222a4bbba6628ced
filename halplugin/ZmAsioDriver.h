#pragma once
// The plug-in's one driver object: what the HAL holds as the plug-in, the owner of the device
// manager, and the router of every HAL call that names a device or a stream.
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "device/DeviceManagerClient.h"
#include "device/ZmOSXDevice.h"
#include "foundation/ZmCollection.h"

class OSXDeviceManager;

class ZmAsioDriver : public DeviceManagerClient {
public:
    explicit ZmAsioDriver(CFUUIDRef factoryID);
    ZmAsioDriver(const ZmAsioDriver&) = delete;
    ZmAsioDriver& operator=(const ZmAsioDriver&) = delete;
    ~ZmAsioDriver() override;

    // What the HAL holds: the address of the interface record.
    AudioHardwarePlugInRef pluginRef() { return &m_interface.table; }
    static ZmAsioDriver* fromRef(AudioHardwarePlugInRef ref);

    // The interface reference count: AddRef and Release come from any thread.
    ULONG addRef();
    ULONG release(); // deletes the driver at 0
    ULONG getReferenceCount() const { return m_interface.references.load(); }

    OSStatus onInitialize(AudioObjectID objectID);
    OSStatus onInitializeWithObjectID(AudioObjectID objectID) { return onInitialize(objectID); }
    OSStatus onTeardown();
    AudioObjectID getObjectID() const { return m_objectID; }

    // With a reference the caller drops (decReferences); null when no published device has it.
    ZmOSXDevice* getDeviceAndRetain(AudioDeviceID deviceID);
    ZmOSXDevice* getDeviceAndRetainFromStreamID(AudioStreamID streamID);
    long getPublishedCount();

    // IOProcs, start and stop.
    OSStatus onDeviceAddIOProc(AudioDeviceID deviceID, AudioDeviceIOProc proc, void* clientData);
    OSStatus onDeviceRemoveIOProc(AudioDeviceID deviceID, AudioDeviceIOProc proc);
    OSStatus onDeviceCreateIOProcID(AudioDeviceID deviceID, AudioDeviceIOProc proc, void* clientData,
                                    AudioDeviceIOProcID* outID);
    OSStatus onDeviceDestroyIOProcID(AudioDeviceID deviceID, AudioDeviceIOProcID id);
    OSStatus onDeviceStart(AudioDeviceID deviceID, AudioDeviceIOProc proc);
    OSStatus onDeviceStop(AudioDeviceID deviceID, AudioDeviceIOProc proc);

    // Not offered: the HAL learns time only from the IOProcs' time stamps.
    OSStatus onDeviceRead(AudioDeviceID, const AudioTimeStamp*, AudioBufferList*) { return kIOReturnError; }
    OSStatus onDeviceGetCurrentTime(AudioDeviceID, AudioTimeStamp*) { return kIOReturnError; }
    OSStatus onDeviceTranslateTime(AudioDeviceID, const AudioTimeStamp*, AudioTimeStamp*) { return kIOReturnError; }
    OSStatus onDeviceStartAtTime(AudioDeviceID, AudioDeviceIOProc, AudioTimeStamp*, UInt32) { return kIOReturnError; }
    OSStatus onDeviceGetNearestStartTime(AudioDeviceID, AudioTimeStamp*, UInt32) { return kIOReturnError; }
    void onObjectShow(AudioObjectID) {}

    // Properties.
    OSStatus onDeviceGetPropertyInfo(AudioDeviceID deviceID, UInt32 channel, Boolean isInput,
                                     AudioDevicePropertyID selector, UInt32* outSize, Boolean* outWritable);
    OSStatus onDeviceGetProperty(AudioDeviceID deviceID, UInt32 channel, Boolean isInput,
                                 AudioDevicePropertyID selector, UInt32* ioSize, void* outData);
    OSStatus onDeviceSetProperty(AudioDeviceID deviceID, const AudioTimeStamp* when, UInt32 channel,
                                 Boolean isInput, AudioDevicePropertyID selector, UInt32 size,
                                 const void* data);
    OSStatus onStreamGetPropertyInfo(AudioStreamID streamID, UInt32 channel, AudioDevicePropertyID selector,
                                     UInt32* outSize, Boolean* outWritable);
    OSStatus onStreamGetProperty(AudioStreamID streamID, UInt32 channel, AudioDevicePropertyID selector,
                                 UInt32* ioSize, void* outData);
    OSStatus onStreamSetProperty(AudioStreamID streamID, const AudioTimeStamp* when, UInt32 channel,
                                 AudioDevicePropertyID selector, UInt32 size, const void* data);
    Boolean onObjectHasProperty(AudioObjectID objectID, const AudioObjectPropertyAddress* address);
    OSStatus onObjectIsPropertySettable(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                        Boolean* outSettable);
    OSStatus onObjectGetPropertyDataSize(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                         UInt32 qualifierSize, const void* qualifier, UInt32* outSize);
    OSStatus onObjectGetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32* ioSize,
                                     void* outData);
    OSStatus onObjectSetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32 size,
                                     const void* data);

    static void copyStringToTarget(const char* text, char* target, unsigned long& size);
    static void tracerequest(const char*, unsigned long) {}

    // DeviceManagerClient.
    void deviceRemoved(ZmOSXDevice* device) override;
    void deviceAdded(ZmOSXDevice* device) override;
    void onFramesizeChanged(ZmOSXDevice*) override {}
    void onLatencyChanged(ZmOSXDevice*) override {}
    void onFormatChanged(ZmOSXDevice*) override {}
    void onFrequencyChanged(ZmOSXDevice* device) override { onFormatChanged(device); }
    void onVolumeChanged(ZmOSXDevice* device) override;
    void onMuteChanged(ZmOSXDevice* device) override;
    void onMonitorChanged(ZmOSXDevice* device) override;
    void onDataSourceChanged(ZmOSXDevice* device) override;
    void onDeviceStopped(ZmOSXDevice* device) override;
    void onOtherClientAttached(ZmOSXDevice*, long, long) override {}
    void onOtherClientDetached(ZmOSXDevice*, long) override {}
    void onVK_StateChange(ZmOSXDevice*, VK_StateChange*) override {}

private:
    // The record the HAL holds: the table pointer, then the interface reference count, then the
    // way back to the driver.
    struct InterfaceRecord {
        AudioHardwarePlugInInterface* table;
        std::atomic<ULONG> references;
        ZmAsioDriver* owner;
    };
    static_assert(offsetof(InterfaceRecord, table) == 0);
    static_assert(offsetof(InterfaceRecord, references) == sizeof(void*));

    // The property table, answered for one device and direction.
    OSStatus getPropertyInfo(ZmOSXDevice& device, UInt32 channel, bool isInput,
                             AudioDevicePropertyID selector, UInt32* outSize, Boolean* outWritable);
    OSStatus getProperty(ZmOSXDevice& device, UInt32 channel, bool isInput, AudioDevicePropertyID selector,
                         UInt32* ioSize, void* outData);
    OSStatus setProperty(ZmOSXDevice& device, UInt32 channel, bool isInput, AudioDevicePropertyID selector,
                         UInt32 size, const void* data);
    // Resolves an object call's target: the device, its ID and the direction of the scope.
    OSStatus resolveObject(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                           UInt32 qualifierSize, const void* qualifier, ZmOSXDevice*& device,
                           bool& isInput);
    // Runs `call` on the device with that ID under a reference; kIOReturnNoDevice when none.
    template <typename Call>
    OSStatus withDevice(AudioDeviceID deviceID, Call&& call)
    {
        ZmOSXDevice* device = getDeviceAndRetain(deviceID);
        if (device == nullptr)
            return kIOReturnNoDevice;
        const OSStatus status = call(*device);
        device->decReferences();
        return status;
    }
    void notifyBothSections(ZmOSXDevice* device, AudioDevicePropertyID property);

    ZmCollection devices;                 // the published devices, one reference each
    std::mutex m_devicesLock;             // guards `devices` against hot-plug on other threads
    InterfaceRecord m_interface;
    CFUUIDRef factoryID;                  // not retained
    OSXDeviceManager* deviceManager = nullptr;
    AudioObjectID m_objectID = 0;
    std::mutex m_lifeLock;                // serialises initialisation and teardown
};

// The process's interface reference while a driver exists, else null.
AudioHardwarePlugInRef getplugin();
