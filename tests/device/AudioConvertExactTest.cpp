// The sample functions against their plain definitions: the integer-to-float conversion
// against the true division for every 32-bit input, and the channel maps over every layout
// pair (the common ones and the general form alike).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "device/AudioConvert.h"

namespace {

float trueQuotient(int32_t x)
{
    return static_cast<float>(x) / 2147483520.0f;
}

TEST(ConvertIntToFloatExact, EqualsTheTrueDivisionForEveryInput)
{
    constexpr uint32_t kChunk = 1u << 16;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr uint64_t kStride = 61; // instrumented builds: every 61st chunk, a dense sweep
#else
    constexpr uint64_t kStride = 1;
#endif
    std::vector<int32_t> in(kChunk);
    std::vector<float> out(kChunk);
    std::vector<float> expected(kChunk);
    uint64_t mismatches = 0;
    int32_t firstMismatch = 0;
    for (uint64_t start = 0; start < (uint64_t(1) << 32); start += kChunk * kStride) {
        for (uint32_t i = 0; i < kChunk; ++i) {
            in[i] = static_cast<int32_t>(static_cast<uint32_t>(start + i));
            expected[i] = trueQuotient(in[i]);
        }
        // Stereo, the flat path; the layouts are checked below.
        convertIntToFloat(in.data(), 2, out.data(), 2, kChunk / 2);
        if (std::memcmp(out.data(), expected.data(), kChunk * sizeof(float)) == 0)
            continue;
        for (uint32_t i = 0; i < kChunk; ++i)
            if (std::memcmp(&out[i], &expected[i], sizeof(float)) != 0 && mismatches++ == 0)
                firstMismatch = in[i];
    }
    EXPECT_EQ(mismatches, 0u) << "first at " << firstMismatch;
}

// Every pair of channel counts 1..9 (the fixed-count forms and the general one) and counts
// that take every block width of the general form, over frame counts with and without a
// remainder, for all three mapping functions.
TEST(ChannelMapsExact, EveryLayoutPairMatchesThePlainLoop)
{
    const unsigned layouts[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 31, 33};
    for (unsigned s : layouts)
        for (unsigned d : layouts)
            for (unsigned frames : {1u, 13u, 64u}) {
                SCOPED_TRACE(testing::Message() << s << " -> " << d << ", " << frames << " frames");
                std::vector<int32_t> source(size_t(s) * frames);
                for (size_t i = 0; i < source.size(); ++i)
                    source[i] = static_cast<int32_t>(static_cast<uint32_t>(i + 1) * 2654435761u);
                std::vector<int32_t> initial(size_t(d) * frames + 1); // and one beyond the frames
                for (size_t i = 0; i < initial.size(); ++i)
                    initial[i] = static_cast<int32_t>(0x7FFFFF00u + uint32_t(i)); // sums wrap
                std::vector<int32_t> set = initial, add = initial, wantSet = initial, wantAdd = initial;
                std::vector<float> toFloat(initial.size(), -7.0f), wantFloat = toFloat;
                for (unsigned f = 0; f < frames; ++f)
                    for (unsigned c = 0; c < std::min(s, d); ++c) {
                        const int32_t v = source[size_t(f) * s + c];
                        const size_t at = size_t(f) * d + c;
                        wantSet[at] = v;
                        wantAdd[at] = static_cast<int32_t>(uint32_t(wantAdd[at]) + uint32_t(v));
                        wantFloat[at] = trueQuotient(v);
                    }
                audioMapChannelsSet(source.data(), s, set.data(), d, frames);
                audioMapChannelsAdd(source.data(), s, add.data(), d, frames);
                convertIntToFloat(source.data(), s, toFloat.data(), d, frames);
                EXPECT_EQ(set, wantSet);
                EXPECT_EQ(add, wantAdd);
                EXPECT_EQ(std::memcmp(toFloat.data(), wantFloat.data(), toFloat.size() * sizeof(float)), 0);
            }
}

} // namespace
