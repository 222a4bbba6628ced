#pragma once
#include <cstddef>
#include <cstdint>

// The running format as the device layer, the kernel driver and the control application
// exchange it: in the status block (offset 5164) and as the data of request 6.
// A direction with 0 channels is off.
struct VkChannelSettings {
    uint32_t iFrequency;    // Hz
    uint32_t iInChannels;
    uint32_t iInBits;
    uint32_t iOutChannels;
    uint32_t iOutBits;
    uint32_t iConfiguration; // USB configuration index

    bool operator==(const VkChannelSettings&) const = default;
};

static_assert(sizeof(VkChannelSettings) == 24);
static_assert(alignof(VkChannelSettings) == 4);
static_assert(offsetof(VkChannelSettings, iFrequency) == 0);
static_assert(offsetof(VkChannelSettings, iInChannels) == 4);
static_assert(offsetof(VkChannelSettings, iInBits) == 8);
static_assert(offsetof(VkChannelSettings, iOutChannels) == 12);
static_assert(offsetof(VkChannelSettings, iOutBits) == 16);
static_assert(offsetof(VkChannelSettings, iConfiguration) == 20);
