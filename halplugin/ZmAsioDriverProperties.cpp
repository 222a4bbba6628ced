// The device and stream properties: every call ends in the table of one device and direction.
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/ZmOSXDevice.h"
#include "halplugin/ZmAsioDriver.h"

namespace {

constexpr OSStatus kWho = kAudioHardwareUnknownPropertyError;
constexpr unsigned long kAllChannels = 0xFFFFFFFF;

// A pointer-sized answer (a CFString or CFURL handed to the caller): the size of a pointer in
// this process, where a 32-bit process has 4.
constexpr UInt32 kRefSize = sizeof(void*);
// The stream usage record with its one stream.
constexpr UInt32 kUsageSize = UInt32(offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn) + sizeof(UInt32));

const char kConfigurationApplication[] = "com.quenta.tarsel.app";

// Writes a value the caller has room for; "who?" when the buffer is missing or too small.
template <typename T>
OSStatus put(UInt32* ioSize, void* out, const T& value)
{
    if (ioSize == nullptr || out == nullptr || *ioSize < sizeof(T))
        return kWho;
    std::memcpy(out, &value, sizeof(T));
    *ioSize = sizeof(T);
    return 0;
}

// Reads a value the caller handed over; false when it is missing or of another size.
template <typename T>
bool take(UInt32 size, const void* data, T& value)
{
    if (data == nullptr || size != sizeof(T))
        return false;
    std::memcpy(&value, data, sizeof(T));
    return true;
}

// A new CFString for the caller, made only once it is sure to be handed over.
OSStatus putString(UInt32* ioSize, void* out, const char* text)
{
    if (ioSize == nullptr || out == nullptr || *ioSize < sizeof(CFStringRef))
        return kWho;
    return put(ioSize, out, CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingASCII));
}

OSStatus putString(UInt32* ioSize, void* out, const ZmString& text)
{
    return putString(ioSize, out, text.c_str());
}

// As many records of `list` as fit into the caller's buffer; *ioSize says how many bytes.
template <typename T>
OSStatus putList(UInt32* ioSize, void* out, const T* list, std::size_t count)
{
    if (ioSize == nullptr || out == nullptr)
        return kWho;
    const std::size_t fit = std::min<std::size_t>(count, *ioSize / sizeof(T));
    if (fit > 0 && list != nullptr)
        std::memcpy(out, list, fit * sizeof(T));
    *ioSize = UInt32(fit * sizeof(T));
    return 0;
}

// The character text with its terminator, into a buffer of at least that size.
OSStatus putText(UInt32* ioSize, void* out, const ZmString& text)
{
    const std::size_t needed = std::strlen(text.c_str()) + 1;
    if (ioSize == nullptr || out == nullptr || *ioSize < needed)
        return kWho;
    std::memcpy(out, text.c_str(), needed);
    *ioSize = UInt32(needed);
    return 0;
}

OSStatus putFormats(ZmOSXDevice& device, bool isInput, bool physical, UInt32* ioSize, void* out)
{
    const int count = device.getStreamFormatNum(isInput, physical);
    if (count <= 0)
        return putList(ioSize, out, static_cast<const AudioStreamBasicDescription*>(nullptr), 0);
    std::vector<AudioStreamBasicDescription> formats(static_cast<std::size_t>(count));
    if (const OSStatus status = device.getStreamFormats(isInput, formats.data(), count, physical, kAllChannels))
        return status;
    return putList(ioSize, out, formats.data(), formats.size());
}

OSStatus putAvailableFormats(ZmOSXDevice& device, bool isInput, bool physical, UInt32* ioSize, void* out)
{
    const int count = device.getStreamFormatNum(isInput, physical);
    if (count <= 0)
        return putList(ioSize, out, static_cast<const AudioStreamRangedDescription*>(nullptr), 0);
    std::vector<AudioStreamRangedDescription> formats(static_cast<std::size_t>(count));
    if (const OSStatus status = device.getAvailableFormats(isInput, formats.data(), count, physical, kAllChannels))
        return status;
    return putList(ioSize, out, formats.data(), formats.size());
}

OSStatus putFormat(ZmOSXDevice& device, bool isInput, bool physical, UInt32* ioSize, void* out)
{
    if (ioSize == nullptr || out == nullptr || *ioSize != sizeof(AudioStreamBasicDescription))
        return kWho;
    return device.getStreamFormat(isInput, static_cast<AudioStreamBasicDescription*>(out), physical, kAllChannels);
}

// The preferred layout of n channels: a tag that says "use the descriptions", one per channel.
UInt32 layoutSize(UInt32 channels)
{
    return channels == 0 ? 32u : UInt32(offsetof(AudioChannelLayout, mChannelDescriptions)) + 20u * channels;
}

