// The simulated kernel driver's side of the user-client protocol, through the IOKit calls: the
// request codes, the configuration, the client records and the events they cause. The mappings
// are the transport's (ConnectionTest); the block a model powers up with is DeviceModelTest's.
// The device layer drives the rest end to end (tests/device): the versions, the controls and
// codec values it sets, the USB device descriptor, channel settings and format changes made by
// another client, request 1 taking what the block says.

#include <cstring>
#include <vector>

#include "device/APIDeviceInfo.h"
#include "kext/InterfaceBehaviour.h"
#include "tests/kext/InterfaceFixture.h"

namespace kexttest {
namespace {

using ConformanceTest = InterfaceTest;

TEST_F(ConformanceTest, RequestsAreAnsweredAsTheModelSays)
{
    plugModel("default");
    auto client = open();
    ASSERT_TRUE(client->ok());
    auto word = [&](uint32_t code, kern_return_t expected = kIOReturnSuccess) {
        DriverRequest r = makeRequest(code);
        EXPECT_EQ(client->call(r), expected) << "request " << code;
        return r.word(0);
    };
    EXPECT_EQ(word(kReqOpen), client->pair()[0]);
    EXPECT_EQ(word(kReqBandwidth1), m_model.outBandwidth);
    EXPECT_EQ(word(kReqBandwidth2), m_model.inBandwidth);
    EXPECT_EQ(client->call(kReqInitialise, kext::kInitialiseArgument), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqInitialise, 0), kIOReturnBadArgument);
    // Reset: 30 completes a 29 of the same connection.
    EXPECT_EQ(client->call(kReqResetComplete), kIOReturnNotReady);
    EXPECT_EQ(client->call(kReqReset), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqResetComplete), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqResetComplete), kIOReturnNotReady);
    // Detaching without a record has nothing to undo.
    EXPECT_EQ(client->call(kReqDetach), kIOReturnSuccess);

    for (uint32_t code : {0u, 5u, 41u, 0xFFFFFFFFu})
        EXPECT_EQ(client->call(code), kIOReturnUnsupported) << "request " << code;
    EXPECT_EQ(client->codec(0, 0), kIOReturnUnsupported);
    // Monitoring on or off; input pairs are routed only by the interface that has them.
    EXPECT_EQ(client->call(kReqSetMonitor, 12), kIOReturnBadArgument);
    EXPECT_EQ(client->call(kReqSetMonitor, 1), kIOReturnSuccess);
    EXPECT_EQ(word(kReqGetMonitor), 1u);

    // A model that cannot monitor and has no codec says so.
    client.reset();
    ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);
    plugModel("tarsel-lite-hs");
    client = open();
    ASSERT_TRUE(client->ok());
    EXPECT_EQ(word(kReqCanMonitor), 0u);
    EXPECT_EQ(client->call(kReqSetMonitor, 1), kIOReturnUnsupported);
    EXPECT_EQ(client->codec(kCodecGetRegister, 0), kIOReturnUnsupported);
}

// Attaching and detaching as the device layer does are DriverConnectionTest's; the fixed
// layouts' fallback of request 1 is met by every model's initialisation (DeviceLifecycleTest).
TEST_F(ConformanceTest, AttachIsValidatedAndRecordsRunOut)
{
    plugModel("default");
    std::vector<std::unique_ptr<InterfaceClient>> clients;
    for (size_t i = 0; i <= kClientRecords; ++i) {
        clients.push_back(open());
        ASSERT_TRUE(clients.back()->ok());
    }
    EXPECT_EQ(clients[0]->attach(256), kIOReturnNotReady); // nothing streams unconfigured
    configure(*clients[0]);
    const InterfaceClient& first = *clients[0];
    // The record names the process that opened the connection, not one it claims to be.
    EXPECT_EQ(first.attach(256, nullptr, uint32_t(getpid()) + 1), kIOReturnBadArgument);

    for (size_t i = 0; i < kClientRecords; ++i) {
        int slot = -1;
        ASSERT_EQ(clients[i]->attach(64, &slot), kIOReturnSuccess);
        EXPECT_EQ(slot, int(i));
    }
    EXPECT_EQ(clients[kClientRecords]->attach(64), kIOReturnNoResources);
    EXPECT_EQ(first.block().streamingCount(), kClientRecords);
    ASSERT_EQ(clients[3]->call(kReqDetach), kIOReturnSuccess);
    int slot = -1;
    ASSERT_EQ(clients[kClientRecords]->attach(1024, &slot), kIOReturnSuccess);
    EXPECT_EQ(slot, 3);
    EXPECT_EQ(first.block().client(3)->ownerToken(), clients[kClientRecords]->token());

    // Closing a connection frees its record as a detach does.
    clients[5]->close();
    ASSERT_TRUE(waitUntil([&] { return first.block().client(5)->iPid == 0; }));
    EXPECT_EQ(first.block().streamingCount(), kClientRecords - 1);
}

