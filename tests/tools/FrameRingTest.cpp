// The ring between an IOProc and the thread that does the file I/O.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "tools/FrameRing.h"

namespace {

using haltools::FrameRing;

// Frame f of a test stream: its channels f*3, f*3+1, f*3+2.
std::vector<float> framesFrom(size_t first, size_t count)
{
    std::vector<float> samples;
    for (size_t f = first; f < first + count; ++f)
        for (size_t c = 0; c < 3; ++c)
            samples.push_back(float(f * 3 + c));
    return samples;
}

TEST(FrameRing, KeepsWholeFramesInOrderAcrossTheWrapAndNeverOverfills)
{
    FrameRing ring(3, 5); // rounded up to 8 frames
    EXPECT_EQ(ring.capacity(), 8u);
    std::vector<float> out(8 * 3, -1.0f);
    EXPECT_EQ(ring.read(out.data(), 8), 0u) << "empty";

    EXPECT_EQ(ring.write(framesFrom(0, 6).data(), 6), 6u);
    EXPECT_EQ(ring.read(out.data(), 4), 4u);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 12), framesFrom(0, 4));
    // Frames 6..11 go round the end of the ring; only what fits is taken.
    EXPECT_EQ(ring.write(framesFrom(6, 8).data(), 8), 6u);
    EXPECT_EQ(ring.readable(), 8u);
    EXPECT_EQ(ring.write(framesFrom(12, 1).data(), 1), 0u) << "full";
    EXPECT_EQ(ring.read(out.data(), 8), 8u);
    EXPECT_EQ(out, framesFrom(4, 8));
    EXPECT_EQ(ring.readable(), 0u);
}

// One thread writes a counted stream in uneven pieces, another reads it in others: every
// frame arrives once, whole and in order (and ThreadSanitizer sees the hand-over).
TEST(FrameRing, AProducerAndAConsumerThreadHandOverEveryFrameOnce)
{
    constexpr size_t kFrames = 200000;
    FrameRing ring(3, 64);
    const std::vector<float> stream = framesFrom(0, kFrames);
    std::thread producer([&] {
        size_t sent = 0, piece = 1;
        while (sent < kFrames) {
            const size_t took = ring.write(stream.data() + sent * 3, std::min(piece, kFrames - sent));
            sent += took;
            piece = piece % 37 + 1;
            if (took == 0)
                std::this_thread::yield();
        }
    });
    std::vector<float> received;
    received.reserve(stream.size());
    std::vector<float> buffer(50 * 3);
    size_t piece = 50;
    while (received.size() < stream.size()) {
        const size_t got = ring.read(buffer.data(), piece);
        received.insert(received.end(), buffer.begin(), buffer.begin() + long(got * 3));
        piece = piece % 50 + 1;
        if (got == 0)
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(received, stream);
    EXPECT_EQ(ring.readable(), 0u);
}

} // namespace
