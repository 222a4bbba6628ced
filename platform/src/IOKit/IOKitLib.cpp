// The IOKit calls, on top of the simulated kernel driver's socket (KextWire.h).
//
// Handles. Every object is a 32-bit handle in one table of the process, guarded by one mutex,
// with a count of references. A service has one handle per daemon instance and service id, as
// a kernel object has one port name in a task: yielding it again adds a reference to the same
// handle. A handle is never reused until the counter wraps, so a stale one is an error.
//
// Sockets. The process has one registry link (matching and notification requests, strictly
// request and reply, serialised by its own mutex), one socket per notification port (the
// daemon only pushes on it) and one per IOServiceOpen (requests serialised per connection).
// No socket is read or written while the table's mutex is held; callbacks run with no lock.
//
// Arming. A matching notification's iterator collects the services the daemon announces. The
// callback fires when a service arrives while the iterator is armed, and disarms it; only
// IOIteratorNext returning 0 arms it again. The first arming needs that too, which is why a
// client drains a new iterator before it can hear of changes.
//
// fork(). A child starts with no objects, as a Mach task does: it closes its copies of the
// parent's sockets and forgets the table.
#include <IOKit/IOKitLib.h>

#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "../CoreFoundation/CFRunLoopFD.h"
#include "KextSocket.h"
#include "KextWire.h"

using namespace kextwire;

const mach_port_t kIOMasterPortDefault = MACH_PORT_NULL;

struct IONotificationPort {
    uintptr_t key;
};

namespace {

constexpr mach_port_t kMasterPortName = 0x0B03;
constexpr io_object_t kFirstHandle = 0x1003;

enum class ObjectKind { Service, Iterator, Connect, Interest };

struct Object {
    explicit Object(ObjectKind k) : kind(k) {}
    virtual ~Object() = default;
    ObjectKind kind;
};

struct ServiceObject : Object {
    ServiceObject() : Object(ObjectKind::Service) {}
    uint64_t instance = 0;
    uint32_t id = 0;
    std::string className;
    std::string name;
};

struct PortState;

// Both the result of IOServiceGetMatchingServices and a matching notification's iterator.
struct IteratorObject : Object {
    IteratorObject() : Object(ObjectKind::Iterator) {}
    uint64_t instance = 0;
    std::vector<ServiceRecord> items;
    size_t position = 0;
    // Matching notifications only:
    bool notification = false;
    std::weak_ptr<PortState> port;
    uint32_t notifyId = 0;
    IOServiceMatchingCallback callback = nullptr;
    void* refCon = nullptr;
    io_object_t handle = 0;
    bool armed = false;
};

struct InterestObject : Object {
    InterestObject() : Object(ObjectKind::Interest) {}
    std::weak_ptr<PortState> port;
    uint32_t notifyId = 0;
    io_service_t service = 0; // holds one reference
    uint32_t serviceId = 0;
    IOServiceInterestCallback callback = nullptr;
    void* refCon = nullptr;
};

struct Mapping {
    uint32_t type;
    vm_address_t address;
    vm_size_t size;
};

struct ConnectObject : Object {
    ConnectObject() : Object(ObjectKind::Connect) {}
    ~ConnectObject() override { shut(); }
    // Serialises the requests and mappings of this connection.
    std::mutex io;
    int fd = -1;
    bool open = true;
    bool lost = false; // the daemon went away
    std::vector<Mapping> mappings;

    // With `io` held: closes the socket and unmaps what is still mapped.
    void shut()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        for (const Mapping& m : mappings)
            munmap(reinterpret_cast<void*>(m.address), m.size);
        mappings.clear();
        open = false;
    }
};

struct PortState {
    ~PortState()
    {
        if (fd >= 0)
            close(fd);
    }
    uintptr_t key = 0;
    int fd = -1;
    uint64_t instance = 0;
    uint64_t token = 0;
    CFRunLoopSourceRef source = nullptr;
    bool dead = false;
    uint32_t nextNotifyId = 1;
    std::map<uint32_t, std::weak_ptr<Object>> notifications;
};

struct Entry {
    std::shared_ptr<Object> object;
    uint32_t refs;
};

struct State {
    // Table, ports and iterator contents.
    std::mutex lock;
    std::unordered_map<io_object_t, Entry> handles;
    std::map<std::pair<uint64_t, uint32_t>, io_object_t> serviceHandles;
    io_object_t nextHandle = kFirstHandle;
    std::map<uintptr_t, std::shared_ptr<PortState>> ports;
    uintptr_t nextPortKey = 1;

    // The registry link; never taken while `lock` is held.
    std::mutex linkLock;
    int linkFd = -1;
    uint64_t linkInstance = 0;
};

