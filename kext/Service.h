#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kext/MemoryObject.h"
#include "kext/ServiceBehaviour.h"

namespace kext {

// One simulated interface: a registry entry of the kernel driver's class with its status
// block. Owned by the daemon while plugged and by its connections for as long as they live.
class Service {
public:
    Service(Daemon& daemon, uint32_t id, ServiceSetup&& setup, MemoryObject&& statusBlock,
            std::unique_ptr<ServiceBehaviour> behaviour);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    uint32_t id() const { return m_id; }
    const std::string& className() const { return m_setup.className; }
    const std::string& name() const { return m_setup.name; }
    const std::string& model() const { return m_setup.model; }
    uint32_t options() const { return m_setup.options; }
    // Unplugged: no more notifications, requests or new mappings.
    bool terminated() const { return m_terminated; }

    Daemon& daemon() const { return m_daemon; }
    ServiceBehaviour& behaviour() const { return *m_behaviour; }
    // The daemon's own mapping of the status block every connection maps as type 1.
    std::span<uint8_t> statusBlock() const { return m_statusBlock.bytes(); }
    const MemoryObject& statusMemory() const { return m_statusBlock; }

    // Sends a message to every interest listener of the service. False once terminated or
    // when the argument is longer than an interest message carries (256 bytes).
    bool postInterest(uint32_t messageType, std::span<const uint8_t> argument);
    // A kernel event: the record {36, code, params...} as message kKernelEventMessage.
    bool postEvent(uint32_t code, const EventParams& params = {});

    // The connections that are open on this service.
    std::vector<std::shared_ptr<Connection>> connections() const;

private:
    friend class Daemon;
    Daemon& m_daemon;
    uint32_t m_id;
    ServiceSetup m_setup;
    MemoryObject m_statusBlock;
    std::unique_ptr<ServiceBehaviour> m_behaviour;
    bool m_terminated = false;
    std::vector<std::weak_ptr<Connection>> m_connections;
};

} // namespace kext
