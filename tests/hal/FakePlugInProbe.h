#pragma once
// What the test plug-in and the HAL tests share: the events the plug-in reports to the program
// that loaded it (through a function the program exports, found with dlsym), and the custom
// properties through which a test drives it.
#include <CoreAudio/AudioHardware.h>

#include <cstdint>

enum class FakeEvent : uint32_t {
    Initialize, // object: the plug-in's object ID
    Teardown,
    Released, // the last reference went
    Reported, // object: the device or stream whose change the plug-in's own thread reported
};

struct FakeProbeEvent {
    FakeEvent event;
    AudioObjectID object;
    uint64_t thread; // pthread_self() of the thread it happened on
};

// Exported by the test program.
extern "C" void fakePlugInProbe(const FakeProbeEvent* event);
using FakePlugInProbeFunction = void (*)(const FakeProbeEvent*);

// Devices are laid out by these bits; Initialize publishes one with an input and an output, then
// one with two outputs.
constexpr UInt32 kFakeLayoutInput = 1;
constexpr UInt32 kFakeLayoutOutput = 2;

// Set on any device: a UInt32 layout. A new device is published on the plug-in's run loop.
constexpr AudioDevicePropertyID kFakePropertyAddDevice = CAFourCC("fkAD");
// Set on any device: the UInt32 ID of a device to remove, on the plug-in's run loop.
constexpr AudioDevicePropertyID kFakePropertyRemoveDevice = CAFourCC("fkRM");
// Set on any device: a FakeReport, reported by a thread of the plug-in's own before the set
// returns.
constexpr AudioDevicePropertyID kFakePropertyReport = CAFourCC("fkRP");

struct FakeReport {
    UInt32 device;
    UInt32 stream; // 0: a device property changed
    UInt32 channel;
    UInt32 isInput;
    UInt32 property;
};