std::atomic<State*> gState{nullptr};

void prepareFork();
void parentAfterFork();
void childAfterFork();

State& state()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gState.store(new State); // never destroyed: callbacks may run during exit
        pthread_atfork(prepareFork, parentAfterFork, childAfterFork);
    });
    return *gState.load();
}

void prepareFork()
{
    State& st = state();
    st.linkLock.lock();
    st.lock.lock();
}

void parentAfterFork()
{
    State& st = *gState.load();
    st.lock.unlock();
    st.linkLock.unlock();
}

void childAfterFork()
{
    // The only thread of the child holds both locks. Close the inherited sockets so the daemon
    // sees the parent's connections end when the parent ends them, then start afresh; the old
    // table (its mutexes included) is left behind untouched.
    State* old = gState.load();
    if (old->linkFd >= 0)
        close(old->linkFd);
    for (auto& [handle, entry] : old->handles) {
        if (entry.object->kind == ObjectKind::Connect) {
            auto* c = static_cast<ConnectObject*>(entry.object.get());
            if (c->fd >= 0)
                close(c->fd);
            c->fd = -1;
        }
    }
    for (auto& [key, port] : old->ports) {
        if (port->fd >= 0)
            close(port->fd);
        port->fd = -1;
    }
    gState.store(new State);
}

// --- handle table (with st.lock held) ---------------------------------------------------------

io_object_t addHandle(State& st, std::shared_ptr<Object> object)
{
    io_object_t h;
    do {
        h = st.nextHandle++;
        if (st.nextHandle == 0)
            st.nextHandle = kFirstHandle;
    } while (h == 0 || h == kMasterPortName || st.handles.count(h) != 0);
    st.handles.emplace(h, Entry{std::move(object), 1});
    return h;
}

template <class T> T* lookup(State& st, io_object_t handle, ObjectKind kind)
{
    auto it = st.handles.find(handle);
    if (it == st.handles.end() || it->second.object->kind != kind)
        return nullptr;
    return static_cast<T*>(it->second.object.get());
}

template <class T> std::shared_ptr<T> lookupShared(State& st, io_object_t handle, ObjectKind kind)
{
    auto it = st.handles.find(handle);
    if (it == st.handles.end() || it->second.object->kind != kind)
        return nullptr;
    return std::static_pointer_cast<T>(it->second.object);
}

// The process's handle of a service, with one more reference.
io_service_t serviceHandle(State& st, uint64_t instance, const ServiceRecord& record)
{
    auto key = std::make_pair(instance, record.id);
    auto it = st.serviceHandles.find(key);
    if (it != st.serviceHandles.end()) {
        ++st.handles[it->second].refs;
        return it->second;
    }
    auto service = std::make_shared<ServiceObject>();
    service->instance = instance;
    service->id = record.id;
    service->className = record.className;
    service->name = record.name;
    io_service_t h = addHandle(st, std::move(service));
    st.serviceHandles[key] = h;
    return h;
}

// What must be done outside the lock once an object's last reference is gone.
struct Disposal {
    std::vector<std::shared_ptr<Object>> objects;
    std::vector<RemoveNotification> removals;
};

void dropReference(State& st, io_object_t handle, Disposal& out);

void retire(State& st, const std::shared_ptr<Object>& object, Disposal& out)
{
    if (object->kind == ObjectKind::Service) {
        auto* s = static_cast<ServiceObject*>(object.get());
        st.serviceHandles.erase(std::make_pair(s->instance, s->id));
        return;
    }
    std::shared_ptr<PortState> port;
    uint32_t notifyId = 0;
    if (object->kind == ObjectKind::Iterator) {
        auto* it = static_cast<IteratorObject*>(object.get());
        if (it->notification) {
            port = it->port.lock();
            notifyId = it->notifyId;
        }
    } else if (object->kind == ObjectKind::Interest) {
        auto* in = static_cast<InterestObject*>(object.get());
        port = in->port.lock();
        notifyId = in->notifyId;
        dropReference(st, in->service, out);
    }
    if (port && notifyId != 0) {
        port->notifications.erase(notifyId);
        if (!port->dead && st.ports.count(port->key) != 0)
            out.removals.push_back({port->token, notifyId, 0});
    }
    out.objects.push_back(object); // a connection closes outside the lock
}

void dropReference(State& st, io_object_t handle, Disposal& out)
{
    auto it = st.handles.find(handle);
    if (it == st.handles.end())
        return;
    if (--it->second.refs > 0)
        return;
    std::shared_ptr<Object> object = std::move(it->second.object);
    st.handles.erase(it);
    retire(st, object, out);
}

kern_return_t sendLinkRequest(State& st, const void* request, size_t size);

