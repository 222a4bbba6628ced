#pragma once
// The selectors the plug-in's property table knows (halplugin/ZmAsioDriverProperties.cpp), with
// what kind of answer each gives, for the property sweep and the property fuzzer.
#include <CoreAudio/AudioHardware.h>

namespace propertycalls {

enum class Answer {
    Fixed,       // one value of the size the table reports: a shorter buffer is refused
    List,        // records of one size: as many as fit may be answered
    CFObject,    // a CFString or CFURL the caller releases
    Translation, // an AudioValueTranslation record the caller fills in
};

struct Selector {
    AudioObjectPropertySelector id;
    Answer answer;
    UInt32 record; // a List's record size
};

inline constexpr Selector kKnownSelectors[] = {
    {kAudioDevicePropertyAvailableNominalSampleRates, Answer::List, sizeof(AudioValueRange)},
    {kAudioDevicePropertyNominalSampleRate, Answer::Fixed, 0},
    {kAudioDevicePropertyActualSampleRate, Answer::Fixed, 0},
    {kAudioDevicePropertyStreamConfiguration, Answer::Fixed, 0},
    {kAudioDevicePropertyIOProcStreamUsage, Answer::Fixed, 0},
    {kAudioStreamPropertyPhysicalFormat, Answer::Fixed, 0},
    {kAudioDevicePropertyStreamFormat, Answer::Fixed, 0},
    {kAudioStreamPropertyPhysicalFormats, Answer::List, sizeof(AudioStreamBasicDescription)},
    {kAudioDevicePropertyStreamFormats, Answer::List, sizeof(AudioStreamBasicDescription)},
    {kAudioStreamPropertyAvailablePhysicalFormats, Answer::List, sizeof(AudioStreamRangedDescription)},
    {kAudioStreamPropertyAvailableVirtualFormats, Answer::List, sizeof(AudioStreamRangedDescription)},
    {kAudioDevicePropertyHogMode, Answer::Fixed, 0},
    {kAudioDevicePropertyBufferFrameSize, Answer::Fixed, 0},
    {kAudioDevicePropertyClockSource, Answer::Fixed, 0},
    {kAudioDevicePropertyBufferFrameSizeRange, Answer::Fixed, 0},
    {kAudioDevicePropertyBufferSizeRange, Answer::Fixed, 0},
    {kAudioDevicePropertyPreferredChannelsForStereo, Answer::Fixed, 0},
    {kAudioDevicePropertyDeviceName, Answer::Fixed, 0},
    {kAudioDevicePropertyDeviceManufacturer, Answer::Fixed, 0},
    {kAudioDevicePropertyDeviceNameCFString, Answer::CFObject, 0},
    {kAudioDevicePropertyDeviceManufacturerCFString, Answer::CFObject, 0},
    {kAudioDevicePropertyDeviceUID, Answer::CFObject, 0},
    {kAudioDevicePropertyModelUID, Answer::CFObject, 0},
    {kAudioDevicePropertyConfigurationApplication, Answer::CFObject, 0},
    {kAudioObjectPropertyListenerAdded, Answer::Fixed, 0},
    {kAudioObjectPropertyListenerRemoved, Answer::Fixed, 0},
    {kAudioDevicePropertyChannelNameCFString, Answer::CFObject, 0},
    {kAudioDevicePropertyIcon, Answer::CFObject, 0},
    {kAudioDevicePropertyClockSourceNameForID, Answer::Translation, 0},
    {kAudioDevicePropertyClockSourceNameForIDCFString, Answer::Translation, 0},
    {kAudioDevicePropertyDataSourceNameForID, Answer::Translation, 0},
    {kAudioDevicePropertyDataSourceNameForIDCFString, Answer::Translation, 0},
    {kAudioDevicePropertyDataSource, Answer::Fixed, 0},
    {kAudioDevicePropertyDataSources, Answer::Fixed, 0}, // all of them or none
    {kAudioDevicePropertyVolumeDecibelsToScalar, Answer::Fixed, 0},
    {kAudioDevicePropertyMute, Answer::Fixed, 0},
    {kAudioDevicePropertyVolumeScalar, Answer::Fixed, 0},
    {kAudioDevicePropertyVolumeDecibels, Answer::Fixed, 0},
    {kAudioDevicePropertyPlayThru, Answer::Fixed, 0},
    {kAudioDevicePropertyStreamFormatSupported, Answer::Fixed, 0},
    {kAudioDevicePropertyStreamFormatMatch, Answer::Fixed, 0},
    {kAudioDevicePropertyPreferredChannelLayout, Answer::Fixed, 0},
    {kAudioDevicePropertyStreams, Answer::Fixed, 0},
    {kAudioDevicePropertySafetyOffset, Answer::Fixed, 0},
    {kAudioDevicePropertyPlugIn, Answer::Fixed, 0},
    {kAudioDevicePropertyProcessorOverload, Answer::Fixed, 0},
    {kAudioDevicePropertyDeviceIsRunningSomewhere, Answer::Fixed, 0},
    {kAudioDevicePropertyDeviceIsRunning, Answer::Fixed, 0},
    {kAudioDevicePropertyDeviceIsAlive, Answer::Fixed, 0},
    {kAudioDevicePropertyClockSources, Answer::Fixed, 0},
    {kAudioDevicePropertyClockDomain, Answer::Fixed, 0},
    {kAudioDevicePropertyDeviceCanBeDefaultDevice, Answer::Fixed, 0},
    {kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, Answer::Fixed, 0},
    {kAudioDevicePropertyIsHidden, Answer::Fixed, 0},
    {kAudioDevicePropertyJackIsConnected, Answer::Fixed, 0},
    {kAudioDevicePropertySupportsMixing, Answer::Fixed, 0},
    {kAudioDevicePropertyRelatedDevices, Answer::Fixed, 0},
    {kAudioDevicePropertyBufferSize, Answer::Fixed, 0},
    {kAudioDevicePropertyLatency, Answer::Fixed, 0},
    {kAudioDevicePropertyTransportType, Answer::Fixed, 0},
    {kAudioStreamPropertyTerminalType, Answer::Fixed, 0},
    {kAudioStreamPropertyDirection, Answer::Fixed, 0},
    {kAudioStreamPropertyStartingChannel, Answer::Fixed, 0},
};

// Selectors the table does not know: none, everything, a wildcard and a near miss.
inline constexpr AudioObjectPropertySelector kUnknownSelectors[] = {0, 0xFFFFFFFFu, kAudioPropertyWildcardPropertyID,
                                                                    CAFourCC("nsrX"), CAFourCC("zzzz")};

// What a selector answers; Fixed for one the table does not know.
inline Selector describe(AudioObjectPropertySelector id)
{
    for (const Selector& s : kKnownSelectors)
        if (s.id == id)
            return s;
    return {id, Answer::Fixed, 0};
}

} // namespace propertycalls
