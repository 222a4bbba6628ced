#pragma once
// Device objects on a private simulated kernel driver: a client that records every report, a
// private HOME for the settings file, and the interest notifications on the test's run loop.
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "device/DeviceManagerClient.h"
#include "device/FormatRules.h"
#include "device/ZmOSXDevice.h"
#include "kext/model/Catalogue.h"
#include "tests/support/RecordingHALBackend.h"
#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"

namespace devicetest {

// Every report a device sends, counted; the test may hook the format report.
class RecordingClient : public DeviceManagerClient {
public:
    void deviceRemoved(ZmOSXDevice*) override { ++removed; }
    void deviceAdded(ZmOSXDevice*) override { ++added; }
    void onFramesizeChanged(ZmOSXDevice*) override { ++framesize; }
    void onLatencyChanged(ZmOSXDevice*) override { ++latency; }
    void onFormatChanged(ZmOSXDevice* device) override
    {
        ++format;
        if (onFormat)
            onFormat(device);
    }
    void onFrequencyChanged(ZmOSXDevice*) override { ++frequency; }
    void onVolumeChanged(ZmOSXDevice*) override { ++volume; }
    void onMuteChanged(ZmOSXDevice*) override { ++mute; }
    void onMonitorChanged(ZmOSXDevice*) override { ++monitor; }
    void onDataSourceChanged(ZmOSXDevice*) override { ++dataSource; }
    void onDeviceStopped(ZmOSXDevice*) override { ++stopped; }
    void onOtherClientAttached(ZmOSXDevice*, long slot, long processID) override
    {
        std::lock_guard<std::mutex> guard(lock);
        attached.emplace_back(slot, processID);
    }
    void onOtherClientDetached(ZmOSXDevice*, long slot) override
    {
        std::lock_guard<std::mutex> guard(lock);
        detached.push_back(slot);
    }
    void onVK_StateChange(ZmOSXDevice*, VK_StateChange* change) override
    {
        std::lock_guard<std::mutex> guard(lock);
        states.push_back(*change);
    }

    std::atomic<int> removed{0}, added{0}, framesize{0}, latency{0}, format{0}, frequency{0}, volume{0}, mute{0},
        monitor{0}, dataSource{0}, stopped{0};
    std::mutex lock;
    std::vector<std::pair<long, long>> attached;
    std::vector<long> detached;
    std::vector<KernelEvent> states;
    std::function<void(ZmOSXDevice*)> onFormat;
};

// A private HOME, so the settings file the devices create stays out of the user's.
using kexttest::PrivateHome;

// A plug-in reference the HAL stand-in records notifications for (a null one it ignores).
inline AudioHardwarePlugInRef fakePlugIn()
{
    static AudioHardwarePlugInInterface table{};
    static AudioHardwarePlugInInterface* interface = &table;
    return &interface;
}

// How many recorded HAL notifications match.
inline size_t countNotifications(HALCall call, AudioDevicePropertyID property, AudioStreamID stream = 0)
{
    size_t n = 0;
    for (const HALNotification& h : recordedHALCalls())
        if (h.call == call && h.property == property && (stream == 0 || h.stream == stream))
            ++n;
    return n;
}

// The rate change's announcements: on the device, on the input stream and on the output stream.
inline std::tuple<size_t, size_t, size_t> rateNotifications()
{
    return {countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyNominalSampleRate),
            countNotifications(HALCall::StreamPropertyChanged, kAudioDevicePropertyNominalSampleRate, 0x101),
            countNotifications(HALCall::StreamPropertyChanged, kAudioDevicePropertyNominalSampleRate, 0x102)};
}

// A stream format as the interface carries it.
inline AudioStreamBasicDescription physical(Float64 rate, uint32_t channels, uint32_t bits)
{
    return makeStreamFormat(rate, channels, bits, true);
}

// Lets notifications that are on their way arrive.
inline void settle(double seconds = 0.3)
{
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, seconds, false);
}

