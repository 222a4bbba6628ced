#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/APIDeviceInfo.h"
#include "device/KernelMemory.h"
#include "device/KernelStatusBlock.h"
#include "device/VkChannelSettings.h"

// A simulated USB audio interface as the kernel driver sees it: its identity, its texts, its
// USB descriptors (what request 4 serves), the figures and versions some requests answer, and
// the controls it powers up with. Pure data; the functions below turn it into the bytes the
// device layer reads.

namespace kext {

// Limits of a model beyond those of the device information block's layout.
constexpr size_t kModelNameMax = 63;   // fits the control protocol's 64-byte name field
constexpr size_t kModelTextMax = kStatusTextSize - 1;
constexpr size_t kControlNameMax = kControlsNameSize - 1;
constexpr uint16_t kMasterVolumeOnly = 0xFFFF;
constexpr uint32_t kMaxConverterDelay = 65536; // either term of DeviceModel::converterDelayAt

// Bytes per (micro)frame the catalogue's interfaces may use for isochronous streams, split
// between the answers of requests 15 (output) and 16 (input): one full-size isochronous packet.
constexpr uint32_t kIsochronousBudget = 1023;

enum class EndpointKind : uint8_t {
    Isochronous, // audio data
    Feedback,    // isochronous rate feedback of an asynchronous output; carries no audio
    Bulk,        // audio data over bulk transfers: no reserved bandwidth
};

struct EndpointModel {
    uint8_t address = 0; // bit 7 set: IN (device to host)
    uint16_t maxPacketSize = 0;
    EndpointKind kind = EndpointKind::Isochronous;

    bool isIn() const { return (address & 0x80) != 0; }
    bool carriesAudio() const { return kind != EndpointKind::Feedback; }
    bool operator==(const EndpointModel&) const = default;
};

// One alternate setting of a streaming interface. A setting without channels (alternate 0 of a
// streaming interface, or a control interface) carries no format and no endpoints.
struct AlternateModel {
    uint8_t setting = 0;  // bAlternateSetting
    uint8_t bits = 0;     // bit resolution: 16, 20, 24 or 32
    uint8_t channels = 0;
    bool continuous = false;
    uint32_t rateMin = 0; // continuous range, inclusive
    uint32_t rateMax = 0;
    std::vector<uint32_t> rates; // discrete rates
    std::vector<EndpointModel> endpoints;

    bool carriesFormat() const { return channels != 0; }
    bool offersRate(uint32_t rate) const;
    // The endpoint that carries the audio (the first one that is not a feedback endpoint), or
    // null.
    const EndpointModel* dataEndpoint() const;
    bool operator==(const AlternateModel&) const = default;
};

struct InterfaceModel {
    uint8_t number = 0; // bInterfaceNumber
    std::vector<AlternateModel> alternates;
    bool operator==(const InterfaceModel&) const = default;
};

struct ConfigurationModel {
    uint8_t value = 1; // bConfigurationValue
    std::vector<InterfaceModel> interfaces;
    bool operator==(const ConfigurationModel&) const = default;
};

// One data source of a direction, as an entry of the controls region holds it. Volumes are in
// 1/256 dB and the same for every channel slot in use.
struct ControlModel {
    std::string name;
    bool hasMute = false;
    bool mute = false;
    bool hasVolume = false;
    uint16_t volumeChannels = kMasterVolumeOnly; // channels 1..n, or the master channel only
    int16_t volumeMin = 0;
    int16_t volumeCurrent = 0;
    int16_t volumeMax = 0;
    bool operator==(const ControlModel&) const = default;
};

// One direction's block of the controls region. Without sources the block stays empty and the
// first process that opens the interface names its one source itself.
struct DirectionControls {
    bool shared = false;    // entry 0's controls apply whatever source is selected
    uint8_t sourceMask = 0; // the selected source: bit k for source k + 1
    std::vector<ControlModel> sources;
    bool operator==(const DirectionControls&) const = default;
};

struct DeviceModel {
    std::string name;        // short id for the control tool: "tarsel", "tarsel-fs"
    std::string description; // which behaviour of the suite the model is there for
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool highSpeed = true;   // USB 2.0 high-speed link; else full speed
    bool tiger = false;      // served as on Darwin 8: the class name carries the "Tiger" suffix
    uint32_t interfaceVersion = kInterfaceVersion;

