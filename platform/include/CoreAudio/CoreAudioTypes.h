// The records and constants CoreAudio shares between the HAL, its plug-ins and its clients,
// laid out as on the Mac.
#pragma once
#include <MacTypes.h>
#include <stddef.h>

// Four-character codes are the big-endian 32-bit value of their characters ("nsrt" is
// 0x6E737274). Multi-character literals would warn and are implementation-defined, so the
// constants are built with this helper.
constexpr FourCharCode CAFourCC(const char (&code)[5])
{
    return (FourCharCode(UInt8(code[0])) << 24) | (FourCharCode(UInt8(code[1])) << 16) |
        (FourCharCode(UInt8(code[2])) << 8) | FourCharCode(UInt8(code[3]));
}

static_assert(CAFourCC("nsrt") == 0x6E737274u);
static_assert(CAFourCC("lpcm") == 0x6C70636Du);
static_assert(CAFourCC("\xFF\x80\x01\x00") == 0xFF800100u); // characters count as unsigned

// ---------------------------------------------------------------------------------------------
// Value ranges and translations

struct AudioValueRange {
    Float64 mMinimum;
    Float64 mMaximum;
};
typedef struct AudioValueRange AudioValueRange;
static_assert(sizeof(AudioValueRange) == 16);

// Holds pointers: 32 bytes in a 64-bit process (16 in the 32-bit one).
struct AudioValueTranslation {
    void* mInputData;
    UInt32 mInputDataSize;
    void* mOutputData;
    UInt32 mOutputDataSize;
};
typedef struct AudioValueTranslation AudioValueTranslation;
static_assert(sizeof(void*) != 8 || sizeof(AudioValueTranslation) == 32);

// ---------------------------------------------------------------------------------------------
// Buffers

// Holds a pointer: 16 bytes in a 64-bit process (12 in the 32-bit one).
struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
};
typedef struct AudioBuffer AudioBuffer;
static_assert(offsetof(AudioBuffer, mData) == 8);
static_assert(sizeof(void*) != 8 || sizeof(AudioBuffer) == 16);

// Variable length: allocate offsetof(AudioBufferList, mBuffers) + n * sizeof(AudioBuffer).
// 24 bytes with one buffer in a 64-bit process (the buffers are pointer-aligned).
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};
typedef struct AudioBufferList AudioBufferList;
static_assert(offsetof(AudioBufferList, mBuffers) == alignof(AudioBuffer));
static_assert(sizeof(void*) != 8 || sizeof(AudioBufferList) == 24);

typedef Float32 AudioSampleType;

// ---------------------------------------------------------------------------------------------
// Stream formats

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    UInt32 mFormatID;
    UInt32 mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};
typedef struct AudioStreamBasicDescription AudioStreamBasicDescription;
static_assert(sizeof(AudioStreamBasicDescription) == 40);
static_assert(offsetof(AudioStreamBasicDescription, mFormatID) == 8);
static_assert(offsetof(AudioStreamBasicDescription, mBitsPerChannel) == 32);
static_assert(offsetof(AudioStreamBasicDescription, mBytesPerPacket) == 16);
static_assert(offsetof(AudioStreamBasicDescription, mChannelsPerFrame) == 28);
static_assert(offsetof(AudioStreamBasicDescription, mReserved) == 36);

constexpr Float64 kAudioStreamAnyRate = 0.0;

constexpr UInt32 kAudioFormatLinearPCM = CAFourCC("lpcm");

constexpr UInt32 kAudioFormatFlagIsFloat = 1u << 0;
constexpr UInt32 kAudioFormatFlagIsBigEndian = 1u << 1;
constexpr UInt32 kAudioFormatFlagIsSignedInteger = 1u << 2;
constexpr UInt32 kAudioFormatFlagIsPacked = 1u << 3;
constexpr UInt32 kAudioFormatFlagIsAlignedHigh = 1u << 4;
constexpr UInt32 kAudioFormatFlagIsNonInterleaved = 1u << 5;
constexpr UInt32 kAudioFormatFlagIsNonMixable = 1u << 6;
constexpr UInt32 kAudioFormatFlagsAreAllClear = 1u << 31;

constexpr UInt32 kLinearPCMFormatFlagIsFloat = kAudioFormatFlagIsFloat;
constexpr UInt32 kLinearPCMFormatFlagIsBigEndian = kAudioFormatFlagIsBigEndian;
constexpr UInt32 kLinearPCMFormatFlagIsSignedInteger = kAudioFormatFlagIsSignedInteger;
constexpr UInt32 kLinearPCMFormatFlagIsPacked = kAudioFormatFlagIsPacked;
constexpr UInt32 kLinearPCMFormatFlagIsAlignedHigh = kAudioFormatFlagIsAlignedHigh;
constexpr UInt32 kLinearPCMFormatFlagIsNonInterleaved = kAudioFormatFlagIsNonInterleaved;
constexpr UInt32 kLinearPCMFormatFlagIsNonMixable = kAudioFormatFlagIsNonMixable;
constexpr UInt32 kLinearPCMFormatFlagsAreAllClear = kAudioFormatFlagsAreAllClear;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr UInt32 kAudioFormatFlagsNativeEndian = kAudioFormatFlagIsBigEndian;
#else
constexpr UInt32 kAudioFormatFlagsNativeEndian = 0;
#endif
constexpr UInt32 kAudioFormatFlagsCanonical =
    kAudioFormatFlagIsFloat | kAudioFormatFlagsNativeEndian | kAudioFormatFlagIsPacked;
constexpr UInt32 kAudioFormatFlagsNativeFloatPacked =
    kAudioFormatFlagIsFloat | kAudioFormatFlagsNativeEndian | kAudioFormatFlagIsPacked;
