#pragma once

#include "device/KernelEvent.h"

class ZmOSXDevice;

// Receives the device layer's reports: the manager sends deviceRemoved and deviceAdded, each
// device the rest. Implemented by the plug-in's driver object and the control application.
//
// The threads they arrive on; reports on different threads may overlap, so an implementation
// guards what it keeps or only sets flags for its own thread to act on:
// - deviceAdded: the thread that created the manager (its constructor's scan and the publish
//   notifications on that thread's run loop).
// - deviceRemoved: once the device is closed and out of the manager's list, which no longer
//   hands it out. Usually on the device's own I/O thread as it ends; on the thread that asked
//   for the removal (the manager's run loop for unplugging) when that thread was not running.
//   Never with the manager's list locked, never once the manager's destructor has begun (it
//   reports nothing), and the device stays valid until the call returns. Do not destroy the
//   manager from inside it.
// - onFramesizeChanged, onLatencyChanged: the thread that set the frame size or the format (a
//   HAL thread, the control application's thread, the manager's thread during initialisation),
//   or the device's I/O thread when it applies a frame size set while streaming;
//   onLatencyChanged also from the I/O thread's attach step, which rebuilds the IO buffers, and
//   from the manager's run-loop thread after a format change made elsewhere.
// - onFormatChanged: a HAL thread in setStreamFormat or setFrequency, a HAL thread starting an
//   IOProc that applies a deferred request, or the manager's run-loop thread (a format change
//   made by the kernel or another process).
// - onVolumeChanged, onMuteChanged, onMonitorChanged, onDataSourceChanged,
//   onOtherClientAttached, onOtherClientDetached, onVK_StateChange: the manager's run-loop
//   thread, where the kernel's events arrive.
// - onFrequencyChanged, onDeviceStopped: never sent by the device layer.
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