    std::string manufacturer;
    std::string deviceName;
    std::string altDeviceName; // the device layer shows it instead of deviceName for a few models
    std::string modelUID;

    std::vector<ConfigurationModel> configurations; // in the order the device lists them

    uint32_t outBandwidth = 0; // request 15: bytes per (micro)frame; only 15 + 16 binds
    uint32_t inBandwidth = 0;  // request 16
    uint32_t halVersion = 0;   // request 25: the kernel driver's HAL interface revision
    uint32_t usbVersion = 0;   // request 26: the interface's firmware revision (bcdDevice)

    bool canMonitor = false;   // request 17
    uint32_t monitor = 0;      // initial monitor routing value (request 18): 0, 1, 12 or 34
    bool monitorPairs = false; // routes the monitoring by input pairs (12, 34), not just on (1)

    DirectionControls outputControls;
    DirectionControls inputControls;
    uint8_t syncSelector = 0;  // digital clock-sync selector at status 8876
    bool hasCodec = false;     // serves the codec register commands of request 31
    // What the interface's converters and transport add to a loopback beyond the rings: the
    // output side's delay from a frame's ring position to the jack plus the input side's from
    // the jack to the input ring, as the makers measured it. converterDelay frames plus
    // converterDelayPerMHz frames for every MHz of the rate, never below 0.
    int32_t converterDelay = 0;
    int32_t converterDelayPerMHz = 0;
    uint32_t converterDelayAt(uint32_t rate) const;

    bool operator==(const DeviceModel&) const = default;
};

// Bytes a sample of `bits` takes on the bus: 16 -> 2, 20 and 24 -> 3, 32 -> 4, else 0.
uint32_t bytesPerSample(uint32_t bits);

// Whether `model` is complete and within every limit of the records it is served through;
// otherwise `error` says which field is wrong.
bool validateModel(const DeviceModel& model, std::string& error);

// The device information block of request 4: zero-filled, then the model's layout.
void buildDeviceInfo(const DeviceModel& model, APIDeviceInfo& info);

// The bytes of the device information block worth serving: up to the end of the last record in
// use (the last alternate setting of the last interface of the last configuration, or the
// header of an empty one). Everything past it is zero, as the device layer's own copy is before
// it reads, so request 4 stops with a short chunk there instead of sending 386 chunks.
uint32_t deviceInfoLength(const DeviceModel& model);

// The status block as the interface powers up: version, speed, texts, controls and sync
// selector from the model; not configured, unclaimed, no settings, no clients.
void initStatusBlock(const DeviceModel& model, KernelStatusBlock& block);

// Whether the descriptors of configuration settings.iConfiguration can carry the settings: each
// direction with channels has an alternate setting of that bit depth and channel count that
// offers the rate, whose data endpoint points that way and, when isochronous, holds a
// (micro)frame of it; and the isochronous streams together stay within the figures of requests
// 15 and 16 in bytes per millisecond (times 8 on high speed), as the device layer reckons.
// Settings with both directions off carry nothing.
bool canCarry(const DeviceModel& model, const VkChannelSettings& settings);

// The settings the interface runs with once configured when nobody asked for anything it can
// carry: 48000 Hz where offered (else 44100, else the lowest rate), both directions on where
// possible, 24 bits preferred, then as many channels as fit. All zero when nothing can be
// carried.
VkChannelSettings defaultSettings(const DeviceModel& model);

// The standard 18-byte USB device descriptor of the model, for control transfers.
std::array<uint8_t, 18> usbDeviceDescriptor(const DeviceModel& model);

} // namespace kext
