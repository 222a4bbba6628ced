// The device object's life against a private simulated kernel driver: initialisation and its
// failures, the configuration hand-shake between processes, the kernel events, properties,
// hardware preparation and the small queries.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>

#include "tests/device/DeviceFixture.h"
#include "tests/support/InterfaceClient.h"
#include "tests/support/ScriptedKernel.h"
#include "tests/support/Subprocess.h"

namespace devicetest {
namespace {

using kexttest::PrivateDaemon;
using kexttest::Script;
using kexttest::runLoopUntil;

class ScriptedDeviceTest : public ::testing::Test {
protected:
    // Plugs one scripted interface and makes a device on it.
    ZmOSXDevice* device()
    {
        io_service_t service = plugScripted(m_script, m_daemon);
        EXPECT_NE(service, 0u);
        m_device = new ZmOSXDevice(nullptr, &m_client, service, nullptr);
        m_device->incReferences();
        IOObjectRelease(service);
        return m_device;
    }
    void TearDown() override
    {
        if (m_device != nullptr)
            m_device->decReferences();
        m_daemon.reset();
    }

    PrivateHome m_home;
    Script m_script;
    RecordingClient m_client;
    std::unique_ptr<PrivateDaemon> m_daemon;
    ZmOSXDevice* m_device = nullptr;
};

const uint8_t* infoBytes(const ZmOSXDevice& device)
{
    return reinterpret_cast<const uint8_t*>(&device.getDeviceInfo());
}

TEST_F(ScriptedDeviceTest, DeviceInformationIsReadInChunksThatMustFitTheRecord)
{
    // Each chunk's bytes say which chunk they are; `bytes` checks what was taken where.
    const struct Case {
        std::vector<uint32_t> lengths;
        bool failInfo, initialises;
        int stillOpen; // -1: not looked at
        int requests;
        std::vector<std::pair<size_t, uint8_t>> bytes;
    } cases[] = {
        // Two full chunks, then one that answers nothing.
        {{256, 256, 0}, false, true, 1, 3, {{0, 1}, {255, 1}, {256, 2}, {511, 2}, {512, 0}}},
        // A length beyond the record's 256 bytes ends the block without taking anything of it.
        {{256, 100, 5000}, false, true, 1, 2, {{256, 2}, {355, 2}, {356, 0}}},
        // 385 full chunks fit, the 386th does not and is not taken in part; the device stays open.
        {{256}, false, false, 1, 386, {{sizeof(APIDeviceInfo) - 1, 0}}},
        // No second chunk after a failed one.
        {{256}, true, false, -1, 1, {{0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requests);
        m_script.infoLengths = c.lengths;
        m_script.failInfo = c.failInfo;
        m_script.infoRequests = 0;
        m_script.configurations = 0;
        ZmOSXDevice* d = device();
        EXPECT_EQ(d->init(), c.initialises);
        EXPECT_EQ(m_script.infoRequests, c.requests);
        if (c.stillOpen >= 0) {
            EXPECT_EQ(d->ioIsOpen(), c.stillOpen == 1);
        }
        for (const auto& [offset, value] : c.bytes)
            EXPECT_EQ(infoBytes(*d)[offset], value) << "byte " << offset;
        EXPECT_EQ(m_script.configurations, 0) << "an interface already configured is left as it is";
        TearDown();
        m_device = nullptr;
    }
}

TEST_F(ScriptedDeviceTest, UnterminatedTextsStopAtTheirFields)
{
    m_script.infoLengths = {4, 0};
    m_script.unterminatedTexts = true;
    ZmOSXDevice* d = device();
    ASSERT_TRUE(d->init());
    EXPECT_EQ(std::string(d->getManufacturer().c_str()), std::string(kStatusTextSize, 'M'));
    EXPECT_EQ(std::string(d->getDeviceName().c_str()), std::string(kStatusTextSize, 'D'));
    EXPECT_EQ(std::string(d->getModelUID().c_str()), std::string(kStatusTextSize, 'U'));
}

// ---------------------------------------------------------------------------------------------
// The real interfaces

class DeviceLifecycleTest : public DeviceTest {
protected:
    // Initialised with HAL objects to announce to, listening for kernel events, nothing recorded.
    ZmOSXDevice* listening()
    {
        ZmOSXDevice* d = published("tarsel");
        if (d == nullptr)
            return nullptr;
        if (!listen(d))
            return nullptr;
        settle();
        m_client.format = 0;
        clearRecordedHALCalls();
        return d;
    }
};

TEST_F(DeviceLifecycleTest, InitialisesWithTheInterfacesTextsSettingsAndDefaults)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->getManufacturer().c_str(), "Quenta Audio");
    EXPECT_EQ(std::tuple(d->isQuentaBulkDevice(), d->isMarlowCompatible(), d->isDeviceOpen(), d->getVersionUSB(),
                         d->getVersionHAL()),
              std::tuple(true, true, true, m_model.usbVersion, m_model.halVersion));

    // Configured by this process (the claim given back): the settings in force are the kernel's.
    const KernelStatusBlock* s = d->getDriverSM();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::tuple(s->bConfigured, s->iClaimCounter, d->getTrueChannels(), d->getReportedChannels(),
                         d->getPendingDirection()),
              std::tuple(1u, 0, s->channels, s->channels, 0u));

