#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "device/ControlsRegion.h"
#include "device/KernelMemory.h"
#include "device/VkAjExtData.h"
#include "device/VkChannelSettings.h"

// The kernel driver's status block (memory type 1): one per interface, shared by the kernel and
// every process that opened the interface, read and written without locks. Words are
// little-endian, the host order here.
//
// The records were laid out for 32-bit processes, so the 64-bit values in them are not always
// 8-byte aligned (client record n + 164 and + 172 are for even n). They are held as two 32-bit
// halves, low word first, and read and written through the accessors; the block as a whole
// needs no more than 4-byte alignment.

static_assert(std::endian::native == std::endian::little,
              "the status block is little-endian and is used in place");

constexpr size_t kClientRecords = 8;
constexpr size_t kStatusTextSize = 256;

namespace statusblock {
inline uint64_t join(const uint32_t (&halves)[2])
{
    return static_cast<uint64_t>(halves[1]) << 32 | halves[0];
}
inline void split(uint32_t (&halves)[2], uint64_t value)
{
    halves[0] = static_cast<uint32_t>(value);
    halves[1] = static_cast<uint32_t>(value >> 32);
}
} // namespace statusblock

// One client process attached to the interface; the record's index is the slot request 2
// answered to its owner.
struct ClientData {
    uint8_t reserved0[4];
    int32_t iPid;          // 0: slot free
    uint32_t iFrameSize;   // the owner's I/O frame size
    uint8_t reserved12[4];
    int32_t iUnderruns;    // since the last reset
    int32_t iMinimum;      // since the last reset; -1 after it
    int32_t iMaximum;
    uint32_t iSum;
    uint32_t iValueCount;  // values in iSum
    uint32_t bLibrary;     // cleared by the owner after it attached
    int32_t iIOCycles;     // counted by the owner, since the last reset
    uint8_t reserved44[120];
    uint32_t iOwner[2];    // the owner's connection pair, also one 64-bit token
    uint32_t iInUse[2];    // 64-bit, non-zero while the owner streams

    uint64_t ownerToken() const { return statusblock::join(iOwner); }
    void setOwnerToken(uint64_t token) { statusblock::split(iOwner, token); }
    bool isOwnedBy(const uint32_t (&connectionInfo)[2]) const
    {
        return iOwner[0] == connectionInfo[0] && iOwner[1] == connectionInfo[1];
    }
    uint64_t inUse() const { return statusblock::join(iInUse); }
    void setInUse(uint64_t value) { statusblock::split(iInUse, value); }

    // Starts a new measuring period for the statistics.
    void clearQueueStatus()
    {
        iUnderruns = 0;
        iSum = 0;
        iValueCount = 0;
        iMinimum = -1;
        iMaximum = 0;
    }
};

// The streaming count and the client records, copied as one piece by the control application.
struct ClientBlock {
    uint32_t iStreamingCount; // clients streaming through the interface now
    ClientData clients[kClientRecords];

    // Record `slot`, or null for a slot outside 0..7 (an attach that failed leaves -1).
    ClientData* client(int64_t slot)
    {
        return slot >= 0 && static_cast<uint64_t>(slot) < kClientRecords ? &clients[slot] : nullptr;
    }
    const ClientData* client(int64_t slot) const
    {
        return const_cast<ClientBlock*>(this)->client(slot);
    }
};

struct KernelStatusBlock {
    uint32_t iVersion;       // interface version, kInterfaceVersion
    uint32_t iClaimOwner;    // process that holds iClaimCounter while it configures, 0 for none
    uint8_t reserved8[16];
    uint32_t bHighSpeed;     // non-zero on a USB 2.0 high-speed link
    char sManufacturer[kStatusTextSize];
    char sAltDeviceName[kStatusTextSize]; // used instead of sDeviceName by some models
    char sDeviceName[kStatusTextSize];
    char sModelUID[kStatusTextSize];
    uint8_t reserved1052[4104];
    uint32_t bConfigured;    // set by the kernel once a USB configuration is active
    int32_t iClaimCounter;   // who configures the interface, between processes
    VkChannelSettings channels; // settings in force
    VkAjExtData ajExt;       // its last byte is the fixed-rate flag at 5224
    ClientBlock clientBlock; // 5228: streaming count, then the client records from 5232
    ControlsRegion controls;
    ControlsRegion controlsShadow; // the region as it was before the change being requested
    uint32_t iInputOwner[2]; // 64-bit: token of the client that owns the input, 0 for none
    uint8_t reserved14368[8];

