#include "device/DriverConnection.h"

#include <cstring>

#include "device/KernelMemory.h"

namespace {

// A direction the kernel left without sources gets one, so there is always a name to show.
void nameFirstEntry(ControlsBlock& block, const char* name)
{
    if (block.iSourceCount != 0)
        return;
    block.iSourceCount = 1;
    block.entries[0].setName(name);
}

} // namespace

DriverConnection::DriverConnection(io_service_t service) : m_service(service)
{
    IOObjectRetain(m_service);
    ioOpenConnection();
}

DriverConnection::~DriverConnection()
{
    ioCloseConnection();
    IOObjectRelease(m_service);
}

bool DriverConnection::ioOpenConnection()
{
    std::lock_guard<std::mutex> guard(m_requestLock);
    if (m_connect.load() != 0)
        return true;
    m_iConnectionInfo[0] = m_iConnectionInfo[1] = 0;
    io_connect_t connect = 0;
    if (IOServiceOpen(m_service, mach_task_self(), 0, &connect) != kIOReturnSuccess || connect == 0)
        return false;
    m_connect.store(connect, std::memory_order_release);

    DriverRequest open{};
    callLocked(kReqOpen, open); // the pair is kept whatever the outcome
    m_iConnectionInfo[0] = open.word(0);
    m_iConnectionInfo[1] = open.word(1);

    vm_address_t address = 0;
    vm_size_t size = 0;
    if (IOConnectMapMemory(connect, kMemoryStatusBlock, mach_task_self(), &address, &size,
                           kIOMapAnywhere) != kIOReturnSuccess) {
        closeLocked();
        return false;
    }
    if (size != kStatusBlockSize) {
        IOConnectUnmapMemory(connect, kMemoryStatusBlock, mach_task_self(), address);
        closeLocked();
        return false;
    }
    auto* status = reinterpret_cast<KernelStatusBlock*>(address);
    nameFirstEntry(status->controls.input, "Input");
    nameFirstEntry(status->controls.output, "Output");
    m_pStatusBlock.store(status, std::memory_order_release);
    return true;
}

void DriverConnection::ioCloseConnection()
{
    std::lock_guard<std::mutex> guard(m_requestLock);
    closeLocked();
}

void DriverConnection::closeLocked()
{
    io_connect_t connect = m_connect.exchange(0, std::memory_order_acq_rel);
    if (connect != 0) {
        if (KernelStatusBlock* status = m_pStatusBlock.exchange(nullptr))
            IOConnectUnmapMemory(connect, kMemoryStatusBlock, mach_task_self(),
                                 reinterpret_cast<vm_address_t>(status));
        IOServiceClose(connect);
    }
    m_iConnectionInfo[0] = m_iConnectionInfo[1] = 0;
}

uint64_t DriverConnection::getConnectionToken() const
{
    return uint64_t(m_iConnectionInfo[1]) << 32 | m_iConnectionInfo[0];
}

bool DriverConnection::callLocked(Req code, DriverRequest& record)
{
    io_connect_t connect = m_connect.load(std::memory_order_acquire);
    if (connect == 0)
        return false;
    m_request = record;
    m_request.iCode = code;
    IOByteCount outSize = kDriverRequestSize;
    kern_return_t result = IOConnectMethodStructureIStructureO(connect, 0, kDriverRequestSize,
                                                              &outSize, &m_request, &m_request);
    record = m_request;
    return result == kIOReturnSuccess;
}

bool DriverConnection::callDriver(Req code, DriverRequest& record)
{
    std::lock_guard<std::mutex> guard(m_requestLock);
    return callLocked(code, record);
}

bool DriverConnection::callDriver(Req code)
{
    DriverRequest record{};
    return callDriver(code, record);
}

bool DriverConnection::callAttach(uint32_t frameSize, uint32_t processID)
{
    DriverRequest record{};
    record.iParam = frameSize;
    record.setWord(0, processID);
    bool attached = callDriver(kReqAttach, record);
    m_iAttachSlot.store(attached ? int32_t(record.word(0)) : -1, std::memory_order_release);
    return attached;
}

bool DriverConnection::callDetach()
{
    m_iAttachSlot.store(-1, std::memory_order_release);
    return callDriver(kReqDetach);
}

bool DriverConnection::callUsbControl(uint32_t direction, uint32_t level, uint32_t recipient,
                                      uint8_t request, uint16_t value, uint16_t index,
                                      int32_t length, char* data)
{
    if (length < 0 || uint32_t(length) > kUsbControlMaxLength || (length > 0 && data == nullptr))
        return false;
    DriverRequest record{};
    record.usb.iUsbLength = length;
    record.usb.iUsbValue = value;
    record.usb.iUsbIndex = index;
    record.usb.iUsbDirection = direction;
    record.usb.iUsbLevel = level;
    record.usb.iUsbRecipient = recipient;
    record.usb.iUsbRequest = request;
    if (direction == 0 && length > 0)
        std::memcpy(record.usb.usbData, data, size_t(length));
    if (!callDriver(kReqUsbControl, record))
        return false;
    if (direction == 128) {
        int32_t answered = record.usb.iUsbLength;
        // The kernel's length is outside input: copy only what fits both the record and the caller.
        if (answered >= 0 && answered <= length)
            std::memcpy(data, record.usb.usbData, size_t(answered));
    }
    return true;
}

void* DriverConnection::ioMapMemory(uint32_t type, size_t size)
{
    std::lock_guard<std::mutex> guard(m_requestLock);
    io_connect_t connect = m_connect.load();
    if (connect == 0)
        return nullptr;
    vm_address_t address = 0;
    vm_size_t mapped = 0;
    if (IOConnectMapMemory(connect, type, mach_task_self(), &address, &mapped, kIOMapAnywhere)
        != kIOReturnSuccess)
        return nullptr;
    if (mapped != size) {
        IOConnectUnmapMemory(connect, type, mach_task_self(), address);
        return nullptr;
    }
    return reinterpret_cast<void*>(address);
}

void DriverConnection::ioUnmapMemory(uint32_t type, void* address)
{
    std::lock_guard<std::mutex> guard(m_requestLock);
    io_connect_t connect = m_connect.load();
    if (connect != 0 && address != nullptr)
        IOConnectUnmapMemory(connect, type, mach_task_self(), reinterpret_cast<vm_address_t>(address));
}
