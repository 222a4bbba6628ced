// The messages between the IOKit stand-in (the client) and the simulated kernel driver (the
// daemon). Both sides include this one definition.
//
// Transport: a Unix-domain SOCK_SEQPACKET socket, one message per datagram. Every message is a
// 16-byte Header followed by a payload whose length is fixed by the message kind; a receiver
// checks the magic, that the kind is one it expects at that point, that the header's length is
// the kind's exact payload size and that the datagram holds exactly header plus payload.
// Strings are fixed-size arrays that must hold a NUL. Memory objects travel as memfds with
// SCM_RIGHTS, only in a MapReply; their size is the memfd's own size.
//
// Every socket starts with Hello, which says what the socket is for:
//   Registry    the process's link for matching and notification requests (request, reply);
//   Port        a notification port: after HelloReply only the daemon sends (MatchNotify,
//               InterestNotify);
//   UserClient  one connection to a service (IOServiceOpen): Method and MapMemory;
//   Control     the control tool: lists, plug, unplug, events, settings.
// Every request is answered by exactly one reply, except RemoveNotification (no reply).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kextwire {

constexpr uint32_t kMagic = 0x314B5854; // "TXK1" in memory order
constexpr uint32_t kVersion = 1;

struct Header {
    uint32_t magic;
    uint32_t kind;
    uint32_t length; // payload bytes after the header
    uint32_t reserved;
};
static_assert(sizeof(Header) == 16);

enum class SessionType : uint32_t {
    Registry = 1,
    Port = 2,
    UserClient = 3,
    Control = 4,
};

enum class Kind : uint32_t {
    Hello = 1,
    HelloReply = 2,
    StatusReply = 3,
    // Registry session
    GetServices = 10,
    ServicesReply = 11,
    AddMatching = 12,
    AddInterest = 13,
    RemoveNotification = 14,
    // Port session, daemon to client
    MatchNotify = 20,
    InterestNotify = 21,
    // UserClient session
    Method = 30,
    MethodReply = 31,
    MapMemory = 32,
    MapReply = 33,
    // Control session
    ListServices = 40,
    ServiceList = 41,
    ListConnections = 42,
    ConnectionList = 43,
    Plug = 44,
    PlugReply = 45,
    Unplug = 46,
    PostEvent = 47,
    Configure = 48,
};

constexpr size_t kNameSize = 64;
constexpr size_t kMaxServices = 64;          // services a daemon holds at once, all fit one reply
constexpr size_t kMaxListedConnections = 256; // connections one ConnectionList carries
constexpr size_t kMaxStructSize = 268;       // one request record
constexpr size_t kMaxMessageArgument = 256;  // bytes of an interest message's argument
constexpr size_t kEventParams = 7;

enum MatchType : uint32_t {
    kMatchPublish = 1,
    kMatchTerminate = 2,
};

enum PlugOptions : uint32_t {
    kPlugDarwin8 = 1, // register under the class name with the "Tiger" suffix
};

struct ServiceRecord {
    uint32_t id;
    uint32_t reserved;
    char className[kNameSize];
    char name[kNameSize];
};

struct Hello {
    uint32_t session; // SessionType
    uint32_t version; // kVersion
    uint64_t instance; // UserClient: the daemon instance the service id came from
    uint32_t serviceId; // UserClient only
    uint32_t type;      // UserClient only: the user-client type of IOServiceOpen
};

struct HelloReply {
    int32_t status;
    uint32_t reserved;
    uint64_t instance;  // random per daemon run: service ids are only valid within it
    uint64_t portToken; // Port sessions: names the port in AddMatching and AddInterest
};

struct StatusReply {
    int32_t status;
    uint32_t reserved;
};

struct GetServices {
    char className[kNameSize];
};

struct ServicesReply {
    int32_t status;
    uint32_t count;
    ServiceRecord services[kMaxServices];
};

struct AddMatching {
    uint64_t portToken;
    uint32_t notifyId; // chosen by the client, unique within the port
    uint32_t type;     // MatchType
    char className[kNameSize];
};

struct AddInterest {
    uint64_t portToken;
    uint32_t notifyId;
    uint32_t serviceId;
};

struct RemoveNotification {
    uint64_t portToken;
    uint32_t notifyId;
    uint32_t reserved;
};

