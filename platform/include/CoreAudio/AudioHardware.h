// The HAL's objects, property selectors, error codes and IOProc records, with the values and
// layouts of the Mac, and the hardware property listener calls.
#pragma once
#include <CoreAudio/CoreAudioTypes.h>

// ---------------------------------------------------------------------------------------------
// Objects and property addresses

typedef UInt32 AudioObjectID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};
typedef struct AudioObjectPropertyAddress AudioObjectPropertyAddress;
static_assert(sizeof(AudioObjectPropertyAddress) == 12);
static_assert(offsetof(AudioObjectPropertyAddress, mElement) == 8);

typedef AudioObjectPropertySelector AudioHardwarePropertyID;
typedef AudioObjectID AudioDeviceID;
typedef AudioObjectPropertySelector AudioDevicePropertyID;
typedef AudioObjectID AudioStreamID;
typedef AudioObjectPropertySelector AudioStreamPropertyID;

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;
constexpr AudioDeviceID kAudioDeviceUnknown = kAudioObjectUnknown;
constexpr AudioStreamID kAudioStreamUnknown = kAudioObjectUnknown;

constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = CAFourCC("glob");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMaster = 0;
constexpr AudioObjectPropertySelector kAudioObjectPropertySelectorWildcard = CAFourCC("****");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeWildcard = CAFourCC("****");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementWildcard = 0xFFFFFFFFu;
constexpr AudioClassID kAudioObjectClassIDWildcard = CAFourCC("****");

constexpr AudioDevicePropertyID kAudioPropertyWildcardPropertyID =
    kAudioObjectPropertySelectorWildcard;
constexpr UInt32 kAudioPropertyWildcardChannel = kAudioObjectPropertyElementWildcard;
constexpr UInt8 kAudioPropertyWildcardSection = 0xFF;

constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeInput = CAFourCC("inpt");
constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeOutput = CAFourCC("outp");
constexpr AudioObjectPropertyScope kAudioDevicePropertyScopePlayThrough = CAFourCC("ptru");

constexpr AudioClassID kAudioObjectClassID = CAFourCC("aobj");
constexpr AudioClassID kAudioSystemObjectClassID = CAFourCC("asys");
constexpr AudioClassID kAudioPlugInClassID = CAFourCC("apin");
constexpr AudioClassID kAudioDeviceClassID = CAFourCC("adev");
constexpr AudioClassID kAudioStreamClassID = CAFourCC("astr");

// Properties every object has.
constexpr AudioObjectPropertySelector kAudioObjectPropertyClass = CAFourCC("clas");
constexpr AudioObjectPropertySelector kAudioObjectPropertyOwner = CAFourCC("stdv");
constexpr AudioObjectPropertySelector kAudioObjectPropertyCreator = CAFourCC("oplg");
constexpr AudioObjectPropertySelector kAudioObjectPropertyName = CAFourCC("lnam");
constexpr AudioObjectPropertySelector kAudioObjectPropertyManufacturer = CAFourCC("lmak");
constexpr AudioObjectPropertySelector kAudioObjectPropertyElementName = CAFourCC("lchn");
constexpr AudioObjectPropertySelector kAudioObjectPropertyElementCategoryName = CAFourCC("lccn");
constexpr AudioObjectPropertySelector kAudioObjectPropertyElementNumberName = CAFourCC("lcnn");
constexpr AudioObjectPropertySelector kAudioObjectPropertyListenerAdded = CAFourCC("lisa");
constexpr AudioObjectPropertySelector kAudioObjectPropertyListenerRemoved = CAFourCC("lisr");

// ---------------------------------------------------------------------------------------------
// Error codes

