// Message types delivered to interest notifications.
#pragma once
#include <IOKit/IOReturn.h>

typedef uint32_t IOMessage;

#define iokit_common_msg(message) ((IOMessage)(sys_iokit | sub_iokit_common | (unsigned)(message)))

#define kIOMessageServiceIsTerminated     iokit_common_msg(0x010)
#define kIOMessageServiceIsSuspended      iokit_common_msg(0x020)
#define kIOMessageServiceIsResumed        iokit_common_msg(0x030)
#define kIOMessageServiceIsRequestingClose iokit_common_msg(0x100)
#define kIOMessageServiceWasClosed        iokit_common_msg(0x110)

static_assert(uint32_t(kIOMessageServiceIsTerminated) == 0xE0000010u);
