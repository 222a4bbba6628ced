// The simulated kernel driver's side of the user-client protocol, through the IOKit calls: every
// request code, the configuration, the client records and the events they cause. The mappings
// are the transport's (ConnectionTest); the block a model powers up with is DeviceModelTest's.

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/APIDeviceInfo.h"
#include "kext/InterfaceBehaviour.h"
#include "tests/kext/InterfaceFixture.h"

namespace kexttest {
namespace {

using ConformanceTest = InterfaceTest;

std::vector<uint32_t> codesOf(const std::vector<KernelEvent>& events)
{
    std::vector<uint32_t> codes;
    for (const KernelEvent& e : events)
        codes.push_back(e.iCode);
    return codes;
}

TEST_F(ConformanceTest, EveryRequestCodeIsAnsweredAsTheModelSays)
{
    plugModel("default");
    auto client = open();
    ASSERT_TRUE(client->ok());
    EXPECT_TRUE(client->pair()[0] != 0 || client->pair()[1] != 0);

    auto word = [&](uint32_t code, kern_return_t expected = kIOReturnSuccess) {
        DriverRequest r = makeRequest(code);
        EXPECT_EQ(client->call(r), expected) << "request " << code;
        return r.word(0);
    };
    EXPECT_EQ(word(kReqOpen), client->pair()[0]);
    EXPECT_EQ(word(kReqBandwidth1), m_model.outBandwidth);
    EXPECT_EQ(word(kReqBandwidth2), m_model.inBandwidth);
    EXPECT_EQ(word(kReqVersionHAL), m_model.halVersion);
    EXPECT_EQ(word(kReqVersionUSB), m_model.usbVersion);
    EXPECT_EQ(client->call(kReqInitialise, kext::kInitialiseArgument), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqInitialise, 0), kIOReturnBadArgument);
    // Reset: 30 completes a 29 of the same connection.
    EXPECT_EQ(client->call(kReqResetComplete), kIOReturnNotReady);
    EXPECT_EQ(client->call(kReqReset), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqResetComplete), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqResetComplete), kIOReturnNotReady);
    // Detaching without a record has nothing to undo.
    EXPECT_EQ(client->call(kReqDetach), kIOReturnSuccess);

    for (uint32_t code : {0u, 5u, 7u, 8u, 9u, 14u, 20u, 21u, 22u, 23u, 28u, 32u, 41u, 1000u, 0xFFFFFFFFu})
        EXPECT_EQ(client->call(code), kIOReturnUnsupported) << "request " << code;
    for (uint32_t sub : {0u, 28u, 33u, 40u, 43u})
        EXPECT_EQ(client->codec(sub, 0), kIOReturnUnsupported) << "sub-command " << sub;
    // Monitoring on or off; input pairs are routed only by the interface that has them.
    for (uint32_t pairs : {12u, 34u})
        EXPECT_EQ(client->call(kReqSetMonitor, pairs), kIOReturnBadArgument) << pairs;
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
    EXPECT_EQ(word(kReqVersionUSB), m_model.usbVersion);
}

TEST_F(ConformanceTest, ChannelSettingsConfigureTheInterfaceAndAreAnnounced)
{
    plugModel("default");
    auto client = open();
    NotifyPort port;
    EventLog log;
    ASSERT_TRUE(client->ok());
    ASSERT_TRUE(port.listen(m_service, log));
    int slot = 0;
    EXPECT_EQ(client->attach(256, &slot), kIOReturnNotReady); // nothing streams unconfigured

    const VkChannelSettings s = kext::defaultSettings(m_model);
    ASSERT_EQ(client->applySettings(s), kIOReturnSuccess);
    EXPECT_EQ(client->block().bConfigured, 1u);
    EXPECT_EQ(client->block().channels, s);
    ASSERT_TRUE(runLoopUntil([&] { return log.count(kEventFormatChanged) == 1; }));
    EXPECT_EQ(paramsOf(log.last(kEventFormatChanged)),
              (std::array<uint32_t, 7>{s.iFrequency, s.iInChannels, s.iInBits, s.iOutChannels, s.iOutBits,
                                       s.iConfiguration, 0}));

    // What the descriptors cannot carry is refused and changes nothing.
    for (const VkChannelSettings& bad : {VkChannelSettings{12345, 2, 16, 2, 16, 0}, VkChannelSettings{48000, 3, 16, 2, 16, 0},
                                         VkChannelSettings{48000, 2, 18, 2, 16, 0}, VkChannelSettings{48000, 0, 16, 0, 16, 0},
                                         VkChannelSettings{48000, 2, 16, 2, 16, 7}})
        EXPECT_EQ(client->applySettings(bad), kIOReturnBadArgument) << bad.iFrequency << " " << bad.iInChannels;
    EXPECT_EQ(client->block().channels, s);

    // Request 1 takes what the user side wrote to the block.
    const VkChannelSettings other{44100, 2, 16, 2, 16, 0};
    ASSERT_TRUE(kext::canCarry(m_model, other));
    client->block().channels = other;
    ASSERT_EQ(client->call(kReqSetConfiguration), kIOReturnSuccess);
    EXPECT_EQ(client->block().channels, other);
    ASSERT_TRUE(runLoopUntil([&] { return log.count(kEventFormatChanged) == 2; }));
    EXPECT_EQ(log.last(kEventFormatChanged).iParam[0], 44100u);
    EXPECT_EQ(codesOf(log.all()), (std::vector<uint32_t>{kEventFormatChanged, kEventFormatChanged}));
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
    configure(*clients[0]);
    const InterfaceClient& first = *clients[0];
    for (uint32_t frames : {0u, 63u, 1025u, 0xFFFFFFFFu})
        EXPECT_EQ(first.attach(frames), kIOReturnBadArgument) << frames;
    // The record names the process that opened the connection, not one it claims to be.
    EXPECT_EQ(first.attach(256, nullptr, uint32_t(getpid()) + 1), kIOReturnBadArgument);
    EXPECT_EQ(first.attach(256, nullptr, 0), kIOReturnBadArgument);
    EXPECT_EQ(first.block().streamingCount(), 0u);

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
    for (uint32_t past : {chunk + 1, 385u, 100000u, 0xFFFFFFFFu}) {
        DriverRequest r = makeRequest(kReqDeviceInfo, past);
        EXPECT_EQ(client->call(r), kIOReturnSuccess);
        EXPECT_EQ(r.iCode, 0u);
    }
}

