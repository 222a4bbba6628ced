#pragma once
// What the command-line programs on the device layer share: the command-line frame
// (tools/CommandLine.h) and the interfaces through the device layer.
#include <functional>

#include "device/DeviceManagerClient.h"
#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"
#include "tools/CommandLine.h"

namespace toolsupport {

constexpr unsigned long kAllChannels = 0xFFFFFFFF;

// The frame of a program on the device layer: names the program, moves the device layer's
// diagnostics off the report (redirectReport), parses the options with `parse` (0 to go on,
// -1 after the help text, or an exit status), opens the interfaces (openDevices) and hands
// them to `body`, whose exit status it returns unless the report cannot be written.
int runProgram(const char* name, const std::function<int()>& parse,
               const std::function<int(OSXDeviceManager&)>& body);

// Sets this program's I/O frame size; false (with the reason said) when it is out of the
// interface's range or not taken.
bool applyFrameSize(ZmOSXDevice& device, unsigned frames);

} // namespace toolsupport
