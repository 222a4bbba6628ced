#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>
#include <mach/mach_time.h>

#include "platform/src/CoreAudio/HALBackend.h"

#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <ostream>
#include <set>
#include <thread>
#include <vector>

// Readable failure messages for the recorded calls.
void PrintTo(const HALNotification& n, std::ostream* os)
{
    *os << "{call " << int(n.call) << ", owner " << static_cast<const void*>(n.owner)
        << ", device " << n.device << ", stream " << n.stream << ", channel " << n.channel
        << ", isInput " << n.isInput << ", property 0x" << std::hex << n.property << std::dec
        << ", objects [";
    for (AudioObjectID id : n.objects)
        *os << ' ' << id;
    *os << " ]}";
}

namespace {

using namespace std::chrono_literals;

// Field offsets of the records the plug-in copies byte for byte, as the 32-bit layout has them
// where no pointer is involved.
static_assert(offsetof(AudioStreamBasicDescription, mBytesPerPacket) == 16);
static_assert(offsetof(AudioStreamBasicDescription, mChannelsPerFrame) == 28);
static_assert(offsetof(AudioStreamBasicDescription, mReserved) == 36);
static_assert(offsetof(AudioTimeStamp, mHostTime) == 8);
static_assert(offsetof(AudioTimeStamp, mRateScalar) == 16);
static_assert(offsetof(AudioTimeStamp, mWordClockTime) == 24);
static_assert(offsetof(SMPTETime, mHours) == 16);
static_assert(offsetof(AudioStreamRangedDescription, mSampleRateRange) == 40);
static_assert(offsetof(AudioObjectPropertyAddress, mElement) == 8);
static_assert(offsetof(AudioChannelDescription, mCoordinates) == 8);

// The plug-in's property code relies on these values; each is written out here independently
// of the header's helper.
TEST(CoreAudioConstants, FourCharCodesAreBigEndian)
{
    EXPECT_EQ(CAFourCC("nsrt"), 0x6E737274u);
    EXPECT_EQ(CAFourCC("pft "), 0x70667420u);
    EXPECT_EQ(CAFourCC("\xFF\x80\x01\x00"), 0xFF800100u); // characters count as unsigned
}

TEST(CoreAudioConstants, SelectorsHaveTheirCodes)
{
    struct Entry {
        UInt32 value;
        UInt32 expected;
        const char* name;
    };
    const Entry entries[] = {
        {kAudioDevicePropertyAvailableNominalSampleRates, 0x6E737223, "nsr#"},
        {kAudioDevicePropertyNominalSampleRate, 0x6E737274, "nsrt"},
        {kAudioDevicePropertyActualSampleRate, 0x61737274, "asrt"},
        {kAudioDevicePropertyStreamConfiguration, 0x736C6179, "slay"},
        {kAudioDevicePropertyStreams, 0x73746D23, "stm#"},
        {kAudioDevicePropertyIOProcStreamUsage, 0x73757365, "suse"},
        {kAudioDevicePropertyDataSource, 0x73737263, "ssrc"},
        {kAudioDevicePropertyDataSources, 0x73736323, "ssc#"},
        {kAudioDevicePropertyDataSourceNameForID, 0x7373636E, "sscn"},
        {kAudioDevicePropertyDataSourceNameForIDCFString, 0x6C73636E, "lscn"},
        {kAudioDevicePropertyPreferredChannelLayout, 0x73726E64, "srnd"},
        {kAudioDevicePropertySafetyOffset, 0x73616674, "saft"},
        {kAudioStreamPropertyPhysicalFormat, 0x70667420, "pft "},
        {kAudioStreamPropertyPhysicalFormats, 0x70667423, "pft#"},
        {kAudioStreamPropertyAvailablePhysicalFormats, 0x70667461, "pfta"},
        {kAudioDevicePropertyStreamFormat, 0x73666D74, "sfmt"},
        {kAudioStreamPropertyVirtualFormat, 0x73666D74, "sfmt"},
        {kAudioDevicePropertyStreamFormats, 0x73666D23, "sfm#"},
        {kAudioStreamPropertyAvailableVirtualFormats, 0x73666D61, "sfma"},
        {kAudioDevicePropertyStreamFormatSupported, 0x73666D3F, "sfm?"},
        {kAudioDevicePropertyStreamFormatMatch, 0x73666D6D, "sfmm"},
        {kAudioDevicePropertyPlugIn, 0x706C7567, "plug"},
        {kAudioDevicePropertyHogMode, 0x6F696E6B, "oink"},
        {kAudioDevicePropertyProcessorOverload, 0x6F766572, "over"},
        {kAudioDevicePropertyDeviceIsRunningSomewhere, 0x676F6E65, "gone"},
        {kAudioDevicePropertyDeviceIsRunning, 0x676F696E, "goin"},
        {kAudioDevicePropertyDeviceIsAlive, 0x6C69766E, "livn"},
        {kAudioDevicePropertyClockSourceNameForID, 0x6373636E, "cscn"},
        {kAudioDevicePropertyClockSourceNameForIDCFString, 0x6C63736E, "lcsn"},
        {kAudioDevicePropertyClockSources, 0x63736323, "csc#"},
        {kAudioDevicePropertyClockSource, 0x63737263, "csrc"},
        {kAudioDevicePropertyClockDomain, 0x636C6B64, "clkd"},
        {kAudioDevicePropertyConfigurationApplication, 0x63617070, "capp"},
        {kAudioDevicePropertyDeviceCanBeDefaultDevice, 0x64666C74, "dflt"},
        {kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, 0x73666C74, "sflt"},
        {kAudioDevicePropertyIsHidden, 0x6869646E, "hidn"},
        {kAudioDevicePropertyJackIsConnected, 0x6A61636B, "jack"},
        {kAudioDevicePropertySupportsMixing, 0x6D69783F, "mix?"},
        {kAudioDevicePropertyRelatedDevices, 0x616B696E, "akin"},
        {kAudioDevicePropertyPreferredChannelsForStereo, 0x64636832, "dch2"},
        {kAudioDevicePropertyVolumeDecibelsToScalar, 0x64623276, "db2v"},
        {kAudioDevicePropertyBufferFrameSizeRange, 0x66737A23, "fsz#"},
        {kAudioDevicePropertyBufferFrameSize, 0x6673697A, "fsiz"},
        {kAudioDevicePropertyBufferSizeRange, 0x62737A23, "bsz#"},
        {kAudioDevicePropertyBufferSize, 0x6273697A, "bsiz"},
        {kAudioDevicePropertyLatency, 0x6C746E63, "ltnc"},
        {kAudioStreamPropertyLatency, 0x6C746E63, "ltnc"},
        {kAudioDevicePropertyDeviceName, 0x6E616D65, "name"},
        {kAudioDevicePropertyDeviceManufacturer, 0x6D616B72, "makr"},
        {kAudioDevicePropertyDeviceNameCFString, 0x6C6E616D, "lnam"},
        {kAudioDevicePropertyDeviceManufacturerCFString, 0x6C6D616B, "lmak"},
        {kAudioDevicePropertyDeviceUID, 0x75696420, "uid "},
        {kAudioDevicePropertyModelUID, 0x6D756964, "muid"},
        {kAudioDevicePropertyChannelNameCFString, 0x6C63686E, "lchn"},
        {kAudioDevicePropertyIcon, 0x69636F6E, "icon"},
        {kAudioDevicePropertyTransportType, 0x7472616E, "tran"},
        {kAudioStreamPropertyTerminalType, 0x7465726D, "term"},
        {kAudioStreamPropertyDirection, 0x73646972, "sdir"},
        {kAudioStreamPropertyStartingChannel, 0x7363686E, "schn"},
        {kAudioDevicePropertyMute, 0x6D757465, "mute"},
        {kAudioDevicePropertyVolumeScalar, 0x766F6C6D, "volm"},
        {kAudioDevicePropertyVolumeDecibels, 0x766F6C64, "vold"},
        {kAudioDevicePropertyPlayThru, 0x74687275, "thru"},
        {kAudioObjectPropertyListenerAdded, 0x6C697361, "lisa"},
        {kAudioObjectPropertyListenerRemoved, 0x6C697372, "lisr"},
        {kAudioHardwarePropertyDevices, 0x64657623, "dev#"},
        {kAudioHardwarePropertyDefaultInputDevice, 0x64496E20, "dIn "},
        {kAudioHardwarePropertyDefaultOutputDevice, 0x644F7574, "dOut"},
        {kAudioHardwarePropertyDefaultSystemOutputDevice, 0x734F7574, "sOut"},
        {kAudioObjectPropertyScopeGlobal, 0x676C6F62, "glob"},
        {kAudioObjectPropertyScopeWildcard, 0x2A2A2A2A, "****"},
        {kAudioDevicePropertyScopeInput, 0x696E7074, "inpt"},
        {kAudioDevicePropertyScopeOutput, 0x6F757470, "outp"},
        {kAudioFormatLinearPCM, 0x6C70636D, "lpcm"},
        {kAudioDeviceTransportTypeUSB, 0x75736220, "usb "},
    };
    for (const Entry& e : entries)
        EXPECT_EQ(e.value, e.expected) << e.name;
}

TEST(CoreAudioConstants, ErrorCodesHaveTheirCodes)
{
    EXPECT_EQ(kAudioHardwareNoError, 0);
    EXPECT_EQ(kAudioHardwareNotRunningError, 0x73746F70); // "stop"
    EXPECT_EQ(kAudioHardwareUnspecifiedError, 0x77686174); // "what"
    EXPECT_EQ(kAudioHardwareUnknownPropertyError, 0x77686F3F); // "who?"
    EXPECT_EQ(kAudioHardwareBadPropertySizeError, 0x2173697A); // "!siz"
    EXPECT_EQ(kAudioHardwareIllegalOperationError, 0x6E6F7065); // "nope"
    EXPECT_EQ(kAudioHardwareBadObjectError, 0x216F626A); // "!obj"
    EXPECT_EQ(kAudioHardwareBadDeviceError, 0x21646576); // "!dev"
    EXPECT_EQ(kAudioHardwareBadStreamError, 0x21737472); // "!str"
    EXPECT_EQ(kAudioHardwareUnsupportedOperationError, 0x756E6F70); // "unop"
    EXPECT_EQ(kAudioDeviceUnsupportedFormatError, 0x21646174); // "!dat"
    EXPECT_EQ(kAudioDevicePermissionsError, 0x21686F67); // "!hog"
}

TEST(CoreAudioConstants, FormatAndTimeStampFlags)
{
    // The device layer writes 1 for float and 4 for signed integer formats.
    EXPECT_EQ(kAudioFormatFlagIsFloat, 1u);
    EXPECT_EQ(kAudioFormatFlagIsBigEndian, 2u);
    EXPECT_EQ(kAudioFormatFlagIsSignedInteger, 4u);
    EXPECT_EQ(kAudioFormatFlagIsPacked, 8u);
    EXPECT_EQ(kAudioFormatFlagIsAlignedHigh, 16u);
    EXPECT_EQ(kAudioFormatFlagIsNonInterleaved, 32u);
    EXPECT_EQ(kLinearPCMFormatFlagIsSignedInteger, kAudioFormatFlagIsSignedInteger);
    EXPECT_EQ(kAudioFormatFlagsNativeFloatPacked, 9u); // little-endian host
    EXPECT_EQ(kAudioFormatFlagsCanonical, kAudioFormatFlagsNativeFloatPacked);
    // The I/O thread marks its time stamps 7: sample time, host time and rate scalar.
    EXPECT_EQ(kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid |
                  kAudioTimeStampRateScalarValid,
              7u);
    EXPECT_EQ(kAudioTimeStampSampleHostTimeValid, 3u);
    EXPECT_EQ(kAudioTimeStampWordClockTimeValid, 8u);
    EXPECT_EQ(kAudioTimeStampSMPTETimeValid, 16u);
    EXPECT_EQ(kAudioChannelFlags_Meters, 4u);
    EXPECT_EQ(kAudioChannelLayoutTag_UseChannelDescriptions, 0u);
}

TEST(CoreAudioConstants, PlugInUUIDs)
{
    struct Entry {
        CFUUIDRef uuid;
        const char* text;
    };
    const Entry entries[] = {
        {kAudioHardwarePlugInTypeID, "F8BB1C28-BAE8-11D6-9C31-00039315CD46"},
        {kAudioHardwarePlugInInterfaceID, "FAFCAFC3-BAE8-11D6-B4A8-00039315CD46"},
        {kAudioHardwarePlugInInterface2ID, "5D80CB6C-484F-11D7-8571-000A95771282"},
        {kAudioHardwarePlugInInterface3ID, "38D78A18-77A5-11D8-B8B8-000A9588787E"},
        {kAudioHardwarePlugInInterface4ID, "E96C3E92-E745-4CB7-BA91-B33C68F2F026"},
    };
    for (const Entry& e : entries) {
        CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, e.text,
                                                     kCFStringEncodingASCII);
        CFUUIDRef parsed = CFUUIDCreateFromString(kCFAllocatorDefault, text);
        ASSERT_NE(parsed, nullptr) << e.text;
        EXPECT_TRUE(CFEqual(e.uuid, parsed)) << e.text;
        CFRelease(parsed);
        CFRelease(text);
    }
}

