// Every property the plug-in knows, and some it does not, asked through the HAL's client calls
// of the device, its streams and the objects, in every scope and with buffers of every size
// around the one GetPropertyInfo reports, each with guard bytes on both sides: nothing is
// written past the size given, a short buffer for a one-value answer is refused untouched, the
// size answered never grows, and every CFString or CFURL handed out is the caller's to release.
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/PropertySelectors.h"
#include "hal/HALSystem.h"
#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"

namespace {

using namespace kexttest;
using propertycalls::Answer;
using propertycalls::Selector;

constexpr std::size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;

// A zeroed buffer of `size` bytes between two guards.
class Guarded {
public:
    explicit Guarded(std::size_t size) : m_bytes(size + 2 * kGuard, kGuardByte)
    {
        std::fill_n(data(), size, uint8_t(0));
    }
    uint8_t* data() { return m_bytes.data() + kGuard; }
    bool guardsIntact() const
    {
        const auto intact = [](auto from, auto to) {
            return std::all_of(from, to, [](uint8_t b) { return b == kGuardByte; });
        };
        return intact(m_bytes.begin(), m_bytes.begin() + kGuard) && intact(m_bytes.end() - kGuard, m_bytes.end());
    }
    bool untouched() const
    {
        return std::all_of(m_bytes.begin() + kGuard, m_bytes.end() - kGuard, [](uint8_t b) { return b == 0; });
    }

private:
    std::vector<uint8_t> m_bytes;
};

std::string fourCC(UInt32 v)
{
    std::string s = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((v >> shift) & 0xFF);
        s += c >= 32 && c < 127 ? c : '?';
    }
    return s + "'";
}

// How a property is asked: the device calls with a direction, the stream calls, or the object
// calls in a scope.
enum class Kind { DeviceOutput, DeviceInput, Stream, Global, Input, Output, Wildcard, Bogus };
constexpr Kind kDeviceKinds[] = {Kind::DeviceOutput, Kind::DeviceInput, Kind::Global, Kind::Input,
                                 Kind::Output,       Kind::Wildcard,    Kind::Bogus};
constexpr Kind kStreamKinds[] = {Kind::Stream, Kind::Global, Kind::Input, Kind::Output, Kind::Wildcard, Kind::Bogus};

// Each kind's scope for the object calls (none for the device and stream calls), and its name.
constexpr struct {
    AudioObjectPropertyScope scope;
    const char* name;
} kKinds[] = {{0, "device output"},
              {0, "device input"},
              {0, "stream"},
              {kAudioObjectPropertyScopeGlobal, "object global"},
              {kAudioDevicePropertyScopeInput, "object input"},
              {kAudioDevicePropertyScopeOutput, "object output"},
              {kAudioObjectPropertyScopeWildcard, "object wildcard"},
              {CAFourCC("bogs"), "object bogus scope"}};
AudioObjectPropertyScope scopeOf(Kind kind) { return kKinds[int(kind)].scope; }