    // 256 frames: the default for an ordinary host.
    EXPECT_EQ(std::tuple(d->getFrameSize(), d->isRunningSomewhere(), d->isRunningStream(), d->getStreamState()),
              std::tuple(256u, false, false, kStreamIdle));
}

TEST_F(DeviceLifecycleTest, AFewModelsShowTheirAlternativeName)
{
    for (const auto& [model, name] : {std::pair{"greyhaven-cask-420-hs", "Greyhaven Cask 420"},
                                      std::pair{"millbrook-one-hs", "Millbrook One"}}) {
        ZmOSXDevice* d = initialised(model);
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d->getDeviceName().c_str(), name);
        releaseDevices();
        ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);
    }
}

TEST_F(DeviceLifecycleTest, EveryModelOfTheCatalogueInitialises)
{
    for (const kext::DeviceModel& model : kext::catalogue()) {
        ZmOSXDevice* d = initialised(model.name);
        ASSERT_NE(d, nullptr) << model.name;
        AudioValueRange rates[8];
        EXPECT_EQ(std::tuple(d->isDevice(model.vendorId, model.productId), d->isUSB2Device(), d->getFrequency() != 0,
                             d->getSampleRates(rates, 8) >= 1),
                  std::tuple(true, model.highSpeed, true, true))
            << model.name;
        releaseDevices();
        ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess) << model.name;
    }
}

TEST_F(DeviceLifecycleTest, AnotherInterfaceVersionIsRefusedWithItsMessage)
{
    const std::pair<const char*, const char*> cases[] = {
        {"3301", "There is a old USB driver installed. Please install the corresponding new USB driver.\n"},
        {"3303", "There is a newer USB driver installed. Please install the corresponding new ASIO driver.\n"},
    };
    for (const auto& [version, message] : cases) {
        ASSERT_EQ(daemon().control().configure(0, "version", version), kIOReturnSuccess);
        ASSERT_TRUE(plug("tarsel"));
        ZmOSXDevice* d = makeDevice();
        testing::internal::CaptureStdout();
        const bool ok = d->init();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), message);
        EXPECT_FALSE(ok) << version;
        EXPECT_TRUE(d->getManufacturer().isEmpty()) << "nothing is read from a block of another version";
        releaseDevices();
        ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);
    }
}

TEST_F(DeviceLifecycleTest, AnInterfaceNobodyConfiguresFailsInit)
{
    ASSERT_TRUE(plug("tarsel"));
    ASSERT_EQ(set("configuration", "never"), kIOReturnSuccess);
    ZmOSXDevice* d = makeDevice();
    EXPECT_FALSE(d->init());
    EXPECT_EQ(d->getDriverSM()->iClaimCounter, 0) << "the owner gives its claim back";
}

