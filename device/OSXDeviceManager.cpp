#include "device/OSXDeviceManager.h"

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/DeviceManagerClient.h"
#include "device/ProcessName.h"
#include "device/ZmOSXDevice.h"

namespace {

// The class name as Darwin 8 registers it; later releases drop the suffix.
constexpr char kTigerClassName[] = "ZmKernelDeviceTARSELTiger";
constexpr size_t kTigerSuffixLength = 5;
// Lets an interface finish appearing before it is opened.
constexpr useconds_t kPublishPause = 100000;

CFRunLoopRef currentRunLoop()
{
    return CFRunLoopGetCurrent();
}

// Process names are 8-bit; only ASCII letters fold.
void upperCase(char* text)
{
    for (; *text != '\0'; ++text)
        if (*text >= 'a' && *text <= 'z')
            *text = char(*text - 'a' + 'A');
}

} // namespace

OSXDeviceManager* DeviceManagerLink::enter()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_manager != nullptr)
        ++m_calls;
    return m_manager;
}

void DeviceManagerLink::leave()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (--m_calls == 0)
        m_idle.notify_all();
}

OSXDeviceManager* DeviceManagerLink::current() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_manager;
}

void DeviceManagerLink::cut()
{
    std::unique_lock<std::mutex> guard(m_lock);
    m_manager = nullptr;
    m_idle.wait(guard, [this] { return m_calls == 0; });
}

int (*OSXDeviceManager::s_uname)(struct utsname*) = ::uname;
CFRunLoopRef (*OSXDeviceManager::s_currentRunLoop)() = currentRunLoop;

uint32_t OSXDeviceManager::classifyProcessName(const char* name)
{
    uint32_t type = kClientOther;
    if (name == nullptr)
        return type;
    std::string upper(name);
    upperCase(upper.data());
    // Later tests win: 2, then 4, then 3.
    if (upper == "AUDIO MIDI SETUP")
        type = kClientAudioSetup;
    if (upper.find("DIGITAL PERFORME") != std::string::npos)
        type = kClientDigitalPerformer;
    if (upper.find("ITUNES") != std::string::npos)
        type = kClientITunes;
    return type;
}

void OSXDeviceManager::kernelClassName(const char* release, char* name)
{
    std::strcpy(name, kTigerClassName);
    if (release == nullptr || release[0] != '8')
        name[std::strlen(name) - kTigerSuffixLength] = '\0';
}

OSXDeviceManager::OSXDeviceManager(AudioHardwarePlugInRef pluginRef, DeviceManagerClient& client)
    : m_pluginRef(pluginRef), m_client(client), m_link(std::make_shared<DeviceManagerLink>(this))
{
    char name[17];
    if (GetProcessNameFromPID(int(getpid()), name))
        m_clientAppType = classifyProcessName(name);

    m_runLoop = s_currentRunLoop();
    if (m_runLoop != nullptr)
        CFRetain(m_runLoop);

    struct utsname system {};
    const bool known = s_uname(&system) == 0;
    kernelClassName(known ? system.release : nullptr, m_sClassName);
    m_matching = IOServiceMatching(m_sClassName);

    setUp();
    ScanServices();
}

// Each failing step leaves the manager as far as it got; ScanServices then does what it can.
void OSXDeviceManager::setUp()
{
    if (IOMasterPort(MACH_PORT_NULL, &m_masterPort) != kIOReturnSuccess) {
        m_masterPort = MACH_PORT_NULL;
        return;
    }
    if (m_runLoop == nullptr || m_matching == nullptr)
        return;
    m_notifyPort = IONotificationPortCreate(m_masterPort);
    if (m_notifyPort == nullptr)
        return;
    m_runLoopSource = IONotificationPortGetRunLoopSource(m_notifyPort);
    if (m_runLoopSource == nullptr)
        return;
    CFRunLoopAddSource(m_runLoop, m_runLoopSource, kCFRunLoopDefaultMode);

    // Each installation consumes a reference of the dictionary; we keep ours.
    CFRetain(m_matching);
    if (IOServiceAddMatchingNotification(m_notifyPort, kIOPublishNotification, m_matching, ServicePublishCallback,
                                         this, &m_publishIterator) != kIOReturnSuccess)
        return;
    CFRetain(m_matching);
    if (IOServiceAddMatchingNotification(m_notifyPort, kIOTerminatedNotification, m_matching,
                                         ServiceTerminateCallback, this, &m_terminateIterator) != kIOReturnSuccess)
        return;
    m_bNotificationsArmed = true;
}

