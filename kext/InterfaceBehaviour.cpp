#include "kext/InterfaceBehaviour.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>

#include "device/APIDeviceInfo.h"
#include "device/KernelEvent.h"
#include "kext/Connection.h"
#include "kext/Daemon.h"
#include "kext/Service.h"
#include "kext/model/Catalogue.h"
#include "kext/model/ModelFile.h"

namespace kext {

namespace {

constexpr const char* kTigerSuffix = "Tiger";
constexpr std::string_view kFilePrefix = "file:";
constexpr size_t kInfoChunk = 256;
constexpr uint32_t kInvalidExclusive = 0xFFFFFFFF; // what the user side reads as a failed get

// Standard USB requests and descriptor types request 13 answers.
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorString = 3;
constexpr uint16_t kLanguageEnglishUS = 0x0409;

// Event parameters of the controls events: which directions changed.
constexpr uint32_t kChangedOutput = 1;
constexpr uint32_t kChangedInput = 2;
constexpr uint32_t kChangedSync = 4;

// What the kernel keeps per connection.
struct ClientState : ConnectionState {
    int slot = -1;             // the client record it holds, -1 for none
    bool resetPending = false; // request 29 answered, 30 not yet
};

ClientState& stateOf(Connection& c)
{
    if (auto* s = dynamic_cast<ClientState*>(c.state()))
        return *s;
    auto fresh = std::make_unique<ClientState>();
    ClientState& s = *fresh;
    c.setState(std::move(fresh));
    return s;
}

const ClientState* stateOf(const Connection& c)
{
    return dynamic_cast<const ClientState*>(c.state());
}

size_t volumeSlots(const ControlsEntry& e)
{
    return e.iVolumeChannels == kMasterVolumeOnly ? 1 : std::min<size_t>(e.iVolumeChannels, kControlsVolumeSlots);
}

uint64_t tokenOf(std::array<uint32_t, 2> pair)
{
    return uint64_t(pair[1]) << 32 | pair[0];
}

std::vector<uint8_t> stringDescriptor(const std::string& text)
{
    // bLength is one byte: at most 126 characters.
    const size_t n = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> d{uint8_t(2 + 2 * n), kDescriptorString};
    for (size_t i = 0; i < n; ++i) {
        d.push_back(uint8_t(text[i]));
        d.push_back(0);
    }
    return d;
}

} // namespace


// ---------------------------------------------------------------------------------------------
// The service

InterfaceBehaviour::InterfaceBehaviour(DeviceModel model, const PlugOverrides& overrides)
    : m_model(std::move(model)), m_overrides(overrides), m_ringSize(overrides.ringSize.value_or(kAudioRingSize)),
      m_engine(std::make_unique<AudioEngine>())
{
    auto info = std::make_unique<APIDeviceInfo>();
    buildDeviceInfo(m_model, *info);
    const size_t length = std::min<size_t>(deviceInfoLength(m_model), sizeof(APIDeviceInfo));
    const auto* bytes = reinterpret_cast<const uint8_t*>(info.get());
    m_deviceInfo.assign(bytes, bytes + length);
    m_monitor = m_model.canMonitor ? m_model.monitor : 0;
}

InterfaceBehaviour::~InterfaceBehaviour()
{
    cancelConfigurationTimer();
    m_engine->stop();
}

void InterfaceBehaviour::onPlugged(Service& service)
{
    m_service = &service;
    m_daemon = &service.daemon();
    auto initial = std::make_unique<KernelStatusBlock>();
    initStatusBlock(m_model, *initial);
    if (m_overrides.version)
        initial->iVersion = *m_overrides.version;
    m_controls = initial->controls;
    const std::span<uint8_t> shared = service.statusBlock();
    if (!shared.empty())
        std::memcpy(shared.data(), initial.get(), std::min(shared.size(), sizeof *initial));
    if (shared.size() >= sizeof(KernelStatusBlock)) {
        m_block = reinterpret_cast<KernelStatusBlock*>(shared.data());
    } else {
        m_private = std::move(initial);
        m_block = m_private.get();
    }
}

void InterfaceBehaviour::onUnplug(Service& service)
{
    cancelConfigurationTimer();
    m_engine->stop();
    ServiceBehaviour::onUnplug(service);
}

void InterfaceBehaviour::post(uint32_t code, const EventParams& params)
{
    if (m_service != nullptr)
        m_service->postEvent(code, params);
}

bool InterfaceBehaviour::injectFailure(uint32_t code)
{
    for (auto it = m_failRules.begin(); it != m_failRules.end(); ++it) {
        if (!it->any && it->code != code)
            continue;
        if (it->remaining > 0 && --it->remaining == 0)
            m_failRules.erase(it);
        return true;
    }
    return false;
}

kern_return_t InterfaceBehaviour::handleRequest(Connection& c, DriverRequest& r)
{
    if (m_block == nullptr)
        return kIOReturnNotReady;
    ClientState& client = stateOf(c);
    if (injectFailure(r.iCode))
        return kIOReturnError;
    // Fields a request does not use are left as they came: the user side reuses one record for
    // every request, so they hold whatever the last answer left there.
    switch (r.iCode) {
    case kReqOpen:
        r.setWord(0, c.pair()[0]);
        r.setWord(1, c.pair()[1]);
        return kIOReturnSuccess;
    case kReqSetConfiguration: {
        // The user side wrote what it wants to 5164; what the descriptors cannot carry falls
        // back to the interface's own choice, as a configuration must come up.
        VkChannelSettings s;
        std::memcpy(&s, &block().channels, sizeof s);
        if (!canCarry(m_model, s))
            s = defaultSettings(m_model);
        if (!canCarry(m_model, s))
            return kIOReturnError;
        return configureSettings(s);
    }
    case kReqSetChannelSettings: {
        const VkChannelSettings s{r.word(0), r.word(1), r.word(2), r.word(3), r.word(4), r.word(5)};
        if (!canCarry(m_model, s))
            return kIOReturnBadArgument;
        return configureSettings(s);
    }
    case kReqAttach:
        return attach(c, r);
    case kReqDetach:
        detach(c);
        return kIOReturnSuccess;
    case kReqDeviceInfo:
        return deviceInfo(r);
    case kReqSetMute:
        return applyControls(ControlKind::Mute);
    case kReqSetVolume:
        if (r.word(0) != 0)
            return kIOReturnBadArgument;
        return applyControls(ControlKind::Volume);
    case kReqSetDataSource:
        return applyControls(ControlKind::Source);
    case kReqSetMonitor:
        return setMonitor(r.word(0));
    case kReqCanMonitor:
        r.setWord(0, m_model.canMonitor ? 1 : 0);
        return kIOReturnSuccess;
    case kReqGetMonitor:
        r.setWord(0, m_monitor);
        return kIOReturnSuccess;
    case kReqUsbControl:
        return usbControl(r);
    case kReqBandwidth1:
        r.setWord(0, m_model.outBandwidth);
        return kIOReturnSuccess;
    case kReqBandwidth2:
        r.setWord(0, m_model.inBandwidth);
        return kIOReturnSuccess;
    case kReqInitialise:
        return r.word(0) == kInitialiseArgument ? kIOReturnSuccess : kIOReturnBadArgument;
    case kReqVersionHAL:
        r.setWord(0, m_model.halVersion);
        return kIOReturnSuccess;
    case kReqVersionUSB:
        r.setWord(0, m_model.usbVersion);
        return kIOReturnSuccess;
    case kReqReset:
        client.resetPending = true;
        return kIOReturnSuccess;
    case kReqResetComplete:
        if (!client.resetPending)
            return kIOReturnNotReady;
        client.resetPending = false;
        return kIOReturnSuccess;
    case kReqCodec:
        return codec(c, r);
    default:
        return kIOReturnUnsupported;
    }
}

// ---------------------------------------------------------------------------------------------
// Configuration

kern_return_t InterfaceBehaviour::configureSettings(const VkChannelSettings& settings)
{
    switch (m_configuration) {
    case Configuration::Now:
        completeConfiguration(settings);
        break;
    case Configuration::Never:
        break;
    case Configuration::Late:
        cancelConfigurationTimer();
        m_pendingSettings = settings;
        if (m_daemon != nullptr)
            m_configurationTimer = m_daemon->addTimeout(m_configurationDelayMs, [this] {
                m_configurationTimer = 0;
                completeConfiguration(m_pendingSettings);
                return false;
            });
        break;
    }
    return kIOReturnSuccess;
}

void InterfaceBehaviour::completeConfiguration(const VkChannelSettings& s)
{
    m_settings = s;
    m_configured = true;
    block().channels = s;
    block().bConfigured = 1;
    // The kernel's own idea of the link speed: the block's copy is the clients' to scribble on.
    m_engine->start({s.iFrequency, s.iInChannels, s.iOutChannels, m_model.highSpeed, m_model.converterDelayAt(s.iFrequency)});
    post(kEventFormatChanged, {s.iFrequency, s.iInChannels, s.iInBits, s.iOutChannels, s.iOutBits, s.iConfiguration, 0});
}

void InterfaceBehaviour::cancelConfigurationTimer()
{
    if (m_configurationTimer != 0 && m_daemon != nullptr)
        m_daemon->removeTimeout(m_configurationTimer);
    m_configurationTimer = 0;
}

const ConfigurationModel& InterfaceBehaviour::configurationInForce() const
{
    const size_t index = m_configured && m_settings.iConfiguration < m_model.configurations.size()
        ? m_settings.iConfiguration
        : 0;
    return m_model.configurations[index];
}

// ---------------------------------------------------------------------------------------------
// Client records

void InterfaceBehaviour::writeStreamingCount()
{
    block().clientBlock.iStreamingCount =
        uint32_t(std::count_if(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.connection != 0; }));
}

