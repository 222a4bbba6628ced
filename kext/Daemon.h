#pragma once
// The simulated kernel driver's transport: a single-threaded server on a GLib main context.
//
// Each client socket is a session whose first message (Hello) makes it a registry link, a
// notification port, a user-client connection or a control session (see KextWire.h). Every
// message is checked against its kind's exact size and every field before use; a malformed
// message closes that session only. Sessions that die are reaped after the current callback:
// a connection's behaviour hears onConnectionClosed, its memory objects go with the last
// reference to it.
//
// Everything here runs on the thread that iterates the context, except invoke(), which any
// thread may call.
#include <glib.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kext/Connection.h"
#include "kext/Service.h"
#include "kext/ServiceBehaviour.h"

namespace kext {

class Daemon {
public:
    struct Options {
        // Instance and port tokens from a counter instead of the random source, so a recorded
        // message sequence replays the same way (the fuzzer). Never for a served socket.
        bool deterministic = false;
    };

    // Serves on `context` (the thread-default context when null).
    explicit Daemon(std::unique_ptr<BehaviourFactory> factory, GMainContext* context = nullptr);
    Daemon(std::unique_ptr<BehaviourFactory> factory, GMainContext* context, Options options);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Binds the socket at `path` and serves it. The socket file is the owner's only; the
    // folder of the fallback path is made with mode 0700. A socket file left by a daemon that
    // has gone is replaced; one that answers is not. False with a reason in `error`.
    bool listen(const std::string& path, std::string& error);
    const std::string& path() const { return m_path; }
    GMainContext* context() const { return m_context; }
    // Random per run; service ids are valid only within one instance.
    uint64_t instance() const { return m_instance; }

    // Services. plug asks the factory for `model`: kIOReturnNotFound for an unknown model,
    // kIOReturnNoResources when kextwire::kMaxServices are plugged.
    kern_return_t plug(const std::string& model, uint32_t options, uint32_t* id = nullptr);
    // Lets the behaviour post its interface-gone event, then terminates the service:
    // kIOMessageServiceIsTerminated to its interest listeners, terminate notifications to
    // matching listeners. Its connections stay until closed and answer kIOReturnNoDevice.
    kern_return_t unplug(uint32_t id);
    std::shared_ptr<Service> service(uint32_t id) const; // a plugged service, or null
    std::vector<std::shared_ptr<Service>> services() const;
    std::vector<std::shared_ptr<Connection>> connections() const; // open ones, by id
    // serviceId 0: the factory's setting; otherwise the service behaviour's.
    kern_return_t configure(uint32_t serviceId, std::string_view key, std::string_view value);
    BehaviourFactory& factory() const { return *m_factory; }

    // Runs `fn` on the daemon's thread. Safe from any thread; the only call that is.
    void invoke(std::function<void()> fn);
    // Runs `fn` on the daemon's thread every `ms` milliseconds while it returns true.
    guint addTimeout(unsigned ms, std::function<bool()> fn);
    void removeTimeout(guint id);

    // Sessions, for the listener and for tests and the fuzzer: adopts a connected socket
    // (owned from now on) as a client session and returns its id.
    uint64_t adoptClient(int fd, pid_t pid, uid_t uid);
    // Serves one message of a session as if it had been received, with the descriptors that
    // came with it (always closed). False when the message was malformed: the session is
    // closed (as it is whenever its socket closes).
    bool deliver(uint64_t session, const uint8_t* bytes, size_t size, const int* fds, size_t fdCount);
    bool hasSession(uint64_t session) const;
    void closeSession(uint64_t session);
    size_t sessionCount() const { return m_sessions.size(); }
    // Messages to notification ports that were dropped because the client did not read them.
    uint64_t droppedMessages() const { return m_dropped; }

    static constexpr size_t kMaxSessions = 1024;
    static constexpr size_t kMaxListenersPerPort = 512;
    static constexpr size_t kMaxQueuedBytes = 4 << 20;

private:
    friend class Service;
    friend class Connection;
    struct Session;
    struct Timer;
    struct Busy;

    void init();
    uint64_t nextToken();
    Session* find(uint64_t id) const;
    Session* findPort(uint64_t token) const;

    bool receive(Session& s, const uint8_t* bytes, size_t size, const int* fds, size_t fdCount);
    bool handle(Session& s, const uint8_t* bytes, size_t size);
    bool onHello(Session& s, const uint8_t* bytes);
    bool onRegistry(Session& s, int kind, const uint8_t* bytes);
    bool onUserClient(Session& s, int kind, const uint8_t* bytes);
    bool onControl(Session& s, int kind, const uint8_t* bytes);

    // Sends one message; a full socket queues it. `droppable` messages (notifications) are
    // dropped when a session's queue is full; anything else then closes the session.
    void send(Session& s, const void* bytes, size_t size, int passFd = -1, bool droppable = false);
    void flush(Session& s);
    void markClosing(Session& s);
    void reap();

    bool postInterest(Service& service, uint32_t messageType, const uint8_t* argument, size_t size);
    bool replyDeferred(Connection& connection, kern_return_t status, const DriverRequest& record);
    void detachConnection(Session& s);

    static gboolean onListenReady(gint fd, GIOCondition condition, gpointer data);
    static gboolean onSessionReady(gint fd, GIOCondition condition, gpointer data);
    static gboolean onSessionWritable(gint fd, GIOCondition condition, gpointer data);
    static gboolean onWake(gint fd, GIOCondition condition, gpointer data);

    std::unique_ptr<BehaviourFactory> m_factory;
    GMainContext* m_context;
    Options m_options;
    uint64_t m_instance = 0;
    uint64_t m_counter = 0;

    std::string m_path;
    int m_listenFd = -1;
    GSource* m_listenSource = nullptr;

    std::map<uint64_t, std::unique_ptr<Session>> m_sessions;
    std::map<uint64_t, uint64_t> m_portsByToken; // token -> session
    std::vector<uint64_t> m_closing;
    uint64_t m_nextSession = 1;
    std::vector<uint8_t> m_buffer;
    bool m_reaping = false;
    int m_depth = 0;

    std::map<uint32_t, std::shared_ptr<Service>> m_services;
    uint32_t m_nextServiceId = 1;
    uint32_t m_nextConnectionId = 1;
    uint64_t m_dropped = 0;

    // invoke(): a queue under a lock and an eventfd that wakes the context.
    std::mutex m_invokeLock;
    std::deque<std::function<void()>> m_invoked;
    int m_wakeFd = -1;
    GSource* m_wakeSource = nullptr;
};

} // namespace kext
