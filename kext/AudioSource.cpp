#include "kext/AudioSource.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "kext/model/ModelFile.h"

namespace kext::audio {

namespace {

constexpr uint64_t kMaxSineHz = 96000;
constexpr uint64_t kMinSineDb = 140; // quietest level, in dB below full scale
constexpr int kDefaultSineDb = -20;

// A 24-bit value as the input ring carries it.
inline int32_t fullScale(int32_t v)
{
    return int32_t(uint32_t(v) << 8);
}

// A file's name as a setting may give it: absolute (the daemon's folder is not the tool's),
// bounded, without NULs.
bool validPath(std::string_view path, std::string& error)
{
    if (!path.starts_with('/') || path.size() > kMaxPathLength || path.find('\0') != std::string_view::npos) {
        error = "an absolute path of at most " + std::to_string(kMaxPathLength) + " characters";
        return false;
    }
    return true;
}

// Only regular files: a FIFO would block the daemon, a device could be anything.
bool regularFile(int fd, std::string& error)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return false;
    }
    return true;
}

// A sink replaces only an empty file or a WAV file: a mistyped path must not wipe anything else.
bool replaceable(const std::string& path, const struct stat& st, std::string& error)
{
    if (st.st_size == 0)
        return true;
    SF_INFO info{};
    SNDFILE* file = nullptr;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && regularFile(fd, error))
        file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    else if (fd >= 0)
        ::close(fd);
    const bool wav = file != nullptr && (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV;
    if (file != nullptr)
        sf_close(file);
    if (!wav)
        error = "exists and is not a WAV file";
    return wav;
}

class SilenceSource : public AudioSource {
public:
    void produce(int32_t* out, uint32_t frames, uint32_t channels, uint64_t, uint32_t, const MixHistory&) override
    {
        std::fill_n(out, size_t(frames) * channels, 0);
    }
    std::string describe() const override { return "silence"; }
};

class LoopbackSource : public AudioSource {
public:
    explicit LoopbackSource(uint32_t delay) : m_delay(delay) {}
    void produce(int32_t* out, uint32_t frames, uint32_t channels, uint64_t first, uint32_t,
                 const MixHistory& history) override
    {
        // The frames before the delay has passed are silence.
        const uint32_t silent = first >= m_delay ? 0 : uint32_t(std::min<uint64_t>(m_delay - first, frames));
        std::fill_n(out, size_t(silent) * channels, 0);
        history.read(first + silent - m_delay, frames - silent, channels, out + size_t(silent) * channels);
        for (size_t i = size_t(silent) * channels; i < size_t(frames) * channels; ++i)
            out[i] = fullScale(out[i]);
    }
    std::string describe() const override { return "loopback:" + std::to_string(m_delay); }

private:
    uint32_t m_delay;
};

class SineSource : public AudioSource {
public:
    SineSource(uint32_t hz, int db) : m_hz(hz), m_db(db), m_amplitude(kSampleMax * std::pow(10.0, db / 20.0)) {}
    void produce(int32_t* out, uint32_t frames, uint32_t channels, uint64_t, uint32_t rate, const MixHistory&) override
    {
        const double step = rate != 0 ? 2 * std::numbers::pi * m_hz / rate : 0;
        for (uint32_t f = 0; f < frames; ++f) {
            const auto v = int32_t(std::lround(m_amplitude * std::sin(m_phase)));
            std::fill_n(out + size_t(f) * channels, channels, fullScale(std::clamp(v, kSampleMin, kSampleMax)));
            m_phase += step;
            if (m_phase >= 2 * std::numbers::pi)
                m_phase -= 2 * std::numbers::pi;
        }
    }
    std::string describe() const override { return "sine:" + std::to_string(m_hz) + ":" + std::to_string(m_db); }

private:
    uint32_t m_hz;
    int m_db;
    double m_amplitude;
    double m_phase = 0;
};

class WavSource : public AudioSource {
public:
    WavSource(std::string path, std::vector<int32_t> samples, uint32_t channels)
        : m_path(std::move(path)), m_samples(std::move(samples)), m_channels(channels),
          m_frames(m_samples.size() / channels)
    {
    }
    void produce(int32_t* out, uint32_t frames, uint32_t channels, uint64_t, uint32_t, const MixHistory&) override
    {
        for (uint32_t f = 0; f < frames; ++f) {
            const int32_t* in = m_samples.data() + m_position * m_channels;
            for (uint32_t c = 0; c < channels; ++c)
                out[size_t(f) * channels + c] = c < m_channels ? in[c] : 0;
            if (++m_position == m_frames)
                m_position = 0;
        }
    }
    std::string describe() const override { return "wav:" + m_path; }

private:
    std::string m_path;
    std::vector<int32_t> m_samples; // 24-bit values << 8
    size_t m_channels;
    size_t m_frames;
    size_t m_position = 0;
};

