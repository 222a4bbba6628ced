#include "kext/Service.h"

#include <cstring>

#include "device/KernelEvent.h"
#include "kext/Daemon.h"

namespace kext {

Service::Service(Daemon& daemon, uint32_t id, ServiceSetup&& setup, MemoryObject&& statusBlock,
                 std::unique_ptr<ServiceBehaviour> behaviour)
    : m_daemon(daemon), m_id(id), m_setup(std::move(setup)), m_statusBlock(std::move(statusBlock)),
      m_behaviour(std::move(behaviour))
{
}

Service::~Service() = default;

bool Service::postInterest(uint32_t messageType, std::span<const uint8_t> argument)
{
    return m_daemon.postInterest(*this, messageType, argument.data(), argument.size());
}

bool Service::postEvent(uint32_t code, const EventParams& params)
{
    KernelEvent event{};
    event.iSize = kKernelEventSize;
    event.iCode = code;
    std::memcpy(event.iParam, params.data(), sizeof event.iParam);
    uint8_t bytes[sizeof event];
    std::memcpy(bytes, &event, sizeof event);
    return m_daemon.postInterest(*this, kKernelEventMessage, bytes, sizeof bytes);
}

std::vector<std::shared_ptr<Connection>> Service::connections() const
{
    std::vector<std::shared_ptr<Connection>> result;
    for (const auto& weak : m_connections)
        if (auto c = weak.lock(); c && c->isOpen())
            result.push_back(std::move(c));
    return result;
}

void ServiceBehaviour::onUnplug(Service& service)
{
    service.postEvent(kEventDeviceGone);
}

kern_return_t ServiceBehaviour::onControlEvent(Service& service, uint32_t code, const EventParams& params)
{
    return service.postEvent(code, params) ? kIOReturnSuccess : kIOReturnNoDevice;
}

} // namespace kext