// The name of `channel` as the interface labels it; false where it has no such channel.
bool channelName(ZmOSXDevice& device, bool isInput, UInt32 channel, char (&name)[64])
{
    std::snprintf(name, sizeof(name), channel == 0 ? (isInput ? "Master IN" : "Master OUT")
                                                   : (isInput ? "IN %u" : "OUT %u"),
                  unsigned(channel));
    const char* const* names = nullptr;
    UInt32 count = 0;
    static const char* const kAuxInputs[] = {"AUX 1", "AUX 2", "SUB L", "SUB R", "ST L", "ST R"}; // from 11
    static const char* const kFourInputs[] = {"Mic/Line/Inst. 1", "Mic/Line/Inst. 2", "Mic/Line 3", "Mic/Line 4",
                                              "S/PDIF Left", "S/PDIF Right"};
    static const char* const kEightInputs[] = {"Mic/Line/Inst. 1", "Mic/Line/Inst. 2", "Mic/Line 3", "Mic/Line 4",
                                               "Mic/Line 5", "Mic/Line 6", "Mic/Line 7", "Mic/Line 8",
                                               "S/PDIF Left", "S/PDIF Right"};
    static const char* const kMainOutputs[] = {"Main Left", "Main Right", "S/PDIF Left", "S/PDIF Right"};
    static const char* const kTwoInputs[] = {"Mic/Line/Inst. 1", "Mic/Line 2"};
    if (device.isDevice(0x7E03, 0x801E) && isInput) {
        if (channel >= 11 && channel <= 16)
            std::snprintf(name, sizeof(name), "%s", kAuxInputs[channel - 11]);
        return true;
    }
    if (device.isDevice(0x7E06, 0x001A)) {
        if (channel >= 3)
            return false;
        names = isInput ? kTwoInputs : kMainOutputs, count = 2;
    } else if (device.isDevice(0x7E06, 0x0018) || device.isDevice(0x7E06, 0x0019)) {
        if (!isInput)
            names = kMainOutputs, count = 4;
        else if (device.isDevice(0x7E06, 0x0018))
            names = kFourInputs, count = 6;
        else
            names = kEightInputs, count = 10;
    }
    if (names != nullptr && channel >= 1 && channel <= count)
        std::snprintf(name, sizeof(name), "%s", names[channel - 1]);
    return true;
}

// The translation record of a name-for-ID property, with its 32-bit ID; null when the record
// or its input is missing or short.
AudioValueTranslation* translation(UInt32* ioSize, void* out, UInt32& id)
{
    if (ioSize == nullptr || out == nullptr || *ioSize < sizeof(AudioValueTranslation))
        return nullptr;
    auto* t = static_cast<AudioValueTranslation*>(out);
    if (t->mInputData == nullptr || t->mInputDataSize < sizeof(UInt32))
        return nullptr;
    std::memcpy(&id, t->mInputData, sizeof(UInt32));
    return t;
}

const char* clockSourceName(UInt32 id)
{
    return id == 0 ? "Hardware" : id == 1 ? "internal" : nullptr;
}

// Every non-zero field of the request equals that field of the format.
bool matchesEveryGivenField(const AudioStreamBasicDescription& asked, const AudioStreamBasicDescription& f)
{
    return (asked.mSampleRate == 0 || asked.mSampleRate == f.mSampleRate) &&
           (asked.mFormatID == 0 || asked.mFormatID == f.mFormatID) &&
           (asked.mFormatFlags == 0 || asked.mFormatFlags == f.mFormatFlags) &&
           (asked.mBytesPerPacket == 0 || asked.mBytesPerPacket == f.mBytesPerPacket) &&
           (asked.mFramesPerPacket == 0 || asked.mFramesPerPacket == f.mFramesPerPacket) &&
           (asked.mBytesPerFrame == 0 || asked.mBytesPerFrame == f.mBytesPerFrame) &&
           (asked.mChannelsPerFrame == 0 || asked.mChannelsPerFrame == f.mChannelsPerFrame) &&
           (asked.mBitsPerChannel == 0 || asked.mBitsPerChannel == f.mBitsPerChannel);
}

std::vector<AudioStreamBasicDescription> virtualFormats(ZmOSXDevice& device, bool isInput)
{
    const int count = device.getStreamFormatNum(isInput, false);
    std::vector<AudioStreamBasicDescription> formats(static_cast<std::size_t>(count > 0 ? count : 0));
    if (count > 0 && device.getStreamFormats(isInput, formats.data(), count, false, kAllChannels) != 0)
        formats.clear();
    return formats;
}

// The virtual format nearest to the request in the buffer, which it replaces.
OSStatus matchFormat(ZmOSXDevice& device, bool isInput, AudioStreamBasicDescription& request)
{
    const UInt32 channels = request.mChannelsPerFrame;
    request.mFormatID = kAudioFormatLinearPCM;
    request.mFormatFlags = kAudioFormatFlagIsFloat;
    request.mFramesPerPacket = 1;
    request.mBytesPerFrame = 4 * channels;
    request.mBytesPerPacket = 4 * channels;
    const std::vector<AudioStreamBasicDescription> formats = virtualFormats(device, isInput);
    if (formats.empty())
        return kAudioDeviceUnsupportedFormatError;
    const bool explicitRate = request.mSampleRate != 0;
    // A rate no interface runs at (huge, negative, not a number) is far from every format; the
    // conversion to an integer is only defined inside its range.
    constexpr double kFarRate = 1e12;
    const double asked = request.mSampleRate;
    int64_t targetRate = std::isfinite(asked) ? int64_t(std::clamp(asked, -kFarRate, kFarRate)) : int64_t(kFarRate);
    if (!explicitRate)
        targetRate = device.getFrequency() != 0 ? device.getFrequency() : 384000;
    const bool explicitChannels = channels != 0;
    const int64_t targetChannels = explicitChannels ? channels : 256;
    int64_t bestRate = 384000, bestChannels = 256;
    OSStatus result = kAudioDeviceUnsupportedFormatError;
    for (const AudioStreamBasicDescription& f : formats) {
        const int64_t rate = std::llabs(targetRate - int64_t(f.mSampleRate));
        const int64_t count = std::llabs(targetChannels - int64_t(f.mChannelsPerFrame));
        if ((explicitRate && bestRate == 0 && rate != 0) || (explicitChannels && bestChannels == 0 && count != 0))
            continue;
        if (bestRate > rate || bestChannels > count) {
            request = f;
            bestRate = rate;
            bestChannels = count;
            result = 0;
        }
        if (rate == bestRate && count == bestChannels && f.mBitsPerChannel > request.mBitsPerChannel) {
            request = f;
            result = 0;
        }
    }
    return result;
}

