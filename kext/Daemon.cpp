#include "kext/Daemon.h"

#include <IOKit/IOMessage.h>
#include <IOKit/IOTypes.h>
#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "KextSocket.h"
#include "KextWire.h"

namespace kext {

using namespace kextwire;

namespace {

constexpr const char* kClassName = "ZmKernelDeviceTARSEL";
constexpr const char* kDarwin8Suffix = "Tiger";
// Matching on the base class of every service finds them all.
constexpr const char* kBaseClassName = "IOService";
// A status block larger than this is a mistake of a behaviour, not a model.
constexpr size_t kMaxStatusBlockSize = 64 << 20;

uint64_t randomWord()
{
    uint64_t value = 0;
    while (value == 0) {
        if (getrandom(&value, sizeof value, 0) != ssize_t(sizeof value))
            value = uint64_t(g_get_monotonic_time()) * 0x9E3779B97F4A7C15ull ^ uint64_t(getpid());
    }
    return value;
}

bool matchesClass(const Service& service, const char* className)
{
    return service.className() == className || std::strcmp(className, kBaseClassName) == 0;
}

void fillRecord(ServiceRecord& record, const Service& service)
{
    record.id = service.id();
    copyString(record.className, service.className());
    copyString(record.name, service.name());
}

} // namespace

struct Daemon::Session {
    Daemon* daemon = nullptr;
    uint64_t id = 0;
    int fd = -1;
    pid_t pid = 0;
    uid_t uid = 0;
    GSource* readSource = nullptr;
    GSource* writeSource = nullptr;
    bool closing = false;
    bool hello = false;
    SessionType type = SessionType::Registry;

    // Port sessions
    uint64_t portToken = 0;
    struct Matching {
        uint32_t type;
        std::string className;
    };
    std::map<uint32_t, Matching> matching; // notifyId -> listener
    std::map<uint32_t, uint32_t> interest; // notifyId -> service id

    // UserClient sessions
    std::shared_ptr<Connection> connection;

    // Messages the socket could not take yet.
    struct Queued {
        std::vector<uint8_t> bytes;
        int fd = -1;
    };
    std::deque<Queued> queue;
    size_t queuedBytes = 0;