TEST_F(DeviceLifecycleTest, AWaitingProcessTakesTheLateConfiguration)
{
    ASSERT_TRUE(plug("tarsel"));
    ASSERT_EQ(set("configuration", "late:800"), kIOReturnSuccess);
    // Another process holds the claim and configures; this one waits for the flag.
    auto other = std::make_unique<kexttest::InterfaceClient>(m_service);
    ASSERT_TRUE(other->ok());
    other->block().iClaimCounter = 1;
    ASSERT_EQ(other->call(kReqSetConfiguration), kIOReturnSuccess);
    ZmOSXDevice* d = makeDevice();
    EXPECT_TRUE(d->init());
    EXPECT_EQ(d->getTrueChannels(), other->block().channels);
}

// Counts the requests each code gets, on top of the real interface.
class CountingBehaviour : public kext::InterfaceBehaviour {
public:
    CountingBehaviour(kext::DeviceModel model, std::array<std::atomic<int>, 32>& counts)
        : InterfaceBehaviour(std::move(model), {}), m_counts(counts)
    {
    }
    kern_return_t handleRequest(kext::Connection& connection, DriverRequest& request) override
    {
        if (request.iCode < m_counts.size())
            ++m_counts[request.iCode];
        return InterfaceBehaviour::handleRequest(connection, request);
    }

private:
    std::array<std::atomic<int>, 32>& m_counts;
};

class CountingFactory : public kext::BehaviourFactory {
public:
    explicit CountingFactory(std::array<std::atomic<int>, 32>& counts) : m_counts(counts) {}
    std::unique_ptr<kext::ServiceBehaviour> create(kext::ServiceSetup&) override
    {
        return std::make_unique<CountingBehaviour>(*kext::findModel("tarsel"), m_counts);
    }

private:
    std::array<std::atomic<int>, 32>& m_counts;
};

TEST(DeviceHandshake, TwoProcessesInitialisingAtOnceConfigureOnce)
{
    PrivateHome home;
    for (int round = 0; round < 3; ++round) {
        std::array<std::atomic<int>, 32> counts{};
        PrivateDaemon daemon(std::make_unique<CountingFactory>(counts));
        ASSERT_TRUE(daemon.started());
        ASSERT_NE(daemon.plug("tarsel"), 0u);

        // Two helper processes, both waiting on one pipe.
        int gate[2];
        ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
        kexttest::BackgroundProgram first(DEVICE_CHILD, {"init"}, home.folder(), "first", gate[0]);
        kexttest::BackgroundProgram second(DEVICE_CHILD, {"init"}, home.folder(), "second", gate[0]);
        close(gate[0]);
        ASSERT_TRUE(first.started() && second.started());
        const char go[2] = {1, 1};
        ASSERT_EQ(write(gate[1], go, 2), 2);
        close(gate[1]);
        EXPECT_EQ(first.finish().status, 0) << "round " << round;
        EXPECT_EQ(second.finish().status, 0) << "round " << round;
        EXPECT_EQ(counts[kReqSetConfiguration], 1) << "round " << round;
        EXPECT_EQ(counts[kReqDeviceInfo] >= 2, true);
    }
}

// ---------------------------------------------------------------------------------------------
// Kernel events

TEST_F(DeviceLifecycleTest, ARateChangedElsewhereIsTakenOverAndAnnouncedAndTheSameSettingsAreNot)
{
    ZmOSXDevice* d = listening();
    ASSERT_NE(d, nullptr);

    const VkChannelSettings s = d->getTrueChannels();
    ASSERT_EQ(daemon().control().postEvent(m_id, kEventFormatChanged,
                                           {s.iFrequency, s.iInChannels, s.iInBits, s.iOutChannels, s.iOutBits,
                                            s.iConfiguration, 0}),
              kIOReturnSuccess);
    settle();
    EXPECT_EQ(m_client.format, 0);
    EXPECT_TRUE(recordedHALCalls().empty());
    EXPECT_EQ(d->getTrueChannels(), s);

    // Another process changes the rate only.
    VkChannelSettings next = d->getTrueChannels();
    next.iFrequency = next.iFrequency == 44100 ? 48000 : 44100;
    kexttest::InterfaceClient other(m_service);
    ASSERT_EQ(other.applySettings(next), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] { return d->getFrequency() == next.iFrequency; }));
    settle();
    EXPECT_EQ(d->getTrueChannels(), next);
    EXPECT_EQ(d->getReportedChannels(), next);
    EXPECT_GE(m_client.format, 1);
    EXPECT_EQ(rateNotifications(), std::tuple(2u, 1u, 1u));
    AudioStreamBasicDescription f{};
    ASSERT_EQ(d->getStreamFormat(true, &f, true, 128), 0);
    EXPECT_EQ(f.mSampleRate, double(next.iFrequency));
}

