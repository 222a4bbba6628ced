#include "halplugin/ZmAsioDriver.h"

#include <unistd.h>

#include <atomic>
#include <vector>

#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"

namespace {

std::atomic<AudioHardwarePlugInRef> g_plugin{nullptr};

OSStatus MyAudioHardwarePropertyListenerProc(AudioHardwarePropertyID, void*)
{
    return 0;
}

constexpr AudioHardwarePropertyID kWatchedProperties[] = {
    kAudioHardwarePropertyDefaultInputDevice,
    kAudioHardwarePropertyDefaultOutputDevice,
    kAudioHardwarePropertyDefaultSystemOutputDevice,
};

OSStatus fromResult(bool ok)
{
    return ok ? OSStatus(0) : OSStatus(kIOReturnError);
}

} // namespace

extern const AudioHardwarePlugInInterface kAudioDriverInterface;

AudioHardwarePlugInRef getplugin()
{
    return g_plugin.load(std::memory_order_acquire);
}

ZmAsioDriver::ZmAsioDriver(CFUUIDRef factory)
    : m_interface{const_cast<AudioHardwarePlugInInterface*>(&kAudioDriverInterface), 1, this}, factoryID(factory)
{
    if (factoryID != nullptr)
        CFPlugInAddInstanceForFactory(factoryID);
    g_plugin.store(pluginRef(), std::memory_order_release);
}

ZmAsioDriver::~ZmAsioDriver()
{
    AudioHardwarePlugInRef self = pluginRef();
    g_plugin.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    if (factoryID != nullptr)
        CFPlugInRemoveInstanceForFactory(factoryID);
    onTeardown();
}

ZmAsioDriver* ZmAsioDriver::fromRef(AudioHardwarePlugInRef ref)
{
    return ref == nullptr ? nullptr : reinterpret_cast<InterfaceRecord*>(ref)->owner;
}