class PropertySweep : public KextTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override
    {
        KextTest::SetUp();
        setenv("TARSEL_HAL_PLUGIN_DIR", TARSEL_PLUGIN_FOLDER, 1);
        ASSERT_NE(daemon().plug(GetParam()), 0u);
        UInt32 size = sizeof(m_device);
        ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &m_device), noErr);
        ASSERT_NE(m_device, kAudioDeviceUnknown);
        for (const bool input : {true, false}) {
            size = sizeof(AudioStreamID);
            ASSERT_EQ(AudioDeviceGetProperty(m_device, 0, input, kAudioDevicePropertyStreams, &size,
                                             input ? &m_input : &m_output),
                      noErr);
        }
        HALRoute route;
        ASSERT_TRUE(HALSystem::instance().route(m_device, route));
        m_plugIn = route.ref;
    }
    void TearDown() override
    {
        AudioHardwareUnload();
        unsetenv("TARSEL_HAL_PLUGIN_DIR");
        KextTest::TearDown();
    }

    OSStatus info(AudioObjectID object, Kind kind, UInt32 channel, UInt32 selector, UInt32& size)
    {
        switch (kind) {
        case Kind::DeviceOutput:
        case Kind::DeviceInput:
            return AudioDeviceGetPropertyInfo(object, channel, kind == Kind::DeviceInput, selector, &size, nullptr);
        case Kind::Stream:
            return AudioStreamGetPropertyInfo(object, channel, selector, &size, nullptr);
        default: {
            const AudioObjectPropertyAddress address{selector, scopeOf(kind), channel};
            return AudioObjectGetPropertyDataSize(object, &address, 0, nullptr, &size);
        }
        }
    }

    // Through the HAL, or `direct` on the plug-in's table, which the HAL shields from null
    // pointers.
    OSStatus get(AudioObjectID object, Kind kind, UInt32 channel, UInt32 selector, UInt32* ioSize, void* data,
                 bool direct = false)
    {
        AudioHardwarePlugInInterface& table = **m_plugIn;
        const bool input = kind == Kind::DeviceInput;
        const AudioObjectPropertyAddress address{selector, scopeOf(kind), channel};
        switch (kind) {
        case Kind::DeviceOutput:
        case Kind::DeviceInput:
            return direct ? table.DeviceGetProperty(m_plugIn, object, channel, input, selector, ioSize, data)
                          : AudioDeviceGetProperty(object, channel, input, selector, ioSize, data);
        case Kind::Stream:
            return direct ? table.StreamGetProperty(m_plugIn, object, channel, selector, ioSize, data)
                          : AudioStreamGetProperty(object, channel, selector, ioSize, data);
        default:
            return direct ? table.ObjectGetPropertyData(m_plugIn, object, &address, 0, nullptr, ioSize, data)
                          : AudioObjectGetPropertyData(object, &address, 0, nullptr, ioSize, data);
        }
    }

    OSStatus set(AudioObjectID object, Kind kind, UInt32 channel, UInt32 selector, UInt32 size, const void* data,
                 bool direct = false)
    {
        if (direct)
            return (*m_plugIn)->DeviceSetProperty(m_plugIn, object, nullptr, channel, kind == Kind::DeviceInput,
                                                  selector, size, data);
        if (kind == Kind::DeviceOutput || kind == Kind::DeviceInput)
            return AudioDeviceSetProperty(object, nullptr, channel, kind == Kind::DeviceInput, selector, size, data);
        const AudioObjectPropertyAddress address{selector, scopeOf(kind), channel};
        return AudioObjectSetPropertyData(object, &address, 0, nullptr, size, data);
    }

    void fault(const std::string& what)
    {
        if (m_faults.size() < 40)
            m_faults.push_back(what);
        ++m_faultCount;
    }

    std::string where(AudioObjectID object, Kind kind, UInt32 channel, UInt32 selector, std::size_t size = ~0u)
    {
        std::ostringstream s;
        s << fourCC(selector) << " on " << (object == m_device ? "the device" : object == m_input ? "the input stream"
                                                                                                   : "the output stream")
          << ", " << kKinds[int(kind)].name << ", channel " << channel;
        if (size != ~0u)
            s << ", " << size << " bytes";
        return s.str();
    }

    // One selector asked one way: every buffer size against what GetPropertyInfo said.
    void sweep(AudioObjectID object, Kind kind, UInt32 channel, const Selector& selector)
    {
        UInt32 reported = 0xDEADBEEF;
        const OSStatus known = info(object, kind, channel, selector.id, reported);
        const auto here = [&](std::size_t size = ~0u) { return where(object, kind, channel, selector.id, size); };

        // No buffer at all is never answered, whether the HAL or the plug-in sees it first.
        UInt32 some = known == noErr ? reported : 64;
        if (get(object, kind, channel, selector.id, nullptr, nullptr) == noErr ||
            get(object, kind, channel, selector.id, nullptr, nullptr, true) == noErr ||
            get(object, kind, channel, selector.id, &some, nullptr, true) == noErr)
            fault(here() + ": answered without a buffer");

        std::vector<std::size_t> sizes = {0, 4, 64};
        if (known == noErr) {
            if (reported > 1 << 16) {
                fault(here() + ": reports " + std::to_string(reported) + " bytes");
                return;
            }
            sizes = {0, reported, std::size_t(reported) + 16};
            if (reported > 0)
                sizes.push_back(reported - 1);
        }
        for (const std::size_t n : sizes) {
            Guarded buffer(n);
            UInt32 ioSize = UInt32(n);
            const OSStatus status = get(object, kind, channel, selector.id, &ioSize, buffer.data());
            if (!buffer.guardsIntact())
                fault(here(n) + ": written past the buffer");
            if (ioSize > n)
                fault(here(n) + ": the size grew to " + std::to_string(ioSize));
            if (known != noErr) {
                if (status == noErr)
                    fault(here(n) + ": answered though GetPropertyInfo does not know it");
                if (!buffer.untouched())
                    fault(here(n) + ": written though not known");
                continue;
            }
            if (status != noErr) {
                // The nearest-format query answers its match even when it is not exact.
                if (!buffer.untouched() && selector.id != kAudioDevicePropertyStreamFormatMatch)
                    fault(here(n) + ": written though refused");
                continue;
            }
            switch (selector.answer) {
            case Answer::List:
                if (ioSize % selector.record != 0)
                    fault(here(n) + ": a part of a record answered");
                break;
            case Answer::CFObject: {
                if (n < reported || ioSize != sizeof(CFTypeRef)) {
                    fault(here(n) + ": a reference answered in " + std::to_string(ioSize) + " bytes");
                    break;
                }
                CFTypeRef object = nullptr;
                std::memcpy(&object, buffer.data(), sizeof(object));
                if (object == nullptr) {
                    fault(here(n) + ": a null reference with success");
                    break;
                }
                if (CFGetRetainCount(object) != 1)
                    fault(here(n) + ": handed out with " + std::to_string(CFGetRetainCount(object)) +
                          " references");
                CFRelease(object);
                break;
            }
            default:
                if (n < reported)
                    fault(here(n) + ": a short buffer answered");
                break;
            }
        }
    }

    // The faults found since the last call, listed.
    void expectNoFaults()
    {
        std::string text;
        for (const std::string& f : m_faults)
            text += "  " + f + "\n";
        EXPECT_EQ(m_faultCount, 0u) << text;
        m_faults.clear();
        m_faultCount = 0;
    }

    // A translation record of `recordSize` bytes asking for the name of `id`, with its input of
    // `inputSize` bytes and its output of `outputSize` (none when negative); checks every guard.
    void translate(AudioObjectID object, Kind kind, UInt32 selector, UInt32 id, std::size_t recordSize,
                   std::size_t inputSize, long outputSize)
    {
        const bool cf = selector == kAudioDevicePropertyClockSourceNameForIDCFString ||
                        selector == kAudioDevicePropertyDataSourceNameForIDCFString;
        Guarded input(inputSize), output(outputSize < 0 ? 0 : std::size_t(outputSize));
        std::memcpy(input.data(), &id, std::min(inputSize, sizeof(id)));
        Guarded record(recordSize);
        AudioValueTranslation t{input.data(), UInt32(inputSize), outputSize < 0 ? nullptr : output.data(),
                                UInt32(outputSize < 0 ? 0 : outputSize)};
        std::memcpy(record.data(), &t, std::min(recordSize, sizeof(t)));
        UInt32 ioSize = UInt32(recordSize);
        const OSStatus status = get(object, kind, 0, selector, &ioSize, record.data());
        const std::string here = where(object, kind, 0, selector, recordSize) + ", id " + std::to_string(id) +
                                 ", input " + std::to_string(inputSize) + ", output " + std::to_string(outputSize);
        if (!record.guardsIntact() || !input.guardsIntact() || !output.guardsIntact())
            fault(here + ": written past a buffer");
        if (ioSize > recordSize)
            fault(here + ": the size grew");
        if (recordSize < sizeof(t) || inputSize < sizeof(UInt32)) {
            if (status == noErr)
                fault(here + ": a short record or input answered");
            return;
        }
        AudioValueTranslation answered{};
        std::memcpy(&answered, record.data(), sizeof(answered));
        if (outputSize < 0) {
            if (status == noErr && answered.mOutputDataSize == 0)
                fault(here + ": asked for its size, answered none");
            return;
        }
        if (answered.mOutputDataSize > std::size_t(outputSize))
            fault(here + ": the output size grew to " + std::to_string(answered.mOutputDataSize));
        if (!cf) {
            if (status == noErr && outputSize > 0 &&
                std::find(output.data(), output.data() + outputSize, uint8_t(0)) == output.data() + outputSize)
                fault(here + ": the name is not terminated inside the output");
            return;
        }
        CFStringRef text = nullptr;
        if (outputSize >= long(sizeof(text)))
            std::memcpy(&text, output.data(), sizeof(text));
        if (status != noErr) {
            if (text != nullptr)
                fault(here + ": a string handed out with a failure");
            return;
        }
        if (outputSize < long(sizeof(text)) || text == nullptr) {
            fault(here + ": success without a string");
            return;
        }
        if (CFGetRetainCount(text) != 1)
            fault(here + ": handed out with more than one reference");
        CFRelease(text);
    }

    PrivateHome m_home;
    AudioDeviceID m_device = kAudioDeviceUnknown;
    AudioStreamID m_input = kAudioStreamUnknown, m_output = kAudioStreamUnknown;
    AudioHardwarePlugInRef m_plugIn = nullptr;
    std::vector<std::string> m_faults;
    std::size_t m_faultCount = 0;
};

