// The Process Manager's look-up and the sysctl process table, both read from /proc.
#include <Carbon/Carbon.h>
#include <sys/sysctl.h>

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "ProcessTable.h"

namespace {

// Serial numbers are the process ID under a high word of 1, so that none can be mistaken for
// the well-known ones (high word 0) even for the low process IDs 1 and 2.
constexpr UInt32 kProcessHighWord = 1;
constexpr UInt32 kAPPL = 0x4150504C;    // "APPL"
constexpr UInt32 kUnknown = 0x3F3F3F3F; // "????"
constexpr size_t kMaxProcessName = 31;  // the name goes into a Str31

bool psnToPid(const ProcessSerialNumber& psn, pid_t& pid)
{
    if (psn.highLongOfPSN == 0 && psn.lowLongOfPSN == kCurrentProcess) {
        pid = getpid();
        return true;
    }
    if (psn.highLongOfPSN != kProcessHighWord || psn.lowLongOfPSN == 0 ||
        psn.lowLongOfPSN > UInt32(INT32_MAX))
        return false;
    pid = pid_t(psn.lowLongOfPSN);
    return true;
}

ProcessSerialNumber pidToPsn(pid_t pid)
{
    return ProcessSerialNumber{kProcessHighWord, UInt32(pid)};
}

} // namespace

extern "C" OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn)
{
    if (psn == nullptr)
        return paramErr;
    carbon::ProcessEntry entry;
    if (!carbon::readProcess(pid, entry))
        return procNotFound;
    *psn = pidToPsn(pid);
    return noErr;
}

extern "C" OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid)
{
    if (psn == nullptr || pid == nullptr)
        return paramErr;
    pid_t candidate = 0;
    carbon::ProcessEntry entry;
    if (!psnToPid(*psn, candidate) || !carbon::readProcess(candidate, entry))
        return procNotFound;
    *pid = candidate;
    return noErr;
}

extern "C" OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info)
{
    if (psn == nullptr || info == nullptr || info->processInfoLength < sizeof(ProcessInfoRec))
        return paramErr;
    pid_t pid = 0;
    carbon::ProcessEntry entry;
    if (!psnToPid(*psn, pid) || !carbon::readProcess(pid, entry))
        return procNotFound;

    if (info->processName != nullptr) {
        size_t n = std::min(entry.name.size(), kMaxProcessName);
        info->processName[0] = static_cast<unsigned char>(n);
        std::memcpy(info->processName + 1, entry.name.data(), n);
    }
    info->processNumber = pidToPsn(pid);
    info->processType = kAPPL;
    info->processSignature = kUnknown;
    info->processMode = 0;
    info->processLocation = nullptr;
    info->processSize = 0;
    info->processFreeMem = 0;
    info->processLauncher = entry.parent > 0 ? pidToPsn(entry.parent) : ProcessSerialNumber{0, kNoProcess};
    info->processLaunchDate = 0;
    info->processActiveTime = 0;
    return noErr;
}

extern "C" int sysctl(int* name, unsigned int namelen, void* oldp, size_t* oldlenp, void* newp,
                      size_t newlen)
{
    if (name == nullptr || namelen < 3 || namelen > 4 || oldlenp == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (name[0] != CTL_KERN || name[1] != KERN_PROC || name[2] != KERN_PROC_ALL) {
        errno = ENOTSUP;
        return -1;
    }
    if (newp != nullptr || newlen != 0) {
        errno = EPERM;
        return -1;
    }

    std::vector<pid_t> pids = carbon::listProcesses();
    if (oldp == nullptr) {
        // Room for the processes started before the caller comes back with a buffer.
        size_t estimate = pids.size() + pids.size() / 8 + 16;
        *oldlenp = estimate * sizeof(kinfo_proc);
        return 0;
    }

    const size_t capacity = *oldlenp / sizeof(kinfo_proc);
    auto* records = static_cast<kinfo_proc*>(oldp);
    size_t count = 0;
    bool fits = true;
    for (pid_t pid : pids) {
        carbon::ProcessEntry entry;
        if (!carbon::readProcess(pid, entry))
            continue; // ended since the directory was read
        if (count == capacity) {
            fits = false;
            break;
        }
        kinfo_proc& record = records[count++];
        std::memset(&record, 0, sizeof record);
        record.kp_proc.p_pid = pid;
        std::memcpy(record.kp_proc.p_comm, entry.name.data(), std::min(entry.name.size(), size_t(MAXCOMLEN)));
    }
    *oldlenp = count * sizeof(kinfo_proc);
    if (!fits) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}
