#pragma once
// How the device layer reads a device information block, written down here from its rules so
// the tests can check that a model is seen as the kernel serves it. Deliberately independent of
// the model code: it reads the block only through its accessors.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "device/APIDeviceInfo.h"

namespace deviceview {

using Pair = std::pair<uint16_t, uint16_t>;

inline const std::initializer_list<Pair> kBulkFamily = {
    {0x7E01, 0x0003}, {0x7E01, 0xDA01}, {0x7E01, 0xFF01}, {0x7E01, 0xFF4D}, {0x7E01, 0xCF00},
    {0x7E02, 0x0111}, {0x7E02, 0x0121}, {0x7E02, 0x3216},
};

inline const std::initializer_list<Pair> kBulkInIsocOutFamily = {
    {0x7E03, 0x800F}, {0x7E03, 0x8020}, {0x7E03, 0x8017}, {0x7E03, 0x8025}, {0x7E03, 0x801E},
    {0x7E04, 0x0070}, {0x7E04, 0x0071}, {0x7E04, 0x0074}, {0x7E05, 0x0030},
    {0x7E06, 0x001A}, {0x7E06, 0x0018}, {0x7E06, 0x0019}, {0x7E01, 0x5B01},
};

inline const std::initializer_list<Pair> kMarlowCompatible = {
    {0x7E01, 0x0002}, {0x7E01, 0x0003}, {0x7E01, 0xDA01}, {0x7E01, 0xFF01}, {0x7E01, 0xFF4D},
    {0x7E01, 0xCF00}, {0x7E01, 0x5B01}, {0x7E07, 0x0034}, {0x7E08, 0x100A},
    {0x7E02, 0x00C2}, {0x7E02, 0x0111}, {0x7E02, 0x0121}, {0x7E02, 0x3216},
    {0x7E09, 0x7011}, {0x7E09, 0x7021},
    {0x7E03, 0x800E}, {0x7E03, 0x8021}, {0x7E03, 0x800F}, {0x7E03, 0x8020}, {0x7E03, 0x8017},
    {0x7E03, 0x8025}, {0x7E03, 0x801E},
    {0x7E04, 0x0070}, {0x7E04, 0x0071}, {0x7E04, 0x0074}, {0x7E05, 0x0030},
    {0x7E06, 0x001A}, {0x7E06, 0x0018}, {0x7E06, 0x0019}, {0x7E0A, 0x0020}, {0x7E0A, 0x0021},
};

inline const std::initializer_list<Pair> kFixedLayout = {
    {0x7E03, 0x8017}, {0x7E03, 0x801E}, {0x7E03, 0x8025}, {0x7E05, 0x0030}, {0x7E04, 0x0070},
    {0x7E04, 0x0074}, {0x7E06, 0x0018}, {0x7E06, 0x0019}, {0x7E06, 0x001A},
};

// Every other pair the device layer treats in its own way.
inline const std::initializer_list<Pair> kForcedMono = {{0x7E0C, 0x4040}, {0x7E0C, 0x2040}, {0x7E0E, 0x0104}, {0x7E0D, 0x6000}};
inline const std::initializer_list<Pair> kOneBitDepth = {{0x7E0E, 0x0104}, {0x7E02, 0x0061}, {0x7E0D, 0x6000}};
inline const std::initializer_list<Pair> kAlternativeName = {{0x7E0B, 0x0420}, {0x7E0B, 0x0223}, {0x7E0B, 0x07AF}};
inline const std::initializer_list<Pair> kChannelNames = {{0x7E03, 0x801E}, {0x7E06, 0x0018}, {0x7E06, 0x0019}, {0x7E06, 0x001A}};
inline const std::initializer_list<Pair> kTransportBySpeed = {{0x7E0E, 0x0104}, {0x7E0D, 0x6000}};
inline const Pair kMonitorByPairs{0x7E0C, 0x4040};
inline const Pair kSyncSources{0x7E0F, 0x1000};

inline bool inTable(std::initializer_list<Pair> table, uint16_t vendor, uint16_t product)
{
    return std::find(table.begin(), table.end(), Pair{vendor, product}) != table.end();
}

struct Found {
    bool found = false;
    size_t interfaceIndex = 0, altIndex = 0;
};

// The search for an alternate setting of `bits` and `channels` that offers `rate` one way.
inline Found scan(const APIDeviceInfo& info, size_t config, uint32_t rate, uint8_t bits, uint8_t channels,
                  bool discreteOnly, bool output)
{
    Found result;
    if (config >= info.configCount())
        return result;
    const APIConfigurationInfo& c = info.configurations[config];
    const bool fixed = inTable(kFixedLayout, info.iVendorId, info.iProductId);
    const bool bulk = inTable(kBulkFamily, info.iVendorId, info.iProductId);
    for (size_t i = 0; i < c.interfaceCount(); ++i) {
        const APIInterfaceInfo& in = c.interfaces[i];
        for (size_t a = 0; a < in.altSettingCount(); ++a) {
            const APIAltSettingInfo& alt = in.altSettings[a];
            if (alt.iBitResolution != bits || alt.iChannels != channels)
                continue;
            bool rateOk = false;
            if (alt.isContinuous())
                rateOk = !discreteOnly && alt.iRateMin <= rate && rate <= alt.iRateMax;
            else
                for (size_t k = 0; k < alt.rateCount(); ++k)
                    rateOk = rateOk || alt.iRates[k] == rate;
            if (!rateOk)
                continue;
            for (size_t e = 0; e < alt.endpointCount(); ++e) {
                bool ok;
                if (fixed)
                    ok = in.iInterfaceNumber == (output ? 0 : 1) && alt.iAltSetting == 1;
                else if (bulk && !output && in.iInterfaceNumber != 1)
                    ok = false;
                else
                    ok = alt.endpoints[e].iMaxPacketSize > 3 && alt.endpoints[e].isIn() == !output;
                if (ok)
                    return {true, i, a};
            }
        }
    }
    return result;
}

inline uint32_t bytesFromBits(uint32_t bits)
{
    return bits == 16 ? 2 : bits == 20 || bits == 24 ? 3 : bits == 32 ? 4 : 0;
}

// The device layer's bandwidth test of a pair of formats: bulk-family interfaces on high speed
// need none; Marlow-compatible ones have a fixed budget; the rest add the two figures.
inline bool deviceLayerBandwidthOk(uint16_t vendor, uint16_t product, bool highSpeed, uint32_t figure15,
                                   uint32_t figure16, uint32_t rate, uint32_t inChannels, uint32_t inBits,
                                   uint32_t outChannels, uint32_t outBits)
{
    if (highSpeed && inTable(kBulkFamily, vendor, product))
        return true;
    const uint64_t needed = uint64_t(bytesFromBits(inBits)) * inChannels * rate / 1000
        + uint64_t(bytesFromBits(outBits)) * outChannels * rate / 1000;
    uint64_t available = (uint64_t(figure15) + figure16) * (highSpeed ? 8 : 1);
    if (inTable(kMarlowCompatible, vendor, product))
        available = highSpeed ? 8184 : 1023;
    return available >= needed;
}

} // namespace deviceview
