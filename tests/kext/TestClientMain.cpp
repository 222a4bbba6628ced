// kext_test_client: a second client process for the tests. It opens the first interface of
// the kernel driver's class (the daemon named by TARSEL_KEXT_SOCKET), listens to its events,
// prints "ready PAIR0 PAIR1 PID" (or "failed" and exit code 1). The test steers it with
// diagnostic events (9), P0 saying what to do:
//   1 FRAMES   request 2       -> "attach STATUS SLOT"
//   3 VALUE    request 31/30   -> "exclusive STATUS"
// Numbers are decimal; STATUS is the IOKit return code. It runs until killed, or until the test
// that started it is gone.
#include <unistd.h>

#include <cstdio>

#include "tests/support/InterfaceClient.h"

using namespace kexttest;

namespace {

void report(const char* format, auto... values)
{
    std::printf(format, values...);
    std::fflush(stdout);
}

void obey(const KernelEvent& e, InterfaceClient& client)
{
    if (e.iParam[0] == 1) {
        int slot = -1;
        const kern_return_t kr = client.attach(e.iParam[1], &slot);
        report("attach %u %d\n", unsigned(kr), slot);
    } else if (e.iParam[0] == 3) {
        report("exclusive %u\n", unsigned(client.codec(kCodecSetInputsExclusive, e.iParam[1])));
    }
}

} // namespace

int main()
{
    const pid_t parent = getppid();
    io_service_t service = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("ZmKernelDeviceTARSEL"));
    InterfaceClient client(service);
    NotifyPort port;
    EventLog log;
    if (!client.ok() || port.port == nullptr || !port.listen(service, log)) {
        report("failed\n");
        return 1;
    }
    report("ready %u %u %d\n", client.pair()[0], client.pair()[1], int(getpid()));
    for (size_t seen = 0; getppid() == parent;) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, true);
        const std::vector<KernelEvent> events = log.all();
        for (; seen < events.size(); ++seen)
            if (events[seen].iCode == kEventDiagnostic)
                obey(events[seen], client);
    }
    client.close();
    IOObjectRelease(service);
    return 0;
}