// ---------------------------------------------------------------------------------------------
// The plug-in-side HAL calls and their seam

// Stands for a plug-in's interface record: only its address matters.
AudioHardwarePlugInInterface g_table{};
AudioHardwarePlugInInterface* g_record = &g_table;
const AudioHardwarePlugInRef kOwner = &g_record;

class HALCalls : public ::testing::Test {
protected:
    void SetUp() override { _AudioHALClearRecordedNotifications(); }
    void TearDown() override { _AudioHALClearRecordedNotifications(); }
};

HALNotification deviceChange(AudioDeviceID device, UInt32 channel, bool isInput,
                             AudioDevicePropertyID property)
{
    HALNotification n;
    n.call = HALCall::DevicePropertyChanged;
    n.owner = kOwner;
    n.device = device;
    n.channel = channel;
    n.isInput = isInput;
    n.property = property;
    return n;
}

TEST_F(HALCalls, PublishingADeviceIsRecordedInOrderWithEveryField)
{
    AudioDeviceID device = 0;
    AudioStreamID input = 0;
    AudioStreamID output = 0;
    ASSERT_EQ(AudioHardwareClaimAudioDeviceID(kOwner, &device), noErr);
    ASSERT_EQ(AudioHardwareClaimAudioStreamID(kOwner, device, &input), noErr);
    ASSERT_EQ(AudioHardwareClaimAudioStreamID(kOwner, device, &output), noErr);
    EXPECT_GT(device, kAudioObjectSystemObject);
    EXPECT_GT(input, device);
    EXPECT_GT(output, input);

    ASSERT_EQ(AudioHardwareDevicesCreated(kOwner, 1, &device), noErr);
    const AudioStreamID streams[] = {input, output};
    ASSERT_EQ(AudioHardwareStreamsCreated(kOwner, device, 2, streams), noErr);
    ASSERT_EQ(AudioHardwareDevicePropertyChanged(kOwner, device, 3, true,
                                                 kAudioDevicePropertyVolumeScalar),
              noErr);
    ASSERT_EQ(AudioHardwareStreamPropertyChanged(kOwner, device, output, 0,
                                                 kAudioDevicePropertyDataSource),
              noErr);
    ASSERT_EQ(AudioHardwareStreamsDied(kOwner, device, 1, &input), noErr);
    ASSERT_EQ(AudioHardwareDevicesDied(kOwner, 1, &device), noErr);

    std::vector<HALNotification> expected(9);
    expected[0].call = HALCall::ClaimDeviceID;
    expected[0].device = device;
    expected[1].call = HALCall::ClaimStreamID;
    expected[1].device = device;
    expected[1].stream = input;
    expected[2].call = HALCall::ClaimStreamID;
    expected[2].device = device;
    expected[2].stream = output;
    expected[3].call = HALCall::DevicesCreated;
    expected[3].objects = {device};
    expected[4].call = HALCall::StreamsCreated;
    expected[4].device = device;
    expected[4].objects = {input, output};
    expected[5] = deviceChange(device, 3, true, kAudioDevicePropertyVolumeScalar);
    expected[6].call = HALCall::StreamPropertyChanged;
    expected[6].device = device;
    expected[6].stream = output;
    expected[6].property = kAudioDevicePropertyDataSource;
    expected[7].call = HALCall::StreamsDied;
    expected[7].device = device;
    expected[7].objects = {input};
    expected[8].call = HALCall::DevicesDied;
    expected[8].objects = {device};
    for (HALNotification& n : expected)
        n.owner = kOwner;

    EXPECT_EQ(_AudioHALRecordedNotifications(), expected);
}