struct MatchNotify {
    uint32_t notifyId;
    uint32_t reserved;
    ServiceRecord service;
};

struct InterestNotify {
    uint32_t notifyId;
    uint32_t serviceId;
    uint32_t messageType;
    uint32_t argumentLength; // at most kMaxMessageArgument; 0 means a null argument
    uint8_t argument[kMaxMessageArgument];
};

struct Method {
    uint32_t selector;
    uint32_t inputSize;  // at most kMaxStructSize
    uint32_t outputSize; // what the caller can take, at most kMaxStructSize
    uint32_t reserved;
    uint8_t input[kMaxStructSize];
};

struct MethodReply {
    int32_t status;
    uint32_t outputSize; // at most the request's outputSize
    uint8_t output[kMaxStructSize];
};

struct MapMemory {
    uint32_t type;
    uint32_t options;
};

// On success one memfd comes with the reply; on failure none.
struct MapReply {
    int32_t status;
    uint32_t reserved;
};

struct ListRequest {
    uint32_t reserved[2];
};

struct ServiceInfo {
    uint32_t id;
    uint32_t connections;
    uint32_t options; // PlugOptions
    uint32_t reserved;
    char className[kNameSize];
    char name[kNameSize];
    char model[kNameSize];
    char description[128];
};

struct ServiceList {
    int32_t status;
    uint32_t total; // services held; only the first kMaxServices are listed
    uint32_t count;
    uint32_t reserved;
    ServiceInfo services[kMaxServices];
};

enum ConnectionFlags : uint32_t {
    kConnectionTerminated = 1, // its service has been unplugged
};

struct ConnectionInfo {
    uint32_t id;
    uint32_t serviceId;
    int32_t pid;
    uint32_t type;
    uint32_t flags; // ConnectionFlags
    uint32_t pair[2];
    uint32_t reserved;
    char description[96];
};

struct ConnectionList {
    int32_t status;
    uint32_t total;
    uint32_t count;
    uint32_t reserved;
    ConnectionInfo connections[kMaxListedConnections];
};

struct Plug {
    uint32_t options; // PlugOptions
    uint32_t reserved;
    char model[kNameSize];
};

struct PlugReply {
    int32_t status;
    uint32_t serviceId;
};

struct Unplug {
    uint32_t serviceId;
    uint32_t reserved;
};

struct PostEvent {
    uint32_t serviceId;
    uint32_t code;
    uint32_t params[kEventParams];
    uint32_t reserved;
};

// A setting for the behaviour layer (a fault, an input source ...). serviceId 0 addresses the
// daemon as a whole.
struct Configure {
    uint32_t serviceId;
    uint32_t reserved;
    char key[32];
    char value[128];
};

// The payload type of each kind, for sizes and for the typed helpers below.
template <Kind K> struct PayloadOf;
#define KEXTWIRE_PAYLOAD(kind, type) \
    template <> struct PayloadOf<Kind::kind> { using Type = type; }
KEXTWIRE_PAYLOAD(Hello, Hello);
KEXTWIRE_PAYLOAD(HelloReply, HelloReply);
KEXTWIRE_PAYLOAD(StatusReply, StatusReply);
KEXTWIRE_PAYLOAD(GetServices, GetServices);
KEXTWIRE_PAYLOAD(ServicesReply, ServicesReply);
KEXTWIRE_PAYLOAD(AddMatching, AddMatching);
KEXTWIRE_PAYLOAD(AddInterest, AddInterest);
KEXTWIRE_PAYLOAD(RemoveNotification, RemoveNotification);
KEXTWIRE_PAYLOAD(MatchNotify, MatchNotify);
KEXTWIRE_PAYLOAD(InterestNotify, InterestNotify);
KEXTWIRE_PAYLOAD(Method, Method);
KEXTWIRE_PAYLOAD(MethodReply, MethodReply);
KEXTWIRE_PAYLOAD(MapMemory, MapMemory);
KEXTWIRE_PAYLOAD(MapReply, MapReply);
KEXTWIRE_PAYLOAD(ListServices, ListRequest);
KEXTWIRE_PAYLOAD(ServiceList, ServiceList);
KEXTWIRE_PAYLOAD(ListConnections, ListRequest);
KEXTWIRE_PAYLOAD(ConnectionList, ConnectionList);
KEXTWIRE_PAYLOAD(Plug, Plug);
KEXTWIRE_PAYLOAD(PlugReply, PlugReply);
KEXTWIRE_PAYLOAD(Unplug, Unplug);
KEXTWIRE_PAYLOAD(PostEvent, PostEvent);
KEXTWIRE_PAYLOAD(Configure, Configure);
#undef KEXTWIRE_PAYLOAD

