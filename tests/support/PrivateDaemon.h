#pragma once
// A private simulated kernel driver for a test, reached through the IOKit calls.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <gtest/gtest.h>
#include <mach/mach.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "kext/ControlClient.h"
#include "kext/DaemonThread.h"
#include "kext/InterfaceBehaviour.h"

namespace kexttest {

using namespace std::chrono_literals;

// A daemon in this process, on a thread of its own, serving a socket in a fresh private
// folder. While it lives TARSEL_KEXT_SOCKET names that socket, so the IOKit calls of the test,
// and of the processes it starts, reach it.
class PrivateDaemon {
public:
    explicit PrivateDaemon(std::unique_ptr<kext::BehaviourFactory> factory = kext::makeBehaviourFactory());
    ~PrivateDaemon();
    PrivateDaemon(const PrivateDaemon&) = delete;
    PrivateDaemon& operator=(const PrivateDaemon&) = delete;

    bool started() const { return m_thread && m_thread->started(); }
    kext::DaemonThread& thread() { return *m_thread; }
    const std::string& path() const { return m_path; }
    const std::string& folder() const { return m_folder; }

    // Through the daemon's own calls: the new service's id, 0 on failure.
    uint32_t plug(const std::string& model = "default", uint32_t options = 0);
    kern_return_t unplug(uint32_t id);
    // A control session to this daemon, opened on first use.
    kext::ControlClient& control();

private:
    std::string m_folder;
    std::string m_path;
    std::unique_ptr<kext::DaemonThread> m_thread;
    std::unique_ptr<kext::ControlClient> m_control;
};

// Runs the calling thread's run loop until `done` holds; false if `limit` passes first (a
// guard against a hang, not a measure of speed).
bool runLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);
// Polls `done` without a run loop, with the same guard.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);

// The first service of `className`, with one reference for the caller; 0 when there is none.
io_service_t firstService(const char* className = "ZmKernelDeviceTARSEL");
// Drains an iterator, releasing what it yields; returns how many it yielded.
int drain(io_iterator_t iterator);

// A test with its own daemon, made by the factory makeFactory() returns.
class KextTest : public ::testing::Test {
protected:
    virtual std::unique_ptr<kext::BehaviourFactory> makeFactory() { return kext::makeBehaviourFactory(); }
    void SetUp() override
    {
        m_daemon = std::make_unique<PrivateDaemon>(makeFactory());
        ASSERT_TRUE(m_daemon->started()) << m_daemon->thread().error();
    }
    void TearDown() override { m_daemon.reset(); }
    PrivateDaemon& daemon() { return *m_daemon; }

private:
    std::unique_ptr<PrivateDaemon> m_daemon;
};

} // namespace kexttest