TEST_F(HALCalls, DirectionAndChannelAreKeptApart)
{
    ASSERT_EQ(AudioHardwareDevicePropertyChanged(kOwner, 42, 0, false, kAudioDevicePropertyMute),
              noErr);
    ASSERT_EQ(AudioHardwareDevicePropertyChanged(kOwner, 42, 0, true, kAudioDevicePropertyMute),
              noErr);
    // Any non-zero Boolean means input.
    ASSERT_EQ(AudioHardwareDevicePropertyChanged(kOwner, 42, 7, 2, kAudioDevicePropertyPlayThru),
              noErr);
    const std::vector<HALNotification> expected = {
        deviceChange(42, 0, false, kAudioDevicePropertyMute),
        deviceChange(42, 0, true, kAudioDevicePropertyMute),
        deviceChange(42, 7, true, kAudioDevicePropertyPlayThru),
    };
    EXPECT_EQ(_AudioHALRecordedNotifications(), expected);
}

TEST_F(HALCalls, ANullOwnerReachesNothing)
{
    AudioDeviceID device = 99;
    AudioStreamID stream = 99;
    const AudioDeviceID ids[] = {5};
    EXPECT_EQ(AudioHardwareClaimAudioDeviceID(nullptr, &device),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device, kAudioDeviceUnknown);
    EXPECT_EQ(AudioHardwareClaimAudioStreamID(nullptr, 5, &stream),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(stream, kAudioStreamUnknown);
    EXPECT_EQ(AudioHardwareDevicesCreated(nullptr, 1, ids), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareDevicesDied(nullptr, 1, ids), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareStreamsCreated(nullptr, 5, 1, ids),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareStreamsDied(nullptr, 5, 1, ids), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareDevicePropertyChanged(nullptr, 5, 0, true, kAudioDevicePropertyMute),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareStreamPropertyChanged(nullptr, 5, 6, 0, kAudioDevicePropertyMute),
              kAudioHardwareIllegalOperationError);
    EXPECT_TRUE(_AudioHALRecordedNotifications().empty());
}

TEST_F(HALCalls, MissingStorageIsRefusedAndEmptyListsAccepted)
{
    EXPECT_EQ(AudioHardwareClaimAudioDeviceID(kOwner, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareClaimAudioStreamID(kOwner, 5, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareDevicesCreated(kOwner, 1, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareStreamsDied(kOwner, 5, 2, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_TRUE(_AudioHALRecordedNotifications().empty());

    EXPECT_EQ(AudioHardwareDevicesDied(kOwner, 0, nullptr), noErr);
    const std::vector<HALNotification> recorded = _AudioHALRecordedNotifications();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].call, HALCall::DevicesDied);
    EXPECT_TRUE(recorded[0].objects.empty());
}

TEST_F(HALCalls, ClaimsFromManyThreadsAreUniqueAndTheRecordStaysBounded)
{
    constexpr int kThreads = 8;
    constexpr int kClaims = 1000; // two IDs per claim, well past the record's limit
    std::vector<std::vector<AudioObjectID>> perThread(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids = perThread[t]] {
            for (int i = 0; i < kClaims; ++i) {
                AudioDeviceID device = 0;
                AudioStreamID stream = 0;
                if (AudioHardwareClaimAudioDeviceID(kOwner, &device) == noErr)
                    ids.push_back(device);
                if (AudioHardwareClaimAudioStreamID(kOwner, device, &stream) == noErr)
                    ids.push_back(stream);
                AudioHardwareDevicePropertyChanged(kOwner, device, 0, false,
                                                   kAudioDevicePropertyLatency);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();

    std::set<AudioObjectID> all;
    std::size_t total = 0;
    for (const auto& ids : perThread) {
        EXPECT_EQ(ids.size(), 2u * kClaims);
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end())) << "IDs increase within a thread";
        all.insert(ids.begin(), ids.end());
        total += ids.size();
    }
    EXPECT_EQ(all.size(), total) << "an ID was handed out twice";
    EXPECT_EQ(all.count(kAudioObjectUnknown), 0u);
    EXPECT_EQ(all.count(kAudioObjectSystemObject), 0u);

    const std::size_t calls = 3u * kThreads * kClaims;
    EXPECT_EQ(_AudioHALRecordedNotifications().size(), kHALRecordedNotificationLimit);
    EXPECT_EQ(_AudioHALDroppedNotificationCount(), calls - kHALRecordedNotificationLimit);
    _AudioHALClearRecordedNotifications();
    EXPECT_EQ(_AudioHALDroppedNotificationCount(), 0u);
}

TEST_F(HALCalls, TheRecordKeepsTheLatestCalls)
{
    for (UInt32 i = 0; i < kHALRecordedNotificationLimit + 10; ++i)
        AudioHardwareDevicePropertyChanged(kOwner, 7, i, false, kAudioDevicePropertyMute);
    const std::vector<HALNotification> recorded = _AudioHALRecordedNotifications();
    ASSERT_EQ(recorded.size(), kHALRecordedNotificationLimit);
    EXPECT_EQ(recorded.front().channel, 10u);
    EXPECT_EQ(recorded.back().channel, kHALRecordedNotificationLimit + 9);
    EXPECT_EQ(_AudioHALDroppedNotificationCount(), 10u);
}

// ---------------------------------------------------------------------------------------------
// Listeners

struct ListenerLog {
    std::mutex mutex;
    std::vector<AudioHardwarePropertyID> properties;
    std::vector<std::thread::id> threads;

    std::vector<AudioHardwarePropertyID> seen()
    {
        std::lock_guard lock(mutex);
        return properties;
    }
};

OSStatus logListener(AudioHardwarePropertyID property, void* clientData)
{
    auto* log = static_cast<ListenerLog*>(clientData);
    std::lock_guard lock(log->mutex);
    log->properties.push_back(property);
    log->threads.push_back(std::this_thread::get_id());
    return noErr;
}

OSStatus otherListener(AudioHardwarePropertyID property, void* clientData)
{
    return logListener(property, clientData);
}

// Removes itself while it is being called, which must not deadlock or skip others.
OSStatus selfRemovingListener(AudioHardwarePropertyID property, void* clientData)
{
    AudioHardwareRemovePropertyListener(property, selfRemovingListener);
    return logListener(property, clientData);
}

class Listeners : public HALCalls {
protected:
    void TearDown() override
    {
        for (AudioHardwarePropertyID p :
             {kAudioHardwarePropertyDefaultOutputDevice, kAudioHardwarePropertyDefaultInputDevice,
              kAudioHardwarePropertyDevices, kAudioPropertyWildcardPropertyID}) {
            AudioHardwareRemovePropertyListener(p, logListener);
            AudioHardwareRemovePropertyListener(p, otherListener);
            AudioHardwareRemovePropertyListener(p, selfRemovingListener);
        }
        HALCalls::TearDown();
    }
};

TEST_F(Listeners, CalledForTheirPropertyOnTheChangingThread)
{
    ListenerLog log;
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDefaultOutputDevice,
                                               logListener, &log),
              noErr);
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDefaultInputDevice);
    EXPECT_TRUE(log.seen().empty());

    std::thread changer(
        [] { _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDefaultOutputDevice); });
    const std::thread::id changerID = changer.get_id();
    changer.join();
    ASSERT_EQ(log.seen(), std::vector<AudioHardwarePropertyID>{
                              kAudioHardwarePropertyDefaultOutputDevice});
    EXPECT_EQ(log.threads[0], changerID);
}

