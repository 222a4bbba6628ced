// The process table as /proc shows it, for the Process Manager and the sysctl process query.
#pragma once
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace carbon {

// The kernel keeps at most this many characters of a process's name (TASK_COMM_LEN - 1).
constexpr size_t kKernelNameLength = 15;
// Longest executable name we hand out (a file name's limit).
constexpr size_t kMaxExecutableName = 255;

// A process's executable name from what /proc tells: the kernel's own name (`comm`), complete
// when shorter than 15 characters; at 15 it may have been cut, so the base name of the
// executable's path (`exePath`, as /proc/PID/exe links to it), else of argv[0], supplies the
// rest when it begins with those 15 characters. A name set by the program itself (which then
// matches neither) stays as the kernel has it.
std::string executableName(std::string_view comm, std::string_view exePath, std::string_view argv0);

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    std::string name;
};

// False when `pid` is not a live process (or is a thread other than a process's first).
bool readProcess(pid_t pid, ProcessEntry& entry);
// The IDs of all processes, in /proc's order.
std::vector<pid_t> listProcesses();

} // namespace carbon
