// Hostile and broken clients: each malformed message closes that client's session only, and
// the daemon goes on serving everyone else.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "KextSocket.h"
#include "KextWire.h"
#include "device/DriverRequest.h"
#include "tests/support/PrivateDaemon.h"

namespace kexttest {
namespace {

using namespace kextwire;
using Bytes = std::vector<uint8_t>;

template <Kind K> Bytes message(const typename PayloadOf<K>::Type& body)
{
    Framed<K> framed;
    framed.body = body;
    const auto* p = reinterpret_cast<const uint8_t*>(&framed);
    return Bytes(p, p + sizeof framed);
}

Bytes hello(SessionType type, uint32_t version = kVersion)
{
    Hello h{};
    h.session = uint32_t(type);
    h.version = version;
    return message<Kind::Hello>(h);
}

// A socket to the daemon that speaks raw bytes.
struct RawClient {
    explicit RawClient(const std::string& path) : fd(connectTo(path)) {}
    ~RawClient()
    {
        if (fd >= 0)
            close(fd);
    }
    bool send(const Bytes& bytes, int passFd = -1) { return sendDatagram(fd, bytes.data(), bytes.size(), passFd) == 0; }
    // Reads until the daemon closes the socket; false when it stays open (10 s guard).
    bool closedByDaemon()
    {
        Bytes buffer(kMaxMessageSize + 1);
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1)
                return false;
            int fds[kMaxFds];
            size_t count = 0;
            ssize_t n = receiveDatagram(fd, buffer.data(), buffer.size(), fds, count, false);
            closeAll(fds, count);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                return true;
        }
    }
    // The next message from the daemon, of kind K.
    template <Kind K> bool reply(typename PayloadOf<K>::Type& body)
    {
        Bytes buffer(kMaxMessageSize + 1);
        int fds[kMaxFds];
        size_t count = 0;
        ssize_t n = receiveDatagram(fd, buffer.data(), buffer.size(), fds, count);
        closeAll(fds, count);
        Kind kind;
        if (n <= 0 || !readHeader(buffer.data(), size_t(n), kind) || kind != K)
            return false;
        readPayload<K>(buffer.data(), body);
        return true;
    }
    int fd;
};

size_t openDescriptors()
{
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

class RobustnessTest : public KextTest {
protected:
    void SetUp() override
    {
        KextTest::SetUp();
        ASSERT_NE(daemon().plug(), 0u);
        m_service = firstService();
        ASSERT_EQ(IOServiceOpen(m_service, mach_task_self(), 0, &m_connect), kIOReturnSuccess);
    }
    void TearDown() override
    {
        IOServiceClose(m_connect);
        IOObjectRelease(m_service);
        KextTest::TearDown();
    }
    // The well-behaved client is still served.
    void expectServing()
    {
        DriverRequest r{};
        r.iCode = kReqOpen;
        IOByteCount size = sizeof r;
        EXPECT_EQ(IOConnectMethodStructureIStructureO(m_connect, 0, sizeof r, &size, &r, &r), kIOReturnSuccess);
        EXPECT_NE(r.word(0), 0u);
    }
    io_service_t m_service = 0;
    io_connect_t m_connect = 0;
};

TEST_F(RobustnessTest, MalformedMessagesCloseOnlyTheirSender)
{
    const Bytes good = hello(SessionType::Registry);
    // `good` with the header word at `offset` replaced.
    auto patched = [&](size_t offset, uint32_t value) {
        Bytes bytes = good;
        std::memcpy(bytes.data() + offset, &value, 4);
        return bytes;
    };
    uint32_t magic = 0;
    std::memcpy(&magic, good.data(), 4);
    Bytes trailing = good;
    trailing.push_back(0);

    GetServices unterminated;
    std::memset(unterminated.className, 'A', sizeof unterminated.className);
    Method bigInput{};
    bigInput.inputSize = 100000;
    Plug plug{};
    std::memset(plug.model, 'x', sizeof plug.model);

    struct Case {
        const char* name;
        std::vector<Bytes> messages;
    };
    std::vector<Case> cases = {
        {"bad magic", {patched(0, magic ^ 0xFF)}},
        {"huge length claim", {patched(8, 0xFFFFFFF0u)}},
        {"length shorter than the kind", {patched(8, sizeof(Hello) - 4)}},
        {"datagram longer than its header says", {trailing}},
        {"truncated", {Bytes(good.begin(), good.end() - 1)}},
        {"unknown kind", {patched(4, 999)}},
        {"reserved word set", {patched(12, 1)}},
        {"header alone", {Bytes(good.begin(), good.begin() + sizeof(Header))}},
        {"oversize datagram", {Bytes(kMaxMessageSize + 100, 0x41)}},
        {"empty datagram", {Bytes{}}},
        {"unknown session type", {hello(SessionType(77))}},
        {"request before hello", {message<Kind::GetServices>(GetServices{})}},
        {"a reply kind from a client", {message<Kind::HelloReply>(HelloReply{})}},
        {"second hello", {good, good}},
        {"unterminated class name", {good, message<Kind::GetServices>(unterminated)}},
        {"user-client message on a registry link", {good, message<Kind::Method>(Method{})}},
        {"a port that speaks", {hello(SessionType::Port), message<Kind::GetServices>(GetServices{})}},
        {"control message on a registry link", {good, message<Kind::Plug>(plug)}},
        {"unterminated model", {hello(SessionType::Control), message<Kind::Plug>(plug)}},
        {"user-client message on a control session", {hello(SessionType::Control), message<Kind::Method>(bigInput)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient raw(daemon().path());
        ASSERT_GE(raw.fd, 0);
        for (const Bytes& m : c.messages)
            raw.send(m);
        EXPECT_TRUE(raw.closedByDaemon());
        expectServing();
    }
}

TEST_F(RobustnessTest, DescriptorsFromClientsAreRefusedAndClosed)
{
    size_t before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        RawClient raw(daemon().path());
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        raw.send(hello(SessionType::Registry), pipeFds[0]);
        close(pipeFds[0]);
        close(pipeFds[1]);
        EXPECT_TRUE(raw.closedByDaemon());
    }
    {
        // More descriptors than any message may carry.
        RawClient raw(daemon().path());
        Bytes m = hello(SessionType::Registry);
        int devnull[8];
        for (int& fd : devnull)
            fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        iovec iov{m.data(), m.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof devnull)];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof devnull);
        std::memcpy(CMSG_DATA(c), devnull, sizeof devnull);
        ASSERT_EQ(sendmsg(raw.fd, &msg, MSG_NOSIGNAL), ssize_t(m.size()));
        for (int fd : devnull)
            close(fd);
        EXPECT_TRUE(raw.closedByDaemon());
    }
    expectServing();
    // The daemon lives in this process: every descriptor it was handed is closed again.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == before; })) << openDescriptors() << " vs " << before;
}

