#pragma once
// The HAL's notification thread and the queue that feeds it. Plug-ins report changes from any
// thread, their real-time I/O threads included, so queuing takes one short lock and never
// allocates: the queue is a ring of fixed size made when the thread starts. When it is full, a
// notice equal to one still waiting is merged into it (a listener re-reads the property
// anyway); one that matches none is dropped and counted.
#include <CoreAudio/AudioHardware.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct HALNotice {
    enum class Kind : uint8_t {
        Device, // a device property changed (object, channel, isInput, property)
        Stream, // a stream property changed (object, channel, property)
        System, // a system property changed (property)
        Forget, // an object died: its listeners go, after the notices queued before
    };
    Kind kind = Kind::System;
    Boolean isInput = false;
    AudioObjectID object = kAudioObjectUnknown;
    UInt32 channel = 0;
    UInt32 property = 0;

    bool operator==(const HALNotice&) const = default;
};

class NotificationQueue {
public:
    static constexpr std::size_t kCapacity = 1024;
    // Slots that only the HAL's own notices (system changes, deaths) may use, so that a plug-in
    // flooding the queue does not crowd them out.
    static constexpr std::size_t kReserved = 64;

    NotificationQueue() = default;
    NotificationQueue(const NotificationQueue&) = delete;
    NotificationQueue& operator=(const NotificationQueue&) = delete;
    ~NotificationQueue() { stop(); }

    void start(std::function<void(const HALNotice&)> deliver);
    // Joins the thread (not to be called from it) and drops what was still queued.
    void stop();

    // False when the notice was neither queued nor merged (queue full, or thread not running).
    // `fromPlugIn` notices leave the reserved slots free.
    bool push(const HALNotice& notice, bool fromPlugIn);

    bool isCurrent() const;
    std::size_t droppedCount() const;

private:
    void main();

    mutable std::mutex m_lock;
    std::condition_variable m_ready;
    std::vector<HALNotice> m_ring;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
    std::size_t m_dropped = 0;
    bool m_running = false;
    bool m_stopping = false;
    std::function<void(const HALNotice&)> m_deliver;
    std::thread m_thread;
};