UInt32 sampleRateCount(ZmOSXDevice& device)
{
    AudioValueRange rates[64];
    return device.getSampleRates(rates, 64);
}

} // namespace

void ZmAsioDriver::copyStringToTarget(const char* text, char* target, unsigned long& size)
{
    if (text == nullptr || target == nullptr || size == 0)
        return;
    const unsigned long length = std::strlen(text);
    if (length + 1 <= size) {
        std::memcpy(target, text, length + 1);
        size = length + 1;
    } else {
        std::memcpy(target, text, size);
        target[size - 1] = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// The table

OSStatus ZmAsioDriver::getPropertyInfo(ZmOSXDevice& device, UInt32 channel, bool isInput, AudioDevicePropertyID selector,
                                       UInt32* outSize, Boolean* outWritable)
{
    UInt32 size = 4;
    bool writable = false;
    switch (selector) {
    case kAudioDevicePropertyAvailableNominalSampleRates:
        size = UInt32(sizeof(AudioValueRange)) * sampleRateCount(device);
        break;
    case kAudioDevicePropertyNominalSampleRate:
        size = 8, writable = true;
        break;
    case kAudioDevicePropertyActualSampleRate:
        size = 8;
        break;
    case kAudioDevicePropertyStreamConfiguration:
        size = sizeof(AudioBufferList);
        break;
    case kAudioDevicePropertyIOProcStreamUsage:
        size = kUsageSize, writable = true;
        break;
    case kAudioStreamPropertyPhysicalFormat:
    case kAudioDevicePropertyStreamFormat:
        size = sizeof(AudioStreamBasicDescription), writable = true;
        break;
    case kAudioStreamPropertyPhysicalFormats:
    case kAudioDevicePropertyStreamFormats: {
        const int count = device.getStreamFormatNum(isInput, selector == kAudioStreamPropertyPhysicalFormats);
        size = UInt32(sizeof(AudioStreamBasicDescription)) * UInt32(count > 0 ? count : 0);
        break;
    }
    case kAudioStreamPropertyAvailablePhysicalFormats:
    case kAudioStreamPropertyAvailableVirtualFormats: {
        const int count = device.getStreamFormatNum(isInput, selector == kAudioStreamPropertyAvailablePhysicalFormats);
        size = UInt32(sizeof(AudioStreamRangedDescription)) * UInt32(count > 0 ? count : 0);
        break;
    }
    case kAudioDevicePropertyHogMode:
    case kAudioDevicePropertyBufferFrameSize:
    case kAudioDevicePropertyClockSource:
        writable = true;
        break;
    case kAudioDevicePropertyBufferFrameSizeRange:
    case kAudioDevicePropertyBufferSizeRange:
        size = sizeof(AudioValueRange);
        break;
    case kAudioDevicePropertyPreferredChannelsForStereo:
        size = 8;
        break;
    case kAudioDevicePropertyDeviceName:
        size = UInt32(std::strlen(device.getDeviceName().c_str()) + 1);
        break;
    case kAudioDevicePropertyDeviceManufacturer:
        size = UInt32(std::strlen(device.getManufacturer().c_str()) + 1);
        break;
    case kAudioDevicePropertyDeviceNameCFString:
    case kAudioDevicePropertyDeviceManufacturerCFString:
    case kAudioDevicePropertyDeviceUID:
    case kAudioDevicePropertyModelUID:
    case kAudioDevicePropertyConfigurationApplication:
        size = kRefSize;
        break;
    case kAudioObjectPropertyListenerAdded:
    case kAudioObjectPropertyListenerRemoved:
        size = sizeof(AudioObjectPropertyAddress);
        break;
    case kAudioDevicePropertyChannelNameCFString:
    case kAudioDevicePropertyIcon:
        size = kRefSize;
        break;
    case kAudioDevicePropertyClockSourceNameForID:
    case kAudioDevicePropertyClockSourceNameForIDCFString:
    case kAudioDevicePropertyDataSourceNameForID:
    case kAudioDevicePropertyDataSourceNameForIDCFString:
        size = sizeof(AudioValueTranslation);
        break;
    case kAudioDevicePropertyDataSource:
        writable = true;
        break;
    case kAudioDevicePropertyDataSources:
        size = 4 * UInt32(std::max(device.getNumDataSources(isInput), 0));
        break;
    case kAudioDevicePropertyVolumeDecibelsToScalar:
        break;
    case kAudioDevicePropertyMute:
    case kAudioDevicePropertyVolumeScalar:
    case kAudioDevicePropertyVolumeDecibels:
    case kAudioDevicePropertyPlayThru: {
        const bool has = selector == kAudioDevicePropertyMute       ? device.canMute(isInput, int(channel))
                         : selector == kAudioDevicePropertyPlayThru ? device.canMonitor(isInput, int(channel))
                                                                    : device.canVolume(isInput, int(channel));
        if (!has) {
            if (outSize != nullptr)
                *outSize = 0;
            if (outWritable != nullptr)
                *outWritable = false;
            return kWho;
        }
        writable = true;
        break;
    }
    case kAudioDevicePropertyStreamFormatSupported:
    case kAudioDevicePropertyStreamFormatMatch:
        size = sizeof(AudioStreamBasicDescription);
        break;
    case kAudioDevicePropertyPreferredChannelLayout: {
        AudioStreamBasicDescription format{};
        device.getStreamFormat(isInput, &format, false, kAllChannels);
        size = layoutSize(format.mChannelsPerFrame);
        break;
    }
    case kAudioDevicePropertyStreams:
    case kAudioDevicePropertySafetyOffset:
    case kAudioDevicePropertyPlugIn:
    case kAudioDevicePropertyProcessorOverload:
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyDeviceIsAlive:
    case kAudioDevicePropertyClockSources:
    case kAudioDevicePropertyClockDomain:
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
    case kAudioDevicePropertyIsHidden:
    case kAudioDevicePropertyJackIsConnected:
    case kAudioDevicePropertySupportsMixing:
    case kAudioDevicePropertyRelatedDevices:
    case kAudioDevicePropertyBufferSize:
    case kAudioDevicePropertyLatency:
    case kAudioDevicePropertyTransportType:
    case kAudioStreamPropertyTerminalType:
    case kAudioStreamPropertyDirection:
    case kAudioStreamPropertyStartingChannel:
        break;
    default:
        if (outSize != nullptr)
            *outSize = 0;
        if (outWritable != nullptr)
            *outWritable = false;
        return kWho;
    }
    if (outSize != nullptr)
        *outSize = size;
    if (outWritable != nullptr)
        *outWritable = writable;
    return 0;
}

OSStatus ZmAsioDriver::getProperty(ZmOSXDevice& device, UInt32 channel, bool isInput, AudioDevicePropertyID selector,
                                   UInt32* ioSize, void* outData)
{
    switch (selector) {
    case kAudioDevicePropertyAvailableNominalSampleRates: {
        AudioValueRange rates[64];
        const unsigned count = device.getSampleRates(rates, 64);
        return putList(ioSize, outData, rates, count);
    }
    case kAudioDevicePropertyNominalSampleRate:
    case kAudioDevicePropertyActualSampleRate:
        return put(ioSize, outData, Float64(device.getFrequency()));
    case kAudioDevicePropertyStreamConfiguration:
        if (ioSize == nullptr || outData == nullptr || *ioSize < sizeof(AudioBufferList))
            return kWho;
        *ioSize = sizeof(AudioBufferList);
        return device.getStreamConfiguration(isInput, static_cast<AudioBufferList*>(outData));
    case kAudioDevicePropertyStreams:
        if (ioSize == nullptr || *ioSize != sizeof(AudioStreamID))
            return kWho;
        return put(ioSize, outData, isInput ? device.getInAudioStreamID() : device.getOutAudioStreamID());
    case kAudioDevicePropertyIOProcStreamUsage:
        if (ioSize == nullptr || outData == nullptr || *ioSize < kUsageSize)
            return kWho;
        *ioSize = kUsageSize;
        return device.getStreamUsage(static_cast<AudioHardwareIOProcStreamUsage*>(outData), isInput);
    case kAudioDevicePropertySafetyOffset:
    case kAudioDevicePropertyPlugIn:
    case kAudioDevicePropertyProcessorOverload:
    case kAudioDevicePropertyClockDomain:
    case kAudioDevicePropertyIsHidden:
    case kAudioDevicePropertyClockSource:
        return put(ioSize, outData, UInt32(0));
    case kAudioStreamPropertyPhysicalFormat:
        return putFormat(device, isInput, true, ioSize, outData);
    case kAudioDevicePropertyStreamFormat:
        return putFormat(device, isInput, false, ioSize, outData);
    case kAudioStreamPropertyPhysicalFormats:
        return putFormats(device, isInput, true, ioSize, outData);
    case kAudioDevicePropertyStreamFormats:
        return putFormats(device, isInput, false, ioSize, outData);
    case kAudioStreamPropertyAvailablePhysicalFormats:
        return putAvailableFormats(device, isInput, true, ioSize, outData);
    case kAudioStreamPropertyAvailableVirtualFormats:
        return putAvailableFormats(device, isInput, false, ioSize, outData);
    case kAudioDevicePropertyHogMode:
        return put(ioSize, outData, SInt32(-1));
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
        return put(ioSize, outData, UInt32(device.isRunningSomewhere()));
    case kAudioDevicePropertyDeviceIsRunning:
        return put(ioSize, outData, UInt32(device.isRunningStream()));
    case kAudioDevicePropertyDeviceIsAlive:
        return put(ioSize, outData, UInt32(device.isDeviceOpen()));
    case kAudioDevicePropertyClockSources: {
        if (ioSize == nullptr || outData == nullptr || *ioSize < 4)
            return kWho;
        auto* slots = static_cast<UInt32*>(outData);
        for (UInt32 i = 0; i < *ioSize / 4; ++i)
            slots[i] = 0xFFFFFFFF;
        slots[0] = 0;
        *ioSize = 4;
        return 0;
    }
    case kAudioDevicePropertyConfigurationApplication:
        return putString(ioSize, outData, kConfigurationApplication);
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
    case kAudioDevicePropertyJackIsConnected:
    case kAudioDevicePropertySupportsMixing:
    case kAudioStreamPropertyStartingChannel:
        return put(ioSize, outData, UInt32(1));
    case kAudioDevicePropertyRelatedDevices:
        return put(ioSize, outData, device.getAudioDeviceID());
    case kAudioDevicePropertyPreferredChannelsForStereo: {
        const UInt32 pair[2] = {1, 2};
        if (ioSize == nullptr || outData == nullptr || *ioSize < sizeof(pair))
            return kWho;
        std::memcpy(outData, pair, sizeof(pair));
        *ioSize = sizeof(pair);
        return 0;
    }
    case kAudioDevicePropertyBufferFrameSizeRange: {
        AudioValueRange range{};
        device.getFrameSizeRange(range.mMinimum, range.mMaximum);
        return put(ioSize, outData, range);
    }
    case kAudioDevicePropertyBufferFrameSize:
        return put(ioSize, outData, UInt32(device.getFrameSize()));
    case kAudioDevicePropertyBufferSizeRange: {
        AudioValueRange range{};
        device.getFrameSizeRangeBytes(isInput, range.mMinimum, range.mMaximum);
        return put(ioSize, outData, range);
    }
    case kAudioDevicePropertyBufferSize:
        return put(ioSize, outData, UInt32(device.getFrameSizeBytes(isInput)));
    case kAudioDevicePropertyLatency:
        return put(ioSize, outData, UInt32(device.getLatency(isInput)));
    case kAudioDevicePropertyDeviceName:
        return putText(ioSize, outData, device.getDeviceName());
    case kAudioDevicePropertyDeviceManufacturer:
        return putText(ioSize, outData, device.getManufacturer());
    case kAudioDevicePropertyDeviceNameCFString:
        return putString(ioSize, outData, device.getDeviceName());
    case kAudioDevicePropertyDeviceManufacturerCFString:
        return putString(ioSize, outData, device.getManufacturer());
    case kAudioDevicePropertyDeviceUID:
    case kAudioDevicePropertyModelUID:
        return putString(ioSize, outData, device.getModelUID());
    case kAudioDevicePropertyTransportType: {
        const bool fullSpeedUSB = (device.isDevice(0x7E0E, 0x0104) || device.isDevice(0x7E0D, 0x6000)) &&
                                  !device.isUSB2Device();
        return put(ioSize, outData, fullSpeedUSB ? kAudioDeviceTransportTypeUSB : UInt32(CAFourCC("othr")));
    }
    case kAudioStreamPropertyTerminalType:
        return put(ioSize, outData, UInt32(0x0602));
    case kAudioStreamPropertyDirection:
        return put(ioSize, outData, UInt32(isInput ? 1 : 0));
    case kAudioDevicePropertyMute: {
        if (ioSize == nullptr || outData == nullptr || *ioSize < sizeof(UInt32))
            return kWho;
        const int mute = device.getMute(isInput, int(channel));
        return mute < 0 ? kWho : put(ioSize, outData, UInt32(mute));
    }
    case kAudioDevicePropertyVolumeScalar:
    case kAudioDevicePropertyVolumeDecibels: {
        if (ioSize == nullptr || outData == nullptr || *ioSize < sizeof(Float32))
            return kWho;
        float value = 0;
        const bool ok = selector == kAudioDevicePropertyVolumeScalar
                            ? device.getVolumeScalar(isInput, int(channel), value)
                            : device.getVolumeDB(isInput, int(channel), value);
        return ok ? put(ioSize, outData, Float32(value)) : kWho;
    }
    case kAudioDevicePropertyVolumeDecibelsToScalar: {
        // The inverse of what "volm" and "vold" report: the control's own dB range onto 0...1.
        Float32 dB = 0;
        float minDB = 0, maxDB = 0;
        if (ioSize == nullptr || outData == nullptr || *ioSize < sizeof(Float32))
            return kWho;
        std::memcpy(&dB, outData, sizeof(dB));
        if (!device.getVolumeRangeDB(isInput, int(channel), minDB, maxDB) || !(maxDB > minDB) || std::isnan(dB))
            return kWho;
        const Float32 scalar = std::clamp((dB - minDB) / (maxDB - minDB), 0.0f, 1.0f);
        return put(ioSize, outData, scalar);
    }
    case kAudioDevicePropertyPlayThru: {
        if (ioSize == nullptr || outData == nullptr || *ioSize < sizeof(UInt32))
            return kWho;
        unsigned long on = 0;
        if (const OSStatus status = device.getMonitor(isInput, int(channel), on))
            return status;
        return put(ioSize, outData, UInt32(on));
    }
    case kAudioDevicePropertyDataSource: {
        const UInt32 id = UInt32(device.getDataSourceID(isInput));
        return put(ioSize, outData, isInput ? id + 100 : id);
    }
    case kAudioDevicePropertyDataSources: {
        const UInt32 n = UInt32(std::max(device.getNumDataSources(isInput), 0));
        if (ioSize == nullptr || outData == nullptr || *ioSize != 4 * n)
            return kWho;
        auto* ids = static_cast<UInt32*>(outData);
        for (UInt32 i = 0; i < n; ++i)
            ids[i] = (isInput ? 101 : 1) + i;
        return 0;
    }
    case kAudioDevicePropertyDataSourceNameForID:
    case kAudioDevicePropertyDataSourceNameForIDCFString: {
        UInt32 id = 0;
        AudioValueTranslation* t = translation(ioSize, outData, id);
        if (t == nullptr)
            return kWho;
        ZmString name;
        device.getDataSourcesName(isInput, int(id >= 101 ? id - 100 : id), name);
        if (selector == kAudioDevicePropertyDataSourceNameForID) {
            if (t->mOutputData == nullptr) {
                t->mOutputDataSize = UInt32(std::strlen(name.c_str()) + 1);
                return 0;
            }
            unsigned long size = t->mOutputDataSize;
            copyStringToTarget(name.c_str(), static_cast<char*>(t->mOutputData), size);
            t->mOutputDataSize = UInt32(size);
            return 0;
        }
        if (t->mOutputData == nullptr) {
            t->mOutputDataSize = sizeof(CFStringRef);
            return 0;
        }
        if (t->mOutputDataSize < sizeof(CFStringRef))
            return kWho;
        CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, name.c_str(), kCFStringEncodingASCII);
        std::memcpy(t->mOutputData, &text, sizeof(text));
        t->mOutputDataSize = sizeof(CFStringRef);
        return 0;
    }
    case kAudioDevicePropertyChannelNameCFString: {
        char name[64];
        if (!channelName(device, isInput, channel, name))
            return kWho;
        return putString(ioSize, outData, name);
    }
    case kAudioDevicePropertyIcon: {
        if (ioSize == nullptr || outData == nullptr || *ioSize < sizeof(CFURLRef))
            return kWho;
        CFStringRef path = CFStringCreateWithCString(
            kCFAllocatorDefault, "/Applications/Utilities/Audio MIDI Setup.app/Contents/Resources/USB.png",
            kCFStringEncodingASCII);
        CFURLRef url = CFURLCreateWithFileSystemPath(kCFAllocatorDefault, path, kCFURLPOSIXPathStyle, false);
        CFRelease(path);
        CFShow(url);
        return put(ioSize, outData, url);
    }
    case kAudioDevicePropertyClockSourceNameForID: {
        UInt32 id = 0;
        AudioValueTranslation* t = translation(ioSize, outData, id);
        if (t == nullptr || t->mOutputData == nullptr || t->mOutputDataSize == 0)
            return kWho;
        auto* target = static_cast<char*>(t->mOutputData);
        const char* name = clockSourceName(id);
        std::strncpy(target, name != nullptr ? name : "", t->mOutputDataSize);
        target[t->mOutputDataSize - 1] = 0;
        return name != nullptr ? 0 : kWho;
    }
    case kAudioDevicePropertyClockSourceNameForIDCFString: {
        UInt32 id = 0;
        AudioValueTranslation* t = translation(ioSize, outData, id);
        if (t == nullptr)
            return kWho;
        if (t->mOutputData == nullptr) {
            t->mOutputDataSize = sizeof(CFStringRef);
            return 0;
        }
        if (t->mOutputDataSize < sizeof(CFStringRef))
            return kWho;
        const char* name = clockSourceName(id);
        // No string is handed out with a failure, which a caller would not release.
        CFStringRef text =
            name != nullptr ? CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingASCII) : nullptr;
        std::memcpy(t->mOutputData, &text, sizeof(text));
        t->mOutputDataSize = sizeof(CFStringRef);
        return name != nullptr ? 0 : kWho;
    }
    case kAudioDevicePropertyPreferredChannelLayout: {
        AudioStreamBasicDescription format{};
        if (device.getStreamFormat(isInput, &format, false, kAllChannels) != 0)
            return kWho;
        const UInt32 n = format.mChannelsPerFrame;
        const UInt32 needed = layoutSize(n);
        if (ioSize == nullptr || outData == nullptr || *ioSize < needed)
            return kAudioHardwareBadPropertySizeError;
        std::memset(outData, 0, needed);
        auto* layout = static_cast<AudioChannelLayout*>(outData);
        layout->mNumberChannelDescriptions = n;
        for (UInt32 i = 0; i < n; ++i) {
            AudioChannelDescription d{};
            d.mChannelLabel = i + 1;
            d.mChannelFlags = 4;
            std::memcpy(reinterpret_cast<char*>(layout) + offsetof(AudioChannelLayout, mChannelDescriptions) + 20 * i,
                        &d, sizeof(d));
        }
        *ioSize = needed;
        return 0;
    }
    case kAudioDevicePropertyStreamFormatMatch:
    case kAudioDevicePropertyStreamFormatSupported: {
        if (ioSize == nullptr || outData == nullptr || *ioSize < sizeof(AudioStreamBasicDescription))
            return kAudioDeviceUnsupportedFormatError;
        AudioStreamBasicDescription request;
        std::memcpy(&request, outData, sizeof(request));
        *ioSize = sizeof(request);
        if (selector == kAudioDevicePropertyStreamFormatMatch) {
            const OSStatus status = matchFormat(device, isInput, request);
            std::memcpy(outData, &request, sizeof(request));
            return status;
        }
        for (const AudioStreamBasicDescription& f : virtualFormats(device, isInput))
            if (matchesEveryGivenField(request, f))
                return 0;
        return kAudioDeviceUnsupportedFormatError;
    }
    default:
        tracerequest("******************** onDeviceGetProperty NOT IMPLEMENTED", selector);
        return kWho;
    }
}

