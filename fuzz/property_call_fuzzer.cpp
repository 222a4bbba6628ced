// Fuzz target for the plug-in's property calls. Once per process a private simulated kernel
// driver serves three interfaces with controls and the HAL loads the plug-in from the build's
// bundle; each input is then a sequence of calls on their devices and streams:
//   [op] [object] [scope] [element] [selector] [size, 2 bytes little-endian]
//   [the selector, 4 bytes, when the selector byte is 240 or more] [a qualifier, 4 bytes, with
//   op 32] [size bytes of data] [for a get of a name for an ID: input size % 9, its bytes,
//   output size % 80 (255: no output)]
// op, low two bits: 0 size and settable, 1 get, 2 set, 3 has-property; 4: straight to the
// plug-in's table, past the HAL's checks; 8: no data pointer; 16: no size pointer; 32: with a
// qualifier. object % 10: the device, its input stream, its output stream of interface 0, 1
// or 2, or 9 an ID nobody has. scope % 7: global, input, output, wildcard, a bogus one, or the
// device (stream) calls for the output or the input. Element 255 is the wildcard. An input
// makes at most 16 calls.
// Every buffer is allocated at exactly its size, so the sanitizer sees any call go past it.
// What the sets changed is put back after each input, so no input leaves the devices in a
// state the next one did not start from.
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "fuzz/FuzzInterfaces.h"
#include "fuzz/PropertySelectors.h"
#include "hal/HALSystem.h"

