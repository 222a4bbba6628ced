// The part of CoreServices the suite uses: the 32-bit atomic add and subtract.
#pragma once
#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// Atomically add 1 to / subtract 1 from *address; both return the value from before.
SInt32 IncrementAtomic(SInt32* address);
SInt32 DecrementAtomic(SInt32* address);
SInt32 AddAtomic(SInt32 amount, SInt32* address);

#ifdef __cplusplus
}
#endif
