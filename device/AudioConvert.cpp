#include "device/AudioConvert.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>

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

inline int32_t truncateOrIndefinite(float value)
{
    const float product = value * kOutputFactor;
    // The range test is false for NaN. Converting only in-range values keeps the conversion
    // defined; the select (rather than a branch) keeps the loop vectorisable.
    const bool inRange = product >= -kTwoTo31 && product < kTwoTo31;
    const int32_t truncated = static_cast<int32_t>(inRange ? product : 0.0f);
    return inRange ? truncated : std::numeric_limits<int32_t>::min();
}

// At -O2 the compiler vectorises only loops it needs neither an epilogue nor an overlap
// check for, so the flat loops run in blocks of a fixed length with a scalar tail, over
// __restrict pointers.
constexpr std::size_t kBlock = 8;

// On x86-64 the flat loops are also built for AVX2, chosen once when the program loads (no
// cost in the cycle beyond the call); the baseline build has only 16-byte vectors.
// The selection runs in the loader before a sanitizer runtime is ready, so sanitizer builds
// keep the single baseline copy.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) \
    && !defined(__SANITIZE_ADDRESS__)
#define AUDIO_CONVERT_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define AUDIO_CONVERT_CLONES
#endif

AUDIO_CONVERT_CLONES void intToFloatFlat(const int32_t* __restrict in, float* __restrict out,
                           std::size_t count)
{
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock)
        for (std::size_t k = 0; k < kBlock; ++k)
            out[i + k] = static_cast<float>(in[i + k]) / kInputDivisor;
    for (; i < count; ++i)
        out[i] = static_cast<float>(in[i]) / kInputDivisor;
}

AUDIO_CONVERT_CLONES void addFlat(const int32_t* __restrict in, int32_t* __restrict out, std::size_t count)
{
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock)
        for (std::size_t k = 0; k < kBlock; ++k)
            out[i + k] = wrappingAdd(out[i + k], in[i + k]);
    for (; i < count; ++i)
        out[i] = wrappingAdd(out[i], in[i]);
}

AUDIO_CONVERT_CLONES void floatToIntInPlace(float* buffer, std::size_t count)
{
    std::size_t i = 0;
    // Each integer replaces its float's bytes; memcpy is the defined way to do that.
    for (; i + kBlock <= count; i += kBlock)
        for (std::size_t k = 0; k < kBlock; ++k) {
            const int32_t sample = truncateOrIndefinite(buffer[i + k]);
            std::memcpy(buffer + i + k, &sample, sizeof sample);
        }
    for (; i < count; ++i) {
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
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock)
        for (std::size_t k = 0; k < kBlock; ++k)
            buffer[i + k] = one(buffer[i + k]);
    for (; i < count; ++i)
        buffer[i] = one(buffer[i]);
}

// Frame by frame over the channels both layouts have: surplus source channels are skipped,
// surplus destination channels are left as they were.
template <typename In, typename Out, typename Op>
void mapFrames(const In* source, unsigned sourceChannels, Out* destination, unsigned destinationChannels,
               unsigned frames, Op op)
{
    const unsigned channels = std::min(sourceChannels, destinationChannels);
    for (unsigned f = 0; f < frames; ++f) {
        const In* in = source + std::size_t{f} * sourceChannels;
        Out* out = destination + std::size_t{f} * destinationChannels;
        for (unsigned c = 0; c < channels; ++c)
            out[c] = op(out[c], in[c]);
    }
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
    mapFrames(source, sourceChannels, destination, destinationChannels, frames,
              [](float, int32_t in) { return static_cast<float>(in) / kInputDivisor; });
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
    mapFrames(source, sourceChannels, destination, destinationChannels, frames, [](int32_t, int32_t in) { return in; });
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
    mapFrames(source, sourceChannels, destination, destinationChannels, frames, wrappingAdd);
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
