#include "foundation/OSSharedMemory.h"

#include <errno.h>
#include <sys/ipc.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// The updater flag held by this process. Constant-initialised, so it is usable from any other
// static initialiser; its destructor removes a flag still held when the process unloads.
constinit OSSharedMemory s_updaterFlag;
constinit std::atomic<SInt32> s_updaterFlagKey{kUpdaterFlagKey};

} // namespace

OSSharedMemory::~OSSharedMemory()
{
    close();
}

bool OSSharedMemory::open(SInt32 key, UInt32 size, bool create, bool exclusive)
{
    close();
    // No permission bits: the segment is only a flag and nobody ever attaches it. (The Mac adds
    // IPC_M here, which Linux does not have; the creator may remove the segment regardless.)
    int flags = (create ? IPC_CREAT : 0) | (exclusive ? IPC_EXCL : 0);
    errno = 0;
    int shmid = shmget(key_t(key), size, flags);
    int error = errno;
    if (error == ENOENT || error == ENOMEM || error == EACCES || error == EEXIST || error == ENOSPC) {
        if (shmid != -1)
            shmctl(shmid, IPC_RMID, nullptr);
        return false;
    }
    if (shmid == -1)
        return false;
    // The owner of a mode-0 segment may be refused its status; the open stands all the same.
    if (shmctl(shmid, IPC_STAT, &m_info) != 0)
        m_info = {};
    m_iShmid = shmid;
    m_iKey = key;
    m_iSize = size;
    return true;
}

void OSSharedMemory::close()
{
    if (m_iShmid == -1)
        return;
    shmctl(m_iShmid, IPC_RMID, &m_info);
    m_iShmid = -1;
    m_iKey = 0;
    m_iSize = 0;
}

SInt32 updaterFlagKey()
{
    return s_updaterFlagKey.load(std::memory_order_relaxed);
}

void setUpdaterFlagKey(SInt32 key)
{
    s_updaterFlagKey.store(key, std::memory_order_relaxed);
}

bool fwupdateRegister()
{
    return s_updaterFlag.isOpen() || s_updaterFlag.open(updaterFlagKey(), kUpdaterFlagSize, true, true);
}

void fwupdateUnRegister()
{
    s_updaterFlag.close();
}

bool fwUpdaterActive()
{
    // An exclusive create fails exactly when the flag exists; a segment made here goes at once.
    // Another process probing at the same instant holds the key for a moment only, while an
    // updater holds it for its whole run: a few short retries keep two processes that open
    // an interface together from taking each other's probe for an updater.
    constexpr int kAttempts = 4;
    const SInt32 key = updaterFlagKey();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        OSSharedMemory probe;
        bool created = probe.open(key, kUpdaterFlagSize, true, true);
        probe.close();
        if (created)
            return false;
        if (attempt + 1 < kAttempts)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
