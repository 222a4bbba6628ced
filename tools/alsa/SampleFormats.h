#pragma once
// The sample formats the ALSA device offers besides the HAL's 32-bit float, converted on the
// program's thread: one sample at a time between a program's buffer (any layout alsa-lib hands
// over: a first bit and a step in bits, as in snd_pcm_channel_area_t) and the float frames of
// the ring. Nothing here knows alsa-lib or the HAL, so the tests take it alone.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tarselalsa {

enum class SampleFormat { Float32, Int16, Int32, Int24Packed };

// Bytes one sample takes in the program's buffer.
constexpr uint32_t bytesPerSample(SampleFormat format)
{
    switch (format) {
    case SampleFormat::Int16:
        return 2;
    case SampleFormat::Int24Packed:
        return 3;
    case SampleFormat::Float32:
    case SampleFormat::Int32:
        break;
    }
    return 4;
}

// The program's sample at `at` (little-endian) as a float of full scale 1.0.
inline float sampleToFloat(SampleFormat format, const unsigned char* at)
{
    switch (format) {
    case SampleFormat::Float32: {
        float value;
        std::memcpy(&value, at, sizeof value);
        // A NaN or an infinity from a program would reach the converters as full scale at best.
        return std::isfinite(value) ? value : 0.0f;
    }
    case SampleFormat::Int16: {
        const auto value = int16_t(uint16_t(at[0] | at[1] << 8));
        return float(value) / 32768.0f;
    }
    case SampleFormat::Int32: {
        const auto value = int32_t(uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24);
        return float(double(value) / 2147483648.0);
    }
    case SampleFormat::Int24Packed: {
        // Sign-extended from bit 23.
        const auto value = int32_t((uint32_t(at[0]) << 8 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 24)) >> 8;
        return float(value) / 8388608.0f;
    }
    }
    return 0.0f;
}

namespace detail {
// `value` scaled to full scale `scale` and rounded, within [-scale, scale - 1].
inline int64_t scaled(float value, double scale)
{
    if (!std::isfinite(value))
        return 0;
    const double v = std::nearbyint(double(value) * scale);
    return int64_t(std::clamp(v, -scale, scale - 1.0));
}
} // namespace detail

// A float of the ring as the program's sample at `at`: clipped, rounded to the nearest step.
inline void floatToSample(SampleFormat format, float value, unsigned char* at)
{
    switch (format) {
    case SampleFormat::Float32:
        std::memcpy(at, &value, sizeof value);
        return;
    case SampleFormat::Int16: {
        const auto v = uint16_t(int16_t(detail::scaled(value, 32768.0)));
        at[0] = uint8_t(v);
        at[1] = uint8_t(v >> 8);
        return;
    }
    case SampleFormat::Int32: {
        const auto v = uint32_t(int32_t(detail::scaled(value, 2147483648.0)));
        for (int i = 0; i < 4; ++i)
            at[i] = uint8_t(v >> (8 * i));
        return;
    }
    case SampleFormat::Int24Packed: {
        const auto v = uint32_t(int32_t(detail::scaled(value, 8388608.0)));
        for (int i = 0; i < 3; ++i)
            at[i] = uint8_t(v >> (8 * i));
        return;
    }
    }
}

// Where one channel's samples lie in a program's buffer, as alsa-lib describes it: the
// buffer's address, the first sample's bit offset and the distance between samples in bits.
struct ChannelArea {
    void* address = nullptr;
    uint64_t firstBit = 0;
    uint64_t stepBits = 0;
    unsigned char* sample(uint64_t frame) const
    {
        return static_cast<unsigned char*>(address) + (firstBit + frame * stepBits) / 8;
    }
};

// Program frames [offset, offset + frames) of `programChannels` areas into ring frames of
// `ringChannels` floats at `ring`: the first channels in order, silence for the rest.
inline void programToRing(SampleFormat format, const ChannelArea* areas, uint32_t programChannels, uint64_t offset,
                          uint64_t frames, float* ring, uint32_t ringChannels)
{
    for (uint64_t f = 0; f < frames; ++f) {
        float* out = ring + f * ringChannels;
        for (uint32_t c = 0; c < ringChannels; ++c)
            out[c] = c < programChannels ? sampleToFloat(format, areas[c].sample(offset + f)) : 0.0f;
    }
}

// Ring frames into program frames [offset, offset + frames): the program's channels take the
// ring's first ones, any beyond the ring's count silence.
inline void ringToProgram(SampleFormat format, const float* ring, uint32_t ringChannels, uint64_t frames,
                          const ChannelArea* areas, uint32_t programChannels, uint64_t offset)
{
    for (uint64_t f = 0; f < frames; ++f) {
        const float* in = ring + f * ringChannels;
        for (uint32_t c = 0; c < programChannels; ++c)
            floatToSample(format, c < ringChannels ? in[c] : 0.0f, areas[c].sample(offset + f));
    }
}

} // namespace tarselalsa
