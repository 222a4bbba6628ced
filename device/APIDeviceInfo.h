#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// The kernel driver's description of an interface's USB configurations (request 4, read in
// 256-byte chunks). Integers are little-endian, which is the host order here.
//
// Every count in it comes from the other side and may exceed what the layout holds; read the
// counts through the clamping accessors, never index with the raw fields.

static_assert(std::endian::native == std::endian::little,
              "the device information block is little-endian and is read in place");

constexpr size_t kAPIMaxConfigurations = 4;
constexpr size_t kAPIMaxInterfaces = 16;
constexpr size_t kAPIMaxAltSettings = 16;
constexpr size_t kAPIMaxEndpoints = 3;
constexpr size_t kAPIMaxDiscreteRates = 16;
constexpr size_t kAPIDeviceInfoSize = 98584;

struct APIEndpointInfo {
    uint16_t iMaxPacketSize;
    uint8_t iAddress; // bit 7 set: IN (device to host)
    uint8_t reserved;

    bool isIn() const { return (iAddress & 0x80) != 0; }
};

struct APIAltSettingInfo {
    uint8_t iAltSetting; // alternate setting number
    uint8_t reserved1;
    uint8_t iEndpointCount;
    uint8_t reserved3;
    uint8_t iBitResolution;
    uint8_t iChannels;
    uint8_t iRateType; // 0: continuous range, otherwise discrete rates
    uint8_t iRateCount;
    uint32_t iRateMin; // continuous range
    uint32_t iRateMax;
    uint32_t iRates[kAPIMaxDiscreteRates];
    APIEndpointInfo endpoints[kAPIMaxEndpoints];
    uint8_t reserved92[4];

    size_t endpointCount() const { return std::min<size_t>(iEndpointCount, kAPIMaxEndpoints); }
    size_t rateCount() const { return std::min<size_t>(iRateCount, kAPIMaxDiscreteRates); }
    bool isContinuous() const { return iRateType == 0; }
};

struct APIInterfaceInfo {
    uint8_t iInterfaceNumber;
    uint8_t reserved1;
    uint8_t iAltSettingCount;
    uint8_t reserved3;
    APIAltSettingInfo altSettings[kAPIMaxAltSettings];

    size_t altSettingCount() const
    {
        return std::min<size_t>(iAltSettingCount, kAPIMaxAltSettings);
    }
};

struct APIConfigurationInfo {
    uint8_t reserved0[2];
    uint8_t iInterfaceCount;
    uint8_t reserved3;
    APIInterfaceInfo interfaces[kAPIMaxInterfaces];

    size_t interfaceCount() const
    {
        return std::min<size_t>(iInterfaceCount, kAPIMaxInterfaces);
    }
};

struct APIDeviceInfo {
    uint16_t iVendorId;
    uint16_t iProductId;
    uint8_t iConfigCount;
    uint8_t reserved5[3];
    APIConfigurationInfo configurations[kAPIMaxConfigurations];

    size_t configCount() const
    {
        return std::min<size_t>(iConfigCount, kAPIMaxConfigurations);
    }
};

static_assert(std::is_standard_layout_v<APIDeviceInfo> && std::is_trivially_copyable_v<APIDeviceInfo>);

static_assert(sizeof(APIEndpointInfo) == 4);
static_assert(offsetof(APIEndpointInfo, iMaxPacketSize) == 0);
static_assert(offsetof(APIEndpointInfo, iAddress) == 2);

static_assert(sizeof(APIAltSettingInfo) == 96);
static_assert(offsetof(APIAltSettingInfo, iAltSetting) == 0);
static_assert(offsetof(APIAltSettingInfo, iEndpointCount) == 2);
static_assert(offsetof(APIAltSettingInfo, iBitResolution) == 4);
static_assert(offsetof(APIAltSettingInfo, iChannels) == 5);
static_assert(offsetof(APIAltSettingInfo, iRateType) == 6);
static_assert(offsetof(APIAltSettingInfo, iRateCount) == 7);
static_assert(offsetof(APIAltSettingInfo, iRateMin) == 8);
static_assert(offsetof(APIAltSettingInfo, iRateMax) == 12);
static_assert(offsetof(APIAltSettingInfo, iRates) == 16);
static_assert(offsetof(APIAltSettingInfo, endpoints) == 80);
static_assert(offsetof(APIAltSettingInfo, reserved92) == 92);

static_assert(sizeof(APIInterfaceInfo) == 1540);
static_assert(offsetof(APIInterfaceInfo, iInterfaceNumber) == 0);
static_assert(offsetof(APIInterfaceInfo, iAltSettingCount) == 2);
static_assert(offsetof(APIInterfaceInfo, altSettings) == 4);

static_assert(sizeof(APIConfigurationInfo) == 24644);
static_assert(offsetof(APIConfigurationInfo, iInterfaceCount) == 2);
static_assert(offsetof(APIConfigurationInfo, interfaces) == 4);

static_assert(sizeof(APIDeviceInfo) == kAPIDeviceInfoSize);
static_assert(offsetof(APIDeviceInfo, iVendorId) == 0);
static_assert(offsetof(APIDeviceInfo, iProductId) == 2);
static_assert(offsetof(APIDeviceInfo, iConfigCount) == 4);
static_assert(offsetof(APIDeviceInfo, configurations) == 8);