constexpr OSStatus kAudioHardwareNoError = 0;
constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(CAFourCC("stop"));
constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(CAFourCC("what"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(CAFourCC("who?"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(CAFourCC("!siz"));
constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(CAFourCC("nope"));
constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(CAFourCC("!obj"));
constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(CAFourCC("!dev"));
constexpr OSStatus kAudioHardwareBadStreamError = OSStatus(CAFourCC("!str"));
constexpr OSStatus kAudioHardwareUnsupportedOperationError = OSStatus(CAFourCC("unop"));
constexpr OSStatus kAudioDeviceUnsupportedFormatError = OSStatus(CAFourCC("!dat"));
constexpr OSStatus kAudioDevicePermissionsError = OSStatus(CAFourCC("!hog"));
static_assert(kAudioHardwareNotRunningError == 0x73746F70 && kAudioDevicePermissionsError == 0x21686F67);

// ---------------------------------------------------------------------------------------------
// Properties of the system object

constexpr AudioHardwarePropertyID kAudioHardwarePropertyProcessIsMaster = CAFourCC("mast");
constexpr AudioHardwarePropertyID kAudioHardwarePropertyIsInitingOrExiting = CAFourCC("inot");
constexpr AudioHardwarePropertyID kAudioHardwarePropertyDevices = CAFourCC("dev#");
constexpr AudioHardwarePropertyID kAudioHardwarePropertyDefaultInputDevice = CAFourCC("dIn ");
constexpr AudioHardwarePropertyID kAudioHardwarePropertyDefaultOutputDevice = CAFourCC("dOut");
constexpr AudioHardwarePropertyID kAudioHardwarePropertyDefaultSystemOutputDevice =
    CAFourCC("sOut");
constexpr AudioHardwarePropertyID kAudioHardwarePropertyDeviceForUID = CAFourCC("duid");
constexpr AudioHardwarePropertyID kAudioHardwarePropertyPlugInForBundleID = CAFourCC("pibi");
constexpr AudioHardwarePropertyID kAudioHardwarePropertyRunLoop = CAFourCC("rnlp");
constexpr AudioHardwarePropertyID kAudioHardwarePropertySleepingIsAllowed = CAFourCC("slep");
constexpr AudioHardwarePropertyID kAudioHardwarePropertyUnloadingIsAllowed = CAFourCC("unld");

// ---------------------------------------------------------------------------------------------
// Properties of devices

constexpr AudioDevicePropertyID kAudioDevicePropertyPlugIn = CAFourCC("plug");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceHasChanged = CAFourCC("diff");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceIsRunningSomewhere = CAFourCC("gone");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceIsAlive = CAFourCC("livn");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceIsRunning = CAFourCC("goin");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceCanBeDefaultDevice = CAFourCC("dflt");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceCanBeDefaultSystemDevice =
    CAFourCC("sflt");
constexpr AudioDevicePropertyID kAudioDevicePropertyProcessorOverload = CAFourCC("over");
constexpr AudioDevicePropertyID kAudioDevicePropertyHogMode = CAFourCC("oink");
constexpr AudioDevicePropertyID kAudioDevicePropertyLatency = CAFourCC("ltnc");
constexpr AudioDevicePropertyID kAudioDevicePropertyBufferFrameSize = CAFourCC("fsiz");
constexpr AudioDevicePropertyID kAudioDevicePropertyBufferFrameSizeRange = CAFourCC("fsz#");
constexpr AudioDevicePropertyID kAudioDevicePropertyUsesVariableBufferFrameSizes =
    CAFourCC("vfsz");
constexpr AudioDevicePropertyID kAudioDevicePropertyBufferSize = CAFourCC("bsiz");
constexpr AudioDevicePropertyID kAudioDevicePropertyBufferSizeRange = CAFourCC("bsz#");
constexpr AudioDevicePropertyID kAudioDevicePropertyStreams = CAFourCC("stm#");
constexpr AudioDevicePropertyID kAudioDevicePropertySafetyOffset = CAFourCC("saft");
constexpr AudioDevicePropertyID kAudioDevicePropertyIOCycleUsage = CAFourCC("ncyc");
constexpr AudioDevicePropertyID kAudioDevicePropertyStreamConfiguration = CAFourCC("slay");
constexpr AudioDevicePropertyID kAudioDevicePropertyIOProcStreamUsage = CAFourCC("suse");
constexpr AudioDevicePropertyID kAudioDevicePropertyPreferredChannelsForStereo =
    CAFourCC("dch2");
constexpr AudioDevicePropertyID kAudioDevicePropertyPreferredChannelLayout = CAFourCC("srnd");
constexpr AudioDevicePropertyID kAudioDevicePropertyNominalSampleRate = CAFourCC("nsrt");
constexpr AudioDevicePropertyID kAudioDevicePropertyAvailableNominalSampleRates =
    CAFourCC("nsr#");
constexpr AudioDevicePropertyID kAudioDevicePropertyActualSampleRate = CAFourCC("asrt");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceUID = CAFourCC("uid ");
constexpr AudioDevicePropertyID kAudioDevicePropertyModelUID = CAFourCC("muid");
constexpr AudioDevicePropertyID kAudioDevicePropertyTransportType = CAFourCC("tran");
constexpr AudioDevicePropertyID kAudioDevicePropertyRelatedDevices = CAFourCC("akin");
constexpr AudioDevicePropertyID kAudioDevicePropertyClockDomain = CAFourCC("clkd");
constexpr AudioDevicePropertyID kAudioDevicePropertyConfigurationApplication = CAFourCC("capp");
constexpr AudioDevicePropertyID kAudioDevicePropertyIsHidden = CAFourCC("hidn");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceName = CAFourCC("name");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceNameCFString = kAudioObjectPropertyName;
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceManufacturer = CAFourCC("makr");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceManufacturerCFString =
    kAudioObjectPropertyManufacturer;
constexpr AudioDevicePropertyID kAudioDevicePropertyRegisterBufferList = CAFourCC("rbuf");
constexpr AudioDevicePropertyID kAudioDevicePropertyChannelName = CAFourCC("chnm");
constexpr AudioDevicePropertyID kAudioDevicePropertyChannelNameCFString =
    kAudioObjectPropertyElementName;
constexpr AudioDevicePropertyID kAudioDevicePropertyChannelCategoryName = CAFourCC("ccnm");
constexpr AudioDevicePropertyID kAudioDevicePropertyChannelCategoryNameCFString =
    kAudioObjectPropertyElementCategoryName;
constexpr AudioDevicePropertyID kAudioDevicePropertyChannelNumberName = CAFourCC("cnnm");
constexpr AudioDevicePropertyID kAudioDevicePropertyChannelNumberNameCFString =
    kAudioObjectPropertyElementNumberName;
constexpr AudioDevicePropertyID kAudioDevicePropertySupportsMixing = CAFourCC("mix?");
constexpr AudioDevicePropertyID kAudioDevicePropertyStreamFormat = CAFourCC("sfmt");
constexpr AudioDevicePropertyID kAudioDevicePropertyStreamFormats = CAFourCC("sfm#");
constexpr AudioDevicePropertyID kAudioDevicePropertyStreamFormatSupported = CAFourCC("sfm?");
constexpr AudioDevicePropertyID kAudioDevicePropertyStreamFormatMatch = CAFourCC("sfmm");
constexpr AudioDevicePropertyID kAudioDevicePropertyIcon = CAFourCC("icon");
constexpr AudioDevicePropertyID kAudioDevicePropertyJackIsConnected = CAFourCC("jack");
constexpr AudioDevicePropertyID kAudioDevicePropertyVolumeScalar = CAFourCC("volm");
constexpr AudioDevicePropertyID kAudioDevicePropertyVolumeDecibels = CAFourCC("vold");
constexpr AudioDevicePropertyID kAudioDevicePropertyVolumeRangeDecibels = CAFourCC("vdb#");
constexpr AudioDevicePropertyID kAudioDevicePropertyVolumeScalarToDecibels = CAFourCC("v2db");
constexpr AudioDevicePropertyID kAudioDevicePropertyVolumeDecibelsToScalar = CAFourCC("db2v");
constexpr AudioDevicePropertyID kAudioDevicePropertyStereoPan = CAFourCC("span");
constexpr AudioDevicePropertyID kAudioDevicePropertyStereoPanChannels = CAFourCC("spn#");
constexpr AudioDevicePropertyID kAudioDevicePropertyMute = CAFourCC("mute");
constexpr AudioDevicePropertyID kAudioDevicePropertySolo = CAFourCC("solo");
constexpr AudioDevicePropertyID kAudioDevicePropertyPlayThru = CAFourCC("thru");
constexpr AudioDevicePropertyID kAudioDevicePropertyPlayThruSolo = CAFourCC("thrs");
constexpr AudioDevicePropertyID kAudioDevicePropertyPlayThruVolumeScalar = CAFourCC("mvsc");
constexpr AudioDevicePropertyID kAudioDevicePropertyPlayThruVolumeDecibels = CAFourCC("mvdb");
constexpr AudioDevicePropertyID kAudioDevicePropertyDataSource = CAFourCC("ssrc");
constexpr AudioDevicePropertyID kAudioDevicePropertyDataSources = CAFourCC("ssc#");
constexpr AudioDevicePropertyID kAudioDevicePropertyDataSourceNameForID = CAFourCC("sscn");
constexpr AudioDevicePropertyID kAudioDevicePropertyDataSourceNameForIDCFString =
    CAFourCC("lscn");
constexpr AudioDevicePropertyID kAudioDevicePropertyClockSource = CAFourCC("csrc");
constexpr AudioDevicePropertyID kAudioDevicePropertyClockSources = CAFourCC("csc#");
constexpr AudioDevicePropertyID kAudioDevicePropertyClockSourceNameForID = CAFourCC("cscn");
constexpr AudioDevicePropertyID kAudioDevicePropertyClockSourceNameForIDCFString =
    CAFourCC("lcsn");

// Transport types ("tran").
constexpr UInt32 kAudioDeviceTransportTypeUnknown = 0;
constexpr UInt32 kAudioDeviceTransportTypeBuiltIn = CAFourCC("bltn");
constexpr UInt32 kAudioDeviceTransportTypeAggregate = CAFourCC("grup");
constexpr UInt32 kAudioDeviceTransportTypeVirtual = CAFourCC("virt");
constexpr UInt32 kAudioDeviceTransportTypePCI = CAFourCC("pci ");
constexpr UInt32 kAudioDeviceTransportTypeUSB = CAFourCC("usb ");
constexpr UInt32 kAudioDeviceTransportTypeFireWire = CAFourCC("1394");
constexpr UInt32 kAudioDeviceTransportTypeBluetooth = CAFourCC("blue");

// Flags of the start-at-time calls.
constexpr UInt32 kAudioDeviceStartTimeIsInputFlag = 1u << 0;
constexpr UInt32 kAudioDeviceStartTimeDontConsultDeviceFlag = 1u << 1;
constexpr UInt32 kAudioDeviceStartTimeDontConsultHALFlag = 1u << 2;

// ---------------------------------------------------------------------------------------------
// Properties of streams

constexpr AudioStreamPropertyID kAudioStreamPropertyDirection = CAFourCC("sdir");
constexpr AudioStreamPropertyID kAudioStreamPropertyTerminalType = CAFourCC("term");
constexpr AudioStreamPropertyID kAudioStreamPropertyStartingChannel = CAFourCC("schn");
constexpr AudioStreamPropertyID kAudioStreamPropertyLatency = kAudioDevicePropertyLatency;
constexpr AudioStreamPropertyID kAudioStreamPropertyOwningDevice = kAudioObjectPropertyOwner;
constexpr AudioStreamPropertyID kAudioStreamPropertyVirtualFormat =
    kAudioDevicePropertyStreamFormat;
constexpr AudioStreamPropertyID kAudioStreamPropertyAvailableVirtualFormats = CAFourCC("sfma");
constexpr AudioStreamPropertyID kAudioStreamPropertyPhysicalFormat = CAFourCC("pft ");
constexpr AudioStreamPropertyID kAudioStreamPropertyPhysicalFormats = CAFourCC("pft#");
constexpr AudioStreamPropertyID kAudioStreamPropertyAvailablePhysicalFormats = CAFourCC("pfta");
constexpr AudioStreamPropertyID kAudioStreamPropertyPhysicalFormatSupported = CAFourCC("pft?");
constexpr AudioStreamPropertyID kAudioStreamPropertyPhysicalFormatMatch = CAFourCC("pftm");

// A format with the range of rates it supports.
struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
};
typedef struct AudioStreamRangedDescription AudioStreamRangedDescription;
static_assert(sizeof(AudioStreamRangedDescription) == 56);
static_assert(offsetof(AudioStreamRangedDescription, mSampleRateRange) == 40);

// ---------------------------------------------------------------------------------------------
// IOProcs

typedef OSStatus (*AudioDeviceIOProc)(AudioDeviceID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData,
                                      const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData,
                                      const AudioTimeStamp* inOutputTime, void* inClientData);
typedef AudioDeviceIOProc AudioDeviceIOProcID;

// Which streams an IOProc uses ("suse"). Variable length; holds a pointer, so it is
// 16 bytes with one stream in a 64-bit process (12 in the 32-bit one): size it with
// offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn) + n * sizeof(UInt32).
struct AudioHardwareIOProcStreamUsage {
    void* mIOProc;
    UInt32 mNumberStreams;
    UInt32 mStreamIsOn[1];
};
typedef struct AudioHardwareIOProcStreamUsage AudioHardwareIOProcStreamUsage;
static_assert(offsetof(AudioHardwareIOProcStreamUsage, mNumberStreams) == sizeof(void*));
static_assert(sizeof(void*) != 8 || sizeof(AudioHardwareIOProcStreamUsage) == 16);

// ---------------------------------------------------------------------------------------------
// Listeners of the system object's properties

typedef OSStatus (*AudioHardwarePropertyListenerProc)(AudioHardwarePropertyID inPropertyID,
                                                      void* inClientData);

#ifdef __cplusplus
extern "C" {
#endif

// A listener is one (property, proc) pair; adding it again only replaces its client data.
// kAudioPropertyWildcardPropertyID listens to every property. Listeners are called on the HAL's
// notification thread (never on an I/O thread), with no lock held, and their result is ignored.
// In a program that links the HAL, adding a listener loads the plug-ins as any client call does.
OSStatus AudioHardwareAddPropertyListener(AudioHardwarePropertyID inPropertyID,
                                          AudioHardwarePropertyListenerProc inProc,
                                          void* inClientData);
// kAudioHardwareIllegalOperationError when the pair was not registered.
OSStatus AudioHardwareRemovePropertyListener(AudioHardwarePropertyID inPropertyID,
                                             AudioHardwarePropertyListenerProc inProc);

#ifdef __cplusplus
}
#endif

// ---------------------------------------------------------------------------------------------
// The client calls: what an application uses to reach the devices of the HAL's plug-ins. The
// first call loads the plug-ins of the plug-in folder and initialises them on the HAL's own
// thread. Devices and streams are named by the object IDs the HAL hands out (never 0, never
// reused in a process); an ID that names no live object answers kAudioHardwareBadDeviceError,
// kAudioHardwareBadStreamError or kAudioHardwareBadObjectError, an unknown system property
// kAudioHardwareUnknownPropertyError, a null pointer where one is needed
// kAudioHardwareIllegalOperationError (the size and writable answers of the ...GetPropertyInfo
// calls are optional), a table entry the plug-in does not offer
// kAudioHardwareUnsupportedOperationError. Device and stream calls are answered by the plug-in
// that owns the object, with its status. Every listener below is called on the HAL's
// notification thread, in the order the changes were reported; removing a listener that was not
// added answers kAudioHardwareIllegalOperationError.

typedef OSStatus (*AudioDevicePropertyListenerProc)(AudioDeviceID inDevice, UInt32 inChannel,
                                                    Boolean isInput,
                                                    AudioDevicePropertyID inPropertyID,
                                                    void* inClientData);
typedef OSStatus (*AudioStreamPropertyListenerProc)(AudioStreamID inStream, UInt32 inChannel,
                                                    AudioDevicePropertyID inPropertyID,
                                                    void* inClientData);
typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID,
                                                    UInt32 inNumberAddresses,
                                                    const AudioObjectPropertyAddress inAddresses[],
                                                    void* inClientData);

#ifdef __cplusplus
extern "C" {
#endif

// The system object (kAudioObjectSystemObject): "dev#" (the device IDs, as many as the buffer
// holds), "dIn ", "dOut" and "sOut" (the default devices, settable to a live device with a stream
// of that direction), "duid" (an AudioValueTranslation from a CFString UID to a device ID,
// kAudioDeviceUnknown when no device has it).
OSStatus AudioHardwareGetPropertyInfo(AudioHardwarePropertyID inPropertyID, UInt32* outSize,
                                      Boolean* outWritable);
OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                  void* outPropertyData);
OSStatus AudioHardwareSetProperty(AudioHardwarePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                  const void* inPropertyData);
// Tears every plug-in down, releases and unloads it, and stops the HAL's threads; the next
// client call loads them again. Not to be called while other threads make client calls; on one
// of the HAL's own threads (from a listener) it answers kAudioHardwareIllegalOperationError. A
// program that does not unload is unloaded at exit.
OSStatus AudioHardwareUnload(void);

OSStatus AudioDeviceAddIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc, void* inClientData);
OSStatus AudioDeviceRemoveIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc);
OSStatus AudioDeviceCreateIOProcID(AudioDeviceID inDevice, AudioDeviceIOProc inProc,
                                   void* inClientData, AudioDeviceIOProcID* outIOProcID);
