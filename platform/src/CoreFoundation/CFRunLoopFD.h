#pragma once
// Private to the platform: lets another stand-in (IOKit) deliver work from a file descriptor on
// the run loop that holds a source, the way a Mach port source does on the Mac.
#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

// A run-loop source that calls perform(info) on the run loop it has been added to whenever `fd`
// is readable or hung up. The source does not own `fd`. Released with CFRelease; after
// CFRunLoopSourceInvalidate it never calls perform again.
CFRunLoopSourceRef _CFRunLoopSourceCreateForFD(int fd, void (*perform)(void* info), void* info);

#ifdef __cplusplus
}
#endif
