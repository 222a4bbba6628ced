#include "kext/ControlClient.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "KextSocket.h"
#include "KextWire.h"

namespace kext {

using namespace kextwire;

ControlClient::~ControlClient()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool ControlClient::connect(const std::string& path)
{
    if (m_fd >= 0)
        return true;
    m_fd = connectTo(path.empty() ? socketPath() : path);
    if (m_fd < 0)
        return false;
    Framed<Kind::Hello> hello;
    hello.body.session = uint32_t(SessionType::Control);
    hello.body.version = kVersion;
    HelloReply reply{};
    if (exchange(&hello, sizeof hello, uint32_t(Kind::HelloReply), &reply, sizeof reply) != kIOReturnSuccess
        || reply.status != kIOReturnSuccess) {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

kern_return_t ControlClient::exchange(const void* request, size_t size, uint32_t replyKind, void* reply,
                                      size_t replySize)
{
    if (m_fd < 0)
        return kIOReturnNotAttached;
    std::vector<uint8_t> buffer(kMaxMessageSize + 1);
    int fds[kMaxFds];
    size_t fdCount = 0;
    Kind kind;
    if (sendDatagram(m_fd, request, size) != 0) {
        close(m_fd);
        m_fd = -1;
        return kIOReturnNotAttached;
    }
    ssize_t n = receiveDatagram(m_fd, buffer.data(), buffer.size(), fds, fdCount);
    closeAll(fds, fdCount);
    if (n <= 0 || fdCount != 0 || !readHeader(buffer.data(), size_t(n), kind) || uint32_t(kind) != replyKind
        || size_t(n) != sizeof(Header) + replySize) {
        close(m_fd);
        m_fd = -1;
        return kIOReturnNotAttached;
    }
    std::memcpy(reply, buffer.data() + sizeof(Header), replySize);
    return kIOReturnSuccess;
}

kern_return_t ControlClient::listServices(std::vector<ServiceEntry>& services, uint32_t* total)
{
    services.clear();
    Framed<Kind::ListServices> request;
    auto reply = std::make_unique<ServiceList>();
    kern_return_t kr = exchange(&request, sizeof request, uint32_t(Kind::ServiceList), reply.get(), sizeof *reply);
    if (kr != kIOReturnSuccess)
        return kr;
    if (reply->status != kIOReturnSuccess)
        return reply->status;
    for (uint32_t i = 0; i < std::min<uint32_t>(reply->count, kMaxServices); ++i) {
        ServiceInfo& info = reply->services[i];
        if (!terminated(info.className) || !terminated(info.name) || !terminated(info.model)
            || !terminated(info.description))
            continue;
        services.push_back({info.id, info.connections, info.options, info.className, info.name, info.model,
                            info.description});
    }
    if (total != nullptr)
        *total = reply->total;
    return kIOReturnSuccess;
}

kern_return_t ControlClient::listConnections(std::vector<ConnectionEntry>& connections, uint32_t* total)
{
    connections.clear();
    Framed<Kind::ListConnections> request;
    auto reply = std::make_unique<ConnectionList>();
    kern_return_t kr = exchange(&request, sizeof request, uint32_t(Kind::ConnectionList), reply.get(), sizeof *reply);
    if (kr != kIOReturnSuccess)
        return kr;
    if (reply->status != kIOReturnSuccess)
        return reply->status;
    for (uint32_t i = 0; i < std::min<uint32_t>(reply->count, kMaxListedConnections); ++i) {
        ConnectionInfo& info = reply->connections[i];
        if (!terminated(info.description))
            continue;
        ConnectionEntry e;
        e.id = info.id;
        e.serviceId = info.serviceId;
        e.pid = info.pid;
        e.type = info.type;
        e.terminated = (info.flags & kConnectionTerminated) != 0;
        e.pair[0] = info.pair[0];
        e.pair[1] = info.pair[1];
        e.description = info.description;
        connections.push_back(std::move(e));
    }
    if (total != nullptr)
        *total = reply->total;
    return kIOReturnSuccess;
}

kern_return_t ControlClient::plug(const std::string& model, uint32_t options, uint32_t& serviceId)
{
    serviceId = 0;
    if (model.empty() || model.size() >= kNameSize)
        return kIOReturnBadArgument;
    Framed<Kind::Plug> request;
    request.body.options = options;
    copyString(request.body.model, model);
    PlugReply reply{};
    kern_return_t kr = exchange(&request, sizeof request, uint32_t(Kind::PlugReply), &reply, sizeof reply);
    if (kr != kIOReturnSuccess)
        return kr;
    serviceId = reply.serviceId;
    return reply.status;
}

kern_return_t ControlClient::unplug(uint32_t serviceId)
{
    Framed<Kind::Unplug> request;
    request.body.serviceId = serviceId;
    StatusReply reply{};
    kern_return_t kr = exchange(&request, sizeof request, uint32_t(Kind::StatusReply), &reply, sizeof reply);
    return kr != kIOReturnSuccess ? kr : reply.status;
}

kern_return_t ControlClient::postEvent(uint32_t serviceId, uint32_t code, const EventParams& params)
{
    Framed<Kind::PostEvent> request;
    request.body.serviceId = serviceId;
    request.body.code = code;
    std::copy(params.begin(), params.end(), request.body.params);
    StatusReply reply{};
    kern_return_t kr = exchange(&request, sizeof request, uint32_t(Kind::StatusReply), &reply, sizeof reply);
    return kr != kIOReturnSuccess ? kr : reply.status;
}

kern_return_t ControlClient::configure(uint32_t serviceId, std::string_view key, std::string_view value)
{
    Framed<Kind::Configure> request;
    if (key.empty() || key.size() >= sizeof request.body.key || value.size() >= sizeof request.body.value)
        return kIOReturnBadArgument;
    request.body.serviceId = serviceId;
    copyString(request.body.key, key);
    copyString(request.body.value, value);
    StatusReply reply{};
    kern_return_t kr = exchange(&request, sizeof request, uint32_t(Kind::StatusReply), &reply, sizeof reply);
    return kr != kIOReturnSuccess ? kr : reply.status;
}

} // namespace kext