TEST_F(ConformanceTest, ControlsRequestsApplyTheRegionAndPostTheirEventsOnChange)
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

    // Mute: applied and announced; the same state again is no change.
    b.saveControls();
    out.bMute = 1;
    ASSERT_EQ(client->call(kReqSetMute), kIOReturnSuccess);
    ASSERT_EQ(client->call(kReqSetMute), kIOReturnSuccess);
    out.bMute = 2;
    EXPECT_EQ(client->call(kReqSetMute), kIOReturnBadArgument);
    EXPECT_EQ(out.bMute, 1); // shows again what the interface runs with

    // Volume: within the entry's range, with request word 0 at 0.
    ControlsVolume& v = out.volume[1];
    v.iCurrent = v.iMin;
    EXPECT_EQ(client->call(kReqSetVolume, 5), kIOReturnBadArgument);
    ASSERT_EQ(client->call(kReqSetVolume, 0), kIOReturnSuccess);
    const int16_t held = v.iCurrent;
    v.iCurrent = int16_t(v.iMax + 1);
    EXPECT_EQ(client->call(kReqSetVolume, 0), kIOReturnBadArgument);
    EXPECT_EQ(v.iCurrent, held);

    // Data source: one bit, of a source that exists.
    ControlsBlock& in = b.controls.input;
    ASSERT_EQ(in.iSourceCount, 2);
    in.iSourceMask = 2;
    ASSERT_EQ(client->call(kReqSetDataSource), kIOReturnSuccess);
    for (uint8_t bad : {0, 3, 4, 128}) {
        in.iSourceMask = bad;
        EXPECT_EQ(client->call(kReqSetDataSource), kIOReturnBadArgument) << int(bad);
        EXPECT_EQ(in.iSourceMask, 2);
    }
    // A kernel-owned field the client scribbled on comes back with the next request of its kind.
    v.iMax = 0x100;
    ASSERT_EQ(client->call(kReqSetVolume, 0), kIOReturnSuccess);
    EXPECT_EQ(v.iMax, 0);

    ASSERT_TRUE(runLoopUntil([&] { return log.count(kEventDataSourceChanged) == 1; }));
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, false);
    const std::vector<KernelEvent> events = log.all();
    EXPECT_EQ(codesOf(events), (std::vector<uint32_t>{kEventMuteChanged, kEventVolumeChanged, kEventDataSourceChanged}));
    EXPECT_EQ(events[0].iParam[0], 1u); // output
    EXPECT_EQ(events[1].iParam[0], 1u);
    EXPECT_EQ(paramsOf(events[2]), (std::array<uint32_t, 7>{2, 1, 2, 0, 0, 0, 0}));
}

DriverRequest usbRequest(uint32_t direction, uint32_t level, uint32_t recipient, uint8_t request, uint16_t value,
                         uint16_t index, int32_t length)
{
    DriverRequest r = makeRequest(kReqUsbControl);
    r.usb.iUsbDirection = direction;
    r.usb.iUsbLevel = level;
    r.usb.iUsbRecipient = recipient;
    r.usb.iUsbRequest = request;
    r.usb.iUsbValue = value;
    r.usb.iUsbIndex = index;
    r.usb.iUsbLength = length;
    return r;
}

