#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

// The controls region of the status block (offsets 6672 to 10515): the kernel driver publishes
// each direction's data sources with their mute and volume controls here, and a client changes
// a control by editing the region and sending a request. The kernel writes all of it; counts
// and masks are read through the clamping accessors, names through name().

constexpr size_t kControlsEntries = 8;
constexpr size_t kControlsNameSize = 64;
constexpr size_t kControlsVolumeSlots = 8;
constexpr size_t kControlsBlockSize = 1100;
constexpr size_t kControlsRegionSize = 3844;
constexpr size_t kControlsRegionOffset = 6672;
constexpr size_t kControlsShadowOffset = 10516;

// A volume in units of 1/256 dB.
struct ControlsVolume {
    int16_t iMin;
    int16_t iCurrent;
    int16_t iMax;
};

// One data source of a direction.
struct ControlsEntry {
    char sName[kControlsNameSize]; // NUL-terminated when it fits
    uint16_t iVolumeChannels;      // channels 1..n have volume; 0xFFFF: only the master channel 0
    uint8_t reserved66[2];
    uint32_t bHasMute;
    uint8_t reserved72[2];
    uint8_t bMute;
    uint8_t reserved75;
    uint32_t bHasVolume;
    uint8_t reserved80[6];
    ControlsVolume volume[kControlsVolumeSlots]; // channel k >= 1 in slot k - 1, master in slot 0
    uint8_t reserved134[2];

    // The name up to its terminator, never past the field.
    std::string_view name() const
    {
        const std::string_view field(sName, kControlsNameSize);
        return field.substr(0, field.find('\0'));
    }

    // Writes `text` as the name, cut to fit with its terminator.
    void setName(std::string_view text)
    {
        const size_t n = std::min(text.size(), kControlsNameSize - 1);
        std::copy_n(text.data(), n, sName);
        std::fill(sName + n, sName + kControlsNameSize, '\0');
    }

    // The slot that holds the volume of `channel` (0 master, 1..n), or null when the layout has
    // no slot for it.
    ControlsVolume* volumeOf(int channel)
    {
        const int slot = channel >= 1 ? channel - 1 : 0;
        return channel >= 0 && static_cast<size_t>(slot) < kControlsVolumeSlots ? &volume[slot] : nullptr;
    }
    const ControlsVolume* volumeOf(int channel) const
    {
        return const_cast<ControlsEntry*>(this)->volumeOf(channel);
    }
};

// One direction's controls.
struct ControlsBlock {
    int32_t iSourceCount;     // data sources (entries in use)
    uint32_t bSharedControls; // 1: entry 0's controls apply whatever source is selected
    uint8_t reserved8[2];
    uint8_t iSourceMask;      // the selected source: bit k for source k + 1
    uint8_t reserved11;
    ControlsEntry entries[kControlsEntries];

    // Entries that both the kernel says are in use and the layout holds.
    size_t entryCount() const
    {
        return iSourceCount < 1 ? 0 : std::min<size_t>(static_cast<size_t>(iSourceCount), kControlsEntries);
    }

    // Entry k, or null beyond the layout.
    ControlsEntry* entry(size_t k) { return k < kControlsEntries ? &entries[k] : nullptr; }
    const ControlsEntry* entry(size_t k) const { return k < kControlsEntries ? &entries[k] : nullptr; }

    // The entry whose controls are live: none without sources, entry 0 when the controls are
    // shared, else the one the mask selects (a mask of one bit k > 0 selects entry k; any other
    // mask entry 0). A mask naming a source past the count selects no entry in use: entry 0.
    const ControlsEntry* activeEntry() const
    {
        const size_t count = entryCount();
        if (count == 0)
            return nullptr;
        if (bSharedControls == 1)
            return &entries[0];
        const uint8_t mask = iSourceMask;
        for (size_t k = 1; k < count; ++k)
            if (mask == (1u << k))
                return &entries[k];
        return &entries[0];
    }
    ControlsEntry* activeEntry()
    {
        return const_cast<ControlsEntry*>(static_cast<const ControlsBlock*>(this)->activeEntry());
    }
};

// The region as a whole; the status block holds it live at 6672 and as the shadow copy at 10516.
struct ControlsRegion {
    ControlsBlock output;        // status 6672
    ControlsBlock input;         // status 7772
    uint8_t reserved2200[4];
    uint8_t iSyncSelector;       // status 8876: digital clock sync of one interface model
    uint8_t reserved2205[kControlsRegionSize - 2205];

    ControlsBlock& block(bool isInput) { return isInput ? input : output; }
    const ControlsBlock& block(bool isInput) const { return isInput ? input : output; }
};

static_assert(std::is_standard_layout_v<ControlsRegion> && std::is_trivially_copyable_v<ControlsRegion>);

static_assert(sizeof(ControlsVolume) == 6);
static_assert(offsetof(ControlsVolume, iMin) == 0);
static_assert(offsetof(ControlsVolume, iCurrent) == 2);
static_assert(offsetof(ControlsVolume, iMax) == 4);

static_assert(sizeof(ControlsEntry) == 136);
static_assert(offsetof(ControlsEntry, sName) == 0);
static_assert(offsetof(ControlsEntry, iVolumeChannels) == 64);
static_assert(offsetof(ControlsEntry, bHasMute) == 68);
static_assert(offsetof(ControlsEntry, bMute) == 74);
static_assert(offsetof(ControlsEntry, bHasVolume) == 76);
static_assert(offsetof(ControlsEntry, volume) == 86);
static_assert(offsetof(ControlsEntry, reserved134) == 86 + 6 * kControlsVolumeSlots);

static_assert(sizeof(ControlsBlock) == kControlsBlockSize);
static_assert(offsetof(ControlsBlock, iSourceCount) == 0);
static_assert(offsetof(ControlsBlock, bSharedControls) == 4);
static_assert(offsetof(ControlsBlock, iSourceMask) == 10);
static_assert(offsetof(ControlsBlock, entries) == 12);
static_assert(offsetof(ControlsBlock, entries) + offsetof(ControlsEntry, sName) == 12);

static_assert(sizeof(ControlsRegion) == kControlsRegionSize);
static_assert(kControlsRegionOffset + offsetof(ControlsRegion, output) == 6672);
static_assert(kControlsRegionOffset + offsetof(ControlsRegion, input) == 7772);
static_assert(kControlsRegionOffset + offsetof(ControlsRegion, iSyncSelector) == 8876);
static_assert(kControlsRegionOffset + kControlsRegionSize == 10516);
static_assert(kControlsShadowOffset + kControlsRegionSize == 14360);