void dispose(State& st, Disposal& d)
{
    for (const RemoveNotification& r : d.removals) {
        Framed<Kind::RemoveNotification> message;
        message.body = r;
        sendLinkRequest(st, &message, sizeof message);
    }
    for (auto& object : d.objects) {
        if (object->kind == ObjectKind::Connect) {
            auto* c = static_cast<ConnectObject*>(object.get());
            std::lock_guard<std::mutex> guard(c->io);
            c->shut();
        }
    }
    d.objects.clear();
}

// --- sockets ------------------------------------------------------------------------------------

// Receives one message of kind K into `body`. With `passedFd`, the message may carry one
// descriptor (returned there, or -1); otherwise any descriptor makes it malformed.
// kIOReturnNotAttached when the peer has gone, kIOReturnIPCError for a malformed message.
template <Kind K>
kern_return_t receive(int fd, typename PayloadOf<K>::Type& body, int* passedFd = nullptr)
{
    if (passedFd != nullptr)
        *passedFd = -1;
    auto buffer = std::make_unique<uint8_t[]>(sizeof(Framed<K>) + 1);
    int fds[kMaxFds];
    size_t fdCount = 0;
    ssize_t n = receiveDatagram(fd, buffer.get(), sizeof(Framed<K>) + 1, fds, fdCount);
    if (n == 0 || n == -1)
        return kIOReturnNotAttached;
    Kind kind;
    bool ok = n > 0 && readHeader(buffer.get(), size_t(n), kind) && kind == K
        && fdCount <= (passedFd != nullptr ? 1u : 0u);
    if (!ok) {
        closeAll(fds, fdCount);
        return kIOReturnIPCError;
    }
    readPayload<K>(buffer.get(), body);
    if (passedFd != nullptr && fdCount == 1)
        *passedFd = fds[0];
    return kIOReturnSuccess;
}

// A new session of `type` with the daemon; -1 when none answers or it refuses.
int openSession(SessionType type, HelloReply& reply, uint64_t instance = 0, uint32_t serviceId = 0,
                uint32_t userClientType = 0, kern_return_t* status = nullptr)
{
    if (status != nullptr)
        *status = kIOReturnNotAttached;
    int fd = connectTo(socketPath());
    if (fd < 0)
        return -1;
    Framed<Kind::Hello> hello;
    hello.body.session = uint32_t(type);
    hello.body.version = kVersion;
    hello.body.instance = instance;
    hello.body.serviceId = serviceId;
    hello.body.type = userClientType;
    if (sendDatagram(fd, &hello, sizeof hello) != 0 || receive<Kind::HelloReply>(fd, reply) != kIOReturnSuccess) {
        close(fd);
        return -1;
    }
    if (reply.status != kIOReturnSuccess) {
        if (status != nullptr)
            *status = reply.status;
        close(fd);
        return -1;
    }
    if (status != nullptr)
        *status = kIOReturnSuccess;
    return fd;
}

// With st.linkLock held: the link is up, reconnected if the daemon it led to has gone.
bool ensureLink(State& st)
{
    if (st.linkFd >= 0) {
        // The daemon never speaks first on the link: anything readable means it has closed.
        pollfd p{st.linkFd, POLLIN, 0};
        if (poll(&p, 1, 0) == 0)
            return true;
        close(st.linkFd);
        st.linkFd = -1;
    }
    HelloReply reply{};
    st.linkFd = openSession(SessionType::Registry, reply);
    st.linkInstance = st.linkFd >= 0 ? reply.instance : 0;
    return st.linkFd >= 0;
}

void dropLink(State& st)
{
    if (st.linkFd >= 0)
        close(st.linkFd);
    st.linkFd = -1;
}

// A request that has no reply.
kern_return_t sendLinkRequest(State& st, const void* request, size_t size)
{
    std::lock_guard<std::mutex> guard(st.linkLock);
    if (!ensureLink(st))
        return kIOReturnNotAttached;
    if (sendDatagram(st.linkFd, request, size) != 0) {
        dropLink(st);
        return kIOReturnNotAttached;
    }
    return kIOReturnSuccess;
}

// A request and its reply of kind K; `instance` receives the daemon instance that answered.
template <Kind K>
kern_return_t linkExchange(State& st, const void* request, size_t size, typename PayloadOf<K>::Type& reply,
                           uint64_t* instance = nullptr)
{
    std::lock_guard<std::mutex> guard(st.linkLock);
    if (!ensureLink(st))
        return kIOReturnNotAttached;
    if (instance != nullptr)
        *instance = st.linkInstance;
    if (sendDatagram(st.linkFd, request, size) != 0) {
        dropLink(st);
        return kIOReturnNotAttached;
    }
    kern_return_t kr = receive<K>(st.linkFd, reply);
    if (kr != kIOReturnSuccess)
        dropLink(st);
    return kr;
}

