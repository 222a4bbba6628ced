// The clock's own records, in process: the mix history's block read against its per-sample
// answer, and the availability log the clock keeps in the input ring.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "device/AudioSM.h"
#include "kext/AudioSource.h"
#include "kext/AvailabilityLog.h"

namespace {

TEST(MixHistoryRead, MatchesTheSampleByFrameAnswerAcrossWrapsAndEdges)
{
    constexpr uint32_t kFrames = 300; // a few passes of kChunkFrames: the writes wrap
    constexpr uint32_t kChannels = 3;
    kext::audio::MixHistory history;
    history.allocate(kFrames, kChannels, 1000);
    std::vector<int32_t> mix(size_t(kext::audio::kChunkFrames) * kChannels);
    uint64_t frame = 1000;
    // A gap (the clock resynchronised) after the second write.
    for (uint32_t n : {200u, 150u, 0u, 256u, 77u}) {
        if (n == 0) {
            frame += 40;
            continue;
        }
        for (uint32_t i = 0; i < n * kChannels; ++i)
            mix[i] = int32_t((frame + i / kChannels) * 10 + i % kChannels);
        history.write(frame, mix.data(), n);
        frame += n;
    }
    struct Case {
        uint64_t first;
        uint32_t n;
        uint32_t channels;
    };
    // Before anything was written, spanning what is no longer held, inside, up to the newest
    // and beyond it; with fewer and more channels than the history has.
    const Case cases[] = {{900, 200, 3}, {frame - 400, 256, 3}, {frame - 300, 256, 2}, {frame - 100, 100, 3},
                          {frame - 50, 100, 4},  {frame, 10, 3},       {frame - 256, 256, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << " +" << c.n << " x" << c.channels);
        std::vector<int32_t> got(size_t(c.n) * c.channels, -1);
        history.read(c.first, c.n, c.channels, got.data());
        std::vector<int32_t> want(got.size());
        for (uint32_t f = 0; f < c.n; ++f)
            for (uint32_t ch = 0; ch < c.channels; ++ch)
                want[size_t(f) * c.channels + ch] = history.sample(c.first + f, ch);
        EXPECT_EQ(got, want);
    }
}

TEST(AvailabilityLog, AnswersTheFirstTickThatReachedACount)
{
    auto ring = std::make_unique<AudioSM>();
    ring->init(2, 4096);
    kext::AvailabilityLog& log = kext::AvailabilityLog::of(*ring);
    log.clear();
    uint64_t when = 0;
    EXPECT_FALSE(log.whenAvailable(10, when)); // nothing noted yet
    // Ticks of 6 frames, the counter starting just below the wrap.
    uint32_t count = 0xFFFFFF00u;
    for (uint64_t tick = 1; tick <= 300; ++tick) {
        count += 6;
        log.note(count, tick * 1000);
    }
    // The newest tick is 300 (count c300); a count reached at tick t was reached first then.
    const uint32_t newest = count;
    for (uint64_t back : {0u, 1u, 50u, 100u}) {
        SCOPED_TRACE(back);
        ASSERT_TRUE(log.whenAvailable(newest - uint32_t(back) * 6, when));
        EXPECT_EQ(when, (300 - back) * 1000);
        ASSERT_TRUE(log.whenAvailable(newest - uint32_t(back) * 6 - 5, when)); // within that tick
        EXPECT_EQ(when, (300 - back) * 1000);
    }
    EXPECT_FALSE(log.whenAvailable(newest + 1, when)); // not there yet
    EXPECT_FALSE(log.whenAvailable(newest - 200 * 6, when)); // no longer logged
}

} // namespace
