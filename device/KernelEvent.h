#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "device/KernelMemory.h"

// Codes of the events the kernel driver posts to the interest listeners of an interface.
enum KernelEventCode : uint32_t {
    kEventReset = 2,             // send requests 29 and 30
    kEventFormatChanged = 3,     // channel settings changed
    kEventVolumeChanged = 6,
    kEventMuteChanged = 7,
    kEventMonitorChanged = 8,
    kEventDiagnostic = 9,
    kEventDataSourceChanged = 10,
    kEventClientAttached = 11,   // words 2 and 5 passed on; words 3, 4: the client's connection pair
    kEventClientDetached = 12,   // word 2 passed on; words 3, 4 as for 11
    kEventResetDelayed = 13,     // as 2, after 3 seconds
    kEventDeviceGone = 16,
    kEventStateChange = 65536,   // the whole record is passed on
};

constexpr uint32_t kKernelEventSize = 36;

// The argument of a kernel event message (type kKernelEventMessage): nine 32-bit words in host
// order.
struct KernelEvent {
    uint32_t iSize;     // word 0: always 36
    uint32_t iCode;     // word 1: KernelEventCode
    uint32_t iParam[7]; // words 2 to 8

    // Word n of the record (0..8); 0 for any other n.
    uint32_t word(size_t n) const
    {
        if (n == 0)
            return iSize;
        if (n == 1)
            return iCode;
        if (n - 2 < sizeof iParam / sizeof iParam[0])
            return iParam[n - 2];
        return 0;
    }
};

static_assert(sizeof(KernelEvent) == kKernelEventSize);
static_assert(offsetof(KernelEvent, iSize) == 0);
static_assert(offsetof(KernelEvent, iCode) == 4);
static_assert(offsetof(KernelEvent, iParam) == 8);

// State changes (code 65536) hand the listener the record as it came.
using VK_StateChange = KernelEvent;

// Copies the record of a message into `event` when it is a kernel event: the right message type
// and a first word of 36. The argument may sit anywhere in the message, so it is read bytewise,
// and nothing past the size word is read unless that word says the record is there.
inline bool readKernelEvent(uint32_t messageType, const void* argument, KernelEvent& event)
{
    if (messageType != kKernelEventMessage || argument == nullptr)
        return false;
    uint32_t size = 0;
    std::memcpy(&size, argument, sizeof size);
    if (size != kKernelEventSize)
        return false;
    std::memcpy(&event, argument, kKernelEventSize);
    return true;
}