std::unique_ptr<AudioSource> loadWav(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot open: ") + std::strerror(errno);
        return nullptr;
    }
    if (!regularFile(fd, error)) {
        ::close(fd);
        return nullptr;
    }
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (file == nullptr) {
        error = "not a sound file libsndfile reads";
        return nullptr;
    }
    std::unique_ptr<AudioSource> source;
    if (info.channels < 1 || uint32_t(info.channels) > kMaxChannels || info.frames < 1
        || uint64_t(info.frames) * uint64_t(info.channels) > kMaxWavSamples) {
        error = "1 to " + std::to_string(kMaxChannels) + " channels and at most "
            + std::to_string(kMaxWavSamples) + " samples";
    } else {
        std::vector<int32_t> samples(size_t(info.frames) * size_t(info.channels));
        const sf_count_t read = sf_readf_int(file, samples.data(), info.frames);
        if (read < 1) {
            error = "no frames could be read";
        } else {
            samples.resize(size_t(read) * size_t(info.channels));
            // What a 24-bit converter delivers: the low byte is never set.
            for (int32_t& s : samples)
                s = int32_t(uint32_t(s) & 0xFFFFFF00u);
            source = std::make_unique<WavSource>(path, std::move(samples), uint32_t(info.channels));
        }
    }
    sf_close(file);
    return source;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The played mix

void MixHistory::allocate(uint32_t frames, uint32_t channels, uint64_t first)
{
    m_frames = frames;
    m_channels = channels;
    m_samples.reset(frames != 0 && channels != 0 ? new int32_t[size_t(frames) * channels] : nullptr);
    m_first = m_end = first;
}

void MixHistory::write(uint64_t frame, const int32_t* mix, uint32_t n)
{
    if (!m_samples)
        return;
    if (frame != m_end) // a gap (the clock resynchronised): what it skipped was never played
        m_first = frame;
    // Up to the end of the buffer, then from its start.
    const auto slot = uint32_t(frame % m_frames);
    const uint32_t head = std::min(n, m_frames - slot);
    std::memcpy(&m_samples[size_t(slot) * m_channels], mix, size_t(head) * m_channels * sizeof(int32_t));
    if (n > head)
        std::memcpy(&m_samples[0], mix + size_t(head) * m_channels, size_t(n - head) * m_channels * sizeof(int32_t));
    m_end = frame + n;
}

int32_t MixHistory::sample(uint64_t frame, uint32_t channel) const
{
    if (!m_samples || channel >= m_channels || frame < m_first || frame >= m_end || m_end - frame > m_frames)
        return 0;
    return m_samples[size_t(frame % m_frames) * m_channels + channel];
}