// Where the published offsets put things, in bytes from the start of the block: C for
// configuration c, P for interface i of it, A for alternate setting a of that; each record's own
// fields begin 4 bytes past its letter for interfaces and alternates (P + 4, A + 4).
namespace apiinfo {
constexpr size_t C(size_t c) { return 8 + 24644 * c; }
constexpr size_t P(size_t c, size_t i) { return C(c) + 1540 * i; }
constexpr size_t A(size_t c, size_t i, size_t a) { return P(c, i) + 4 + 96 * a; }

// Start of the structs above within the block.
constexpr size_t configAt(size_t c)
{
    return offsetof(APIDeviceInfo, configurations) + sizeof(APIConfigurationInfo) * c;
}
constexpr size_t interfaceAt(size_t c, size_t i)
{
    return configAt(c) + offsetof(APIConfigurationInfo, interfaces) + sizeof(APIInterfaceInfo) * i;
}
constexpr size_t altSettingAt(size_t c, size_t i, size_t a)
{
    return interfaceAt(c, i) + offsetof(APIInterfaceInfo, altSettings) + sizeof(APIAltSettingInfo) * a;
}

// Every field of every configuration, interface, alternate setting, endpoint and rate where the
// published offsets put it.
constexpr bool layoutMatches()
{
    for (size_t c = 0; c < kAPIMaxConfigurations; ++c) {
        if (configAt(c) + offsetof(APIConfigurationInfo, iInterfaceCount) != C(c) + 2)
            return false;
        for (size_t i = 0; i < kAPIMaxInterfaces; ++i) {
            const size_t p = interfaceAt(c, i);
            if (p + offsetof(APIInterfaceInfo, iInterfaceNumber) != P(c, i) + 4
                || p + offsetof(APIInterfaceInfo, iAltSettingCount) != P(c, i) + 6)
                return false;
            for (size_t a = 0; a < kAPIMaxAltSettings; ++a) {
                const size_t s = altSettingAt(c, i, a);
                const size_t t = A(c, i, a);
                if (s + offsetof(APIAltSettingInfo, iAltSetting) != t + 4
                    || s + offsetof(APIAltSettingInfo, iEndpointCount) != t + 6
                    || s + offsetof(APIAltSettingInfo, iBitResolution) != t + 8
                    || s + offsetof(APIAltSettingInfo, iChannels) != t + 9
                    || s + offsetof(APIAltSettingInfo, iRateType) != t + 10
                    || s + offsetof(APIAltSettingInfo, iRateCount) != t + 11
                    || s + offsetof(APIAltSettingInfo, iRateMin) != t + 12
                    || s + offsetof(APIAltSettingInfo, iRateMax) != t + 16)
                    return false;
                for (size_t k = 0; k < kAPIMaxDiscreteRates; ++k)
                    if (s + offsetof(APIAltSettingInfo, iRates) + 4 * k != t + 20 + 4 * k)
                        return false;
                for (size_t e = 0; e < kAPIMaxEndpoints; ++e) {
                    const size_t ep = s + offsetof(APIAltSettingInfo, endpoints) + sizeof(APIEndpointInfo) * e;
                    if (ep + offsetof(APIEndpointInfo, iMaxPacketSize) != t + 84 + 4 * e
                        || ep + offsetof(APIEndpointInfo, iAddress) != t + 86 + 4 * e)
                        return false;
                }
                if (s + sizeof(APIAltSettingInfo) > kAPIDeviceInfoSize)
                    return false;
            }
        }
    }
    return true;
}
} // namespace apiinfo

static_assert(apiinfo::layoutMatches());
static_assert(apiinfo::altSettingAt(1, 1, 1) == apiinfo::A(1, 1, 1) + 4);
static_assert(apiinfo::A(1, 1, 1) == 8 + 24644 + 1540 + 4 + 96);
static_assert(apiinfo::altSettingAt(3, 15, 15) + sizeof(APIAltSettingInfo) == kAPIDeviceInfoSize);

// Where scanAPIDeviceInfo found a format: the configuration, interface and alternate setting
// indices, and the format it looked for.
struct APIDeviceInfoScanResult {
    bool found = false;
    uint16_t configIndex = 0;
    uint16_t interfaceIndex = 0;
    uint16_t altIndex = 0;
    uint32_t sampleRate = 0;
    uint8_t bits = 0;
    uint8_t channels = 0;
};

// What each configuration can carry, by rate index r (32000, 44100, 48000, 88200, 96000 Hz),
// bit-depth index b (16, 20, 24, 32 bits) and channel index n (1..32 channels). The weight and
// bonus tables are scratch space for choosing a configuration.
constexpr size_t kCapsRates = 5;
constexpr size_t kCapsBitDepths = 4;
constexpr size_t kCapsChannels = 32;
constexpr size_t kCapsConfigurations = 4;

struct XsConfigurationCaps {
    uint8_t outSupported[kCapsRates][kCapsBitDepths][kCapsChannels];
    uint8_t inSupported[kCapsRates][kCapsBitDepths][kCapsChannels];
    int32_t outWeight[kCapsRates][kCapsBitDepths][kCapsChannels];
    int32_t inWeight[kCapsRates][kCapsBitDepths][kCapsChannels];
    int32_t outBonus[kCapsRates][kCapsBitDepths][kCapsChannels];
    int32_t inBonus[kCapsRates][kCapsBitDepths][kCapsChannels];
};

struct XsDeviceCapabilitiesEx {
    uint32_t configCount;
    XsConfigurationCaps configurations[kCapsConfigurations];
};

static_assert(sizeof(XsConfigurationCaps) == 11520);
static_assert(offsetof(XsConfigurationCaps, inSupported) == 640);
static_assert(offsetof(XsConfigurationCaps, outWeight) == 1280);
static_assert(offsetof(XsConfigurationCaps, inWeight) == 3840);
static_assert(offsetof(XsConfigurationCaps, outBonus) == 6400);
static_assert(offsetof(XsConfigurationCaps, inBonus) == 8960);
static_assert(offsetof(XsDeviceCapabilitiesEx, configurations) == 4);
static_assert(sizeof(XsDeviceCapabilitiesEx) == 46084);
