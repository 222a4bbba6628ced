#include "tools/ToolSupport.h"

#include <IOKit/IOKitLib.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <memory>
#include <string>

namespace toolsupport {

namespace {

const char* g_program = "tool";
FILE* g_report = stdout;

void tryHelp()
{
    std::fprintf(stderr, "Try '%s --help' for more information.\n", g_program);
}

// perror's text under the program's name.
void sayError(const char* what)
{
    const int error = errno;
    char text[256];
    std::snprintf(text, sizeof text, "%s: %s", g_program, what);
    errno = error;
    std::perror(text);
}

} // namespace

void setProgramName(const char* name)
{
    g_program = name;
}

void fail(const char* format, ...)
{
    std::fprintf(stderr, "%s: ", g_program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

FILE* report()
{
    return g_report;
}

bool redirectReport()
{
    const int reportFd = dup(STDOUT_FILENO);
    FILE* stream = nullptr;
    if (reportFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0 || (stream = fdopen(reportFd, "w")) == nullptr) {
        sayError("standard output");
        return false;
    }
    g_report = stream;
    return true;
}

bool finishReport()
{
    if (std::fflush(g_report) != 0) {
        sayError("writing the report");
        return false;
    }
    return true;
}

bool parseUnsigned(const char* text, unsigned long max, unsigned long& value)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    value = v;
    return true;
}

int parseArguments(int argc, char** argv, const char* shortOptions, const struct option* longOptions,
                   const char* usage, const std::function<int(int option, const char* value)>& take)
{
    // The leading ':' tells a missing value from an unknown option; the texts are ours.
    const std::string optionString = std::string(":") + shortOptions;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, optionString.c_str(), longOptions, nullptr)) != -1) {
        if (c == 'h') {
            std::fputs(usage, g_report);
            return -1;
        }
        if (c == ':' || c == '?') {
            if (c == ':')
                fail("option '%s' needs a value", argv[optind - 1]);
            else
                fail("unknown option '%s'", argv[optind - 1]);
            tryHelp();
            return kExitUsage;
        }
        if (const int status = take(c, optarg); status != 0)
            return status;
    }
    if (optind < argc) {
        fail("unexpected argument '%s'", argv[optind]);
        tryHelp();
        return kExitUsage;
    }
    return 0;
}

int runProgram(const char* name, const std::function<int()>& parse,
               const std::function<int(OSXDeviceManager&)>& body)
{
    setProgramName(name);
    if (!redirectReport())
        return kExitFailure;
    if (const int status = parse(); status != 0) {
        std::fflush(g_report);
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
