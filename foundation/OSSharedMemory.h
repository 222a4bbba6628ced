#pragma once
#include <MacTypes.h>
#include <sys/shm.h>

// One System V shared memory segment, never attached: its existence under a key is a
// machine-wide flag. Closing removes the segment for every process.
class OSSharedMemory {
public:
    constexpr OSSharedMemory() = default;
    OSSharedMemory(const OSSharedMemory&) = delete;
    OSSharedMemory& operator=(const OSSharedMemory&) = delete;
    virtual ~OSSharedMemory();

    // Opens (and with `create` makes, with `exclusive` only if new) the segment under `key`,
    // after removing any segment this object held. False on every failure, leaving it closed.
    bool open(SInt32 key, UInt32 size, bool create, bool exclusive);
    void close();
    bool isOpen() const { return m_iShmid != -1; }
    SInt32 getShmid() const { return m_iShmid; }
    SInt32 getKey() const { return m_iKey; }
    UInt32 getSize() const { return m_iSize; }
    // The segment's status as of the open; zeroed where the system would not tell.
    const struct shmid_ds& getInfo() const { return m_info; }

private:
    SInt32 m_iShmid = -1;
    struct shmid_ds m_info {};
    SInt32 m_iKey = 0;
    UInt32 m_iSize = 0;
};

// The firmware updater's flag: "fwup" read big-endian, and the size the updater agrees on.
constexpr SInt32 kUpdaterFlagKey = 0x66777570;
constexpr UInt32 kUpdaterFlagSize = 256;

// The key the three calls below use: kUpdaterFlagKey unless this process chose another, so that
// tests can hold and probe a flag of their own without disturbing anyone else's. Set it before
// registering; a flag held under the old key stays until unregistered.
SInt32 updaterFlagKey();
void setUpdaterFlagKey(SInt32 key);

// Makes this process the holder of the updater flag; true if it holds it now.
bool fwupdateRegister();
// Removes the flag if this process holds it.
void fwupdateUnRegister();
// True if the flag is held by anyone, or if the test itself fails.
bool fwUpdaterActive();