    size_t listeners() const { return matching.size() + interest.size(); }
};

struct Daemon::Timer {
    Daemon* daemon;
    std::function<bool()> fn;
};

Daemon::Daemon(std::unique_ptr<BehaviourFactory> factory, GMainContext* context)
    : Daemon(std::move(factory), context, Options{})
{
}

Daemon::Daemon(std::unique_ptr<BehaviourFactory> factory, GMainContext* context, Options options)
    : m_factory(std::move(factory)),
      m_context(context != nullptr ? g_main_context_ref(context) : g_main_context_ref_thread_default()),
      m_options(options)
{
    init();
}

// Marks a call from outside (a GLib callback, a public entry): sessions that died during it
// are reaped when the outermost one ends, never under a caller that may still use them.
struct Daemon::Busy {
    Daemon& d;
    explicit Busy(Daemon& daemon) : d(daemon) { ++d.m_depth; }
    ~Busy()
    {
        if (--d.m_depth == 0)
            d.reap();
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
};

void Daemon::init()
{
    m_instance = m_options.deterministic ? 1 : randomWord();
    m_buffer.resize(kMaxMessageSize + 1);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd >= 0) {
        m_wakeSource = g_unix_fd_source_new(m_wakeFd, G_IO_IN);
        g_source_set_callback(m_wakeSource, G_SOURCE_FUNC(onWake), this, nullptr);
        g_source_attach(m_wakeSource, m_context);
    }
}

Daemon::~Daemon()
{
    if (m_listenSource != nullptr) {
        g_source_destroy(m_listenSource);
        g_source_unref(m_listenSource);
    }
    if (m_listenFd >= 0) {
        close(m_listenFd);
        unlink(m_path.c_str());
    }
    for (auto& [id, session] : m_sessions)
        markClosing(*session);
    reap();
    m_services.clear();
    if (m_wakeSource != nullptr) {
        g_source_destroy(m_wakeSource);
        g_source_unref(m_wakeSource);
    }
    std::lock_guard<std::mutex> guard(m_invokeLock);
    if (m_wakeFd >= 0)
        close(m_wakeFd);
    m_wakeFd = -1;
    g_main_context_unref(m_context);
}

uint64_t Daemon::nextToken()
{
    return m_options.deterministic ? ++m_counter : randomWord();
}

// ---------------------------------------------------------------------------------------------
// Listening and sessions

bool Daemon::listen(const std::string& path, std::string& error)
{
    if (m_listenFd >= 0) {
        error = "already listening";
        return false;
    }
    sockaddr_un address;
    if (!makeAddress(path, address)) {
        error = "socket path too long: " + path;
        return false;
    }
    // The fallback folder in /tmp is ours alone; one that someone else made is refused.
    std::string folder = path.substr(0, path.rfind('/'));
    std::string fallback = "/tmp/tarsel-kext-" + std::to_string(getuid());
    if (folder == fallback) {
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make " + folder + ": " + std::strerror(errno);
            return false;
        }
        struct stat st;
        if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()
            || (st.st_mode & 077) != 0) {
            error = folder + " is not a private folder of this user";
            return false;
        }
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        int probe = connectTo(path);
        if (probe >= 0) {
            close(probe);
            error = "another daemon serves " + path;
            return false;
        }
        unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    // The file bind makes takes the socket's mode: owner only, without touching the umask.
    fchmod(fd, 0600);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || chmod(path.c_str(), 0600) != 0 || ::listen(fd, 64) != 0) {
        error = "cannot serve " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    m_listenFd = fd;
    m_path = path;
    m_listenSource = g_unix_fd_source_new(fd, G_IO_IN);
    g_source_set_callback(m_listenSource, G_SOURCE_FUNC(onListenReady), this, nullptr);
    g_source_attach(m_listenSource, m_context);
    return true;
}