OSStatus AudioDeviceDestroyIOProcID(AudioDeviceID inDevice, AudioDeviceIOProcID inIOProcID);
OSStatus AudioDeviceStart(AudioDeviceID inDevice, AudioDeviceIOProc inProc);
OSStatus AudioDeviceStop(AudioDeviceID inDevice, AudioDeviceIOProc inProc);
OSStatus AudioDeviceGetCurrentTime(AudioDeviceID inDevice, AudioTimeStamp* outTime);
OSStatus AudioDeviceTranslateTime(AudioDeviceID inDevice, const AudioTimeStamp* inTime,
                                  AudioTimeStamp* outTime);

OSStatus AudioDeviceGetPropertyInfo(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                    AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                    Boolean* outWritable);
OSStatus AudioDeviceGetProperty(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                void* outPropertyData);
OSStatus AudioDeviceSetProperty(AudioDeviceID inDevice, const AudioTimeStamp* inWhen,
                                UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                const void* inPropertyData);
// A device listener is one (device, channel, direction, property, proc) entry; the wildcard
// channel and property match every one.
OSStatus AudioDeviceAddPropertyListener(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                        AudioDevicePropertyID inPropertyID,
                                        AudioDevicePropertyListenerProc inProc, void* inClientData);
OSStatus AudioDeviceRemovePropertyListener(AudioDeviceID inDevice, UInt32 inChannel,
                                           Boolean isInput, AudioDevicePropertyID inPropertyID,
                                           AudioDevicePropertyListenerProc inProc);

