#include "device/AudioConvert.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// The correctly rounded float quotient, worked out in double: a double carries more than
// twice a float's precision, so rounding the double quotient to float rounds correctly.
float expectedInput(int32_t sample)
{
    return static_cast<float>(static_cast<double>(static_cast<float>(sample)) / 2147483520.0);
}

// Reads back the integer that audioConvertFloatToSInt32 stored over a float's bytes.
int32_t intAt(const std::vector<float>& buffer, std::size_t index)
{
    int32_t value;
    std::memcpy(&value, &buffer[index], sizeof value);
    return value;
}

std::vector<int32_t> convertedOutput(const std::vector<float>& samples)
{
    std::vector<float> buffer = samples;
    audioConvertFloatToSInt32(buffer.data(), static_cast<unsigned>(buffer.size()), 1);
    std::vector<int32_t> result(buffer.size());
    for (std::size_t i = 0; i < buffer.size(); ++i)
        result[i] = intAt(buffer, i);
    return result;
}

bool sameBits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

} // namespace

TEST(ConvertIntToFloat, ScalesByTheLargestFloatBelowTwoToThe31)
{
    const std::vector<int32_t> source = {0, 2147483520, -2147483520, 1073741760, kMax, kMin, 1, -1};
    std::vector<float> out(source.size(), 99.0f);
    convertIntToFloat(source.data(), 1, out.data(), 1, static_cast<unsigned>(source.size()));

    EXPECT_TRUE(sameBits(out[0], 0.0f)) << "0 stays +0";
    EXPECT_EQ(out[1], 1.0f) << "the divisor itself is full scale";
    EXPECT_EQ(out[2], -1.0f);
    EXPECT_EQ(out[3], 0.5f);
    // Both extremes round to 2^31 as floats; 2^31 / (2^31 - 128) = 1.00000006 rounds to the
    // float just above 1.
    const float justAboveOne = std::nextafter(1.0f, 2.0f);
    EXPECT_EQ(out[4], justAboveOne);
    EXPECT_EQ(out[5], -justAboveOne);
    EXPECT_EQ(out[6], expectedInput(1));
    EXPECT_EQ(out[7], -expectedInput(1));
}

TEST(ConvertIntToFloat, DividesRatherThanMultipliesByTheReciprocal)
{
    // For 1000 the product with the rounded reciprocal differs from the true quotient in the
    // last bit, so only a true division passes.
    const int32_t sample = 1000;
    volatile float divisor = 2147483520.0f;
    const float byReciprocal = static_cast<float>(sample) * (1.0f / divisor);
    ASSERT_NE(byReciprocal, expectedInput(sample)) << "the case must tell the two apart";

    // Long enough for the blocked loop and its tail, so both paths see the value.
    std::vector<int32_t> source(19, sample);
    std::vector<float> out(source.size());
    convertIntToFloat(source.data(), 1, out.data(), 1, static_cast<unsigned>(source.size()));
    for (std::size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i], expectedInput(sample)) << "index " << i;
}

TEST(ConvertIntToFloat, MapsTheFirstChannelsOnly)
{
    constexpr unsigned kFrames = 3;
    std::vector<int32_t> four(kFrames * 4);
    for (std::size_t i = 0; i < four.size(); ++i)
        four[i] = static_cast<int32_t>(i + 1) * 150000001 * (i % 2 ? -1 : 1); // distinct
    // 4 source channels into 2: channels 2 and 3 of each frame are skipped.
    std::vector<float> two(kFrames * 2, 7.0f);
    convertIntToFloat(four.data(), 4, two.data(), 2, kFrames);
    for (unsigned f = 0; f < kFrames; ++f)
        for (unsigned c = 0; c < 2; ++c)
            EXPECT_EQ(two[f * 2 + c], expectedInput(four[f * 4 + c])) << f << "/" << c;

    // 2 source channels into 3: the third destination channel keeps its value.
    const std::vector<int32_t> stereo = {2147483520, -2147483520, 0, 1073741760, 5, 6};
    std::vector<float> three(kFrames * 3, 7.0f);
    convertIntToFloat(stereo.data(), 2, three.data(), 3, kFrames);
    const std::vector<float> expected = {1.0f,
                                         -1.0f,
                                         7.0f,
                                         0.0f,
                                         0.5f,
                                         7.0f,
                                         expectedInput(5),
                                         expectedInput(6),
                                         7.0f};
    EXPECT_EQ(three, expected);
}