OSStatus ZmAsioDriver::setProperty(ZmOSXDevice& device, UInt32 channel, bool isInput, AudioDevicePropertyID selector,
                                   UInt32 size, const void* data)
{
    switch (selector) {
    case kAudioDevicePropertyNominalSampleRate: {
        std::puts("SETPROP kAudioDevicePropertyNominalSampleRate");
        Float64 rate = 0;
        if (!take(size, data, rate) || !std::isfinite(rate)) {
            std::puts("...bad arg");
            return kIOReturnBadArgument;
        }
        std::puts("...before pDevice->setFrequency");
        const double clamped = std::fmin(std::fmax(rate, 0.0), 4294967295.0);
        if (!device.setFrequency(isInput, unsigned(clamped))) {
            std::puts("...bad arg");
            return kIOReturnBadArgument;
        }
        std::puts("...success");
        return 0;
    }
    case kAudioDevicePropertyBufferFrameSize: {
        UInt32 frames = 0;
        if (!take(size, data, frames))
            return kWho;
        return OSStatus(device.setFrameSize(frames, true, false));
    }
    case kAudioStreamPropertyPhysicalFormat:
    case kAudioDevicePropertyStreamFormat: {
        AudioStreamBasicDescription format{};
        if (!take(size, data, format))
            return kWho;
        return device.setStreamFormat(isInput, &format, selector == kAudioStreamPropertyPhysicalFormat);
    }
    case kAudioDevicePropertyIOProcStreamUsage: {
        if (data == nullptr || size < kUsageSize)
            return kWho;
        AudioHardwareIOProcStreamUsage usage{};
        std::memcpy(&usage, data, kUsageSize);
        return device.setStreamUsage(&usage, isInput);
    }
    case kAudioDevicePropertyMute: {
        UInt32 value = 0;
        if (!take(size, data, value))
            return kWho;
        return device.setMute(isInput, int(channel), value != 0) ? 0 : kWho;
    }
    case kAudioDevicePropertyPlayThru: {
        UInt32 value = 0;
        if (!take(size, data, value))
            return kWho;
        return device.setMonitor(isInput, int(channel), value) ? 0 : kWho;
    }
    case kAudioDevicePropertyVolumeScalar: {
        Float32 value = 0;
        if (!take(size, data, value))
            return kWho;
        // A channel without volume refuses, as mute and play-through do.
        return device.setVolumeScalar(isInput, int(channel), value) ? 0 : kWho;
    }
    case kAudioDevicePropertyDataSource: {
        UInt32 id = 0;
        if (!take(size, data, id))
            return kWho;
        if (isInput && id >= 100)
            id -= 100;
        return device.setDataSource(isInput, id);
    }
    case kAudioDevicePropertyClockSource: {
        // The one source "csc#" lists: anything else, or no value at all, is not a choice.
        UInt32 id = 0;
        if (!take(size, data, id) || id != 0)
            return kWho;
        return 0;
    }
    case kAudioObjectPropertyListenerAdded:
    case kAudioObjectPropertyListenerRemoved:
        return 0;
    default:
        return kWho;
    }
}

