#pragma once
// When the simulated kernel driver made input frames available: after each tick it notes the
// input ring's writeCount and the host time the frames were in the ring, in a small log kept in
// the kernel driver's own reserved area of the input block. The user-space side never reads
// it; measuring programs do, to tell a client's lateness from the moment its data was there
// rather than from the data's nominal capture time.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "device/AudioSM.h"

namespace kext {

struct AvailabilityLog {
    static constexpr uint32_t kEntries = 128;
    struct Entry {
        uint32_t count; // writeCount after the tick
        uint32_t reserved;
        uint64_t hostNs; // the host time just after the frames were written
    };
    uint32_t next; // entries written so far; entry i is entries[i % kEntries]
    uint32_t reserved;
    Entry entries[kEntries];

    // The log of an input block (8-byte aligned inside the reserved area).
    static AvailabilityLog& of(AudioSM& ring) { return *reinterpret_cast<AvailabilityLog*>(ring.reserved + 4); }
    static const AvailabilityLog& of(const AudioSM& ring)
    {
        return *reinterpret_cast<const AvailabilityLog*>(ring.reserved + 4);
    }

    void clear() { audiosm::store(next, 0u, std::memory_order_release); }

    // The writer's: one entry per tick.
    void note(uint32_t count, uint64_t hostNs)
    {
        const uint32_t n = audiosm::load(next);
        Entry& e = entries[n % kEntries];
        audiosm::store(e.count, count);
        audiosm::store(e.hostNs, hostNs);
        audiosm::store(next, n + 1, std::memory_order_release);
    }

    // The host time at which writeCount first reached `count`; false when that is not (or no
    // longer) in the log.
    bool whenAvailable(uint32_t count, uint64_t& hostNs) const
    {
        const uint32_t end = audiosm::load(next, std::memory_order_acquire);
        // The oldest few may be rewritten while being read: leave them out.
        const uint32_t kept = end < kEntries - 8 ? end : kEntries - 8;
        bool found = false;
        for (uint32_t i = 1; i <= kept; ++i) {
            const Entry& e = entries[(end - i) % kEntries];
            const uint32_t c = audiosm::load(e.count);
            if (int32_t(c - count) < 0)
                return found && audiosm::load(next, std::memory_order_acquire) - end < 8;
            hostNs = audiosm::load(e.hostNs);
            found = true;
        }
        return false; // the log does not reach back that far
    }
};

static_assert(sizeof(AvailabilityLog) + 4 <= sizeof(AudioSM::reserved));
static_assert((offsetof(AudioSM, reserved) + 4) % alignof(AvailabilityLog) == 0);

} // namespace kext
