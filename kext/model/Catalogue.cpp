#include "kext/model/Catalogue.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <tuple>
#include <utility>
#include <map>

namespace kext {

namespace {

// How the interface moves audio on a high-speed link. On full speed every model streams
// isochronously: the bulk modes need the high-speed bus.
enum class Transfer : uint8_t { Isochronous, Bulk, BulkInIsocOut };

enum BitDepth : uint8_t { B16 = 1, B20 = 2, B24 = 4, B32 = 8 };

enum class Controls : uint8_t {
    None,    // empty blocks: the first process to open the interface names one source each way
    Tarsel,  // per-channel output volume, two selectable inputs with gain
    Mixer,   // master output volume; three input sources sharing one set of controls
    Simple,  // master output volume and mute; no input controls
    Digital, // analog and coaxial inputs selected together with the clock sync
};

struct Product {
    const char* name;
    uint16_t vendor, product;
    const char* maker;
    const char* device;
    const char* altName; // null: maker and device name
    bool fixedLayout;    // output on interface 0, input on interface 1, one format each (alternate 1)
    Transfer transfer;
    uint8_t inMax, outMax;
    uint8_t bits;              // BitDepth mask; a fixed layout uses 24 bits
    uint32_t topRate;          // highest rate on high speed
    uint8_t highRateChannels;  // most channels at 88.2 kHz and above, 0: as many as fit
    bool monoAtHighRates;      // offers 24-bit mono for the forced mono of high rates
    bool continuous;           // a continuous rate range from 32 to 48 kHz instead of discrete rates
    bool canMonitor;
    bool hasCodec;
    Controls controls;
    uint16_t firmware;
    const char* why;
};

constexpr Transfer Iso = Transfer::Isochronous;
constexpr Transfer Bulk = Transfer::Bulk;
constexpr Transfer BulkIn = Transfer::BulkInIsocOut;

// clang-format off
const Product kProducts[] = {
    // name, vendor, product, maker, device, alt name, fixed, transfer, in, out, bits, top rate,
    // high-rate channels, mono, continuous, monitor, codec, controls, firmware, why
    {"tarsel", 0x7E01, 0x0003, "Quenta Audio", "Tarsel", nullptr, false, Bulk, 8, 8, B16 | B24, 192000, 0, false, false, true, true, Controls::Tarsel, 0x0112,
     "the default interface: bulk family on high speed, Marlow-compatible, monitors, per-channel volume"},
    {"tarsel-classic", 0x7E01, 0x0002, "Quenta Audio", "Tarsel Classic", nullptr, false, Iso, 2, 2, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0104,
     "Marlow-compatible but in neither bulk table"},
    {"tarsel-two", 0x7E01, 0xDA01, "Quenta Audio", "Tarsel Two", nullptr, false, Bulk, 2, 2, B16 | B24, 192000, 0, false, false, false, true, Controls::Simple, 0x0110,
     "bulk family"},
    {"tarsel-field", 0x7E01, 0xFF01, "Quenta Audio", "Tarsel Field", nullptr, false, Bulk, 4, 4, B16 | B24, 96000, 0, false, false, false, true, Controls::Tarsel, 0x0108,
     "bulk family"},
    {"tarsel-field-d", 0x7E01, 0xFF4D, "Quenta Audio", "Tarsel Field D", nullptr, false, Bulk, 6, 6, B16 | B24 | B32, 96000, 0, false, false, false, true, Controls::Tarsel, 0x0108,
     "bulk family, 32-bit formats"},
    {"tarsel-compact", 0x7E01, 0xCF00, "Quenta Audio", "Tarsel Compact", nullptr, false, Bulk, 2, 4, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0102,
     "bulk family, more outputs than inputs"},
    {"tarsel-stage", 0x7E01, 0x5B01, "Quenta Audio", "Tarsel Stage", nullptr, false, BulkIn, 12, 4, B16 | B24, 96000, 0, false, false, false, false, Controls::Tarsel, 0x0101,
     "bulk-in isochronous-out family with the standard layout"},
    {"tarsel-lite", 0x7E01, 0x0001, "Quenta Audio", "Tarsel Lite", nullptr, false, Iso, 2, 2, B16, 48000, 0, false, true, false, false, Controls::Simple, 0x0100,
     "in no family table: default latencies, bandwidth from requests 15 and 16, a continuous rate range"},

    {"marlow-sketch", 0x7E02, 0x00C2, "Marlow Audio", "Marlow Sketch", nullptr, false, Iso, 2, 2, B16 | B24, 96000, 0, false, false, false, false, Controls::Mixer, 0x0200,
     "Marlow-compatible only"},
    {"marlow-bench-2", 0x7E02, 0x0111, "Marlow Audio", "Marlow Bench 2", nullptr, false, Bulk, 2, 2, B16 | B24, 192000, 0, false, false, true, false, Controls::Mixer, 0x0203,
     "bulk family of the second vendor"},
    {"marlow-bench-4", 0x7E02, 0x0121, "Marlow Audio", "Marlow Bench 4", nullptr, false, Bulk, 4, 4, B16 | B24, 192000, 0, false, false, true, false, Controls::Mixer, 0x0203,
     "bulk family of the second vendor"},
    {"marlow-rack-32", 0x7E02, 0x3216, "Marlow Audio", "Marlow Rack 32", nullptr, false, Bulk, 32, 16, B16 | B24, 96000, 0, false, false, false, false, Controls::Mixer, 0x0210,
     "bulk family, 32 inputs: the Marlow format list up to 32 channels"},
    {"marlow-pocket", 0x7E02, 0x0061, "Marlow Audio", "Marlow Pocket", nullptr, false, Iso, 2, 2, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0101,
     "one bit depth for both directions; in no family table"},

    {"brightwater-link-8", 0x7E03, 0x800E, "Brightwater Sound", "Brightwater Link 8", nullptr, false, Iso, 8, 2, B16 | B24, 96000, 0, false, false, false, false, Controls::None, 0x0130,
     "Marlow-compatible only, empty controls blocks"},
    {"brightwater-link-12", 0x7E03, 0x8021, "Brightwater Sound", "Brightwater Link 12", nullptr, false, Iso, 12, 2, B16 | B24, 96000, 0, false, false, false, false, Controls::None, 0x0130,
     "Marlow-compatible only, empty controls blocks"},
    {"brightwater-desk-10", 0x7E03, 0x800F, "Brightwater Sound", "Brightwater Desk 10", nullptr, false, BulkIn, 10, 4, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0121,
     "bulk-in isochronous-out family"},
    {"brightwater-desk-14", 0x7E03, 0x8020, "Brightwater Sound", "Brightwater Desk 14", nullptr, false, BulkIn, 14, 6, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0121,
     "bulk-in isochronous-out family"},
    {"brightwater-mixer-16", 0x7E03, 0x8017, "Brightwater Sound", "Brightwater Mixer 16", nullptr, true, BulkIn, 16, 2, B24, 96000, 0, false, false, false, false, Controls::None, 0x0142,
     "fixed interface layout"},
    {"brightwater-mixer-20", 0x7E03, 0x8025, "Brightwater Sound", "Brightwater Mixer 20", nullptr, true, BulkIn, 20, 2, B24, 96000, 0, false, false, false, false, Controls::None, 0x0142,
     "fixed interface layout"},
    {"brightwater-mixer-10", 0x7E03, 0x801E, "Brightwater Sound", "Brightwater Mixer 10", nullptr, true, BulkIn, 16, 2, B24, 96000, 0, false, false, false, false, Controls::None, 0x0142,
     "fixed interface layout; input channels 11 to 16 are named after the mixer's buses"},

    {"lindenfeld-studio-6", 0x7E04, 0x0070, "Lindenfeld Audio", "Lindenfeld Studio 6", nullptr, true, BulkIn, 6, 6, B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0300,
     "fixed interface layout"},
    {"lindenfeld-studio-4", 0x7E04, 0x0071, "Lindenfeld Audio", "Lindenfeld Studio 4", nullptr, false, BulkIn, 4, 4, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0300,
     "bulk-in isochronous-out family with the standard layout"},
    {"lindenfeld-studio-8", 0x7E04, 0x0074, "Lindenfeld Audio", "Lindenfeld Studio 8", nullptr, true, BulkIn, 8, 8, B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0301,
     "fixed interface layout"},

    {"copperlane-hub-4", 0x7E05, 0x0030, "Copperlane Electronics", "Copperlane Hub 4", nullptr, true, BulkIn, 4, 4, B24, 96000, 0, false, false, false, false, Controls::None, 0x0105,
     "fixed interface layout"},

    {"wrenfield-w6", 0x7E06, 0x0018, "Wrenfield Instruments", "Wrenfield W6", nullptr, true, BulkIn, 6, 4, B24, 96000, 0, false, false, false, false, Controls::None, 0x0120,
     "fixed interface layout; named inputs and outputs"},
    {"wrenfield-w10", 0x7E06, 0x0019, "Wrenfield Instruments", "Wrenfield W10", nullptr, true, BulkIn, 10, 4, B24, 96000, 0, false, false, false, false, Controls::None, 0x0120,
     "fixed interface layout; named inputs and outputs"},
    {"wrenfield-w2", 0x7E06, 0x001A, "Wrenfield Instruments", "Wrenfield W2", nullptr, true, BulkIn, 2, 2, B24, 96000, 0, false, false, false, false, Controls::None, 0x0120,
     "fixed interface layout; two named channels each way, no name beyond"},

    {"saltmarsh-bay-4", 0x7E07, 0x0034, "Saltmarsh Audio", "Saltmarsh Bay 4", nullptr, false, Iso, 4, 4, B16 | B24, 96000, 0, false, false, false, false, Controls::Mixer, 0x0111,
     "Marlow-compatible only"},
    {"halden-ten", 0x7E08, 0x100A, "Halden Sound Labs", "Halden Ten", nullptr, false, Iso, 10, 10, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0102,
     "Marlow-compatible only, ten channels each way"},
    {"millbrook-one", 0x7E09, 0x7011, "Millbrook Devices", "Millbrook One", nullptr, false, Iso, 2, 2, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0100,
     "Marlow-compatible only"},
    {"millbrook-two", 0x7E09, 0x7021, "Millbrook Devices", "Millbrook Two", nullptr, false, Iso, 4, 4, B16 | B20 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0100,
     "Marlow-compatible only, 20-bit formats"},
    {"fernhill-studio", 0x7E0A, 0x0020, "Fernhill Music", "Fernhill Studio", nullptr, false, Iso, 2, 2, B16 | B24, 96000, 0, false, false, false, false, Controls::Mixer, 0x0400,
     "Marlow-compatible only"},
    {"fernhill-studio-pro", 0x7E0A, 0x0021, "Fernhill Music", "Fernhill Studio Pro", nullptr, false, Iso, 6, 6, B16 | B24, 96000, 0, false, false, false, false, Controls::Mixer, 0x0400,
     "Marlow-compatible only"},

    {"greyhaven-cask-420", 0x7E0B, 0x0420, "Greyhaven Audio", "GH-420", "Greyhaven Cask 420", false, Iso, 2, 2, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0102,
     "shown under its alternative device name"},
    {"greyhaven-cask-223", 0x7E0B, 0x0223, "Greyhaven Audio", "GH-223", "Greyhaven Cask 223", false, Iso, 2, 2, B16 | B24, 48000, 0, false, false, false, false, Controls::Simple, 0x0102,
     "shown under its alternative device name"},
    {"greyhaven-cask-pro", 0x7E0B, 0x07AF, "Greyhaven Audio", "GH-7AF", "Greyhaven Cask Pro", false, Iso, 4, 4, B16 | B24, 96000, 0, false, false, false, false, Controls::Simple, 0x0103,
     "shown under its alternative device name"},

    {"redmoor-r4", 0x7E0C, 0x4040, "Redmoor Electronics", "Redmoor R4", nullptr, false, Iso, 4, 2, B16 | B24, 96000, 2, true, false, true, false, Controls::Simple, 0x0110,
     "forced mono at high rates; monitoring routed by input pairs"},
    {"redmoor-r2", 0x7E0C, 0x2040, "Redmoor Electronics", "Redmoor R2", nullptr, false, Iso, 2, 2, B16 | B24, 96000, 2, true, false, false, false, Controls::Simple, 0x0110,
     "forced mono at high rates"},
    {"ambervale-pocket", 0x7E0D, 0x6000, "Ambervale Audio", "Ambervale Pocket", nullptr, false, Iso, 2, 2, B16 | B24, 96000, 2, true, false, false, false, Controls::None, 0x0100,
     "forced mono at high rates, one bit depth for both directions, USB transport on full speed"},
    {"tidewell-trek", 0x7E0E, 0x0104, "Tidewell Sound", "Tidewell Trek", nullptr, false, Iso, 2, 2, B16 | B24, 96000, 2, true, false, false, false, Controls::None, 0x0100,
     "forced mono at high rates, one bit depth for both directions, USB transport on full speed"},
    {"kingsmere-digital", 0x7E0F, 0x1000, "Kingsmere Audio", "Kingsmere Digital", nullptr, false, Iso, 2, 2, B16 | B24, 96000, 0, false, false, false, false, Controls::Digital, 0x0100,
     "three input sources tied to the digital clock sync"},
};
// clang-format on

constexpr uint32_t kHalVersion = 0x0210;

constexpr uint32_t kBaseRates[] = {44100, 48000};
constexpr uint32_t kHighRates[] = {88200, 96000};
constexpr uint32_t kTopRates[] = {176400, 192000};

uint32_t packetSize(uint32_t highestRate, uint32_t bits, uint32_t channels, bool highSpeed)
{
    // One sample more than a (micro)frame holds on average: room for the rate adaptation.
    const uint32_t pps = highSpeed ? 8000 : 1000;
    return (highestRate / pps + 1) * channels * bytesPerSample(bits);
}

bool fits(uint32_t rate, uint32_t bits, uint32_t channels, bool highSpeed, bool bulk)
{
    return bulk || packetSize(rate, bits, channels, highSpeed) <= (highSpeed ? 1024u : 1023u);
}

std::vector<uint32_t> bitDepths(uint8_t mask)
{
    std::vector<uint32_t> out;
    for (const auto& [flag, bits] : {std::pair{B16, 16u}, {B20, 20u}, {B24, 24u}, {B32, 32u}})
        if (mask & flag)
            out.push_back(bits);
    return out;
}

// Channel counts of the alternates of one direction on high speed: a ladder up to `most`,
// thinned out (keeping both ends) until it fits into `room` counts.
std::vector<uint32_t> channelLadder(uint32_t most, size_t room)
{
    if (most <= 1)
        return {1};
    std::vector<uint32_t> ladder;
    for (uint32_t c : {2u, 4u, 6u, 8u, 10u, 12u, 16u, 20u, 24u, 32u})
        if (c < most)
            ladder.push_back(c);
    ladder.push_back(most);
    while (ladder.size() > room && ladder.size() > 2) {
        std::vector<uint32_t> thinner;
        for (size_t k = 0; k + 1 < ladder.size(); k += 2)
            thinner.push_back(ladder[k]);
        thinner.push_back(ladder.back());
        ladder = thinner;
    }
    return ladder;
}

AlternateModel zeroBandwidth() { return AlternateModel{}; }

struct Stream {
    bool input;
    uint8_t dataAddress;
    uint8_t feedbackAddress;
};

AlternateModel streamingAlternate(const Product& p, bool highSpeed, const Stream& s, uint8_t setting, uint32_t bits,
                                  uint32_t channels, const std::vector<uint32_t>& rates)
{
    const bool bulk = highSpeed
        && (p.transfer == Transfer::Bulk || (p.transfer == Transfer::BulkInIsocOut && s.input));
    AlternateModel a;
    a.setting = setting;
    a.bits = static_cast<uint8_t>(bits);
    a.channels = static_cast<uint8_t>(channels);
    uint32_t highest = 0;
    if (p.continuous) {
        a.continuous = true;
        a.rateMin = 32000;
        a.rateMax = 48000;
        highest = a.rateMax;
    } else {
        a.rates = rates;
        for (uint32_t r : rates)
            highest = std::max(highest, r);
    }
    if (bulk) {
        a.endpoints.push_back({uint8_t(s.dataAddress | (s.input ? 0x80 : 0)), 512, EndpointKind::Bulk});
    } else {
        a.endpoints.push_back({uint8_t(s.dataAddress | (s.input ? 0x80 : 0)),
                               uint16_t(packetSize(highest, bits, channels, highSpeed)), EndpointKind::Isochronous});
        // Asynchronous output: explicit 10.14 feedback on full speed; on high speed the device
        // paces the output from its input (implicit feedback).
        if (!s.input && !highSpeed)
            a.endpoints.push_back({uint8_t(s.feedbackAddress | 0x80), 3, EndpointKind::Feedback});
    }
    return a;
}

// The streaming interface of one direction in the standard layout.
InterfaceModel standardStream(const Product& p, bool highSpeed, const Stream& s, uint8_t number)
{
    const bool bulk = highSpeed
        && (p.transfer == Transfer::Bulk || (p.transfer == Transfer::BulkInIsocOut && s.input));
    const uint32_t most = s.input ? p.inMax : p.outMax;
    const std::vector<uint32_t> depths = bitDepths(p.bits);

    // (channels, bits) -> rates, in the order the alternates are numbered.
    std::map<std::pair<uint32_t, uint32_t>, std::vector<uint32_t>> formats;
    auto add = [&](uint32_t channels, uint32_t bits, bool high, bool top) {
        std::vector<uint32_t> rates;
        auto take = [&](uint32_t rate) {
            if (fits(rate, bits, channels, highSpeed, bulk))
                rates.push_back(rate);
        };
        for (uint32_t r : kBaseRates)
            take(r);
        if (high && p.topRate >= 96000)
            for (uint32_t r : kHighRates)
                take(r);
        if (top && p.topRate >= 192000)
            for (uint32_t r : kTopRates)
                take(r);
        formats[{channels, bits}] = rates;
    };

    if (highSpeed) {
        const size_t room = (kAPIMaxAltSettings - 1 - (p.monoAtHighRates ? 1 : 0)) / depths.size();
        for (uint32_t channels : channelLadder(most, room))
            for (uint32_t bits : depths)
                add(channels, bits, p.highRateChannels == 0 || channels <= p.highRateChannels, channels <= 4);
        if (p.monoAtHighRates)
            add(1, 24, true, false);
    } else {
        // Full speed carries stereo at 96 kHz one way at a time: mono and stereo at every rate,
        // four channels of 16 bits at the base rates.
        for (uint32_t channels : {1u, 2u})
            if (channels <= most)
                for (uint32_t bits : depths)
                    add(channels, bits, true, false);
        if (most >= 4 && (p.bits & B16))
            add(4, 16, false, false);
    }

    InterfaceModel i;
    i.number = number;
    i.alternates.push_back(zeroBandwidth());
    uint8_t setting = 1;
    for (const auto& [format, rates] : formats)
        i.alternates.push_back(streamingAlternate(p, highSpeed, s, setting++, format.second, format.first, rates));
    return i;
}

// The single format of one direction in the fixed layout: alternate 1.
InterfaceModel fixedStream(const Product& p, bool highSpeed, const Stream& s, uint8_t number)
{
    const bool bulk = highSpeed && s.input; // the fixed layouts are all bulk-in, isochronous-out
    const uint32_t channels = highSpeed ? (s.input ? p.inMax : p.outMax) : std::min<uint32_t>(s.input ? p.inMax : p.outMax, 2);
    std::vector<uint32_t> rates;
    for (uint32_t r : {44100u, 48000u, 88200u, 96000u})
        if (fits(r, 24, channels, highSpeed, bulk))
            rates.push_back(r);
    InterfaceModel i;
    i.number = number;
    i.alternates.push_back(zeroBandwidth());
    i.alternates.push_back(streamingAlternate(p, highSpeed, s, 1, 24, channels, rates));
    return i;
}

InterfaceModel controlInterface(uint8_t number)
{
    InterfaceModel i;
    i.number = number;
    i.alternates.push_back(zeroBandwidth());
    return i;
}

ControlModel source(const char* name, bool mute, uint16_t volumeChannels, double minDb, double maxDb)
{
    ControlModel c;
    c.name = name;
    c.hasMute = mute;
    c.volumeChannels = volumeChannels;
    if (maxDb > minDb) {
        c.hasVolume = true;
        c.volumeMin = static_cast<int16_t>(minDb * 256);
        c.volumeMax = static_cast<int16_t>(maxDb * 256);
        c.volumeCurrent = std::clamp<int16_t>(0, c.volumeMin, c.volumeMax);
    }
    return c;
}

// The most channels any alternate setting of the first configuration carries that way.
uint32_t mostChannels(const DeviceModel& m, bool input)
{
    uint32_t most = 0;
    for (const InterfaceModel& i : m.configurations.front().interfaces)
        for (const AlternateModel& a : i.alternates)
            if (a.carriesFormat() && a.dataEndpoint()->isIn() == input)
                most = std::max<uint32_t>(most, a.channels);
    return most;
}

void addControls(DeviceModel& m, const Product& p)
{
    // Per-channel volume where the block has a slot for every output channel.
    const uint32_t outputs = mostChannels(m, false);
    const uint16_t outVolume = outputs <= kControlsVolumeSlots ? uint16_t(outputs) : kMasterVolumeOnly;
    switch (p.controls) {
    case Controls::None:
        break;
    case Controls::Tarsel:
        m.outputControls = {false, 1, {source("Main Out", true, outVolume, -96, 0)}};
        m.inputControls = {false, 1, {source("Analog In", true, kMasterVolumeOnly, 0, 48),
                                      source("Digital In", true, kMasterVolumeOnly, 0, 0)}};
        break;
    case Controls::Mixer:
        m.outputControls = {false, 1, {source("Output", true, kMasterVolumeOnly, -80, 6)}};
        m.inputControls = {true, 1, {source("Mic", true, 2, -10, 50), source("Line", false, kMasterVolumeOnly, 0, 0),
                                     source("Instrument", false, kMasterVolumeOnly, 0, 0)}};
        break;
    case Controls::Simple:
        m.outputControls = {false, 1, {source("Line Out", true, kMasterVolumeOnly, -96, 0)}};
        break;
    case Controls::Digital:
        m.outputControls = {false, 1, {source("Analog Out", true, kMasterVolumeOnly, -96, 0)}};
        // The selector picks the physical input; the device layer offers three choices on top.
        m.inputControls = {false, 1, {source("Analog", true, kMasterVolumeOnly, 0, 0),
                                      source("SPDIF (RCA)", true, kMasterVolumeOnly, 0, 0)}};
        m.syncSelector = 1;
        break;
    }
}

// The isochronous products built on the second vendor's converter design; the bulk families
// are all built on it.
constexpr std::pair<uint16_t, uint16_t> kMarlowDesign[] = {
    {0x7E01, 0x0002}, {0x7E07, 0x0034}, {0x7E08, 0x100A}, {0x7E02, 0x00C2}, {0x7E09, 0x7011},
    {0x7E09, 0x7021}, {0x7E03, 0x800E}, {0x7E03, 0x8021}, {0x7E0A, 0x0020}, {0x7E0A, 0x0021},
};

// The converters' and the transport's delay, as the driver's figures for each family give it:
// input 68 frames and output 24 frames ahead of the ring on the bulk transport, input 68 on the
// bulk-in transport, input 119 (plus a quarter frame per kHz on high speed) on the Marlow
// design, and otherwise input 150 with an output side that grows by 2 frames per kHz from -120.
void setConverterDelay(DeviceModel& m, const Product& p, bool highSpeed)
{
    const bool marlow = p.transfer != Transfer::Isochronous
        || std::find(std::begin(kMarlowDesign), std::end(kMarlowDesign), std::pair{p.vendor, p.product})
            != std::end(kMarlowDesign);
    if (highSpeed && p.transfer == Transfer::Bulk)
        m.converterDelay = 68 - 24;
    else if (highSpeed && p.transfer == Transfer::BulkInIsocOut)
        m.converterDelay = 68;
    else if (marlow)
        std::tie(m.converterDelay, m.converterDelayPerMHz) = std::pair{119, highSpeed ? 250 : 0};
    else
        std::tie(m.converterDelay, m.converterDelayPerMHz) = std::pair{150 - 120, 2000};
}

DeviceModel makeModel(const Product& p, bool highSpeed, std::string name)
{
    DeviceModel m;
    m.name = std::move(name);
    m.description = std::string(p.why) + (highSpeed ? "; high speed" : "; full speed");
    m.vendorId = p.vendor;
    m.productId = p.product;
    m.highSpeed = highSpeed;
    m.manufacturer = p.maker;
    m.deviceName = p.device;
    m.altDeviceName = p.altName ? p.altName : std::string(p.maker) + " " + p.device;
    char uid[80];
    std::snprintf(uid, sizeof uid, "%s:%04X:%04X", p.name, p.vendor, p.product);
    m.modelUID = uid;

    ConfigurationModel config;
    config.value = 1;
    const Stream in{true, 0x01, 0}, out{false, 0x02, 0x03};
    if (p.fixedLayout) {
        config.interfaces.push_back(fixedStream(p, highSpeed, {false, 0x01, 0x03}, 0));
        config.interfaces.push_back(fixedStream(p, highSpeed, {true, 0x02, 0}, 1));
        config.interfaces.push_back(controlInterface(2));
    } else {
        // Input on interface 1: the bulk family is only looked for there.
        config.interfaces.push_back(controlInterface(0));
        config.interfaces.push_back(standardStream(p, highSpeed, in, 1));
        config.interfaces.push_back(standardStream(p, highSpeed, out, 2));
    }
    m.configurations.push_back(std::move(config));

    m.outBandwidth = kIsochronousBudget / 2 + 1;
    m.inBandwidth = kIsochronousBudget / 2;
    m.halVersion = kHalVersion;
    m.usbVersion = p.firmware;
    m.canMonitor = p.canMonitor;
    // The one interface that monitors its inputs by pairs.
    m.monitorPairs = p.canMonitor && p.vendor == 0x7E0C && p.product == 0x4040;
    m.hasCodec = p.hasCodec;
    addControls(m, p);
    setConverterDelay(m, p, highSpeed);
    return m;
}

std::vector<DeviceModel> buildCatalogue()
{
    std::vector<DeviceModel> models;
    for (const Product& p : kProducts) {
        const std::string base = p.name;
        if (base == "tarsel") {
            models.push_back(makeModel(p, true, "tarsel"));
            models.push_back(makeModel(p, false, "tarsel-fs"));
            DeviceModel tiger = makeModel(p, true, "tarsel-tiger");
            tiger.tiger = true;
            tiger.description = "the default interface as served on Darwin 8 (class name with the Tiger suffix)";
            models.push_back(std::move(tiger));
        } else {
            models.push_back(makeModel(p, true, base + "-hs"));
            models.push_back(makeModel(p, false, base + "-fs"));
        }
    }
    return models;
}

} // namespace

const std::vector<DeviceModel>& catalogue()
{
    static const std::vector<DeviceModel> models = buildCatalogue();
    return models;
}

const DeviceModel* findModel(std::string_view name)
{
    for (const DeviceModel& m : catalogue())
        if (m.name == name)
            return &m;
    return nullptr;
}

} // namespace kext
