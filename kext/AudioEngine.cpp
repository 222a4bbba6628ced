#include "kext/AudioEngine.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/ulock.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "device/AudioSM.h"
#include "device/KernelMemory.h"
#include "kext/AvailabilityLog.h"
#include "kext/Connection.h"

namespace kext {

using namespace audio;

namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;
constexpr uint64_t kPpmScale = 1'000'000;
constexpr uint64_t kResyncNs = 50'000'000; // further behind than this the clock skips ahead
constexpr uint32_t kChannelsOfNone = 2;      // what a direction without channels is set up with
// The longest the clock leaves its interface untouched when no client waits for a buffer: it
// bounds how late output is checked and the mix reaches the sink and the loopback history.
constexpr uint64_t kMostSkippedNs = 8'000'000;

uint64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * kNsPerSecond + uint64_t(ts.tv_nsec);
}

// Device frames in `ns` of host time, the device clock running at (1 + ppm / 1e6) of it.
// Whole frames of the exact product, so 44.1 kHz gives 44 and 45 frames per millisecond.
uint64_t framesIn(uint64_t ns, uint32_t rate, int64_t ppm)
{
    using u128 = unsigned __int128;
    return uint64_t(u128(ns) * rate * uint64_t(int64_t(kPpmScale) + ppm) / (u128(kNsPerSecond) * kPpmScale));
}

// The host time `frames` device frames take.
uint64_t nsOf(uint64_t frames, uint32_t rate, int64_t ppm)
{
    using u128 = unsigned __int128;
    return uint64_t(u128(frames) * kNsPerSecond * kPpmScale / (u128(rate) * uint64_t(int64_t(kPpmScale) + ppm)));
}

bool validFormat(const EngineFormat& f)
{
    return f.rate != 0 && f.rate <= kMaxRate && f.inChannels <= kMaxChannels && f.outChannels <= kMaxChannels
        && f.converterDelay <= f.rate;
}

template <typename T>
std::atomic_ref<T> shared(T& word)
{
    return std::atomic_ref<T>(word);
}

} // namespace

AudioEngine::AudioEngine()
{
    std::string error;
    setSource(makeSource("loopback", 0, error));
}

AudioEngine::~AudioEngine()
{
    stop();
}

// ---------------------------------------------------------------------------------------------
// Starting and stopping

bool AudioEngine::start(const EngineFormat& format)
{
    if (running() && format == m_format)
        return true;
    stopClock();
    m_format = format;
    if (!validFormat(format)) {
        stop(); // nothing is served: the clients see streaming end
        return false;
    }
    if (!m_sum) {
        const size_t samples = size_t(kChunkFrames) * kMaxChannels;
        m_sum.reset(new int64_t[samples]);
        m_mix.reset(new int32_t[samples]);
        m_capture.reset(new int32_t[samples]);
        m_remap.reset(new int32_t[samples]);
    }
    // One second of the mix (the longest loopback delay), the converters' delay and one pass.
    m_history.allocate(format.rate + format.converterDelay + kChunkFrames, format.outChannels, m_frame);
    m_running.store(true, std::memory_order_release);
    m_thread = std::thread([this] { run(); });
    return true;
}

void AudioEngine::stopClock()
{
    if (!m_thread.joinable())
        return;
    m_running.store(false, std::memory_order_release);
    m_thread.join();
}

void AudioEngine::stop()
{
    stopClock();
    for (Slot& slot : m_slots) {
        slot.active.store(false, std::memory_order_relaxed);
        release(slot);
    }
}

void AudioEngine::quiesce() const
{
    // Pairs with the clock's increment before it looks at the slots and settings: either that
    // pass sees the new state, or the number read here is odd and the pass is waited out.
    const uint64_t sequence = m_sequence.load(std::memory_order_seq_cst);
    if ((sequence & 1) == 0)
        return;
    while (m_sequence.load(std::memory_order_acquire) == sequence)
        std::this_thread::yield();
}

// ---------------------------------------------------------------------------------------------
// Registrations

