#pragma once
#include <IOKit/IOReturn.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kext/ServiceBehaviour.h"

namespace kext {

// The control session of tarsel-kextctl and of the tests. Every call returns the daemon's
// status, or kIOReturnNotAttached when there is no daemon or it stopped answering.
class ControlClient {
public:
    struct ServiceEntry {
        uint32_t id = 0;
        uint32_t connections = 0;
        uint32_t options = 0;
        std::string className, name, model, description;
    };
    struct ConnectionEntry {
        uint32_t id = 0;
        uint32_t serviceId = 0;
        int32_t pid = 0;
        uint32_t type = 0;
        bool terminated = false;
        uint32_t pair[2] = {0, 0};
        std::string description;
    };

    ControlClient() = default;
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Connects to the daemon at `path` (kextwire::socketPath() when empty).
    bool connect(const std::string& path = {});
    bool connected() const { return m_fd >= 0; }

    kern_return_t listServices(std::vector<ServiceEntry>& services, uint32_t* total = nullptr);
    kern_return_t listConnections(std::vector<ConnectionEntry>& connections, uint32_t* total = nullptr);
    kern_return_t plug(const std::string& model, uint32_t options, uint32_t& serviceId);
    kern_return_t unplug(uint32_t serviceId);
    kern_return_t postEvent(uint32_t serviceId, uint32_t code, const EventParams& params);
    kern_return_t configure(uint32_t serviceId, std::string_view key, std::string_view value);

private:
    // Sends `request` and reads a reply of `replyKind` into `reply`.
    kern_return_t exchange(const void* request, size_t size, uint32_t replyKind, void* reply, size_t replySize);
    int m_fd = -1;
};

} // namespace kext
