#include "tools/ToolSupport.h"

#include <IOKit/IOKitLib.h>

#include <cstdio>
#include <memory>

namespace toolsupport {

int runProgram(const char* name, const std::function<int()>& parse,
               const std::function<int(OSXDeviceManager&)>& body)
{
    setProgramName(name);
    if (!redirectReport())
        return kExitFailure;
    if (const int status = parse(); status != 0) {
        std::fflush(report());
        return status < 0 ? 0 : status;
    }
    mach_port_t master = MACH_PORT_NULL;
    if (IOMasterPort(MACH_PORT_NULL, &master) != kIOReturnSuccess) {
        fail("cannot reach the kernel driver (is tarsel-kextd running?)");
        return kExitFailure;
    }
    // The program reads the state afresh after every change: the callbacks are not needed.
    // Made on this thread, whose run loop takes the hot-plug notifications; the first scan is
    // complete when the constructor returns.
    IgnoringDeviceManagerClient client;
    auto manager = std::make_unique<OSXDeviceManager>(nullptr, client);
    const int status = body(*manager);
    manager.reset();
    return finishReport() ? status : kExitFailure;
}

bool applyFrameSize(ZmOSXDevice& device, unsigned frames)
{
    unsigned min = 0, max = 0;
    device.getFrameSizeRangeInt(min, max);
    if (frames < min || frames > max) {
        fail("frame size %u is outside %u to %u", frames, min, max);
        return false;
    }
    device.setFrameSize(frames, false, false);
    if (device.getFrameSize() != frames) {
        fail("the interface kept frame size %u", device.getFrameSize());
        return false;
    }
    return true;
}

} // namespace toolsupport