bool validRecord(const ServiceRecord& r)
{
    return terminated(r.className) && terminated(r.name) && r.id != 0;
}

// The provider class a matching dictionary asks for; false when it names none we can carry.
bool providerClass(CFDictionaryRef matching, char (&className)[kNameSize])
{
    CFTypeRef value = CFDictionaryGetValue(matching, CFSTR(kIOProviderClassKey));
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID())
        return false;
    return CFStringGetCString(static_cast<CFStringRef>(value), className, kNameSize, kCFStringEncodingASCII);
}

bool validMasterPort(mach_port_t port)
{
    return port == kIOMasterPortDefault || port == kMasterPortName;
}

std::shared_ptr<PortState> findPort(State& st, IONotificationPortRef ref)
{
    if (ref == nullptr)
        return nullptr;
    auto it = st.ports.find(ref->key);
    return it != st.ports.end() ? it->second : nullptr;
}

// --- notification delivery on the port's run loop ----------------------------------------------

void portDied(State& st, const std::shared_ptr<PortState>& port)
{
    CFRunLoopSourceRef source = nullptr;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        if (port->dead)
            return;
        port->dead = true;
        source = port->source;
        if (source != nullptr)
            CFRetain(source);
    }
    // A hung-up socket stays readable: stop the run loop from calling us for ever.
    if (source != nullptr) {
        CFRunLoopSourceInvalidate(source);
        CFRelease(source);
    }
}

void deliverMatch(State& st, PortState& port, const MatchNotify& m)
{
    IOServiceMatchingCallback callback = nullptr;
    void* refCon = nullptr;
    io_iterator_t handle = 0;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        auto it = port.notifications.find(m.notifyId);
        std::shared_ptr<Object> object = it != port.notifications.end() ? it->second.lock() : nullptr;
        if (!object || object->kind != ObjectKind::Iterator)
            return; // released meanwhile
        auto* iterator = static_cast<IteratorObject*>(object.get());
        iterator->items.push_back(m.service);
        if (iterator->armed) {
            iterator->armed = false;
            callback = iterator->callback;
            refCon = iterator->refCon;
            handle = iterator->handle;
        }
    }
    if (callback != nullptr)
        callback(refCon, handle);
}

void deliverInterest(State& st, PortState& port, const InterestNotify& m)
{
    IOServiceInterestCallback callback = nullptr;
    void* refCon = nullptr;
    io_service_t service = 0;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        auto it = port.notifications.find(m.notifyId);
        std::shared_ptr<Object> object = it != port.notifications.end() ? it->second.lock() : nullptr;
        if (!object || object->kind != ObjectKind::Interest)
            return;
        auto* interest = static_cast<InterestObject*>(object.get());
        if (interest->serviceId != m.serviceId)
            return;
        callback = interest->callback;
        refCon = interest->refCon;
        service = interest->service;
    }
    // The argument lives for the callback only, aligned for any record a listener reads.
    alignas(16) uint8_t argument[kMaxMessageArgument];
    std::memcpy(argument, m.argument, m.argumentLength);
    if (callback != nullptr)
        callback(refCon, service, m.messageType, m.argumentLength != 0 ? argument : nullptr);
}

void portPerform(void* info)
{
    State& st = state();
    std::shared_ptr<PortState> port;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        auto it = st.ports.find(reinterpret_cast<uintptr_t>(info));
        if (it == st.ports.end() || it->second->dead)
            return;
        port = it->second;
    }
    constexpr size_t kCapacity = sizeof(Framed<Kind::InterestNotify>) + 1;
    static_assert(kCapacity > sizeof(Framed<Kind::MatchNotify>));
    alignas(8) uint8_t buffer[kCapacity];
    // A bounded number per call, so other sources of the run loop get their turn.
    for (int i = 0; i < 64; ++i) {
        int fds[kMaxFds];
        size_t fdCount = 0;
        ssize_t n = receiveDatagram(port->fd, buffer, sizeof buffer, fds, fdCount, false);
        if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        closeAll(fds, fdCount);
        Kind kind;
        if (n <= 0 || fdCount != 0 || !readHeader(buffer, size_t(n), kind)) {
            portDied(st, port);
            return;
        }
        if (kind == Kind::MatchNotify) {
            MatchNotify m;
            readPayload<Kind::MatchNotify>(buffer, m);
            if (!validRecord(m.service)) {
                portDied(st, port);
                return;
            }
            deliverMatch(st, *port, m);
        } else if (kind == Kind::InterestNotify) {
            InterestNotify m;
            readPayload<Kind::InterestNotify>(buffer, m);
            if (m.argumentLength > kMaxMessageArgument) {
                portDied(st, port);
                return;
            }
            deliverInterest(st, *port, m);
        } else {
            portDied(st, port);
            return;
        }
    }
}

} // namespace