void MixHistory::read(uint64_t frame, uint32_t n, uint32_t channels, int32_t* out) const
{
    std::fill_n(out, size_t(n) * channels, 0);
    if (!m_samples || n == 0 || channels == 0)
        return;
    // What `sample` answers for: the frames held, [max(m_first, m_end - m_frames), m_end).
    const uint64_t held = std::max(m_first, m_end >= m_frames ? m_end - m_frames : 0);
    const uint64_t from = std::max(frame, held);
    const uint64_t to = std::min(frame + n, m_end);
    if (from >= to)
        return;
    const uint32_t both = std::min(channels, m_channels);
    auto slot = uint32_t(from % m_frames);
    int32_t* o = out + size_t(from - frame) * channels;
    for (uint64_t f = from; f < to; ++f, o += channels) {
        std::memcpy(o, &m_samples[size_t(slot) * m_channels], both * sizeof(int32_t));
        if (++slot == m_frames)
            slot = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Sources

std::unique_ptr<AudioSource> makeSource(std::string_view value, uint32_t rate, std::string& error)
{
    uint64_t n = 0;
    if (value == "silence")
        return std::make_unique<SilenceSource>();
    if (value == "loopback")
        return std::make_unique<LoopbackSource>(0);
    if (value.starts_with("loopback:")) {
        // At most one second of the rate in force (the history the clock keeps).
        const uint64_t most = rate != 0 ? rate : kMaxRate;
        if (!parseNumber(value.substr(9), most, n)) {
            error = "a delay of 0 to " + std::to_string(most) + " frames";
            return nullptr;
        }
        return std::make_unique<LoopbackSource>(uint32_t(n));
    }
    if (value.starts_with("sine:")) {
        std::string_view rest = value.substr(5);
        const size_t colon = rest.find(':');
        int db = kDefaultSineDb;
        if (colon != std::string_view::npos) {
            std::string_view level = rest.substr(colon + 1);
            uint64_t below = 0;
            if (level.starts_with('-'))
                level.remove_prefix(1);
            else if (level != "0")
                level = {};
            if (!parseNumber(level, kMinSineDb, below)) {
                error = "a level of 0 to -" + std::to_string(kMinSineDb) + " dBFS";
                return nullptr;
            }
            db = -int(below);
            rest = rest.substr(0, colon);
        }
        if (!parseNumber(rest, kMaxSineHz, n) || n == 0) {
            error = "a frequency of 1 to " + std::to_string(kMaxSineHz) + " Hz";
            return nullptr;
        }
        return std::make_unique<SineSource>(uint32_t(n), db);
    }
    if (value.starts_with("wav:")) {
        const std::string_view path = value.substr(4);
        if (!validPath(path, error))
            return nullptr;
        return loadWav(std::string(path), error);
    }
    error = "loopback[:FRAMES], sine:HZ[:DBFS], wav:PATH or silence";
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The sink

std::unique_ptr<WavSink> WavSink::open(const std::string& path, uint32_t rate, uint32_t channels, std::string& error)
{
    if (!validPath(path, error))
        return nullptr;
    if (rate == 0 || rate > kMaxRate || channels == 0 || channels > kMaxChannels) {
        error = "the interface plays no format a WAV file can take";
        return nullptr;
    }
    // Never follows a link, never opens anything but a regular file (O_NONBLOCK: a FIFO must
    // not block the daemon before it is refused), and truncates only once that is known.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            error = "not a regular file";
            return nullptr;
        }
        if (!replaceable(path, st, error))
            return nullptr;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::string("cannot open: ") + std::strerror(errno);
        return nullptr;
    }
    if (!regularFile(fd, error) || ftruncate(fd, 0) != 0) {
        if (error.empty())
            error = std::string("cannot truncate: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    SF_INFO info{};
    info.samplerate = int(rate);
    info.channels = int(channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (file == nullptr) {
        error = "libsndfile cannot write it";
        return nullptr;
    }
    std::unique_ptr<WavSink> sink(new WavSink);
    sink->m_path = path;
    sink->m_file = file;
    sink->m_channels = channels;
    sink->m_capacity = size_t(rate) * channels; // one second
    sink->m_ring.reset(new int32_t[sink->m_capacity]);
    sink->m_writer = std::thread([s = sink.get()] { s->run(); });
    return sink;
}

WavSink::~WavSink()
{
    m_stop.store(true, std::memory_order_release);
    if (m_writer.joinable())
        m_writer.join();
    if (m_file != nullptr)
        sf_close(static_cast<SNDFILE*>(m_file));
}

void WavSink::push(const int32_t* mix, uint32_t frames, uint32_t channels)
{
    const size_t count = size_t(frames) * channels;
    const uint64_t head = m_head.load(std::memory_order_relaxed);
    const uint64_t tail = m_tail.load(std::memory_order_acquire);
    if (channels != m_channels || count > m_capacity - size_t(head - tail)) {
        m_dropped.fetch_add(frames, std::memory_order_relaxed);
        return;
    }
    const size_t at = size_t(head % m_capacity);
    const size_t first = std::min(count, m_capacity - at);
    std::memcpy(&m_ring[at], mix, first * sizeof(int32_t));
    std::memcpy(&m_ring[0], mix + first, (count - first) * sizeof(int32_t));
    m_head.store(head + count, std::memory_order_release);
}

size_t WavSink::drain(int32_t* buffer, size_t capacity)
{
    const uint64_t tail = m_tail.load(std::memory_order_relaxed);
    const uint64_t head = m_head.load(std::memory_order_acquire);
    // Whole frames only: the producer queues whole frames, and the buffer holds whole frames.
    const size_t count = std::min<size_t>(size_t(head - tail), capacity - capacity % m_channels);
    for (size_t i = 0; i < count; ++i)
        buffer[i] = int32_t(uint32_t(m_ring[size_t((tail + i) % m_capacity)]) << 8);
    m_tail.store(tail + count, std::memory_order_release);
    if (count != 0)
        sf_write_int(static_cast<SNDFILE*>(m_file), buffer, sf_count_t(count));
    return count;
}

void WavSink::run()
{
    std::vector<int32_t> buffer(16384);
    for (;;) {
        const bool stop = m_stop.load(std::memory_order_acquire);
        while (drain(buffer.data(), buffer.size()) != 0) {
        }
        if (stop)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace kext::audio