TEST_F(Listeners, AddingAgainReplacesTheClientData)
{
    ListenerLog first, second;
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDefaultOutputDevice,
                                               logListener, &first),
              noErr);
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDefaultOutputDevice,
                                               logListener, &second),
              noErr);
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_TRUE(first.seen().empty());
    EXPECT_EQ(second.seen().size(), 1u);
}

TEST_F(Listeners, RemovedListenersAreNotCalled)
{
    ListenerLog log, other;
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDefaultOutputDevice,
                                               logListener, &log),
              noErr);
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDefaultOutputDevice,
                                               otherListener, &other),
              noErr);
    ASSERT_EQ(AudioHardwareRemovePropertyListener(kAudioHardwarePropertyDefaultOutputDevice,
                                                  logListener),
              noErr);
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_TRUE(log.seen().empty());
    EXPECT_EQ(other.seen().size(), 1u) << "removing one proc leaves the other";

    EXPECT_EQ(AudioHardwareRemovePropertyListener(kAudioHardwarePropertyDefaultOutputDevice,
                                                  logListener),
              kAudioHardwareIllegalOperationError);
    // A proc registered for another property is not removed by this one.
    EXPECT_EQ(AudioHardwareRemovePropertyListener(kAudioHardwarePropertyDefaultInputDevice,
                                                  otherListener),
              kAudioHardwareIllegalOperationError);
}