kern_return_t InterfaceBehaviour::attach(Connection& c, DriverRequest& r)
{
    const uint32_t frames = r.iParam;
    const uint32_t pid = r.word(0);
    if (frames < kMinAttachFrames || frames > kMaxAttachFrames)
        return kIOReturnBadArgument;
    // The record names the process that opened the connection, never one the client claims.
    if (c.pid() <= 0 || pid != uint32_t(c.pid()))
        return kIOReturnBadArgument;
    if (!m_configured)
        return kIOReturnNotReady;
    ClientState& client = stateOf(c);
    int slot = client.slot;
    const bool again = slot >= 0;
    if (!again) {
        auto free = std::find_if(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.connection == 0; });
        if (free == m_slots.end())
            return kIOReturnNoResources;
        slot = int(free - m_slots.begin());
        ClientData& record = *block().client(slot);
        std::memset(&record, 0, sizeof record);
        record.clearQueueStatus();
    }
    // An attach on an attached connection keeps its record and takes the new frame size.
    m_slots[slot] = {c.id(), c.pid(), c.pair(), frames};
    client.slot = slot;
    ClientData& record = *block().client(slot);
    record.iPid = c.pid();
    record.iFrameSize = frames;
    record.iOwner[0] = c.pair()[0];
    record.iOwner[1] = c.pair()[1];
    record.setInUse(1);
    // Rings too small for the ring block (the ring-size fault) are not served; the attach stands.
    m_engine->attach(c.shared_from_this(), &record);
    writeStreamingCount();
    r.setWord(0, uint32_t(slot));
    if (!again)
        post(kEventClientAttached, {uint32_t(slot), c.pair()[0], c.pair()[1], uint32_t(c.pid()), 0, 0, 0});
    return kIOReturnSuccess;
}

