#pragma once
// A ring of interleaved audio frames between one producer thread and one consumer thread,
// without locks: an IOProc on one side, a thread doing the file I/O on the other. All memory is
// taken by the constructor; write() and read() allocate nothing, wait for nothing and make no
// system call, so the IOProc may call its side.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace haltools {

class FrameRing {
public:
    // Room for at least `frames` frames of `channels` samples (rounded up to a power of two).
    FrameRing(uint32_t channels, size_t frames)
        : m_channels(std::max<uint32_t>(channels, 1)), m_frames(std::bit_ceil(std::max<size_t>(frames, 2))),
          m_samples(m_frames * m_channels)
    {
    }
    FrameRing(const FrameRing&) = delete;
    FrameRing& operator=(const FrameRing&) = delete;

    uint32_t channels() const { return m_channels; }
    size_t capacity() const { return m_frames; }

    // Producer: copies up to `frames` frames in; returns how many it took.
    size_t write(const float* data, size_t frames)
    {
        const uint64_t head = m_head.load(std::memory_order_relaxed);
        const uint64_t tail = m_tail.load(std::memory_order_acquire);
        const size_t n = std::min<size_t>(frames, m_frames - size_t(head - tail));
        pieces(head, n, [&](float* ring, size_t at, size_t count) {
            std::memcpy(ring, data + at * m_channels, count * m_channels * sizeof(float));
        });
        m_head.store(head + n, std::memory_order_release);
        return n;
    }

    // Consumer: copies up to `frames` frames out; returns how many there were.
    size_t read(float* data, size_t frames)
    {
        const uint64_t tail = m_tail.load(std::memory_order_relaxed);
        const uint64_t head = m_head.load(std::memory_order_acquire);
        const size_t n = std::min<size_t>(frames, size_t(head - tail));
        pieces(tail, n, [&](const float* ring, size_t at, size_t count) {
            std::memcpy(data + at * m_channels, ring, count * m_channels * sizeof(float));
        });
        m_tail.store(tail + n, std::memory_order_release);
        return n;
    }

    // Frames waiting to be read; from either side a lower bound for the consumer and an upper
    // bound for the producer.
    size_t readable() const
    {
        return size_t(m_head.load(std::memory_order_acquire) - m_tail.load(std::memory_order_acquire));
    }

private:
    // Hands `move` the frames [position, position + n) of the ring in at most two pieces: the
    // ring's samples, the piece's first frame counted from `position`, its length in frames.
    template <typename Move>
    void pieces(uint64_t position, size_t n, Move move)
    {
        const size_t start = size_t(position & (m_frames - 1));
        const size_t first = std::min(n, m_frames - start);
        if (first > 0)
            move(m_samples.data() + start * m_channels, size_t(0), first);
        if (n > first)
            move(m_samples.data(), first, n - first);
    }

    const uint32_t m_channels;
    const size_t m_frames; // a power of two
    std::vector<float> m_samples;
    // Frames ever written and ever read; 64 bits do not wrap.
    alignas(64) std::atomic<uint64_t> m_head{0};
    alignas(64) std::atomic<uint64_t> m_tail{0};
    static_assert(std::atomic<uint64_t>::is_always_lock_free);
};

} // namespace haltools
