// User-client connections: requests, unplugging under an open connection, and clients that
// send what no client may. The memory objects' sizes, and the status block shared where the
// rings are not, are met by the device layer, which refuses other sizes and reads what other
// clients wrote (DriverConnectionTest, DeviceLifecycleTest, DeviceIOTest). A client process that
// dies is EventsTest's, a closed connection's record ConformanceTest's; memory of another size
// is FaultsTest's; stale handles are IOKitTest's.
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "KextSocket.h"
#include "KextWire.h"
#include "device/DriverRequest.h"
#include "device/KernelMemory.h"
#include "tests/support/InterfaceClient.h"
#include "tests/support/ScriptedKernel.h"

namespace kexttest {
namespace {

class ConnectionTest : public ScriptedTest {
protected:
    void SetUp() override
    {
        ScriptedTest::SetUp();
        m_id = daemon().plug("recording");
        ASSERT_NE(m_id, 0u);
        m_service = firstService();
        ASSERT_NE(m_service, 0u);
    }
    void TearDown() override
    {
        IOObjectRelease(m_service);
        ScriptedTest::TearDown();
    }
    io_connect_t open()
    {
        io_connect_t connect = 0;
        EXPECT_EQ(IOServiceOpen(m_service, mach_task_self(), 0, &connect), kIOReturnSuccess);
        return connect;
    }
    // Maps memory object `type` of `connect`; 0 on failure.
    vm_address_t map(io_connect_t connect, uint32_t type, vm_size_t expectedSize)
    {
        vm_address_t address = 0;
        vm_size_t size = 0;
        EXPECT_EQ(IOConnectMapMemory(connect, type, mach_task_self(), &address, &size, kIOMapAnywhere),
                  kIOReturnSuccess);
        EXPECT_EQ(size, expectedSize);
        return address;
    }
    uint32_t m_id = 0;
    io_service_t m_service = 0;
};

kern_return_t call(io_connect_t connect, DriverRequest& request)
{
    IOByteCount size = sizeof request;
    return IOConnectMethodStructureIStructureO(connect, 0, sizeof request, &size, &request, &request);
}

using namespace kextwire;
using Bytes = std::vector<uint8_t>;

template <Kind K> Bytes message(const typename PayloadOf<K>::Type& body)
{
    Framed<K> framed;
    framed.body = body;
    const auto* p = reinterpret_cast<const uint8_t*>(&framed);
    return Bytes(p, p + sizeof framed);
}

Bytes hello(SessionType type)
{
    Hello h{};
    h.session = uint32_t(type);
    h.version = kVersion;
    return message<Kind::Hello>(h);
}

// Reads from `fd` until the daemon closes it; false when it stays open (10 s guard).
bool closedByDaemon(int fd)
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

// The device layer sends selector 0 with one 268-byte record for input and output.
TEST_F(ConnectionTest, RequestsRoundTripTheRecord)
{
    io_connect_t a = open();
    io_connect_t b = open();
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, a);

    // Request 27: a pair of words, never zero, unique to each connection.
    DriverRequest ra = makeRequest(kReqOpen), rb = makeRequest(kReqOpen);
    ASSERT_EQ(call(a, ra), kIOReturnSuccess);
    ASSERT_EQ(call(b, rb), kIOReturnSuccess);
    EXPECT_TRUE(ra.word(0) != 0 || ra.word(1) != 0);
    EXPECT_TRUE(ra.word(0) != rb.word(0) || ra.word(1) != rb.word(1));

    DriverRequest echo = makeRequest(kEcho, 20);
    echo.setWord(1, 77);
    ASSERT_EQ(call(a, echo), kIOReturnSuccess);
    EXPECT_EQ(echo.word(0), 41u);
    EXPECT_EQ(echo.word(1), 77u);

    // A failing request leaves the caller's record as it was.
    DriverRequest refused = makeRequest(kRefused, 5);
    EXPECT_EQ(call(a, refused), kIOReturnBusy);
    EXPECT_EQ(refused.word(0), 5u);
    DriverRequest unknown = makeRequest(55);
    EXPECT_EQ(call(a, unknown), kIOReturnUnsupported);