    uint32_t streamingCount() const { return clientBlock.iStreamingCount; }
    ClientData* client(int64_t slot) { return clientBlock.client(slot); }
    const ClientData* client(int64_t slot) const { return clientBlock.client(slot); }
    uint64_t inputOwnerToken() const { return statusblock::join(iInputOwner); }
    void setInputOwnerToken(uint64_t token) { statusblock::split(iInputOwner, token); }

    // Before a control changes, the live region is kept as it was in the shadow.
    void saveControls() { controlsShadow = controls; }
};

// A text field of the status block up to its terminator, never past the field.
inline std::string_view statusText(const char (&field)[kStatusTextSize])
{
    const std::string_view text(field, kStatusTextSize);
    return text.substr(0, text.find('\0'));
}

static_assert(std::is_standard_layout_v<KernelStatusBlock> && std::is_trivially_copyable_v<KernelStatusBlock>);
static_assert(alignof(KernelStatusBlock) == 4);

static_assert(sizeof(ClientData) == 180);
static_assert(alignof(ClientData) == 4);
static_assert(offsetof(ClientData, iPid) == 4);
static_assert(offsetof(ClientData, iFrameSize) == 8);
static_assert(offsetof(ClientData, iUnderruns) == 16);
static_assert(offsetof(ClientData, iMinimum) == 20);
static_assert(offsetof(ClientData, iMaximum) == 24);
static_assert(offsetof(ClientData, iSum) == 28);
static_assert(offsetof(ClientData, iValueCount) == 32);
static_assert(offsetof(ClientData, bLibrary) == 36);
static_assert(offsetof(ClientData, iIOCycles) == 40);
static_assert(offsetof(ClientData, iOwner) == 164);
static_assert(offsetof(ClientData, iInUse) == 172);

static_assert(sizeof(ClientBlock) == 1444);
static_assert(offsetof(ClientBlock, iStreamingCount) == 0);
static_assert(offsetof(ClientBlock, clients) == 4);

static_assert(sizeof(KernelStatusBlock) == kStatusBlockSize);
static_assert(offsetof(KernelStatusBlock, iVersion) == 0);
static_assert(offsetof(KernelStatusBlock, iClaimOwner) == 4);
static_assert(offsetof(KernelStatusBlock, bHighSpeed) == 24);
static_assert(offsetof(KernelStatusBlock, sManufacturer) == 28);
static_assert(offsetof(KernelStatusBlock, sAltDeviceName) == 284);
static_assert(offsetof(KernelStatusBlock, sDeviceName) == 540);
static_assert(offsetof(KernelStatusBlock, sModelUID) == 796);
static_assert(offsetof(KernelStatusBlock, reserved1052) == 1052);
static_assert(offsetof(KernelStatusBlock, bConfigured) == 5156);
static_assert(offsetof(KernelStatusBlock, iClaimCounter) == 5160);
static_assert(offsetof(KernelStatusBlock, channels) == 5164);
static_assert(offsetof(KernelStatusBlock, channels) + offsetof(VkChannelSettings, iInChannels) == 5168);
static_assert(offsetof(KernelStatusBlock, channels) + offsetof(VkChannelSettings, iInBits) == 5172);
static_assert(offsetof(KernelStatusBlock, channels) + offsetof(VkChannelSettings, iOutChannels) == 5176);
static_assert(offsetof(KernelStatusBlock, channels) + offsetof(VkChannelSettings, iOutBits) == 5180);
static_assert(offsetof(KernelStatusBlock, channels) + sizeof(VkChannelSettings) == 5188);
static_assert(offsetof(KernelStatusBlock, ajExt) == 5188);
static_assert(offsetof(KernelStatusBlock, ajExt) + offsetof(VkAjExtData, bFixedRate) == 5224);
static_assert(offsetof(KernelStatusBlock, clientBlock) == 5228);
static_assert(offsetof(KernelStatusBlock, clientBlock) + offsetof(ClientBlock, clients) == 5232);
static_assert(offsetof(KernelStatusBlock, controls) == kControlsRegionOffset);
static_assert(offsetof(KernelStatusBlock, controls) + offsetof(ControlsRegion, output) == 6672);
static_assert(offsetof(KernelStatusBlock, controls) + offsetof(ControlsRegion, input) == 7772);
static_assert(offsetof(KernelStatusBlock, controls) + offsetof(ControlsRegion, iSyncSelector) == 8876);
static_assert(offsetof(KernelStatusBlock, controlsShadow) == kControlsShadowOffset);
static_assert(offsetof(KernelStatusBlock, iInputOwner) == 14360);
static_assert(offsetof(KernelStatusBlock, reserved14368) == 14368);
