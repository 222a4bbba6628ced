#pragma once
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "device/KernelMemory.h"

// The shared-memory audio ring (memory types 4 and 5): a block the kernel driver owns and the
// device maps, used in place by both sides without a lock. The same definition serves the
// simulated kernel driver.
//
// Words one side writes and the other reads go through std::atomic_ref, so each access is one
// indivisible load or store (also across processes: the atomics used are lock-free). The
// samples themselves are plain memory; a reader must stay within the frames the writer has
// published (getAvailableFrames) and the writer ahead of the reader's position.
//
// Every count read from the block is checked on each use, because the other side may write
// anything there: a channel count of 0 or above kMaxSamples, a ring length of 0 or one whose
// frames do not fit the sample array, makes the ring unusable. Then no sample is read or
// written (and nothing is divided), while the counters move as usual.

static_assert(std::endian::native == std::endian::little, "the ring block is used in place, little-endian");

namespace audiosm {
// Loads and stores of words the other side touches concurrently.
template <typename T>
T load(const T& word, std::memory_order order = std::memory_order_relaxed)
{
    return std::atomic_ref<T>(const_cast<T&>(word)).load(order);
}

template <typename T>
void store(T& word, T value, std::memory_order order = std::memory_order_relaxed)
{
    std::atomic_ref<T>(word).store(value, order);
}
} // namespace audiosm

// Ties frame counts to time stamps: two points and their differences. Fields are accessed
// atomically because a reader may look at a record the writer is refilling.
struct AudioTSData {
    uint32_t frame0;  // writeCount at the first time stamp
    uint32_t frame1;  // writeCount at the last time stamp
    uint64_t ts0;
    uint64_t ts1;
    uint64_t dTS;     // ts1 - ts0
    uint64_t dFrames; // frame1 - frame0 as a 32-bit difference, zero-extended

    void init();
    void validate();
    // The time of `frame`, interpolated (or extrapolated) along the record; 0 when the record
    // spans no frames. Frame counts wrap: `frame` is taken as the nearer of its two readings
    // around frame0, within 2^31 frames either side.
    void getTS(uint32_t frame, uint64_t& ts) const;
};

static_assert(sizeof(AudioTSData) == 40);
static_assert(offsetof(AudioTSData, frame0) == 0);
static_assert(offsetof(AudioTSData, frame1) == 4);
static_assert(offsetof(AudioTSData, ts0) == 8);
static_assert(offsetof(AudioTSData, ts1) == 16);
static_assert(offsetof(AudioTSData, dTS) == 24);
static_assert(offsetof(AudioTSData, dFrames) == 32);

// The copy a reader hands the ring's samples to: (destination, ring samples, sample count).
using AudioSampleCopy = void (*)(int*, const int*, int);

struct AudioSM {
    static constexpr uint32_t kMaxSamples = 131072;

    int32_t samples[kMaxSamples]; // frame k starts at sample k * nChannels
    uint32_t nChannels;
    uint32_t nFrames;             // kMaxSamples / nChannels
    uint32_t streaming;           // output block: written by the kernel driver
    uint32_t notice;              // output block: set by the kernel driver, reset by the plug-in
    uint32_t readPosition;        // output block: input frames the plug-in has consumed
    uint8_t reserved[4096];       // the kernel driver's; never touched here
    uint32_t writeCount;          // frames written since init, modulo 2^32
    uint32_t writeOffset;         // frame writeCount + writeOffset goes to the next slot
    uint32_t timingBase;
    AudioTSData tsRecord1;
    AudioTSData tsRecord2;
    AudioTSData tsCollect;        // the writer's alone
    uint32_t tsMinFrames;         // timingBase >> 2: the least span of a published record
    uint32_t tsCurrent;           // 1: tsRecord1 is current, 0: tsRecord2

    // Sets the block up for `channels` interleaved channels (the kernel driver runs it).
    void init(uint32_t channels, uint32_t timingBase);