TEST_F(RobustnessTest, WrongButWellFormedRequestsAreAnsweredNotPunished)
{
    RawClient raw(daemon().path());
    raw.send(hello(SessionType::Registry));
    HelloReply h{};
    ASSERT_TRUE(raw.reply<Kind::HelloReply>(h));
    EXPECT_EQ(h.status, kIOReturnSuccess);

    // A port token nobody holds, a service nobody has, a notification type that does not exist.
    AddMatching matching{};
    matching.portToken = 12345;
    matching.notifyId = 1;
    matching.type = kMatchPublish;
    copyString(matching.className, "ZmKernelDeviceTARSEL");
    raw.send(message<Kind::AddMatching>(matching));
    ServicesReply services{};
    ASSERT_TRUE(raw.reply<Kind::ServicesReply>(services));
    EXPECT_EQ(services.status, kIOReturnBadArgument);

    AddInterest interest{};
    interest.portToken = 12345;
    raw.send(message<Kind::AddInterest>(interest));
    StatusReply status{};
    ASSERT_TRUE(raw.reply<Kind::StatusReply>(status));
    EXPECT_EQ(status.status, kIOReturnBadArgument);

    RemoveNotification remove{};
    remove.portToken = 99;
    raw.send(message<Kind::RemoveNotification>(remove)); // no reply, and no harm

    GetServices get{};
    copyString(get.className, "IOService");
    raw.send(message<Kind::GetServices>(get));
    ASSERT_TRUE(raw.reply<Kind::ServicesReply>(services));
    EXPECT_EQ(services.status, kIOReturnSuccess);
    EXPECT_EQ(services.count, 1u);

    // A user client for a service of this daemon (one of another instance is MatchingTest's).
    Hello open = {};
    open.session = uint32_t(SessionType::UserClient);
    open.version = kVersion;
    open.instance = h.instance;
    open.serviceId = services.services[0].id;

    // On a real connection: a record size that cannot be is malformed, a wrong one is answered.
    RawClient user(daemon().path());
    user.send(message<Kind::Hello>(open));
    ASSERT_TRUE(user.reply<Kind::HelloReply>(h));
    ASSERT_EQ(h.status, kIOReturnSuccess);
    Method small{};
    small.inputSize = 10;
    small.outputSize = 10;
    user.send(message<Kind::Method>(small));
    MethodReply answer{};
    ASSERT_TRUE(user.reply<Kind::MethodReply>(answer));
    EXPECT_EQ(answer.status, kIOReturnBadArgument);
    Method bigInput{};
    bigInput.inputSize = 100000;
    user.send(message<Kind::Method>(bigInput));
    EXPECT_TRUE(user.closedByDaemon());

    // A wire version from elsewhere.
    RawClient future(daemon().path());
    future.send(hello(SessionType::Registry, kVersion + 1));
    ASSERT_TRUE(future.reply<Kind::HelloReply>(h));
    EXPECT_EQ(h.status, kIOReturnUnsupported);
    EXPECT_TRUE(future.closedByDaemon());
    expectServing();
}

TEST_F(RobustnessTest, APortThatNeverReadsCannotExhaustTheDaemon)
{
    // A port whose owner never reads; an event storm fills its socket, then its queue, and the
    // rest is dropped while everyone else is still served.
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    ASSERT_NE(port, nullptr);
    io_object_t notification = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(
                  port, m_service, kIOGeneralInterest, [](void*, io_service_t, natural_t, void*) {}, nullptr,
                  &notification),
              kIOReturnSuccess);
    uint64_t dropped = daemon().thread().call([](kext::Daemon& d) {
        auto service = d.services().front();
        for (int i = 0; i < 40000; ++i)
            service->postEvent(9);
        return d.droppedMessages();
    });
    EXPECT_GT(dropped, 0u);
    expectServing();
    IOObjectRelease(notification);
    IONotificationPortDestroy(port);
}

} // namespace
} // namespace kexttest