OSXDeviceManager::~OSXDeviceManager()
{
    // Devices held elsewhere outlive us: from here on they do not reach us, and a removal
    // that one of their I/O threads is finishing ends before we go.
    m_link->cut();
    // The devices go quietly; they close themselves as their last reference drops, outside the
    // lock, since closing waits for their I/O threads.
    std::vector<ZmOSXDevice*> leaving;
    {
        std::lock_guard<std::mutex> guard(m_devicesLock);
        for (long i = 0; i < m_devices.count(); ++i) {
            auto* device = static_cast<ZmOSXDevice*>(m_devices.atPos(i));
            device->incReferences();
            leaving.push_back(device);
        }
        m_devices.removeAll();
    }
    for (ZmOSXDevice* device : leaving)
        device->decReferences();
    if (m_runLoop != nullptr && m_runLoopSource != nullptr)
        CFRunLoopRemoveSource(m_runLoop, m_runLoopSource, kCFRunLoopDefaultMode);
    if (m_publishIterator != 0)
        IOObjectRelease(m_publishIterator);
    if (m_terminateIterator != 0)
        IOObjectRelease(m_terminateIterator);
    if (m_matching != nullptr)
        CFRelease(m_matching);
    // The source belongs to the port: destroying the port invalidates and releases it.
    if (m_notifyPort != nullptr)
        IONotificationPortDestroy(m_notifyPort);
    m_runLoopSource = nullptr;
    m_notifyPort = nullptr;
    if (m_runLoop != nullptr)
        CFRelease(m_runLoop);
}

long OSXDeviceManager::getCountDevices() const
{
    std::lock_guard<std::mutex> guard(m_devicesLock);
    return m_devices.count();
}

ZmOSXDevice* OSXDeviceManager::getDevice(long index) const
{
    std::lock_guard<std::mutex> guard(m_devicesLock);
    if (index < 0 || index >= m_devices.count())
        return nullptr;
    return static_cast<ZmOSXDevice*>(m_devices.atPos(index));
}

long OSXDeviceManager::getDeviceIndex(ZmOSXDevice* device) const
{
    std::lock_guard<std::mutex> guard(m_devicesLock);
    // By identity: ZmObject equality says nothing about which interface it is.
    for (long i = 0; i < m_devices.count(); ++i)
        if (m_devices.atPos(i) == device)
            return i;
    return -1;
}

ZmOSXDevice* OSXDeviceManager::findDeviceFromService(io_service_t service) const
{
    if (service == 0)
        return nullptr;
    for (long i = 0; i < m_devices.count(); ++i) {
        auto* device = static_cast<ZmOSXDevice*>(m_devices.atPos(i));
        if (device->ioGetService() == service)
            return device;
    }
    return nullptr;
}

ZmOSXDevice* OSXDeviceManager::getDeviceFromService(io_service_t service) const
{
    std::lock_guard<std::mutex> guard(m_devicesLock);
    return findDeviceFromService(service);
}

ZmOSXDevice* OSXDeviceManager::getDeviceAndRetain(long index) const
{
    std::lock_guard<std::mutex> guard(m_devicesLock);
    if (index < 0 || index >= m_devices.count())
        return nullptr;
    auto* device = static_cast<ZmOSXDevice*>(m_devices.atPos(index));
    device->incReferences();
    return device;
}