// ---------------------------------------------------------------------------------------------
// Device, stream and object calls

OSStatus ZmAsioDriver::onDeviceGetPropertyInfo(AudioDeviceID deviceID, UInt32 channel, Boolean isInput,
                                               AudioDevicePropertyID selector, UInt32* outSize, Boolean* outWritable)
{
    return withDevice(deviceID, [&](ZmOSXDevice& d) {
        ZmOSXDevice::SettingsTurn turn(d);
        return getPropertyInfo(d, channel, isInput != 0, selector, outSize, outWritable);
    });
}

OSStatus ZmAsioDriver::onDeviceGetProperty(AudioDeviceID deviceID, UInt32 channel, Boolean isInput,
                                           AudioDevicePropertyID selector, UInt32* ioSize, void* outData)
{
    return withDevice(deviceID, [&](ZmOSXDevice& d) {
        ZmOSXDevice::SettingsTurn turn(d);
        // Only what the table knows is answered, whatever the buffer.
        if (getPropertyInfo(d, channel, isInput != 0, selector, nullptr, nullptr) != 0) {
            tracerequest("******************** onDeviceGetProperty NOT IMPLEMENTED", selector);
            return kWho;
        }
        const OSStatus status = getProperty(d, channel, isInput != 0, selector, ioSize, outData);
        if (status != 0)
            tracerequest("******************** onDeviceGetProperty REQUEST FAILED", selector);
        return status;
    });
}

