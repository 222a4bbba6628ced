#pragma once
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <sys/utsname.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "foundation/ZmCollection.h"

class DeviceManagerClient;
class OSXDeviceManager;
class ZmOSXDevice;

// The kinds of host process; the device consults them for a few policies.
enum EClientAppType : uint32_t {
    kClientControlPanel = 1,
    kClientAudioSetup = 2,
    kClientITunes = 3,
    kClientDigitalPerformer = 4,
    kClientOther = 5,
};

// What a device holds of its manager, which may go first: the manager cuts the link as it is
// destroyed and waits for the calls going through it, so a device that outlives its manager
// reaches nothing.
class DeviceManagerLink {
public:
    explicit DeviceManagerLink(OSXDeviceManager* manager) : m_manager(manager) {}
    // The manager, with the call counted until leave(); null once cut (then no leave()).
    OSXDeviceManager* enter();
    void leave();
    OSXDeviceManager* current() const;
    // From the manager's destructor, never from a call through the link.
    void cut();

private:
    mutable std::mutex m_lock;
    std::condition_variable m_idle;
    OSXDeviceManager* m_manager;
    int m_calls = 0;
};

// Finds the interfaces the kernel driver has attached, makes one ZmOSXDevice for each, follows
// them through hot-plug on the constructing thread's run loop, and reports arrivals and
// departures to one client. Also classifies the host process by its name.
class OSXDeviceManager {
public:
    OSXDeviceManager(AudioHardwarePlugInRef pluginRef, DeviceManagerClient& client);
    OSXDeviceManager(const OSXDeviceManager&) = delete;
    OSXDeviceManager& operator=(const OSXDeviceManager&) = delete;
    // Releases every device without reporting it, then the notifications.
    virtual ~OSXDeviceManager();

    long getCountDevices() const;
    // Borrowed: the device may be removed and destroyed (by its I/O thread) as soon as the
    // list's lock is dropped. Only for a caller that keeps the device alive otherwise.
    ZmOSXDevice* getDevice(long index) const;
    long getDeviceIndex(ZmOSXDevice* device) const;
    ZmOSXDevice* getDeviceFromService(io_service_t service) const;
    // The same with a reference taken under the lock, which the caller drops with
    // decReferences; null when there is no such device. Every other thread looks up these ways.
    ZmOSXDevice* getDeviceAndRetain(long index) const;
    ZmOSXDevice* getDeviceFromServiceAndRetain(io_service_t service) const;
    // For the devices this manager creates.
    std::shared_ptr<DeviceManagerLink> link() const { return m_link; }

    // Starts the removal of a device of ours (through its onRemoveEvent); others are ignored.
    void removeDevice(ZmOSXDevice* device);
    // Closes, drops and reports a device of ours; a device already gone is ignored, so
    // deviceRemoved goes out once however many paths report the same departure.
    void doRemoveDevice(ZmOSXDevice* device);

    void ScanServices();
    void ServicesPublished(io_iterator_t iterator);
    void ServicesTerminated(io_iterator_t iterator);
    void ServicePublished(io_service_t service) { notifyNewDevice(service); }
    void ServiceTerminated(io_service_t service);
    void notifyNewDevice(io_service_t service);
    static void ServicePublishCallback(void* refCon, io_iterator_t iterator);
    static void ServiceTerminateCallback(void* refCon, io_iterator_t iterator);

    bool IsControlPanelOrAudioSetup() const
    {
        return m_clientAppType == kClientControlPanel || m_clientAppType == kClientAudioSetup;
    }
    bool allowCurrentSROnly() const { return m_clientAppType == kClientDigitalPerformer; }
    uint32_t getClientAppType() const { return m_clientAppType; }

    // The kind of host a process name (as the process table holds it) stands for.
    static uint32_t classifyProcessName(const char* name);
    // The kernel driver's class name on a Darwin `release`, into `name` (room for 32 bytes).
    static void kernelClassName(const char* release, char* name);
    const char* getKernelClassName() const { return m_sClassName; }

    // Where construction learns the system release and the current run loop; tests replace
    // them to play another Darwin release or a thread without a run loop.
    static int (*s_uname)(struct utsname* name);
    static CFRunLoopRef (*s_currentRunLoop)();

private:
    void setUp();
    // Takes `device` out of `devices` with an extra reference for the caller; false when it
    // was not (or no longer) there.
    bool claimDevice(ZmOSXDevice* device);
    ZmOSXDevice* findDeviceFromService(io_service_t service) const; // list lock held

    AudioHardwarePlugInRef m_pluginRef;
    ZmCollection m_devices;
    DeviceManagerClient& m_client;
    CFRunLoopRef m_runLoop = nullptr;
    CFRunLoopSourceRef m_runLoopSource = nullptr;
    mach_port_t m_masterPort = MACH_PORT_NULL;
    IONotificationPortRef m_notifyPort = nullptr;
    io_iterator_t m_publishIterator = 0;
    io_iterator_t m_terminateIterator = 0;
    bool m_bNotificationsArmed = false;
    CFMutableDictionaryRef m_matching = nullptr;
    uint32_t m_clientAppType = kClientOther;
    char m_sClassName[32] = {};
    // The run-loop thread adds and removes devices, but a device's I/O thread may finish its
    // removal and HAL threads read the list: the list itself is guarded.
    mutable std::mutex m_devicesLock;
    std::shared_ptr<DeviceManagerLink> m_link;
};
