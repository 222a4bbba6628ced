#include <CoreAudio/CoreAudio.h>
#include <mach/mach_time.h>

#include "platform/src/CoreAudio/HALBackend.h"

#include <gtest/gtest.h>
#include <time.h>

#include <iterator>

namespace {

// Stands for a plug-in's interface record: only its address matters.
AudioHardwarePlugInInterface g_table{};
AudioHardwarePlugInInterface* g_record = &g_table;
const AudioHardwarePlugInRef kOwner = &g_record;

// Counts what reaches it and accepts everything.
struct CountingBackend final : HALBackend {
    int calls = 0;

    OSStatus claimDeviceID(AudioHardwarePlugInRef, AudioDeviceID* out) override { return *out = 7, ++calls, noErr; }
    OSStatus claimStreamID(AudioHardwarePlugInRef, AudioDeviceID, AudioStreamID* out) override
    {
        return *out = 8, ++calls, noErr;
    }
    OSStatus devicesCreated(AudioHardwarePlugInRef, UInt32, const AudioDeviceID*) override { return ++calls, noErr; }
    OSStatus devicesDied(AudioHardwarePlugInRef, UInt32, const AudioDeviceID*) override { return ++calls, noErr; }
    OSStatus streamsCreated(AudioHardwarePlugInRef, AudioDeviceID, UInt32, const AudioStreamID*) override
    {
        return ++calls, noErr;
    }
    OSStatus streamsDied(AudioHardwarePlugInRef, AudioDeviceID, UInt32, const AudioStreamID*) override
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
    OSStatus addPropertyListener(AudioHardwarePropertyID, AudioHardwarePropertyListenerProc, void*) override
    {
        return ++calls, noErr;
    }
    OSStatus removePropertyListener(AudioHardwarePropertyID, AudioHardwarePropertyListenerProc) override
    {
        return ++calls, noErr;
    }
    void hardwarePropertyChanged(AudioHardwarePropertyID) override { ++calls; }
};

OSStatus ignoringListener(AudioHardwarePropertyID, void*)
{
    return noErr;
}

// The HAL calls a plug-in makes are checked before any backend sees them, and without a HAL
// in the process nothing can be claimed or announced.
TEST(HALCalls, BadArgumentsNeverReachTheBackendAndWithoutAHALClaimsAreRefused)
{
    AudioDeviceID device = 99;
    AudioStreamID stream = 99;
    const AudioDeviceID ids[] = {5};
    EXPECT_EQ(AudioHardwareClaimAudioDeviceID(kOwner, &device), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(device, kAudioDeviceUnknown);
    EXPECT_EQ(AudioHardwareDevicesCreated(kOwner, 1, ids), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareAddPropertyListener(kAudioHardwarePropertyDevices, ignoringListener, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardwareDevicePropertyChanged(kOwner, 5, 0, true, kAudioDevicePropertyMute), noErr)
        << "a change with nobody to hear it is not a failure";

    CountingBackend backend;
    HALBackend* none = _AudioHALSetBackend(&backend);
    device = 99;
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
        AudioHardwareAddPropertyListener(kAudioHardwarePropertyDevices, nullptr, nullptr),
        AudioHardwareRemovePropertyListener(kAudioHardwarePropertyDevices, nullptr),
    };
    for (size_t i = 0; i < std::size(results); ++i)
        EXPECT_EQ(results[i], kAudioHardwareIllegalOperationError) << "call " << i;
    EXPECT_EQ(device, kAudioDeviceUnknown);
    EXPECT_EQ(stream, kAudioStreamUnknown);
    EXPECT_EQ(backend.calls, 0);

    // An empty list needs no storage; an installed backend answers the rest.
    EXPECT_EQ(AudioHardwareDevicesDied(kOwner, 0, nullptr), noErr);
    EXPECT_EQ(AudioHardwareClaimAudioDeviceID(kOwner, &device), noErr);
    EXPECT_EQ(device, 7u);
    _AudioHALHardwarePropertyChanged(kAudioHardwarePropertyDevices);
    EXPECT_EQ(backend.calls, 3);
    EXPECT_EQ(_AudioHALSetBackend(nullptr), &backend);
    EXPECT_EQ(_AudioHALGetBackend(), none);
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
