#pragma once
// What the simulated interface's converters are connected to: the source its capture side
// delivers (loopback of the played mix, a generator, a WAV file, silence) and the sink its
// playback side feeds (nothing, or a WAV file).
//
// Samples here are what a 24-bit converter sees: right-justified 24-bit values in int32 words.
// A source delivers them shifted left by 8, the full-scale form the input ring carries.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace kext::audio {

constexpr int32_t kSampleMax = 8388607; // 24-bit range of the converters
constexpr int32_t kSampleMin = -8388608;
constexpr uint32_t kMaxChannels = 64;   // per direction; more than any model carries
constexpr uint32_t kMaxRate = 768000;
constexpr uint32_t kChunkFrames = 256;  // the most frames handled in one pass of the clock
constexpr size_t kMaxPathLength = 1024;
constexpr uint64_t kMaxWavSamples = uint64_t(16) << 20; // a source file is held in memory

// The mix as it was played, by global frame, for the loopback source. Written and read by the
// clock thread only; allocated before the clock starts.
class MixHistory {
public:
    // Room for `frames` frames of `channels` channels, from global frame `first` on.
    void allocate(uint32_t frames, uint32_t channels, uint64_t first);
    // Frames [frame, frame + n) of `mix`, n at most kChunkFrames.
    void write(uint64_t frame, const int32_t* mix, uint32_t n);
    // Channel `channel` of global frame `frame`; 0 for what was never played or is no longer held.
    int32_t sample(uint64_t frame, uint32_t channel) const;
    // Frames [frame, frame + n) as `sample` gives them, `channels` interleaved channels each,
    // into `out`, at most kChunkFrames. One pass, no division per sample.
    void read(uint64_t frame, uint32_t n, uint32_t channels, int32_t* out) const;
    uint32_t capacity() const { return m_frames; }

private:
    std::unique_ptr<int32_t[]> m_samples;
    uint32_t m_frames = 0;
    uint32_t m_channels = 0;
    uint64_t m_first = 0; // the oldest frame ever written
    uint64_t m_end = 0;   // one past the newest
};

class AudioSource {
public:
    virtual ~AudioSource() = default;
    // `frames` frames (at most kChunkFrames) of `channels` interleaved channels for global
    // frames [first, first + frames). Called on the clock thread: no allocation, no system call.
    virtual void produce(int32_t* out, uint32_t frames, uint32_t channels, uint64_t first, uint32_t rate,
                         const MixHistory& history) = 0;
    // The setting as `set ID source` takes it.
    virtual std::string describe() const = 0;
};

// The source a `source` setting names, or null with the reason in `error`. `rate` is the rate
// in force (0 when not configured), which bounds the loopback delay.
std::unique_ptr<AudioSource> makeSource(std::string_view value, uint32_t rate, std::string& error);

// Records the mix to a 24-bit WAV file. The clock thread hands frames over through a lock-free
// single-producer ring; a writer thread of its own does the file work.
class WavSink {
public:
    // Creates (or truncates) the regular file at `path`; null with the reason in `error`.
    static std::unique_ptr<WavSink> open(const std::string& path, uint32_t rate, uint32_t channels,
                                         std::string& error);
    ~WavSink(); // writes out what is queued and closes the file
    WavSink(const WavSink&) = delete;
    WavSink& operator=(const WavSink&) = delete;

    // Clock thread: queues `frames` frames of `channels` channels; frames that do not fit, or
    // of another channel count, are dropped and counted.
    void push(const int32_t* mix, uint32_t frames, uint32_t channels);
    uint64_t dropped() const { return m_dropped.load(std::memory_order_relaxed); }
    const std::string& path() const { return m_path; }

private:
    WavSink() = default;
    void run();
    size_t drain(int32_t* buffer, size_t capacity);

    std::string m_path;
    void* m_file = nullptr; // SNDFILE*
    uint32_t m_channels = 0;
    std::unique_ptr<int32_t[]> m_ring;
    size_t m_capacity = 0;          // samples, a multiple of the channel count
    std::atomic<uint64_t> m_head{0}; // samples queued, ever (clock thread)
    std::atomic<uint64_t> m_tail{0}; // samples written out, ever (writer thread)
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<bool> m_stop{false};
    std::thread m_writer;
};

} // namespace kext::audio
