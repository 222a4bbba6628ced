// The HAL against a test plug-in loaded from bundles of the test's own: which bundles load, the
// devices list and the defaults through hot-plug, the errors of calls that reach no object,
// listeners, and unloading. The HAL with the suite's plug-in is tests/halplugin's.
#include <CoreAudio/AudioHardware.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/hal/FakePlugInProbe.h"

namespace fs = std::filesystem;

namespace {

uint64_t thisThread()
{
    return static_cast<uint64_t>(pthread_self());
}

// What the plug-in and the listeners tell the test, guarded by gLock.
std::mutex gLock;
std::condition_variable gChanged;
std::vector<FakeProbeEvent> gEvents;
std::atomic<bool> gSayTeardown{false};

struct Heard {
    AudioObjectID object;
    UInt32 channel;
    bool isInput;
    UInt32 property;
    AudioObjectPropertyAddress address;
    uint64_t thread;
    void* tag;
};
std::vector<Heard> gHeard;

void hear(const Heard& heard)
{
    std::lock_guard<std::mutex> guard(gLock);
    gHeard.push_back(heard);
    gChanged.notify_all();
}

// Waits for a condition on the shared record. The limit only keeps a broken HAL from hanging the
// test; nothing is measured.
template <typename Condition>
bool waitUntil(Condition condition)
{
    std::unique_lock<std::mutex> guard(gLock);
    return gChanged.wait_for(guard, std::chrono::seconds(30), condition);
}

std::vector<FakeProbeEvent> eventsOf(FakeEvent kind)
{
    std::lock_guard<std::mutex> guard(gLock);
    std::vector<FakeProbeEvent> found;
    for (const FakeProbeEvent& e : gEvents)
        if (e.event == kind)
            found.push_back(e);
    return found;
}

std::vector<Heard> heardBy(void* tag)
{
    std::lock_guard<std::mutex> guard(gLock);
    std::vector<Heard> found;
    for (const Heard& h : gHeard)
        if (h.tag == tag)
            found.push_back(h);
    return found;
}

std::size_t countHeard(void* tag, UInt32 property)
{
    std::size_t n = 0;
    for (const Heard& h : gHeard)
        n += h.tag == tag && h.property == property;
    return n;
}

OSStatus onDevice(AudioDeviceID device, UInt32 channel, Boolean isInput, AudioDevicePropertyID property, void* tag)
{
    hear({device, channel, isInput != 0, property, {}, thisThread(), tag});
    return 0;
}

OSStatus onObject(AudioObjectID object, UInt32 count, const AudioObjectPropertyAddress* addresses, void* tag)
{
    for (UInt32 i = 0; i < count; ++i)
        hear({object, addresses[i].mElement, false, addresses[i].mSelector, addresses[i],
              thisThread(), tag});
    return 0;
}

void* tag(int n)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(n));
}

// The type's key in lower case, as some bundles write it.
const std::string kHALType = "f8bb1c28-bae8-11d6-9c31-00039315cd46";
const std::string kFactory = "6A0F1C52-3C1B-4E8A-9D55-0B7E2E6A1F01";

// An Info.plist naming `function` as the HAL factory of `executable`.
std::string infoPlist(const std::string& function, const std::string& executable = "FakePlugIn",
                      const std::string& type = kHALType)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>CFBundleExecutable</key><string>" + executable + "</string>\n" +
        "<key>CFPlugInFactories</key><dict><key>" + kFactory + "</key><string>" + function + "</string></dict>\n" +
        "<key>CFPlugInTypes</key><dict><key>" + type + "</key><array><string>" + kFactory +
        "</string></array></dict>\n</dict>\n</plist>\n";
}

} // namespace

extern "C" __attribute__((visibility("default"))) void fakePlugInProbe(const FakeProbeEvent* event)
{
    if (gSayTeardown && event->event == FakeEvent::Teardown)
        std::fprintf(stderr, "plug-in torn down\n");
    std::lock_guard<std::mutex> guard(gLock);
    gEvents.push_back(*event);
    gChanged.notify_all();
}

class HALTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "hal-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
        setenv("TARSEL_HAL_PLUGIN_DIR", m_folder.c_str(), 1);
        std::lock_guard<std::mutex> guard(gLock);
        gEvents.clear();
        gHeard.clear();
    }

    void TearDown() override
    {
        AudioHardwareUnload();
        std::error_code error;
        fs::remove_all(m_folder, error);
    }

    // A bundle in the test folder; its module is the built test plug-in unless told otherwise.
    void addBundle(const std::string& name, const std::string& infoPlistText, bool withModule = true)
    {
        fs::path contents = m_folder / (name + ".plugin") / "Contents";
        fs::create_directories(contents / "MacOS");
        if (!infoPlistText.empty())
            std::ofstream(contents / "Info.plist") << infoPlistText;
        if (withModule)
            fs::create_symlink(FAKE_PLUGIN_MODULE, contents / "MacOS" / "FakePlugIn");
    }

    static std::vector<AudioDeviceID> devices()
    {
        UInt32 size = 0;
        EXPECT_EQ(AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDevices, &size, nullptr), 0);
        std::vector<AudioDeviceID> ids(size / sizeof(AudioDeviceID));
        EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDevices, &size, ids.data()), 0);
        ids.resize(size / sizeof(AudioDeviceID));
        return ids;
    }

    static AudioDeviceID systemDevice(AudioHardwarePropertyID property)
    {
        AudioDeviceID id = 12345;
        UInt32 size = sizeof id;
        EXPECT_EQ(AudioHardwareGetProperty(property, &size, &id), 0);
        return id;
    }

    static std::vector<AudioStreamID> streams(AudioDeviceID device, bool input)
    {
        AudioStreamID ids[8] = {};
        UInt32 size = sizeof ids;
        EXPECT_EQ(AudioDeviceGetProperty(device, 0, input, kAudioDevicePropertyStreams, &size, ids), 0);
        return std::vector<AudioStreamID>(ids, ids + size / sizeof(AudioStreamID));
    }

    // The devices, their streams and the plug-in last initialised.
    static std::vector<AudioObjectID> objects()
    {
        std::vector<AudioObjectID> ids;
        for (AudioDeviceID d : devices()) {
            ids.push_back(d);
            for (bool input : {false, true})
                for (AudioStreamID s : streams(d, input))
                    ids.push_back(s);
        }
        ids.push_back(eventsOf(FakeEvent::Initialize).back().object);
        return ids;
    }

    static OSStatus setValue(AudioDeviceID device, AudioDevicePropertyID property, UInt32 value)
    {
        return AudioDeviceSetProperty(device, nullptr, 0, false, property, sizeof value, &value);
    }

    static OSStatus report(AudioDeviceID via, const FakeReport& what)
    {
        return AudioDeviceSetProperty(via, nullptr, 0, false, kFakePropertyReport, sizeof what, &what);
    }

    // Changes of the devices list and the defaults are heard by a listener of the system object
    // for any property, counted from when the changes of loading have been delivered.
    static void listenToSystem(AudioDeviceID device)
    {
        const AudioObjectPropertyAddress any{kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementWildcard};
        ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &any, onObject, tag(100)), 0);
        flush(device);
        std::lock_guard<std::mutex> guard(gLock);
        std::erase_if(gHeard, [](const Heard& h) { return h.tag == tag(100); });
    }

    static void waitForSystem(UInt32 property, std::size_t times)
    {
        ASSERT_TRUE(waitUntil([&] { return countHeard(tag(100), property) >= times; }));
    }

    // Notices are delivered in order on one thread: once a change reported now has been heard,
    // all earlier ones have been delivered.
    static void flush(AudioDeviceID device)
    {
        constexpr AudioDevicePropertyID kFlush = CAFourCC("flsh");
        ASSERT_EQ(AudioDeviceAddPropertyListener(device, 0, false, kFlush, onDevice, tag(999)), 0);
        std::size_t before = heardBy(tag(999)).size();
        ASSERT_EQ(report(device, {device, 0, 0, 0, kFlush}), 0);
        ASSERT_TRUE(waitUntil([&] { return countHeard(tag(999), kFlush) > before; }));
    }

    fs::path m_folder;
};

