#pragma once
// A process that sleeps for 30 s under a chosen program path and argv[0], so tests can look it
// up in the process table; killed and reaped when the object goes.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

extern char** environ;

class SleepingProcess {
public:
    SleepingProcess(const std::string& path, const std::string& argv0)
    {
        std::string name = argv0, seconds = "30";
        char* argv[] = {name.data(), seconds.data(), nullptr};
        if (posix_spawn(&m_pid, path.c_str(), nullptr, nullptr, argv, environ) != 0)
            m_pid = 0;
        // posix_spawn returns as soon as the new program replaced the old one, before its
        // arguments are in place; until then /proc shows an empty command line.
        for (int i = 0; m_pid > 0 && i < 2000 && !started(); ++i)
            usleep(1000);
    }
    ~SleepingProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    SleepingProcess(const SleepingProcess&) = delete;
    SleepingProcess& operator=(const SleepingProcess&) = delete;

    pid_t pid() const { return m_pid; }

private:
    bool started() const
    {
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/cmdline");
        return in.get() != std::ifstream::traits_type::eof();
    }

    pid_t m_pid = 0;
};