class DeviceTest : public kexttest::KextTest {
protected:
    void SetUp() override
    {
        KextTest::SetUp();
        m_port = IONotificationPortCreate(kIOMasterPortDefault);
        ASSERT_NE(m_port, nullptr);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(m_port), kCFRunLoopDefaultMode);
        clearRecordedHALCalls();
    }

    void TearDown() override
    {
        releaseDevices();
        if (m_port != nullptr) {
            CFRunLoopRemoveSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(m_port),
                                  kCFRunLoopDefaultMode);
            IONotificationPortDestroy(m_port);
        }
        m_port = nullptr;
        releaseService();
        KextTest::TearDown();
    }

    void releaseDevices()
    {
        for (ZmOSXDevice* device : m_devices)
            device->decReferences();
        m_devices.clear();
    }

    void releaseService()
    {
        if (m_service != 0)
            IOObjectRelease(m_service);
        m_service = 0;
    }

    // Plugs a model of the catalogue and finds its service; false when either fails.
    bool plug(const std::string& name)
    {
        const kext::DeviceModel* model = kext::findModel(name);
        if (model == nullptr)
            return false;
        m_model = *model;
        m_id = daemon().plug(name);
        if (m_id == 0)
            return false;
        releaseService();
        m_service = kexttest::firstService(model->tiger ? "ZmKernelDeviceTARSELTiger" : "ZmKernelDeviceTARSEL");
        return m_service != 0;
    }

    // A device on the plugged service, held by the fixture until the test ends.
    ZmOSXDevice* makeDevice(AudioHardwarePlugInRef plugIn = nullptr, OSXDeviceManager* manager = nullptr)
    {
        auto* device = new ZmOSXDevice(plugIn, &m_client, m_service, manager);
        device->incReferences();
        m_devices.push_back(device);
        return device;
    }

    // Plugs `model`, holds the device `make(service)` builds on it, initialises it and gives it
    // HAL ids as the plug-in would; null when anything fails.
    template <class Make> auto publishedBy(const std::string& model, Make make) -> decltype(make(io_service_t{}))
    {
        if (!plug(model))
            return nullptr;
        auto* device = make(m_service);
        device->incReferences();
        m_devices.push_back(device);
        if (!device->init())
            return nullptr;
        device->setAudioIDs(0x100, 0x101, 0x102);
        return device;
    }

    // A device on `model` with HAL objects to announce to, as the plug-in publishes it.
    ZmOSXDevice* published(const std::string& model = "tarsel", DeviceManagerClient* client = nullptr)
    {
        return publishedBy(model, [&](io_service_t service) {
            return new ZmOSXDevice(fakePlugIn(), client != nullptr ? client : &m_client, service, nullptr);
        });
    }

    // Plugs `name` and initialises a device on it; null when anything fails.
    ZmOSXDevice* initialised(const std::string& name, AudioHardwarePlugInRef plugIn = nullptr)
    {
        if (!plug(name))
            return nullptr;
        ZmOSXDevice* device = makeDevice(plugIn);
        return device->init() ? device : nullptr;
    }

    // Delivers the interface's kernel events to `device` on this thread's run loop.
    bool listen(ZmOSXDevice* device)
    {
        return IOServiceAddInterestNotification(m_port, m_service, kIOGeneralInterest,
                                                ZmOSXDevice::ServiceInterestCallback, device,
                                                device->interestNotification())
            == kIOReturnSuccess;
    }

    kern_return_t set(const std::string& key, const std::string& value)
    {
        return daemon().control().configure(m_id, key, value);
    }

    PrivateHome m_home;
    RecordingClient m_client;
    IONotificationPortRef m_port = nullptr;
    io_service_t m_service = 0;
    uint32_t m_id = 0;
    kext::DeviceModel m_model;
    std::vector<ZmOSXDevice*> m_devices;
};

} // namespace devicetest
