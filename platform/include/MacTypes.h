// Basic Mac types, as the suite's code expects them.
#pragma once
#include <stdint.h>

typedef uint8_t  UInt8;
typedef int8_t   SInt8;
typedef uint16_t UInt16;
typedef int16_t  SInt16;
typedef uint32_t UInt32;
typedef int32_t  SInt32;
typedef uint64_t UInt64;
typedef int64_t  SInt64;
typedef float    Float32;
typedef double   Float64;
typedef unsigned char Boolean;
typedef SInt32   OSStatus;
typedef SInt16   OSErr;
typedef UInt32   FourCharCode;
typedef FourCharCode OSType;
typedef unsigned char Str255[256];

enum { noErr = 0 };