TEST_F(ConformanceTest, TheUsbControlEndpointAnswersTheDeviceDescriptorAndRefusesTheRest)
{
    using namespace kext;
    plugModel("default");
    auto client = open();
    ASSERT_TRUE(client->ok());

    // The device descriptor, whole or cut to the length asked for.
    const auto descriptor = usbDeviceDescriptor(m_model);
    DriverRequest r = usbRequest(kUsbIn, kUsbStandard, kUsbDevice, 6, 0x0100, 0, 64);
    ASSERT_EQ(client->call(r), kIOReturnSuccess);
    ASSERT_EQ(r.usb.iUsbLength, 18);
    EXPECT_EQ(std::memcmp(r.usb.usbData, descriptor.data(), 18), 0);
    r = usbRequest(kUsbIn, kUsbStandard, kUsbDevice, 6, 0x0100, 0, 8);
    ASSERT_EQ(client->call(r), kIOReturnSuccess);
    EXPECT_EQ(r.usb.iUsbLength, 8);
    EXPECT_EQ(r.usb.usbData[8], 0);

    // Malformed transfers (a write past the vendor scratch memory too), and what the endpoint
    // does not know.
    const std::pair<DriverRequest, kern_return_t> refused[] = {
        {usbRequest(kUsbOut, kUsbVendor, kUsbDevice, kUsbVendorWrite, kUsbScratchSize - 4, 0, 5), kIOReturnBadArgument},
        {usbRequest(kUsbIn, kUsbStandard, kUsbDevice, 6, 0x0100, 0, -1), kIOReturnBadArgument},
        {usbRequest(kUsbIn, kUsbStandard, kUsbDevice, 6, 0x0100, 0, 129), kIOReturnBadArgument},
        {usbRequest(kUsbIn, kUsbStandard, kUsbDevice, 6, 0x0100, 0, 0x7FFFFFFF), kIOReturnBadArgument},
        {usbRequest(1, kUsbStandard, kUsbDevice, 6, 0x0100, 0, 18), kIOReturnBadArgument},
        {usbRequest(kUsbIn, 3, kUsbDevice, 6, 0x0100, 0, 18), kIOReturnBadArgument},
        {usbRequest(kUsbIn, kUsbStandard, 4, 6, 0x0100, 0, 18), kIOReturnBadArgument},
        {usbRequest(kUsbIn, kUsbStandard, kUsbDevice, 6, 0x0200, 0, 64), kIOReturnUnsupported},
        {usbRequest(kUsbIn, kUsbStandard, kUsbDevice, 6, 0x0304, 0x0409, 64), kIOReturnUnsupported},
        {usbRequest(kUsbOut, kUsbStandard, kUsbDevice, 9, 1, 0, 0), kIOReturnUnsupported},
        {usbRequest(kUsbIn, kUsbClass, kUsbInterface, 0x81, 0x0100, 0x0200, 2), kIOReturnUnsupported},
        {usbRequest(kUsbIn, kUsbVendor, kUsbDevice, 0x7F, 0, 0, 2), kIOReturnUnsupported},
    };
    for (size_t i = 0; i < std::size(refused); ++i) {
        DriverRequest request = refused[i].first;
        EXPECT_EQ(client->call(request), refused[i].second) << "case " << i;
    }
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
    EXPECT_EQ(a->block().inputOwnerToken(), a->token());

    ASSERT_EQ(b->codec(kCodecSetInputsExclusive, 2), kIOReturnSuccess);
    EXPECT_EQ(a->block().inputOwnerToken(), b->token());
    ASSERT_EQ(b->codec(kCodecSetInputsExclusive, 0), kIOReturnSuccess);
    EXPECT_EQ(a->block().inputOwnerToken(), 0u);
    EXPECT_EQ(a->codec(kCodecSetInputsExclusive, 0xFFFFFFFF), kIOReturnBadArgument);
    // An owner that goes away takes its ownership with it: EventsTest.
}

// Reading and writing a register is the device's diagnostic (DeviceLifecycleTest); here the
// bounds of the register file.
TEST_F(ConformanceTest, TheCodecRegisterFileKeepsToItsBounds)
{
    plugModel("default");
    auto client = open();
    ASSERT_TRUE(client->ok());
    auto reg = [&](uint32_t sub, uint16_t group, uint16_t index) {
        DriverRequest r = makeRequest(kReqCodec, sub);
        r.setHalf(4, group);
        r.setHalf(6, index);
        r.setHalf(8, 7);
        return client->call(r);
    };
    EXPECT_EQ(reg(kCodecSetRegister, kext::kCodecGroups - 1, kext::kCodecRegisters - 1), kIOReturnSuccess);
    EXPECT_EQ(reg(kCodecGetRegister, kext::kCodecGroups - 1, kext::kCodecRegisters - 1), kIOReturnSuccess);
    EXPECT_EQ(reg(kCodecGetRegister, 5, 1), kIOReturnBadArgument);
    EXPECT_EQ(reg(kCodecSetRegister, kext::kCodecGroups, 0), kIOReturnBadArgument);
    EXPECT_EQ(reg(kCodecSetRegister, 0, kext::kCodecRegisters), kIOReturnBadArgument);
    EXPECT_EQ(reg(kCodecGetRegister, 0xFFFF, 0xFFFF), kIOReturnBadArgument);
}

} // namespace
} // namespace kexttest
