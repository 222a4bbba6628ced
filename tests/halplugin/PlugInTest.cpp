// The plug-in as the HAL sees it: its module loaded from the bundle, its one factory and its
// function table, against a private simulated kernel driver. The HAL's side is the recording
// backend, so every claim and announcement the plug-in makes can be checked in order.
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/KernelEvent.h"
#include "platform/src/CoreFoundation/CFPlugInPrivate.h"
#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/RecordingHALBackend.h"

namespace {

using namespace kexttest;

using Factory = void* (*)(CFAllocatorRef, CFUUIDRef);

std::vector<HALNotification> calls(HALCall kind)
{
    std::vector<HALNotification> out;
    for (const HALNotification& n : recordedHALCalls())
        if (n.call == kind)
            out.push_back(n);
    return out;
}

// The IOProcs count their calls in their client data.
using Counter = std::atomic<int>;

OSStatus countingProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                      AudioBufferList* output, const AudioTimeStamp*, void* clientData)
{
    static_cast<Counter*>(clientData)->fetch_add(1);
    if (output != nullptr && output->mBuffers[0].mData != nullptr)
        std::fill_n(static_cast<float*>(output->mBuffers[0].mData), output->mBuffers[0].mDataByteSize / 4, 0.25f);
    return 0;
}

// No call for a while once the device is gone or torn down.
bool staysAt(const Counter& counter, int value)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    return counter.load() == value;
}

class PlugIn : public KextTest {
protected:
    void SetUp() override
    {
        KextTest::SetUp();
        clearRecordedHALCalls();
        ASSERT_NE(factory(), nullptr) << dlerror();
    }
    void TearDown() override
    {
        if (m_ref != nullptr) {
            (*m_ref)->Teardown(m_ref);
            (*m_ref)->Release(m_ref);
        }
        KextTest::TearDown();
    }

    // Creates and initialises the plug-in on this thread, whose run loop then hears hot-plug.
    void initialise()
    {
        m_ref = create();
        ASSERT_NE(m_ref, nullptr);
        ASSERT_EQ((*m_ref)->InitializeWithObjectID(m_ref, 77), noErr);
    }
    Factory factory() const
    {
        return m_module ? reinterpret_cast<Factory>(dlsym(m_module.get(), "CreateAudio")) : nullptr;
    }
    AudioHardwarePlugInRef create() const
    {
        return static_cast<AudioHardwarePlugInRef>(factory()(kCFAllocatorDefault, kAudioHardwarePlugInTypeID));
    }
    AudioHardwarePlugInInterface& table() { return **m_ref; }
    // A device property of `value`'s type through the table (`size` bytes of it when given).
    template <class T>
    OSStatus get(AudioDeviceID device, UInt32 channel, bool input, AudioDevicePropertyID property, T& value,
                 UInt32 size = sizeof(T))
    {
        return table().DeviceGetProperty(m_ref, device, channel, input, property, &size, &value);
    }
    template <class T>
    OSStatus set(AudioDeviceID device, UInt32 channel, bool input, AudioDevicePropertyID property, const T& value)
    {
        return table().DeviceSetProperty(m_ref, device, nullptr, channel, input, property, sizeof(T), &value);
    }
    OSStatus direction(AudioStreamID stream, UInt32& value)
    {
        UInt32 size = sizeof(value);
        return table().StreamGetProperty(m_ref, stream, 0, kAudioStreamPropertyDirection, &size, &value);
    }

    // The published devices in order: device, input stream and output stream IDs.
    struct Published {
        AudioDeviceID device;
        AudioStreamID input, output;
    };
    std::vector<Published> published()
    {
        std::vector<Published> out;
        for (const HALNotification& n : calls(HALCall::StreamsCreated))
            if (n.objects.size() == 2)
                out.push_back({n.device, n.objects[0], n.objects[1]});
        return out;
    }

    PrivateHome m_home;
    // The bundle's module, loaded as the HAL loads it.
    const std::unique_ptr<void, int (*)(void*)> m_module{dlopen(TARSEL_PLUGIN_MODULE, RTLD_NOW | RTLD_LOCAL), dlclose};
    AudioHardwarePlugInRef m_ref = nullptr;
};