TEST(ConvertIntToFloat, NullBuffersAndZeroCountsChangeNothing)
{
    const std::vector<int32_t> source = {1073741760, 1073741760};
    std::vector<float> out = {3.0f, 3.0f};
    convertIntToFloat(nullptr, 2, out.data(), 2, 1);
    convertIntToFloat(source.data(), 2, nullptr, 2, 1);
    convertIntToFloat(source.data(), 2, out.data(), 2, 0);
    convertIntToFloat(source.data(), 0, out.data(), 2, 1);
    convertIntToFloat(source.data(), 2, out.data(), 0, 1);
    EXPECT_EQ(out, (std::vector<float>{3.0f, 3.0f}));
}

TEST(AudioConvertFloatToSInt32, ScalesByTwoToThe23AndTruncatesTowardZero)
{
    const float lsb = 1.0f / 8388608.0f;
    const std::vector<int32_t> result = convertedOutput({
        1.0f, -1.0f, 0.0f, -0.0f, 0.99999994f, 0.5f, -0.7f, 0.7f,
        1.5f * lsb, -1.5f * lsb, 0.99f * lsb, -0.99f * lsb, 1e-30f, -1e-30f,
    });
    const std::vector<int32_t> expected = {
        8388608, -8388608, 0, 0, 8388607, 4194304, -5872025, 5872025,
        1, -1, 0, 0, 0, 0, // toward zero, not toward minus infinity
    };
    EXPECT_EQ(result, expected);
}

TEST(AudioConvertFloatToSInt32, OutOfRangeProductsGiveTheMinimumWithoutSaturating)
{
    const float below256 = std::nextafter(256.0f, 0.0f); // times 2^23: 2^31 - 128
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<int32_t> result = convertedOutput({
        below256, -below256, -256.0f, 256.0f, 300.0f, -300.0f,
        std::nextafter(-256.0f, -512.0f), inf, -inf, nan, 1e30f, -1e30f,
    });
    const std::vector<int32_t> expected = {
        2147483520, -2147483520, kMin, // the last values in range
        kMin, kMin, kMin, kMin, kMin, kMin, kMin, kMin, kMin, // beyond: never clamped to the maximum
    };
    EXPECT_EQ(result, expected);
}

TEST(AudioConvertFloatToSInt32, ConvertsFramesTimesChannelsInPlace)
{
    // 9 frames of 3 channels: the blocked loop and its scalar tail, and a sample beyond the
    // count that must stay a float.
    std::vector<float> buffer(28);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<float>(i) / 64.0f - 0.2f;
    const std::vector<float> original = buffer;
    audioConvertFloatToSInt32(buffer.data(), 9, 3);
    for (std::size_t i = 0; i < 27; ++i)
        EXPECT_EQ(intAt(buffer, i), static_cast<int32_t>(std::trunc(original[i] * 8388608.0f)))
            << "index " << i;
    EXPECT_EQ(buffer[27], original[27]);

    audioConvertFloatToSInt32(nullptr, 9, 3);
    buffer = original;
    audioConvertFloatToSInt32(buffer.data(), 0, 3);
    audioConvertFloatToSInt32(buffer.data(), 9, 0);
    EXPECT_EQ(buffer, original) << "a zero count changes nothing";
}

TEST(AudioMapChannels, SetCopiesTheFirstChannelsOfEachFrame)
{
    const std::vector<int32_t> four = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<int32_t> two(4, -9);
    audioMapChannelsSet(four.data(), 4, two.data(), 2, 2);
    EXPECT_EQ(two, (std::vector<int32_t>{1, 2, 5, 6}));

    const std::vector<int32_t> stereo = {1, 2, 3, 4};
    std::vector<int32_t> three(6, -9);
    audioMapChannelsSet(stereo.data(), 2, three.data(), 3, 2);
    EXPECT_EQ(three, (std::vector<int32_t>{1, 2, -9, 3, 4, -9}));

    std::vector<int32_t> same(21, -9);
    std::vector<int32_t> source(20);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = kMin + static_cast<int32_t>(i);
    audioMapChannelsSet(source.data(), 2, same.data(), 2, 10);
    EXPECT_EQ(std::vector<int32_t>(same.begin(), same.end() - 1), source);
    EXPECT_EQ(same.back(), -9) << "nothing beyond frames x channels";
}

