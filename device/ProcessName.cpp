#include "device/ProcessName.h"

#include <sys/sysctl.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kNameBytes = 17;
constexpr size_t kCopiedBytes = 16;
// The table is fetched again when it grew between sizing and copying; a system that keeps
// starting processes faster than that must not hold us forever.
constexpr int kMaxAttempts = 8;

} // namespace

bool GetProcessNameFromPID(int pid, char* name)
{
    if (name == nullptr)
        return false;
    std::memset(name, 0, kNameBytes);

    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0};
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        size_t size = 0;
        if (sysctl(mib, 4, nullptr, &size, nullptr, 0) != 0 || size == 0)
            return false;
        auto* table = static_cast<kinfo_proc*>(std::malloc(size));
        if (table == nullptr)
            return false;
        if (sysctl(mib, 4, table, &size, nullptr, 0) != 0) {
            std::free(table);
            continue;
        }
        const size_t count = size / sizeof(kinfo_proc);
        for (size_t i = 0; i < count; ++i) {
            if (table[i].kp_proc.p_pid == pid) {
                std::memcpy(name, table[i].kp_proc.p_comm, kCopiedBytes);
                std::free(table);
                return true;
            }
        }
        std::free(table);
        return false;
    }
    return false;
}