TEST_F(DeviceLifecycleTest, ClientEventsNameOnlyOtherClients)
{
    ZmOSXDevice* d = listening();
    ASSERT_NE(d, nullptr);

    // Our own attach: the kernel names our pair, so no report, but we now stream.
    ASSERT_TRUE(d->callAttach(256, uint32_t(getpid())));
    ASSERT_TRUE(runLoopUntil([&] { return d->isRunningStream(); }));
    settle();
    EXPECT_TRUE(m_client.attached.empty());
    EXPECT_EQ(countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyDeviceIsRunning), 2u);
    EXPECT_EQ(countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyDeviceIsRunningSomewhere), 2u);

    // Another client attaches and detaches.
    kexttest::InterfaceClient other(m_service);
    int slot = -1;
    ASSERT_EQ(other.attach(512, &slot), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] {
        std::lock_guard<std::mutex> guard(m_client.lock);
        return !m_client.attached.empty();
    }));
    {
        std::lock_guard<std::mutex> guard(m_client.lock);
        ASSERT_EQ(m_client.attached.size(), 1u);
        EXPECT_EQ(m_client.attached[0], std::make_pair(long(slot), long(getpid())));
    }
    ASSERT_EQ(other.call(kReqDetach), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] {
        std::lock_guard<std::mutex> guard(m_client.lock);
        return !m_client.detached.empty();
    }));
    EXPECT_EQ(m_client.detached[0], long(slot));

    // And our own detach again says nothing.
    ASSERT_TRUE(d->callDetach());
    ASSERT_TRUE(runLoopUntil([&] { return !d->isRunningStream(); }));
    settle();
    std::lock_guard<std::mutex> guard(m_client.lock);
    EXPECT_EQ(m_client.detached.size(), 1u);
}

TEST_F(DeviceLifecycleTest, ControlAndStateEventsReachTheClientAndOtherMessagesDoNot)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    uint32_t wrongSize[9] = {32, kEventVolumeChanged};
    uint32_t volume[9] = {36, kEventVolumeChanged};
    ZmOSXDevice::ServiceInterestCallback(nullptr, m_service, kKernelEventMessage, volume);
    ZmOSXDevice::ServiceInterestCallback(d, m_service, kKernelEventMessage, wrongSize);
    ZmOSXDevice::ServiceInterestCallback(d, m_service, kKernelEventMessage + 1, volume);
    ZmOSXDevice::ServiceInterestCallback(d, m_service, kKernelEventMessage, nullptr);
    EXPECT_EQ(m_client.volume, 0);

    ASSERT_TRUE(listen(d));
    settle();
    auto post = [&](uint32_t code, kext::EventParams params = {}) {
        return daemon().control().postEvent(m_id, code, params);
    };
    ASSERT_EQ(post(kEventVolumeChanged), kIOReturnSuccess);
    ASSERT_EQ(post(kEventMuteChanged), kIOReturnSuccess);
    ASSERT_EQ(post(kEventMonitorChanged), kIOReturnSuccess);
    ASSERT_EQ(post(kEventDataSourceChanged), kIOReturnSuccess);
    ASSERT_EQ(post(kEventStateChange, {1, 2, 3, 4, 5, 6, 7}), kIOReturnSuccess);
    ASSERT_EQ(post(77), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] {
        std::lock_guard<std::mutex> guard(m_client.lock);
        return !m_client.states.empty();
    }));
    std::lock_guard<std::mutex> guard(m_client.lock);
    EXPECT_EQ(std::tuple(m_client.volume.load(), m_client.mute.load(), m_client.monitor.load(),
                         m_client.dataSource.load(), m_client.states[0].iCode, m_client.states[0].iParam[6]),
              std::tuple(1, 1, 1, 1, uint32_t(kEventStateChange), 7u));
}

