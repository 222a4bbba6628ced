#pragma once
// What the program's thread and the IOProc share for one ALSA stream, without locks: the ring
// of float frames in the device's channel layout with its two counters, the flags the IOProc
// raises, and the record of the last I/O cycle that the delay is computed from. The IOProc's
// side allocates nothing, waits for nothing and makes no system call. Nothing here knows
// alsa-lib or the HAL.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarselalsa {

// Frames ever written into and ever taken out of the ring; 64 bits do not wrap. For playback
// the program writes and the IOProc takes, for capture the other way round.
class PcmRing {
public:
    // Room for exactly `frames` frames (the ALSA buffer) of `channels` floats.
    void allocate(uint32_t channels, uint32_t frames)
    {
        m_channels = std::max<uint32_t>(channels, 1);
        m_frames = std::max<uint32_t>(frames, 1);
        m_samples.assign(size_t(m_channels) * m_frames, 0.0f);
        reset();
    }
    // Only while the other side does not run.
    void reset()
    {
        m_written.store(0, std::memory_order_relaxed);
        m_taken.store(0, std::memory_order_relaxed);
    }

    uint32_t channels() const { return m_channels; }
    uint32_t capacity() const { return m_frames; }
    bool allocated() const { return !m_samples.empty(); }

    uint64_t written() const { return m_written.load(std::memory_order_acquire); }
    uint64_t taken() const { return m_taken.load(std::memory_order_acquire); }
    void publishWritten(uint64_t count) { m_written.store(count, std::memory_order_release); }
    void publishTaken(uint64_t count) { m_taken.store(count, std::memory_order_release); }

    // Hands `move` frames [position, position + n) of the ring in at most two pieces: the
    // piece's samples, its first frame counted from `position`, its length in frames.
    template <typename Move>
    void pieces(uint64_t position, uint64_t n, Move move)
    {
        if (m_samples.empty())
            return;
        n = std::min<uint64_t>(n, m_frames);
        const auto start = uint32_t(position % m_frames);
        const uint64_t first = std::min<uint64_t>(n, m_frames - start);
        if (first > 0)
            move(m_samples.data() + size_t(start) * m_channels, uint64_t(0), first);
        if (n > first)
            move(m_samples.data(), first, n - first);
    }

private:
    uint32_t m_channels = 1;
    uint32_t m_frames = 1;
    std::vector<float> m_samples;
    alignas(64) std::atomic<uint64_t> m_written{0};
    alignas(64) std::atomic<uint64_t> m_taken{0};
    static_assert(std::atomic<uint64_t>::is_always_lock_free);
};

// The last I/O cycle as the IOProc saw it: when its input buffer began (host time), its frame
// count, and the ring's IOProc-side counter after it.
struct Cycle {
    uint64_t inputHostTime = 0;
    uint32_t frames = 0;
    uint64_t count = 0;
};

// One writer (the IOProc), any number of readers that retry: a sequence count that is odd
// while the record changes.
class CycleRecord {
public:
    // Without fences (which ThreadSanitizer does not follow): the record's words are stored
    // with release after the odd count, and loaded with acquire before the count is read again,
    // so a reader that saw any word of a change sees the count move.
    void publish(const Cycle& cycle)
    {
        const uint32_t s = m_sequence.load(std::memory_order_relaxed);
        m_sequence.store(s + 1, std::memory_order_relaxed);
        m_host.store(cycle.inputHostTime, std::memory_order_release);
        m_frames.store(cycle.frames, std::memory_order_release);
        m_count.store(cycle.count, std::memory_order_release);
        m_sequence.store(s + 2, std::memory_order_release);
    }
    // False while no cycle was published since clear(), or the writer kept it busy.
    bool read(Cycle& cycle) const
    {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const uint32_t before = m_sequence.load(std::memory_order_acquire);
            if ((before & 1) != 0)
                continue;
            cycle.inputHostTime = m_host.load(std::memory_order_acquire);
            cycle.frames = m_frames.load(std::memory_order_acquire);
            cycle.count = m_count.load(std::memory_order_acquire);
            if (m_sequence.load(std::memory_order_relaxed) == before)
                return before != 0 && cycle.frames != 0;
        }
        return false;
    }
    // Only while the writer does not run.
    void clear()
    {
        m_sequence.store(0, std::memory_order_relaxed);
        m_frames.store(0, std::memory_order_relaxed);
    }

private:
    std::atomic<uint32_t> m_sequence{0};
    std::atomic<uint64_t> m_host{0};
    std::atomic<uint32_t> m_frames{0};
    std::atomic<uint64_t> m_count{0};
};

// The device's delays in frames, as the HAL reports them.
struct DeviceDelays {
    uint32_t frameSize = 0;
    uint32_t outputLatency = 0, outputSafety = 0;
    uint32_t inputLatency = 0, inputSafety = 0;
};

// The delays, on the model the HAL's figures describe: output written in a cycle whose input
// buffer began at T is heard from T + output latency + safety offset + two buffers (the input
// buffer is whole before the IOProc is called, and the output goes out whole); a sound reaches
// an input buffer position input latency + safety offset after it was made. `elapsed` is how
// many frames have passed since the last cycle's input buffer began.
//
// Playback: what is in the ring, then the frames still to be heard of the cycles that took
// theirs: the next cycle's first frame is heard at T + latency + safety + 3 buffers.
inline int64_t playbackDelay(uint64_t ringFill, const DeviceDelays& d, const Cycle* last, double elapsed)
{
    const int64_t lead = int64_t(d.outputLatency) + d.outputSafety;
    if (last == nullptr)
        return int64_t(ringFill) + lead + 2 * int64_t(d.frameSize); // not started: as from a cycle's start
    const double ahead = double(lead) + 3.0 * last->frames - elapsed;
    return int64_t(ringFill) + std::max<int64_t>(0, int64_t(ahead + 0.5));
}

// Capture: what waits in the ring, and how long ago the newest of it was made: the last
// cycle's input buffer ends `frames` after T, its frames were made input latency + safety
// offset before their positions, and the frames made since then are on their way.
inline int64_t captureDelay(uint64_t ringFill, const DeviceDelays& d, const Cycle* last, double elapsed)
{
    const int64_t lead = int64_t(d.inputLatency) + d.inputSafety;
    if (last == nullptr)
        return int64_t(ringFill) + lead;
    const double behind = double(lead) + elapsed - double(last->frames);
    return int64_t(ringFill) + std::max<int64_t>(0, int64_t(behind + 0.5));
}

} // namespace tarselalsa