TEST_F(Listeners, AListenerMayRemoveItselfWhileCalled)
{
    ListenerLog self, other;
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDefaultOutputDevice,
                                               selfRemovingListener, &self),
              noErr);
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDefaultOutputDevice,
                                               otherListener, &other),
              noErr);
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDefaultOutputDevice);
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_EQ(self.seen().size(), 1u);
    EXPECT_EQ(other.seen().size(), 2u);
}

TEST_F(Listeners, WildcardHearsEverythingAndDeviceListsAreAnnounced)
{
    ListenerLog all, devices;
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioPropertyWildcardPropertyID, logListener, &all),
              noErr);
    ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDevices, otherListener,
                                               &devices),
              noErr);
    const AudioDeviceID device = 12;
    ASSERT_EQ(AudioHardwareDevicesCreated(kOwner, 1, &device), noErr);
    ASSERT_EQ(AudioHardwareDevicesDied(kOwner, 1, &device), noErr);
    ASSERT_EQ(AudioHardwareDevicesDied(kOwner, 0, nullptr), noErr); // nothing changed
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDefaultInputDevice);

    EXPECT_EQ(devices.seen(), (std::vector<AudioHardwarePropertyID>{
                                  kAudioHardwarePropertyDevices, kAudioHardwarePropertyDevices}));
    EXPECT_EQ(all.seen(), (std::vector<AudioHardwarePropertyID>{
                              kAudioHardwarePropertyDevices, kAudioHardwarePropertyDevices,
                              kAudioHardwarePropertyDefaultInputDevice}));
}

