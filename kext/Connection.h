#pragma once
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "kext/MemoryObject.h"
#include "kext/ServiceBehaviour.h"

namespace kext {

// What a behaviour keeps per connection (its client record, ...).
class ConnectionState {
public:
    virtual ~ConnectionState() = default;
};

// One user-client connection: what an IOServiceOpen made. It owns its input and output rings.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Daemon& daemon, uint64_t session, uint32_t id, std::shared_ptr<Service> service,
               pid_t pid, uid_t uid, uint32_t type, std::array<uint32_t, 2> pair);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    uint32_t id() const { return m_id; }
    Service& service() const { return *m_service; }
    const std::shared_ptr<Service>& serviceRef() const { return m_service; }
    // The client process, from the socket's credentials.
    pid_t pid() const { return m_pid; }
    uid_t uid() const { return m_uid; }
    // The user-client type passed to IOServiceOpen.
    uint32_t type() const { return m_type; }
    // A pair of words unique to this connection, never both zero (what request 27 answers).
    std::array<uint32_t, 2> pair() const { return m_pair; }
    // False once the client has closed the connection or died.
    bool isOpen() const { return m_session != 0; }

    // The ring of memory type 4 or 5, made on first use with the size the behaviour gives;
    // empty for other types or when it cannot be made.
    std::span<uint8_t> ring(uint32_t type);
    // The ring's memory object, made on first use; null for other types or on failure.
    const MemoryObject* ringMemory(uint32_t type);
    bool hasRing(uint32_t type) const;

    // Inside ServiceBehaviour::handleRequest: answer later, with reply().
    void deferReply();
    bool replyPending() const { return m_replyPending; }
    // The answer to a deferred request. False when none is pending or the client has gone.
    bool reply(kern_return_t status, const DriverRequest& record);

    ConnectionState* state() const { return m_state.get(); }
    void setState(std::unique_ptr<ConnectionState> state) { m_state = std::move(state); }

private:
    friend class Daemon;
    static int ringIndex(uint32_t type);

    Daemon& m_daemon;
    uint64_t m_session; // 0 once closed
    uint32_t m_id;
    std::shared_ptr<Service> m_service;
    pid_t m_pid;
    uid_t m_uid;
    uint32_t m_type;
    std::array<uint32_t, 2> m_pair;
    MemoryObject m_rings[2];
    bool m_inRequest = false;
    bool m_replyPending = false;
    std::unique_ptr<ConnectionState> m_state;
};

} // namespace kext
