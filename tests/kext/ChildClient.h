#pragma once
// A second client process (kext_test_client) driven through its standard input and output.
// Waiting for its lines runs the calling thread's run loop, so the test's own notifications
// keep arriving meanwhile.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/PrivateDaemon.h"

extern char** environ;

namespace kexttest {

class ChildClient {
public:
    ChildClient() = default;
    ~ChildClient() { stop(); }
    ChildClient(const ChildClient&) = delete;
    ChildClient& operator=(const ChildClient&) = delete;

    // Starts the client on the daemon of TARSEL_KEXT_SOCKET; true once it reported "ready".
    bool start()
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return false;
        if (pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const char* argv[] = {KEXT_TEST_CLIENT, nullptr};
        int rc = posix_spawn(&m_pid, KEXT_TEST_CLIENT, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
        fcntl(m_out, F_SETFL, O_NONBLOCK);
        if (rc != 0) {
            m_pid = -1;
            return false;
        }
        std::istringstream ready(waitFor("ready "));
        std::string word;
        ready >> word >> m_pair[0] >> m_pair[1] >> m_reportedPid;
        return word == "ready" && m_reportedPid == m_pid;
    }

    void send(const std::string& line)
    {
        const std::string text = line + "\n";
        if (m_in >= 0)
            (void)!write(m_in, text.data(), text.size());
    }

    // The first line not yet taken that starts with `prefix`; empty if none came in time.
    std::string waitFor(const std::string& prefix, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::string found;
        runLoopUntil(
            [&] {
                pump();
                for (size_t i = 0; i < m_lines.size(); ++i) {
                    if (m_lines[i].rfind(prefix, 0) == 0) {
                        found = m_lines[i];
                        m_lines.erase(m_lines.begin() + ptrdiff_t(i));
                        return true;
                    }
                }
                return false;
            },
            limit);
        return found;
    }

    // Kills the process at once, as a crash would.
    int kill()
    {
        int status = -1;
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
        return status;
    }

    // Asks it to quit, then waits for it.
    void stop()
    {
        if (m_pid > 0) {
            send("quit");
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
        if (m_in >= 0)
            ::close(m_in);
        if (m_out >= 0)
            ::close(m_out);
        m_in = m_out = -1;
    }

    pid_t pid() const { return m_pid > 0 ? m_pid : m_reportedPid; }
    std::array<uint32_t, 2> pair() const { return m_pair; }

private:
    void pump()
    {
        char buffer[512];
        ssize_t n;
        while (m_out >= 0 && (n = read(m_out, buffer, sizeof buffer)) > 0)
            m_partial.append(buffer, size_t(n));
        size_t end;
        while ((end = m_partial.find('\n')) != std::string::npos) {
            m_lines.push_back(m_partial.substr(0, end));
            m_partial.erase(0, end + 1);
        }
    }

    pid_t m_pid = -1;
    pid_t m_reportedPid = -1;
    int m_in = -1;
    int m_out = -1;
    std::array<uint32_t, 2> m_pair{};
    std::string m_partial;
    std::vector<std::string> m_lines;
};

// The line a client prints for a kernel event.
inline std::string eventLine(uint32_t code, std::array<uint32_t, 7> params)
{
    std::string line = "event " + std::to_string(code);
    for (uint32_t p : params)
        line += " " + std::to_string(p);
    return line;
}

} // namespace kexttest
