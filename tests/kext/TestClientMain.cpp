// kext_test_client: a second client process for the tests. It opens the first interface of
// the kernel driver's class (the daemon named by TARSEL_KEXT_SOCKET), listens to its events and
// obeys commands on standard input, one a line:
//   attach FRAMES     request 2       -> "attach STATUS SLOT"
//   detach            request 3       -> "detach STATUS"
//   exclusive VALUE   request 31/30   -> "exclusive STATUS"
//   quit              closes and ends
// It starts with "ready PAIR0 PAIR1 PID" (or "failed" and exit code 1) and reports every kernel
// event as "event CODE P0 ... P6". Numbers are decimal; STATUS is the IOKit return code.
#include <fcntl.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/InterfaceClient.h"

using namespace kexttest;

namespace {

void report(const char* format, auto... values)
{
    std::printf(format, values...);
    std::fflush(stdout);
}

// Handles one command line; false for quit.
bool obey(const std::string& line, InterfaceClient& client)
{
    if (line == "quit")
        return false;
    if (line.rfind("attach ", 0) == 0) {
        int slot = -1;
        kern_return_t kr = client.attach(uint32_t(std::strtoul(line.c_str() + 7, nullptr, 10)), &slot);
        report("attach %u %d\n", unsigned(kr), slot);
    } else if (line == "detach") {
        report("detach %u\n", unsigned(client.call(kReqDetach)));
    } else if (line.rfind("exclusive ", 0) == 0) {
        kern_return_t kr = client.codec(kCodecSetInputsExclusive, uint32_t(std::strtoul(line.c_str() + 10, nullptr, 10)));
        report("exclusive %u\n", unsigned(kr));
    } else {
        report("unknown\n");
    }
    return true;
}

} // namespace

int main()
{
    io_service_t service = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("ZmKernelDeviceTARSEL"));
    InterfaceClient client(service);
    NotifyPort port;
    EventLog log;
    if (!client.ok() || port.port == nullptr || !port.listen(service, log)) {
        report("failed\n");
        return 1;
    }
    report("ready %u %u %d\n", client.pair()[0], client.pair()[1], int(getpid()));

    fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    std::string pending;
    size_t reported = 0;
    for (;;) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, true);
        const std::vector<KernelEvent> events = log.all();
        for (; reported < events.size(); ++reported) {
            const KernelEvent& e = events[reported];
            report("event %u %u %u %u %u %u %u %u\n", e.iCode, e.iParam[0], e.iParam[1], e.iParam[2], e.iParam[3],
                   e.iParam[4], e.iParam[5], e.iParam[6]);
        }
        pollfd p{0, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            continue;
        char buffer[256];
        ssize_t n = read(0, buffer, sizeof buffer);
        if (n == 0)
            break; // the test went away
        if (n < 0)
            continue;
        pending.append(buffer, size_t(n));
        size_t end;
        bool more = true;
        while (more && (end = pending.find('\n')) != std::string::npos) {
            more = obey(pending.substr(0, end), client);
            pending.erase(0, end + 1);
        }
        if (!more)
            break;
    }
    client.close();
    IOObjectRelease(service);
    return 0;
}
