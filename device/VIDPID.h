#pragma once
#include <cstdint>

// A USB vendor and product id, with the device-family tests that choose transfer modes,
// formats and latencies.
struct VIDPID {
    uint16_t vendorID;
    uint16_t productID;

    constexpr VIDPID(uint16_t vid, uint16_t pid) : vendorID(vid), productID(pid) {}
    constexpr bool isDevice(uint16_t vid, uint16_t pid) const { return vendorID == vid && productID == pid; }
    constexpr bool operator==(const VIDPID&) const = default;

    // Interfaces that stream in bulk transfers on a high-speed link: `flag` when the pair is
    // one of them (callers pass whether the link is high speed), else false.
    bool isQuentaBulkDevice(bool flag) const;
    // Interfaces with bulk input and isochronous output on a high-speed link.
    bool isQuentaBulkInIsocOutDevice(bool flag) const;
    // Interfaces that follow the Marlow conventions (the two families above and a few more).
    bool isMarlowCompatible() const;
};