// --- master port --------------------------------------------------------------------------------

kern_return_t IOMasterPort(mach_port_t, mach_port_t* masterPort)
{
    if (masterPort == nullptr)
        return kIOReturnBadArgument;
    *masterPort = MACH_PORT_NULL;
    State& st = state();
    std::lock_guard<std::mutex> guard(st.linkLock);
    if (!ensureLink(st))
        return kIOReturnNotAttached;
    *masterPort = kMasterPortName;
    return kIOReturnSuccess;
}

// --- objects ------------------------------------------------------------------------------------

kern_return_t IOObjectRetain(io_object_t object)
{
    State& st = state();
    std::lock_guard<std::mutex> guard(st.lock);
    auto it = st.handles.find(object);
    if (it == st.handles.end())
        return kIOReturnBadArgument;
    ++it->second.refs;
    return kIOReturnSuccess;
}

kern_return_t IOObjectRelease(io_object_t object)
{
    State& st = state();
    Disposal d;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        if (st.handles.count(object) == 0)
            return kIOReturnBadArgument;
        dropReference(st, object, d);
    }
    dispose(st, d);
    return kIOReturnSuccess;
}

namespace {

const char* classOf(const Object& object)
{
    switch (object.kind) {
    case ObjectKind::Service:
        return static_cast<const ServiceObject&>(object).className.c_str();
    case ObjectKind::Iterator:
        return static_cast<const IteratorObject&>(object).notification ? "IOServiceUserNotification"
                                                                       : "IOUserIterator";
    case ObjectKind::Connect:
        return "IOUserClient";
    case ObjectKind::Interest:
        return "IOServiceMessageUserNotification";
    }
    return "OSObject";
}

void copyName(io_name_t out, const char* text)
{
    std::strncpy(out, text, sizeof(io_name_t) - 1);
    out[sizeof(io_name_t) - 1] = '\0';
}

} // namespace

boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className)
{
    if (className == nullptr)
        return false;
    State& st = state();
    std::lock_guard<std::mutex> guard(st.lock);
    auto it = st.handles.find(object);
    if (it == st.handles.end())
        return false;
    const Object& o = *it->second.object;
    if (std::strcmp(className, classOf(o)) == 0 || std::strcmp(className, "OSObject") == 0)
        return true;
    return o.kind == ObjectKind::Service
        && (std::strcmp(className, "IOService") == 0 || std::strcmp(className, "IORegistryEntry") == 0);
}

kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name)
{
    if (name == nullptr)
        return kIOReturnBadArgument;
    State& st = state();
    std::lock_guard<std::mutex> guard(st.lock);
    auto* service = lookup<ServiceObject>(st, entry, ObjectKind::Service);
    if (service == nullptr)
        return kIOReturnBadArgument;
    copyName(name, service->name.c_str());
    return kIOReturnSuccess;
}

// --- iterators ----------------------------------------------------------------------------------

io_object_t IOIteratorNext(io_iterator_t iterator)
{
    State& st = state();
    std::lock_guard<std::mutex> guard(st.lock);
    auto* it = lookup<IteratorObject>(st, iterator, ObjectKind::Iterator);
    if (it == nullptr)
        return 0;
    if (it->position < it->items.size()) {
        ServiceRecord record = it->items[it->position++];
        if (it->notification && it->position == it->items.size()) {
            it->items.clear(); // what a notification handed out is gone
            it->position = 0;
        }
        return serviceHandle(st, it->instance, record);
    }
    if (it->notification)
        it->armed = true;
    return 0;
}

// --- matching -----------------------------------------------------------------------------------