TEST_F(Listeners, ANullProcIsRefused)
{
    EXPECT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDevices, nullptr, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareRemovePropertyListener(kAudioHardwarePropertyDevices, nullptr),
              kAudioHardwareIllegalOperationError);
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDevices); // must not call null
}

// ---------------------------------------------------------------------------------------------
// Replacing the backend

struct CountingBackend final : HALBackend {
    int calls = 0;
    AudioObjectID next = 1000;

    OSStatus claimDeviceID(AudioHardwarePlugInRef, AudioDeviceID* out) override
    {
        ++calls;
        *out = next++;
        return noErr;
    }
    OSStatus claimStreamID(AudioHardwarePlugInRef, AudioDeviceID, AudioStreamID* out) override
    {
        ++calls;
        *out = next++;
        return noErr;
    }
    OSStatus devicesCreated(AudioHardwarePlugInRef, UInt32, const AudioDeviceID*) override
    {
        ++calls;
        return kAudioHardwareBadDeviceError;
    }
    OSStatus devicesDied(AudioHardwarePlugInRef, UInt32, const AudioDeviceID*) override
    {
        return ++calls, noErr;
    }
    OSStatus streamsCreated(AudioHardwarePlugInRef, AudioDeviceID, UInt32,
                            const AudioStreamID*) override
    {
        return ++calls, noErr;
    }
    OSStatus streamsDied(AudioHardwarePlugInRef, AudioDeviceID, UInt32,
                         const AudioStreamID*) override
    {
        return ++calls, noErr;
    }
    OSStatus devicePropertyChanged(AudioHardwarePlugInRef, AudioDeviceID, UInt32, Boolean,
                                   AudioDevicePropertyID) override
    {
        return ++calls, noErr;
    }
    OSStatus streamPropertyChanged(AudioHardwarePlugInRef, AudioDeviceID, AudioStreamID, UInt32,
                                   AudioDevicePropertyID) override
    {
        return ++calls, noErr;
    }
    OSStatus addPropertyListener(AudioHardwarePropertyID, AudioHardwarePropertyListenerProc,
                                 void*) override
    {
        return ++calls, noErr;
    }
    OSStatus removePropertyListener(AudioHardwarePropertyID,
                                    AudioHardwarePropertyListenerProc) override
    {
        return ++calls, noErr;
    }
    void hardwarePropertyChanged(AudioHardwarePropertyID) override { ++calls; }
};