// The exact payload size of a kind; 0 for a kind that does not exist.
constexpr size_t payloadSize(Kind kind)
{
    switch (kind) {
#define KEXTWIRE_SIZE(k) \
    case Kind::k: return sizeof(PayloadOf<Kind::k>::Type)
        KEXTWIRE_SIZE(Hello);
        KEXTWIRE_SIZE(HelloReply);
        KEXTWIRE_SIZE(StatusReply);
        KEXTWIRE_SIZE(GetServices);
        KEXTWIRE_SIZE(ServicesReply);
        KEXTWIRE_SIZE(AddMatching);
        KEXTWIRE_SIZE(AddInterest);
        KEXTWIRE_SIZE(RemoveNotification);
        KEXTWIRE_SIZE(MatchNotify);
        KEXTWIRE_SIZE(InterestNotify);
        KEXTWIRE_SIZE(Method);
        KEXTWIRE_SIZE(MethodReply);
        KEXTWIRE_SIZE(MapMemory);
        KEXTWIRE_SIZE(MapReply);
        KEXTWIRE_SIZE(ListServices);
        KEXTWIRE_SIZE(ServiceList);
        KEXTWIRE_SIZE(ListConnections);
        KEXTWIRE_SIZE(ConnectionList);
        KEXTWIRE_SIZE(Plug);
        KEXTWIRE_SIZE(PlugReply);
        KEXTWIRE_SIZE(Unplug);
        KEXTWIRE_SIZE(PostEvent);
        KEXTWIRE_SIZE(Configure);
#undef KEXTWIRE_SIZE
    }
    return 0;
}

// The largest message of all; a receive buffer one byte larger shows a datagram that is too
// long instead of truncating it silently.
constexpr size_t kMaxMessageSize = sizeof(Header) + sizeof(ConnectionList);
static_assert(sizeof(ConnectionList) >= sizeof(ServiceList));
static_assert(sizeof(ConnectionList) >= sizeof(ServicesReply));

// A message laid out for sending: header and payload back to back, no padding between.
template <Kind K> struct Framed {
    using Payload = typename PayloadOf<K>::Type;
    Header header{kMagic, uint32_t(K), uint32_t(sizeof(Payload)), 0};
    Payload body{};
};
static_assert(sizeof(Framed<Kind::Hello>) == sizeof(Header) + sizeof(Hello));
static_assert(sizeof(Framed<Kind::Method>) == sizeof(Header) + sizeof(Method));
static_assert(sizeof(Framed<Kind::ConnectionList>) == kMaxMessageSize);

// Reads the header of a received datagram. False unless the magic is right, the reserved word
// is 0 and the datagram is exactly as long as the header says and as the kind requires.
inline bool readHeader(const uint8_t* bytes, size_t size, Kind& kind)
{
    if (bytes == nullptr || size < sizeof(Header))
        return false;
    Header h;
    std::memcpy(&h, bytes, sizeof h);
    if (h.magic != kMagic || h.reserved != 0)
        return false;
    size_t expected = payloadSize(Kind(h.kind));
    if (expected == 0 || h.length != expected || size - sizeof(Header) != expected)
        return false;
    kind = Kind(h.kind);
    return true;
}

// Copies the payload of a datagram whose header readHeader accepted as kind K.
template <Kind K> inline void readPayload(const uint8_t* bytes, typename PayloadOf<K>::Type& out)
{
    std::memcpy(&out, bytes + sizeof(Header), sizeof out);
}

// True when the fixed-size string holds its terminating NUL.
template <size_t N> inline bool terminated(const char (&s)[N])
{
    return std::memchr(s, 0, N) != nullptr;
}

// Copies `text` into a fixed-size string, cut to fit, always terminated.
template <size_t N> inline void copyString(char (&dst)[N], std::string_view text)
{
    size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(dst, text.data(), n);
    std::memset(dst + n, 0, N - n);
}

} // namespace kextwire