TEST_F(DeviceLifecycleTest, TheDiagnosticEventPrintsThePhonoSwitches)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    DriverRequest set{};
    set.setWord(0, kCodecSetRegister);
    set.setHalf(4, 0);
    set.setHalf(6, 41);
    set.setHalf(8, 0x0002);
    ASSERT_TRUE(d->callDriver(kReqCodec, set));
    uint32_t diagnostic[9] = {36, kEventDiagnostic};
    testing::internal::CaptureStdout();
    d->onServiceInterestCallback(kKernelEventMessage, diagnostic);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "phono12=1, phono34=1\n");
    releaseDevices();
    ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);

    // Without a codec both reads fail.
    d = initialised("tarsel-lite-hs");
    ASSERT_NE(d, nullptr);
    testing::internal::CaptureStdout();
    d->onServiceInterestCallback(kKernelEventMessage, diagnostic);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "phono12=-1, phono34=-1\n");
}

// ---------------------------------------------------------------------------------------------
// Properties, preparation, time and requests

TEST_F(DeviceLifecycleTest, FrameSizeChangesAreClampedAndAnnouncedOnce)
{
    ZmOSXDevice* d = published("tarsel");
    ASSERT_NE(d, nullptr);
    m_client.framesize = 0;
    clearRecordedHALCalls();

    EXPECT_EQ(d->setFrameSize(256, false, false), 0u);
    EXPECT_EQ(m_client.framesize, 0) << "the size in force, without force, changes nothing";
    EXPECT_TRUE(recordedHALCalls().empty());

    d->setFrameSize(32, false, false);
    EXPECT_EQ(d->getFrameSize(), 64u);
    EXPECT_EQ(m_client.framesize, 1);
    EXPECT_EQ(std::tuple(countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyBufferSize),
                         countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyBufferFrameSize),
                         countNotifications(HALCall::StreamPropertyChanged, kAudioDevicePropertyBufferFrameSize, 0x101),
                         countNotifications(HALCall::StreamPropertyChanged, kAudioDevicePropertyBufferSize, 0x102)),
              std::tuple(2u, 2u, 1u, 1u));
    d->setFrameSize(4096, false, false);
    EXPECT_EQ(d->getFrameSize(), 1024u);
    EXPECT_EQ(d->validateMinMaxFrameSize(100), 100u);
    EXPECT_EQ(d->validateMinMaxFrameSize(1UL << 40), 1024u) << "clamped before any narrowing";
    unsigned min = 0, max = 0;
    d->getFrameSizeRangeInt(min, max);
    EXPECT_EQ(std::pair(min, max), std::pair(64u, 1024u));
    EXPECT_EQ(d->getFrameSizeBytes(true), 1024u * d->getReportedChannels().iInChannels * 4);

    // While prepared the new size waits for the I/O thread.
    ASSERT_TRUE(d->prepareHardware());
    m_client.framesize = 0;
    d->setFrameSize(128, false, false);
    EXPECT_EQ(d->getFrameSize(), 128u);
    EXPECT_EQ(m_client.framesize, 0);
}

