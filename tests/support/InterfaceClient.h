#pragma once
// A client of one simulated interface, used the way the device layer uses it: the connection
// with its pair (request 27), the mapped status block, requests, and the kernel events heard
// on the run loop of the thread that made the port. Header only, so the helper process of the
// tests can use it without the test framework.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <mach/mach.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "device/DriverRequest.h"
#include "device/KernelEvent.h"
#include "device/KernelMemory.h"
#include "device/KernelStatusBlock.h"
#include "device/VkChannelSettings.h"

namespace kexttest {

// What the interest notifications of one listener heard.
struct EventLog {
    std::mutex lock;
    std::vector<KernelEvent> events;

    std::vector<KernelEvent> all()
    {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
    size_t count(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (const KernelEvent& e : events)
            n += e.iCode == code;
        return n;
    }
    // The last event of `code`; a record of zeros when there is none.
    KernelEvent last(uint32_t code)
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->iCode == code)
                return *it;
        return KernelEvent{};
    }
};

inline void onInterestMessage(void* refCon, io_service_t, natural_t type, void* argument)
{
    auto* log = static_cast<EventLog*>(refCon);
    std::lock_guard<std::mutex> guard(log->lock);
    KernelEvent event;
    if (readKernelEvent(type, argument, event))
        log->events.push_back(event);
}

// A notification port whose source is on the calling thread's run loop.
struct NotifyPort {
    NotifyPort()
    {
        port = IONotificationPortCreate(kIOMasterPortDefault);
        if (port != nullptr)
            CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port), kCFRunLoopDefaultMode);
    }
    ~NotifyPort()
    {
        for (io_object_t n : notifications)
            IOObjectRelease(n);
        if (port != nullptr)
            IONotificationPortDestroy(port);
    }
    NotifyPort(const NotifyPort&) = delete;
    NotifyPort& operator=(const NotifyPort&) = delete;

    // Kernel events of `service` into `log`.
    bool listen(io_service_t service, EventLog& log)
    {
        io_object_t n = 0;
        if (IOServiceAddInterestNotification(port, service, kIOGeneralInterest, onInterestMessage, &log, &n)
            != kIOReturnSuccess)
            return false;
        notifications.push_back(n);
        return true;
    }

    IONotificationPortRef port = nullptr;
    std::vector<io_object_t> notifications;
};

inline DriverRequest makeRequest(uint32_t code, uint32_t word0 = 0)
{
    DriverRequest r{};
    r.iCode = code;
    r.setWord(0, word0);
    return r;
}

class InterfaceClient {
public:
    // Opens `service` as the device layer does: IOServiceOpen, request 27, the status block.
    explicit InterfaceClient(io_service_t service)
    {
        if (service == 0 || IOServiceOpen(service, mach_task_self(), 0, &m_connect) != kIOReturnSuccess) {
            m_connect = 0;
            return;
        }
        DriverRequest r = makeRequest(kReqOpen);
        if (call(r) == kIOReturnSuccess)
            m_pair = {r.word(0), r.word(1)};
        vm_address_t address = 0;
        vm_size_t size = 0;
        if (IOConnectMapMemory(m_connect, kMemoryStatusBlock, mach_task_self(), &address, &size, kIOMapAnywhere)
            == kIOReturnSuccess) {
            m_blockSize = size;
            m_block = reinterpret_cast<KernelStatusBlock*>(address);
        }
    }
    ~InterfaceClient() { close(); }
    InterfaceClient(const InterfaceClient&) = delete;
    InterfaceClient& operator=(const InterfaceClient&) = delete;

    void close()
    {
        if (m_connect == 0)
            return;
        if (m_block != nullptr)
            IOConnectUnmapMemory(m_connect, kMemoryStatusBlock, mach_task_self(), vm_address_t(m_block));
        m_block = nullptr;
        IOServiceClose(m_connect);
        m_connect = 0;
    }

    // Open, with a status block of the right size.
    bool ok() const { return m_connect != 0 && m_block != nullptr && m_blockSize == kStatusBlockSize; }
    io_connect_t connect() const { return m_connect; }
    std::array<uint32_t, 2> pair() const { return m_pair; }
    uint64_t token() const { return uint64_t(m_pair[1]) << 32 | m_pair[0]; }
    vm_size_t blockSize() const { return m_blockSize; }
    KernelStatusBlock& block() const { return *m_block; }

    kern_return_t call(DriverRequest& r) const
    {
        IOByteCount size = sizeof r;
        return IOConnectMethodStructureIStructureO(m_connect, 0, sizeof r, &size, &r, &r);
    }
    kern_return_t call(uint32_t code, uint32_t word0 = 0) const
    {
        DriverRequest r = makeRequest(code, word0);
        return call(r);
    }
    // Request 6 with `s`.
    kern_return_t applySettings(const VkChannelSettings& s) const
    {
        DriverRequest r = makeRequest(kReqSetChannelSettings);
        const uint32_t words[] = {s.iFrequency, s.iInChannels, s.iInBits, s.iOutChannels, s.iOutBits, s.iConfiguration};
        for (size_t i = 0; i < 6; ++i)
            r.setWord(i, words[i]);
        return call(r);
    }
    // Request 2 for this process; `slot` gets the answer.
    kern_return_t attach(uint32_t frames, int* slot = nullptr, uint32_t pid = uint32_t(getpid())) const
    {
        DriverRequest r = makeRequest(kReqAttach, pid);
        r.iParam = frames;
        kern_return_t kr = call(r);
        if (slot != nullptr)
            *slot = kr == kIOReturnSuccess ? int(r.word(0)) : -1;
        return kr;
    }
    // Request 31 with a sub-command and a value word.
    kern_return_t codec(uint32_t sub, uint32_t value, uint32_t* answer = nullptr) const
    {
        DriverRequest r = makeRequest(kReqCodec, sub);
        r.setWord(1, value);
        kern_return_t kr = call(r);
        if (answer != nullptr)
            *answer = r.word(1);
        return kr;
    }
    // Maps memory of `type`; its length in `size`, 0 when the map failed.
    kern_return_t map(uint32_t type, vm_size_t& size, vm_address_t* address = nullptr) const
    {
        vm_address_t a = 0;
        size = 0;
        kern_return_t kr = IOConnectMapMemory(m_connect, type, mach_task_self(), &a, &size, kIOMapAnywhere);
        if (address != nullptr)
            *address = a;
        return kr;
    }

private:
    io_connect_t m_connect = 0;
    std::array<uint32_t, 2> m_pair{};
    KernelStatusBlock* m_block = nullptr;
    vm_size_t m_blockSize = 0;
};

} // namespace kexttest
