#pragma once
// A private simulated kernel driver and a private HOME for a benchmark, without the test
// libraries: benchmarks build and run whether or not the tests are built.
#include <IOKit/IOKitLib.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "kext/ControlClient.h"
#include "kext/DaemonThread.h"
#include "kext/InterfaceBehaviour.h"

namespace bench {

class BenchDaemon {
public:
    BenchDaemon()
    {
        char folder[] = "/tmp/tarsel-bench-XXXXXX";
        if (mkdtemp(folder) == nullptr)
            return;
        m_folder = folder;
        std::filesystem::create_directory(m_folder / "home");
        if (const char* old = getenv("HOME"))
            m_oldHome = old;
        setenv("HOME", (m_folder / "home").c_str(), 1);
        const std::string socket = (m_folder / "kext.sock").string();
        setenv("TARSEL_KEXT_SOCKET", socket.c_str(), 1);
        m_thread = std::make_unique<kext::DaemonThread>(socket, kext::makeBehaviourFactory());
    }
    ~BenchDaemon()
    {
        m_control.reset();
        m_thread.reset();
        unsetenv("TARSEL_KEXT_SOCKET");
        if (!m_oldHome.empty())
            setenv("HOME", m_oldHome.c_str(), 1);
        std::error_code ignored;
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder, ignored);
    }
    BenchDaemon(const BenchDaemon&) = delete;
    BenchDaemon& operator=(const BenchDaemon&) = delete;

    bool started() const { return m_thread && m_thread->started(); }

    // Plugs `model` and returns its service with one reference for the caller; 0 on failure.
    io_service_t plug(const std::string& model)
    {
        if (!started())
            return 0;
        const bool plugged = m_thread->call([&](kext::Daemon& d) {
            return d.plug(model, 0, &m_id) == kIOReturnSuccess;
        });
        io_iterator_t iterator = 0;
        if (!plugged
            || IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("ZmKernelDeviceTARSEL"), &iterator)
                   != kIOReturnSuccess)
            return 0;
        io_service_t service = IOIteratorNext(iterator);
        IOObjectRelease(iterator);
        return service;
    }

    // The folder that holds the daemon's socket and the private HOME.
    const std::filesystem::path& folder() const { return m_folder; }
    // The daemon's id of the interface plug() made.
    uint32_t id() const { return m_id; }
    // A control session to the daemon, opened on first use.
    kext::ControlClient& control()
    {
        if (!m_control) {
            m_control = std::make_unique<kext::ControlClient>();
            m_control->connect((m_folder / "kext.sock").string());
        }
        return *m_control;
    }

private:
    std::filesystem::path m_folder;
    uint32_t m_id = 0;
    std::unique_ptr<kext::ControlClient> m_control;
    std::string m_oldHome;
    std::unique_ptr<kext::DaemonThread> m_thread;
};

} // namespace bench