TEST_F(HALTest, OnlyBundlesThatNameAWorkingFactoryLoad)
{
    addBundle("a-no-plist", "");
    addBundle("b-garbled", "<?xml version=\"1.0\"?><plist><dict><key>CFBundleExecutable</key><str");
    addBundle("c-good", infoPlist("FakePlugInFactory"));
    addBundle("d-no-module", infoPlist("FakePlugInFactory"), false);
    addBundle("e-no-symbol", infoPlist("NoSuchFactory"));
    addBundle("f-null-factory", infoPlist("FakePlugInNullFactory"));
    addBundle("g-escapes", infoPlist("FakePlugInFactory", "../../../c-good.plugin/Contents/MacOS/FakePlugIn"));
    addBundle("h-other-type", infoPlist("FakePlugInFactory", "FakePlugIn", "00000000-0000-0000-0000-000000000001"));
    std::ofstream(m_folder / "i-file.plugin") << "not a bundle";

    // The first call returns with the plug-in initialised, on the HAL's thread.
    EXPECT_EQ(devices().size(), 2u);
    auto inits = eventsOf(FakeEvent::Initialize);
    ASSERT_EQ(inits.size(), 1u);
    EXPECT_GE(inits[0].object, 2u);
    EXPECT_NE(inits[0].thread, thisThread());
}

TEST_F(HALTest, HotPlugHandsOutNewIDsAndTheDefaultsFollow)
{
    addBundle("good", infoPlist("FakePlugInFactory"));
    std::vector<AudioDeviceID> ids = devices();
    ASSERT_EQ(ids.size(), 2u);
    const AudioDeviceID a = ids[0], b = ids[1]; // a: input and output, b: outputs only
    listenToSystem(b);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultInputDevice), a);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultOutputDevice), a);
    std::vector<AudioObjectID> all = objects();
    std::set<AudioObjectID> seen(all.begin(), all.end());
    EXPECT_EQ(seen.size(), 7u); // the plug-in, two devices, four streams
    const AudioStreamID aInput = streams(a, true).at(0);

    // Unplugged: its IDs name nothing any more, and the defaults pass to the next device that
    // can take them.
    ASSERT_EQ(setValue(b, kFakePropertyRemoveDevice, a), 0);
    waitForSystem(kAudioHardwarePropertyDevices, 1);
    waitForSystem(kAudioHardwarePropertyDefaultOutputDevice, 1);
    waitForSystem(kAudioHardwarePropertyDefaultInputDevice, 1);
    EXPECT_EQ(devices(), std::vector<AudioDeviceID>{b});
    char text[16];
    UInt32 size = sizeof text;
    EXPECT_EQ(AudioDeviceGetProperty(a, 0, false, kAudioDevicePropertyDeviceName, &size, text),
              kAudioHardwareBadDeviceError);
    size = sizeof text;
    EXPECT_EQ(AudioStreamGetProperty(aInput, 0, kAudioStreamPropertyDirection, &size, text),
              kAudioHardwareBadStreamError);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultInputDevice), kAudioDeviceUnknown);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultOutputDevice), b);

    // Plugged in on the plug-in's run loop: new IDs, and the default input it can take.
    ASSERT_EQ(setValue(b, kFakePropertyAddDevice, kFakeLayoutInput | kFakeLayoutOutput), 0);
    waitForSystem(kAudioHardwarePropertyDevices, 2);
    waitForSystem(kAudioHardwarePropertyDefaultInputDevice, 2);
    ids = devices();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultInputDevice), ids[1]);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultOutputDevice), b);
    EXPECT_TRUE(seen.insert(ids[1]).second);
    for (bool input : {false, true})
        for (AudioStreamID s : streams(ids[1], input))
            EXPECT_TRUE(seen.insert(s).second);
}