// One test per model, as each load of the plug-in takes a second to tear down.
TEST_P(PropertySweep, EveryCallStaysInsideTheBuffersItIsGiven)
{
    // What a later client reads of the values a set may change.
    const auto snapshot = [&] {
        std::vector<uint8_t> state;
        for (const Kind kind : {Kind::DeviceOutput, Kind::DeviceInput})
            for (const UInt32 selector : {kAudioDevicePropertyNominalSampleRate, kAudioDevicePropertyBufferFrameSize,
                                          kAudioDevicePropertyStreamFormat, kAudioStreamPropertyPhysicalFormat,
                                          kAudioDevicePropertyDataSource}) {
                uint8_t value[64] = {};
                UInt32 size = sizeof(value);
                if (get(m_device, kind, 0, selector, &size, value) == noErr)
                    state.insert(state.end(), value, value + size);
            }
        return state;
    };
    const std::vector<uint8_t> before = snapshot();
    ASSERT_FALSE(before.empty());

    // Gets.
    std::vector<Selector> selectors(std::begin(propertycalls::kKnownSelectors), std::end(propertycalls::kKnownSelectors));
    for (const AudioObjectPropertySelector id : propertycalls::kUnknownSelectors)
        selectors.push_back({id, Answer::Fixed, 0});
    const struct {
        AudioObjectID object;
        const Kind* kinds;
        std::size_t count;
    } objects[] = {{m_device, kDeviceKinds, std::size(kDeviceKinds)},
                   {m_input, kStreamKinds, std::size(kStreamKinds)},
                   {m_output, kStreamKinds, std::size(kStreamKinds)}};
    for (const auto& o : objects)
        for (std::size_t k = 0; k < o.count; ++k)
            for (const UInt32 channel : {0u, 1u, 3u, kAudioPropertyWildcardChannel})
                for (const Selector& selector : selectors)
                    sweep(o.object, o.kinds[k], channel, selector);
    expectNoFaults();

    // A rate no interface runs at, whatever its value, is matched by one of the device's own
    // formats (the one nearest in channels).
    for (const Float64 rate : {1e300, -1e300, Float64(NAN), Float64(INFINITY)}) {
        AudioStreamBasicDescription asked{};
        asked.mSampleRate = rate;
        UInt32 size = sizeof(asked);
        ASSERT_EQ(AudioDeviceGetProperty(m_device, 0, false, kAudioDevicePropertyStreamFormatMatch, &size, &asked),
                  noErr)
            << rate;
        EXPECT_EQ(AudioDeviceGetProperty(m_device, 0, false, kAudioDevicePropertyStreamFormatSupported, &size, &asked),
                  noErr)
            << rate << " matched by " << asked.mSampleRate << " Hz";
    }

    // Names for IDs fill only the output they are given.
    std::vector<UInt32> sources = {0, 99, 100, 0xFFFFFFFF};
    for (const bool input : {true, false}) {
        UInt32 size = 0;
        ASSERT_EQ(AudioDeviceGetPropertyInfo(m_device, 0, input, kAudioDevicePropertyDataSources, &size, nullptr),
                  noErr);
        std::vector<UInt32> ids(size / 4);
        ASSERT_EQ(AudioDeviceGetProperty(m_device, 0, input, kAudioDevicePropertyDataSources, &size, ids.data()),
                  noErr);
        sources.insert(sources.end(), ids.begin(), ids.end());
    }
    const std::vector<UInt32> clocks = {0, 1, 2, 0xFFFFFFFF};
    const struct {
        UInt32 selector;
        const std::vector<UInt32>& ids;
    } cases[] = {{kAudioDevicePropertyDataSourceNameForID, sources},
                 {kAudioDevicePropertyDataSourceNameForIDCFString, sources},
                 {kAudioDevicePropertyClockSourceNameForID, clocks},
                 {kAudioDevicePropertyClockSourceNameForIDCFString, clocks}};
    const std::pair<AudioObjectID, Kind> targets[] = {{m_device, Kind::DeviceInput},  {m_device, Kind::DeviceOutput},
                                                      {m_device, Kind::Global},       {m_input, Kind::Stream},
                                                      {m_output, Kind::Input},        {m_output, Kind::Wildcard}};
    constexpr std::size_t kRecord = sizeof(AudioValueTranslation);
    for (const auto& c : cases)
        for (const auto& [object, kind] : targets)
            for (const UInt32 id : c.ids) {
                for (const long output : {-1L, 0L, 1L, 3L, 7L, 8L, 12L, 64L})
                    translate(object, kind, c.selector, id, kRecord, sizeof(UInt32), output);
                translate(object, kind, c.selector, id, kRecord, 2, 64);
                translate(object, kind, c.selector, id, kRecord - 1, sizeof(UInt32), 64);
                translate(object, kind, c.selector, id, kRecord + 8, 8, 64);
            }
    expectNoFaults();

    // A name that fits comes whole, one that does not is cut and terminated.
    UInt32 id = 0;
    char text[8];
    AudioValueTranslation t{&id, sizeof(id), text, sizeof(text)};
    UInt32 size = sizeof(t);
    ASSERT_EQ(AudioDeviceGetProperty(m_device, 0, false, kAudioDevicePropertyClockSourceNameForID, &size, &t), noErr);
    EXPECT_STREQ(text, "Hardwar");

    // Every settable property refuses a value of the wrong size without reading past it.
    for (const Kind kind : {Kind::DeviceOutput, Kind::DeviceInput, Kind::Global, Kind::Input, Kind::Bogus})
        for (const UInt32 channel : {0u, 1u, 2u})
            for (const Selector& selector : propertycalls::kKnownSelectors) {
                UInt32 reported = 0;
                Boolean writable = false;
                const bool device = kind == Kind::DeviceOutput || kind == Kind::DeviceInput;
                if (device && AudioDeviceGetPropertyInfo(m_device, channel, kind == Kind::DeviceInput, selector.id,
                                                         &reported, &writable) != noErr)
                    continue;
                if (!device) {
                    const AudioObjectPropertyAddress address{selector.id, scopeOf(kind), channel};
                    if (AudioObjectIsPropertySettable(m_device, &address, &writable) != noErr ||
                        AudioObjectGetPropertyDataSize(m_device, &address, 0, nullptr, &reported) != noErr)
                        continue;
                }
                if (!writable || reported == 0)
                    continue;
                // The current value, so that a set which is taken changes nothing.
                std::vector<uint8_t> current(reported + 16, 0);
                UInt32 size = reported;
                get(m_device, kind, channel, selector.id, &size, current.data());
                const std::string here = where(m_device, kind, channel, selector.id);
                if (kind != Kind::Bogus &&
                    set(m_device, kind, channel, selector.id, reported, nullptr, device) == noErr)
                    fault(here + ": a set without data taken");
                for (const std::size_t n : {std::size_t(0), std::size_t(reported - 1), std::size_t(reported),
                                            std::size_t(reported) + 16}) {
                    // Exactly as large as said, so that a read past it is the sanitizer's.
                    std::unique_ptr<uint8_t[]> data(new uint8_t[n]);
                    std::memcpy(data.get(), current.data(), n);
                    const OSStatus status = set(m_device, kind, channel, selector.id, UInt32(n), data.get());
                    if (status == noErr && n < reported)
                        fault(here + ", " + std::to_string(n) + " bytes: a short value taken");
                    if (status == noErr && kind == Kind::Bogus)
                        fault(here + ": taken in a bogus scope");
                }
            }
    expectNoFaults();
    // The sweeps set only the current values again: a later client sees the device as it was.
    EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(Models, PropertySweep,
                         ::testing::Values("tarsel", "kingsmere-digital-hs", "redmoor-r4-hs"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
