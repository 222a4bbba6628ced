// The HAL against a test plug-in loaded from real bundles: discovery, objects and IDs, system
// properties and defaults, routing and error codes, listeners, IOProcs and unloading.
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
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

OSStatus onSystem(AudioHardwarePropertyID property, void* tag)
{
    hear({kAudioObjectSystemObject, 0, false, property, {}, thisThread(), tag});
    return 0;
}

OSStatus onDevice(AudioDeviceID device, UInt32 channel, Boolean isInput, AudioDevicePropertyID property, void* tag)
{
    hear({device, channel, isInput != 0, property, {}, thisThread(), tag});
    return 0;
}

OSStatus onStream(AudioStreamID stream, UInt32 channel, AudioDevicePropertyID property, void* tag)
{
    hear({stream, channel, false, property, {}, thisThread(), tag});
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

const std::string kHALType = "F8BB1C28-BAE8-11D6-9C31-00039315CD46";
const std::string kFactory = "6A0F1C52-3C1B-4E8A-9D55-0B7E2E6A1F01";

std::string plist(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body +
        "</dict>\n</plist>\n";
}

// An Info.plist naming `function` as the HAL factory of `executable`.
std::string infoPlist(const std::string& function, const std::string& executable = "FakePlugIn",
                      const std::string& type = kHALType)
{
    return plist("<key>CFBundleExecutable</key><string>" + executable + "</string>\n" +
                 "<key>CFPlugInFactories</key><dict><key>" + kFactory + "</key><string>" + function +
                 "</string></dict>\n" + "<key>CFPlugInTypes</key><dict><key>" + type + "</key><array><string>" +
                 kFactory + "</string></array></dict>\n");
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

    static std::string name(AudioDeviceID device)
    {
        char text[64] = {};
        UInt32 size = sizeof text;
        if (AudioDeviceGetProperty(device, 0, false, kAudioDevicePropertyDeviceName, &size, text) != 0)
            return "";
        return text;
    }

    static OSStatus setValue(AudioDeviceID device, AudioDevicePropertyID property, UInt32 value)
    {
        return AudioDeviceSetProperty(device, nullptr, 0, false, property, sizeof value, &value);
    }

    static OSStatus report(AudioDeviceID via, const FakeReport& what)
    {
        return AudioDeviceSetProperty(via, nullptr, 0, false, kFakePropertyReport, sizeof what, &what);
    }

    // Changes of the devices list and the defaults are heard by a wildcard system listener,
    // counted from when the changes of loading have been delivered.
    static void listenToSystem(AudioDeviceID device)
    {
        ASSERT_EQ(AudioHardwareAddPropertyListener(kAudioPropertyWildcardPropertyID, onSystem, tag(100)), 0);
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

// ---------------------------------------------------------------------------------------------
// Discovery

TEST_F(HALTest, TheBuiltBundleIsFoundInTheFolderTheEnvironmentNames)
{
    setenv("TARSEL_HAL_PLUGIN_DIR", FAKE_PLUGIN_FOLDER, 1);
    // The first call returns with the plug-in initialised and its streams' directions known.
    std::vector<AudioDeviceID> ids = devices();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(name(ids[0]), "Fake A");
    EXPECT_EQ(name(ids[1]), "Fake B");
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultOutputDevice), ids[0]);
    auto inits = eventsOf(FakeEvent::InitializeWithObjectID);
    ASSERT_EQ(inits.size(), 1u);
    EXPECT_GE(inits[0].object, 2u);
    EXPECT_NE(inits[0].thread, thisThread()); // on the HAL thread
    EXPECT_TRUE(eventsOf(FakeEvent::Initialize).empty());

    // An empty folder: a HAL without devices.
    ASSERT_EQ(AudioHardwareUnload(), 0);
    setenv("TARSEL_HAL_PLUGIN_DIR", m_folder.c_str(), 1);
    EXPECT_TRUE(devices().empty());
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultOutputDevice), kAudioDeviceUnknown);
}

