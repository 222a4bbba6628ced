#pragma once
// What the command-line programs share: error texts under the program's name, the report on
// the real standard output, option parsing, and the interfaces through the device layer.
#include <getopt.h>

#include <cstdio>
#include <functional>

#include "device/DeviceManagerClient.h"
#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"

namespace toolsupport {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr unsigned long kAllChannels = 0xFFFFFFFF;

// Names the program in every error text; call first.
void setProgramName(const char* name);

// "NAME: " the text and a new line, on standard error.
void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where the report goes: the real standard output once redirectReport() has run.
FILE* report();

// The device layer writes its diagnostics to standard output; they go to standard error, so
// that the report stays clean. False (with the reason said) when that cannot be done.
bool redirectReport();

// Flushes the report; false (with the reason said) when it could not all be written.
bool finishReport();

// The frame of a program on the device layer: names the program, moves the device layer's
// diagnostics off the report (redirectReport), parses the options with `parse` (0 to go on,
// -1 after the help text, or an exit status), opens the interfaces (openDevices) and hands
// them to `body`, whose exit status it returns unless the report cannot be written.
int runProgram(const char* name, const std::function<int()>& parse,
               const std::function<int(OSXDeviceManager&)>& body);

// Runs getopt_long over the arguments, handing each option of `shortOptions` (no leading ':')
// to `take`, which returns 0 or an exit status; 'h' shows `usage`, and a missing value, an
// unknown option or a word left over is a usage error with its reason said.
// 0: parsed, -1: help given; otherwise the exit status.
int parseArguments(int argc, char** argv, const char* shortOptions, const struct option* longOptions,
                   const char* usage, const std::function<int(int option, const char* value)>& take);

// A decimal number from 0 to `max`, nothing before or after it.
bool parseUnsigned(const char* text, unsigned long max, unsigned long& value);

// Sets this program's I/O frame size; false (with the reason said) when it is out of the
// interface's range or not taken.
bool applyFrameSize(ZmOSXDevice& device, unsigned frames);

} // namespace toolsupport