void InterfaceBehaviour::detach(Connection& c)
{
    auto* client = dynamic_cast<ClientState*>(c.state());
    if (client == nullptr || client->slot < 0)
        return;
    const int slot = client->slot;
    client->slot = -1;
    // The clock lets go of the rings and the record before the record is cleared.
    m_engine->detach(c);
    const Slot held = std::exchange(m_slots[slot], Slot{});
    if (m_block != nullptr) {
        std::memset(block().client(slot), 0, sizeof(ClientData));
        writeStreamingCount();
    }
    post(kEventClientDetached, {uint32_t(slot), held.pair[0], held.pair[1], uint32_t(held.pid), 0, 0, 0});
}

void InterfaceBehaviour::onConnectionClosed(Connection& c)
{
    // As a kernel does for a task that went away: its record and its input ownership go. The
    // ownership first, so a listener woken by the detach event reads the block as it stays.
    if (m_inputOwner != 0 && m_inputOwner == c.id()) {
        m_inputsExclusive = 0;
        setInputOwner(0, {});
    }
    detach(c);
}

// ---------------------------------------------------------------------------------------------
// Device information

kern_return_t InterfaceBehaviour::deviceInfo(DriverRequest& r) const
{
    // A chunk at or past the end answers no bytes: the user side stops at a short chunk.
    const uint64_t offset = uint64_t(r.word(0)) * kInfoChunk;
    size_t count = 0;
    std::memset(r.data, 0, sizeof r.data);
    if (offset < m_deviceInfo.size()) {
        count = std::min<size_t>(kInfoChunk, m_deviceInfo.size() - size_t(offset));
        std::memcpy(r.data, m_deviceInfo.data() + offset, count);
    }
    r.iCode = uint32_t(count);
    return kIOReturnSuccess;
}