namespace {

using propertycalls::Answer;

constexpr std::size_t kMaxSize = 1024;

struct Device {
    AudioDeviceID id = 0;
    AudioStreamID input = 0, output = 0;
};

// One value a set may change, as it was at the start.
struct Saved {
    AudioDeviceID device;
    bool isInput;
    UInt32 channel;
    AudioDevicePropertyID selector;
    std::vector<uint8_t> value;
};

struct World {
    bench::BenchDaemon daemon;
    std::vector<Device> devices;
    AudioHardwarePlugInRef plugIn = nullptr;
    std::vector<Saved> saved;
};

World* g_world = nullptr;

[[noreturn]] void fault(const char* what, UInt32 selector = 0)
{
    fuzzinterfaces::fault("property_call_fuzzer", what, selector);
}

std::vector<uint8_t> read(AudioDeviceID device, bool isInput, UInt32 channel, AudioDevicePropertyID selector)
{
    std::vector<uint8_t> value(64);
    UInt32 size = UInt32(value.size());
    if (AudioDeviceGetProperty(device, channel, isInput, selector, &size, value.data()) != noErr)
        return {};
    value.resize(size);
    return value;
}

// The rate first (it may change the formats), then the formats, the frame size and, on every
// channel, the controls.
void save(World& w)
{
    const std::pair<AudioDevicePropertyID, UInt32> order[] = {
        {kAudioDevicePropertyNominalSampleRate, 0}, {kAudioDevicePropertyStreamFormat, 0},
        {kAudioStreamPropertyPhysicalFormat, 0},    {kAudioDevicePropertyBufferFrameSize, 0},
        {kAudioDevicePropertyDataSource, 0},        {kAudioDevicePropertyMute, 10},
        {kAudioDevicePropertyVolumeScalar, 10},     {kAudioDevicePropertyPlayThru, 10}};
    for (const Device& d : w.devices)
        for (const auto& [selector, lastChannel] : order)
            for (const bool input : {false, true})
                for (UInt32 channel = 0; channel <= lastChannel; ++channel)
                    if (std::vector<uint8_t> v = read(d.id, input, channel, selector); !v.empty())
                        w.saved.push_back({d.id, input, channel, selector, v});
}

void restore(World& w)
{
    for (const Saved& s : w.saved)
        if (read(s.device, s.isInput, s.channel, s.selector) != s.value)
            AudioDeviceSetProperty(s.device, nullptr, s.channel, s.isInput, s.selector, UInt32(s.value.size()),
                                   s.value.data());
}

// Reads the input front to back; past its end every byte is 0.
struct Reader {
    const uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    bool done() const { return pos >= size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    UInt32 word()
    {
        UInt32 v = 0;
        for (int i = 0; i < 4; ++i)
            v |= UInt32(byte()) << (8 * i);
        return v;
    }
    // `n` bytes into a new buffer of exactly n bytes.
    std::unique_ptr<uint8_t[]> bytes(std::size_t n)
    {
        std::unique_ptr<uint8_t[]> out(new uint8_t[n]);
        for (std::size_t i = 0; i < n; ++i)
            out[i] = byte();
        return out;
    }
};

void releaseAnswer(UInt32 selector, const uint8_t* data, UInt32 size)
{
    if (propertycalls::describe(selector).answer != Answer::CFObject || size != sizeof(CFTypeRef))
        return;
    CFTypeRef object = nullptr;
    std::memcpy(&object, data, sizeof(object));
    if (object == nullptr)
        fault("success without a reference", selector);
    CFRelease(object);
}

// A translation record in a buffer of `size` bytes: its input and output buffers come from the
// data as well, each allocated at its own size.
struct Translation {
    std::unique_ptr<uint8_t[]> input, output;
    UInt32 outputSize = 0;
    bool hasOutput = false;
};

void fillTranslation(Reader& in, uint8_t* record, UInt32 size, Translation& t)
{
    const UInt32 inputSize = in.byte() % 9;
    t.input = in.bytes(inputSize);
    const uint8_t out = in.byte();
    t.hasOutput = out != 0xFF;
    t.outputSize = out % 80;
    t.output = std::unique_ptr<uint8_t[]>(new uint8_t[t.outputSize]());
    AudioValueTranslation v{t.input.get(), inputSize, t.hasOutput ? t.output.get() : nullptr, t.outputSize};
    std::memcpy(record, &v, std::min<std::size_t>(size, sizeof(v)));
}

void checkTranslation(UInt32 selector, OSStatus status, const uint8_t* record, UInt32 size, const Translation& t)
{
    if (size < sizeof(AudioValueTranslation) || !t.hasOutput)
        return;
    AudioValueTranslation v;
    std::memcpy(&v, record, sizeof(v));
    if (v.mOutputDataSize > t.outputSize)
        fault("the translation's output size grew", selector);
    const bool cf = selector == kAudioDevicePropertyClockSourceNameForIDCFString ||
                    selector == kAudioDevicePropertyDataSourceNameForIDCFString;
    if (!cf || t.outputSize < sizeof(CFStringRef))
        return;
    CFStringRef text = nullptr;
    std::memcpy(&text, t.output.get(), sizeof(text));
    if (status != noErr && text != nullptr)
        fault("a string handed out with a failure", selector);
    if (text != nullptr)
        CFRelease(text);
}

void oneCall(World& w, Reader& in, bool& changed)
{
    const uint8_t op = in.byte();
    const uint8_t objectByte = in.byte();
    const uint8_t scopeByte = in.byte();
    const uint8_t elementByte = in.byte();
    const uint8_t selectorByte = in.byte();
    const UInt32 size = std::min<UInt32>(UInt32(in.byte()) | UInt32(in.byte()) << 8, kMaxSize);
    const auto& known = propertycalls::kKnownSelectors;
    const UInt32 selector = selectorByte < 240 ? known[selectorByte % std::size(known)].id : in.word();

    const unsigned o = objectByte % 10;
    AudioObjectID object = 0xFFFF00u | objectByte;
    bool isStream = false;
    if (o < 9) {
        const Device& d = w.devices[o / 3];
        object = o % 3 == 0 ? d.id : o % 3 == 1 ? d.input : d.output;
        isStream = o % 3 != 0;
    }
    const unsigned s = scopeByte % 7;
    const AudioObjectPropertyScope scopes[] = {kAudioObjectPropertyScopeGlobal, kAudioDevicePropertyScopeInput,
                                               kAudioDevicePropertyScopeOutput, kAudioObjectPropertyScopeWildcard,
                                               CAFourCC("bogs")};
    const bool objectCall = s < 5;
    const bool isInput = s == 6;
    const UInt32 element = elementByte == 0xFF ? kAudioPropertyWildcardChannel : elementByte;
    const AudioObjectPropertyAddress address{selector, objectCall ? scopes[s] : kAudioObjectPropertyScopeGlobal,
                                             element};
    const bool direct = (op & 4) != 0, noData = (op & 8) != 0, noSize = (op & 16) != 0;
    UInt32 qualifier = 0;
    const bool qualified = (op & 32) != 0;
    if (qualified)
        qualifier = in.word();
    const UInt32 qualifierSize = qualified ? 4 : 0;
    const void* qualifierData = qualified ? &qualifier : nullptr;
    // The HAL's call, or the same call straight to the plug-in's table (member `slot`).
    using Table = AudioHardwarePlugInInterface;
    const auto call = [&](auto hal, auto slot, auto... args) {
        return direct ? ((*w.plugIn)->*slot)(w.plugIn, args...) : hal(args...);
    };

    switch (op & 3) {
    case 0: {
        UInt32 reported = 0;
        Boolean writable = false;
        UInt32* sizeOut = noSize ? nullptr : &reported;
        Boolean* writableOut = noData ? nullptr : &writable;
        if (objectCall) {
            call(AudioObjectGetPropertyDataSize, &Table::ObjectGetPropertyDataSize, object, &address, qualifierSize,
                 qualifierData, sizeOut);
            call(AudioObjectIsPropertySettable, &Table::ObjectIsPropertySettable, object, &address, writableOut);
        } else if (isStream) {
            call(AudioStreamGetPropertyInfo, &Table::StreamGetPropertyInfo, object, element, selector, sizeOut,
                 writableOut);
        } else {
            call(AudioDeviceGetPropertyInfo, &Table::DeviceGetPropertyInfo, object, element, isInput, selector, sizeOut,
                 writableOut);
        }
        break;
    }
    case 1: {
        std::unique_ptr<uint8_t[]> buffer = in.bytes(size);
        Translation t;
        const bool translation = propertycalls::describe(selector).answer == Answer::Translation;
        if (translation)
            fillTranslation(in, buffer.get(), size, t);
        UInt32 ioSize = size;
        UInt32* sizeArg = noSize ? nullptr : &ioSize;
        void* dataArg = noData ? nullptr : buffer.get();
        const OSStatus status =
            objectCall ? call(AudioObjectGetPropertyData, &Table::ObjectGetPropertyData, object, &address,
                              qualifierSize, qualifierData, sizeArg, dataArg)
            : isStream ? call(AudioStreamGetProperty, &Table::StreamGetProperty, object, element, selector, sizeArg,
                              dataArg)
                       : call(AudioDeviceGetProperty, &Table::DeviceGetProperty, object, element, isInput, selector,
                              sizeArg, dataArg);
        if (ioSize > size)
            fault("the size answered grew", selector);
        if (status == noErr && (noSize || noData))
            fault("answered without a buffer", selector);
        if (translation && !noData)
            checkTranslation(selector, status, buffer.get(), size, t);
        else if (status == noErr)
            releaseAnswer(selector, buffer.get(), ioSize);
        break;
    }
    case 2: {
        std::unique_ptr<uint8_t[]> value = in.bytes(size);
        const void* dataArg = noData ? nullptr : value.get();
        const OSStatus status =
            objectCall ? call(AudioObjectSetPropertyData, &Table::ObjectSetPropertyData, object, &address,
                              qualifierSize, qualifierData, size, dataArg)
            : isStream ? call(AudioStreamSetProperty, &Table::StreamSetProperty, object, nullptr, element, selector,
                              size, dataArg)
                       : call(AudioDeviceSetProperty, &Table::DeviceSetProperty, object, nullptr, element, isInput,
                              selector, size, dataArg);
        // Listeners added or removed are news to the plug-in, not values it reads.
        if (status == noErr && noData && size != 0 && selector != kAudioObjectPropertyListenerAdded &&
            selector != kAudioObjectPropertyListenerRemoved)
            fault("a set without its data taken", selector);
        changed = changed || status == noErr;
        break;
    }
    default:
        call(AudioObjectHasProperty, &Table::ObjectHasProperty, object, noData ? nullptr : &address);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_world = new World;
    World& w = *g_world;
    const std::vector<io_service_t> services = fuzzinterfaces::plugInterfaces(w.daemon, "property_call_fuzzer");
    for (const io_service_t service : services)
        IOObjectRelease(service);
    // The build's bundle unless the caller names another folder.
    setenv("TARSEL_HAL_PLUGIN_DIR", TARSEL_PLUGIN_FOLDER, 0);
    std::vector<AudioDeviceID> ids;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ids.size() < services.size() && std::chrono::steady_clock::now() < deadline) {
        UInt32 size = 0;
        if (AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDevices, &size, nullptr) == noErr) {
            ids.resize(size / sizeof(AudioDeviceID));
            if (!ids.empty() && AudioHardwareGetProperty(kAudioHardwarePropertyDevices, &size, ids.data()) != noErr)
                ids.clear();
        }
        if (ids.size() < services.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ids.size() != services.size())
        fault("the HAL has another number of devices (is TARSEL.plugin in TARSEL_HAL_PLUGIN_DIR?)", ids.size());
    for (const AudioDeviceID id : ids) {
        Device d{id};
        UInt32 size = sizeof(AudioStreamID);
        AudioDeviceGetProperty(id, 0, true, kAudioDevicePropertyStreams, &size, &d.input);
        size = sizeof(AudioStreamID);
        AudioDeviceGetProperty(id, 0, false, kAudioDevicePropertyStreams, &size, &d.output);
        w.devices.push_back(d);
    }
    HALRoute route;
    if (!HALSystem::instance().route(ids[0], route) || route.ref == nullptr)
        fault("no plug-in behind the device");
    w.plugIn = route.ref;
    save(w);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_world == nullptr)
        LLVMFuzzerInitialize(nullptr, nullptr);
    Reader in{data, size};
    bool changed = false;
    for (int calls = 0; !in.done() && calls < 16; ++calls)
        oneCall(*g_world, in, changed);
    if (changed)
        restore(*g_world);
    return 0;
}
