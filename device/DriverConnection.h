#pragma once
#include <IOKit/IOKitLib.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "device/DriverRequest.h"
#include "device/KernelStatusBlock.h"

// The one way to the kernel driver: a user-client connection to an interface's service, the
// mapped status block, and numbered requests each carried by one 268-byte record.
//
// HAL threads, the run-loop thread and the I/O thread all send requests on the same
// connection, so every request (filling the record, the call, reading the answer) runs under
// the connection's lock: callers hand in their own record and get the answer back in it.
class DriverConnection {
public:
    explicit DriverConnection(io_service_t service);
    DriverConnection(const DriverConnection&) = delete;
    DriverConnection& operator=(const DriverConnection&) = delete;
    virtual ~DriverConnection();

    // Opens the user client, learns the connection pair and maps the status block; true when
    // open (or already open).
    bool ioOpenConnection();
    void ioCloseConnection();
    bool ioIsOpen() const { return m_connect.load(std::memory_order_acquire) != 0; }
    io_service_t ioGetService() const { return m_service; }
    KernelStatusBlock* getDriverSM() const { return m_pStatusBlock.load(std::memory_order_acquire); }
    // The pair the kernel gave this connection; it names us in events 11 and 12.
    const uint32_t (&getConnectionInfo() const)[2] { return m_iConnectionInfo; }
    uint64_t getConnectionToken() const;

    // Sends `code` with `record` as input; the kernel's answer replaces `record`. False when the
    // connection is closed or the kernel refuses.
    bool callDriver(Req code, DriverRequest& record);
    // A request without parameters whose answer is not needed.
    bool callDriver(Req code);
    // Request 2 with the frame size and our process id; the slot answered is kept.
    bool callAttach(uint32_t frameSize, uint32_t processID);
    // Request 3; the slot is forgotten whatever the kernel answers.
    bool callDetach();
    int32_t getAttachSlot() const { return m_iAttachSlot.load(std::memory_order_acquire); }
    // A USB control transfer through request 13; `length` at most 128. For device-to-host
    // transfers the answer is copied into `data` only when it fits `length`.
    bool callUsbControl(uint32_t direction, uint32_t level, uint32_t recipient, uint8_t request,
                        uint16_t value, uint16_t index, int32_t length, char* data);

    // Maps kernel memory `type`; null when the mapping fails or its size is not `size`.
    void* ioMapMemory(uint32_t type, size_t size);
    void ioUnmapMemory(uint32_t type, void* address);

private:
    bool callLocked(Req code, DriverRequest& record);
    void closeLocked();

    std::mutex m_requestLock;       // serialises every use of the record and the connection
    DriverRequest m_request{};      // the record as sent to the kernel
    uint32_t m_iConnectionInfo[2]{};
    std::atomic<io_connect_t> m_connect{0};
    io_service_t m_service;
    std::atomic<KernelStatusBlock*> m_pStatusBlock{nullptr};
    std::atomic<int32_t> m_iAttachSlot{-1};
};
