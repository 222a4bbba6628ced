#include "device/AudioSM.h"

#include <cstdio>
#include <cstring>

namespace {

using audiosm::load;
using audiosm::store;

// The ring's shape as read once from the block, so a check and the use that follows it see
// the same numbers even while the other side rewrites the header.
struct Geometry {
    uint32_t channels;
    uint32_t frames;

    bool usable() const
    {
        return channels != 0 && channels <= AudioSM::kMaxSamples && frames != 0
            && uint64_t(frames) * channels <= AudioSM::kMaxSamples;
    }
};

Geometry geometryOf(const AudioSM& block)
{
    return {load(block.nChannels), load(block.nFrames)};
}

} // namespace

void AudioTSData::init()
{
    store(frame0, 0u);
    store(frame1, 0u);
    store(ts0, uint64_t(0));
    store(ts1, uint64_t(0));
    store(dTS, uint64_t(0));
    store(dFrames, uint64_t(0));
}

void AudioTSData::validate()
{
    store(dTS, load(ts1) - load(ts0));
    store(dFrames, uint64_t(uint32_t(load(frame1) - load(frame0))));
}

void AudioTSData::getTS(uint32_t frame, uint64_t& ts) const
{
    const auto frames = static_cast<int64_t>(load(dFrames));
    if (frames == 0) {
        ts = 0;
        return;
    }
    // Frame counts wrap modulo 2^32 (every 27 hours at 44.1 kHz): the offset from frame0 is
    // their wrapping difference, so a frame just past the wrap is not 2^32 frames before it.
    // Signed 64-bit arithmetic, done in unsigned where it may wrap (the product keeps its low
    // 64 bits) so that a hostile record gives a wrong time, never undefined behaviour.
    const int64_t offset = static_cast<int32_t>(frame - load(frame0));
    const auto product = static_cast<int64_t>(uint64_t(offset) * load(dTS));
    // The only quotient that overflows: INT64_MIN / -1, which wraps back to INT64_MIN.
    const uint64_t quotient = frames == -1 ? uint64_t(0) - uint64_t(product) : uint64_t(product / frames);
    ts = load(ts0) + quotient;
}

void AudioSM::init(uint32_t channels, uint32_t base)
{
    store(nChannels, channels);
    timingBase = base;
    tsMinFrames = base >> 2;
    tsRecord1.init();
    tsRecord2.init();
    tsCollect.init();
    store(tsCurrent, 1u, std::memory_order_release);
    if (channels == 0) {
        std::puts("AudioSM::init nChannels is 0");
        channels = 2;
        store(nChannels, channels);
    }
    store(writeCount, 0u, std::memory_order_release);
    store(writeOffset, 0u, std::memory_order_release);
    store(readPosition, 0u, std::memory_order_release);
    store(notice, 0u, std::memory_order_release);
    store(streaming, 0u, std::memory_order_release);
    const uint32_t frames = kMaxSamples / channels;
    store(nFrames, frames);
    const uint32_t used = frames * channels; // at most kMaxSamples: no overflow
    if (used != kMaxSamples)
        std::printf("AudioSM::init nUsedSamples != nMaxSamples %d - %d\n", int(used), int(kMaxSamples));
}

void AudioSM::writeFrames(const int32_t* source, uint32_t frames, uint32_t offset, uint32_t channels)
{
    const uint32_t count = load(writeCount);
    const Geometry ring = geometryOf(*this);
    if (source != nullptr && ring.usable() && (channels == 0 || channels == ring.channels)) {
        uint32_t first = count + offset;
        uint32_t copyFrames = frames;
        if (frames > ring.frames) {
            // The frames a sequential write would have overwritten are skipped.
            const uint32_t skipped = frames - ring.frames;
            source += size_t(skipped) * ring.channels;
            first += skipped;
            copyFrames = ring.frames;
        }
        const uint32_t slot = first % ring.frames;
        const uint32_t head = copyFrames < ring.frames - slot ? copyFrames : ring.frames - slot;
        std::memcpy(samples + size_t(slot) * ring.channels, source,
                    size_t(head) * ring.channels * sizeof(int32_t));
        if (copyFrames > head)
            std::memcpy(samples, source + size_t(head) * ring.channels,
                        size_t(copyFrames - head) * ring.channels * sizeof(int32_t));
    }
    // Published after the samples, offset before count: a reader that sees either never counts
    // frames whose copy is still under way.
    store(writeOffset, offset, std::memory_order_release);
    store(writeCount, count + frames, std::memory_order_release);
}

void AudioSM::writeTimestamp(uint64_t ts)
{
    const uint32_t count = load(writeCount);
    if (tsCollect.ts0 == 0) {
        tsCollect.frame0 = count;
        tsCollect.ts0 = ts;
    }
    tsCollect.ts1 = ts;
    tsCollect.frame1 = count;
    if (uint32_t(tsCollect.frame1 - tsCollect.frame0) < tsMinFrames)
        return;
    const bool firstIsCurrent = load(tsCurrent) != 0;
    AudioTSData& record = firstIsCurrent ? tsRecord2 : tsRecord1;
    store(record.frame0, tsCollect.frame0);
    store(record.frame1, tsCollect.frame1);
    store(record.ts0, tsCollect.ts0);
    store(record.ts1, tsCollect.ts1);
    record.validate();
    // The record is complete before readers are pointed at it.
    store(tsCurrent, firstIsCurrent ? 0u : 1u, std::memory_order_release);
    tsCollect.ts0 = tsCollect.ts1;
    tsCollect.frame0 = tsCollect.frame1;
}

void AudioSM::read(uint32_t& position, int32_t* destination, uint32_t frames, uint64_t& timestamp,
                   AudioSampleCopy copy, uint32_t channels) const
{
    std::atomic_ref<uint32_t> shared(position);
    const uint32_t p = shared.load(std::memory_order_relaxed);
    const Geometry ring = geometryOf(*this);
    if (destination != nullptr && copy != nullptr && ring.usable()
        && (channels == 0 || channels == ring.channels)) {
        const uint32_t slot = p % ring.frames;
        const uint32_t copyFrames = frames < ring.frames ? frames : ring.frames;
        const uint32_t head = copyFrames < ring.frames - slot ? copyFrames : ring.frames - slot;
        if (head > 0)
            copy(destination, samples + size_t(slot) * ring.channels, int(head * ring.channels));
        if (copyFrames > head)
            copy(destination + size_t(head) * ring.channels, samples, int((copyFrames - head) * ring.channels));
    }
    getTS(p, timestamp);
    // Released: the writer may reuse the slots once it sees the new position.
    shared.store(p + frames, std::memory_order_release);
}

uint32_t AudioSM::getFramePos() const
{
    return load(writeCount, std::memory_order_acquire);
}

uint32_t AudioSM::getAvailableFrames(uint32_t position) const
{
    const uint32_t count = load(writeCount, std::memory_order_acquire);
    return count + load(writeOffset, std::memory_order_acquire) - position;
}

void AudioSM::getTS(uint32_t frame, uint64_t& ts) const
{
    const uint32_t current = load(tsCurrent, std::memory_order_acquire);
    (current != 0 ? tsRecord1 : tsRecord2).getTS(frame, ts);
}