TEST_F(PlugIn, TheFactoryServesEveryInterfaceFromOneReferenceCountedObject)
{
    EXPECT_EQ(factory()(kCFAllocatorDefault, kAudioHardwarePlugInInterfaceID), nullptr) << "not the plug-in type";

    AudioHardwarePlugInRef ref = create();
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(_CFPlugInInstanceCount(kAudioHardwarePlugInTypeID), 1);

    const CFUUIDRef served[] = {kAudioHardwarePlugInInterface4ID, kAudioHardwarePlugInInterface3ID,
                                kAudioHardwarePlugInInterface2ID, kAudioHardwarePlugInInterfaceID,
                                kAudioHardwarePlugInTypeID,       IUnknownUUID};
    ULONG expected = 1;
    for (CFUUIDRef iid : served) {
        void* out = nullptr;
        EXPECT_EQ((*ref)->QueryInterface(ref, CFUUIDGetUUIDBytes(iid), &out), S_OK);
        EXPECT_EQ(out, ref);
        EXPECT_EQ((*ref)->AddRef(ref), ++expected + 1);
        EXPECT_EQ((*ref)->Release(ref), expected);
    }
    void* out = ref;
    CFUUIDBytes unknown = CFUUIDGetUUIDBytes(kAudioHardwarePlugInTypeID);
    unknown.byte15 ^= 1;
    EXPECT_EQ((*ref)->QueryInterface(ref, unknown, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    // What the HAL learns of time and reading comes only from the IOProcs.
    AudioTimeStamp time{};
    EXPECT_EQ((*ref)->DeviceRead(ref, 5, &time, nullptr), kIOReturnError);
    EXPECT_EQ((*ref)->DeviceGetCurrentTime(ref, 5, &time), kIOReturnError);
    EXPECT_EQ((*ref)->DeviceTranslateTime(ref, 5, &time, &time), kIOReturnError);
    EXPECT_EQ((*ref)->DeviceStartAtTime(ref, 5, countingProc, &time, 0), kIOReturnError);
    EXPECT_EQ((*ref)->DeviceGetNearestStartTime(ref, 5, &time, 0), kIOReturnError);

    while (expected > 1)
        EXPECT_EQ((*ref)->Release(ref), --expected);
    EXPECT_EQ((*ref)->Release(ref), 0u);
    EXPECT_EQ(_CFPlugInInstanceCount(kAudioHardwarePlugInTypeID), 0) << "the last Release destroys the driver";
}

// Two interfaces published, IOProcs started on both, and one of them unplugged.
TEST_F(PlugIn, TheUnpluggedInterfaceIsWithdrawnWithItsIOProcAndTheOtherRunsOnUntilTeardown)
{
    ASSERT_NE(daemon().plug("default"), 0u);
    const uint32_t second = daemon().plug("default");
    ASSERT_NE(second, 0u);
    initialise();

    // Claims in order: the device, then its input stream, then its output stream.
    std::vector<HALCall> order;
    for (const HALNotification& n : recordedHALCalls())
        if (n.call != HALCall::DevicePropertyChanged && n.call != HALCall::StreamPropertyChanged)
            order.push_back(n.call);
    const std::vector<HALCall> one = {HALCall::ClaimDeviceID, HALCall::ClaimStreamID, HALCall::ClaimStreamID,
                                      HALCall::DevicesCreated, HALCall::StreamsCreated};
    std::vector<HALCall> two = one;
    two.insert(two.end(), one.begin(), one.end());
    EXPECT_EQ(order, two);
    const std::vector<Published> devices = published();
    ASSERT_EQ(devices.size(), 2u);
    std::vector<AudioObjectID> ids;
    for (const Published& p : devices)
        ids.insert(ids.end(), {p.device, p.input, p.output});
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()), ids.end())
        << "every ID is new, and the input stream is claimed before the output stream";
    const AudioDeviceID kept = devices[0].device;
    const Published& gone = devices[1];

    // Streams answer for their own direction; a device for the direction asked.
    UInt32 in = 9, out = 9;
    EXPECT_EQ(direction(gone.input, in), noErr);
    EXPECT_EQ(direction(gone.output, out), noErr);
    EXPECT_EQ(std::pair(in, out), std::pair(1u, 0u));
    AudioStreamID stream = 0;
    EXPECT_EQ(get(gone.device, 0, true, kAudioDevicePropertyStreams, stream, 8), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(get(gone.device, 0, false, kAudioDevicePropertyStreams, stream), noErr);
    EXPECT_EQ(stream, gone.output);
    const AudioObjectPropertyAddress global{kAudioDevicePropertyStreams, kAudioObjectPropertyScopeGlobal, 0};
    UInt32 size = 4;
    EXPECT_EQ(table().ObjectGetPropertyData(m_ref, gone.device, &global, 0, nullptr, &size, &stream), noErr);
    EXPECT_EQ(stream, gone.output) << "the global scope of a device answers for its output";
    const UInt32 qualifier = 1;
    EXPECT_EQ(table().ObjectGetPropertyData(m_ref, gone.device, &global, 4, &qualifier, &size, &stream),
              kAudioHardwareUnspecifiedError);
    EXPECT_EQ(table().ObjectGetPropertyData(m_ref, 9999, &global, 0, nullptr, &size, &stream),
              kAudioHardwareBadObjectError);
    Float64 rate = 0;
    EXPECT_EQ(get(9999, 0, false, kAudioDevicePropertyNominalSampleRate, rate), kIOReturnNoDevice);

    AudioDeviceIOProcID id = nullptr;
    Counter keptCalls, goneCalls;
    EXPECT_EQ(table().DeviceCreateIOProcID(m_ref, 9999, countingProc, &keptCalls, &id), kIOReturnNoDevice);
    EXPECT_EQ(id, countingProc) << "the ID is the function itself, even for an unknown device";
    EXPECT_EQ(table().DeviceStart(m_ref, kept, countingProc), kIOReturnError) << "never added";
    EXPECT_EQ(table().DeviceAddIOProc(m_ref, kept, nullptr, nullptr), kIOReturnError);
    EXPECT_EQ(table().DeviceCreateIOProcID(m_ref, kept, countingProc, &keptCalls, &id), noErr);
    EXPECT_EQ(table().DeviceStop(m_ref, kept, countingProc), noErr) << "not running: nothing to do";
    // The same function on the other device is an IOProc of its own.
    EXPECT_EQ(table().DeviceAddIOProc(m_ref, gone.device, countingProc, &goneCalls), noErr);
    EXPECT_EQ(table().DeviceStart(m_ref, kept, countingProc), noErr);
    EXPECT_EQ(table().DeviceStart(m_ref, gone.device, countingProc), noErr);
    ASSERT_TRUE(runLoopUntil([&] { return keptCalls.load() > 5 && goneCalls.load() > 5; }));
    UInt32 running = 0;
    EXPECT_EQ(get(kept, 0, false, kAudioDevicePropertyDeviceIsRunning, running), noErr);
    EXPECT_EQ(running, 1u);

    // Unplugged while its IOProc runs: exactly that device goes, and its IOProc is never called
    // again; the other one goes on answering and running.
    ASSERT_EQ(daemon().unplug(second), KERN_SUCCESS);
    ASSERT_TRUE(runLoopUntil([&] { return !calls(HALCall::DevicesDied).empty(); }));
    const std::vector<HALNotification> died = calls(HALCall::DevicesDied);
    ASSERT_EQ(died.size(), 1u);
    EXPECT_EQ(died[0].objects, std::vector<AudioObjectID>{gone.device});
    ASSERT_TRUE(runLoopUntil([&] {
        return table().DeviceStop(m_ref, gone.device, countingProc) == kIOReturnNoDevice;
    }));
    EXPECT_TRUE(staysAt(goneCalls, goneCalls.load()));
    EXPECT_EQ(get(gone.device, 0, false, kAudioDevicePropertyNominalSampleRate, rate), kIOReturnNoDevice);
    EXPECT_EQ(direction(gone.input, in), kIOReturnNoDevice);
    EXPECT_EQ(get(kept, 0, false, kAudioDevicePropertyNominalSampleRate, rate), noErr);
    EXPECT_GT(rate, 0.0);
    const int before = keptCalls.load();
    ASSERT_TRUE(runLoopUntil([&] { return keptCalls.load() > before + 5; })) << "the other device runs on";

    // Teardown with the IOProc still started: it is stopped before Teardown returns.
    ASSERT_EQ(table().Teardown(m_ref), noErr);
    EXPECT_TRUE(staysAt(keptCalls, keptCalls.load()));
    EXPECT_EQ(table().DeviceStop(m_ref, kept, countingProc), kIOReturnNoDevice);
    EXPECT_EQ(table().DeviceDestroyIOProcID(m_ref, kept, id), kIOReturnNoDevice);
}

// What the models differ in: channel names, layouts, formats and controls, each asked through its
// property; and the changes of controls the kernel reports reach the HAL as property changes of
// the device and its streams.
TEST_F(PlugIn, ModelsAnswerForTheirNamesFormatsAndControlsAndTheirControlsChangesReachTheHAL)
{
    std::vector<uint32_t> services;
    for (const char* model : {"tarsel", "brightwater-mixer-10-hs", "wrenfield-w2-hs", "kingsmere-digital-hs"})
        services.push_back(daemon().plug(model));
    ASSERT_EQ(std::count(services.begin(), services.end(), 0u), 0);
    initialise();
    const std::vector<Published> devices = published();
    ASSERT_EQ(devices.size(), 4u);
    const AudioDeviceID tarsel = devices[0].device, mixer = devices[1].device, w2 = devices[2].device,
                        kingsmere = devices[3].device;

    // The Tarsel's changes first, so that no notice of a set below is heard among them.
    const Published& p = devices[0];
    AudioStreamBasicDescription in{}, out{};
    ASSERT_EQ(get(p.device, 0, true, kAudioDevicePropertyStreamFormat, in), noErr);
    ASSERT_EQ(get(p.device, 0, false, kAudioDevicePropertyStreamFormat, out), noErr);
    const auto changesAfter = [&](uint32_t code) {
        clearRecordedHALCalls();
        EXPECT_EQ(daemon().control().postEvent(services[0], code, {}), KERN_SUCCESS);
        runLoopUntil([] { return !recordedHALCalls().empty(); });
        runLoopUntil([] { return false; }, std::chrono::milliseconds(100)); // the rest of them
        return recordedHALCalls();
    };
    // A change of the device's property, or of a stream's when `stream` is given.
    const auto change = [&](UInt32 channel, bool input, AudioDevicePropertyID property, AudioStreamID stream = 0) {
        return HALNotification{.call = stream != 0 ? HALCall::StreamPropertyChanged : HALCall::DevicePropertyChanged,
                               .owner = m_ref, .device = p.device, .stream = stream, .channel = channel,
                               .isInput = input, .property = property, .objects = {}};
    };

    std::vector<HALNotification> volume;
    for (const bool input : {true, false})
        for (UInt32 channel = 0; channel <= (input ? in : out).mChannelsPerFrame; ++channel)
            for (AudioDevicePropertyID property : {kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyVolumeDecibels})
                volume.push_back(change(channel, input, property));
    EXPECT_EQ(changesAfter(kEventVolumeChanged), volume);
    EXPECT_EQ(changesAfter(kEventMuteChanged),
              (std::vector{change(0, true, kAudioDevicePropertyMute), change(0, false, kAudioDevicePropertyMute)}));
    EXPECT_EQ(changesAfter(kEventDataSourceChanged),
              (std::vector{change(0, false, kAudioDevicePropertyDataSource, p.input),
                           change(0, false, kAudioDevicePropertyDataSource, p.output),
                           change(0, true, kAudioDevicePropertyDataSource),
                           change(0, false, kAudioDevicePropertyDataSource)}));

    // A channel's name, or the status it is refused with.
    const auto name = [&](AudioDeviceID device, bool input, UInt32 channel) {
        CFStringRef text = nullptr;
        const OSStatus status = get(device, channel, input, kAudioDevicePropertyChannelNameCFString, text);
        char buffer[128] = "";
        if (text != nullptr) {
            CFStringGetCString(text, buffer, sizeof(buffer), kCFStringEncodingASCII);
            CFRelease(text);
        }
        return status == noErr ? std::string(buffer) : "status " + std::to_string(status);
    };
    EXPECT_EQ(name(tarsel, false, 0), "Master OUT");
    EXPECT_EQ(name(tarsel, true, 3), "IN 3");
    EXPECT_EQ(name(mixer, true, 12), "AUX 2");
    EXPECT_EQ(name(mixer, true, 10), "IN 10");
    EXPECT_EQ(name(w2, false, 2), "Main Right");
    EXPECT_EQ(name(w2, false, 3), "status " + std::to_string(kAudioHardwareUnknownPropertyError));

    // The preferred layout: one description per channel, in order.
    const UInt32 channels = out.mChannelsPerFrame;
    std::vector<UInt32> layout(64, 0xABABABAB);
    UInt32 size = 4 * 64;
    ASSERT_EQ(table().DeviceGetProperty(m_ref, tarsel, 0, false, kAudioDevicePropertyPreferredChannelLayout, &size,
                                        layout.data()),
              noErr);
    EXPECT_EQ(size, 12 + 20 * channels);
    EXPECT_EQ(layout[2], channels);
    EXPECT_EQ(layout[3 + 5 * (channels - 1)], channels) << "the last description has the last label";
    EXPECT_EQ(layout[3 + 5 * channels], 0xABABABABu);

    // Matching: no rate and no channel count take the device's rate and the most channels;
    // "supported" needs every given field to match one format.
    AudioStreamBasicDescription request{};
    ASSERT_EQ(get(tarsel, 0, false, kAudioDevicePropertyStreamFormatMatch, request), noErr);
    Float64 rate = 0;
    ASSERT_EQ(get(tarsel, 0, false, kAudioDevicePropertyNominalSampleRate, rate), noErr);
    EXPECT_EQ(request.mSampleRate, rate);
    std::vector<AudioStreamBasicDescription> formats(32);
    size = UInt32(formats.size() * sizeof(AudioStreamBasicDescription));
    ASSERT_EQ(table().DeviceGetProperty(m_ref, tarsel, 0, false, kAudioDevicePropertyStreamFormats, &size,
                                        formats.data()),
              noErr);
    formats.resize(size / sizeof(AudioStreamBasicDescription));
    UInt32 most = 0;
    for (const AudioStreamBasicDescription& f : formats)
        if (f.mSampleRate == rate)
            most = std::max(most, f.mChannelsPerFrame);
    EXPECT_EQ(request.mChannelsPerFrame, most);
    AudioStreamBasicDescription asked = formats[0];
    EXPECT_EQ(get(tarsel, 0, false, kAudioDevicePropertyStreamFormatSupported, asked), noErr);
    asked.mChannelsPerFrame = 1000;
    EXPECT_EQ(get(tarsel, 0, false, kAudioDevicePropertyStreamFormatSupported, asked),
              kAudioDeviceUnsupportedFormatError)
        << "a matching rate alone does not make a format supported";

    // Input sources are numbered from 101; setting one goes to the device's own numbering.
    UInt32 ids[3] = {};
    EXPECT_EQ(get(kingsmere, 0, true, kAudioDevicePropertyDataSources, ids, 8), kAudioHardwareUnknownPropertyError);
    ASSERT_EQ(get(kingsmere, 0, true, kAudioDevicePropertyDataSources, ids), noErr);
    EXPECT_EQ(std::vector(std::begin(ids), std::end(ids)), (std::vector<UInt32>{101, 102, 103}));
    ASSERT_EQ(set(kingsmere, 0, true, kAudioDevicePropertyDataSource, UInt32(103)), noErr);
    UInt32 source = 0;
    ASSERT_EQ(get(kingsmere, 0, true, kAudioDevicePropertyDataSource, source), noErr);
    EXPECT_EQ(source, 103u);
    char sourceName[64] = "";
    AudioValueTranslation t{&source, sizeof(source), sourceName, sizeof(sourceName)};
    ASSERT_EQ(get(kingsmere, 0, true, kAudioDevicePropertyDataSourceNameForID, t), noErr);
    EXPECT_STREQ(sourceName, "SPDIF (RCA)");

    // Volume (the Tarsel's is per channel, from 1): a scalar set reads back, its decibels
    // convert back to it; dB and hog mode are listed as settable but refused.
    const UInt32 channel = 1;
    EXPECT_EQ(set(tarsel, channel, false, kAudioDevicePropertyVolumeScalar, 0.5f), noErr);
    Float32 scalar = 0, dB = 0;
    ASSERT_EQ(get(tarsel, channel, false, kAudioDevicePropertyVolumeScalar, scalar), noErr);
    EXPECT_NEAR(scalar, 0.5f, 0.01f);
    ASSERT_EQ(get(tarsel, channel, false, kAudioDevicePropertyVolumeDecibels, dB), noErr);
    Float32 converted = dB;
    ASSERT_EQ(get(tarsel, channel, false, kAudioDevicePropertyVolumeDecibelsToScalar, converted), noErr);
    EXPECT_NEAR(converted, scalar, 1e-4f);
    Boolean settable = false;
    EXPECT_EQ(table().DeviceGetPropertyInfo(m_ref, tarsel, channel, false, kAudioDevicePropertyVolumeDecibels, nullptr,
                                            &settable),
              noErr);
    EXPECT_TRUE(settable);
    EXPECT_EQ(set(tarsel, channel, false, kAudioDevicePropertyVolumeDecibels, dB), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(set(tarsel, 40, false, kAudioDevicePropertyVolumeScalar, 0.5f), kAudioHardwareUnknownPropertyError)
        << "a channel without volume refuses the set";
    EXPECT_EQ(set(tarsel, 0, false, kAudioDevicePropertyHogMode, SInt32(getpid())),
              kAudioHardwareUnknownPropertyError);

    // Mute on the master channel only.
    UInt32 mute = 0;
    EXPECT_EQ(set(tarsel, 0, false, kAudioDevicePropertyMute, UInt32(1)), noErr);
    EXPECT_EQ(get(tarsel, 0, false, kAudioDevicePropertyMute, mute), noErr);
    EXPECT_EQ(mute, 1u);
    EXPECT_EQ(table().DeviceGetPropertyInfo(m_ref, tarsel, 1, false, kAudioDevicePropertyMute, nullptr, nullptr),
              kAudioHardwareUnknownPropertyError);
}

// Hot-plug on the run-loop thread while HAL threads look devices up: every look-up either finds
// a live device or none, never a device being freed (checked under the sanitizers).
TEST_F(PlugIn, LookupsDuringHotPlugSeeWholeDevicesOnly)
{
    initialise();
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread reader([&] {
        while (!stop.load()) {
            for (AudioDeviceID id = 2; id < 40; ++id) {
                Float64 rate = 0;
                UInt32 size = 8;
                if (table().DeviceGetProperty(m_ref, id, 0, false, kAudioDevicePropertyNominalSampleRate, &size,
                                              &rate) == noErr)
                    answered.fetch_add(1);
            }
        }
    });
    for (int round = 0; round < 3; ++round) {
        const uint32_t service = daemon().plug("default");
        ASSERT_TRUE(runLoopUntil([&] { return published().size() == size_t(round + 1); }));
        ASSERT_EQ(daemon().unplug(service), KERN_SUCCESS);
        ASSERT_TRUE(runLoopUntil([&] { return calls(HALCall::DevicesDied).size() == size_t(round + 1); }));
    }
    stop = true;
    reader.join();
    EXPECT_GT(answered.load(), 0);
}

} // namespace