// ---------------------------------------------------------------------------------------------
// Controls

kern_return_t InterfaceBehaviour::applyControls(ControlKind kind)
{
    // One copy of what the clients edited; they may go on writing while it is looked at.
    ControlsRegion live;
    std::memcpy(&live, &block().controls, sizeof live);
    ControlsRegion next = m_controls;
    bool bad = false;
    uint32_t changed = 0;
    for (bool input : {false, true}) {
        const ControlsBlock& held = m_controls.block(input);
        const ControlsBlock& edited = live.block(input);
        ControlsBlock& result = next.block(input);
        const uint32_t bit = input ? kChangedInput : kChangedOutput;
        const size_t sources = held.entryCount();
        if (kind == ControlKind::Source) {
            const unsigned mask = edited.iSourceMask;
            if (sources == 0) {
                // No sources of the interface's own: only the one the opener named exists.
                bad |= mask > 1;
            } else if (!std::has_single_bit(mask) || size_t(std::countr_zero(mask)) >= sources) {
                bad = true;
            } else if (mask != held.iSourceMask) {
                result.iSourceMask = uint8_t(mask);
                changed |= bit;
            }
            continue;
        }
        for (size_t k = 0; k < sources; ++k) {
            const ControlsEntry& h = held.entries[k];
            const ControlsEntry& e = edited.entries[k];
            ControlsEntry& out = result.entries[k];
            if (kind == ControlKind::Mute) {
                if (!h.bHasMute)
                    continue;
                if (e.bMute > 1)
                    bad = true;
                else if (e.bMute != h.bMute) {
                    out.bMute = e.bMute;
                    changed |= bit;
                }
                continue;
            }
            if (!h.bHasVolume)
                continue;
            for (size_t slot = 0; slot < volumeSlots(h); ++slot) {
                const ControlsVolume& hv = h.volume[slot];
                const int16_t v = e.volume[slot].iCurrent;
                if (v < hv.iMin || v > hv.iMax)
                    bad = true;
                else if (v != hv.iCurrent) {
                    out.volume[slot].iCurrent = v;
                    changed |= bit;
                }
            }
        }
    }
    if (kind == ControlKind::Source && m_model.syncSelector != 0) {
        const uint8_t sync = live.iSyncSelector;
        if (sync != 1 && sync != 2)
            bad = true;
        else if (sync != m_controls.iSyncSelector) {
            next.iSyncSelector = sync;
            changed |= kChangedSync;
        }
    }
    if (bad) {
        // Nothing of it is applied; the region shows again what the interface runs with.
        writeControls(kind, true);
        return kIOReturnBadArgument;
    }
    m_controls = next;
    writeControls(kind, false);
    // Only a change is announced: event 10 makes every streaming client start over.
    if (changed == 0)
        return kIOReturnSuccess;
    switch (kind) {
    case ControlKind::Mute:
        post(kEventMuteChanged, {changed, 0, 0, 0, 0, 0, 0});
        break;
    case ControlKind::Volume:
        post(kEventVolumeChanged, {changed, 0, 0, 0, 0, 0, 0});
        break;
    case ControlKind::Source:
        post(kEventDataSourceChanged, {changed, m_controls.output.iSourceMask, m_controls.input.iSourceMask,
                                       m_controls.iSyncSelector, 0, 0, 0});
        break;
    }
    return kIOReturnSuccess;
}