TEST_F(HALTest, BadBundlesAreSkipped)
{
    addBundle("a-no-plist", "");
    addBundle("b-good", infoPlist("FakePlugInFactory"));
    addBundle("c-garbled", "<?xml version=\"1.0\"?><plist><dict><key>CFBundleExecutable</key><str");
    addBundle("d-no-module", infoPlist("FakePlugInFactory"), false);
    addBundle("e-no-symbol", infoPlist("NoSuchFactory"));
    addBundle("f-wrong-types", plist("<key>CFBundleExecutable</key><integer>7</integer>"
                                     "<key>CFPlugInFactories</key><array/><key>CFPlugInTypes</key><string/>"));
    addBundle("g-factories-not-a-dict",
              plist("<key>CFBundleExecutable</key><string>FakePlugIn</string>"
                    "<key>CFPlugInFactories</key><array><string>FakePlugInFactory</string></array>"
                    "<key>CFPlugInTypes</key><dict><key>" + kHALType + "</key><array><string>" + kFactory +
                    "</string></array></dict>"));
    addBundle("h-null-factory", infoPlist("FakePlugInNullFactory"));
    addBundle("i-no-interface", infoPlist("FakePlugInNoInterfaceFactory"));
    addBundle("j-escapes", infoPlist("FakePlugInFactory", "../../../b-good.plugin/Contents/MacOS/FakePlugIn"));
    addBundle("k-other-type", infoPlist("FakePlugInFactory", "FakePlugIn", "00000000-0000-0000-0000-000000000001"));
    addBundle("l-not-a-uuid", infoPlist("FakePlugInFactory", "FakePlugIn", "F8BB1C28-BAE8-11D6"));
    std::ofstream(m_folder / "m-file.plugin") << "not a bundle";
    fs::create_directories(m_folder / "n-no-suffix" / "Contents");

    std::vector<AudioDeviceID> ids = devices();
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(eventsOf(FakeEvent::InitializeWithObjectID).size(), 1u);
    // The object without a HAL interface was given back.
    auto released = eventsOf(FakeEvent::Released);
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0].interfaceVersion, 0);
}

// ---------------------------------------------------------------------------------------------
// Objects, system properties and defaults

