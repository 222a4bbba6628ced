#pragma once

#include "device/KernelEvent.h"

class ZmOSXDevice;

// Receives the device layer's reports: the manager sends deviceRemoved and deviceAdded, each
// device the rest. Implemented by the plug-in's driver object and the control application.
class DeviceManagerClient {
public:
    virtual ~DeviceManagerClient() = default;

    virtual void deviceRemoved(ZmOSXDevice* device) = 0;
    virtual void deviceAdded(ZmOSXDevice* device) = 0;
    virtual void onFramesizeChanged(ZmOSXDevice* device) = 0;
    virtual void onLatencyChanged(ZmOSXDevice* device) = 0;
    virtual void onFormatChanged(ZmOSXDevice* device) = 0;
    virtual void onFrequencyChanged(ZmOSXDevice* device) = 0;
    virtual void onVolumeChanged(ZmOSXDevice* device) = 0;
    virtual void onMuteChanged(ZmOSXDevice* device) = 0;
    virtual void onMonitorChanged(ZmOSXDevice* device) = 0;
    virtual void onDataSourceChanged(ZmOSXDevice* device) = 0;
    virtual void onDeviceStopped(ZmOSXDevice* device) = 0;
    virtual void onOtherClientAttached(ZmOSXDevice* device, long slot, long processID) = 0;
    virtual void onOtherClientDetached(ZmOSXDevice* device, long slot) = 0;
    virtual void onVK_StateChange(ZmOSXDevice* device, VK_StateChange* change) = 0;
};

// A client that takes no action on any report; programs that read the state afresh after each
// change derive from it and override only what they watch.
class IgnoringDeviceManagerClient : public DeviceManagerClient {
public:
    void deviceRemoved(ZmOSXDevice*) override {}
    void deviceAdded(ZmOSXDevice*) override {}
    void onFramesizeChanged(ZmOSXDevice*) override {}
    void onLatencyChanged(ZmOSXDevice*) override {}
    void onFormatChanged(ZmOSXDevice*) override {}
    void onFrequencyChanged(ZmOSXDevice*) override {}
    void onVolumeChanged(ZmOSXDevice*) override {}
    void onMuteChanged(ZmOSXDevice*) override {}
    void onMonitorChanged(ZmOSXDevice*) override {}
    void onDataSourceChanged(ZmOSXDevice*) override {}
    void onDeviceStopped(ZmOSXDevice*) override {}
    void onOtherClientAttached(ZmOSXDevice*, long, long) override {}
    void onOtherClientDetached(ZmOSXDevice*, long) override {}
    void onVK_StateChange(ZmOSXDevice*, VK_StateChange*) override {}
};