TEST_F(HALTest, CallsThatReachNoObjectAnswerWhy)
{
    addBundle("good", infoPlist("FakePlugInFactory"));
    std::vector<AudioDeviceID> ids = devices();
    ASSERT_EQ(ids.size(), 2u);
    const AudioDeviceID a = ids[0];
    const AudioStreamID stream = streams(a, false).at(0);
    char data[16];
    UInt32 size = sizeof data;
    const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceName, kAudioObjectPropertyScopeGlobal, 0};
    auto proc = [](AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                   AudioBufferList*, const AudioTimeStamp*, void*) -> OSStatus { return 0; };

    // No object, or one of the wrong kind.
    for (AudioObjectID unknown : {AudioObjectID(0), AudioObjectID(99999), stream, kAudioObjectSystemObject}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(AudioDeviceGetProperty(unknown, 0, false, kAudioDevicePropertyDeviceName, &size, data),
                  kAudioHardwareBadDeviceError);
        AudioDeviceIOProcID id = nullptr;
        EXPECT_EQ(AudioDeviceCreateIOProcID(unknown, proc, nullptr, &id), kAudioHardwareBadDeviceError);
        EXPECT_EQ(AudioDeviceStart(unknown, proc), kAudioHardwareBadDeviceError);
    }
    for (AudioObjectID unknown : {AudioObjectID(0), AudioObjectID(99999), a}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(AudioStreamGetProperty(unknown, 0, kAudioStreamPropertyDirection, &size, data),
                  kAudioHardwareBadStreamError);
    }
    for (AudioObjectID unknown : {AudioObjectID(0), AudioObjectID(99999)}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(AudioObjectGetPropertyData(unknown, &address, 0, nullptr, &size, data),
                  kAudioHardwareBadObjectError);
        EXPECT_EQ(AudioObjectAddPropertyListener(unknown, &address, onObject, nullptr), kAudioHardwareBadObjectError);
    }
    // What reaches the plug-in comes back as it answered.
    size = sizeof data;
    EXPECT_EQ(AudioDeviceGetProperty(a, 0, false, CAFourCC("xxxx"), &size, data), kAudioHardwareUnknownPropertyError);
}

