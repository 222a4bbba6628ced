// Immutable strings. Characters are kept as UTF-16 units, as on the Mac; the suite's text is
// 8-bit and goes in and out through the encodings below.
#pragma once
#include <CoreFoundation/CFBase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 CFStringEncoding;
enum {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100
};

// A constant string for a literal: the same object for the same text, never freed.
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")
CFStringRef __CFStringMakeConstantString(const char* cStr);

CFTypeID CFStringGetTypeID(void);

// NULL when the bytes are not valid in `encoding` (for ASCII: any byte above 0x7F) or the
// encoding is not one of the four above.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars,
                                         CFIndex numChars);
CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString);

// Length in UTF-16 units.
CFIndex CFStringGetLength(CFStringRef theString);
UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx);
void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer);

// Copies the string and a terminating NUL into `buffer`; false when a character cannot be
// represented in `encoding` or the buffer is too small (then buffer[0] is NUL).
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
// The string's own NUL-terminated bytes when it is pure ASCII, NULL otherwise (callers must then
// fall back on CFStringGetCString, as on the Mac).
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);


#ifdef __cplusplus
}
#endif
