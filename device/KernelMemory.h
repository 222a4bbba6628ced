#pragma once
#include <cstdint>

// Memory objects the kernel driver's user client maps into a process (IOConnectMapMemory).
enum KernelMemoryType : uint32_t {
    kMemoryStatusBlock = 1, // one per interface, shared by every connection
    kMemoryInputRing = 4,   // one per connection
    kMemoryOutputRing = 5,  // one per connection
};

constexpr uint32_t kStatusBlockSize = 14376;
constexpr uint32_t kAudioRingSize = 528544; // 0x810A0

// The interface version this build of the suite speaks.
constexpr uint32_t kInterfaceVersion = 3302;

// Message type of a kernel event sent to the interest listeners of an interface's service.
constexpr uint32_t kKernelEventMessage = 0xE0000130;
