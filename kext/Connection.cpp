#include "kext/Connection.h"

#include "kext/Daemon.h"

namespace kext {

Connection::Connection(Daemon& daemon, uint64_t session, uint32_t id, std::shared_ptr<Service> service,
                       pid_t pid, uid_t uid, uint32_t type, std::array<uint32_t, 2> pair)
    : m_daemon(daemon), m_session(session), m_id(id), m_service(std::move(service)), m_pid(pid),
      m_uid(uid), m_type(type), m_pair(pair)
{
}

Connection::~Connection() = default;

int Connection::ringIndex(uint32_t type)
{
    if (type == kMemoryInputRing)
        return 0;
    if (type == kMemoryOutputRing)
        return 1;
    return -1;
}

const MemoryObject* Connection::ringMemory(uint32_t type)
{
    int i = ringIndex(type);
    if (i < 0)
        return nullptr;
    MemoryObject& ring = m_rings[i];
    if (!ring.valid()) {
        size_t size = m_service->behaviour().ringSize(*this, type);
        if (!ring.create(i == 0 ? "tarsel-input-ring" : "tarsel-output-ring", size))
            return nullptr;
    }
    return &ring;
}

std::span<uint8_t> Connection::ring(uint32_t type)
{
    const MemoryObject* m = ringMemory(type);
    return m != nullptr ? m->bytes() : std::span<uint8_t>();
}

bool Connection::hasRing(uint32_t type) const
{
    int i = ringIndex(type);
    return i >= 0 && m_rings[i].valid();
}

void Connection::deferReply()
{
    if (m_inRequest)
        m_replyPending = true;
}

bool Connection::reply(kern_return_t status, const DriverRequest& record)
{
    if (!m_replyPending || m_inRequest)
        return false;
    m_replyPending = false;
    return m_daemon.replyDeferred(*this, status, record);
}

} // namespace kext
