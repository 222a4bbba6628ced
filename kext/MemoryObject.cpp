#include "kext/MemoryObject.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <utility>

namespace kext {

MemoryObject::~MemoryObject()
{
    reset();
}

MemoryObject::MemoryObject(MemoryObject&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_bytes(std::exchange(other.m_bytes, nullptr)),
      m_size(std::exchange(other.m_size, 0))
{
}

MemoryObject& MemoryObject::operator=(MemoryObject&& other) noexcept
{
    if (this != &other) {
        reset();
        m_fd = std::exchange(other.m_fd, -1);
        m_bytes = std::exchange(other.m_bytes, nullptr);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

bool MemoryObject::create(const char* name, size_t size)
{
    reset();
    int fd = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return false;
    if (ftruncate(fd, off_t(size)) != 0
        || fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        close(fd);
        return false;
    }
    uint8_t* bytes = nullptr;
    if (size > 0) {
        // Populated and, where the limits allow, locked: the clock thread writes the rings and
        // must not take a page fault on them.
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
        if (p == MAP_FAILED) {
            close(fd);
            return false;
        }
        mlock(p, size);
        bytes = static_cast<uint8_t*>(p);
    }
    m_fd = fd;
    m_bytes = bytes;
    m_size = size;
    return true;
}

void MemoryObject::reset()
{
    if (m_bytes != nullptr)
        munmap(m_bytes, m_size);
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_bytes = nullptr;
    m_size = 0;
}

} // namespace kext
