// Started under the process names the device manager knows: prints the host kind it decided
// on and how many interfaces it found, "TYPE COUNT".
#include <cstdio>

#include "device/DeviceManagerClient.h"
#include "device/OSXDeviceManager.h"

namespace {

class NullClient : public DeviceManagerClient {
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

} // namespace

int main()
{
    NullClient client;
    OSXDeviceManager manager(nullptr, client);
    std::printf("%u %ld\n", unsigned(manager.getClientAppType()), manager.getCountDevices());
    return 0;
}