// The device layer writes these values into the formats it describes.
static_assert(kAudioFormatFlagIsFloat == 1u && kAudioFormatFlagIsSignedInteger == 4u);
static_assert(kAudioFormatFlagsNativeEndian != 0 || kAudioFormatFlagsNativeFloatPacked == 9u);

// ---------------------------------------------------------------------------------------------
// Time stamps

struct SMPTETime {
    SInt16 mSubframes;
    SInt16 mSubframeDivisor;
    UInt32 mCounter;
    UInt32 mType;
    UInt32 mFlags;
    SInt16 mHours;
    SInt16 mMinutes;
    SInt16 mSeconds;
    SInt16 mFrames;
};
typedef struct SMPTETime SMPTETime;
static_assert(sizeof(SMPTETime) == 24);

constexpr UInt32 kSMPTETimeType24 = 0;
constexpr UInt32 kSMPTETimeType25 = 1;
constexpr UInt32 kSMPTETimeType30Drop = 2;
constexpr UInt32 kSMPTETimeType30 = 3;
constexpr UInt32 kSMPTETimeType2997 = 4;
constexpr UInt32 kSMPTETimeType2997Drop = 5;

constexpr UInt32 kSMPTETimeValid = 1u << 0;
constexpr UInt32 kSMPTETimeRunning = 1u << 1;

struct AudioTimeStamp {
    Float64 mSampleTime;
    UInt64 mHostTime;
    Float64 mRateScalar;
    UInt64 mWordClockTime;
    SMPTETime mSMPTETime;
    UInt32 mFlags;
    UInt32 mReserved;
};
typedef struct AudioTimeStamp AudioTimeStamp;
static_assert(sizeof(AudioTimeStamp) == 64);
static_assert(offsetof(AudioTimeStamp, mSMPTETime) == 32);
static_assert(offsetof(AudioTimeStamp, mFlags) == 56);
static_assert(offsetof(AudioTimeStamp, mHostTime) == 8);
static_assert(offsetof(AudioTimeStamp, mRateScalar) == 16);
static_assert(offsetof(AudioTimeStamp, mWordClockTime) == 24);
static_assert(offsetof(SMPTETime, mHours) == 16);

constexpr UInt32 kAudioTimeStampSampleTimeValid = 1u << 0;
constexpr UInt32 kAudioTimeStampHostTimeValid = 1u << 1;
constexpr UInt32 kAudioTimeStampRateScalarValid = 1u << 2;
constexpr UInt32 kAudioTimeStampWordClockTimeValid = 1u << 3;
constexpr UInt32 kAudioTimeStampSMPTETimeValid = 1u << 4;
constexpr UInt32 kAudioTimeStampSampleHostTimeValid =
    kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
// The I/O thread marks its time stamps 7: sample time, host time and rate scalar.
static_assert((kAudioTimeStampSampleHostTimeValid | kAudioTimeStampRateScalarValid) == 7u);

// ---------------------------------------------------------------------------------------------
// Channel layouts

typedef UInt32 AudioChannelLabel;
typedef UInt32 AudioChannelLayoutTag;
typedef UInt32 AudioChannelBitmap;
typedef UInt32 AudioChannelFlags;

struct AudioChannelDescription {
    AudioChannelLabel mChannelLabel;
    AudioChannelFlags mChannelFlags;
    Float32 mCoordinates[3];
};
typedef struct AudioChannelDescription AudioChannelDescription;
static_assert(sizeof(AudioChannelDescription) == 20);
static_assert(offsetof(AudioChannelDescription, mCoordinates) == 8);

// Variable length: offsetof(AudioChannelLayout, mChannelDescriptions) + n * 20 bytes.
struct AudioChannelLayout {
    AudioChannelLayoutTag mChannelLayoutTag;
    AudioChannelBitmap mChannelBitmap;
    UInt32 mNumberChannelDescriptions;
    AudioChannelDescription mChannelDescriptions[1];
};
typedef struct AudioChannelLayout AudioChannelLayout;
static_assert(offsetof(AudioChannelLayout, mChannelDescriptions) == 12);
static_assert(sizeof(AudioChannelLayout) == 32);

constexpr AudioChannelLabel kAudioChannelLabel_Unknown = 0xFFFFFFFFu;
constexpr AudioChannelLabel kAudioChannelLabel_Unused = 0;
constexpr AudioChannelLabel kAudioChannelLabel_UseCoordinates = 100;
constexpr AudioChannelLabel kAudioChannelLabel_Left = 1;
constexpr AudioChannelLabel kAudioChannelLabel_Right = 2;
constexpr AudioChannelLabel kAudioChannelLabel_Center = 3;
constexpr AudioChannelLabel kAudioChannelLabel_LFEScreen = 4;
constexpr AudioChannelLabel kAudioChannelLabel_LeftSurround = 5;
constexpr AudioChannelLabel kAudioChannelLabel_RightSurround = 6;

constexpr AudioChannelFlags kAudioChannelFlags_AllOff = 0;
constexpr AudioChannelFlags kAudioChannelFlags_RectangularCoordinates = 1u << 0;
constexpr AudioChannelFlags kAudioChannelFlags_SphericalCoordinates = 1u << 1;
constexpr AudioChannelFlags kAudioChannelFlags_Meters = 1u << 2;

constexpr AudioChannelLayoutTag kAudioChannelLayoutTag_UseChannelDescriptions = (0u << 16) | 0;
constexpr AudioChannelLayoutTag kAudioChannelLayoutTag_UseChannelBitmap = (1u << 16) | 0;
constexpr AudioChannelLayoutTag kAudioChannelLayoutTag_Mono = (100u << 16) | 1;
constexpr AudioChannelLayoutTag kAudioChannelLayoutTag_Stereo = (101u << 16) | 2;
