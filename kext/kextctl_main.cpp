// tarsel-kextctl: controls a running tarsel-kextd.
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "KextSocket.h"
#include "KextWire.h"
#include "kext/ControlClient.h"
#include "kext/InterfaceBehaviour.h"
#include "kext/model/Catalogue.h"

namespace {

const char* kUsage =
    "usage: tarsel-kextctl [--socket PATH] COMMAND\n"
    "  models                      the interfaces the daemon can simulate\n"
    "  list                        services, then connections\n"
    "  services                    the plugged services\n"
    "  connections                 the open connections\n"
    "  plug MODEL [OPTION]...      plugs a service; prints its id. MODEL is a name of 'models',\n"
    "                              'default', or file:PATH for a model file. Options:\n"
    "      --darwin8               registered under the Darwin 8 class name\n"
    "      --status-size N         a status block of N bytes instead of 14376\n"
    "      --ring-size N           audio rings of N bytes instead of 528544\n"
    "      --version N             interface version N in status word 0\n"
    "  unplug ID                   unplugs a service (its listeners get event 16)\n"
    "  event ID CODE [P0 ... P6]   posts a kernel event to a service's listeners\n"
    "  set ID KEY VALUE            a fault of a service:\n"
    "      version N               status word 0 becomes N\n"
    "      ring-size N|default     rings made from now on have N bytes\n"
    "      fail-request C[:K]      requests of code C (or 'any') answer an error, every time\n"
    "                              or the next K times; 'none' ends all such faults\n"
    "      configuration now|never|late:MS\n"
    "                              requests 1 and 6 complete at once, never (the configured\n"
    "                              flag stays clear), or MS milliseconds later\n"
    "      source loopback[:FRAMES]|sine:HZ[:DBFS]|wav:PATH|silence\n"
    "                              what the inputs capture: the played mix FRAMES later\n"
    "                              (default loopback:0, at most 1 s), a sine (default -20\n"
    "                              dBFS), a WAV file (looped) or nothing\n"
    "      sink none|wav:PATH      records the played mix to a 24-bit WAV file; replaces\n"
    "                              only an empty or a WAV file. PATHs are absolute\n"
    "      jitter NS               time stamps off by up to +-NS ns at random (0: off)\n"
    "      drift PPM               the interface's clock runs PPM (signed) fast or slow\n"
    "      frame-start N           rings set up from now on count frames from N, not 0\n"
    "                              (near 4294967296 their counters soon wrap)\n"
    "      event-storm N           posts N client-attached events at once\n"
    "  set 0 KEY VALUE             the same sizes for the next plug only: status-size N,\n"
    "                              ring-size N, version N ('default' takes one back)\n";

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

const char* reason(kern_return_t kr)
{
    switch (kr) {
    case kIOReturnNotFound: return "no such model";
    case kIOReturnNoDevice: return "no such service";
    case kIOReturnBadArgument: return "bad argument";
    case kIOReturnUnsupported: return "not supported";
    case kIOReturnNoResources: return "too many";
    default: return "error";
    }
}

int failed(const char* what, kern_return_t kr)
{
    std::fprintf(stderr, "tarsel-kextctl: %s failed: %s (0x%08x)\n", what, reason(kr), unsigned(kr));
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

void printModels()
{
    for (const kext::DeviceModel& m : kext::catalogue())
        std::printf("%-28s %04X:%04X %s %s\n", m.name.c_str(), m.vendorId, m.productId,
                    m.highSpeed ? "high-speed" : "full-speed", m.description.c_str());
}

// Checks the model here, where its faults can be told, and names a model file by its absolute
// path, as the daemon may run elsewhere. False with the reason printed.
bool resolvePlugName(std::string& model)
{
    std::string error;
    std::string name = model;
    if (name.starts_with("file:") && name.size() > 5) {
        char absolute[PATH_MAX];
        if (realpath(name.c_str() + 5, absolute) == nullptr) {
            std::fprintf(stderr, "tarsel-kextctl: %s: %s\n", name.c_str() + 5, std::strerror(errno));
            return false;
        }
        name = std::string("file:") + absolute;
    }
    if (!kext::resolveModel(name, error)) {
        std::fprintf(stderr, "tarsel-kextctl: %s\n", error.c_str());
        return false;
    }
    if (name.size() >= kextwire::kNameSize) {
        std::fprintf(stderr, "tarsel-kextctl: %s: the path is too long to plug (at most %zu characters)\n",
                     name.c_str() + 5, kextwire::kNameSize - 1 - 5);
        return false;
    }
    model = name;
    return true;
}

int plug(kext::ControlClient& control, const std::vector<std::string>& args)
{
    std::string model = args[1];
    uint32_t options = 0;
    std::vector<std::pair<std::string, std::string>> overrides;
    for (size_t i = 2; i < args.size(); ++i) {
        uint32_t value = 0;
        if (args[i] == "--darwin8")
            options |= kextwire::kPlugDarwin8;
        else if ((args[i] == "--status-size" || args[i] == "--ring-size" || args[i] == "--version")
                 && i + 1 < args.size() && number(args[i + 1].c_str(), value)) {
            overrides.emplace_back(args[i].substr(2), args[i + 1]);
            ++i;
        } else
            return usage();
    }
    if (!resolvePlugName(model))
        return 1;
    kern_return_t kr = kIOReturnSuccess;
    for (const auto& [key, value] : overrides)
        if ((kr = control.configure(0, key, value)) != kIOReturnSuccess)
            break;
    uint32_t id = 0;
    if (kr == kIOReturnSuccess)
        kr = control.plug(model, options, id);
    if (kr != kIOReturnSuccess) {
        // Sizes meant for this plug must not reach a later one.
        for (const auto& [key, value] : overrides)
            control.configure(0, key, "default");
        return failed("plug", kr);
    }
    std::printf("%u\n", id);
    return 0;
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
    if (args.size() == 1 && args[0] == "models") {
        printModels();
        return 0;
    }
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
    if (command == "plug" && args.size() >= 2)
        return plug(control, args);
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
