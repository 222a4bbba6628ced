#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>
#include <mach/mach_time.h>

#include "platform/src/CoreAudio/HALBackend.h"

#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
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

TEST_F(HALCalls, ANullOwnerOrMissingStorageIsRefusedAndRecordsNothing)
{
    AudioDeviceID device = 99;
    AudioStreamID stream = 99;
    const AudioDeviceID ids[] = {5};
    const OSStatus results[] = {
        AudioHardwareClaimAudioDeviceID(nullptr, &device),
        AudioHardwareClaimAudioStreamID(nullptr, 5, &stream),
        AudioHardwareDevicesCreated(nullptr, 1, ids),
        AudioHardwareDevicesDied(nullptr, 1, ids),
        AudioHardwareStreamsCreated(nullptr, 5, 1, ids),
        AudioHardwareStreamsDied(nullptr, 5, 1, ids),
        AudioHardwareDevicePropertyChanged(nullptr, 5, 0, true, kAudioDevicePropertyMute),
        AudioHardwareStreamPropertyChanged(nullptr, 5, 6, 0, kAudioDevicePropertyMute),
        AudioHardwareClaimAudioDeviceID(kOwner, nullptr),
        AudioHardwareClaimAudioStreamID(kOwner, 5, nullptr),
        AudioHardwareDevicesCreated(kOwner, 1, nullptr),
        AudioHardwareStreamsDied(kOwner, 5, 2, nullptr),
    };
    for (size_t i = 0; i < std::size(results); ++i)
        EXPECT_EQ(results[i], kAudioHardwareIllegalOperationError) << "call " << i;
    EXPECT_EQ(device, kAudioDeviceUnknown);
    EXPECT_EQ(stream, kAudioStreamUnknown);
    EXPECT_TRUE(_AudioHALRecordedNotifications().empty());

    // An empty list needs no storage. Any non-zero Boolean means input.
    EXPECT_EQ(AudioHardwareDevicesDied(kOwner, 0, nullptr), noErr);
    EXPECT_EQ(AudioHardwareDevicePropertyChanged(kOwner, 42, 7, 2, kAudioDevicePropertyPlayThru), noErr);
    const std::vector<HALNotification> recorded = _AudioHALRecordedNotifications();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].call, HALCall::DevicesDied);
    EXPECT_TRUE(recorded[0].objects.empty());
    EXPECT_EQ(recorded[1], deviceChange(42, 7, true, kAudioDevicePropertyPlayThru));
}

TEST_F(HALCalls, ClaimsFromManyThreadsAreUniqueAndTheRecordStaysBounded)
{
    constexpr int kThreads = 4;
    constexpr int kClaims = 500; // two IDs per claim, well past the record's limit
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
    // The record keeps the latest calls.
    _AudioHALClearRecordedNotifications();
    EXPECT_EQ(_AudioHALDroppedNotificationCount(), 0u);
    for (UInt32 i = 0; i < kHALRecordedNotificationLimit + 10; ++i)
        AudioHardwareDevicePropertyChanged(kOwner, 7, i, false, kAudioDevicePropertyMute);
    const std::vector<HALNotification> recorded = _AudioHALRecordedNotifications();
    ASSERT_EQ(recorded.size(), kHALRecordedNotificationLimit);
    EXPECT_EQ(recorded.front().channel, 10u);
    EXPECT_EQ(recorded.back().channel, kHALRecordedNotificationLimit + 9);
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

TEST_F(Listeners, CalledForTheirPropertyOnTheChangingThreadWithTheLatestClientData)
{
    ListenerLog first, log, other;
    const auto out = kAudioHardwarePropertyDefaultOutputDevice;
    ASSERT_EQ(AudioHardwareAddPropertyListener(out, logListener, &first), noErr);
    ASSERT_EQ(AudioHardwareAddPropertyListener(out, logListener, &log), noErr); // replaces
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDefaultInputDevice);
    EXPECT_TRUE(log.seen().empty());

    std::thread changer([out] { _AudioHALHardwarePropertyChanged(out); });
    const std::thread::id changerID = changer.get_id();
    changer.join();
    EXPECT_TRUE(first.seen().empty());
    ASSERT_EQ(log.seen(), std::vector<AudioHardwarePropertyID>{out});
    EXPECT_EQ(log.threads[0], changerID);

    // Removing one proc leaves the other; a proc is removed only for its own property.
    ASSERT_EQ(AudioHardwareAddPropertyListener(out, otherListener, &other), noErr);
    ASSERT_EQ(AudioHardwareRemovePropertyListener(out, logListener), noErr);
    _AudioHALHardwarePropertyChanged(out);
    EXPECT_EQ(log.seen().size(), 1u);
    EXPECT_EQ(other.seen().size(), 1u);
    EXPECT_EQ(AudioHardwareRemovePropertyListener(out, logListener), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareRemovePropertyListener(kAudioHardwarePropertyDefaultInputDevice, otherListener),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareAddPropertyListener(out, nullptr, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareRemovePropertyListener(out, nullptr), kAudioHardwareIllegalOperationError);
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
// Host time (the one place it is tested): the monotonic clock in nanoseconds, time base 1/1

UInt64 monotonicNanos()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return UInt64(ts.tv_sec) * 1000000000ull + UInt64(ts.tv_nsec);
}

TEST(HostTime, IsTheMonotonicClockInNanoseconds)
{
    mach_timebase_info_data_t base{};
    ASSERT_EQ(mach_timebase_info(&base), KERN_SUCCESS);
    EXPECT_EQ(base.numer, 1u);
    EXPECT_EQ(base.denom, 1u);
    EXPECT_EQ(mach_timebase_info(nullptr), KERN_INVALID_ARGUMENT);
    EXPECT_DOUBLE_EQ(AudioGetHostClockFrequency(), 1.0e9);
    EXPECT_GE(AudioGetHostClockMinimumTimeDelta(), 1u);

    UInt64 previous = monotonicNanos();
    for (int i = 0; i < 10000; ++i) {
        const UInt64 host = i % 2 ? AudioGetCurrentHostTime() : mach_absolute_time();
        ASSERT_GE(host, previous);
        previous = host;
    }
    EXPECT_LE(previous, monotonicNanos());
    for (UInt64 t : {UInt64(0), UInt64(1000000007), ~UInt64(0)}) {
        EXPECT_EQ(AudioConvertHostTimeToNanos(t), t);
        EXPECT_EQ(AudioConvertNanosToHostTime(t), t);
    }
}

} // namespace
