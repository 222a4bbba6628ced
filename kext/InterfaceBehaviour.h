#pragma once
// The simulated interfaces tarsel-kextd serves: each service is one device model of the
// catalogue (or of a model file) and answers the request codes, keeps the status block and the
// client records, and posts the kernel events the way the kernel driver does.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/ControlsRegion.h"
#include "device/KernelStatusBlock.h"
#include "device/VkChannelSettings.h"
#include "kext/AudioEngine.h"
#include "kext/ServiceBehaviour.h"
#include "kext/model/DeviceModel.h"

namespace kext {

// Limits of what a client may ask for.
constexpr uint32_t kMinAttachFrames = 64;
constexpr uint32_t kMaxAttachFrames = 1024;
constexpr uint32_t kInitialiseArgument = 0x02000200; // the one protocol request 24 accepts
constexpr size_t kUsbScratchSize = 256;              // what the vendor requests of 13 read and write
constexpr uint8_t kUsbVendorWrite = 0x01;
constexpr uint8_t kUsbVendorRead = 0x02;
constexpr uint16_t kCodecGroups = 4;
constexpr uint16_t kCodecRegisters = 64;

// USB control transfers of request 13: the request type and recipient as bmRequestType holds
// them (bits 5-6 and 0-4).
enum UsbLevel : uint32_t { kUsbStandard = 0, kUsbClass = 1, kUsbVendor = 2 };
enum UsbRecipient : uint32_t { kUsbDevice = 0, kUsbInterface = 1, kUsbEndpoint = 2, kUsbOther = 3 };
enum UsbDirection : uint32_t { kUsbOut = 0, kUsbIn = 128 };

// Sizes a service is plugged with instead of the right ones (the faults of `set 0 ...`).
struct PlugOverrides {
    std::optional<size_t> statusBlockSize;
    std::optional<size_t> ringSize;
    std::optional<uint32_t> version;
};

// Limits of the size faults: a wrong size, not a way to exhaust the machine.
constexpr size_t kMaxFaultStatusSize = 1 << 20;
constexpr size_t kMaxFaultRingSize = 4 << 20;
constexpr uint32_t kMaxConfigurationDelayMs = 60000;
constexpr uint64_t kMaxEventStorm = 10000;

class InterfaceBehaviour : public ServiceBehaviour {
public:
    InterfaceBehaviour(DeviceModel model, const PlugOverrides& overrides);
    ~InterfaceBehaviour() override;

    const DeviceModel& model() const { return m_model; }

    void onPlugged(Service& service) override;
    kern_return_t handleRequest(Connection& connection, DriverRequest& request) override;
    void onConnectionClosed(Connection& connection) override;
    void onUnplug(Service& service) override;
    kern_return_t configure(Service& service, std::string_view key, std::string_view value) override;
    size_t ringSize(Connection& connection, uint32_t type) override;
    std::string describe(const Service& service) const override;
    std::string describe(const Connection& connection) const override;

private:
    enum class Configuration { Now, Never, Late };
    enum class ControlKind { Mute, Volume, Source };
    struct Slot {
        uint32_t connection = 0; // 0: free
        int32_t pid = 0;
        std::array<uint32_t, 2> pair{};
        uint32_t frames = 0;
    };
    struct FailRule {
        bool any = false;
        uint32_t code = 0;
        int64_t remaining = -1; // -1: every time
    };

    KernelStatusBlock& block() { return *m_block; }
    bool injectFailure(uint32_t code);

    kern_return_t configureSettings(const VkChannelSettings& settings);
    void completeConfiguration(const VkChannelSettings& settings);
    void cancelConfigurationTimer();
    kern_return_t attach(Connection& connection, DriverRequest& request);
    void detach(Connection& connection);
    kern_return_t deviceInfo(DriverRequest& request) const;
    kern_return_t setStatusVersion(uint32_t version);
    kern_return_t applyControls(ControlKind kind);
    void writeControls(ControlKind kind, bool restore);
    const ConfigurationModel& configurationInForce() const;
    kern_return_t setMonitor(uint32_t value);
    kern_return_t usbControl(DriverRequest& request);
    kern_return_t codec(Connection& connection, DriverRequest& request);
    void setInputOwner(uint32_t connectionId, std::array<uint32_t, 2> pair);
    void writeStreamingCount();
    void post(uint32_t code, const EventParams& params);
    kern_return_t configureEngine(std::string_view key, std::string_view value);

    DeviceModel m_model;
    std::vector<uint8_t> m_deviceInfo; // what request 4 serves
    PlugOverrides m_overrides;
    Service* m_service = nullptr;
    Daemon* m_daemon = nullptr;

    // The status block: the service's own when it is large enough to hold the layout, else a
    // private one (the size fault), of which the service's shows what fits.
    KernelStatusBlock* m_block = nullptr;
    std::unique_ptr<KernelStatusBlock> m_private;

    // What the kernel holds as true; the shared block is only what clients may have edited.
    bool m_configured = false;
    VkChannelSettings m_settings{};
    ControlsRegion m_controls{};
    std::array<Slot, kClientRecords> m_slots{};
    uint32_t m_monitor = 0;
    uint32_t m_inputsExclusive = 0;
    uint32_t m_outputsExclusive = 0;
    uint32_t m_inputOwner = 0; // connection id, 0 for none
    std::map<uint32_t, uint16_t> m_codec; // group << 16 | index -> value
    std::array<uint8_t, kUsbScratchSize> m_scratch{};

    // Faults
    Configuration m_configuration = Configuration::Now;
    uint32_t m_configurationDelayMs = 0;
    unsigned m_configurationTimer = 0;
    VkChannelSettings m_pendingSettings{};
    std::vector<FailRule> m_failRules;
    size_t m_ringSize;

    // The clock and converters; last, so it stops before the status block can go.
    std::unique_ptr<AudioEngine> m_engine;
};

// Makes an InterfaceBehaviour for each plug: "default" is the model "tarsel", "file:PATH" a
// model file, any other name a model of the catalogue.
class InterfaceFactory : public BehaviourFactory {
public:
    std::unique_ptr<ServiceBehaviour> create(ServiceSetup& setup) override;
    // The sizes and version of the next plug (status-size, ring-size, version; "default" takes
    // one back).
    kern_return_t configure(Daemon& daemon, std::string_view key, std::string_view value) override;
    // Why the last create failed: an unknown model or what was wrong with the file.
    const std::string& lastError() const { return m_lastError; }

private:
    PlugOverrides m_next;
    std::string m_lastError;
};

// The model a plug names, as InterfaceFactory resolves it; empty with a reason in `error`.
std::optional<DeviceModel> resolveModel(const std::string& name, std::string& error);

// The factory tarsel-kextd serves with.
std::unique_ptr<BehaviourFactory> makeBehaviourFactory();

} // namespace kext