OSStatus ZmAsioDriver::onDeviceSetProperty(AudioDeviceID deviceID, const AudioTimeStamp*, UInt32 channel,
                                           Boolean isInput, AudioDevicePropertyID selector, UInt32 size,
                                           const void* data)
{
    return withDevice(deviceID, [&](ZmOSXDevice& d) {
        ZmOSXDevice::SettingsTurn turn(d);
        return setProperty(d, channel, isInput != 0, selector, size, data);
    });
}

OSStatus ZmAsioDriver::onStreamGetPropertyInfo(AudioStreamID streamID, UInt32 channel,
                                               AudioDevicePropertyID selector, UInt32* outSize, Boolean* outWritable)
{
    ZmOSXDevice* device = getDeviceAndRetainFromStreamID(streamID);
    if (device == nullptr)
        return kIOReturnNoDevice;
    const bool isInput = streamID == device->getInAudioStreamID();
    OSStatus status;
    {
        ZmOSXDevice::SettingsTurn turn(*device);
        status = getPropertyInfo(*device, channel, isInput, selector, outSize, outWritable);
    }
    if (status != 0)
        tracerequest("******************** onStreamGetPropertyInfo REQUEST FAILED", selector);
    device->decReferences();
    return status;
}

OSStatus ZmAsioDriver::onStreamGetProperty(AudioStreamID streamID, UInt32 channel, AudioDevicePropertyID selector,
                                           UInt32* ioSize, void* outData)
{
    ZmOSXDevice* device = getDeviceAndRetainFromStreamID(streamID);
    if (device == nullptr)
        return kIOReturnNoDevice;
    const bool isInput = streamID == device->getInAudioStreamID();
    const OSStatus status = onDeviceGetProperty(device->getAudioDeviceID(), channel, isInput, selector, ioSize, outData);
    if (status != 0)
        tracerequest("******************** onStreamGetProperty REQUEST FAILED", selector);
    device->decReferences();
    return status;
}