TEST_F(HALTest, SystemPropertiesAnswerThroughBothKindsOfCall)
{
    addBundle("good", infoPlist("FakePlugInFactory"));
    std::vector<AudioDeviceID> ids = devices();
    ASSERT_EQ(ids.size(), 2u);
    const AudioDeviceID b = ids[1]; // outputs only
    UInt32 size = 0;
    Boolean writable = true;
    EXPECT_EQ(AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDevices, &size, &writable), 0);
    EXPECT_EQ(size, 2 * sizeof(AudioDeviceID));
    EXPECT_FALSE(writable);
    EXPECT_EQ(AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDefaultOutputDevice, &size, &writable), 0);
    EXPECT_TRUE(writable);
    EXPECT_EQ(AudioHardwareGetPropertyInfo(CAFourCC("xxxx"), &size, &writable), kAudioHardwareUnknownPropertyError);

    // Through the object calls, in the global scope on the master element only.
    AudioObjectPropertyAddress address{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                       kAudioObjectPropertyElementMaster};
    AudioDeviceID listed[4] = {};
    size = sizeof listed;
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, listed), 0);
    EXPECT_EQ(std::vector<AudioDeviceID>(listed, listed + size / sizeof(AudioDeviceID)), ids);
    EXPECT_TRUE(AudioObjectHasProperty(kAudioObjectSystemObject, &address));
    address.mScope = kAudioDevicePropertyScopeInput;
    EXPECT_FALSE(AudioObjectHasProperty(kAudioObjectSystemObject, &address));
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, listed),
              kAudioHardwareUnknownPropertyError);

    // A device by its UID.
    auto deviceForUID = [](const char* uid, AudioDeviceID& found, UInt32 inputSize = sizeof(CFStringRef)) {
        CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, uid, kCFStringEncodingASCII);
        AudioValueTranslation translation{&string, inputSize, &found, sizeof found};
        UInt32 size = sizeof translation;
        OSStatus status = AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation);
        CFRelease(string);
        return status;
    };
    AudioDeviceID found = 0;
    EXPECT_EQ(deviceForUID("fake-uid-B", found), 0);
    EXPECT_EQ(found, b);
    EXPECT_EQ(deviceForUID("fake-uid-Z", found), 0);
    EXPECT_EQ(found, kAudioDeviceUnknown);
    EXPECT_EQ(deviceForUID("fake-uid-B", found, 3), kAudioHardwareBadPropertySizeError);

    // Defaults that cannot be set.
    EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultInputDevice, sizeof b, &b),
              kAudioHardwareIllegalOperationError); // no input stream
    AudioDeviceID nobody = 99999;
    EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, sizeof nobody, &nobody),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, 2, &b),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDevices, sizeof b, &b),
              kAudioHardwareIllegalOperationError);
    size = 2;
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &found),
              kAudioHardwareBadPropertySizeError);
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
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultSystemOutputDevice), a);
    std::set<AudioObjectID> seen{eventsOf(FakeEvent::InitializeWithObjectID).at(0).object, a, b};
    const std::vector<AudioStreamID> aStreams = streams(a, true);
    ASSERT_EQ(aStreams.size(), 1u);
    for (AudioDeviceID d : ids)
        for (bool input : {false, true})
            for (AudioStreamID s : streams(d, input))
                seen.insert(s);
    EXPECT_EQ(seen.size(), 7u); // the plug-in, two devices, four streams
    EXPECT_GE(*seen.begin(), 2u);
    EXPECT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, sizeof b, &b), 0);
    waitForSystem(kAudioHardwarePropertyDefaultOutputDevice, 1);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultOutputDevice), b);

    // Unplugged: its IDs name nothing any more, and the default that dies passes to the next
    // device that can take it; the one set stays.
    ASSERT_EQ(setValue(b, kFakePropertyRemoveDevice, a), 0);
    waitForSystem(kAudioHardwarePropertyDevices, 1);
    waitForSystem(kAudioHardwarePropertyDefaultSystemOutputDevice, 1);
    waitForSystem(kAudioHardwarePropertyDefaultInputDevice, 1);
    EXPECT_EQ(devices(), std::vector<AudioDeviceID>{b});
    char text[16];
    UInt32 size = sizeof text;
    EXPECT_EQ(AudioDeviceGetProperty(a, 0, false, kAudioDevicePropertyDeviceName, &size, text),
              kAudioHardwareBadDeviceError);
    size = sizeof text;
    EXPECT_EQ(AudioStreamGetProperty(aStreams[0], 0, kAudioStreamPropertyDirection, &size, text),
              kAudioHardwareBadStreamError);
    AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceName, kAudioObjectPropertyScopeGlobal, 0};
    size = sizeof text;
    EXPECT_EQ(AudioObjectGetPropertyData(a, &address, 0, nullptr, &size, text), kAudioHardwareBadObjectError);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultInputDevice), kAudioDeviceUnknown);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultOutputDevice), b);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultSystemOutputDevice), b);

    // Plugged in on the plug-in's run loop, which is the HAL thread: new IDs, and the default
    // input it can take.
    ASSERT_EQ(setValue(b, kFakePropertyAddDevice, kFakeLayoutInput | kFakeLayoutOutput), 0);
    waitForSystem(kAudioHardwarePropertyDevices, 2);
    waitForSystem(kAudioHardwarePropertyDefaultInputDevice, 2);
    ids = devices();
    ASSERT_EQ(ids.size(), 2u);
    const AudioDeviceID c = ids[1];
    EXPECT_TRUE(seen.insert(c).second);
    for (bool input : {false, true})
        for (AudioStreamID s : streams(c, input))
            EXPECT_TRUE(seen.insert(s).second);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultInputDevice), c);
    EXPECT_EQ(systemDevice(kAudioHardwarePropertyDefaultOutputDevice), b);
    // The plug-in notes the device once the HAL has taken it.
    ASSERT_TRUE(waitUntil([] {
        return std::count_if(gEvents.begin(), gEvents.end(),
                             [](const FakeProbeEvent& e) { return e.event == FakeEvent::DeviceAdded; }) == 3;
    }));
    auto added = eventsOf(FakeEvent::DeviceAdded);
    EXPECT_EQ(added[2].object, c);
    EXPECT_EQ(added[2].thread, eventsOf(FakeEvent::InitializeWithObjectID).at(0).thread);

    // The plug-in's own system listener heard the list change.
    flush(b);
    EXPECT_EQ(countHeard(tag(100), kAudioHardwarePropertyDevices), 2u);
    EXPECT_EQ(countHeard(tag(100), kAudioHardwarePropertyDefaultOutputDevice), 1u);
    UInt32 calls = 0;
    size = sizeof calls;
    ASSERT_EQ(AudioDeviceGetProperty(b, 0, false, kFakePropertySystemListenerCalls, &size, &calls), 0);
    EXPECT_GE(calls, 2u);

    // No ID comes again after an unload either.
    ASSERT_EQ(AudioHardwareUnload(), 0);
    for (AudioDeviceID d : devices()) {
        EXPECT_TRUE(seen.insert(d).second);
        for (bool input : {false, true})
            for (AudioStreamID s : streams(d, input))
                EXPECT_TRUE(seen.insert(s).second);
    }
    EXPECT_TRUE(seen.insert(eventsOf(FakeEvent::InitializeWithObjectID).at(1).object).second);
}

