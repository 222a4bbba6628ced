// File URLs, enough to hand a path around as a URL.
#pragma once
#include <CoreFoundation/CFBase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef const struct __CFURL* CFURLRef;

typedef CFIndex CFURLPathStyle;
enum {
    kCFURLPOSIXPathStyle = 0,
    kCFURLHFSPathStyle = 1,
    kCFURLWindowsPathStyle = 2
};

CFTypeID CFURLGetTypeID(void);

// Only kCFURLPOSIXPathStyle is understood; other styles give NULL. A relative path is made
// absolute against the current directory at once, so these URLs never have a base.
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
                                       CFURLPathStyle pathStyle, Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory);
// The path as NUL-terminated bytes; false when it does not fit in `maxBufLen`.
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufLen);
// The URL text, "file:///..." with reserved bytes percent-encoded.
CFStringRef CFURLGetString(CFURLRef anURL);

#ifdef __cplusplus
}
#endif
