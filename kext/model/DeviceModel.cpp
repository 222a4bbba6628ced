#include "kext/model/DeviceModel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <tuple>

namespace kext {

namespace {

constexpr uint32_t kRateLowest = 8000;
constexpr uint32_t kRateHighest = 768000;

bool printableAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// Group names as a model file writes them, so an error points at the line to fix.
std::string alternateGroup(const ConfigurationModel& c, const InterfaceModel& i, const AlternateModel& a)
{
    return "[alternate " + std::to_string(c.value) + "." + std::to_string(i.number) + "."
        + std::to_string(a.setting) + "]";
}

bool fail(std::string& error, std::string text)
{
    error = std::move(text);
    return false;
}

bool checkText(const std::string& text, const char* key, bool required, std::string& error)
{
    if (required && text.empty())
        return fail(error, std::string("[device] ") + key + ": missing");
    if (text.size() > kModelTextMax)
        return fail(error, std::string("[device] ") + key + ": longer than " + std::to_string(kModelTextMax)
                               + " characters");
    if (!printableAscii(text))
        return fail(error, std::string("[device] ") + key + ": only printable ASCII characters are allowed");
    return true;
}

bool checkEndpoint(const EndpointModel& e, bool highSpeed, const std::string& where, std::string& error)
{
    const std::string at = where + " endpoints: endpoint " + hex(e.address) + ": ";
    if ((e.address & 0x0F) == 0 || (e.address & 0x70) != 0)
        return fail(error, at + "not an endpoint address (1 to 15, bit 7 for IN)");
    switch (e.kind) {
    case EndpointKind::Isochronous:
        if (e.maxPacketSize == 0 || e.maxPacketSize > (highSpeed ? 1024 : 1023))
            return fail(error, at + "an isochronous packet holds 1 to " + (highSpeed ? "1024" : "1023") + " bytes");
        break;
    case EndpointKind::Feedback:
        if (!e.isIn())
            return fail(error, at + "a feedback endpoint is an IN endpoint");
        if (e.maxPacketSize == 0 || e.maxPacketSize > 4)
            return fail(error, at + "a feedback packet holds 1 to 4 bytes");
        break;
    case EndpointKind::Bulk:
        if (highSpeed ? e.maxPacketSize != 512
                      : (e.maxPacketSize != 8 && e.maxPacketSize != 16 && e.maxPacketSize != 32
                         && e.maxPacketSize != 64))
            return fail(error, at + (highSpeed ? "a high-speed bulk packet holds 512 bytes"
                                               : "a full-speed bulk packet holds 8, 16, 32 or 64 bytes"));
        break;
    default:
        return fail(error, at + "unknown kind");
    }
    return true;
}

bool checkAlternate(const AlternateModel& a, bool highSpeed, const std::string& where, std::string& error)
{
    if (!a.carriesFormat()) {
        if (a.bits != 0 || a.continuous || !a.rates.empty() || a.rateMin != 0 || a.rateMax != 0 || !a.endpoints.empty())
            return fail(error, where + " channels: a setting without channels carries no format and no endpoints");
        return true;
    }
    if (a.bits != 16 && a.bits != 20 && a.bits != 24 && a.bits != 32)
        return fail(error, where + " bits: " + std::to_string(a.bits) + " is not 16, 20, 24 or 32");
    if (a.continuous) {
        if (!a.rates.empty())
            return fail(error, where + " range: a setting has either a range or discrete rates");
        if (a.rateMin < kRateLowest || a.rateMax > kRateHighest || a.rateMin > a.rateMax)
            return fail(error, where + " range: lowest and highest rate must lie within 8000 to 768000 Hz, lowest first");
    } else {
        if (a.rates.empty() || a.rates.size() > kAPIMaxDiscreteRates)
            return fail(error, where + " rates: 1 to " + std::to_string(kAPIMaxDiscreteRates) + " rates");
        std::set<uint32_t> seen;
        for (uint32_t rate : a.rates) {
            if (rate < kRateLowest || rate > kRateHighest)
                return fail(error, where + " rates: " + std::to_string(rate) + " is outside 8000 to 768000 Hz");
            if (!seen.insert(rate).second)
                return fail(error, where + " rates: " + std::to_string(rate) + " is listed twice");
        }
        if (a.rateMin != 0 || a.rateMax != 0)
            return fail(error, where + " range: a setting has either a range or discrete rates");
    }
    if (a.endpoints.empty() || a.endpoints.size() > kAPIMaxEndpoints)
        return fail(error, where + " endpoints: 1 to " + std::to_string(kAPIMaxEndpoints) + " endpoints");
    for (const EndpointModel& e : a.endpoints)
        if (!checkEndpoint(e, highSpeed, where, error))
            return false;
    if (a.dataEndpoint() == nullptr)
        return fail(error, where + " endpoints: no endpoint carries the audio");
    return true;
}

bool checkDescriptors(const DeviceModel& m, std::string& error)
{
    if (m.configurations.empty() || m.configurations.size() > kAPIMaxConfigurations)
        return fail(error, "[configuration] 1 to " + std::to_string(kAPIMaxConfigurations) + " configurations");
    std::set<uint8_t> values;
    for (const ConfigurationModel& c : m.configurations) {
        const std::string cw = "[configuration " + std::to_string(c.value) + "]";
        if (c.value == 0)
            return fail(error, cw + " configuration values start at 1");
        if (!values.insert(c.value).second)
            return fail(error, cw + " listed twice");
        if (c.interfaces.empty() || c.interfaces.size() > kAPIMaxInterfaces)
            return fail(error, cw + " 1 to " + std::to_string(kAPIMaxInterfaces) + " interfaces");
        std::set<uint8_t> numbers;
        // An endpoint belongs to one interface of a configuration; its alternates may reuse it.
        std::set<uint8_t> endpointsOfOthers;
        for (const InterfaceModel& i : c.interfaces) {
            const std::string iw = "[interface " + std::to_string(c.value) + "." + std::to_string(i.number) + "]";
            if (!numbers.insert(i.number).second)
                return fail(error, iw + " listed twice");
            if (i.alternates.empty() || i.alternates.size() > kAPIMaxAltSettings)
                return fail(error, iw + " 1 to " + std::to_string(kAPIMaxAltSettings) + " alternate settings");
            std::set<uint8_t> settings;
            std::set<uint8_t> endpointsHere;
            for (const AlternateModel& a : i.alternates) {
                const std::string aw = alternateGroup(c, i, a);
                if (!settings.insert(a.setting).second)
                    return fail(error, aw + " listed twice");
                if (!checkAlternate(a, m.highSpeed, aw, error))
                    return false;
                for (const EndpointModel& e : a.endpoints) {
                    if (endpointsOfOthers.count(e.address))
                        return fail(error, aw + " endpoints: endpoint " + hex(e.address)
                                               + " belongs to another interface");
                    endpointsHere.insert(e.address);
                }
            }
            endpointsOfOthers.insert(endpointsHere.begin(), endpointsHere.end());
        }
    }
    return true;
}

bool checkControls(const DirectionControls& d, const char* direction, std::string& error)
{
    const std::string bw = std::string("[controls.") + direction + "]";
    if (d.sources.size() > kControlsEntries)
        return fail(error, bw + " at most " + std::to_string(kControlsEntries) + " sources");
    if (d.sources.empty()) {
        if (d.shared || d.sourceMask != 0)
            return fail(error, bw + " a direction without sources has no selection and nothing to share");
        return true;
    }
    if (d.sourceMask == 0 || (d.sources.size() < 8 && d.sourceMask >= (1u << d.sources.size())))
        return fail(error, bw + " source-mask: " + std::to_string(d.sourceMask) + " selects no source of the "
                               + std::to_string(d.sources.size()));
    for (size_t k = 0; k < d.sources.size(); ++k) {
        const ControlModel& s = d.sources[k];
        const std::string cw = std::string("[control.") + direction + "." + std::to_string(k + 1) + "]";
        if (s.name.empty() || s.name.size() > kControlNameMax || !printableAscii(s.name))
            return fail(error, cw + " name: 1 to " + std::to_string(kControlNameMax) + " printable ASCII characters");
        if (s.mute && !s.hasMute)
            return fail(error, cw + " mute: the source has no mute switch");
        if (s.volumeChannels != kMasterVolumeOnly && s.volumeChannels > kControlsVolumeSlots)
            return fail(error, cw + " volume-channels: 1 to " + std::to_string(kControlsVolumeSlots)
                                   + " or master");
        if (s.hasVolume) {
            if (s.volumeChannels == 0)
                return fail(error, cw + " volume-channels: a source with volume has at least one channel");
            if (s.volumeMin > s.volumeCurrent || s.volumeCurrent > s.volumeMax || s.volumeMin == s.volumeMax)
                return fail(error, cw + " volume: needs volume-min <= volume <= volume-max, with min below max");
        }
    }
    return true;
}

uint32_t packetsPerSecond(bool highSpeed) { return highSpeed ? 8000 : 1000; }

// Bytes one (micro)frame of the stream takes at most.
uint64_t packetBytes(uint32_t rate, uint32_t bits, uint32_t channels, bool highSpeed)
{
    const uint64_t pps = packetsPerSecond(highSpeed);
    return (rate + pps - 1) / pps * channels * bytesPerSample(bits);
}

// Whether one direction of the settings has an alternate setting to run on; `isochronous` tells
// whether the best one needs reserved bandwidth.
bool findCarrier(const ConfigurationModel& config, bool highSpeed, uint32_t rate, uint32_t bits, uint32_t channels,
                 bool input, bool& isochronous)
{
    bool found = false;
    isochronous = true;
    for (const InterfaceModel& i : config.interfaces) {
        for (const AlternateModel& a : i.alternates) {
            if (!a.carriesFormat() || a.bits != bits || a.channels != channels || !a.offersRate(rate))
                continue;
            const EndpointModel* e = a.dataEndpoint();
            if (e == nullptr || e->isIn() != input)
                continue;
            if (e->kind == EndpointKind::Bulk) {
                isochronous = false;
                return true;
            }
            if (e->maxPacketSize >= packetBytes(rate, bits, channels, highSpeed))
                found = true;
        }
    }
    return found;
}

} // namespace

bool AlternateModel::offersRate(uint32_t rate) const
{
    if (continuous)
        return rateMin <= rate && rate <= rateMax;
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

const EndpointModel* AlternateModel::dataEndpoint() const
{
    for (const EndpointModel& e : endpoints)
        if (e.carriesAudio())
            return &e;
    return nullptr;
}

uint32_t DeviceModel::converterDelayAt(uint32_t rate) const
{
    const int64_t frames = converterDelay + int64_t(converterDelayPerMHz) * rate / 1'000'000;
    // Within a second: the loopback history holds no more.
    return uint32_t(std::clamp<int64_t>(frames, 0, rate));
}

uint32_t bytesPerSample(uint32_t bits)
{
    switch (bits) {
    case 16: return 2;
    case 20:
    case 24: return 3;
    case 32: return 4;
    default: return 0;
    }
}

bool validateModel(const DeviceModel& m, std::string& error)
{
    if (m.name.empty() || m.name.size() > kModelNameMax || m.name.front() == '-'
        || !std::all_of(m.name.begin(), m.name.end(),
                        [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }))
        return fail(error, "[device] name: 1 to " + std::to_string(kModelNameMax)
                               + " characters of a-z, 0-9 and '-', not starting with '-'");
    if (!checkText(m.description, "description", false, error) || !checkText(m.manufacturer, "manufacturer", true, error)
        || !checkText(m.deviceName, "device-name", true, error)
        || !checkText(m.altDeviceName, "alt-device-name", false, error)
        || !checkText(m.modelUID, "model-uid", true, error))
        return false;
    if (m.outBandwidth > 0xFFFF || m.inBandwidth > 0xFFFF)
        return fail(error, "[device] bandwidth-out, bandwidth-in: at most 65535 bytes per (micro)frame");
    if (m.monitor != 0 && m.monitor != 1 && m.monitor != 12 && m.monitor != 34)
        return fail(error, "[device] monitor: " + std::to_string(m.monitor) + " is not a routing value of 0, 1, 12 or 34");
    if (m.monitor != 0 && !m.canMonitor)
        return fail(error, "[device] monitor: the interface cannot monitor");
    if (m.monitorPairs && !m.canMonitor)
        return fail(error, "[device] monitor-pairs: the interface cannot monitor");
    if ((m.monitor == 12 || m.monitor == 34) && !m.monitorPairs)
        return fail(error, "[device] monitor: " + std::to_string(m.monitor) + " routes input pairs, which needs monitor-pairs");
    if (m.converterDelay < -int64_t(kMaxConverterDelay) || m.converterDelay > int64_t(kMaxConverterDelay)
        || m.converterDelayPerMHz < -int64_t(kMaxConverterDelay) || m.converterDelayPerMHz > int64_t(kMaxConverterDelay))
        return fail(error, "[device] converter-delay, converter-delay-per-mhz: -" + std::to_string(kMaxConverterDelay)
                               + " to " + std::to_string(kMaxConverterDelay));
    if (!checkDescriptors(m, error) || !checkControls(m.outputControls, "output", error)
        || !checkControls(m.inputControls, "input", error))
        return false;
    if (!canCarry(m, defaultSettings(m)))
        return fail(error, "[configuration " + std::to_string(m.configurations.front().value)
                               + "] no format of it fits its endpoints and the bandwidth of requests 15 and 16");
    return true;
}

void buildDeviceInfo(const DeviceModel& m, APIDeviceInfo& info)
{
    std::memset(&info, 0, sizeof info);
    info.iVendorId = m.vendorId;
    info.iProductId = m.productId;
    const size_t configs = std::min(m.configurations.size(), kAPIMaxConfigurations);
    info.iConfigCount = static_cast<uint8_t>(configs);
    for (size_t c = 0; c < configs; ++c) {
        const ConfigurationModel& cm = m.configurations[c];
        APIConfigurationInfo& ci = info.configurations[c];
        const size_t interfaces = std::min(cm.interfaces.size(), kAPIMaxInterfaces);
        ci.iInterfaceCount = static_cast<uint8_t>(interfaces);
        for (size_t i = 0; i < interfaces; ++i) {
            const InterfaceModel& im = cm.interfaces[i];
            APIInterfaceInfo& ii = ci.interfaces[i];
            ii.iInterfaceNumber = im.number;
            const size_t alternates = std::min(im.alternates.size(), kAPIMaxAltSettings);
            ii.iAltSettingCount = static_cast<uint8_t>(alternates);
            for (size_t a = 0; a < alternates; ++a) {
                const AlternateModel& am = im.alternates[a];
                APIAltSettingInfo& ai = ii.altSettings[a];
                ai.iAltSetting = am.setting;
                ai.iBitResolution = am.bits;
                ai.iChannels = am.channels;
                if (am.continuous) {
                    ai.iRateType = 0;
                    ai.iRateMin = am.rateMin;
                    ai.iRateMax = am.rateMax;
                } else if (am.carriesFormat()) {
                    ai.iRateType = 1;
                    const size_t rates = std::min(am.rates.size(), kAPIMaxDiscreteRates);
                    ai.iRateCount = static_cast<uint8_t>(rates);
                    std::copy_n(am.rates.begin(), rates, ai.iRates);
                }
                const size_t endpoints = std::min(am.endpoints.size(), kAPIMaxEndpoints);
                ai.iEndpointCount = static_cast<uint8_t>(endpoints);
                for (size_t e = 0; e < endpoints; ++e) {
                    ai.endpoints[e].iMaxPacketSize = am.endpoints[e].maxPacketSize;
                    ai.endpoints[e].iAddress = am.endpoints[e].address;
                }
            }
        }
    }
}

uint32_t deviceInfoLength(const DeviceModel& m)
{
    const size_t configs = std::min(m.configurations.size(), kAPIMaxConfigurations);
    if (configs == 0)
        return static_cast<uint32_t>(offsetof(APIDeviceInfo, configurations));
    const size_t c = configs - 1;
    const ConfigurationModel& cm = m.configurations[c];
    const size_t interfaces = std::min(cm.interfaces.size(), kAPIMaxInterfaces);
    if (interfaces == 0)
        return static_cast<uint32_t>(apiinfo::configAt(c) + offsetof(APIConfigurationInfo, interfaces));
    const size_t i = interfaces - 1;
    const size_t alternates = std::min(cm.interfaces[i].alternates.size(), kAPIMaxAltSettings);
    if (alternates == 0)
        return static_cast<uint32_t>(apiinfo::interfaceAt(c, i) + offsetof(APIInterfaceInfo, altSettings));
    return static_cast<uint32_t>(apiinfo::altSettingAt(c, i, alternates - 1) + sizeof(APIAltSettingInfo));
}

namespace {

void copyText(char (&field)[kStatusTextSize], const std::string& text)
{
    const size_t n = std::min(text.size(), kStatusTextSize - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, kStatusTextSize - n);
}

void fillBlock(ControlsBlock& block, const DirectionControls& d)
{
    const size_t sources = std::min(d.sources.size(), kControlsEntries);
    block.iSourceCount = static_cast<int32_t>(sources);
    block.bSharedControls = d.shared ? 1 : 0;
    block.iSourceMask = d.sourceMask;
    for (size_t k = 0; k < sources; ++k) {
        const ControlModel& s = d.sources[k];
        ControlsEntry& e = block.entries[k];
        e.setName(s.name);
        e.iVolumeChannels = s.volumeChannels;
        e.bHasMute = s.hasMute ? 1 : 0;
        e.bMute = s.mute ? 1 : 0;
        e.bHasVolume = s.hasVolume ? 1 : 0;
        if (!s.hasVolume)
            continue;
        const size_t slots = s.volumeChannels == kMasterVolumeOnly
            ? 1
            : std::min<size_t>(s.volumeChannels, kControlsVolumeSlots);
        for (size_t slot = 0; slot < slots; ++slot)
            e.volume[slot] = {s.volumeMin, s.volumeCurrent, s.volumeMax};
    }
}

} // namespace

void initStatusBlock(const DeviceModel& m, KernelStatusBlock& block)
{
    std::memset(&block, 0, sizeof block);
    block.iVersion = m.interfaceVersion;
    block.bHighSpeed = m.highSpeed ? 1 : 0;
    copyText(block.sManufacturer, m.manufacturer);
    copyText(block.sAltDeviceName, m.altDeviceName);
    copyText(block.sDeviceName, m.deviceName);
    copyText(block.sModelUID, m.modelUID);
    fillBlock(block.controls.output, m.outputControls);
    fillBlock(block.controls.input, m.inputControls);
    block.controls.iSyncSelector = m.syncSelector;
}

bool canCarry(const DeviceModel& m, const VkChannelSettings& s)
{
    if (s.iConfiguration >= m.configurations.size() || s.iFrequency == 0)
        return false;
    if (s.iInChannels == 0 && s.iOutChannels == 0)
        return false;
    const ConfigurationModel& config = m.configurations[s.iConfiguration];
    uint64_t isochronousBytesPerMs = 0;
    const struct {
        uint32_t channels, bits;
        bool input;
    } directions[] = {{s.iInChannels, s.iInBits, true}, {s.iOutChannels, s.iOutBits, false}};
    for (const auto& d : directions) {
        if (d.channels == 0)
            continue;
        bool isochronous = true;
        if (!findCarrier(config, m.highSpeed, s.iFrequency, d.bits, d.channels, d.input, isochronous))
            return false;
        if (isochronous)
            isochronousBytesPerMs += uint64_t(bytesPerSample(d.bits)) * d.channels * s.iFrequency / 1000;
    }
    const uint64_t budget = (uint64_t(m.outBandwidth) + m.inBandwidth) * (m.highSpeed ? 8 : 1);
    return isochronousBytesPerMs <= budget;
}

VkChannelSettings defaultSettings(const DeviceModel& m)
{
    if (m.configurations.empty())
        return {};
    const ConfigurationModel& config = m.configurations.front();

    std::set<uint32_t> offered;
    std::set<std::pair<uint32_t, uint32_t>> formats[2]; // (bits, channels) by direction: 0 out, 1 in
    for (const InterfaceModel& i : config.interfaces) {
        for (const AlternateModel& a : i.alternates) {
            const EndpointModel* e = a.dataEndpoint();
            if (!a.carriesFormat() || e == nullptr)
                continue;
            formats[e->isIn() ? 1 : 0].insert({a.bits, a.channels});
            if (a.continuous) {
                offered.insert({a.rateMin, a.rateMax});
                for (uint32_t rate : {44100u, 48000u})
                    if (a.offersRate(rate))
                        offered.insert(rate);
            } else {
                offered.insert(a.rates.begin(), a.rates.end());
            }
        }
    }
    std::vector<uint32_t> order;
    for (uint32_t rate : {48000u, 44100u})
        if (offered.erase(rate))
            order.push_back(rate);
    order.insert(order.end(), offered.begin(), offered.end());

    for (uint32_t rate : order) {
        std::vector<std::pair<uint32_t, uint32_t>> outs(formats[0].begin(), formats[0].end());
        std::vector<std::pair<uint32_t, uint32_t>> ins(formats[1].begin(), formats[1].end());
        outs.push_back({0, 0});
        ins.push_back({0, 0});
        bool found = false;
        VkChannelSettings best{};
        std::tuple<int, int, uint32_t, uint32_t> bestScore{};
        for (const auto& [outBits, outChannels] : outs) {
            for (const auto& [inBits, inChannels] : ins) {
                if (outChannels == 0 && inChannels == 0)
                    continue;
                // An off direction keeps the other's bit depth, as the device layer does.
                VkChannelSettings s{rate,         inChannels,
                                    inChannels ? inBits : outBits,
                                    outChannels, outChannels ? outBits : inBits,
                                    0};
                if (!canCarry(m, s))
                    continue;
                const std::tuple<int, int, uint32_t, uint32_t> score{
                    (inChannels != 0) + (outChannels != 0),
                    (inChannels != 0 && inBits == 24) + (outChannels != 0 && outBits == 24),
                    inChannels + outChannels, s.iInBits + s.iOutBits};
                if (!found || score > bestScore) {
                    found = true;
                    best = s;
                    bestScore = score;
                }
            }
        }
        if (found)
            return best;
    }
    return {};
}

std::array<uint8_t, 18> usbDeviceDescriptor(const DeviceModel& m)
{
    const uint16_t bcdUSB = m.highSpeed ? 0x0200 : 0x0110;
    const uint16_t bcdDevice = static_cast<uint16_t>(m.usbVersion);
    return {18,   // bLength
            1,    // DEVICE
            uint8_t(bcdUSB), uint8_t(bcdUSB >> 8),
            0,    // class per interface
            0, 0,
            64,   // bMaxPacketSize0
            uint8_t(m.vendorId), uint8_t(m.vendorId >> 8),
            uint8_t(m.productId), uint8_t(m.productId >> 8),
            uint8_t(bcdDevice), uint8_t(bcdDevice >> 8),
            1, 2, 3, // manufacturer, product and serial number strings
            uint8_t(std::min<size_t>(m.configurations.size(), 255))};
}

} // namespace kext
