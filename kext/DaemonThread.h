#pragma once
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "kext/Daemon.h"

namespace kext {

// A daemon serving a socket on a thread of its own, with its own GLib context: what tests
// and benchmarks start instead of tarsel-kextd.
class DaemonThread {
public:
    // Starts serving `path`; see started() and error().
    DaemonThread(std::string path, std::unique_ptr<BehaviourFactory> factory);
    // Stops the daemon: every connection is closed as if its client had died.
    ~DaemonThread();
    DaemonThread(const DaemonThread&) = delete;
    DaemonThread& operator=(const DaemonThread&) = delete;

    bool started() const { return m_daemon != nullptr; }
    const std::string& error() const { return m_error; }
    const std::string& path() const { return m_path; }

    // Runs `fn` on the daemon's thread and waits until it has run.
    void run(const std::function<void(Daemon&)>& fn);
    template <class F> auto call(F&& fn) -> decltype(fn(std::declval<Daemon&>()))
    {
        using R = decltype(fn(std::declval<Daemon&>()));
        if constexpr (std::is_void_v<R>) {
            run(fn);
        } else {
            R result{};
            run([&](Daemon& d) { result = fn(d); });
            return result;
        }
    }

private:
    std::string m_path;
    std::string m_error;
    Daemon* m_daemon = nullptr;
    GMainLoop* m_loop = nullptr;
    std::thread m_thread;
};

} // namespace kext
