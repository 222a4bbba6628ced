// IOKit return codes, with the values they have on the Mac.
#pragma once
#include <mach/kern_return.h>
#include <stdint.h>

typedef kern_return_t IOReturn;

#define sys_iokit        ((0x38u & 0x3fu) << 26)
#define sub_iokit_common 0u
#define iokit_common_err(return) ((IOReturn)(sys_iokit | sub_iokit_common | (unsigned)(return)))

#define kIOReturnSuccess          KERN_SUCCESS
#define kIOReturnError            iokit_common_err(0x2bc) // general error
#define kIOReturnNoMemory         iokit_common_err(0x2bd) // can't allocate memory
#define kIOReturnNoResources      iokit_common_err(0x2be) // resource shortage
#define kIOReturnIPCError         iokit_common_err(0x2bf) // error during IPC
#define kIOReturnNoDevice         iokit_common_err(0x2c0) // no such device
#define kIOReturnNotPrivileged    iokit_common_err(0x2c1) // privilege violation
#define kIOReturnBadArgument      iokit_common_err(0x2c2) // invalid argument
#define kIOReturnExclusiveAccess  iokit_common_err(0x2c5) // exclusive access and device already open
#define kIOReturnUnsupported      iokit_common_err(0x2c7) // unsupported function
#define kIOReturnVMError          iokit_common_err(0x2c8) // misc. VM failure
#define kIOReturnInternalError    iokit_common_err(0x2c9) // internal error
#define kIOReturnIOError          iokit_common_err(0x2ca) // general I/O error
#define kIOReturnNotOpen          iokit_common_err(0x2cd) // device not open
#define kIOReturnBusy             iokit_common_err(0x2d5) // device busy
#define kIOReturnTimeout          iokit_common_err(0x2d6) // I/O timeout
#define kIOReturnNotReady         iokit_common_err(0x2d8) // not ready
#define kIOReturnNotAttached      iokit_common_err(0x2d9) // device not attached
#define kIOReturnMessageTooLarge  iokit_common_err(0x2e1) // oversized message received
#define kIOReturnNotPermitted     iokit_common_err(0x2e2) // not permitted
#define kIOReturnNotFound         iokit_common_err(0x2f0) // data was not found
#define kIOReturnInvalid          iokit_common_err(0x1)   // should never be seen

// The values the suite's callers and the HAL see, as on the Mac.
static_assert(uint32_t(kIOReturnError) == 0xE00002BCu);
static_assert(uint32_t(kIOReturnNoMemory) == 0xE00002BDu);
static_assert(uint32_t(kIOReturnNoDevice) == 0xE00002C0u);
static_assert(uint32_t(kIOReturnBadArgument) == 0xE00002C2u);
static_assert(uint32_t(kIOReturnUnsupported) == 0xE00002C7u);
static_assert(uint32_t(kIOReturnNotOpen) == 0xE00002CDu);
static_assert(uint32_t(kIOReturnBusy) == 0xE00002D5u);
static_assert(uint32_t(kIOReturnNotAttached) == 0xE00002D9u);