// ---------------------------------------------------------------------------------------------
// Routing

TEST_F(HALTest, CallsReachThePlugInsOwnEntriesOrAnswerTheirErrors)
{
    addBundle("good", infoPlist("FakePlugInFactory"));
    std::vector<AudioDeviceID> ids = devices();
    ASSERT_EQ(ids.size(), 2u);
    const AudioDeviceID a = ids[0];
    const AudioStreamID stream = streams(a, false).at(0);
    char data[16];
    UInt32 size = sizeof data;
    AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceName, kAudioObjectPropertyScopeGlobal, 0};
    auto proc = [](AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                   AudioBufferList*, const AudioTimeStamp*, void*) -> OSStatus { return 0; };
    AudioTimeStamp time{};

    for (AudioObjectID unknown : {AudioObjectID(0), AudioObjectID(99999)}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(AudioDeviceGetProperty(unknown, 0, false, kAudioDevicePropertyDeviceName, &size, data),
                  kAudioHardwareBadDeviceError);
        EXPECT_EQ(AudioDeviceAddIOProc(unknown, proc, nullptr), kAudioHardwareBadDeviceError);
        EXPECT_EQ(AudioDeviceStart(unknown, proc), kAudioHardwareBadDeviceError);
        EXPECT_EQ(AudioDeviceGetCurrentTime(unknown, &time), kAudioHardwareBadDeviceError);
        EXPECT_EQ(AudioDeviceAddPropertyListener(unknown, 0, false, kAudioDevicePropertyNominalSampleRate, onDevice,
                                                 nullptr),
                  kAudioHardwareBadDeviceError);
        EXPECT_EQ(AudioStreamGetProperty(unknown, 0, kAudioStreamPropertyDirection, &size, data),
                  kAudioHardwareBadStreamError);
        EXPECT_EQ(AudioStreamAddPropertyListener(unknown, 0, kAudioStreamPropertyDirection, onStream, nullptr),
                  kAudioHardwareBadStreamError);
        EXPECT_EQ(AudioObjectGetPropertyData(unknown, &address, 0, nullptr, &size, data),
                  kAudioHardwareBadObjectError);
        EXPECT_EQ(AudioObjectAddPropertyListener(unknown, &address, onObject, nullptr), kAudioHardwareBadObjectError);
        EXPECT_FALSE(AudioObjectHasProperty(unknown, &address));
    }
    // An ID of the wrong kind is as unknown.
    EXPECT_EQ(AudioDeviceGetProperty(stream, 0, false, kAudioDevicePropertyDeviceName, &size, data),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioDeviceGetProperty(kAudioObjectSystemObject, 0, false, kAudioDevicePropertyDeviceName, &size, data),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioStreamGetProperty(a, 0, kAudioStreamPropertyDirection, &size, data), kAudioHardwareBadStreamError);
    // Null pointers where one is needed.
    EXPECT_EQ(AudioDeviceGetProperty(a, 0, false, kAudioDevicePropertyDeviceName, nullptr, data),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioDeviceAddIOProc(a, nullptr, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectGetPropertyData(a, nullptr, 0, nullptr, &size, data), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioDeviceGetCurrentTime(a, nullptr), kAudioHardwareIllegalOperationError);
    // A plug-in's errors and answers come back as they are.
    size = sizeof data;
    EXPECT_EQ(AudioDeviceGetProperty(a, 0, false, CAFourCC("xxxx"), &size, data), kAudioHardwareUnknownPropertyError);
    UInt32 infoSize = 0;
    EXPECT_EQ(AudioDeviceGetPropertyInfo(a, 0, false, kAudioDevicePropertyDeviceName, &infoSize, nullptr), 0);
    EXPECT_EQ(infoSize, sizeof("Fake A"));

    // The object calls are the plug-in's own: they answer what its device calls do not know.
    AudioObjectPropertyAddress objectOnly{kFakePropertyObjectOnly, kAudioObjectPropertyScopeGlobal, 0};
    UInt32 value = 0;
    size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(a, &objectOnly, 0, nullptr, &size, &value), 0);
    EXPECT_EQ(value, kFakeObjectOnlyValue);
    EXPECT_TRUE(AudioObjectHasProperty(a, &objectOnly));
    size = sizeof value;
    EXPECT_EQ(AudioDeviceGetProperty(a, 0, false, kFakePropertyObjectOnly, &size, &value),
              kAudioHardwareUnknownPropertyError);
    // So are the IOProc ID calls.
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(a, proc, nullptr, &id), 0);
    ASSERT_EQ(AudioDeviceDestroyIOProcID(a, id), 0);
    EXPECT_EQ(eventsOf(FakeEvent::CreateIOProcID).size(), 1u);
    EXPECT_EQ(eventsOf(FakeEvent::DestroyIOProcID).size(), 1u);
    EXPECT_TRUE(eventsOf(FakeEvent::AddIOProc).empty());
}


