// Started under the process names the device manager knows: prints the host kind it decided
// on and how many interfaces it found, "TYPE COUNT".
#include <cstdio>

#include "device/DeviceManagerClient.h"
#include "device/OSXDeviceManager.h"

namespace {

using NullClient = IgnoringDeviceManagerClient;

} // namespace

int main()
{
    NullClient client;
    OSXDeviceManager manager(nullptr, client);
    std::printf("%u %ld\n", unsigned(manager.getClientAppType()), manager.getCountDevices());
    return 0;
}
