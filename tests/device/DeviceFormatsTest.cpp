// Rates, stream formats, format and rate changes, frame sizes and latencies of device objects on
// the simulated interfaces.
#include <IOKit/IOReturn.h>
#include <unistd.h>

#include <climits>
#include <tuple>
#include <vector>

#include "device/FormatRules.h"
#include "tests/device/DeviceFixture.h"

namespace devicetest {
namespace {

using DeviceFormatsTest = DeviceTest;

TEST_F(DeviceFormatsTest, OnlyTableRatesAreListed)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    AudioValueRange rates[8] = {};
    ASSERT_EQ(d->getSampleRates(nullptr, 0), 4u) << "a null list counts";
    ASSERT_EQ(d->getSampleRates(rates, 8), 4u);
    const double expected[] = {44100, 48000, 88200, 96000};
    for (size_t k = 0; k < 4; ++k)
        EXPECT_EQ(std::pair(rates[k].mMinimum, rates[k].mMaximum), std::pair(expected[k], expected[k]));
    EXPECT_EQ(d->getSampleRates(rates, 2), 2u);
    EXPECT_EQ(d->getSampleRates(rates, 0), 0u);
    // The interface runs 192 kHz, but only the five table rates can be offered (the other
    // rates are FormatRulesRates').
    EXPECT_FALSE(d->canSampleRate(192000));
    EXPECT_TRUE(d->canSampleRate(96000));
}

TEST_F(DeviceFormatsTest, FormatListsMatchTheirCountAndTheDescriptors)
{
    ZmOSXDevice* d = initialised("tarsel-classic-hs");
    ASSERT_NE(d, nullptr);
    for (bool input : {true, false})
        for (bool isPhysical : {true, false}) {
            const int n = d->getStreamFormatNum(input, isPhysical);
            // 44.1, 48, 88.2 and 96 kHz, stereo, in 16 and 24 bits (physical) or once as floats.
            EXPECT_EQ(n, isPhysical ? 8 : 4);
            std::vector<AudioStreamBasicDescription> list(size_t(n) + 1);
            EXPECT_EQ(d->getStreamFormats(input, list.data(), n + 1, isPhysical, 128), OSStatus(kIOReturnBadArgument));
            ASSERT_EQ(d->getStreamFormats(input, list.data(), n, isPhysical, 128), 0);
            // The fields of each format are the format rules' (FormatRulesFormats).
            for (int k = 0; k < n; ++k)
                EXPECT_EQ(std::tuple(list[size_t(k)].mFormatID, list[size_t(k)].mChannelsPerFrame,
                                     list[size_t(k)].mFormatFlags),
                          std::tuple(kAudioFormatLinearPCM, 2u,
                                     UInt32(isPhysical ? kAudioFormatFlagIsSignedInteger : kAudioFormatFlagIsFloat)));
            // Each ranged format's rate range is its own rate; counts the list does not have are
            // refused before anything is sized from them.
            std::vector<AudioStreamRangedDescription> ranged(static_cast<size_t>(n));
            ASSERT_EQ(d->getAvailableFormats(input, ranged.data(), n, isPhysical, 1), 0);
            EXPECT_EQ(ranged[0].mFormat.mChannelsPerFrame, 1u) << "cut to the limit asked for";
            for (const AudioStreamRangedDescription& r : ranged) {
                EXPECT_EQ(r.mSampleRateRange.mMinimum, r.mFormat.mSampleRate);
                EXPECT_EQ(r.mSampleRateRange.mMaximum, r.mFormat.mSampleRate);
            }
            for (int count : {n + 1, INT_MAX})
                EXPECT_EQ(d->getAvailableFormats(input, ranged.data(), count, isPhysical, 128),
                          OSStatus(kIOReturnBadArgument))
                    << count;
        }

    AudioStreamBasicDescription current{};
    ASSERT_EQ(d->getStreamFormat(false, &current, true, 128), 0);
    const VkChannelSettings s = d->getTrueChannels();
    EXPECT_EQ(std::tuple(current.mSampleRate, current.mChannelsPerFrame, current.mBitsPerChannel),
              std::tuple(double(s.iFrequency), s.iOutChannels, s.iOutBits));
    ASSERT_EQ(d->getStreamFormat(false, &current, false, 1), 0);
    EXPECT_EQ(std::pair(current.mChannelsPerFrame, current.mBitsPerChannel), std::pair(1u, 32u));
}

// The side being set leads (every rule is FormatRulesFind's) and the kernel takes the outcome.
TEST_F(DeviceFormatsTest, AFormatSetIsTheNearestTheInterfaceCarries)
{
    const struct Case {
        const char* model;
        bool input;
        AudioStreamBasicDescription format;
        OSStatus status;
        VkChannelSettings kernel; // iConfiguration unchecked
    } cases[] = {
        // Full speed: two input channels at 96 kHz turn the output off.
        {"tarsel-classic-fs", true, physical(96000, 2, 24), 0, {96000, 2, 24, 0, 16, 0}},
        // Only 16-bit formats: 24 bits fall back.
        {"tarsel-lite-hs", false, physical(44100, 2, 24), 0, {44100, 2, 16, 2, 16, 0}},
        // A channel count the interface has in no depth is refused and changes nothing.
        {"tarsel-lite-hs", false, physical(44100, 3, 24), OSStatus(kIOReturnUnsupported), {44100, 2, 16, 2, 16, 0}},
        // Rate 0 takes the first rate that carries the format: the current one here.
        {"tarsel-lite-hs", false, physical(0, 2, 16), 0, {44100, 2, 16, 2, 16, 0}},
    };
    for (const Case& c : cases) {
        ZmOSXDevice* d = initialised(c.model);
        ASSERT_NE(d, nullptr) << c.model;
        AudioStreamBasicDescription f = c.format;
        EXPECT_EQ(d->setStreamFormat(c.input, &f, false), c.status) << c.model;
        VkChannelSettings s = d->getDriverSM()->channels;
        EXPECT_EQ(d->getTrueChannels(), s);
        s.iConfiguration = 0;
        EXPECT_EQ(s, c.kernel) << c.model << " " << c.format.mSampleRate << " " << c.format.mChannelsPerFrame;
        releaseDevices();
        ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);
    }
}

