// User-client connections: requests, memory objects, unplugging under an open connection and
// the daemon going away. A client process that dies is EventsTest's; memory of another size is
// FaultsTest's.
#include <unistd.h>

#include <cstring>
#include <vector>

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
    io_connect_t open(uint32_t type = 0)
    {
        io_connect_t connect = 0;
        EXPECT_EQ(IOServiceOpen(m_service, mach_task_self(), type, &connect), kIOReturnSuccess);
        return connect;
    }
    uint32_t m_id = 0;
    io_service_t m_service = 0;
};

kern_return_t call(io_connect_t connect, DriverRequest& request)
{
    IOByteCount size = sizeof request;
    return IOConnectMethodStructureIStructureO(connect, 0, sizeof request, &size, &request, &request);
}

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

    // Separate input and output buffers work as well as one shared record.
    DriverRequest in = makeRequest(kEcho, 20), out{};
    in.setWord(1, 77);
    IOByteCount size = sizeof out;
    ASSERT_EQ(IOConnectMethodStructureIStructureO(a, 0, sizeof in, &size, &in, &out), kIOReturnSuccess);
    EXPECT_EQ(size, kDriverRequestSize);
    EXPECT_EQ(out.word(0), 41u);
    EXPECT_EQ(out.word(1), 77u);
    EXPECT_EQ(in.word(0), 20u);

    // A failing request leaves the caller's record as it was.
    DriverRequest refused = makeRequest(kRefused, 5);
    EXPECT_EQ(call(a, refused), kIOReturnBusy);
    EXPECT_EQ(refused.word(0), 5u);

    DriverRequest unknown = makeRequest(55);
    EXPECT_EQ(call(a, unknown), kIOReturnUnsupported);

    // The method table has selector 0 with a 268-byte record only.
    DriverRequest r = makeRequest(kEcho, 1);
    size = sizeof r;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(a, 1, sizeof r, &size, &r, &r), kIOReturnUnsupported);
    size = 100;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(a, 0, sizeof r, &size, &r, &r), kIOReturnBadArgument);
    size = sizeof r;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(a, 0, 300, &size, &r, &r), kIOReturnBadArgument);
    EXPECT_EQ(IOConnectMethodStructureIStructureO(a, 0, sizeof r, &size, nullptr, &r), kIOReturnBadArgument);

    EXPECT_EQ(IOServiceClose(a), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(b), kIOReturnSuccess);
    // Closed handles are stale.
    EXPECT_EQ(call(a, r), kIOReturnBadArgument);
    EXPECT_EQ(IOServiceClose(a), kIOReturnBadArgument);
}

TEST_F(ConnectionTest, DeferredAnswersArriveAndOpenCanBeRefused)
{
    io_connect_t connect = open();
    DriverRequest r = makeRequest(kDeferred);
    ASSERT_EQ(call(connect, r), kIOReturnSuccess);
    EXPECT_EQ(r.word(0), 0xD0D0u);
    DriverRequest after = makeRequest(kEcho, 3);
    ASSERT_EQ(call(connect, after), kIOReturnSuccess);
    EXPECT_EQ(after.word(0), 7u);
    IOServiceClose(connect);

    io_connect_t refused = 0;
    EXPECT_EQ(IOServiceOpen(m_service, mach_task_self(), kRefusedType, &refused), kIOReturnBusy);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(IOServiceOpen(0x4242, mach_task_self(), 0, &refused), kIOReturnBadArgument);
}

TEST_F(ConnectionTest, MemoryObjectsHaveTheirExactSizes)
{
    io_connect_t a = open();
    io_connect_t b = open();
    vm_address_t status = 0, input = 0, output = 0, otherStatus = 0, otherInput = 0;
    vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory(a, kMemoryStatusBlock, mach_task_self(), &status, &size, kIOMapAnywhere),
              kIOReturnSuccess);
    EXPECT_EQ(size, kStatusBlockSize);
    ASSERT_EQ(IOConnectMapMemory(a, kMemoryInputRing, mach_task_self(), &input, &size, kIOMapAnywhere), kIOReturnSuccess);
    EXPECT_EQ(size, kAudioRingSize);
    ASSERT_EQ(IOConnectMapMemory(a, kMemoryOutputRing, mach_task_self(), &output, &size, kIOMapAnywhere),
              kIOReturnSuccess);
    EXPECT_EQ(size, kAudioRingSize);
    ASSERT_EQ(IOConnectMapMemory(b, kMemoryStatusBlock, mach_task_self(), &otherStatus, &size, kIOMapAnywhere),
              kIOReturnSuccess);
    ASSERT_EQ(IOConnectMapMemory(b, kMemoryInputRing, mach_task_self(), &otherInput, &size, kIOMapAnywhere),
              kIOReturnSuccess);

    // One status block for the service, seen by every connection and by the daemon.
    EXPECT_NE(status, otherStatus);
    auto* block = reinterpret_cast<volatile uint8_t*>(status);
    block[0] = 0x5A;
    block[kStatusBlockSize - 1] = 0xA5;
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(otherStatus)[kStatusBlockSize - 1], 0xA5);
    uint32_t id = m_id;
    uint8_t seen = daemon().thread().call([id](kext::Daemon& d) { return d.service(id)->statusBlock()[0]; });
    EXPECT_EQ(seen, 0x5A);
    // Rings are each connection's own.
    reinterpret_cast<volatile uint8_t*>(input)[100] = 1;
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(otherInput)[100], 0);
    reinterpret_cast<volatile uint8_t*>(output)[kAudioRingSize - 1] = 2;

    // Unmapping takes the right address, once.
    EXPECT_EQ(IOConnectUnmapMemory(a, kMemoryInputRing, mach_task_self(), status), kIOReturnBadArgument);

    // Other types and placements are not offered.
    vm_address_t none = 0;
    EXPECT_EQ(IOConnectMapMemory(a, 2, mach_task_self(), &none, &size, kIOMapAnywhere), kIOReturnUnsupported);
    EXPECT_EQ(IOConnectMapMemory(a, kMemoryStatusBlock, mach_task_self(), &none, &size, 0), kIOReturnUnsupported);
    EXPECT_EQ(IOConnectMapMemory(a, kMemoryStatusBlock, mach_task_self(), nullptr, &size, kIOMapAnywhere),
              kIOReturnBadArgument);

    EXPECT_EQ(IOConnectUnmapMemory(a, kMemoryInputRing, mach_task_self(), input), kIOReturnSuccess);
    EXPECT_EQ(IOConnectUnmapMemory(a, kMemoryInputRing, mach_task_self(), input), kIOReturnBadArgument);
    // Closing unmaps what is still mapped (status block and output ring of `a`).
    EXPECT_EQ(IOServiceClose(a), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(b), kIOReturnSuccess);
}