OSStatus ZmAsioDriver::onStreamSetProperty(AudioStreamID streamID, const AudioTimeStamp* when, UInt32 channel,
                                           AudioDevicePropertyID selector, UInt32 size, const void* data)
{
    ZmOSXDevice* device = getDeviceAndRetainFromStreamID(streamID);
    if (device == nullptr)
        return kIOReturnNoDevice;
    const bool isInput = streamID == device->getInAudioStreamID();
    const OSStatus status = onDeviceSetProperty(device->getAudioDeviceID(), when, channel, isInput, selector, size, data);
    if (status != 0)
        tracerequest("******************** onStreamSetProperty REQUEST FAILED", selector);
    device->decReferences();
    return status;
}

OSStatus ZmAsioDriver::resolveObject(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                     UInt32 qualifierSize, const void* qualifier, ZmOSXDevice*& device, bool& isInput)
{
    device = nullptr;
    if (address == nullptr || qualifierSize != 0 || qualifier != nullptr)
        return kAudioHardwareUnspecifiedError;
    device = getDeviceAndRetain(objectID);
    if (device == nullptr)
        device = getDeviceAndRetainFromStreamID(objectID);
    if (device == nullptr)
        return kAudioHardwareBadObjectError;
    switch (address->mScope) {
    case kAudioObjectPropertyScopeGlobal:
    case kAudioObjectPropertyScopeWildcard:
        isInput = objectID == device->getInAudioStreamID();
        return 0;
    case kAudioDevicePropertyScopeInput:
        isInput = true;
        return 0;
    case kAudioDevicePropertyScopeOutput:
        isInput = false;
        return 0;
    default:
        device->decReferences();
        device = nullptr;
        return kAudioHardwareUnspecifiedError;
    }
}

