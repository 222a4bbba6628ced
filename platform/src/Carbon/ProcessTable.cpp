#include "ProcessTable.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace carbon {

namespace {

// Reads at most `limit` bytes of a /proc file.
bool readSmallFile(const std::string& path, std::string& out, size_t limit)
{
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out.resize(limit);
    size_t done = 0;
    while (done < limit) {
        ssize_t n = read(fd, out.data() + done, limit - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0) {
                close(fd);
                out.clear();
                return false;
            }
            break;
        }
        done += size_t(n);
    }
    close(fd);
    out.resize(done);
    return true;
}

std::string_view baseName(std::string_view path)
{
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The value of a "Key:\tvalue" line of /proc/PID/status (whose name line is escaped, so every
// line is one field).
bool statusNumber(const std::string& status, std::string_view key, long& value)
{
    size_t line = 0;
    while (line < status.size()) {
        size_t next = status.find('\n', line);
        if (next == std::string::npos)
            next = status.size();
        std::string_view text(status.data() + line, next - line);
        if (text.size() > key.size() && text.substr(0, key.size()) == key && text[key.size()] == ':') {
            std::string number(text.substr(key.size() + 1));
            char* end = nullptr;
            errno = 0;
            value = std::strtol(number.c_str(), &end, 10);
            return end != number.c_str() && errno == 0;
        }
        line = next + 1;
    }
    return false;
}

} // namespace

std::string executableName(std::string_view comm, std::string_view exePath, std::string_view argv0)
{
    if (comm.size() < kKernelNameLength)
        return std::string(comm);
    // A deleted executable's link carries this mark after the path.
    constexpr std::string_view kDeleted = " (deleted)";
    if (exePath.size() >= kDeleted.size() && exePath.substr(exePath.size() - kDeleted.size()) == kDeleted)
        exePath.remove_suffix(kDeleted.size());
    for (std::string_view candidate : {baseName(exePath), baseName(argv0)}) {
        if (candidate.size() > kMaxExecutableName)
            candidate = candidate.substr(0, kMaxExecutableName);
        if (candidate.size() > comm.size() && candidate.substr(0, comm.size()) == comm)
            return std::string(candidate);
    }
    return std::string(comm);
}

bool readProcess(pid_t pid, ProcessEntry& entry)
{
    if (pid <= 0)
        return false;
    const std::string dir = "/proc/" + std::to_string(pid);

    std::string status;
    long tgid = 0, parent = 0;
    if (!readSmallFile(dir + "/status", status, 4096) || !statusNumber(status, "Tgid", tgid) ||
        tgid != pid || !statusNumber(status, "PPid", parent))
        return false;

    std::string comm;
    if (!readSmallFile(dir + "/comm", comm, 64))
        return false;
    if (!comm.empty() && comm.back() == '\n')
        comm.pop_back();

    std::string exePath, argv0;
    if (comm.size() >= kKernelNameLength) {
        char link[PATH_MAX];
        ssize_t n = readlink((dir + "/exe").c_str(), link, sizeof link);
        if (n > 0 && size_t(n) < sizeof link)
            exePath.assign(link, size_t(n));
        std::string cmdline;
        if (readSmallFile(dir + "/cmdline", cmdline, 4096))
            argv0.assign(cmdline.c_str()); // up to the first NUL
    }

    entry.pid = pid;
    entry.parent = pid_t(parent);
    entry.name = executableName(comm, exePath, argv0);
    return true;
}

std::vector<pid_t> listProcesses()
{
    std::vector<pid_t> pids;
    DIR* dir = opendir("/proc");
    if (dir == nullptr)
        return pids;
    while (dirent* e = readdir(dir)) {
        char* end = nullptr;
        long value = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && value > 0 && value <= INT_MAX)
            pids.push_back(pid_t(value));
    }
    closedir(dir);
    return pids;
}

} // namespace carbon
