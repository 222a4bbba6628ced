#include "tests/support/PrivateDaemon.h"

#include <stdlib.h>
#include <unistd.h>

#include <thread>

namespace kexttest {

PrivateDaemon::PrivateDaemon(std::unique_ptr<kext::BehaviourFactory> factory)
{
    char folder[] = "/tmp/tarsel-kexttest-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return;
    m_folder = folder;
    m_path = m_folder + "/kext.sock";
    setenv("TARSEL_KEXT_SOCKET", m_path.c_str(), 1);
    m_thread = std::make_unique<kext::DaemonThread>(m_path, std::move(factory));
}

PrivateDaemon::~PrivateDaemon()
{
    m_control.reset();
    m_thread.reset();
    if (!m_folder.empty()) {
        unlink(m_path.c_str());
        rmdir(m_folder.c_str());
    }
    unsetenv("TARSEL_KEXT_SOCKET");
}

uint32_t PrivateDaemon::plug(const std::string& model, uint32_t options)
{
    return m_thread->call([&](kext::Daemon& d) {
        uint32_t id = 0;
        return d.plug(model, options, &id) == kIOReturnSuccess ? id : 0u;
    });
}

kern_return_t PrivateDaemon::unplug(uint32_t id)
{
    return m_thread->call([&](kext::Daemon& d) { return d.unplug(id); });
}

kext::ControlClient& PrivateDaemon::control()
{
    if (!m_control) {
        m_control = std::make_unique<kext::ControlClient>();
        m_control->connect(m_path);
    }
    return *m_control;
}

bool runLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    }
    return true;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

io_service_t firstService(const char* className)
{
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(className), &iterator) != kIOReturnSuccess)
        return 0;
    io_service_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    return service;
}

int drain(io_iterator_t iterator)
{
    int count = 0;
    while (io_object_t object = IOIteratorNext(iterator)) {
        IOObjectRelease(object);
        ++count;
    }
    return count;
}

} // namespace kexttest