bool AudioEngine::attach(const std::shared_ptr<Connection>& connection, ClientData* record)
{
    detach(*connection);
    if (!running() || record == nullptr)
        return false;
    const std::span<uint8_t> in = connection->ring(kMemoryInputRing);
    const std::span<uint8_t> out = connection->ring(kMemoryOutputRing);
    if (in.size() < sizeof(AudioSM) || out.size() < sizeof(AudioSM))
        return false;
    auto free = std::find_if(m_slots.begin(), m_slots.end(), [](const Slot& s) { return !s.connection; });
    if (free == m_slots.end())
        return false;
    Slot& slot = *free;
    slot.connection = connection;
    slot.input = reinterpret_cast<AudioSM*>(in.data());
    slot.output = reinterpret_cast<AudioSM*>(out.data());
    slot.record = record;
    // A direction without channels still gets a usable ring (and no message from init).
    slot.inChannels = m_format.inChannels != 0 ? m_format.inChannels : kChannelsOfNone;
    slot.outChannels = m_format.outChannels != 0 ? m_format.outChannels : kChannelsOfNone;
    slot.input->init(slot.inChannels, kEngineTimingBase);
    slot.output->init(slot.outChannels, kEngineTimingBase);
    // Both rings count from the start frame, and the reader starts where the writer does.
    slot.start = frameStart();
    audiosm::store(slot.input->writeCount, slot.start, std::memory_order_release);
    audiosm::store(slot.output->writeCount, slot.start, std::memory_order_release);
    audiosm::store(slot.output->readPosition, slot.start, std::memory_order_release);
    AvailabilityLog::of(*slot.input).clear();
    slot.started = false;
    slot.written = false;
    slot.origin = 0;
    // Streaming from the attach on: a client that found the flag clear would poll again only
    // 5 ms later, and start that far behind the clock's first pass for it.
    slot.output->setStreaming(1);
    slot.active.store(true, std::memory_order_seq_cst);
    return true;
}

void AudioEngine::detach(const Connection& connection)
{
    for (Slot& slot : m_slots) {
        if (slot.connection.get() != &connection)
            continue;
        slot.active.store(false, std::memory_order_seq_cst);
        quiesce();
        release(slot);
    }
}

