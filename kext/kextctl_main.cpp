// tarsel-kextctl: controls a running tarsel-kextd.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KextSocket.h"
#include "KextWire.h"
#include "kext/ControlClient.h"

namespace {

const char* kUsage =
    "usage: tarsel-kextctl [--socket PATH] COMMAND\n"
    "  list                        services, then connections\n"
    "  services                    the plugged services\n"
    "  connections                 the open connections\n"
    "  plug MODEL [--darwin8]      plugs a service; prints its id\n"
    "  unplug ID                   unplugs a service\n"
    "  event ID CODE [P0 ... P6]   posts a kernel event to a service's listeners\n"
    "  set ID KEY VALUE            a fault or setting of a service (ID 0: of the daemon)\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

bool number(const char* text, uint32_t& value)
{
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v > 0xFFFFFFFFull || text[0] == '-')
        return false;
    value = uint32_t(v);
    return true;
}

int failed(const char* what, kern_return_t kr)
{
    std::fprintf(stderr, "tarsel-kextctl: %s failed (0x%08x)\n", what, unsigned(kr));
    return 1;
}

void printServices(const std::vector<kext::ControlClient::ServiceEntry>& services)
{
    for (const auto& s : services) {
        std::printf("service %u class=%s name=\"%s\" model=%s connections=%u", s.id, s.className.c_str(),
                    s.name.c_str(), s.model.c_str(), s.connections);
        if (!s.description.empty())
            std::printf(" %s", s.description.c_str());
        std::printf("\n");
    }
}

void printConnections(const std::vector<kext::ControlClient::ConnectionEntry>& connections)
{
    for (const auto& c : connections) {
        std::printf("connection %u service=%u pid=%d type=%u pair=0x%08x,0x%08x%s", c.id, c.serviceId, c.pid,
                    c.type, c.pair[0], c.pair[1], c.terminated ? " terminated" : "");
        if (!c.description.empty())
            std::printf(" %s", c.description.c_str());
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string path;
    if (args.size() >= 2 && args[0] == "--socket") {
        path = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return usage();
    kext::ControlClient control;
    if (!control.connect(path)) {
        std::fprintf(stderr, "tarsel-kextctl: no daemon at %s\n",
                     (path.empty() ? kextwire::socketPath() : path).c_str());
        return 1;
    }
    const std::string& command = args[0];
    kern_return_t kr;
    if ((command == "list" || command == "services" || command == "connections") && args.size() == 1) {
        if (command != "connections") {
            std::vector<kext::ControlClient::ServiceEntry> services;
            if ((kr = control.listServices(services)) != kIOReturnSuccess)
                return failed("list", kr);
            printServices(services);
        }
        if (command != "services") {
            std::vector<kext::ControlClient::ConnectionEntry> connections;
            if ((kr = control.listConnections(connections)) != kIOReturnSuccess)
                return failed("list", kr);
            printConnections(connections);
        }
        return 0;
    }
    if (command == "plug" && (args.size() == 2 || (args.size() == 3 && args[2] == "--darwin8"))) {
        uint32_t id = 0;
        if ((kr = control.plug(args[1], args.size() == 3 ? uint32_t(kextwire::kPlugDarwin8) : 0u, id)) != kIOReturnSuccess)
            return failed("plug", kr);
        std::printf("%u\n", id);
        return 0;
    }
    uint32_t id = 0;
    if (command == "unplug" && args.size() == 2 && number(args[1].c_str(), id)) {
        if ((kr = control.unplug(id)) != kIOReturnSuccess)
            return failed("unplug", kr);
        return 0;
    }
    uint32_t code = 0;
    if (command == "event" && args.size() >= 3 && args.size() <= 10 && number(args[1].c_str(), id)
        && number(args[2].c_str(), code)) {
        kext::EventParams params{};
        for (size_t i = 3; i < args.size(); ++i)
            if (!number(args[i].c_str(), params[i - 3]))
                return usage();
        if ((kr = control.postEvent(id, code, params)) != kIOReturnSuccess)
            return failed("event", kr);
        return 0;
    }
    if (command == "set" && args.size() == 4 && number(args[1].c_str(), id)) {
        if ((kr = control.configure(id, args[2], args[3])) != kIOReturnSuccess)
            return failed("set", kr);
        return 0;
    }
    return usage();
}