TEST_F(ConnectionTest, UnpluggedServiceAnswersNoDeviceButKeepsItsMappings)
{
    io_connect_t connect = open();
    vm_address_t status = 0, ring = 0;
    vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory(connect, kMemoryStatusBlock, mach_task_self(), &status, &size, kIOMapAnywhere),
              kIOReturnSuccess);
    ASSERT_EQ(IOConnectMapMemory(connect, kMemoryInputRing, mach_task_self(), &ring, &size, kIOMapAnywhere),
              kIOReturnSuccess);
    ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);

    DriverRequest r = makeRequest(kReqOpen);
    EXPECT_EQ(call(connect, r), kIOReturnNoDevice);
    vm_address_t more = 0;
    EXPECT_EQ(IOConnectMapMemory(connect, kMemoryOutputRing, mach_task_self(), &more, &size, kIOMapAnywhere),
              kIOReturnNoDevice);
    // The mappings are still there to read and write.
    reinterpret_cast<volatile uint8_t*>(status)[kStatusBlockSize - 1] = 7;
    reinterpret_cast<volatile uint8_t*>(ring)[kAudioRingSize - 1] = 8;
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(ring)[kAudioRingSize - 1], 8);
    // New connections are refused.
    io_connect_t another = 0;
    EXPECT_EQ(IOServiceOpen(m_service, mach_task_self(), 0, &another), kIOReturnNoDevice);

    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    EXPECT_TRUE(waitUntil([&] { return m_script.with([](Script& j) { return j.closed.size() == 1; }); }));
}

TEST_F(ConnectionTest, ClosingOrDroppingAConnectionReachesTheBehaviour)
{
    io_connect_t closed = open();
    io_connect_t dropped = open();
    io_connect_t kept = open();
    ASSERT_EQ(IOObjectRetain(kept), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(closed), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(dropped), kIOReturnSuccess); // the last reference: as if the client died
    EXPECT_EQ(IOServiceClose(kept), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(kept), kIOReturnNotOpen); // closed, though still referenced
    DriverRequest r = makeRequest(kReqOpen);
    EXPECT_EQ(call(kept, r), kIOReturnNotOpen);
    EXPECT_EQ(IOObjectRelease(kept), kIOReturnSuccess);
    EXPECT_TRUE(waitUntil([&] { return m_script.with([](Script& j) { return j.closed.size() == 3; }); }));
    auto listed = daemon().thread().call([](kext::Daemon& d) { return d.connections().size(); });
    EXPECT_EQ(listed, 0u);
}

TEST_F(ConnectionTest, ControlSessionPlugsAndConfigures)
{
    // What the lists say is the control tool's (ControlToolTest).
    kext::ControlClient& control = daemon().control();
    // Settings go to the service's behaviour, or with id 0 to the factory.
    EXPECT_EQ(control.configure(m_id, "source", "silence"), kIOReturnSuccess);
    EXPECT_EQ(control.configure(m_id, "fail", "x"), kIOReturnBadArgument);
    EXPECT_EQ(control.configure(0, "clock", "drift"), kIOReturnSuccess);
    EXPECT_EQ(control.configure(999, "source", "x"), kIOReturnNoDevice);
    EXPECT_EQ(m_script.with([](Script& j) { return j.settings; }),
              (std::vector<std::string>{"source=silence", "daemon:clock=drift"}));

    uint32_t id = 0;
    EXPECT_EQ(control.plug("recording", 0x80, id), kIOReturnBadArgument);
    EXPECT_EQ(control.plug("recording", 0, id), kIOReturnSuccess);
    EXPECT_NE(id, m_id);
    EXPECT_EQ(control.unplug(id), kIOReturnSuccess);
    EXPECT_EQ(control.unplug(id), kIOReturnNoDevice);
    EXPECT_EQ(m_script.with([](Script& j) { return j.unplugged; }), std::vector<uint32_t>{id});
}

TEST_F(ConnectionTest, ADaemonThatGoesAwayFailsRequestsCleanly)
{
    io_connect_t connect = open();
    vm_address_t status = 0;
    vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory(connect, kMemoryStatusBlock, mach_task_self(), &status, &size, kIOMapAnywhere),
              kIOReturnSuccess);
    IOObjectRelease(m_service);
    m_service = 0;
    ScriptedTest::TearDown();
    DriverRequest r = makeRequest(kReqOpen);
    EXPECT_EQ(call(connect, r), kIOReturnNoDevice);
    EXPECT_EQ(call(connect, r), kIOReturnNoDevice);
    reinterpret_cast<volatile uint8_t*>(status)[0] = 1; // still mapped until closed
    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    ScriptedTest::SetUp();
}

} // namespace
} // namespace kexttest
