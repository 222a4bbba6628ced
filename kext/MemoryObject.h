#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace kext {

// A memory object the daemon shares with its clients: a sealed memfd (no one, not even a
// client holding the descriptor, can shrink or grow it, so the daemon's own mapping never
// faults) and the daemon's MAP_SHARED mapping of it. A size of 0 gives a valid descriptor and
// an empty mapping.
class MemoryObject {
public:
    MemoryObject() = default;
    ~MemoryObject();
    MemoryObject(const MemoryObject&) = delete;
    MemoryObject& operator=(const MemoryObject&) = delete;
    MemoryObject(MemoryObject&& other) noexcept;
    MemoryObject& operator=(MemoryObject&& other) noexcept;

    // False (and the object stays empty) when the memfd or its mapping cannot be made.
    bool create(const char* name, size_t size);
    void reset();

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    size_t size() const { return m_size; }
    std::span<uint8_t> bytes() const { return {m_bytes, m_size}; }

private:
    int m_fd = -1;
    uint8_t* m_bytes = nullptr;
    size_t m_size = 0;
};

} // namespace kext
