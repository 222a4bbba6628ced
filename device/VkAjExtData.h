#pragma once
#include <cstddef>
#include <cstdint>

// Extended settings handed to the kernel driver in the status block (offset 5188), filled from
// the settings file by the process that configures the interface. Native byte order.
// The byte at +36 is the status block's fixed-rate flag (offset 5224): the kernel sets it when
// only the current rate can run; setting the defaults clears it before a configuration.
struct VkAjExtData {
    uint32_t iReserved0;      // left as the kernel wrote it
    uint32_t iClockSource;    // 0 or 1
    uint32_t iUSB1Mode;       // 0 or 1
    uint32_t iDigitalOutMode; // 0 or 1
    uint32_t iDigitalOutSel;
    uint32_t iReserved20;
    uint32_t iReserved24;
    uint32_t iReserved28;
    uint32_t iReserved32;
    uint8_t bFixedRate;       // non-zero: only the current rate is offered
    uint8_t reserved37[3];    // status bytes 5225..5227, not ours to write

    // Everything but +0 and the trailing reserved bytes.
    void setDefaults()
    {
        iClockSource = 0;
        iUSB1Mode = 0;
        iDigitalOutMode = 0;
        iDigitalOutSel = 0;
        iReserved20 = 0;
        iReserved24 = 1;
        iReserved28 = 0;
        iReserved32 = 1;
        bFixedRate = 0;
    }

    // The switches only know 0 and 1; anything else falls back to 0.
    void validate()
    {
        if (iClockSource > 1)
            iClockSource = 0;
        if (iUSB1Mode > 1)
            iUSB1Mode = 0;
        if (iDigitalOutMode > 1)
            iDigitalOutMode = 0;
    }
};

static_assert(sizeof(VkAjExtData) == 40);
static_assert(alignof(VkAjExtData) == 4);
static_assert(offsetof(VkAjExtData, iReserved0) == 0);
static_assert(offsetof(VkAjExtData, iClockSource) == 4);
static_assert(offsetof(VkAjExtData, iUSB1Mode) == 8);
static_assert(offsetof(VkAjExtData, iDigitalOutMode) == 12);
static_assert(offsetof(VkAjExtData, iDigitalOutSel) == 16);
static_assert(offsetof(VkAjExtData, iReserved20) == 20);
static_assert(offsetof(VkAjExtData, iReserved24) == 24);
static_assert(offsetof(VkAjExtData, iReserved28) == 28);
static_assert(offsetof(VkAjExtData, iReserved32) == 32);
static_assert(offsetof(VkAjExtData, bFixedRate) == 36);
static_assert(offsetof(VkAjExtData, reserved37) == 37);