void InterfaceBehaviour::writeControls(ControlKind kind, bool restore)
{
    ControlsRegion& live = block().controls;
    for (bool input : {false, true}) {
        const ControlsBlock& held = m_controls.block(input);
        ControlsBlock& shown = live.block(input);
        const size_t sources = held.entryCount();
        if (kind == ControlKind::Source) {
            if (sources != 0 || restore)
                shown.iSourceMask = held.iSourceMask;
            continue;
        }
        for (size_t k = 0; k < sources; ++k) {
            const ControlsEntry& h = held.entries[k];
            ControlsEntry& e = shown.entries[k];
            if (kind == ControlKind::Mute && h.bHasMute)
                e.bMute = h.bMute;
            if (kind == ControlKind::Volume && h.bHasVolume)
                for (size_t slot = 0; slot < volumeSlots(h); ++slot)
                    e.volume[slot] = h.volume[slot];
        }
    }
    if (kind == ControlKind::Source && m_model.syncSelector != 0)
        live.iSyncSelector = m_controls.iSyncSelector;
}

kern_return_t InterfaceBehaviour::setMonitor(uint32_t value)
{
    if (!m_model.canMonitor)
        return kIOReturnUnsupported;
    // Routing by input pairs only where the interface has it; the others switch on or off.
    const bool pairs = value == 12 || value == 34;
    if ((value != 0 && value != 1 && !pairs) || (pairs && !m_model.monitorPairs))
        return kIOReturnBadArgument;
    if (value != m_monitor) {
        m_monitor = value;
        post(kEventMonitorChanged, {value, 0, 0, 0, 0, 0, 0});
    }
    return kIOReturnSuccess;
}

// ---------------------------------------------------------------------------------------------
// USB control endpoint

kern_return_t InterfaceBehaviour::usbControl(DriverRequest& r)
{
    auto& u = r.usb;
    const int32_t length = u.iUsbLength;
    if (length < 0 || uint32_t(length) > kUsbControlMaxLength)
        return kIOReturnBadArgument;
    if ((u.iUsbDirection != kUsbOut && u.iUsbDirection != kUsbIn) || u.iUsbLevel > kUsbVendor
        || u.iUsbRecipient > kUsbOther)
        return kIOReturnBadArgument;
    const bool in = u.iUsbDirection == kUsbIn;
    std::vector<uint8_t> answer;

    if (u.iUsbLevel == kUsbVendor) {
        // A scratch memory: write at wValue, read back from wValue.
        const size_t offset = u.iUsbValue;
        if (u.iUsbRecipient != kUsbDevice || u.iUsbIndex != 0)
            return kIOReturnUnsupported;
        if (offset + size_t(length) > m_scratch.size())
            return kIOReturnBadArgument;
        if (u.iUsbRequest == kUsbVendorWrite && !in) {
            std::memcpy(m_scratch.data() + offset, u.usbData, size_t(length));
            return kIOReturnSuccess;
        }
        if (u.iUsbRequest != kUsbVendorRead || !in)
            return kIOReturnUnsupported;
        answer.assign(m_scratch.begin() + ptrdiff_t(offset), m_scratch.begin() + ptrdiff_t(offset) + length);
    } else if (u.iUsbLevel == kUsbStandard && in) {
        const uint8_t type = uint8_t(u.iUsbValue >> 8);
        const uint8_t index = uint8_t(u.iUsbValue);
        switch (u.iUsbRequest) {
        case kGetDescriptor:
            if (u.iUsbRecipient != kUsbDevice)
                return kIOReturnUnsupported;
            if (type == kDescriptorDevice && index == 0 && u.iUsbIndex == 0) {
                const auto d = usbDeviceDescriptor(m_model);
                answer.assign(d.begin(), d.end());
            } else if (type == kDescriptorString && index == 0) {
                answer = {4, kDescriptorString, uint8_t(kLanguageEnglishUS), uint8_t(kLanguageEnglishUS >> 8)};
            } else if (type == kDescriptorString && index <= 3 && u.iUsbIndex == kLanguageEnglishUS) {
                const std::string& text = index == 1 ? m_model.manufacturer
                    : index == 2                     ? m_model.deviceName
                                                     : m_model.modelUID;
                answer = stringDescriptor(text);
            } else {
                return kIOReturnUnsupported;
            }
            break;
        case kGetStatus: {
            if (u.iUsbValue != 0)
                return kIOReturnBadArgument;
            const ConfigurationModel& config = configurationInForce();
            bool found = u.iUsbRecipient == kUsbDevice && u.iUsbIndex == 0;
            for (const InterfaceModel& i : config.interfaces) {
                if (u.iUsbRecipient == kUsbInterface && u.iUsbIndex == i.number)
                    found = true;
                for (const AlternateModel& a : i.alternates)
                    for (const EndpointModel& e : a.endpoints)
                        if (u.iUsbRecipient == kUsbEndpoint && u.iUsbIndex == e.address)
                            found = true;
            }
            if (!found)
                return kIOReturnUnsupported;
            answer = {0, 0}; // bus powered, no remote wake-up, no endpoint halted
            break;
        }
        case kGetConfiguration:
            if (u.iUsbRecipient != kUsbDevice || u.iUsbValue != 0 || u.iUsbIndex != 0)
                return kIOReturnBadArgument;
            answer = {uint8_t(m_configured ? configurationInForce().value : 0)};
            break;
        default:
            return kIOReturnUnsupported;
        }
    } else {
        // Class requests, and standard requests that would change the device behind the
        // kernel's back (SET_CONFIGURATION, SET_INTERFACE ...).
        return kIOReturnUnsupported;
    }
    const size_t n = std::min(answer.size(), size_t(length));
    std::memset(u.usbData, 0, sizeof u.usbData);
    std::memcpy(u.usbData, answer.data(), n);
    u.iUsbLength = int32_t(n);
    return kIOReturnSuccess;
}