TEST_F(ConformanceTest, DeviceInformationIsServedInChunks)
{
    plugModel("brightwater-mixer-16-fs");
    auto client = open();
    ASSERT_TRUE(client->ok());
    auto expected = std::make_unique<APIDeviceInfo>();
    kext::buildDeviceInfo(m_model, *expected);
    auto read = std::make_unique<APIDeviceInfo>();
    auto* bytes = reinterpret_cast<uint8_t*>(read.get());
    size_t have = 0;
    uint32_t chunk = 0;
    // As the device layer reads it: on while a chunk is full.
    for (;; ++chunk) {
        DriverRequest r = makeRequest(kReqDeviceInfo, chunk);
        ASSERT_EQ(client->call(r), kIOReturnSuccess);
        ASSERT_LE(r.iCode, 256u);
        ASSERT_LE(have + r.iCode, sizeof *read);
        std::memcpy(bytes + have, r.data, r.iCode);
        have += r.iCode;
        if (r.iCode != 256)
            break;
    }
    EXPECT_EQ(have, kext::deviceInfoLength(m_model));
    EXPECT_EQ(std::memcmp(read.get(), expected.get(), sizeof *read), 0);
    // Past the end there is nothing more, however far.
    DriverRequest past = makeRequest(kReqDeviceInfo, 0xFFFFFFFFu);
    EXPECT_EQ(client->call(past), kIOReturnSuccess);
    EXPECT_EQ(past.iCode, 0u);
}

// Values the device sets are its own tests' (DeviceControlsTest); here what a client that
// writes the region wrongly gets.
TEST_F(ConformanceTest, ControlsRequestsRefuseWhatTheEntryCannotHoldAndAnnounceOnlyChanges)
{
    plugModel("default"); // Main Out with mute and per-channel volume; two inputs
    auto client = open();
    NotifyPort port;
    EventLog log;
    ASSERT_TRUE(client->ok());
    ASSERT_TRUE(port.listen(m_service, log));
    KernelStatusBlock& b = client->block();
    ControlsEntry& out = b.controls.output.entries[0];
    ASSERT_EQ(out.bHasMute, 1u);
    ASSERT_EQ(out.bMute, 0);

    // The same state again is no change; a value that is no state is refused, and the entry
    // shows again what the interface runs with.
    b.saveControls();
    out.bMute = 1;
    ASSERT_EQ(client->call(kReqSetMute), kIOReturnSuccess);
    ASSERT_EQ(client->call(kReqSetMute), kIOReturnSuccess);
    out.bMute = 2;
    EXPECT_EQ(client->call(kReqSetMute), kIOReturnBadArgument);
    EXPECT_EQ(out.bMute, 1);

    // Volume: within the entry's range, with request word 0 at 0.
    ControlsVolume& v = out.volume[1];
    EXPECT_EQ(client->call(kReqSetVolume, 5), kIOReturnBadArgument);
    const int16_t held = v.iCurrent;
    v.iCurrent = int16_t(v.iMax + 1);
    EXPECT_EQ(client->call(kReqSetVolume, 0), kIOReturnBadArgument);
    EXPECT_EQ(v.iCurrent, held);

    // Data source: one bit, of a source that exists.
    ControlsBlock& in = b.controls.input;
    ASSERT_EQ(in.iSourceCount, 2);
    const uint8_t mask = in.iSourceMask;
    in.iSourceMask = 3;
    EXPECT_EQ(client->call(kReqSetDataSource), kIOReturnBadArgument);
    EXPECT_EQ(in.iSourceMask, mask);
    // A kernel-owned field the client scribbled on comes back with the next request of its kind.
    v.iMax = 0x100;
    ASSERT_EQ(client->call(kReqSetVolume, 0), kIOReturnSuccess);
    EXPECT_EQ(v.iMax, 0);

    // Of all that, one mute changed.
    ASSERT_TRUE(runLoopUntil([&] { return log.count(kEventMuteChanged) == 1; }));
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, false);
    EXPECT_EQ(log.all().size(), 1u);
}

TEST_F(ConformanceTest, ExclusiveInputsMakeTheCallerTheInputOwner)
{
    plugModel("default");
    auto a = open();
    auto b = open();
    ASSERT_TRUE(a->ok());
    ASSERT_TRUE(b->ok());
    configure(*a);
    int slot = -1;
    ASSERT_EQ(a->attach(256, &slot), kIOReturnSuccess);
    uint32_t value = 0;

    ASSERT_EQ(a->codec(kCodecSetInputsExclusive, 1), kIOReturnSuccess);
    ASSERT_EQ(b->codec(kCodecGetInputsExclusive, 0, &value), kIOReturnSuccess);
    EXPECT_EQ(value, 1u);
    // The token compares equal to the owner's record, as the device layer compares them.
    EXPECT_EQ(a->block().inputOwnerToken(), a->block().client(slot)->ownerToken());
    ASSERT_EQ(b->codec(kCodecSetInputsExclusive, 2), kIOReturnSuccess);
    EXPECT_EQ(a->block().inputOwnerToken(), b->token());
    ASSERT_EQ(b->codec(kCodecSetInputsExclusive, 0), kIOReturnSuccess);
    EXPECT_EQ(a->block().inputOwnerToken(), 0u);
    // An owner that goes away takes its ownership with it: EventsTest. Setting and reading the
    // other codec values, registers among them, is the device's (DeviceControlsTest).
}

} // namespace
} // namespace kexttest