    // An answer the behaviour gives later arrives, and the next request is answered after it.
    DriverRequest deferred = makeRequest(kDeferred);
    ASSERT_EQ(call(b, deferred), kIOReturnSuccess);
    EXPECT_EQ(deferred.word(0), 0xD0D0u);
    DriverRequest after = makeRequest(kEcho, 3);
    ASSERT_EQ(call(b, after), kIOReturnSuccess);
    EXPECT_EQ(after.word(0), 7u);

    EXPECT_EQ(IOServiceClose(a), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(b), kIOReturnSuccess);
    // An open the behaviour refuses hands out no connection.
    io_connect_t busy = 0;
    EXPECT_EQ(IOServiceOpen(m_service, mach_task_self(), kRefusedType, &busy), kIOReturnBusy);
    EXPECT_EQ(busy, 0u);
}

TEST_F(ConnectionTest, UnpluggedServiceAnswersNoDeviceButKeepsItsMappings)
{
    io_connect_t connect = open();
    const vm_address_t status = map(connect, kMemoryStatusBlock, kStatusBlockSize);
    const vm_address_t ring = map(connect, kMemoryInputRing, kAudioRingSize);
    ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);

    DriverRequest r = makeRequest(kReqOpen);
    EXPECT_EQ(call(connect, r), kIOReturnNoDevice);
    vm_address_t more = 0;
    vm_size_t size = 0;
    EXPECT_EQ(IOConnectMapMemory(connect, kMemoryOutputRing, mach_task_self(), &more, &size, kIOMapAnywhere),
              kIOReturnNoDevice);
    // The mappings are still there to read and write.
    reinterpret_cast<volatile uint8_t*>(status)[kStatusBlockSize - 1] = 7;
    reinterpret_cast<volatile uint8_t*>(ring)[kAudioRingSize - 1] = 8;
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(ring)[kAudioRingSize - 1], 8);
    io_connect_t another = 0;
    EXPECT_EQ(IOServiceOpen(m_service, mach_task_self(), 0, &another), kIOReturnNoDevice);

    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    EXPECT_TRUE(waitUntil([&] { return m_script.with([](Script& j) { return j.closed.size() == 1; }); }));
}

// Random damage is the message fuzz target's.
TEST_F(ConnectionTest, MalformedMessagesCloseOnlyTheirSender)
{
    io_connect_t connect = open();
    const Bytes good = hello(SessionType::Registry);
    // `good` with the header word at `offset` replaced.
    auto patched = [&](size_t offset, uint32_t value) {
        Bytes bytes = good;
        std::memcpy(bytes.data() + offset, &value, 4);
        return bytes;
    };
    GetServices unterminated;
    std::memset(unterminated.className, 'A', sizeof unterminated.className);

    struct Case {
        const char* name;
        std::vector<Bytes> messages;
        bool withDescriptor = false;
    };
    const Case cases[] = {
        {"bad magic", {patched(0, 0)}},
        {"huge length claim", {patched(8, 0xFFFFFFF0u)}},
        {"truncated", {Bytes(good.begin(), good.end() - 1)}},
        {"unknown kind", {patched(4, 999)}},
        {"request before hello", {message<Kind::GetServices>(GetServices{})}},
        {"unterminated class name", {good, message<Kind::GetServices>(unterminated)}},
        {"user-client message on a registry link", {good, message<Kind::Method>(Method{})}},
        {"a descriptor from the client", {good}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = connectTo(daemon().path());
        ASSERT_GE(fd, 0);
        int pipeFds[2] = {-1, -1};
        if (c.withDescriptor) {
            ASSERT_EQ(pipe(pipeFds), 0);
        }
        for (const Bytes& m : c.messages)
            sendDatagram(fd, m.data(), m.size(), pipeFds[0]);
        EXPECT_TRUE(closedByDaemon(fd));
        close(fd);
        if (c.withDescriptor) {
            close(pipeFds[0]);
            close(pipeFds[1]);
        }
        // The well-behaved client is still served.
        DriverRequest r = makeRequest(kReqOpen);
        EXPECT_EQ(call(connect, r), kIOReturnSuccess);
    }
    IOServiceClose(connect);
}

} // namespace
} // namespace kexttest