// ---------------------------------------------------------------------------------------------
// Routing and codec

void InterfaceBehaviour::setInputOwner(uint32_t connectionId, std::array<uint32_t, 2> pair)
{
    m_inputOwner = connectionId;
    // The token is the owner's pair as the user side reads its record's +164: low word first.
    block().setInputOwnerToken(connectionId != 0 ? tokenOf(pair) : 0);
}

kern_return_t InterfaceBehaviour::codec(Connection& c, DriverRequest& r)
{
    switch (r.word(0)) {
    case kCodecGetInputsExclusive:
        r.setWord(1, m_inputsExclusive);
        return kIOReturnSuccess;
    case kCodecGetOutputsExclusive:
        r.setWord(1, m_outputsExclusive);
        return kIOReturnSuccess;
    case kCodecSetInputsExclusive: {
        const uint32_t value = r.word(1);
        if (value == kInvalidExclusive)
            return kIOReturnBadArgument;
        m_inputsExclusive = value;
        // The last client that asked for exclusive inputs owns them; 0 frees them for all.
        setInputOwner(value != 0 ? c.id() : 0, c.pair());
        return kIOReturnSuccess;
    }
    case kCodecSetOutputsExclusive: {
        const uint32_t value = r.word(1);
        if (value == kInvalidExclusive)
            return kIOReturnBadArgument;
        m_outputsExclusive = value;
        return kIOReturnSuccess;
    }
    case kCodecGetRegister:
    case kCodecSetRegister: {
        if (!m_model.hasCodec)
            return kIOReturnUnsupported;
        const uint16_t group = r.half(4);
        const uint16_t index = r.half(6);
        if (group >= kCodecGroups || index >= kCodecRegisters)
            return kIOReturnBadArgument;
        const uint32_t key = uint32_t(group) << 16 | index;
        if (r.word(0) == kCodecSetRegister) {
            m_codec[key] = r.half(8);
        } else {
            auto it = m_codec.find(key);
            r.setHalf(8, it != m_codec.end() ? it->second : 0);
        }
        return kIOReturnSuccess;
    }
    default:
        return kIOReturnUnsupported;
    }
}

// ---------------------------------------------------------------------------------------------
// Faults and lists