CFMutableDictionaryRef IOServiceMatching(const char* name)
{
    if (name == nullptr)
        return nullptr;
    CFMutableDictionaryRef dict =
        CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFStringRef value = CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingASCII);
    if (dict == nullptr || value == nullptr) {
        if (dict != nullptr)
            CFRelease(dict);
        if (value != nullptr)
            CFRelease(value);
        return nullptr;
    }
    CFDictionarySetValue(dict, CFSTR(kIOProviderClassKey), value);
    CFRelease(value);
    return dict;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching, io_iterator_t* existing)
{
    if (matching == nullptr)
        return kIOReturnBadArgument;
    Framed<Kind::GetServices> request;
    bool ok = providerClass(matching, request.body.className);
    CFRelease(matching);
    if (existing == nullptr || !validMasterPort(masterPort))
        return kIOReturnBadArgument;
    *existing = 0;
    if (!ok)
        return kIOReturnBadArgument;
    State& st = state();
    auto reply = std::make_unique<ServicesReply>();
    uint64_t instance = 0;
    kern_return_t kr = linkExchange<Kind::ServicesReply>(st, &request, sizeof request, *reply, &instance);
    if (kr != kIOReturnSuccess)
        return kr;
    if (reply->status != kIOReturnSuccess)
        return reply->status;
    if (reply->count > kMaxServices)
        return kIOReturnIPCError;
    auto iterator = std::make_shared<IteratorObject>();
    iterator->instance = instance;
    for (uint32_t i = 0; i < reply->count; ++i) {
        if (!validRecord(reply->services[i]))
            return kIOReturnIPCError;
        iterator->items.push_back(reply->services[i]);
    }
    std::lock_guard<std::mutex> guard(st.lock);
    *existing = addHandle(st, std::move(iterator));
    return kIOReturnSuccess;
}

io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching)
{
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(masterPort, matching, &iterator) != kIOReturnSuccess)
        return 0;
    io_service_t first = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    return first;
}

// --- notification ports -------------------------------------------------------------------------

IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort)
{
    if (!validMasterPort(masterPort))
        return nullptr;
    HelloReply reply{};
    int fd = openSession(SessionType::Port, reply);
    if (fd < 0)
        return nullptr;
    State& st = state();
    auto port = std::make_shared<PortState>();
    port->fd = fd;
    port->instance = reply.instance;
    port->token = reply.portToken;
    std::lock_guard<std::mutex> guard(st.lock);
    port->key = st.nextPortKey++;
    st.ports[port->key] = port;
    return new IONotificationPort{port->key};
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify)
{
    State& st = state();
    std::lock_guard<std::mutex> guard(st.lock);
    std::shared_ptr<PortState> port = findPort(st, notify);
    if (!port)
        return nullptr;
    if (port->source == nullptr)
        port->source = _CFRunLoopSourceCreateForFD(port->fd, portPerform, reinterpret_cast<void*>(port->key));
    return port->source;
}

void IONotificationPortDestroy(IONotificationPortRef notify)
{
    if (notify == nullptr)
        return;
    State& st = state();
    std::shared_ptr<PortState> port;
    CFRunLoopSourceRef source = nullptr;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        auto it = st.ports.find(notify->key);
        if (it == st.ports.end())
            return;
        port = it->second;
        st.ports.erase(it);
        // Its notifications stay valid handles that never fire again.
        port->notifications.clear();
        port->dead = true;
        source = port->source;
        port->source = nullptr;
    }
    if (source != nullptr) {
        CFRunLoopSourceInvalidate(source);
        CFRelease(source);
    }
    delete notify;
    // The socket closes with the last reference, after any delivery still running.
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const io_name_t notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void* refCon, io_iterator_t* notification)
{
    if (matching == nullptr)
        return kIOReturnBadArgument;
    Framed<Kind::AddMatching> request;
    bool ok = providerClass(matching, request.body.className);
    CFRelease(matching);
    if (notification == nullptr || notificationType == nullptr)
        return kIOReturnBadArgument;
    *notification = 0;
    if (!ok)
        return kIOReturnBadArgument;
    if (std::strcmp(notificationType, kIOPublishNotification) == 0
        || std::strcmp(notificationType, kIOFirstPublishNotification) == 0
        || std::strcmp(notificationType, kIOMatchedNotification) == 0
        || std::strcmp(notificationType, kIOFirstMatchNotification) == 0)
        request.body.type = kMatchPublish;
    else if (std::strcmp(notificationType, kIOTerminatedNotification) == 0)
        request.body.type = kMatchTerminate;
    else
        return kIOReturnBadArgument;

    State& st = state();
    auto iterator = std::make_shared<IteratorObject>();
    io_iterator_t handle;
    {
        // Registered before asking, so an announcement that overtakes the reply is kept.
        std::lock_guard<std::mutex> guard(st.lock);
        std::shared_ptr<PortState> port = findPort(st, notifyPort);
        if (!port || port->dead)
            return kIOReturnBadArgument;
        iterator->notification = true;
        iterator->port = port;
        iterator->instance = port->instance;
        iterator->notifyId = port->nextNotifyId++;
        iterator->callback = callback;
        iterator->refCon = refCon;
        handle = addHandle(st, iterator);
        iterator->handle = handle;
        port->notifications[iterator->notifyId] = iterator;
        request.body.portToken = port->token;
        request.body.notifyId = iterator->notifyId;
    }
    auto reply = std::make_unique<ServicesReply>();
    uint64_t instance = 0;
    kern_return_t kr = linkExchange<Kind::ServicesReply>(st, &request, sizeof request, *reply, &instance);
    if (kr == kIOReturnSuccess)
        kr = reply->status;
    if (kr == kIOReturnSuccess && (reply->count > kMaxServices || instance != iterator->instance))
        kr = kIOReturnIPCError;
    for (uint32_t i = 0; kr == kIOReturnSuccess && i < reply->count; ++i)
        if (!validRecord(reply->services[i]))
            kr = kIOReturnIPCError;
    if (kr != kIOReturnSuccess) {
        IOObjectRelease(handle);
        return kr;
    }
    std::lock_guard<std::mutex> guard(st.lock);
    // What already matched comes before anything announced since.
    iterator->items.insert(iterator->items.begin() + long(iterator->position), reply->services,
                           reply->services + reply->count);
    *notification = handle;
    return kIOReturnSuccess;
}

kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort, io_service_t service,
                                               const io_name_t interestType, IOServiceInterestCallback callback,
                                               void* refCon, io_object_t* notification)
{
    if (notification == nullptr || interestType == nullptr)
        return kIOReturnBadArgument;
    *notification = 0;
    if (std::strcmp(interestType, kIOGeneralInterest) != 0)
        return kIOReturnUnsupported;
    State& st = state();
    Framed<Kind::AddInterest> request;
    io_object_t handle;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        std::shared_ptr<PortState> port = findPort(st, notifyPort);
        auto* s = lookup<ServiceObject>(st, service, ObjectKind::Service);
        if (!port || port->dead || s == nullptr)
            return kIOReturnBadArgument;
        if (s->instance != port->instance)
            return kIOReturnNoDevice; // a service of a daemon that has gone since
        auto interest = std::make_shared<InterestObject>();
        interest->port = port;
        interest->notifyId = port->nextNotifyId++;
        interest->service = service;
        interest->serviceId = s->id;
        interest->callback = callback;
        interest->refCon = refCon;
        ++st.handles[service].refs;
        handle = addHandle(st, interest);
        port->notifications[interest->notifyId] = interest;
        request.body.portToken = port->token;
        request.body.notifyId = interest->notifyId;
        request.body.serviceId = s->id;
    }
    StatusReply reply{};
    kern_return_t kr = linkExchange<Kind::StatusReply>(st, &request, sizeof request, reply);
    if (kr == kIOReturnSuccess)
        kr = reply.status;
    if (kr != kIOReturnSuccess) {
        IOObjectRelease(handle);
        return kr;
    }
    *notification = handle;
    return kIOReturnSuccess;
}

// --- user clients -------------------------------------------------------------------------------

kern_return_t IOServiceOpen(io_service_t service, task_port_t, uint32_t type, io_connect_t* connect)
{
    if (connect == nullptr)
        return kIOReturnBadArgument;
    *connect = 0;
    State& st = state();
    uint64_t instance;
    uint32_t id;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        auto* s = lookup<ServiceObject>(st, service, ObjectKind::Service);
        if (s == nullptr)
            return kIOReturnBadArgument;
        instance = s->instance;
        id = s->id;
    }
    HelloReply reply{};
    kern_return_t status;
    int fd = openSession(SessionType::UserClient, reply, instance, id, type, &status);
    if (fd < 0)
        return status == kIOReturnNotAttached ? kIOReturnNoDevice : status;
    auto c = std::make_shared<ConnectObject>();
    c->fd = fd;
    std::lock_guard<std::mutex> guard(st.lock);
    *connect = addHandle(st, std::move(c));
    return kIOReturnSuccess;
}

kern_return_t IOServiceClose(io_connect_t connect)
{
    State& st = state();
    std::shared_ptr<ConnectObject> c;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        c = lookupShared<ConnectObject>(st, connect, ObjectKind::Connect);
    }
    if (!c)
        return kIOReturnBadArgument;
    {
        std::lock_guard<std::mutex> guard(c->io);
        if (!c->open)
            return kIOReturnNotOpen;
        c->shut();
    }
    return IOObjectRelease(connect);
}

namespace {

std::shared_ptr<ConnectObject> findConnect(io_connect_t connect)
{
    State& st = state();
    std::lock_guard<std::mutex> guard(st.lock);
    return lookupShared<ConnectObject>(st, connect, ObjectKind::Connect);
}

// With c.io held: whether requests can go out.
kern_return_t usable(const ConnectObject& c)
{
    if (!c.open)
        return kIOReturnNotOpen;
    if (c.lost)
        return kIOReturnNoDevice;
    return kIOReturnSuccess;
}

} // namespace

