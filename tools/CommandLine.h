#pragma once
// What every command-line program shares, whatever it is built on: error texts under the
// program's name, the report on the real standard output, and option parsing.
#include <getopt.h>

#include <cstdio>
#include <functional>

namespace toolsupport {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Names the program in every error text; call first.
void setProgramName(const char* name);

// "NAME: " the text and a new line, on standard error.
void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where the report goes: the real standard output once redirectReport() has run.
FILE* report();

// The layers below a program (the device layer, a HAL plug-in) write their diagnostics to
// standard output; they go to standard error, so that the report stays clean. False (with the
// reason said) when that cannot be done.
bool redirectReport();

// Flushes the report; false (with the reason said) when it could not all be written.
bool finishReport();

// Runs getopt_long over the arguments, handing each option of `shortOptions` (no leading ':')
// to `take`, which returns 0 or an exit status; 'h' shows `usage`, and a missing value, an
// unknown option or a word left over is a usage error with its reason said. With `operands`,
// the words left over (at most `maxOperands`) go to it instead, one by one, in order.
// 0: parsed, -1: help given; otherwise the exit status.
int parseArguments(int argc, char** argv, const char* shortOptions, const struct option* longOptions,
                   const char* usage, const std::function<int(int option, const char* value)>& take,
                   const std::function<int(const char* operand)>& operands = {}, int maxOperands = 0);

// Says that a usage error happened and where the help is; for callers that find one after the
// options were parsed.
void usageError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A decimal number from 0 to `max`, nothing before or after it.
bool parseUnsigned(const char* text, unsigned long max, unsigned long& value);

// A decimal number of seconds from `min` to `max` (e.g. "2", "0.25"), nothing before or after.
bool parseSeconds(const char* text, double min, double max, double& value);

} // namespace toolsupport