TEST_F(HALCalls, AnInstalledBackendAnswersInsteadOfTheBuiltInOne)
{
    CountingBackend backend;
    HALBackend* builtIn = _AudioHALSetBackend(&backend);
    ASSERT_NE(builtIn, nullptr);
    EXPECT_EQ(_AudioHALGetBackend(), &backend);

    AudioDeviceID device = 0;
    EXPECT_EQ(AudioHardwareClaimAudioDeviceID(kOwner, &device), noErr);
    EXPECT_EQ(device, 1000u);
    EXPECT_EQ(AudioHardwareDevicesCreated(kOwner, 1, &device), kAudioHardwareBadDeviceError)
        << "the backend's answer is passed on";
    EXPECT_EQ(AudioHardwareDevicePropertyChanged(nullptr, device, 0, true,
                                                 kAudioDevicePropertyMute),
              kAudioHardwareIllegalOperationError)
        << "a null owner is refused before any backend";
    EXPECT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDevices, logListener,
                                               nullptr),
              noErr);
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDevices);
    EXPECT_EQ(backend.calls, 4);
    EXPECT_TRUE(_AudioHALRecordedNotifications().empty());

    EXPECT_EQ(_AudioHALSetBackend(nullptr), &backend);
    EXPECT_EQ(_AudioHALGetBackend(), builtIn);
    EXPECT_EQ(AudioHardwareDevicesCreated(kOwner, 1, &device), noErr);
    EXPECT_EQ(_AudioHALRecordedNotifications().size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Host time

UInt64 monotonicNanos()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return UInt64(ts.tv_sec) * 1000000000ull + UInt64(ts.tv_nsec);
}