gboolean Daemon::onListenReady(gint fd, GIOCondition, gpointer data)
{
    Daemon& d = *static_cast<Daemon*>(data);
    Busy busy(d);
    for (int i = 0; i < 16; ++i) {
        int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            break;
        ucred cred{};
        socklen_t length = sizeof cred;
        bool ok = getsockopt(client, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0
            && length == sizeof cred && cred.uid == getuid() && d.m_sessions.size() < kMaxSessions;
        if (!ok) {
            close(client);
            continue;
        }
        d.adoptClient(client, cred.pid, cred.uid);
    }
    return G_SOURCE_CONTINUE;
}

uint64_t Daemon::adoptClient(int fd, pid_t pid, uid_t uid)
{
    auto s = std::make_unique<Session>();
    s->daemon = this;
    s->id = m_nextSession++;
    s->fd = fd;
    s->pid = pid;
    s->uid = uid;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    s->readSource = g_unix_fd_source_new(fd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_callback(s->readSource, G_SOURCE_FUNC(onSessionReady), s.get(), nullptr);
    g_source_attach(s->readSource, m_context);
    uint64_t id = s->id;
    m_sessions.emplace(id, std::move(s));
    return id;
}

Daemon::Session* Daemon::find(uint64_t id) const
{
    auto it = m_sessions.find(id);
    return it != m_sessions.end() && !it->second->closing ? it->second.get() : nullptr;
}

Daemon::Session* Daemon::findPort(uint64_t token) const
{
    auto it = m_portsByToken.find(token);
    return it != m_portsByToken.end() ? find(it->second) : nullptr;
}

bool Daemon::hasSession(uint64_t session) const
{
    return find(session) != nullptr;
}

void Daemon::closeSession(uint64_t session)
{
    Busy busy(*this);
    if (Session* s = find(session))
        markClosing(*s);
}

gboolean Daemon::onSessionReady(gint fd, GIOCondition, gpointer data)
{
    Session& s = *static_cast<Session*>(data);
    Daemon& d = *s.daemon;
    Busy busy(d); // `s` lives until this ends
    // A bounded number per wake-up, so one busy client cannot starve the others.
    for (int i = 0; i < 32 && !s.closing; ++i) {
        int fds[kMaxFds];
        size_t fdCount = 0;
        ssize_t n = receiveDatagram(fd, d.m_buffer.data(), d.m_buffer.size(), fds, fdCount, false);
        if (n < 0 && n != -2 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) { // closed, failed, or too long
            d.markClosing(s);
            break;
        }
        d.receive(s, d.m_buffer.data(), size_t(n), fds, fdCount);
    }
    return G_SOURCE_CONTINUE;
}

bool Daemon::deliver(uint64_t session, const uint8_t* bytes, size_t size, const int* fds, size_t fdCount)
{
    Busy busy(*this);
    Session* s = find(session);
    if (s == nullptr) {
        closeAll(fds, fdCount);
        return false;
    }
    return receive(*s, bytes, size, fds, fdCount);
}

bool Daemon::receive(Session& s, const uint8_t* bytes, size_t size, const int* fds, size_t fdCount)
{
    // No message to the daemon carries descriptors.
    closeAll(fds, fdCount);
    bool ok = !s.closing && fdCount == 0 && handle(s, bytes, size);
    if (!ok)
        markClosing(s);
    return ok;
}

void Daemon::markClosing(Session& s)
{
    if (!s.closing) {
        s.closing = true;
        m_closing.push_back(s.id);
    }
}

void Daemon::reap()
{
    if (m_reaping)
        return;
    m_reaping = true;
    ++m_depth;
    // Closing a connection runs its behaviour, which may post events that close more.
    while (!m_closing.empty()) {
        uint64_t id = m_closing.front();
        m_closing.erase(m_closing.begin());
        auto it = m_sessions.find(id);
        if (it == m_sessions.end())
            continue;
        std::unique_ptr<Session> s = std::move(it->second);
        m_sessions.erase(it);
        for (GSource* source : {s->readSource, s->writeSource}) {
            if (source != nullptr) {
                g_source_destroy(source);
                g_source_unref(source);
            }
        }
        if (s->portToken != 0)
            m_portsByToken.erase(s->portToken);
        for (auto& q : s->queue)
            if (q.fd >= 0)
                close(q.fd);
        close(s->fd);
        if (s->connection)
            detachConnection(*s);
    }
    --m_depth;
    m_reaping = false;
}

void Daemon::detachConnection(Session& s)
{
    std::shared_ptr<Connection> c = std::move(s.connection);
    c->m_session = 0;
    c->m_replyPending = false;
    Service& service = c->service();
    std::erase_if(service.m_connections, [&](const std::weak_ptr<Connection>& w) {
        auto locked = w.lock();
        return !locked || locked == c;
    });
    service.behaviour().onConnectionClosed(*c);
}

// ---------------------------------------------------------------------------------------------
// Sending

void Daemon::send(Session& s, const void* bytes, size_t size, int passFd, bool droppable)
{
    if (s.closing)
        return;
    if (s.queue.empty()) {
        int rc = sendDatagram(s.fd, bytes, size, passFd, false);
        if (rc == 0)
            return;
        if (rc != EAGAIN && rc != EWOULDBLOCK && rc != ENOBUFS) {
            markClosing(s);
            return;
        }
    }
    if (s.queuedBytes + size > kMaxQueuedBytes) {
        // A port whose owner does not read loses messages, as a full Mach queue does; a
        // client that does not read its replies is broken.
        if (droppable)
            ++m_dropped;
        else
            markClosing(s);
        return;
    }
    Session::Queued q;
    q.bytes.assign(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
    if (passFd >= 0) {
        q.fd = fcntl(passFd, F_DUPFD_CLOEXEC, 0);
        if (q.fd < 0) {
            markClosing(s);
            return;
        }
    }
    s.queuedBytes += size;
    s.queue.push_back(std::move(q));
    if (s.writeSource == nullptr) {
        s.writeSource = g_unix_fd_source_new(s.fd, G_IO_OUT);
        g_source_set_callback(s.writeSource, G_SOURCE_FUNC(onSessionWritable), &s, nullptr);
        g_source_attach(s.writeSource, m_context);
    }
}

void Daemon::flush(Session& s)
{
    while (!s.queue.empty() && !s.closing) {
        Session::Queued& q = s.queue.front();
        int rc = sendDatagram(s.fd, q.bytes.data(), q.bytes.size(), q.fd, false);
        if (rc == EAGAIN || rc == EWOULDBLOCK || rc == ENOBUFS)
            return;
        if (rc != 0) {
            markClosing(s);
            return;
        }
        if (q.fd >= 0)
            close(q.fd);
        s.queuedBytes -= q.bytes.size();
        s.queue.pop_front();
    }
    if (s.writeSource != nullptr) {
        g_source_destroy(s.writeSource);
        g_source_unref(s.writeSource);
        s.writeSource = nullptr;
    }
}

gboolean Daemon::onSessionWritable(gint, GIOCondition, gpointer data)
{
    Session& s = *static_cast<Session*>(data);
    Daemon& d = *s.daemon;
    Busy busy(d);
    d.flush(s); // may destroy this source; returning CONTINUE from it is still fine
    return G_SOURCE_CONTINUE;
}

// ---------------------------------------------------------------------------------------------
// Messages

bool Daemon::handle(Session& s, const uint8_t* bytes, size_t size)
{
    Kind kind;
    if (!readHeader(bytes, size, kind))
        return false;
    if (!s.hello)
        return kind == Kind::Hello && onHello(s, bytes);
    switch (s.type) {
    case SessionType::Registry:
        return onRegistry(s, int(kind), bytes);
    case SessionType::UserClient:
        return onUserClient(s, int(kind), bytes);
    case SessionType::Control:
        return onControl(s, int(kind), bytes);
    case SessionType::Port:
        return false; // a port only listens
    }
    return false;
}

bool Daemon::onHello(Session& s, const uint8_t* bytes)
{
    Hello hello;
    readPayload<Kind::Hello>(bytes, hello);
    Framed<Kind::HelloReply> reply;
    reply.body.instance = m_instance;
    if (hello.version != kVersion) {
        reply.body.status = kIOReturnUnsupported;
        send(s, &reply, sizeof reply);
        return false;
    }
    s.hello = true;
    switch (SessionType(hello.session)) {
    case SessionType::Registry:
    case SessionType::Control:
        if (hello.instance != 0 || hello.serviceId != 0 || hello.type != 0)
            return false;
        s.type = SessionType(hello.session);
        break;
    case SessionType::Port:
        if (hello.instance != 0 || hello.serviceId != 0 || hello.type != 0)
            return false;
        s.type = SessionType::Port;
        do
            s.portToken = nextToken();
        while (m_portsByToken.count(s.portToken) != 0);
        m_portsByToken[s.portToken] = s.id;
        reply.body.portToken = s.portToken;
        break;
    case SessionType::UserClient: {
        s.type = SessionType::UserClient;
        auto it = m_services.find(hello.serviceId);
        if (hello.instance != m_instance || it == m_services.end()) {
            reply.body.status = kIOReturnNoDevice;
            send(s, &reply, sizeof reply);
            return false;
        }
        std::shared_ptr<Service> service = it->second;
        uint32_t id = m_nextConnectionId++;
        if (m_nextConnectionId == 0)
            m_nextConnectionId = 1;
        // The second word makes the pair hard to guess; never zero, so the pair never is.
        uint32_t salt = uint32_t(nextToken()) | 0x10000u;
        auto c = std::make_shared<Connection>(*this, s.id, id, service, s.pid, s.uid, hello.type,
                                              std::array<uint32_t, 2>{id, salt});
        kern_return_t kr = service->behaviour().onOpen(*c);
        if (kr != kIOReturnSuccess) {
            c->m_session = 0;
            reply.body.status = kr;
            send(s, &reply, sizeof reply);
            return false;
        }
        s.connection = c;
        service->m_connections.push_back(c);
        break;
    }
    default:
        return false;
    }
    reply.body.status = kIOReturnSuccess;
    send(s, &reply, sizeof reply);
    return true;
}

bool Daemon::onRegistry(Session& s, int kind, const uint8_t* bytes)
{
    switch (Kind(kind)) {
    case Kind::GetServices: {
        GetServices request;
        readPayload<Kind::GetServices>(bytes, request);
        if (!terminated(request.className))
            return false;
        auto reply = std::make_unique<Framed<Kind::ServicesReply>>();
        for (const auto& [id, service] : m_services)
            if (matchesClass(*service, request.className) && reply->body.count < kMaxServices)
                fillRecord(reply->body.services[reply->body.count++], *service);
        send(s, reply.get(), sizeof *reply);
        return true;
    }
    case Kind::AddMatching: {
        AddMatching request;
        readPayload<Kind::AddMatching>(bytes, request);
        if (!terminated(request.className))
            return false;
        auto reply = std::make_unique<Framed<Kind::ServicesReply>>();
        Session* port = findPort(request.portToken);
        if (request.type != kMatchPublish && request.type != kMatchTerminate) {
            reply->body.status = kIOReturnBadArgument;
        } else if (port == nullptr || port->pid != s.pid) {
            reply->body.status = kIOReturnBadArgument;
        } else if (port->matching.count(request.notifyId) || port->interest.count(request.notifyId)) {
            reply->body.status = kIOReturnBadArgument;
        } else if (port->listeners() >= kMaxListenersPerPort) {
            reply->body.status = kIOReturnNoResources;
        } else {
            port->matching[request.notifyId] = {request.type, request.className};
            // A publish notification starts with what is already there; the daemon is single
            // threaded, so nothing can be published between this list and the listener.
            if (request.type == kMatchPublish)
                for (const auto& [id, service] : m_services)
                    if (matchesClass(*service, request.className) && reply->body.count < kMaxServices)
                        fillRecord(reply->body.services[reply->body.count++], *service);
        }
        send(s, reply.get(), sizeof *reply);
        return true;
    }
    case Kind::AddInterest: {
        AddInterest request;
        readPayload<Kind::AddInterest>(bytes, request);
        Framed<Kind::StatusReply> reply;
        Session* port = findPort(request.portToken);
        if (port == nullptr || port->pid != s.pid
            || port->matching.count(request.notifyId) || port->interest.count(request.notifyId))
            reply.body.status = kIOReturnBadArgument;
        else if (m_services.count(request.serviceId) == 0)
            reply.body.status = kIOReturnNoDevice;
        else if (port->listeners() >= kMaxListenersPerPort)
            reply.body.status = kIOReturnNoResources;
        else
            port->interest[request.notifyId] = request.serviceId;
        send(s, &reply, sizeof reply);
        return true;
    }
    case Kind::RemoveNotification: {
        RemoveNotification request;
        readPayload<Kind::RemoveNotification>(bytes, request);
        Session* port = findPort(request.portToken);
        if (port != nullptr && port->pid == s.pid) {
            port->matching.erase(request.notifyId);
            port->interest.erase(request.notifyId);
        }
        return true;
    }
    default:
        return false;
    }
}

bool Daemon::onUserClient(Session& s, int kind, const uint8_t* bytes)
{
    Connection& c = *s.connection;
    if (c.m_replyPending)
        return false; // a client sends its next request only after the answer
    Service& service = c.service();
    switch (Kind(kind)) {
    case Kind::Method: {
        Method request;
        readPayload<Kind::Method>(bytes, request);
        if (request.inputSize > kMaxStructSize || request.outputSize > kMaxStructSize || request.reserved != 0)
            return false;
        Framed<Kind::MethodReply> reply;
        if (service.terminated()) {
            reply.body.status = kIOReturnNoDevice;
        } else if (request.selector != 0) {
            reply.body.status = kIOReturnUnsupported;
        } else if (request.inputSize != kDriverRequestSize || request.outputSize != kDriverRequestSize) {
            reply.body.status = kIOReturnBadArgument;
        } else {
            DriverRequest record;
            std::memcpy(&record, request.input, sizeof record);
            std::shared_ptr<Connection> keep = s.connection;
            c.m_inRequest = true;
            kern_return_t kr = service.behaviour().handleRequest(c, record);
            c.m_inRequest = false;
            if (c.m_replyPending)
                return true;
            reply.body.status = kr;
            reply.body.outputSize = kDriverRequestSize;
            std::memcpy(reply.body.output, &record, sizeof record);
        }
        send(s, &reply, sizeof reply);
        return true;
    }
    case Kind::MapMemory: {
        MapMemory request;
        readPayload<Kind::MapMemory>(bytes, request);
        Framed<Kind::MapReply> reply;
        const MemoryObject* memory = nullptr;
        if (service.terminated())
            reply.body.status = kIOReturnNoDevice;
        else if (request.type == kMemoryStatusBlock)
            memory = &service.statusMemory();
        else if (request.type == kMemoryInputRing || request.type == kMemoryOutputRing) {
            memory = c.ringMemory(request.type);
            if (memory == nullptr)
                reply.body.status = kIOReturnNoMemory;
        } else
            reply.body.status = kIOReturnUnsupported;
        if (memory != nullptr && !memory->valid()) {
            reply.body.status = kIOReturnNoMemory;
            memory = nullptr;
        }
        send(s, &reply, sizeof reply, memory != nullptr ? memory->fd() : -1);
        return true;
    }
    default:
        return false;
    }
}

bool Daemon::replyDeferred(Connection& connection, kern_return_t status, const DriverRequest& record)
{
    Busy busy(*this);
    Session* s = find(connection.m_session);
    if (s == nullptr)
        return false;
    Framed<Kind::MethodReply> reply;
    reply.body.status = status;
    reply.body.outputSize = kDriverRequestSize;
    std::memcpy(reply.body.output, &record, sizeof record);
    send(*s, &reply, sizeof reply);
    return true;
}

bool Daemon::onControl(Session& s, int kind, const uint8_t* bytes)
{
    switch (Kind(kind)) {
    case Kind::ListServices: {
        ListRequest request;
        readPayload<Kind::ListServices>(bytes, request);
        if (request.reserved[0] != 0 || request.reserved[1] != 0)
            return false;
        auto reply = std::make_unique<Framed<Kind::ServiceList>>();
        reply->body.total = uint32_t(m_services.size());
        for (const auto& [id, service] : m_services) {
            if (reply->body.count >= kMaxServices)
                break;
            ServiceInfo& info = reply->body.services[reply->body.count++];
            info.id = id;
            info.connections = uint32_t(service->connections().size());
            info.options = service->options();
            copyString(info.className, service->className());
            copyString(info.name, service->name());
            copyString(info.model, service->model());
            copyString(info.description, service->behaviour().describe(*service));
        }
        send(s, reply.get(), sizeof *reply);
        return true;
    }
    case Kind::ListConnections: {
        ListRequest request;
        readPayload<Kind::ListConnections>(bytes, request);
        if (request.reserved[0] != 0 || request.reserved[1] != 0)
            return false;
        auto reply = std::make_unique<Framed<Kind::ConnectionList>>();
        auto all = connections();
        reply->body.total = uint32_t(all.size());
        for (const auto& c : all) {
            if (reply->body.count >= kMaxListedConnections)
                break;
            ConnectionInfo& info = reply->body.connections[reply->body.count++];
            info.id = c->id();
            info.serviceId = c->service().id();
            info.pid = c->pid();
            info.type = c->type();
            info.flags = c->service().terminated() ? uint32_t(kConnectionTerminated) : 0u;
            info.pair[0] = c->pair()[0];
            info.pair[1] = c->pair()[1];
            copyString(info.description, c->service().behaviour().describe(*c));
        }
        send(s, reply.get(), sizeof *reply);
        return true;
    }
    case Kind::Plug: {
        Plug request;
        readPayload<Kind::Plug>(bytes, request);
        if (!terminated(request.model) || request.reserved != 0)
            return false;
        Framed<Kind::PlugReply> reply;
        reply.body.status = plug(request.model, request.options, &reply.body.serviceId);
        send(s, &reply, sizeof reply);
        return true;
    }
    case Kind::Unplug: {
        Unplug request;
        readPayload<Kind::Unplug>(bytes, request);
        if (request.reserved != 0)
            return false;
        Framed<Kind::StatusReply> reply;
        reply.body.status = unplug(request.serviceId);
        send(s, &reply, sizeof reply);
        return true;
    }
    case Kind::PostEvent: {
        PostEvent request;
        readPayload<Kind::PostEvent>(bytes, request);
        if (request.reserved != 0)
            return false;
        Framed<Kind::StatusReply> reply;
        auto it = m_services.find(request.serviceId);
        if (it == m_services.end()) {
            reply.body.status = kIOReturnNoDevice;
        } else {
            EventParams params;
            std::copy(std::begin(request.params), std::end(request.params), params.begin());
            std::shared_ptr<Service> service = it->second;
            reply.body.status = service->behaviour().onControlEvent(*service, request.code, params);
        }
        send(s, &reply, sizeof reply);
        return true;
    }
    case Kind::Configure: {
        Configure request;
        readPayload<Kind::Configure>(bytes, request);
        if (!terminated(request.key) || !terminated(request.value) || request.reserved != 0)
            return false;
        Framed<Kind::StatusReply> reply;
        reply.body.status = configure(request.serviceId, request.key, request.value);
        send(s, &reply, sizeof reply);
        return true;
    }
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Services

kern_return_t Daemon::plug(const std::string& model, uint32_t options, uint32_t* id)
{
    Busy busy(*this);
    if (id != nullptr)
        *id = 0;
    if ((options & ~uint32_t(kPlugDarwin8)) != 0 || model.empty())
        return kIOReturnBadArgument;
    if (m_services.size() >= kMaxServices)
        return kIOReturnNoResources;
    ServiceSetup setup;
    setup.model = model;
    setup.options = options;
    setup.className = kClassName;
    if (options & kPlugDarwin8)
        setup.className += kDarwin8Suffix;
    setup.name = setup.className;
    std::unique_ptr<ServiceBehaviour> behaviour = m_factory->create(setup);
    if (!behaviour)
        return kIOReturnNotFound;
    if (setup.className.empty() || setup.className.size() >= kNameSize || setup.name.size() >= kNameSize
        || setup.statusBlockSize > kMaxStatusBlockSize)
        return kIOReturnBadArgument;
    MemoryObject statusBlock;
    if (!statusBlock.create("tarsel-status-block", setup.statusBlockSize))
        return kIOReturnNoMemory;
    uint32_t serviceId = m_nextServiceId++;
    auto service = std::make_shared<Service>(*this, serviceId, std::move(setup), std::move(statusBlock),
                                             std::move(behaviour));
    service->behaviour().onPlugged(*service);
    m_services[serviceId] = service;

    Framed<Kind::MatchNotify> notify;
    fillRecord(notify.body.service, *service);
    for (auto& [sid, s] : m_sessions) {
        if (s->closing || s->type != SessionType::Port)
            continue;
        for (const auto& [notifyId, listener] : s->matching) {
            if (listener.type == kMatchPublish && matchesClass(*service, listener.className.c_str())) {
                notify.body.notifyId = notifyId;
                send(*s, &notify, sizeof notify, -1, true);
            }
        }
    }
    if (id != nullptr)
        *id = serviceId;
    return kIOReturnSuccess;
}

kern_return_t Daemon::unplug(uint32_t id)
{
    Busy busy(*this);
    auto it = m_services.find(id);
    if (it == m_services.end())
        return kIOReturnNoDevice;
    std::shared_ptr<Service> service = it->second;
    service->behaviour().onUnplug(*service);
    service->postInterest(kIOMessageServiceIsTerminated, {});
    service->m_terminated = true;
    m_services.erase(id);

    Framed<Kind::MatchNotify> notify;
    fillRecord(notify.body.service, *service);
    for (auto& [sid, s] : m_sessions) {
        if (s->closing || s->type != SessionType::Port)
            continue;
        std::erase_if(s->interest, [&](const auto& entry) { return entry.second == id; });
        for (const auto& [notifyId, listener] : s->matching) {
            if (listener.type == kMatchTerminate && matchesClass(*service, listener.className.c_str())) {
                notify.body.notifyId = notifyId;
                send(*s, &notify, sizeof notify, -1, true);
            }
        }
    }
    return kIOReturnSuccess;
}

std::shared_ptr<Service> Daemon::service(uint32_t id) const
{
    auto it = m_services.find(id);
    return it != m_services.end() ? it->second : nullptr;
}

std::vector<std::shared_ptr<Service>> Daemon::services() const
{
    std::vector<std::shared_ptr<Service>> result;
    for (const auto& [id, service] : m_services)
        result.push_back(service);
    return result;
}

std::vector<std::shared_ptr<Connection>> Daemon::connections() const
{
    std::vector<std::shared_ptr<Connection>> result;
    for (const auto& [id, s] : m_sessions)
        if (!s->closing && s->connection)
            result.push_back(s->connection);
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return a->id() < b->id(); });
    return result;
}

kern_return_t Daemon::configure(uint32_t serviceId, std::string_view key, std::string_view value)
{
    Busy busy(*this);
    kern_return_t kr;
    if (serviceId == 0) {
        kr = m_factory->configure(*this, key, value);
    } else {
        std::shared_ptr<Service> s = service(serviceId);
        kr = s ? s->behaviour().configure(*s, key, value) : kIOReturnNoDevice;
    }
    return kr;
}

bool Daemon::postInterest(Service& service, uint32_t messageType, const uint8_t* argument, size_t size)
{
    Busy busy(*this);
    if (service.terminated() || size > kMaxMessageArgument)
        return false;
    Framed<Kind::InterestNotify> notify;
    notify.body.serviceId = service.id();
    notify.body.messageType = messageType;
    notify.body.argumentLength = uint32_t(size);
    if (size > 0)
        std::memcpy(notify.body.argument, argument, size);
    for (auto& [sid, s] : m_sessions) {
        if (s->closing || s->type != SessionType::Port)
            continue;
        for (const auto& [notifyId, serviceId] : s->interest) {
            if (serviceId == service.id()) {
                notify.body.notifyId = notifyId;
                send(*s, &notify, sizeof notify, -1, true);
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Work from other threads, timers

void Daemon::invoke(std::function<void()> fn)
{
    // The wake-up is written under the lock too: the daemon's thread may be ending, and its
    // destructor closes the descriptor only under this lock.
    std::lock_guard<std::mutex> guard(m_invokeLock);
    m_invoked.push_back(std::move(fn));
    uint64_t one = 1;
    if (m_wakeFd >= 0)
        (void)!write(m_wakeFd, &one, sizeof one);
}

gboolean Daemon::onWake(gint fd, GIOCondition, gpointer data)
{
    Daemon& d = *static_cast<Daemon*>(data);
    uint64_t count;
    (void)!read(fd, &count, sizeof count);
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> guard(d.m_invokeLock);
            if (d.m_invoked.empty())
                break;
            fn = std::move(d.m_invoked.front());
            d.m_invoked.pop_front();
        }
        Busy busy(d);
        fn();
    }
    return G_SOURCE_CONTINUE;
}

guint Daemon::addTimeout(unsigned ms, std::function<bool()> fn)
{
    GSource* source = g_timeout_source_new(ms);
    auto* timer = new Timer{this, std::move(fn)};
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            Timer& t = *static_cast<Timer*>(data);
            Busy busy(*t.daemon);
            bool again = t.fn();
            return again ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
        },
        timer, [](gpointer data) { delete static_cast<Timer*>(data); });
    guint id = g_source_attach(source, m_context);
    g_source_unref(source);
    return id;
}

void Daemon::removeTimeout(guint id)
{
    if (GSource* source = g_main_context_find_source_by_id(m_context, id))
        g_source_destroy(source);
}

} // namespace kext
