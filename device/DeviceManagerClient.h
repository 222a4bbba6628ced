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
