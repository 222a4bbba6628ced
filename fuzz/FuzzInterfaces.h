#pragma once
// What the device-level fuzz targets share: a private simulated kernel driver serving three
// interfaces with controls, and the crash that reports a fault they find.
#include <IOKit/IOKitLib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <vector>

#include "bench/BenchDaemon.h"

namespace fuzzinterfaces {

// A fault: said on standard error, then the crash the fuzzer looks for.
[[noreturn]] inline void fault(const char* target, const char* what, unsigned long detail = 0)
{
    std::fprintf(stderr, "%s: %s (0x%08lx)\n", target, what, detail);
    std::abort();
}

// Plugs the interfaces into `daemon` and answers their services in the order plugged, each with a
// reference for the caller. The device layer's notes on standard output go to /dev/null.
inline std::vector<io_service_t> plugInterfaces(bench::BenchDaemon& daemon, const char* target)
{
    // The daemon serves until the process ends, so its folder goes then.
    static std::filesystem::path folder;
    folder = daemon.folder();
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    constexpr const char* kModels[] = {"tarsel", "kingsmere-digital-hs", "redmoor-r4-hs"};
    for (size_t i = 0; i < std::size(kModels); ++i) {
        const io_service_t first = daemon.plug(kModels[i]);
        if (first == 0)
            fault(target, "cannot plug interface", i);
        IOObjectRelease(first);
    }
    std::vector<io_service_t> services;
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("ZmKernelDeviceTARSEL"), &iterator)
        == kIOReturnSuccess) {
        while (io_service_t s = IOIteratorNext(iterator))
            services.push_back(s);
        IOObjectRelease(iterator);
    }
    if (services.size() != std::size(kModels))
        fault(target, "interfaces missing", services.size());
    return services;
}

} // namespace fuzzinterfaces
