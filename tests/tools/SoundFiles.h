#pragma once
// What the tests of the programs share: WAV files, test signals on the converters' 16-bit grid,
// and the search for a played signal in a recording.
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace toolstest {

constexpr int kRate = 44100;

// Interleaved float frames; the rate and the format of the file they were read from.
struct Frames {
    int channels = 0;
    std::vector<float> samples;
    int rate = 0, format = 0;
    long count() const { return channels == 0 ? 0 : long(samples.size() / size_t(channels)); }
    float at(long frame, int channel) const { return samples[size_t(frame) * size_t(channels) + size_t(channel)]; }
};

// `count` frames of white noise on the 16-bit grid at a quarter of full scale, channel c its own
// sequence; the same for the same seed.
inline std::vector<float> noise(long count, int channels, uint32_t seed)
{
    std::vector<float> out(size_t(count) * size_t(channels));
    uint32_t state = seed * 2654435761u + 1;
    for (float& sample : out) {
        state = state * 1664525u + 1013904223u;
        sample = float(int16_t(state >> 16) / 4) / 32768.0f;
    }
    return out;
}

// Where channel 0 of `signal` (interleaved, `channels` each) lies in channel 0 of
// `recording`: the lag of the greatest cross-correlation, and that correlation against the
// signal's energy (1.0 for an exact copy). Lags from 0 to the end of the recording.
struct Match {
    long lag = -1;
    double strength = 0;
};

inline Match findSignal(const Frames& recording, const std::vector<float>& signal, int channels)
{
    Match best;
    const long n = long(signal.size() / size_t(channels));
    double energy = 0;
    for (long i = 0; i < n; ++i)
        energy += double(signal[size_t(i * channels)]) * signal[size_t(i * channels)];
    if (energy == 0)
        return best;
    double top = 0;
    for (long lag = 0; lag + n <= recording.count(); ++lag) {
        double sum = 0;
        for (long i = 0; i < n; ++i)
            sum += double(recording.at(lag + i, 0)) * signal[size_t(i * channels)];
        if (sum > top) {
            top = sum;
            best.lag = lag;
        }
    }
    best.strength = top / energy;
    return best;
}

// No frames when the file cannot be read whole.
inline Frames readWav(const std::filesystem::path& path)
{
    Frames frames;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return frames;
    frames.channels = info.channels;
    frames.rate = info.samplerate;
    frames.format = info.format;
    frames.samples.resize(size_t(info.frames) * size_t(info.channels));
    if (sf_readf_float(file, frames.samples.data(), info.frames) != info.frames)
        frames.samples.clear();
    sf_close(file);
    return frames;
}

// `format`: the sample format (SF_FORMAT_PCM_16, ...) of a WAV file.
inline bool writeWav(const std::filesystem::path& path, const std::vector<float>& samples, int channels, int rate,
                     int format)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        return false;
    const auto frames = sf_count_t(samples.size() / size_t(channels));
    const bool written = sf_writef_float(file, samples.data(), frames) == frames;
    return sf_close(file) == 0 && written;
}

// The size of a file, 0 while there is none.
inline uintmax_t sizeOf(const std::filesystem::path& path)
{
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

} // namespace toolstest