    // Places `frames` frames at frame writeCount + offset, then counts them. A null source moves
    // only the counters. `channels`, when not 0, is the caller's frame width: if the block's
    // differs, no sample is copied. More frames than the ring holds: only the newest nFrames
    // are copied, which is what a ring that wrapped would keep; the counter moves by all.
    void writeFrames(const int32_t* source, uint32_t frames, uint32_t offset, uint32_t channels = 0);

    // After writing frames: gathers time stamps and publishes a record once it spans at least
    // tsMinFrames frames.
    void writeTimestamp(uint64_t ts);

    // Hands the `frames` frames at `position` to `copy` (two calls when the run wraps), sets
    // `timestamp` to the time of frame `position` and advances `position`. `position` may be
    // a word of a mapped block (the output block's readPosition), so it is accessed atomically.
    // No copy with a null destination or copy, with an unusable ring, or when `channels` is not
    // 0 and differs from the block's. More frames than the ring holds: only the first nFrames
    // are copied, into the start of `destination`.
    void read(uint32_t& position, int32_t* destination, uint32_t frames, uint64_t& timestamp,
              AudioSampleCopy copy, uint32_t channels = 0) const;

    uint32_t getFramePos() const;
    uint32_t getAvailableFrames(uint32_t position) const;

    // The time of `frame` from the current record.
    void getTS(uint32_t frame, uint64_t& ts) const;

    // The header words the two sides share, read and written atomically.
    uint32_t channelCount() const { return audiosm::load(nChannels); }
    uint32_t ringFrames() const { return audiosm::load(nFrames); }
    uint32_t loadReadPosition() const { return audiosm::load(readPosition, std::memory_order_acquire); }
    uint32_t loadStreaming() const { return audiosm::load(streaming, std::memory_order_acquire); }
    void setStreaming(uint32_t value) { audiosm::store(streaming, value, std::memory_order_release); }
    uint32_t loadNotice() const { return audiosm::load(notice, std::memory_order_acquire); }
    void setNotice(uint32_t value) { audiosm::store(notice, value, std::memory_order_release); }
    // Resets the notice word; true if it was set. One exchange, so a notice the kernel sets
    // meanwhile is not lost unseen.
    bool clearNotice() { return std::atomic_ref<uint32_t>(notice).exchange(0, std::memory_order_acq_rel) != 0; }
};

static_assert(sizeof(AudioSM) == kAudioRingSize);
static_assert(std::is_standard_layout_v<AudioSM> && std::is_trivially_copyable_v<AudioSM>);
static_assert(offsetof(AudioSM, samples) == 0x00000);
static_assert(offsetof(AudioSM, nChannels) == 0x80000);
static_assert(offsetof(AudioSM, nFrames) == 0x80004);
static_assert(offsetof(AudioSM, streaming) == 0x80008);
static_assert(offsetof(AudioSM, notice) == 0x8000C);
static_assert(offsetof(AudioSM, readPosition) == 0x80010);
static_assert(offsetof(AudioSM, reserved) == 0x80014);
static_assert(offsetof(AudioSM, writeCount) == 0x81014);
static_assert(offsetof(AudioSM, writeOffset) == 0x81018);
static_assert(offsetof(AudioSM, timingBase) == 0x8101C);
static_assert(offsetof(AudioSM, tsRecord1) == 0x81020);
static_assert(offsetof(AudioSM, tsRecord2) == 0x81048);
static_assert(offsetof(AudioSM, tsCollect) == 0x81070);
static_assert(offsetof(AudioSM, tsMinFrames) == 0x81098);
static_assert(offsetof(AudioSM, tsCurrent) == 0x8109C);
// The 64-bit fields are naturally aligned in a page-aligned mapping, as atomic_ref needs.
static_assert(alignof(AudioSM) == 8 && alignof(AudioTSData) >= std::atomic_ref<uint64_t>::required_alignment);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free && std::atomic_ref<uint64_t>::is_always_lock_free,
              "the block is shared between processes");