kern_return_t InterfaceBehaviour::setStatusVersion(uint32_t version)
{
    block().iVersion = version;
    // A block too small for the layout still shows its first word.
    if (m_private && m_service != nullptr && m_service->statusBlock().size() >= sizeof version)
        std::memcpy(m_service->statusBlock().data(), &version, sizeof version);
    return kIOReturnSuccess;
}

kern_return_t InterfaceBehaviour::configure(Service&, std::string_view key, std::string_view value)
{
    if (m_block == nullptr)
        return kIOReturnNotReady;
    uint64_t n = 0;
    if (key == "version") {
        if (!parseNumber(value, UINT32_MAX, n))
            return kIOReturnBadArgument;
        return setStatusVersion(uint32_t(n));
    }
    if (key == "ring-size") {
        if (value == "default")
            n = kAudioRingSize;
        else if (!parseNumber(value, kMaxFaultRingSize, n))
            return kIOReturnBadArgument;
        m_ringSize = size_t(n);
        return kIOReturnSuccess;
    }
    if (key == "fail-request") {
        if (value == "none") {
            m_failRules.clear();
            return kIOReturnSuccess;
        }
        FailRule rule;
        std::string_view code = value.substr(0, value.find(':'));
        if (code.size() < value.size()) {
            uint64_t count = 0;
            if (!parseNumber(value.substr(code.size() + 1), 1000000, count) || count == 0)
                return kIOReturnBadArgument;
            rule.remaining = int64_t(count);
        }
        if (code == "any")
            rule.any = true;
        else if (parseNumber(code, UINT32_MAX, n))
            rule.code = uint32_t(n);
        else
            return kIOReturnBadArgument;
        if (m_failRules.size() >= 64)
            return kIOReturnNoResources;
        m_failRules.push_back(rule);
        return kIOReturnSuccess;
    }
    if (key == "configuration") {
        if (value == "now")
            m_configuration = Configuration::Now;
        else if (value == "never")
            m_configuration = Configuration::Never;
        else if (value.starts_with("late:") && parseNumber(value.substr(5), kMaxConfigurationDelayMs, n)
                 && n > 0) {
            m_configuration = Configuration::Late;
            m_configurationDelayMs = uint32_t(n);
        } else
            return kIOReturnBadArgument;
        return kIOReturnSuccess;
    }
    return configureEngine(key, value);
}

kern_return_t InterfaceBehaviour::configureEngine(std::string_view key, std::string_view value)
{
    const uint32_t rate = m_configured ? m_settings.iFrequency : 0;
    std::string error;
    uint64_t n = 0;
    if (key == "source") {
        std::unique_ptr<audio::AudioSource> source = audio::makeSource(value, rate, error);
        if (!source)
            return kIOReturnBadArgument;
        m_engine->setSource(std::move(source));
        return kIOReturnSuccess;
    }
    if (key == "sink") {
        if (value == "none") {
            m_engine->setSink(nullptr);
            return kIOReturnSuccess;
        }
        if (!value.starts_with("wav:"))
            return kIOReturnBadArgument;
        // The file takes the format in force; there is none before a configuration.
        if (!m_configured)
            return kIOReturnNotReady;
        auto sink = audio::WavSink::open(std::string(value.substr(4)), rate, m_settings.iOutChannels, error);
        if (!sink)
            return kIOReturnBadArgument;
        m_engine->setSink(std::move(sink));
        return kIOReturnSuccess;
    }
    if (key == "jitter") {
        if (!parseNumber(value, kMaxJitterNs, n))
            return kIOReturnBadArgument;
        m_engine->setJitter(n);
        return kIOReturnSuccess;
    }
    if (key == "drift") {
        const bool negative = value.starts_with('-');
        if (negative || value.starts_with('+'))
            value.remove_prefix(1);
        if (!parseNumber(value, uint64_t(kMaxDriftPpm), n))
            return kIOReturnBadArgument;
        m_engine->setDrift(negative ? -int64_t(n) : int64_t(n));
        return kIOReturnSuccess;
    }
    if (key == "frame-start") {
        if (!parseNumber(value, UINT32_MAX, n))
            return kIOReturnBadArgument;
        m_engine->setFrameStart(uint32_t(n));
        return kIOReturnSuccess;
    }
    if (key == "event-storm") {
        if (!parseNumber(value, kMaxEventStorm, n) || n == 0)
            return kIOReturnBadArgument;
        // Copies of a client-attached notice naming no client: listeners re-read the client
        // list and find nothing new.
        for (uint64_t i = 0; i < n; ++i)
            post(kEventClientAttached, {});
        return kIOReturnSuccess;
    }
    return kIOReturnUnsupported;
}