TEST(HostTime, IsTheMonotonicClockInNanoseconds)
{
    const UInt64 before = monotonicNanos();
    const UInt64 host = AudioGetCurrentHostTime();
    const UInt64 after = monotonicNanos();
    EXPECT_LE(before, host);
    EXPECT_LE(host, after);

    mach_timebase_info_data_t base{};
    ASSERT_EQ(mach_timebase_info(&base), KERN_SUCCESS);
    EXPECT_DOUBLE_EQ(AudioGetHostClockFrequency(), 1.0e9 * base.denom / base.numer);
    EXPECT_GE(AudioGetHostClockMinimumTimeDelta(), 1u);
}

TEST(HostTime, NeverGoesBackwards)
{
    UInt64 previous = AudioGetCurrentHostTime();
    for (int i = 0; i < 100000; ++i) {
        const UInt64 now = AudioGetCurrentHostTime();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

TEST(HostTime, ConversionsFollowTheTimeBase)
{
    for (UInt64 t : {UInt64(0), UInt64(1), UInt64(1000000007), UInt64(1) << 62,
                     ~UInt64(0)}) {
        EXPECT_EQ(AudioConvertHostTimeToNanos(t), t);
        EXPECT_EQ(AudioConvertNanosToHostTime(t), t);
        EXPECT_EQ(AudioConvertNanosToHostTime(AudioConvertHostTimeToNanos(t)), t);
    }
    const UInt64 start = AudioGetCurrentHostTime();
    std::this_thread::sleep_for(5ms);
    EXPECT_GE(AudioConvertHostTimeToNanos(AudioGetCurrentHostTime() - start), 5000000u);
}

} // namespace
