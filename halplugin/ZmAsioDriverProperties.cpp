// The device and stream properties: every call ends in the table of one device and direction.
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cmath>
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

OSStatus ZmAsioDriver::getPropertyInfo(ZmOSXDevice& device, UInt32, bool isInput, AudioDevicePropertyID selector,
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

OSStatus ZmAsioDriver::getProperty(ZmOSXDevice& device, UInt32, bool isInput, AudioDevicePropertyID selector,
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
    default:
        tracerequest("******************** onDeviceGetProperty NOT IMPLEMENTED", selector);
        return kWho;
    }
}

OSStatus ZmAsioDriver::setProperty(ZmOSXDevice& device, UInt32, bool isInput, AudioDevicePropertyID selector,
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
    case kAudioDevicePropertyClockSource:
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
        return getPropertyInfo(d, channel, isInput != 0, selector, outSize, outWritable);
    });
}

OSStatus ZmAsioDriver::onDeviceGetProperty(AudioDeviceID deviceID, UInt32 channel, Boolean isInput,
                                           AudioDevicePropertyID selector, UInt32* ioSize, void* outData)
{
    return withDevice(deviceID, [&](ZmOSXDevice& d) {
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
    return withDevice(deviceID, [&](ZmOSXDevice& d) { return setProperty(d, channel, isInput != 0, selector, size, data); });
}

OSStatus ZmAsioDriver::onStreamGetPropertyInfo(AudioStreamID streamID, UInt32 channel,
                                               AudioDevicePropertyID selector, UInt32* outSize, Boolean* outWritable)
{
    ZmOSXDevice* device = getDeviceAndRetainFromStreamID(streamID);
    if (device == nullptr)
        return kIOReturnNoDevice;
    const bool isInput = streamID == device->getInAudioStreamID();
    const OSStatus status = getPropertyInfo(*device, channel, isInput, selector, outSize, outWritable);
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
    const bool has = getPropertyInfo(*device, address->mElement, isInput, address->mSelector, nullptr, nullptr) == 0;
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
    const OSStatus status = getPropertyInfo(*device, address->mElement, isInput, address->mSelector, nullptr, outSettable);
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
    const OSStatus status = getPropertyInfo(*device, address->mElement, isInput, address->mSelector, outSize, nullptr);
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
