#pragma once
// Private to the platform: what the plug-in host (and the tests) may ask about CFPlugIn's
// bookkeeping.
#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

// The number of live instances recorded for the factory (added minus removed, never negative).
CFIndex _CFPlugInInstanceCount(CFUUIDRef factoryID);

#ifdef __cplusplus
}
#endif