TEST(AudioMapChannels, AddMixesWithWrappingAddition)
{
    // Equal channel counts (the blocked loop and its tail), then 3 into 2 and 1 into 2.
    std::vector<int32_t> destination(19, 0);
    destination[0] = kMax;
    destination[1] = kMin;
    destination[2] = 8388607;
    destination[18] = kMax;
    std::vector<int32_t> source(19, 3);
    source[0] = 1;
    source[1] = -1;
    source[2] = 8388607;
    source[18] = 1;
    audioMapChannelsAdd(source.data(), 1, destination.data(), 1, 18);
    EXPECT_EQ(destination[0], kMin) << "0x7FFFFFFF + 1 wraps to 0x80000000";
    EXPECT_EQ(destination[1], kMax) << "0x80000000 - 1 wraps to 0x7FFFFFFF";
    EXPECT_EQ(destination[2], 16777214);
    for (std::size_t i = 3; i < 18; ++i)
        EXPECT_EQ(destination[i], 3) << "index " << i;
    EXPECT_EQ(destination[18], kMax) << "nothing beyond frames x channels";

    const std::vector<int32_t> three = {1, 2, 3, 10, 20, 30};
    std::vector<int32_t> two = {100, kMax, 100, 100};
    audioMapChannelsAdd(three.data(), 3, two.data(), 2, 2);
    EXPECT_EQ(two, (std::vector<int32_t>{101, kMin + 1, 110, 120}));

    const std::vector<int32_t> mono = {5, 6};
    std::vector<int32_t> stereo = {1, 1, 1, 1};
    audioMapChannelsAdd(mono.data(), 1, stereo.data(), 2, 2);
    EXPECT_EQ(stereo, (std::vector<int32_t>{6, 1, 7, 1}));
}

TEST(AudioMapChannels, NullBuffersAndZeroCountsChangeNothing)
{
    const std::vector<int32_t> source = {1, 2, 3, 4};
    std::vector<int32_t> destination = {9, 9, 9, 9};
    for (auto map : {audioMapChannelsSet, audioMapChannelsAdd}) {
        map(nullptr, 2, destination.data(), 2, 2);
        map(source.data(), 2, nullptr, 2, 2);
        map(source.data(), 2, destination.data(), 2, 0);
        map(source.data(), 0, destination.data(), 2, 2);
        map(source.data(), 2, destination.data(), 0, 2);
        EXPECT_EQ(destination, (std::vector<int32_t>{9, 9, 9, 9}));
    }
}

TEST(AudioInt32Callbacks, CopySetAddClearAndClearNot)
{
    const AudioInt32Copy set = audioInt32CopySet; // the ring's callback type
    const AudioInt32Copy add = audioInt32CopyAdd;
    const AudioInt32Modify clear = audioInt32Clear;
    const AudioInt32Modify leave = audioInt32ClearNot;

    std::vector<int> source(13);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<int>(i) * 1000 - 4000;
    source[0] = kMax;
    std::vector<int> destination(14, 77);
    set(destination.data(), source.data(), 13);
    EXPECT_EQ(std::vector<int>(destination.begin(), destination.end() - 1), source);
    EXPECT_EQ(destination[13], 77);

    add(destination.data(), source.data(), 13);
    EXPECT_EQ(destination[0], -2) << "0x7FFFFFFF + 0x7FFFFFFF wraps";
    for (std::size_t i = 1; i < 13; ++i)
        EXPECT_EQ(destination[i], 2 * source[i]) << "index " << i;
    EXPECT_EQ(destination[13], 77);

    const std::vector<int> before = destination;
    leave(destination.data(), 14);
    EXPECT_EQ(destination, before);
    for (int count : {0, -1, -1000}) {
        set(destination.data(), source.data(), count);
        add(destination.data(), source.data(), count);
        clear(destination.data(), count);
        EXPECT_EQ(destination, before) << "count " << count;
    }
    set(nullptr, source.data(), 13);
    set(destination.data(), nullptr, 13);
    add(nullptr, source.data(), 13);
    add(destination.data(), nullptr, 13);
    clear(nullptr, 13);
    EXPECT_EQ(destination, before);

    clear(destination.data(), 13);
    std::vector<int> cleared(14, 0);
    cleared[13] = 77;
    EXPECT_EQ(destination, cleared);
}

TEST(AudioInt32Callbacks, SaturateLeftJustifiesTwentyFourBitSamples)
{
    std::vector<int> buffer = {8388607, 8388608, -8388608, -8388609, 1, -1, 0,
                               kMax,    kMin,    4194304,  -4194304, 100, 8388607, 77};
    audioInt32Saturate(buffer.data(), 13);
    const std::vector<int> expected = {
        0x7FFFFF00, 0x7FFFFF00, kMin, kMin, 256, -256, 0,
        0x7FFFFF00, kMin, 0x40000000, -0x40000000, 25600, 0x7FFFFF00, 77};
    EXPECT_EQ(buffer, expected);

    const std::vector<int> before = buffer;
    audioInt32Saturate(buffer.data(), 0);
    audioInt32Saturate(buffer.data(), -5);
    audioInt32Saturate(nullptr, 5);
    EXPECT_EQ(buffer, before);
}