TEST_F(DeviceLifecycleTest, PreparingMapsBothRingsAndClosingUnmapsThem)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    EXPECT_FALSE(d->hardwareReady());
    ASSERT_TRUE(d->prepareHardware());
    EXPECT_TRUE(d->hardwareReady());
    EXPECT_EQ(d->getStreamState(), kStreamPrepared);
    d->closeDevice(false);
    EXPECT_FALSE(d->hardwareReady());
    EXPECT_EQ(d->getStreamState(), kStreamIdle);
    EXPECT_TRUE(d->isDeviceOpen()) << "a partial close keeps the connection";

    // Rings of another size are refused and nothing stays mapped.
    ASSERT_EQ(set("ring-size", "4096"), kIOReturnSuccess);
    ZmOSXDevice* other = makeDevice();
    ASSERT_TRUE(other->init());
    EXPECT_FALSE(other->prepareHardware());
    EXPECT_FALSE(other->hardwareReady());
    EXPECT_EQ(other->getStreamState(), kStreamIdle);
}

TEST_F(DeviceLifecycleTest, TranslatingTimeNeverFillsTheOutput)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(listen(d));
    AudioTimeStamp in{};
    AudioTimeStamp out;
    std::memset(&out, 0xA5, sizeof out);
    AudioTimeStamp untouched;
    std::memset(&untouched, 0xA5, sizeof untouched);

    testing::internal::CaptureStdout();
    EXPECT_EQ(d->doTranslateTime(in, out), kAudioHardwareIllegalOperationError);
    in.mFlags = kAudioTimeStampSampleTimeValid;
    EXPECT_EQ(d->doTranslateTime(in, out), kAudioHardwareNotRunningError);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ZmOSXDevice::doTranslateTime the input time stamp has to have at least one of the sample or host "
              "time valid\nZmOSXDevice::doTranslateTime can't because the engine isn't running\n");

    ASSERT_TRUE(d->callAttach(256, uint32_t(getpid())));
    ASSERT_TRUE(runLoopUntil([&] { return d->isRunningStream(); }));
    settle();
    in.mFlags = kAudioTimeStampHostTimeValid;
    EXPECT_EQ(d->doTranslateTime(in, out), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0);
}

TEST_F(DeviceLifecycleTest, DeviceRequestsNeedAnOpenDeviceAndFitTheRecord)
{
    ZmOSXDevice* d = makeDevice();
    ASSERT_TRUE(plug("tarsel"));
    char descriptor[18] = {};
    // GET_DESCRIPTOR of the device descriptor, before and after the device is opened.
    EXPECT_FALSE(d->deviceRequest(128, 0, 0, 6, 0x0100, 0, 18, descriptor)) << "not on this service, not open";
    ZmOSXDevice* e = makeDevice();
    EXPECT_FALSE(e->deviceRequest(128, 0, 0, 6, 0x0100, 0, 18, descriptor)) << "connected but not opened";
    ASSERT_TRUE(e->openDevice());
    ASSERT_TRUE(e->deviceRequest(128, 0, 0, 6, 0x0100, 0, 18, descriptor));
    EXPECT_EQ(std::pair(uint8_t(descriptor[8]), uint8_t(descriptor[9])), std::pair(uint8_t(0x01), uint8_t(0x7E)));
    std::vector<char> big(129);
    EXPECT_FALSE(e->deviceRequest(128, 0, 0, 6, 0x0100, 0, 129, big.data()));
}

TEST_F(DeviceLifecycleTest, AnUnknownPropertyIsReportedAndIgnored)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    PropertyItem stranger(d);
    m_client.latency = m_client.framesize = 0;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(stranger.set(5, true));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ZmOSXDevice::onPropertyChanged unhandled property change\n");
    EXPECT_EQ(std::pair(m_client.latency.load(), m_client.framesize.load()), std::pair(0, 0));
}

TEST_F(DeviceLifecycleTest, RemovalWithoutAManagerEndsTheThreadAndKeepsTheObject)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(listen(d));
    d->onRemoveEvent();
    EXPECT_EQ(*d->interestNotification(), 0u) << "the notification is given up";
    // The thread ends on its own; the object stays with its owner, still open.
    EXPECT_EQ(std::pair(d->getReferences(), d->isDeviceOpen()), std::pair(int32_t(1), true));
    d->closeDevice(true);
    EXPECT_FALSE(d->hardwareReady());
}

} // namespace
} // namespace devicetest