// ---------------------------------------------------------------------------------------------
// Listeners

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
    const AudioObjectPropertyAddress anyStream{kAudioObjectPropertySelectorWildcard,
                                               kAudioObjectPropertyScopeWildcard, kAudioObjectPropertyElementWildcard};
    ASSERT_EQ(AudioDeviceAddPropertyListener(a, wild, false, kAudioDevicePropertyNominalSampleRate, onDevice, tag(1)), 0);
    ASSERT_EQ(AudioObjectAddPropertyListener(a, &rateOut, onObject, tag(2)), 0);
    ASSERT_EQ(AudioDeviceAddPropertyListener(a, wild, true, kAudioPropertyWildcardPropertyID, onDevice, tag(3)), 0);
    ASSERT_EQ(AudioObjectAddPropertyListener(a, &anyInput3, onObject, tag(4)), 0);
    ASSERT_EQ(AudioStreamAddPropertyListener(out, wild, kAudioDevicePropertyStreamFormat, onStream, tag(5)), 0);
    ASSERT_EQ(AudioObjectAddPropertyListener(out, &anyStream, onObject, tag(6)), 0);
    ASSERT_EQ(AudioDeviceAddPropertyListener(a, 0, false, kAudioDevicePropertyVolumeScalar, onDevice, tag(7)), 0);

    // Reported on the caller's thread by the plug-in...
    Float64 hz = 48000;
    ASSERT_EQ(AudioDeviceSetProperty(a, nullptr, 0, false, kAudioDevicePropertyNominalSampleRate, sizeof hz, &hz), 0);
    // ...and from a thread of its own.
    ASSERT_EQ(report(a, {a, 0, 3, 1, kAudioDevicePropertyVolumeScalar}), 0);
    ASSERT_EQ(report(a, {a, out, 1, 0, kAudioDevicePropertyStreamFormat}), 0);
    // Checked by the HAL.
    EXPECT_EQ(report(a, {b, out, 1, 0, kAudioDevicePropertyStreamFormat}), kAudioHardwareBadStreamError);
    EXPECT_EQ(report(a, {99999, 0, 0, 0, kAudioDevicePropertyVolumeScalar}), kAudioHardwareBadDeviceError);
    flush(a);

    // What each listener heard once: the object, the channel or element, the direction, the
    // property and the scope (the object calls' only); all on one thread that is neither the
    // caller's nor the reporter's.
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
    EXPECT_EQ(heard(5), Fields(out, 1, false, kAudioDevicePropertyStreamFormat, 0));
    EXPECT_EQ(heard(6), Fields(out, 1, false, kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeGlobal));
    EXPECT_TRUE(heardBy(tag(7)).empty()); // the output section's volume did not change
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

