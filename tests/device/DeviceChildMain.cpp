// The second process of the device tests, started under the names the device manager knows.
//   device_child        prints the host kind it decided on, how many interfaces it found and,
//                       if any, the first one's frame size: "TYPE COUNT [FRAMES]".
//   device_child init   waits for a byte on standard input, then initialises the first
//                       interface; exit status 0 if that worked.
#include <IOKit/IOKitLib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "device/DeviceManagerClient.h"
#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"

int main(int argc, char** argv)
{
    IgnoringDeviceManagerClient client;
    if (argc == 2 && std::strcmp(argv[1], "init") == 0) {
        char go = 0;
        if (read(STDIN_FILENO, &go, 1) != 1)
            return 3;
        io_service_t service =
            IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("ZmKernelDeviceTARSEL"));
        if (service == 0)
            return 2;
        auto* device = new ZmOSXDevice(nullptr, &client, service, nullptr);
        device->incReferences();
        const bool ok = device->init();
        device->decReferences();
        IOObjectRelease(service);
        return ok ? 0 : 1;
    }
    // No run loop: one scan, no notifications to wait for.
    OSXDeviceManager::s_currentRunLoop = [] { return CFRunLoopRef(nullptr); };
    OSXDeviceManager manager(nullptr, client);
    std::printf("%u %ld", unsigned(manager.getClientAppType()), manager.getCountDevices());
    if (manager.getCountDevices() > 0)
        std::printf(" %u", unsigned(manager.getDevice(0)->getFrameSize()));
    std::printf("\n");
    return 0;
}
