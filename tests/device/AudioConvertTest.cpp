#include "device/AudioConvert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

// The float-to-integer conversion and the ring callbacks against a reference worked out in
// double precision, over a strided sweep of the input range with the extremes added; lengths
// that reach the blocked loops and their tails; and one table of the calls that must change
// nothing. The integer-to-float conversion and the channel maps are AudioConvertExactTest's.
namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

int32_t outputReference(float sample)
{
    const double product = static_cast<double>(sample) * 8388608.0;
    if (!(product > -2147483649.0 && product < 2147483648.0))
        return kMin; // out of range and NaN
    return static_cast<int32_t>(std::trunc(product));
}

int32_t saturateReference(int32_t sample)
{
    const int64_t clamped = std::clamp<int64_t>(sample, -8388608, 8388607);
    return static_cast<int32_t>(clamped * 256);
}

int32_t wrappingAdd(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// Every 2^32 / count-th 32-bit pattern, and the values at and next to the extremes.
std::vector<int32_t> sweep(unsigned count = 40009)
{
    std::vector<int32_t> values = {0, 1, -1, kMax, kMin, kMax - 1, kMin + 1, 2147483520, -2147483520, 8388607, -8388609};
    const uint64_t step = (uint64_t(1) << 32) / count;
    for (uint64_t bits = 0; bits < (uint64_t(1) << 32); bits += step)
        values.push_back(static_cast<int32_t>(static_cast<uint32_t>(bits)));
    return values;
}

// Below `size`, and not a multiple of any block length the loops may use.
std::size_t tailedCount(std::size_t size)
{
    return (size - 8) / 64 * 64 + 7;
}

float floatOf(int32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

int32_t intOf(float value)
{
    int32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

} // namespace

TEST(AudioConvert, FloatToIntTruncatesAndGivesTheMinimumOutOfRange)
{
    // Float bit patterns: both signs, subnormals, infinities and NaNs.
    std::vector<float> samples;
    for (int32_t bits : sweep())
        samples.push_back(floatOf(bits));
    for (float f : {1.0f, -1.0f, 0.99999994f, 0.7f, -0.7f, std::nextafter(256.0f, 0.0f), 256.0f, -256.0f,
                    std::nextafter(-256.0f, -512.0f), 1.5f / 8388608.0f, -1.5f / 8388608.0f})
        samples.push_back(f);
    // A count that leaves a tail behind the blocked loop; the sample beyond it stays a float.
    const unsigned frames = static_cast<unsigned>(tailedCount(samples.size()));
    samples[frames] = 0.25f;
    std::vector<float> buffer = samples;
    audioConvertFloatToSInt32(buffer.data(), frames, 1);
    for (unsigned i = 0; i < frames; ++i)
        ASSERT_EQ(intOf(buffer[i]), outputReference(samples[i])) << samples[i];
    EXPECT_EQ(buffer[frames], 0.25f);
}

TEST(AudioConvert, RingCallbacksCopyAddClearAndSaturate)
{
    const std::vector<int32_t> values = sweep(5000);
    const int count = static_cast<int>(tailedCount(values.size()));
    std::vector<int> source(values.begin(), values.end()), base(values.rbegin(), values.rend());

    std::vector<int> set = base, add = base, cleared = base, kept = base, saturated = source;
    audioInt32CopySet(set.data(), source.data(), count);
    audioInt32CopyAdd(add.data(), source.data(), count);
    audioInt32Clear(cleared.data(), count);
    audioInt32ClearNot(kept.data(), count);
    audioInt32Saturate(saturated.data(), count);
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(set[i], source[i]) << i;
        ASSERT_EQ(add[i], wrappingAdd(base[i], source[i])) << i;
        ASSERT_EQ(cleared[i], 0) << i;
        ASSERT_EQ(saturated[i], saturateReference(source[i])) << source[i];
    }
    EXPECT_EQ(kept, base);
    for (const auto* buffer : {&set, &add, &cleared})
        EXPECT_EQ((*buffer)[count], base[count]) << "nothing beyond the count";
    EXPECT_EQ(saturated[count], source[count]);
}

TEST(AudioConvert, NullBuffersAndCountsOfZeroOrLessChangeNothing)
{
    const std::vector<int32_t> source = {1073741760, 5, -5, 8};
    std::vector<int32_t> ints = {9, 9, 9, 9};
    std::vector<float> floats = {3.0f, 3.0f, 3.0f, 3.0f};
    int32_t* i = ints.data();
    float* f = floats.data();
    const int32_t* s = source.data();
    const std::vector<std::function<void()>> calls = {
        [&] { convertIntToFloat(nullptr, 2, f, 2, 2); },
        [&] { convertIntToFloat(s, 2, nullptr, 2, 2); },
        [&] { convertIntToFloat(s, 2, f, 2, 0); },
        [&] { convertIntToFloat(s, 0, f, 2, 2); },
        [&] { convertIntToFloat(s, 2, f, 0, 2); },
        [&] { audioConvertFloatToSInt32(nullptr, 2, 2); },
        [&] { audioConvertFloatToSInt32(f, 0, 2); },
        [&] { audioConvertFloatToSInt32(f, 2, 0); },
        [&] { audioMapChannelsSet(nullptr, 2, i, 2, 2); },
        [&] { audioMapChannelsSet(s, 2, nullptr, 2, 2); },
        [&] { audioMapChannelsSet(s, 2, i, 2, 0); },
        [&] { audioMapChannelsSet(s, 0, i, 2, 2); },
        [&] { audioMapChannelsAdd(nullptr, 2, i, 2, 2); },
        [&] { audioMapChannelsAdd(s, 2, nullptr, 2, 2); },
        [&] { audioMapChannelsAdd(s, 2, i, 0, 2); },
        [&] { audioInt32CopySet(nullptr, s, 4); },
        [&] { audioInt32CopySet(i, nullptr, 4); },
        [&] { audioInt32CopySet(i, s, -1); },
        [&] { audioInt32CopyAdd(nullptr, s, 4); },
        [&] { audioInt32CopyAdd(i, nullptr, 4); },
        [&] { audioInt32CopyAdd(i, s, 0); },
        [&] { audioInt32Clear(nullptr, 4); },
        [&] { audioInt32Clear(i, -1000); },
        [&] { audioInt32Saturate(nullptr, 4); },
        [&] { audioInt32Saturate(i, -5); },
    };
    for (std::size_t n = 0; n < calls.size(); ++n) {
        calls[n]();
        ASSERT_EQ(ints, (std::vector<int32_t>{9, 9, 9, 9})) << "call " << n;
        ASSERT_EQ(floats, (std::vector<float>{3.0f, 3.0f, 3.0f, 3.0f})) << "call " << n;
    }
}