Boolean ZmAsioDriver::onObjectHasProperty(AudioObjectID objectID, const AudioObjectPropertyAddress* address)
{
    ZmOSXDevice* device = nullptr;
    bool isInput = false;
    if (resolveObject(objectID, address, 0, nullptr, device, isInput) != 0)
        return false;
    bool has;
    {
        ZmOSXDevice::SettingsTurn turn(*device);
        has = getPropertyInfo(*device, address->mElement, isInput, address->mSelector, nullptr, nullptr) == 0;
    }
    device->decReferences();
    return has;
}

OSStatus ZmAsioDriver::onObjectIsPropertySettable(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                                  Boolean* outSettable)
{
    ZmOSXDevice* device = nullptr;
    bool isInput = false;
    if (const OSStatus status = resolveObject(objectID, address, 0, nullptr, device, isInput))
        return status;
    if (outSettable != nullptr)
        *outSettable = false;
    OSStatus status;
    {
        ZmOSXDevice::SettingsTurn turn(*device);
        status = getPropertyInfo(*device, address->mElement, isInput, address->mSelector, nullptr, outSettable);
    }
    if (status != 0)
        tracerequest("******************** ZmAsioDriver::onObjectIsPropertySettable REQUEST FAILED", address->mSelector);
    device->decReferences();
    return status;
}

OSStatus ZmAsioDriver::onObjectGetPropertyDataSize(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                                   UInt32 qualifierSize, const void* qualifier, UInt32* outSize)
{
    ZmOSXDevice* device = nullptr;
    bool isInput = false;
    if (const OSStatus status = resolveObject(objectID, address, qualifierSize, qualifier, device, isInput))
        return status;
    if (outSize != nullptr)
        *outSize = 0;
    OSStatus status;
    {
        ZmOSXDevice::SettingsTurn turn(*device);
        status = getPropertyInfo(*device, address->mElement, isInput, address->mSelector, outSize, nullptr);
    }
    if (status != 0)
        tracerequest("******************** ZmAsioDriver::onObjectGetPropertyDataSize REQUEST FAILED", address->mSelector);
    device->decReferences();
    return status;
}

OSStatus ZmAsioDriver::onObjectGetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                               UInt32 qualifierSize, const void* qualifier, UInt32* ioSize,
                                               void* outData)
{
    ZmOSXDevice* device = nullptr;
    bool isInput = false;
    if (const OSStatus status = resolveObject(objectID, address, qualifierSize, qualifier, device, isInput))
        return status;
    const OSStatus status =
        onDeviceGetProperty(device->getAudioDeviceID(), address->mElement, isInput, address->mSelector, ioSize, outData);
    if (status != 0)
        tracerequest("******************** ZmAsioDriver::onObjectGetPropertyData REQUEST FAILED", address->mSelector);
    device->decReferences();
    return status;
}

OSStatus ZmAsioDriver::onObjectSetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                               UInt32 qualifierSize, const void* qualifier, UInt32 size,
                                               const void* data)
{
    ZmOSXDevice* device = nullptr;
    bool isInput = false;
    if (const OSStatus status = resolveObject(objectID, address, qualifierSize, qualifier, device, isInput))
        return status;
    const OSStatus status = onDeviceSetProperty(device->getAudioDeviceID(), nullptr, address->mElement, isInput,
                                                address->mSelector, size, data);
    if (status != 0)
        tracerequest("******************** ZmAsioDriver::onObjectSetPropertyData REQUEST FAILED", address->mSelector);
    device->decReferences();
    return status;
}
