#include "tools/CommandLine.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
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

void vfail(const char* format, va_list args)
{
    std::fprintf(stderr, "%s: ", g_program);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

} // namespace

void setProgramName(const char* name)
{
    g_program = name;
}

void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vfail(format, args);
    va_end(args);
}

void usageError(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vfail(format, args);
    va_end(args);
    tryHelp();
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

bool parseSeconds(const char* text, double min, double max, double& value)
{
    // Digits and a point only: no sign, no exponent, no "inf" or "nan".
    if (text == nullptr || *text == '\0' || std::string(text).find_first_not_of("0123456789.") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= min && v <= max))
        return false;
    value = v;
    return true;
}

int parseArguments(int argc, char** argv, const char* shortOptions, const struct option* longOptions,
                   const char* usage, const std::function<int(int option, const char* value)>& take,
                   const std::function<int(const char* operand)>& operands, int maxOperands)
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
    if (operands && argc - optind <= maxOperands) {
        for (int i = optind; i < argc; ++i)
            if (const int status = operands(argv[i]); status != 0)
                return status;
        return 0;
    }
    if (optind < argc) {
        fail("unexpected argument '%s'", argv[optind + (operands ? maxOperands : 0)]);
        tryHelp();
        return kExitUsage;
    }
    return 0;
}

} // namespace toolsupport