// ---------------------------------------------------------------------------------------------
// IOProcs and unloading

namespace {

struct ProcRecord {
    std::atomic<int> calls{0};
    std::atomic<int> callsAfterUnload{0};
    std::atomic<bool> unloaded{false};
    std::atomic<AudioDeviceID> device{0};
};

OSStatus countingProc(AudioDeviceID device, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                      AudioBufferList*, const AudioTimeStamp*, void* clientData)
{
    auto* record = static_cast<ProcRecord*>(clientData);
    if (record->unloaded)
        ++record->callsAfterUnload;
    record->device = device;
    std::lock_guard<std::mutex> guard(gLock);
    ++record->calls;
    gChanged.notify_all();
    return 0;
}

} // namespace

TEST_F(HALTest, IOProcsRunUntilUnloadAndTheHALLoadsAgain)
{
    addBundle("good", infoPlist("FakePlugInFactory"));
    std::vector<AudioDeviceID> ids = devices();
    ASSERT_EQ(ids.size(), 2u);
    const AudioDeviceID b = ids[1];
    ProcRecord record;
    ASSERT_EQ(AudioDeviceAddIOProc(b, countingProc, &record), 0);
    ASSERT_EQ(AudioDeviceStart(b, countingProc), 0);
    ASSERT_TRUE(waitUntil([&] { return record.calls >= 3; }));
    EXPECT_EQ(record.device, b);
    ASSERT_EQ(AudioDeviceStop(b, countingProc), 0);
    auto other = [](AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                    AudioBufferList*, const AudioTimeStamp*, void*) -> OSStatus { return 0; };
    EXPECT_EQ(AudioDeviceStart(b, other), kAudioHardwareIllegalOperationError); // the plug-in's answer
    ASSERT_EQ(AudioDeviceStart(b, countingProc), 0);

    ASSERT_EQ(AudioHardwareUnload(), 0);
    record.unloaded = true;
    auto teardown = eventsOf(FakeEvent::Teardown);
    ASSERT_EQ(teardown.size(), 1u);
    EXPECT_EQ(teardown[0].thread, eventsOf(FakeEvent::InitializeWithObjectID).at(0).thread);
    EXPECT_EQ(eventsOf(FakeEvent::Released).size(), 1u);
    EXPECT_EQ(AudioHardwareUnload(), 0); // nothing loaded: nothing to do

    // The next call loads the plug-in again, with new objects.
    std::vector<AudioDeviceID> again = devices();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_GT(again[0], ids[1]);
    EXPECT_EQ(eventsOf(FakeEvent::InitializeWithObjectID).size(), 2u);
    EXPECT_EQ(AudioDeviceStart(b, countingProc), kAudioHardwareBadDeviceError);
    EXPECT_EQ(record.callsAfterUnload, 0);
}

TEST_F(HALTest, ProcessExitTearsThePlugInsDown)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    addBundle("good", infoPlist("FakePlugInFactory"));
    EXPECT_EXIT(
        {
            static ProcRecord record;
            AudioDeviceID device = devices().at(0);
            AudioDeviceAddIOProc(device, countingProc, &record);
            AudioDeviceStart(device, countingProc);
            gSayTeardown = true;
            std::exit(0);
        },
        testing::ExitedWithCode(0), "plug-in torn down");
}