OSStatus AudioStreamGetPropertyInfo(AudioStreamID inStream, UInt32 inChannel,
                                    AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                    Boolean* outWritable);
OSStatus AudioStreamGetProperty(AudioStreamID inStream, UInt32 inChannel,
                                AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                void* outPropertyData);
OSStatus AudioStreamSetProperty(AudioStreamID inStream, const AudioTimeStamp* inWhen,
                                UInt32 inChannel, AudioDevicePropertyID inPropertyID,
                                UInt32 inPropertyDataSize, const void* inPropertyData);
OSStatus AudioStreamAddPropertyListener(AudioStreamID inStream, UInt32 inChannel,
                                        AudioDevicePropertyID inPropertyID,
                                        AudioStreamPropertyListenerProc inProc, void* inClientData);
OSStatus AudioStreamRemovePropertyListener(AudioStreamID inStream, UInt32 inChannel,
                                           AudioDevicePropertyID inPropertyID,
                                           AudioStreamPropertyListenerProc inProc);

// The object calls. On the system object they answer the system properties above (global
// scope, master element); on devices and streams they go to the plug-in's object entries.
void AudioObjectShow(AudioObjectID inObjectID);
Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress);
OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable);
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData);
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData);
// A listener is one (object, address, proc, client data) entry; the address's wildcards match
// every selector, scope or element. The listener gets the address that changed.
OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData);
OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData);

#ifdef __cplusplus
}
#endif
