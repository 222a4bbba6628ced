#pragma once
#include <cstddef>
#include <cstdint>

// Request codes of the kernel driver's user client (method selector 0).
enum Req : uint32_t {
    kReqSetConfiguration = 1,   // apply the channel settings written to the status block
    kReqAttach = 2,             // param: frame size; data word 0: process id -> data word 0: slot
    kReqDetach = 3,
    kReqDeviceInfo = 4,         // data word 0: chunk number -> code: byte count, data: the chunk
    kReqSetChannelSettings = 6, // data: the six words of VkChannelSettings
    kReqSetMute = 10,
    kReqSetMonitor = 11,        // data word 0: monitor routing value
    kReqSetVolume = 12,
    kReqUsbControl = 13,        // the usb... fields and data
    kReqBandwidth1 = 15,        // -> data word 0
    kReqBandwidth2 = 16,        // -> data word 0
    kReqCanMonitor = 17,        // -> data word 0
    kReqGetMonitor = 18,        // -> data word 0
    kReqSetDataSource = 19,
    kReqInitialise = 24,        // data word 0: 0x02000200
    kReqVersionHAL = 25,        // -> data word 0
    kReqVersionUSB = 26,        // -> data word 0
    kReqOpen = 27,              // -> data words 0 and 1: the connection pair
    kReqReset = 29,
    kReqResetComplete = 30,
    kReqCodec = 31,             // data word 0: sub-command (ReqCodec)
};

// Sub-commands of kReqCodec, in data word 0.
enum ReqCodec : uint32_t {
    kCodecGetInputsExclusive = 29,  // -> data word 1
    kCodecSetInputsExclusive = 30,  // data word 1
    kCodecGetOutputsExclusive = 31, // -> data word 1
    kCodecSetOutputsExclusive = 32, // data word 1
    kCodecGetRegister = 41,         // u16 group at 12, u16 index at 14 -> u16 value at 16
    kCodecSetRegister = 42,         // u16 group at 12, u16 index at 14, u16 value at 16
};

// The one record of every request: the kernel reads it as input and overwrites it with its
// answer. Host byte order, 268 bytes.
struct DriverRequest {
    uint32_t iCode;  // request code on input; some requests answer a count here
    uint32_t iParam; // first input parameter
    union {
        uint8_t data[256]; // further input and the main result
        struct {
            uint8_t usbData[128];
            int32_t iUsbLength;     // number of data bytes, at most 128
            uint16_t iUsbValue;     // wValue
            uint16_t iUsbIndex;     // wIndex
            uint32_t iUsbDirection; // 0 host-to-device, 128 device-to-host
            uint32_t iUsbLevel;     // request type
            uint32_t iUsbRecipient; // recipient
            uint8_t iUsbRequest;    // bRequest
            uint8_t usbPad[99];
        } usb;
    };
    uint8_t reserved[4];

    // 32-bit word n of `data` (byte offset 8 + 4n of the record).
    uint32_t word(size_t n) const;
    void setWord(size_t n, uint32_t value);
    // 16-bit field at byte offset 8 + off of the record.
    uint16_t half(size_t off) const;
    void setHalf(size_t off, uint16_t value);
};

constexpr uint32_t kDriverRequestSize = 268;
constexpr uint32_t kUsbControlMaxLength = 128;

static_assert(sizeof(DriverRequest) == kDriverRequestSize);
static_assert(offsetof(DriverRequest, iCode) == 0);
static_assert(offsetof(DriverRequest, iParam) == 4);
static_assert(offsetof(DriverRequest, data) == 8);
static_assert(offsetof(DriverRequest, usb.iUsbLength) == 136);
static_assert(offsetof(DriverRequest, usb.iUsbValue) == 140);
static_assert(offsetof(DriverRequest, usb.iUsbIndex) == 142);
static_assert(offsetof(DriverRequest, usb.iUsbDirection) == 144);
static_assert(offsetof(DriverRequest, usb.iUsbLevel) == 148);
static_assert(offsetof(DriverRequest, usb.iUsbRecipient) == 152);
static_assert(offsetof(DriverRequest, usb.iUsbRequest) == 156);

inline uint32_t DriverRequest::word(size_t n) const
{
    uint32_t v = 0;
    if (n < sizeof data / 4)
        __builtin_memcpy(&v, data + 4 * n, 4);
    return v;
}

inline void DriverRequest::setWord(size_t n, uint32_t value)
{
    if (n < sizeof data / 4)
        __builtin_memcpy(data + 4 * n, &value, 4);
}

inline uint16_t DriverRequest::half(size_t off) const
{
    uint16_t v = 0;
    if (off <= sizeof data - 2) // not off + 2, which wraps for the largest offsets
        __builtin_memcpy(&v, data + off, 2);
    return v;
}

inline void DriverRequest::setHalf(size_t off, uint16_t value)
{
    if (off <= sizeof data - 2)
        __builtin_memcpy(data + off, &value, 2);
}
