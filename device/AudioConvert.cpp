#include "device/AudioConvert.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr float kInputDivisor = 2147483520.0f;  // 0x4EFFFFFF, largest float below 2^31
constexpr float kOutputFactor = 8388608.0f;     // 0x4B000000, 2^23
constexpr float kTwoTo31 = 2147483648.0f;

static_assert(kInputDivisor == 2147483648.0f - 128.0f);
static_assert(std::numeric_limits<float>::is_iec559);

// Wrapping addition: unsigned arithmetic is modular, and converting back to int32_t is
// modular too since C++20, so the sum wraps without signed overflow.
inline int32_t wrappingAdd(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// float(x) / kInputDivisor without the division. The divisor is 2^31 * (1 - 2^-24), so the
// true quotient is float(x) * 2^-31 * (1 + 2^-24 + 2^-48 + ...): more than half and less than
// one unit in the last place above float(x) * 2^-31, which rounds to the next float away from
// zero. That is float(x) with its exponent lowered by 31 and its magnitude bits plus one, for
// every x but 0 (a test checks it against the division for all 2^32 inputs).
inline float intToFloat(int32_t x)
{
    const uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(x)) - (31u << 23) + 1u;
    // A mask, not a select: the compiler vectorises no branch at -O2.
    return std::bit_cast<float>(bits & (0u - static_cast<uint32_t>(x != 0)));
}

inline int32_t truncateOrIndefinite(float value)
{
    const float product = value * kOutputFactor;
    // The range test is false for NaN. Converting only in-range values keeps the conversion
    // defined; the select (rather than a branch) keeps the loop vectorisable.
    const bool inRange = product >= -kTwoTo31 && product < kTwoTo31;
    const int32_t truncated = static_cast<int32_t>(inRange ? product : 0.0f);
    return inRange ? truncated : std::numeric_limits<int32_t>::min();
}

// On x86-64 the loops are also built for AVX2 and AVX-512, chosen once when the program loads (no
// cost in the cycle beyond the call); the baseline build has only 16-byte vectors.
// The selection runs in the loader before a sanitizer runtime is ready, so sanitizer builds
// keep the single baseline copy; so does the coverage build, which counts each copy apart.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) \
    && !defined(__SANITIZE_ADDRESS__) && !defined(TARSEL_ONE_BUILD_PER_FUNCTION)
#define AUDIO_CONVERT_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define AUDIO_CONVERT_CLONES
#endif

AUDIO_CONVERT_CLONES void intToFloatFlat(const int32_t* __restrict in, float* __restrict out,
                           std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = intToFloat(in[i]);
}

AUDIO_CONVERT_CLONES void addFlat(const int32_t* __restrict in, int32_t* __restrict out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = wrappingAdd(out[i], in[i]);
}

AUDIO_CONVERT_CLONES void floatToIntInPlace(float* buffer, std::size_t count)
{
    // Each integer replaces its float's bytes; memcpy is the defined way to do that.
    for (std::size_t i = 0; i < count; ++i) {
        const int32_t sample = truncateOrIndefinite(buffer[i]);
        std::memcpy(buffer + i, &sample, sizeof sample);
    }
}

AUDIO_CONVERT_CLONES void saturateFlat(int32_t* buffer, std::size_t count)
{
    const auto one = [](int32_t v) {
        // Clamping to the 24-bit range first gives exactly the two limits after the shift
        // (-8388608 << 8 is 0x80000000, 8388607 << 8 is 0x7FFFFF00) and turns into min/max
        // when vectorised. The shift goes through uint32_t: no signed overflow to reason about.
        const int32_t clamped = std::clamp(v, int32_t{-8388608}, int32_t{8388607});
        return static_cast<int32_t>(static_cast<uint32_t>(clamped) << 8);
    };
    for (std::size_t i = 0; i < count; ++i)
        buffer[i] = one(buffer[i]);
}

// The three per-sample operations of the channel maps.
struct ToFloat {
    float operator()(float, int32_t in) const { return intToFloat(in); }
};
struct Set {
    int32_t operator()(int32_t, int32_t in) const { return in; }
};
struct Add {
    int32_t operator()(int32_t out, int32_t in) const { return wrappingAdd(out, in); }
};

// W adjacent channels of every frame, the strides known only when running. With the width
// fixed, each frame's W samples are one vector load, operation and store.
template <unsigned W, typename In, typename Out, typename Op>
AUDIO_CONVERT_CLONES void mapBlock(const In* __restrict source, unsigned sourceChannels, Out* __restrict destination,
                                   unsigned destinationChannels, unsigned frames)
{
    const Op op;
    for (std::size_t f = 0; f < frames; ++f) {
        const In* in = source + f * sourceChannels;
        Out* out = destination + f * destinationChannels;
#pragma GCC unroll 16
        for (unsigned c = 0; c < W; ++c)
            out[c] = op(out[c], in[c]);
    }
}