void AudioEngine::release(Slot& slot)
{
    if (slot.output != nullptr)
        slot.output->setStreaming(0);
    slot.connection.reset();
    slot.input = slot.output = nullptr;
    slot.record = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Settings

void AudioEngine::setSource(std::unique_ptr<AudioSource> source)
{
    m_source.store(source.get(), std::memory_order_seq_cst);
    quiesce();
    m_sourceOwned = std::move(source);
}

void AudioEngine::setSink(std::unique_ptr<WavSink> sink)
{
    m_sink.store(sink.get(), std::memory_order_seq_cst);
    quiesce();
    m_sinkOwned = std::move(sink); // the old one writes out what it has queued
}

std::string AudioEngine::describe() const
{
    // The list line has room for little more than this: what is not the default only.
    std::string text = "source=" + (m_sourceOwned ? m_sourceOwned->describe() : std::string("silence"));
    if (jitter() != 0)
        text += " jitter=" + std::to_string(jitter());
    if (drift() != 0)
        text += " drift=" + std::to_string(drift());
    if (frameStart() != 0)
        text += " frame-start=" + std::to_string(frameStart());
    if (m_sinkOwned) {
        if (m_sinkOwned->dropped() != 0)
            text += " dropped=" + std::to_string(m_sinkOwned->dropped());
        text += " sink=wav:" + m_sinkOwned->path();
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// The clock

void AudioEngine::run()
{
    // Each of these may be refused (no privilege, an old kernel): the clock then runs as it can.
    pthread_setname_np(pthread_self(), "tarsel-clock");
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param priority{};
    priority.sched_priority = kClockPriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);

    const uint64_t period = m_format.highSpeed ? 125'000 : 1'000'000;
    const uint32_t rate = m_format.rate;
    int64_t ppm = m_drift.load(std::memory_order_relaxed);
    uint64_t anchorHost = monotonicNs();
    uint64_t anchorFrame = m_frame;
    uint64_t next = anchorHost + period;

    while (m_running.load(std::memory_order_acquire)) {
        const timespec wake{time_t(next / kNsPerSecond), long(next % kNsPerSecond)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
        }
        const uint64_t now = monotonicNs();
        if (now > next + kResyncNs) {
            // The machine stalled: the device clock restarts from here instead of delivering
            // the missed frames in one burst.
            anchorHost = next = now;
            anchorFrame = m_frame;
        }
        const uint64_t target = anchorFrame + framesIn(next - anchorHost, rate, ppm);

        m_sequence.fetch_add(1, std::memory_order_seq_cst);
        AudioSource* source = m_source.load(std::memory_order_seq_cst);
        WavSink* sink = m_sink.load(std::memory_order_seq_cst);
        const uint64_t jitter = m_jitter.load(std::memory_order_relaxed);
        while (m_frame < target) {
            const auto frames = uint32_t(std::min<uint64_t>(target - m_frame, kChunkFrames));
            const uint64_t start = anchorHost + nsOf(m_frame - anchorFrame, rate, ppm);
            uint64_t timestamp = anchorHost + nsOf(m_frame + frames - anchorFrame, rate, ppm);
            const uint64_t end = timestamp;
            if (jitter != 0) {
                m_random ^= m_random << 13;
                m_random ^= m_random >> 7;
                m_random ^= m_random << 17;
                timestamp = timestamp + m_random % (2 * jitter + 1) - jitter;
            }
            pass(m_frame, frames, {timestamp, start, end}, target - m_frame == frames, source, sink);
            m_frame += frames;
        }
        const uint64_t written = monotonicNs();
        uint64_t awaited = UINT64_MAX;
        bool waiting = false;
        for (Slot& slot : m_slots)
            if (slot.active.load(std::memory_order_seq_cst) && slot.started) {
                AvailabilityLog::of(*slot.input).note(audiosm::load(slot.input->writeCount), written);
                waiting = awaitedFrame(slot, awaited) || waiting;
            }
        m_sequence.fetch_add(1, std::memory_order_seq_cst);

        // A new drift applies from this tick's frame on.
        const int64_t drift = m_drift.load(std::memory_order_relaxed);
        if (drift != ppm) {
            ppm = drift;
            anchorHost = next;
            anchorFrame = m_frame;
        }
        // Clients sleep until the pass that completes their buffer wakes them, so the next
        // tick is the one that completes the first client's next buffer, within
        // kMostSkippedNs; the frames of skipped ticks come with it, time-stamped as captured,
        // so only the moment they become visible moves. A client whose frame size makes no
        // sense keeps the micro-frame cadence.
        uint64_t following = next + period;
        if (!waiting) {
            uint64_t at = next + kMostSkippedNs;
            if (awaited != UINT64_MAX && awaited > m_frame)
                at = std::min(at, anchorHost + nsOf(awaited - anchorFrame, rate, ppm));
            if (at > following)
                following = next + (at - next + period - 1) / period * period;
        }
        next = following;
    }
}

bool AudioEngine::awaitedFrame(const Slot& slot, uint64_t& awaited) const
{
    // Read from the client's memory: anything may be there, so a frame size outside the
    // ring's range only makes the clock keep its micro-frame cadence for this client.
    const uint32_t frames = audiosm::load(slot.record->iFrameSize);
    const uint32_t ringFrames = slot.input->ringFrames();
    if (frames == 0 || frames > ringFrames)
        return true;
    // A whole buffer that waits was woken for; the client then waits for the next one.
    const uint32_t available = audiosm::load(slot.input->writeCount) - slot.output->loadReadPosition();
    awaited = std::min(awaited, m_frame + (frames - available % frames));
    return false;
}

void AudioEngine::pass(uint64_t first, uint32_t frames, const PassTimes& times, bool lastOfTick, AudioSource* source,
                       WavSink* sink)
{
    const uint32_t out = m_format.outChannels;
    const uint32_t in = m_format.inChannels;
    std::array<Slot*, kClientRecords> live{};
    size_t count = 0;
    // A new client starts with the last pass of a tick. A tick after a long sleep brings many
    // frames at once, and a client that started with its first would find the output frames
    // before its write-ahead already played, silent, and its first buffers lost.
    for (Slot& slot : m_slots)
        if (slot.active.load(std::memory_order_seq_cst) && (slot.started || lastOfTick))
            live[count++] = &slot;

    std::fill_n(m_sum.get(), size_t(frames) * out, 0);
    for (size_t i = 0; i < count; ++i) {
        Slot& slot = *live[i];
        if (!slot.started) {
            slot.started = true;
            slot.origin = first;
        }
        if (out != 0)
            play(slot, first, frames);
    }
    for (size_t i = 0; i < size_t(frames) * out; ++i)
        m_mix[i] = int32_t(std::clamp<int64_t>(m_sum[i], kSampleMin, kSampleMax));
    // The mix reaches the converters' far side, where the loopback hears it, this much later.
    m_history.write(first + m_format.converterDelay, m_mix.get(), frames);
    if (sink != nullptr)
        sink->push(m_mix.get(), frames, out);

    if (source != nullptr)
        source->produce(m_capture.get(), frames, in, first, m_format.rate, m_history);
    else
        std::fill_n(m_capture.get(), size_t(frames) * in, 0);
    for (size_t i = 0; i < count; ++i)
        capture(*live[i], frames, times);
}

void AudioEngine::play(Slot& slot, uint64_t first, uint32_t frames)
{
    AudioSM& ring = *slot.output;
    // The header is the client's to scribble on: read once, checked, then used as read.
    const uint32_t channels = ring.channelCount();
    const uint32_t ringFrames = ring.ringFrames();
    if (channels != slot.outChannels || ringFrames == 0 || uint64_t(ringFrames) * channels > AudioSM::kMaxSamples)
        return;
    const uint32_t count = audiosm::load(ring.writeCount, std::memory_order_acquire);
    const uint32_t offset = audiosm::load(ring.writeOffset, std::memory_order_acquire);
    if (!slot.written) {
        if (count == slot.start && offset == 0)
            return; // nothing written yet: silence, and not yet late
        slot.written = true;
    }
    // The connection's frame numbers are 32-bit and count from its start frame.
    const uint32_t k = slot.start + uint32_t(first - slot.origin);
    const int64_t ahead = int32_t(count + offset - k);
    const auto have = uint32_t(std::clamp<int64_t>(ahead, 0, frames));

    const uint32_t mixed = std::min(channels, m_format.outChannels);
    const uint32_t out = m_format.outChannels;
    uint32_t at = k % ringFrames;
    for (uint32_t f = 0; f < have; ++f) {
        int32_t* from = ring.samples + size_t(at) * channels;
        int64_t* to = m_sum.get() + size_t(f) * out;
        for (uint32_t c = 0; c < mixed; ++c)
            to[c] += from[c];
        // Played frames are consumed: a slot the client skips (its write-ahead grew) plays
        // silence a lap later, not old audio.
        std::fill_n(from, channels, 0);
        if (++at == ringFrames)
            at = 0;
    }

    ClientData& record = *slot.record;
    if (have < frames) {
        // Late: one underrun, counted per channel as the readers divide by the channel count.
        shared(record.iUnderruns).fetch_add(int32_t(channels), std::memory_order_relaxed);
        return;
    }
    const auto lead = int32_t(std::min<int64_t>((ahead - frames) * channels, INT32_MAX));
    auto minimum = shared(record.iMinimum);
    const int32_t least = minimum.load(std::memory_order_relaxed);
    if (least == -1 || least > lead)
        minimum.store(lead, std::memory_order_relaxed);
    auto maximum = shared(record.iMaximum);
    if (maximum.load(std::memory_order_relaxed) < lead)
        maximum.store(lead, std::memory_order_relaxed);
    shared(record.iSum).fetch_add(uint32_t(lead), std::memory_order_relaxed);
    shared(record.iValueCount).fetch_add(1, std::memory_order_relaxed);
}

void AudioEngine::capture(Slot& slot, uint32_t frames, const PassTimes& times)
{
    if (audiosm::load(slot.input->writeCount) == slot.start) {
        // Until a record spans tsMinFrames a reader would find no time at all, and its first
        // buffers would go out untimed: the clock's own line of the first frames stands in.
        // Like every record it is written into the slot readers are not using, then published.
        AudioSM& ring = *slot.input;
        const bool firstIsCurrent = audiosm::load(ring.tsCurrent) != 0;
        AudioTSData& record = firstIsCurrent ? ring.tsRecord2 : ring.tsRecord1;
        audiosm::store(record.frame0, slot.start);
        audiosm::store(record.ts0, times.start);
        audiosm::store(record.frame1, slot.start + frames);
        audiosm::store(record.ts1, times.end);
        record.validate();
        audiosm::store(ring.tsCurrent, firstIsCurrent ? 0u : 1u, std::memory_order_release);
    }
    const uint64_t timestamp = times.timestamp;
    const uint32_t in = m_format.inChannels;
    const int32_t* from = m_capture.get();
    if (slot.inChannels != in) {
        // Set up before the format changed: the channels it has, from those there are.
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t c = 0; c < slot.inChannels; ++c)
                m_remap[size_t(f) * slot.inChannels + c] = c < in ? m_capture[size_t(f) * in + c] : 0;
        from = m_remap.get();
    }
    slot.input->writeFrames(from, frames, 0, slot.inChannels);
    slot.input->writeTimestamp(timestamp);
    // The client's I/O thread sleeps on the write count until a buffer of its own is whole:
    // it is woken once, by the pass that completes the buffer, its time stamp written.
    const uint32_t size = audiosm::load(slot.record->iFrameSize);
    const uint32_t available = audiosm::load(slot.input->writeCount) - slot.output->loadReadPosition();
    if (size != 0 && available >= size && available - frames < size)
        __ulock_wake(UL_COMPARE_AND_WAIT_SHARED | ULF_WAKE_ALL, &slot.input->writeCount, 0);
}

} // namespace kext