TEST_F(DeviceFormatsTest, FormatChangesAreAnnouncedToTheHal)
{
    ZmOSXDevice* d = published("tarsel-classic-hs");
    ASSERT_NE(d, nullptr);
    clearRecordedHALCalls();
    m_client.format = 0;

    // Configured by this process: 44.1 kHz, 16 bits each way.
    ASSERT_EQ(d->getTrueChannels(), (VkChannelSettings{44100, 2, 16, 2, 16, 0}));
    AudioStreamBasicDescription f = physical(44100, 2, 24);
    ASSERT_EQ(d->setStreamFormat(false, &f, false), 0);
    EXPECT_EQ(std::tuple(d->getDriverSM()->channels.iOutBits, d->getTrueChannels().iOutBits, m_client.format.load()),
              std::tuple(24u, 24u, 1));
    // The output's physical format changed on both channels, and its latency; its virtual format
    // and the rate did not.
    EXPECT_EQ(std::tuple(countNotifications(HALCall::DevicePropertyChanged, kAudioStreamPropertyPhysicalFormat),
                         countNotifications(HALCall::StreamPropertyChanged, kAudioStreamPropertyPhysicalFormat, 0x102),
                         countNotifications(HALCall::StreamPropertyChanged, kAudioStreamPropertyPhysicalFormat, 0x101),
                         countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyStreamFormat),
                         countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyLatency),
                         countNotifications(HALCall::StreamPropertyChanged, kAudioDevicePropertyLatency, 0x101)),
              std::tuple(2u, 1u, 0u, 0u, 2u, 1u));
    EXPECT_EQ(rateNotifications(), std::tuple(0u, 0u, 0u));

    // A new rate is announced as such, on the device and both streams.
    clearRecordedHALCalls();
    f = physical(48000, 2, 24);
    ASSERT_EQ(d->setStreamFormat(false, &f, false), 0);
    EXPECT_EQ(d->getFrequency(), 48000u);
    EXPECT_EQ(rateNotifications(), std::tuple(2u, 1u, 1u));
    EXPECT_EQ(countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyStreamFormat), 4u);
    m_client.format = 1;

    // The same format again changes nothing and says nothing.
    clearRecordedHALCalls();
    ASSERT_EQ(d->setStreamFormat(false, &f, false), 0);
    EXPECT_EQ(m_client.format, 1);
    EXPECT_TRUE(recordedHALCalls().empty());
}