// Over the channels both layouts have: surplus source channels are skipped, surplus
// destination channels are left as they were. The general form, for any layouts: the channels
// in blocks of 16, 8, 4, 2 and 1, one pass over the frames each.
template <typename In, typename Out, typename Op>
void mapFrames(const In* source, unsigned sourceChannels, Out* destination, unsigned destinationChannels,
               unsigned frames)
{
    const unsigned channels = std::min(sourceChannels, destinationChannels);
    unsigned c = 0;
    for (; c + 16 <= channels; c += 16)
        mapBlock<16, In, Out, Op>(source + c, sourceChannels, destination + c, destinationChannels, frames);
    if (c + 8 <= channels) {
        mapBlock<8, In, Out, Op>(source + c, sourceChannels, destination + c, destinationChannels, frames);
        c += 8;
    }
    if (c + 4 <= channels) {
        mapBlock<4, In, Out, Op>(source + c, sourceChannels, destination + c, destinationChannels, frames);
        c += 4;
    }
    if (c + 2 <= channels) {
        mapBlock<2, In, Out, Op>(source + c, sourceChannels, destination + c, destinationChannels, frames);
        c += 2;
    }
    if (c < channels)
        mapBlock<1, In, Out, Op>(source + c, sourceChannels, destination + c, destinationChannels, frames);
}

// The same for layouts known when compiling: the common channel counts. With the channel loop
// unrolled the frame loop is one the compiler vectorises, with the strides as shuffles.
template <unsigned S, unsigned D, typename In, typename Out, typename Op>
AUDIO_CONVERT_CLONES void mapFixed(const In* __restrict source, Out* __restrict destination, unsigned frames)
{
    constexpr unsigned channels = S < D ? S : D;
    const Op op;
    for (std::size_t f = 0; f < frames; ++f)
#pragma GCC unroll 8
        for (unsigned c = 0; c < channels; ++c)
            destination[f * D + c] = op(destination[f * D + c], source[f * S + c]);
}

constexpr std::array<unsigned, 5> kCommonChannels{1, 2, 4, 6, 8};

constexpr int commonIndex(unsigned channels)
{
    for (std::size_t i = 0; i < kCommonChannels.size(); ++i)
        if (kCommonChannels[i] == channels)
            return int(i);
    return -1;
}

template <typename In, typename Out, typename Op>
using MapFunction = void (*)(const In*, Out*, unsigned);

template <typename In, typename Out, typename Op, std::size_t... I>
constexpr auto mapTable(std::index_sequence<I...>)
{
    constexpr std::size_t n = kCommonChannels.size();
    return std::array<MapFunction<In, Out, Op>, sizeof...(I)>{
        &mapFixed<kCommonChannels[I / n], kCommonChannels[I % n], In, Out, Op>...};
}

template <typename In, typename Out, typename Op>
void mapChannels(const In* source, unsigned sourceChannels, Out* destination, unsigned destinationChannels,
                 unsigned frames)
{
    constexpr std::size_t n = kCommonChannels.size();
    static constexpr auto table = mapTable<In, Out, Op>(std::make_index_sequence<n * n>{});
    const int s = commonIndex(sourceChannels);
    const int d = commonIndex(destinationChannels);
    if (s >= 0 && d >= 0)
        table[std::size_t(s) * n + std::size_t(d)](source, destination, frames);
    else
        mapFrames<In, Out, Op>(source, sourceChannels, destination, destinationChannels, frames);
}

} // namespace

void convertIntToFloat(const int32_t* source, unsigned sourceChannels, float* destination,
                       unsigned destinationChannels, unsigned frames)
{
    if (source == nullptr || destination == nullptr)
        return;
    if (sourceChannels == destinationChannels) {
        intToFloatFlat(source, destination, std::size_t{frames} * sourceChannels);
        return;
    }
    mapChannels<int32_t, float, ToFloat>(source, sourceChannels, destination, destinationChannels, frames);
}

void audioConvertFloatToSInt32(float* buffer, unsigned frames, unsigned channels)
{
    if (buffer == nullptr)
        return;
    floatToIntInPlace(buffer, std::size_t{frames} * channels);
}

void audioMapChannelsSet(const int32_t* source, unsigned sourceChannels, int32_t* destination,
                         unsigned destinationChannels, unsigned frames)
{
    if (source == nullptr || destination == nullptr)
        return;
    if (sourceChannels == destinationChannels) {
        const std::size_t count = std::size_t{frames} * sourceChannels;
        if (count != 0)
            std::memcpy(destination, source, count * sizeof(int32_t));
        return;
    }
    mapChannels<int32_t, int32_t, Set>(source, sourceChannels, destination, destinationChannels, frames);
}

void audioMapChannelsAdd(const int32_t* source, unsigned sourceChannels, int32_t* destination,
                         unsigned destinationChannels, unsigned frames)
{
    if (source == nullptr || destination == nullptr)
        return;
    if (sourceChannels == destinationChannels) {
        addFlat(source, destination, std::size_t{frames} * sourceChannels);
        return;
    }
    mapChannels<int32_t, int32_t, Add>(source, sourceChannels, destination, destinationChannels, frames);
}

void audioInt32CopySet(int* destination, const int* source, int count)
{
    // A negative count would become a huge memcpy length.
    if (destination == nullptr || source == nullptr || count <= 0)
        return;
    std::memcpy(destination, source, static_cast<std::size_t>(count) * sizeof(int));
}

void audioInt32CopyAdd(int* destination, const int* source, int count)
{
    if (destination == nullptr || source == nullptr || count <= 0)
        return;
    addFlat(source, destination, static_cast<std::size_t>(count));
}

void audioInt32Clear(int* buffer, int count)
{
    if (buffer == nullptr || count <= 0)
        return;
    std::memset(buffer, 0, static_cast<std::size_t>(count) * sizeof(int));
}

void audioInt32ClearNot(int*, int) {}

void audioInt32Saturate(int* buffer, int count)
{
    if (buffer == nullptr || count <= 0)
        return;
    saturateFlat(buffer, static_cast<std::size_t>(count));
}
