// CFPlugIn: the factory function type and the per-factory instance count that keeps a plug-in
// in use while it has live instances.
#pragma once
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFUUID.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __CFBundle* CFPlugInRef;

typedef void* (*CFPlugInFactoryFunction)(CFAllocatorRef allocator, CFUUIDRef typeUUID);

// Thread-safe; a NULL factory ID is ignored, and the count never goes below zero.
void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID);
void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID);

#ifdef __cplusplus
}
#endif

#include <CoreFoundation/CFPlugInCOM.h>
