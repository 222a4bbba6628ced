#pragma once
// The clock of one simulated interface: a thread that ticks at the USB cadence while the
// interface is configured and, each tick, moves the frames of that tick between the rings of
// the attached connections, the mix, the sink and the source.
//
// Threads: everything but the clock thread's loop is called on the daemon's thread. The clock
// thread takes no lock and makes no system call but its sleep and, once a buffer, the wake of
// the client waiting for it. What the daemon's thread changes
// under it (a registration, the source, the sink) is published with an atomic store, then the
// daemon's thread waits out the pass of the clock that may still use the old state (quiesce):
// the clock counts its passes in a sequence word, odd while one is under way. The daemon's
// thread waits at most one pass, a few microseconds; the clock never waits.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "device/KernelStatusBlock.h"
#include "kext/AudioSource.h"

struct AudioSM;

namespace kext {

class Connection;

struct EngineFormat {
    uint32_t rate = 0;
    uint32_t inChannels = 0;
    uint32_t outChannels = 0;
    bool highSpeed = false; // 125 us micro-frames, else 1 ms frames
    uint32_t converterDelay = 0; // frames from the mix to the loopback, beyond the rings; at most the rate

    bool operator==(const EngineFormat&) const = default;
};

constexpr uint32_t kEngineTimingBase = 4096; // a time stamp record spans at least 1024 frames
constexpr uint64_t kMaxJitterNs = 100'000'000;
constexpr int64_t kMaxDriftPpm = 10000;
// SCHED_FIFO priority of the clock, where the system grants it: above every user thread's
// precedence (63 maps to 32), so the producer of the rings is never held up by the I/O threads
// that wait for its frames.
constexpr int kClockPriority = 40;

class AudioEngine {
public:
    AudioEngine();
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Starts the clock for `format`, or restarts it when the format changed; registrations
    // stay. False (and no clock runs) for a format outside the engine's limits.
    bool start(const EngineFormat& format);
    // Stops the clock and ends every registration (the interface went away).
    void stop();
    bool running() const { return m_thread.joinable(); }
    const EngineFormat& format() const { return m_format; }

    // Sets up the rings of `connection` for the format in force (AudioSM::init) and serves them
    // from the next tick on, with `record` for its statistics. A connection that was registered
    // is set up anew. False when its rings cannot hold a ring block (the ring-size fault).
    bool attach(const std::shared_ptr<Connection>& connection, ClientData* record);
    // Ends the registration of `connection`, if any; its rings are not touched after this.
    void detach(const Connection& connection);

    // The settings of `set ID ...`; each applies from the next tick.
    void setSource(std::unique_ptr<audio::AudioSource> source);
    void setSink(std::unique_ptr<audio::WavSink> sink);
    void setJitter(uint64_t ns) { m_jitter.store(ns, std::memory_order_relaxed); }
    void setDrift(int64_t ppm) { m_drift.store(ppm, std::memory_order_relaxed); }
    // The frame counters of rings set up from now on start here instead of at 0, as on an
    // interface that has streamed for hours (near 2^32 they wrap soon).
    void setFrameStart(uint32_t frame) { m_frameStart.store(frame, std::memory_order_relaxed); }
    uint32_t frameStart() const { return m_frameStart.load(std::memory_order_relaxed); }
    uint64_t jitter() const { return m_jitter.load(std::memory_order_relaxed); }
    int64_t drift() const { return m_drift.load(std::memory_order_relaxed); }
    // "source=X", then what is not the default: " jitter=N drift=N frame-start=N dropped=N
    // sink=wav:PATH"
    std::string describe() const;

private:
    struct Slot {
        std::atomic<bool> active{false};
        // Set by the daemon's thread while inactive, read by the clock while active.
        std::shared_ptr<Connection> connection; // keeps the rings mapped; daemon's thread only
        AudioSM* input = nullptr;
        AudioSM* output = nullptr;
        ClientData* record = nullptr;
        uint32_t inChannels = 0;
        uint32_t outChannels = 0;
        // The clock's own while active.
        bool started = false;
        bool written = false; // the client has written output at least once
        uint64_t origin = 0;  // the global frame that is the connection's first frame
        uint32_t start = 0;   // the rings' frame number of it (the frame-start fault)
    };

    void stopClock();
    void release(Slot& slot);
    void quiesce() const;
    void run();
    // `timestamp`: the published time of the pass's end (jitter included); `start`, `end`: the
    // clock's own time of its first frame and of its end.
    struct PassTimes {
        uint64_t timestamp;
        uint64_t start;
        uint64_t end;
    };
    void pass(uint64_t first, uint32_t frames, const PassTimes& times, bool lastOfTick,
              audio::AudioSource* source, audio::WavSink* sink);
    void play(Slot& slot, uint64_t first, uint32_t frames);
    // Lowers `awaited` to the global frame that completes `slot`'s client's next buffer; true
    // when its frame size makes no sense, for the micro-frame cadence instead.
    bool awaitedFrame(const Slot& slot, uint64_t& awaited) const;
    void capture(Slot& slot, uint32_t frames, const PassTimes& times);

    EngineFormat m_format;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<uint64_t> m_sequence{0}; // odd while the clock is in a pass
    std::array<Slot, kClientRecords> m_slots;

    // Published to the clock; the old ones are destroyed on the daemon's thread.
    std::unique_ptr<audio::AudioSource> m_sourceOwned;
    std::unique_ptr<audio::WavSink> m_sinkOwned;
    std::atomic<audio::AudioSource*> m_source{nullptr};
    std::atomic<audio::WavSink*> m_sink{nullptr};
    std::atomic<uint64_t> m_jitter{0};
    std::atomic<int64_t> m_drift{0};
    std::atomic<uint32_t> m_frameStart{0};

    // The clock's own while it runs (handed over by starting and joining the thread).
    uint64_t m_frame = 0; // global frames so far
    uint64_t m_random = 0x9E3779B97F4A7C15ull;
    audio::MixHistory m_history;
    std::unique_ptr<int64_t[]> m_sum;     // kChunkFrames x kMaxChannels
    std::unique_ptr<int32_t[]> m_mix;     // the same, clamped
    std::unique_ptr<int32_t[]> m_capture; // the source's frames
    std::unique_ptr<int32_t[]> m_remap;   // for a ring set up with another channel count
};

} // namespace kext