TEST_F(DeviceFormatsTest, ANestedFormatChangeDoesNothing)
{
    ZmOSXDevice* d = initialised("tarsel-classic-hs");
    ASSERT_NE(d, nullptr);
    OSStatus nested = -1;
    int calls = 0;
    m_client.onFormat = [&](ZmOSXDevice* device) {
        if (calls++ > 0)
            return;
        AudioStreamBasicDescription other = physical(96000, 2, 24);
        nested = device->setStreamFormat(true, &other, false);
    };
    AudioStreamBasicDescription f = physical(48000, 2, 24);
    ASSERT_EQ(d->setStreamFormat(false, &f, false), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(nested, 0);
    const VkChannelSettings s = d->getDriverSM()->channels;
    EXPECT_EQ(std::tuple(s.iFrequency, s.iOutBits, s.iInBits), std::tuple(48000u, 24u, 16u))
        << "the nested call changed nothing";
    m_client.onFormat = nullptr;

    // Once the outer call is done the guard is free again.
    f = physical(44100, 2, 24);
    ASSERT_EQ(d->setStreamFormat(false, &f, false), 0);
    EXPECT_EQ(d->getDriverSM()->channels.iFrequency, 44100u);
}

TEST_F(DeviceFormatsTest, ALayoutChangeWhileStreamingIsRefused)
{
    ZmOSXDevice* d = initialised("tarsel-classic-hs");
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->prepareHardware());
    const VkChannelSettings before = d->getDriverSM()->channels;
    AudioStreamBasicDescription f = physical(before.iFrequency, 2, 24);
    testing::internal::CaptureStdout();
    const OSStatus result = d->setStreamFormat(false, &f, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "HAL: ERROR ZmOSXDevice::setStreamFormat while streaming\n");
    EXPECT_EQ(result, OSStatus(kIOReturnBusy));
    EXPECT_EQ(d->getDriverSM()->channels, before);

    // A new rate alone goes through.
    f = physical(48000, before.iOutChannels, before.iOutBits);
    EXPECT_EQ(d->setStreamFormat(false, &f, false), 0);
    EXPECT_EQ(d->getDriverSM()->channels.iFrequency, 48000u);
}

TEST_F(DeviceFormatsTest, ARateChangeWaitsWhileThisConnectionStreams)
{
    ZmOSXDevice* d = initialised("tarsel-classic-hs");
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->getFrequency(), 44100u);
    ASSERT_TRUE(d->callAttach(256, uint32_t(getpid())));
    ASSERT_TRUE(d->isRunningStream());

    // Nothing is sent to the kernel, and the settings in force describe the hardware; the formats
    // reported are the requested ones.
    ASSERT_TRUE(d->setFrequency(false, 48000));
    const VkChannelSettings requested = d->getRequestedChannels();
    EXPECT_EQ(std::tuple(d->getDriverSM()->channels.iFrequency, d->getFrequency(), d->getPendingDirection(),
                         requested.iFrequency),
              std::tuple(44100u, 44100u, 2u, 48000u));
    AudioStreamBasicDescription f{};
    ASSERT_EQ(d->getStreamFormat(false, &f, true, 128), 0);
    EXPECT_EQ(std::pair(f.mChannelsPerFrame, f.mBitsPerChannel), std::pair(requested.iOutChannels, requested.iOutBits));

    // Without our stream the change is made at once and the request is gone.
    ASSERT_TRUE(d->callDetach());
    ASSERT_TRUE(d->setFrequency(true, 48000));
    EXPECT_EQ(std::tuple(d->getDriverSM()->channels.iFrequency, d->getFrequency(), d->getPendingDirection()),
              std::tuple(48000u, 48000u, 0u));
    EXPECT_FALSE(d->setFrequency(true, 32000)) << "not offered by the interface";
    EXPECT_FALSE(d->setFrequency(true, 22050));
}

// The figures of each family are FormatRulesLatency's; here the device's use of them.
TEST_F(DeviceFormatsTest, LatenciesFollowTheFamily)
{
    ZmOSXDevice* d = published("tarsel-classic-hs");
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->setFrequency(false, 48000));
    ASSERT_EQ(d->getFrameSize(), 256u);
    EXPECT_EQ(std::tuple(d->getLatency(true), d->getLatency(false), d->getOutputWriteAhead()),
              std::tuple(131u, 384u, 384u + 2 * 256));
    clearRecordedHALCalls();
    m_client.latency = 0;
    d->setFrameSize(512, false, false);
    EXPECT_EQ(std::tuple(d->getLatency(false), d->getOutputWriteAhead(), m_client.latency.load(),
                         countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyLatency),
                         countNotifications(HALCall::StreamPropertyChanged, kAudioDevicePropertySafetyOffset, 0x102)),
              std::tuple((4u + 8) * 48, (4u + 8) * 48 + 1024, 1, 1u, 1u));
}

TEST_F(DeviceFormatsTest, TheConfigurationSearchAsksTheKernelForItsBandwidth)
{
    // Outside the family tables the bus budget comes from requests 15 and 16.
    ZmOSXDevice* d = initialised("tarsel-lite-hs");
    ASSERT_NE(d, nullptr);
    VkChannelSettings cs{48000, 2, 16, 2, 16, 0};
    APIDeviceInfoScanResult in, out;
    EXPECT_TRUE(d->usbFindConfiguration(false, in, out, cs));
    EXPECT_TRUE(in.found && out.found);
    ASSERT_EQ(set("fail-request", "15"), kIOReturnSuccess);
    ASSERT_EQ(set("fail-request", "16"), kIOReturnSuccess);
    EXPECT_FALSE(d->usbFindConfiguration(false, in, out, cs)) << "no answers: no bandwidth";
}

} // namespace
} // namespace devicetest