// What each listener hears: the object, the channel or element, the direction and the property,
// and the scope for the object calls; all on one thread of the HAL's own.
TEST_F(HALTest, ListenersHearChangesOnTheNotificationThread)
{
    addBundle("good", infoPlist("FakePlugInFactory"));
    std::vector<AudioDeviceID> ids = devices();
    ASSERT_EQ(ids.size(), 2u);
    const AudioDeviceID a = ids[0], b = ids[1];
    const AudioStreamID out = streams(a, false).at(0);
    constexpr UInt32 wild = kAudioPropertyWildcardChannel;
    const AudioObjectPropertyAddress rateOut{kAudioDevicePropertyNominalSampleRate, kAudioDevicePropertyScopeOutput,
                                             kAudioObjectPropertyElementWildcard};
    const AudioObjectPropertyAddress anyInput3{kAudioObjectPropertySelectorWildcard, kAudioDevicePropertyScopeInput, 3};
    const AudioObjectPropertyAddress anything{kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeWildcard,
                                              kAudioObjectPropertyElementWildcard};
    ASSERT_EQ(AudioDeviceAddPropertyListener(a, wild, false, kAudioDevicePropertyNominalSampleRate, onDevice, tag(1)), 0);
    ASSERT_EQ(AudioObjectAddPropertyListener(a, &rateOut, onObject, tag(2)), 0);
    ASSERT_EQ(AudioDeviceAddPropertyListener(a, wild, true, kAudioPropertyWildcardPropertyID, onDevice, tag(3)), 0);
    ASSERT_EQ(AudioObjectAddPropertyListener(a, &anyInput3, onObject, tag(4)), 0);
    ASSERT_EQ(AudioObjectAddPropertyListener(out, &anything, onObject, tag(5)), 0);
    ASSERT_EQ(AudioDeviceAddPropertyListener(a, 0, false, kAudioDevicePropertyVolumeScalar, onDevice, tag(6)), 0);

    ASSERT_EQ(report(a, {a, 0, 0, 0, kAudioDevicePropertyNominalSampleRate}), 0);
    ASSERT_EQ(report(a, {a, 0, 3, 1, kAudioDevicePropertyVolumeScalar}), 0);
    ASSERT_EQ(report(a, {a, out, 1, 0, kAudioDevicePropertyStreamFormat}), 0);
    // A report of an object the plug-in does not own is refused.
    EXPECT_EQ(report(a, {b, out, 1, 0, kAudioDevicePropertyStreamFormat}), kAudioHardwareBadStreamError);
    EXPECT_EQ(report(a, {99999, 0, 0, 0, kAudioDevicePropertyVolumeScalar}), kAudioHardwareBadDeviceError);
    flush(a);

    using Fields = std::tuple<AudioObjectID, UInt32, bool, UInt32, UInt32>;
    std::set<uint64_t> threads;
    const auto heard = [&](int n) {
        auto all = heardBy(tag(n));
        EXPECT_EQ(all.size(), 1u) << "listener " << n;
        const Heard h = all.empty() ? Heard{} : all[0];
        threads.insert(h.thread);
        return Fields{h.object, h.channel, h.isInput, h.property, h.address.mScope};
    };
    EXPECT_EQ(heard(1), Fields(a, 0, false, kAudioDevicePropertyNominalSampleRate, 0));
    EXPECT_EQ(heard(2), Fields(a, 0, false, kAudioDevicePropertyNominalSampleRate, kAudioDevicePropertyScopeOutput));
    EXPECT_EQ(heard(3), Fields(a, 3, true, kAudioDevicePropertyVolumeScalar, 0));
    EXPECT_EQ(heard(4), Fields(a, 3, false, kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyScopeInput));
    EXPECT_EQ(heard(5), Fields(out, 1, false, kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeGlobal));
    EXPECT_TRUE(heardBy(tag(6)).empty()); // the output section's volume did not change
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), thisThread());
    for (const FakeProbeEvent& reporter : eventsOf(FakeEvent::Reported))
        EXPECT_NE(reporter.thread, *threads.begin());

    EXPECT_EQ(AudioDeviceRemovePropertyListener(a, wild, false, kAudioDevicePropertyNominalSampleRate, onDevice), 0);
    EXPECT_EQ(AudioDeviceRemovePropertyListener(a, wild, false, kAudioDevicePropertyNominalSampleRate, onDevice),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectRemovePropertyListener(a, &rateOut, onObject, tag(2)), 0);
    EXPECT_EQ(AudioObjectRemovePropertyListener(a, &rateOut, onObject, tag(2)), kAudioHardwareIllegalOperationError);
}

TEST_F(HALTest, UnloadTearsThePlugInDownAndTheNextCallLoadsItWithNewIDs)
{
    addBundle("good", infoPlist("FakePlugInFactory"));
    const std::vector<AudioObjectID> first = objects();
    ASSERT_EQ(first.size(), 7u);

    ASSERT_EQ(AudioHardwareUnload(), 0);
    auto teardown = eventsOf(FakeEvent::Teardown);
    ASSERT_EQ(teardown.size(), 1u);
    EXPECT_EQ(teardown[0].thread, eventsOf(FakeEvent::Initialize).at(0).thread);
    EXPECT_EQ(eventsOf(FakeEvent::Released).size(), 1u);
    EXPECT_EQ(AudioHardwareUnload(), 0); // nothing loaded: nothing to do

    std::set<AudioObjectID> seen(first.begin(), first.end());
    const std::vector<AudioObjectID> again = objects();
    EXPECT_EQ(eventsOf(FakeEvent::Initialize).size(), 2u);
    ASSERT_EQ(again.size(), 7u);
    for (AudioObjectID id : again)
        EXPECT_TRUE(seen.insert(id).second) << id;
}

TEST_F(HALTest, ProcessExitTearsThePlugInsDown)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    addBundle("good", infoPlist("FakePlugInFactory"));
    EXPECT_EXIT(
        {
            devices();
            gSayTeardown = true;
            // The child made a folder of its own in SetUp and never reaches TearDown.
            std::error_code error;
            fs::remove_all(m_folder, error);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "plug-in torn down");
}