size_t InterfaceBehaviour::ringSize(Connection&, uint32_t)
{
    return m_ringSize;
}

std::string InterfaceBehaviour::describe(const Service&) const
{
    const auto streaming = std::count_if(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.connection != 0; });
    char text[160];
    int n = std::snprintf(text, sizeof text, "%04X:%04X %s configured=%d streaming=%d", m_model.vendorId,
                          m_model.productId, m_model.highSpeed ? "high-speed" : "full-speed", m_configured ? 1 : 0,
                          int(streaming));
    if (m_configured && n > 0 && size_t(n) < sizeof text)
        std::snprintf(text + n, sizeof text - size_t(n), " %uHz in=%ux%u out=%ux%u", m_settings.iFrequency,
                      m_settings.iInChannels, m_settings.iInBits, m_settings.iOutChannels, m_settings.iOutBits);
    return std::string(text) + " " + m_engine->describe();
}

std::string InterfaceBehaviour::describe(const Connection& c) const
{
    const ClientState* client = stateOf(c);
    if (client == nullptr || client->slot < 0)
        return "slot=none";
    return "slot=" + std::to_string(client->slot) + " frames=" + std::to_string(m_slots[client->slot].frames);
}

// ---------------------------------------------------------------------------------------------
// The factory

std::optional<DeviceModel> resolveModel(const std::string& name, std::string& error)
{
    error.clear();
    if (name.starts_with(kFilePrefix)) {
        const std::string path = name.substr(kFilePrefix.size());
        if (path.empty()) {
            error = "\"file:\" names no file";
            return std::nullopt;
        }
        return loadModelFile(path, error);
    }
    const DeviceModel* model = findModel(name == "default" ? "tarsel" : name);
    if (model == nullptr) {
        error = "no model named \"" + name + "\"";
        return std::nullopt;
    }
    return *model;
}

std::unique_ptr<ServiceBehaviour> InterfaceFactory::create(ServiceSetup& setup)
{
    // The overrides are for the next plug only, whether it succeeds or not.
    const PlugOverrides overrides = std::exchange(m_next, PlugOverrides{});
    std::optional<DeviceModel> model = resolveModel(setup.model, m_lastError);
    if (!model)
        return nullptr;
    if (model->tiger && !setup.className.ends_with(kTigerSuffix)) {
        const bool namedByClass = setup.name == setup.className;
        setup.className += kTigerSuffix;
        if (namedByClass)
            setup.name = setup.className;
    }
    if (overrides.statusBlockSize)
        setup.statusBlockSize = *overrides.statusBlockSize;
    return std::make_unique<InterfaceBehaviour>(std::move(*model), overrides);
}

kern_return_t InterfaceFactory::configure(Daemon&, std::string_view key, std::string_view value)
{
    const bool reset = value == "default";
    uint64_t n = 0;
    if (key == "status-size") {
        if (reset)
            m_next.statusBlockSize.reset();
        else if (parseNumber(value, kMaxFaultStatusSize, n))
            m_next.statusBlockSize = size_t(n);
        else
            return kIOReturnBadArgument;
        return kIOReturnSuccess;
    }
    if (key == "ring-size") {
        if (reset)
            m_next.ringSize.reset();
        else if (parseNumber(value, kMaxFaultRingSize, n))
            m_next.ringSize = size_t(n);
        else
            return kIOReturnBadArgument;
        return kIOReturnSuccess;
    }
    if (key == "version") {
        if (reset)
            m_next.version.reset();
        else if (parseNumber(value, UINT32_MAX, n))
            m_next.version = uint32_t(n);
        else
            return kIOReturnBadArgument;
        return kIOReturnSuccess;
    }
    return kIOReturnUnsupported;
}

std::unique_ptr<BehaviourFactory> makeBehaviourFactory()
{
    return std::make_unique<InterfaceFactory>();
}

} // namespace kext