ULONG ZmAsioDriver::addRef()
{
    return m_interface.references.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG ZmAsioDriver::release()
{
    // A Release beyond the last leaves the count at 0 instead of wrapping round.
    ULONG expected = m_interface.references.load(std::memory_order_relaxed);
    while (expected != 0 &&
           !m_interface.references.compare_exchange_weak(expected, expected - 1, std::memory_order_acq_rel))
        ;
    if (expected == 0)
        return 0;
    if (expected == 1) {
        delete this;
        return 0;
    }
    return expected - 1;
}

// ---------------------------------------------------------------------------------------------
// Life

OSStatus ZmAsioDriver::onInitialize(AudioObjectID objectID)
{
    std::lock_guard life(m_lifeLock);
    m_objectID = objectID;
    if (deviceManager == nullptr)
        deviceManager = new OSXDeviceManager(pluginRef(), *this);
    for (AudioHardwarePropertyID property : kWatchedProperties)
        AudioHardwareAddPropertyListener(property, MyAudioHardwarePropertyListenerProc, this);
    return 0;
}

OSStatus ZmAsioDriver::onTeardown()
{
    std::lock_guard life(m_lifeLock);
    if (deviceManager == nullptr)
        return 0;
    for (AudioHardwarePropertyID property : kWatchedProperties)
        AudioHardwareRemovePropertyListener(property, MyAudioHardwarePropertyListenerProc);
    usleep(1000000);
    // Every IOProc stops before Teardown returns, even on a device that a HAL call still holds
    // and that would otherwise outlive the manager with its I/O thread running.
    std::vector<ZmOSXDevice*> published;
    {
        std::lock_guard guard(m_devicesLock);
        for (long i = 0; i < devices.count(); ++i) {
            auto* device = static_cast<ZmOSXDevice*>(devices.atPos(i));
            device->incReferences();
            published.push_back(device);
        }
        devices.removeAll();
    }
    for (ZmOSXDevice* device : published) {
        device->closeDevice(true);
        device->decReferences();
    }
    delete deviceManager;
    deviceManager = nullptr;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Publishing

void ZmAsioDriver::deviceAdded(ZmOSXDevice* device)
{
    if (device == nullptr)
        return;
    AudioHardwarePlugInRef ref = pluginRef();
    AudioDeviceID deviceID = 0;
    AudioStreamID inputStreamID = 0;
    AudioStreamID outputStreamID = 0;
    if (AudioHardwareClaimAudioDeviceID(ref, &deviceID) != 0 ||
        AudioHardwareClaimAudioStreamID(ref, deviceID, &inputStreamID) != 0 ||
        AudioHardwareClaimAudioStreamID(ref, deviceID, &outputStreamID) != 0)
        return;
    {
        std::lock_guard guard(m_devicesLock);
        device->setAudioIDs(deviceID, inputStreamID, outputStreamID);
        devices.add(device);
    }
    // The HAL may call back into the driver from these calls: no lock of ours is held.
    if (AudioHardwareDevicesCreated(ref, 1, &deviceID) != 0) {
        std::lock_guard guard(m_devicesLock);
        devices.remove(device);
        return;
    }
    const AudioStreamID streams[2] = {inputStreamID, outputStreamID};
    AudioHardwareStreamsCreated(ref, deviceID, 2, streams);
}

void ZmAsioDriver::deviceRemoved(ZmOSXDevice* device)
{
    if (device == nullptr)
        return;
    AudioDeviceID deviceID;
    {
        std::lock_guard guard(m_devicesLock);
        deviceID = device->getAudioDeviceID();
        device->setAudioIDs(0, 0, 0);
    }
    AudioHardwareDevicesDied(pluginRef(), 1, &deviceID);
    // The manager still holds its reference, so the device outlives this removal.
    std::lock_guard guard(m_devicesLock);
    devices.remove(device);
}

ZmOSXDevice* ZmAsioDriver::getDeviceAndRetain(AudioDeviceID deviceID)
{
    std::lock_guard guard(m_devicesLock);
    for (long i = 0; i < devices.count(); ++i) {
        auto* device = static_cast<ZmOSXDevice*>(devices.atPos(i));
        if (device->getAudioDeviceID() == deviceID) {
            device->incReferences();
            return device;
        }
    }
    return nullptr;
}

ZmOSXDevice* ZmAsioDriver::getDeviceAndRetainFromStreamID(AudioStreamID streamID)
{
    std::lock_guard guard(m_devicesLock);
    for (long i = 0; i < devices.count(); ++i) {
        auto* device = static_cast<ZmOSXDevice*>(devices.atPos(i));
        if (device->getInAudioStreamID() == streamID || device->getOutAudioStreamID() == streamID) {
            device->incReferences();
            return device;
        }
    }
    return nullptr;
}

long ZmAsioDriver::getPublishedCount()
{
    std::lock_guard guard(m_devicesLock);
    return devices.count();
}

// ---------------------------------------------------------------------------------------------
// IOProcs

OSStatus ZmAsioDriver::onDeviceAddIOProc(AudioDeviceID deviceID, AudioDeviceIOProc proc, void* clientData)
{
    return withDevice(deviceID, [&](ZmOSXDevice& d) { return fromResult(d.addIOProc(proc, clientData)); });
}

OSStatus ZmAsioDriver::onDeviceRemoveIOProc(AudioDeviceID deviceID, AudioDeviceIOProc proc)
{
    return withDevice(deviceID, [&](ZmOSXDevice& d) { return fromResult(d.removeIOProc(proc)); });
}

OSStatus ZmAsioDriver::onDeviceCreateIOProcID(AudioDeviceID deviceID, AudioDeviceIOProc proc, void* clientData,
                                              AudioDeviceIOProcID* outID)
{
    if (outID != nullptr)
        *outID = proc;
    return withDevice(deviceID, [&](ZmOSXDevice& d) { return fromResult(d.addIOProc(proc, clientData)); });
}

OSStatus ZmAsioDriver::onDeviceDestroyIOProcID(AudioDeviceID deviceID, AudioDeviceIOProcID id)
{
    return withDevice(deviceID, [&](ZmOSXDevice& d) { return fromResult(d.removeIOProc(id)); });
}

OSStatus ZmAsioDriver::onDeviceStart(AudioDeviceID deviceID, AudioDeviceIOProc proc)
{
    return withDevice(deviceID, [&](ZmOSXDevice& d) { return fromResult(d.onDeviceStart(proc)); });
}

OSStatus ZmAsioDriver::onDeviceStop(AudioDeviceID deviceID, AudioDeviceIOProc proc)
{
    return withDevice(deviceID, [&](ZmOSXDevice& d) { return fromResult(d.onDeviceStop(proc)); });
}

// ---------------------------------------------------------------------------------------------
// Hardware changes, as HAL notifications

void ZmAsioDriver::onVolumeChanged(ZmOSXDevice* device)
{
    if (device == nullptr)
        return;
    AudioHardwarePlugInRef ref = pluginRef();
    const AudioDeviceID deviceID = device->getAudioDeviceID();
    for (const bool input : {true, false}) {
        AudioStreamBasicDescription format{};
        device->getStreamFormat(input, &format, false, 0xFFFFFFFF);
        for (UInt32 channel = 0; channel <= format.mChannelsPerFrame; ++channel) {
            AudioHardwareDevicePropertyChanged(ref, deviceID, channel, input, kAudioDevicePropertyVolumeScalar);
            AudioHardwareDevicePropertyChanged(ref, deviceID, channel, input, kAudioDevicePropertyVolumeDecibels);
        }
    }
}

void ZmAsioDriver::notifyBothSections(ZmOSXDevice* device, AudioDevicePropertyID property)
{
    if (device == nullptr)
        return;
    const AudioDeviceID deviceID = device->getAudioDeviceID();
    AudioHardwareDevicePropertyChanged(pluginRef(), deviceID, 0, true, property);
    AudioHardwareDevicePropertyChanged(pluginRef(), deviceID, 0, false, property);
}

void ZmAsioDriver::onMuteChanged(ZmOSXDevice* device)
{
    notifyBothSections(device, kAudioDevicePropertyMute);
}

void ZmAsioDriver::onMonitorChanged(ZmOSXDevice* device)
{
    if (device == nullptr)
        return;
    const AudioDeviceID deviceID = device->getAudioDeviceID();
    const UInt32 channels = device->getReportedChannels().iInChannels;
    for (UInt32 channel = 0; channel <= channels; ++channel)
        AudioHardwareDevicePropertyChanged(pluginRef(), deviceID, channel, true, kAudioDevicePropertyPlayThru);
}

void ZmAsioDriver::onDataSourceChanged(ZmOSXDevice* device)
{
    if (device == nullptr)
        return;
    const AudioDeviceID deviceID = device->getAudioDeviceID();
    AudioHardwareStreamPropertyChanged(pluginRef(), deviceID, device->getInAudioStreamID(), 0,
                                       kAudioDevicePropertyDataSource);
    AudioHardwareStreamPropertyChanged(pluginRef(), deviceID, device->getOutAudioStreamID(), 0,
                                       kAudioDevicePropertyDataSource);
    notifyBothSections(device, kAudioDevicePropertyDataSource);
}

void ZmAsioDriver::onDeviceStopped(ZmOSXDevice* device)
{
    notifyBothSections(device, kAudioDevicePropertyDeviceIsRunning);
}