ZmOSXDevice* OSXDeviceManager::getDeviceFromServiceAndRetain(io_service_t service) const
{
    std::lock_guard<std::mutex> guard(m_devicesLock);
    ZmOSXDevice* device = findDeviceFromService(service);
    if (device != nullptr)
        device->incReferences();
    return device;
}

void OSXDeviceManager::removeDevice(ZmOSXDevice* device)
{
    {
        std::lock_guard<std::mutex> guard(m_devicesLock);
        if (device == nullptr || !m_devices.findSame(device))
            return;
        // onRemoveEvent may finish the removal at once; the device must outlive the call.
        device->incReferences();
    }
    device->onRemoveEvent();
    device->decReferences();
}

bool OSXDeviceManager::claimDevice(ZmOSXDevice* device)
{
    std::lock_guard<std::mutex> guard(m_devicesLock);
    if (device == nullptr || !m_devices.findSame(device))
        return false;
    device->incReferences();
    m_devices.remove(device);
    return true;
}

void OSXDeviceManager::doRemoveDevice(ZmOSXDevice* device)
{
    // Claimed before closing, so that a second report racing in from another thread (the
    // device's I/O thread ends the removal it was asked for) finds nothing to do.
    if (!claimDevice(device))
        return;
    device->closeDevice(false);
    m_client.deviceRemoved(device);
    device->decReferences();
}

void OSXDeviceManager::ScanServices()
{
    if (m_masterPort == MACH_PORT_NULL)
        return;
    if (m_bNotificationsArmed) {
        // Draining both iterators reports what is there and arms the notifications.
        m_bNotificationsArmed = false;
        ServicesPublished(m_publishIterator);
        ServicesTerminated(m_terminateIterator);
        return;
    }
    if (m_runLoop != nullptr || m_matching == nullptr)
        return; // a run loop whose notifications failed finds nothing
    io_iterator_t iterator = 0;
    CFRetain(m_matching);
    if (IOServiceGetMatchingServices(m_masterPort, m_matching, &iterator) != kIOReturnSuccess)
        return;
    ServicesPublished(iterator);
    notifyNewDevice(0);
    IOObjectRelease(iterator);
}

void OSXDeviceManager::ServicesPublished(io_iterator_t iterator)
{
    usleep(kPublishPause);
    while (io_service_t service = IOIteratorNext(iterator)) {
        notifyNewDevice(service);
        IOObjectRelease(service);
    }
}

void OSXDeviceManager::ServicesTerminated(io_iterator_t iterator)
{
    while (io_service_t service = IOIteratorNext(iterator)) {
        ServiceTerminated(service);
        IOObjectRelease(service);
    }
}

void OSXDeviceManager::ServiceTerminated(io_service_t service)
{
    // The device's I/O thread may be finishing its removal meanwhile.
    ZmOSXDevice* device = getDeviceFromServiceAndRetain(service);
    if (device == nullptr)
        return;
    removeDevice(device);
    device->decReferences();
}

void OSXDeviceManager::notifyNewDevice(io_service_t service)
{
    auto* device = new ZmOSXDevice(m_pluginRef, &m_client, service, this);
    if (!device->init()) {
        delete device;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_devicesLock);
        m_devices.add(device);
    }
    // Without a notification port (the one-shot scan) this fails and the device hears no events.
    IOServiceAddInterestNotification(m_notifyPort, service, kIOGeneralInterest, ZmOSXDevice::ServiceInterestCallback,
                                     device, device->interestNotification());
    m_client.deviceAdded(device);
}

void OSXDeviceManager::ServicePublishCallback(void* refCon, io_iterator_t iterator)
{
    if (refCon != nullptr)
        static_cast<OSXDeviceManager*>(refCon)->ServicesPublished(iterator);
}

void OSXDeviceManager::ServiceTerminateCallback(void* refCon, io_iterator_t iterator)
{
    if (refCon != nullptr)
        static_cast<OSXDeviceManager*>(refCon)->ServicesTerminated(iterator);
}