kern_return_t IOConnectMethodStructureIStructureO(io_connect_t connect, unsigned int index,
                                                  IOItemCount structureInputSize, IOByteCount* structureOutputSize,
                                                  void* inputStructure, void* ouputStructure)
{
    std::shared_ptr<ConnectObject> c = findConnect(connect);
    if (!c)
        return kIOReturnBadArgument;
    uint32_t capacity = structureOutputSize != nullptr ? *structureOutputSize : 0;
    if (structureInputSize > kMaxStructSize || capacity > kMaxStructSize
        || (structureInputSize > 0 && inputStructure == nullptr) || (capacity > 0 && ouputStructure == nullptr))
        return kIOReturnBadArgument;
    Framed<Kind::Method> request;
    request.body.selector = index;
    request.body.inputSize = structureInputSize;
    request.body.outputSize = capacity;
    if (structureInputSize > 0)
        std::memcpy(request.body.input, inputStructure, structureInputSize);

    std::lock_guard<std::mutex> guard(c->io);
    if (kern_return_t kr = usable(*c); kr != kIOReturnSuccess)
        return kr;
    MethodReply reply;
    kern_return_t kr = sendDatagram(c->fd, &request, sizeof request) == 0 ? receive<Kind::MethodReply>(c->fd, reply)
                                                                         : kIOReturnNotAttached;
    if (kr == kIOReturnSuccess && reply.outputSize > capacity)
        kr = kIOReturnIPCError;
    if (kr != kIOReturnSuccess) {
        // The connection cannot be trusted any more: it is as if the device had gone.
        c->lost = true;
        return kIOReturnNoDevice;
    }
    // The output is written only for a request that succeeded.
    if (reply.status == kIOReturnSuccess) {
        if (reply.outputSize > 0)
            std::memcpy(ouputStructure, reply.output, reply.outputSize);
        *structureOutputSize = reply.outputSize;
    }
    return reply.status;
}

kern_return_t IOConnectMapMemory(io_connect_t connect, uint32_t memoryType, task_port_t, vm_address_t* atAddress,
                                 vm_size_t* ofSize, IOOptionBits options)
{
    if (atAddress == nullptr || ofSize == nullptr)
        return kIOReturnBadArgument;
    if ((options & kIOMapAnywhere) == 0)
        return kIOReturnUnsupported; // placing a mapping at a given address is not offered
    std::shared_ptr<ConnectObject> c = findConnect(connect);
    if (!c)
        return kIOReturnBadArgument;
    Framed<Kind::MapMemory> request;
    request.body.type = memoryType;
    request.body.options = options;

    std::lock_guard<std::mutex> guard(c->io);
    if (kern_return_t kr = usable(*c); kr != kIOReturnSuccess)
        return kr;
    MapReply reply;
    int fd = -1;
    kern_return_t kr = sendDatagram(c->fd, &request, sizeof request) == 0
        ? receive<Kind::MapReply>(c->fd, reply, &fd)
        : kIOReturnNotAttached;
    if (kr == kIOReturnSuccess && (reply.status == kIOReturnSuccess) != (fd >= 0))
        kr = kIOReturnIPCError;
    if (kr != kIOReturnSuccess) {
        if (fd >= 0)
            close(fd);
        c->lost = true;
        return kIOReturnNoDevice;
    }
    if (reply.status != kIOReturnSuccess)
        return reply.status;
    // The size is the memory object's own, whatever anyone claims.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        close(fd);
        return kIOReturnVMError;
    }
    size_t size = size_t(st.st_size);
    int protection = (options & kIOMapReadOnly) ? PROT_READ : PROT_READ | PROT_WRITE;
    // Populated and, where the limits allow, locked: the rings are touched by real-time threads,
    // which must not take a page fault on them.
    void* address = mmap(nullptr, size, protection, MAP_SHARED | MAP_POPULATE, fd, 0);
    close(fd);
    if (address == MAP_FAILED)
        return kIOReturnNoMemory;
    mlock(address, size);
    c->mappings.push_back({memoryType, reinterpret_cast<vm_address_t>(address), size});
    *atAddress = reinterpret_cast<vm_address_t>(address);
    *ofSize = size;
    return kIOReturnSuccess;
}

kern_return_t IOConnectUnmapMemory(io_connect_t connect, uint32_t memoryType, task_port_t, vm_address_t atAddress)
{
    std::shared_ptr<ConnectObject> c = findConnect(connect);
    if (!c)
        return kIOReturnBadArgument;
    std::lock_guard<std::mutex> guard(c->io);
    for (auto it = c->mappings.begin(); it != c->mappings.end(); ++it) {
        if (it->type == memoryType && it->address == atAddress) {
            munmap(reinterpret_cast<void*>(it->address), it->size);
            c->mappings.erase(it);
            return kIOReturnSuccess;
        }
    }
    return kIOReturnBadArgument;
}
