// The catalogue: every vendor:product pair the device layer treats in its own way is there on
// both speeds, and every model's block reads back through the device layer's own search as the
// kernel means it. The variants the device tests plug by name are theirs to check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "device/FormatRules.h"
#include "device/VIDPID.h"
#include "kext/model/Catalogue.h"
#include "kext/model/ModelFile.h"

namespace {

using kext::DeviceModel;

VIDPID idOf(const DeviceModel& m) { return VIDPID(m.vendorId, m.productId); }

// The pairs with rules of their own in the device layer's family tests.
bool hasFamilyRules(VIDPID id)
{
    return id.isQuentaBulkDevice(true) || id.isQuentaBulkInIsocOutDevice(true) || id.isMarlowCompatible()
        || hasFixedInterfaceLayout(id) || forcesMonoAtHighRates(id) || sharesOneBitDepth(id);
}

std::vector<const DeviceModel*> modelsOf(VIDPID id)
{
    std::vector<const DeviceModel*> out;
    for (const DeviceModel& m : kext::catalogue())
        if (idOf(m) == id)
            out.push_back(&m);
    return out;
}

// The one sweep of the catalogue: every model holds together on its own, its block reads back
// as the device layer reads it with exactly the formats the kernel accepts (one direction at a
// time), its texts are terminated and its model file gives it back.
TEST(CatalogueTest, EveryModelHoldsTogether)
{
    auto info = std::make_unique<APIDeviceInfo>();
    auto block = std::make_unique<KernelStatusBlock>();
    std::set<std::string> names;
    // What the process that configures an interface asks for first.
    const VkChannelSettings firstRequest{44100, 2, 16, 2, 16, 0};
    for (const DeviceModel& m : kext::catalogue()) {
        SCOPED_TRACE(m.name);
        std::string error;
        EXPECT_TRUE(kext::validateModel(m, error)) << error;
        EXPECT_TRUE(names.insert(m.name).second) << "twice";
        EXPECT_FALSE(m.description.empty());
        const std::optional<DeviceModel> back = kext::parseModel(kext::modelToText(m), error);
        ASSERT_TRUE(back) << error;
        EXPECT_EQ(*back, m);

        const VIDPID id = idOf(m);
        const bool fixed = hasFixedInterfaceLayout(id);
        const VkChannelSettings s = kext::defaultSettings(m);
        EXPECT_TRUE(kext::canCarry(m, s));
        EXPECT_EQ(s.iFrequency, 48000u);
        EXPECT_GT(s.iInChannels, 0u);
        EXPECT_GT(s.iOutChannels, 0u);
        EXPECT_EQ(kext::canCarry(m, firstRequest), !fixed) << "a fixed layout has one 24-bit format";
        for (const kext::ControlModel& c : m.outputControls.sources)
            if (c.hasVolume && c.volumeChannels != kext::kMasterVolumeOnly) {
                EXPECT_LE(c.volumeChannels, 8);
                EXPECT_GE(c.volumeChannels, s.iOutChannels);
            }

        // Fixed layouts stream on interfaces 0 and 1; the bulk family on high speed uses bulk
        // endpoints, with input on interface 1.
        const bool bulk = id.isQuentaBulkDevice(true);
        const bool bulkIn = id.isQuentaBulkInIsocOutDevice(true);
        for (const kext::InterfaceModel& i : m.configurations.front().interfaces)
            for (const kext::AlternateModel& a : i.alternates) {
                if (!a.carriesFormat())
                    continue;
                const kext::EndpointModel& e = *a.dataEndpoint();
                EXPECT_EQ(e.kind == kext::EndpointKind::Bulk, m.highSpeed && (bulk || (bulkIn && e.isIn())));
                if (bulk && e.isIn()) {
                    EXPECT_EQ(i.number, 1);
                }
                if (fixed) {
                    EXPECT_EQ(a.setting, 1);
                    ASSERT_LT(i.number, 2);
                    EXPECT_EQ(e.isIn(), i.number == 1);
                }
            }

        kext::initStatusBlock(m, *block);
        for (const char* field : {block->sManufacturer, block->sAltDeviceName, block->sDeviceName, block->sModelUID})
            EXPECT_NE(std::memchr(field, 0, kStatusTextSize), nullptr);
        EXPECT_EQ(statusText(block->sDeviceName), m.deviceName);
        EXPECT_EQ(block->controls.output.entryCount(), m.outputControls.sources.size());
        EXPECT_EQ(block->controls.input.entryCount(), m.inputControls.sources.size());

        kext::buildDeviceInfo(m, *info);
        // The device layer finds the default settings and the bus carries them (its note on
        // the forced-mono pairs is not wanted here).
        VkChannelSettings found = s;
        APIDeviceInfoScanResult in, out;
        testing::internal::CaptureStderr();
        EXPECT_TRUE(findUsbConfiguration(*info, id, m.highSpeed, true, true, in, out, found,
                                         [&] { return unsigned(m.outBandwidth + m.inBandwidth); }));
        testing::internal::GetCapturedStderr();
        // The length served covers every byte in use and ends with the last alternate setting
        // and its interface's header, not with padding.
        const auto* bytes = reinterpret_cast<const uint8_t*>(info.get());
        const auto zero = [&](size_t from, size_t to) { return std::all_of(bytes + from, bytes + to, [](uint8_t b) { return b == 0; }); };
        const uint32_t length = kext::deviceInfoLength(m);
        ASSERT_LE(length, kAPIDeviceInfoSize);
        ASSERT_GE(length, sizeof(APIAltSettingInfo));
        EXPECT_TRUE(zero(length, kAPIDeviceInfoSize));
        EXPECT_FALSE(zero(length - sizeof(APIAltSettingInfo) - 4, length));
        ASSERT_EQ(info->iVendorId, m.vendorId);
        ASSERT_EQ(info->iProductId, m.productId);
        ASSERT_EQ(info->iConfigCount, m.configurations.size());
        ASSERT_LE(info->iConfigCount, kAPIMaxConfigurations);
        for (size_t c = 0; c < info->configCount(); ++c) {
            const APIConfigurationInfo& ci = info->configurations[c];
            ASSERT_LE(ci.iInterfaceCount, kAPIMaxInterfaces);
            for (size_t i = 0; i < ci.interfaceCount(); ++i) {
                ASSERT_LE(ci.interfaces[i].iAltSettingCount, kAPIMaxAltSettings);
                for (size_t a = 0; a < ci.interfaces[i].altSettingCount(); ++a) {
                    ASSERT_LE(ci.interfaces[i].altSettings[a].iEndpointCount, kAPIMaxEndpoints);
                    ASSERT_LE(ci.interfaces[i].altSettings[a].iRateCount, kAPIMaxDiscreteRates);
                }
            }
            for (uint32_t rate : {32000u, 44100u, 48000u, 64000u, 88200u, 96000u, 176400u, 192000u})
                for (uint8_t bits : {16, 20, 24, 32})
                    for (uint8_t channels = 1; channels <= 32; ++channels)
                        for (bool output : {false, true}) {
                            const bool seen = scanAPIDeviceInfo(*info, unsigned(c), rate, bits, channels, false, output).found;
                            VkChannelSettings v{rate, 0, bits, 0, bits, uint32_t(c)};
                            (output ? v.iOutChannels : v.iInChannels) = channels;
                            EXPECT_EQ(seen, kext::canCarry(m, v))
                                << (output ? "output " : "input ") << rate << " Hz " << int(bits) << " bits "
                                << int(channels) << " channels in configuration " << c;
                        }
        }
        // Past the scan: nothing in a configuration the model does not have.
        EXPECT_FALSE(scanAPIDeviceInfo(*info, unsigned(m.configurations.size()), 48000, 16, 2, false, true).found);
    }
}

// The device layer's own family tests over every product of the vendors in use, and the pairs
// the device object itself treats in its own way (alternative names, channel names, the
// transport by speed, monitoring by input pairs, sources tied to the clock sync).
TEST(CatalogueTest, EveryPairThatChangesBehaviourIsThereOnBothSpeeds)
{
    std::vector<VIDPID> pairs = {{0x7E0B, 0x0420}, {0x7E0B, 0x0223}, {0x7E0B, 0x07AF}, {0x7E03, 0x801E},
                                 {0x7E06, 0x0018}, {0x7E0E, 0x0104}, {0x7E0D, 0x6000}, {0x7E0C, 0x4040},
                                 {0x7E0F, 0x1000}};
    for (uint32_t vendor = 0x7E00; vendor <= 0x7E0F; ++vendor)
        for (uint32_t product = 0; product <= 0xFFFF; ++product)
            if (hasFamilyRules(VIDPID(uint16_t(vendor), uint16_t(product))))
                pairs.emplace_back(uint16_t(vendor), uint16_t(product));
    EXPECT_GT(pairs.size(), 40u);
    for (const VIDPID& pair : pairs) {
        bool high = false, full = false;
        for (const DeviceModel* m : modelsOf(pair))
            (m->highSpeed ? high : full) = true;
        EXPECT_TRUE(high && full) << std::hex << pair.vendorID << ":" << pair.productID;
    }
    // And one without rules, for the suite's plain behaviour.
    EXPECT_TRUE(std::any_of(kext::catalogue().begin(), kext::catalogue().end(),
                            [](const DeviceModel& m) { return !hasFamilyRules(idOf(m)); }));

    for (const DeviceModel& m : kext::catalogue())
        if (forcesMonoAtHighRates(idOf(m))) {
            SCOPED_TRACE(m.name);
            for (uint32_t rate : {88200u, 96000u}) {
                EXPECT_TRUE(kext::canCarry(m, {rate, 1, 24, 1, 24, 0}));
                EXPECT_TRUE(kext::canCarry(m, {rate, 2, 24, 0, 24, 0}));
                EXPECT_TRUE(kext::canCarry(m, {rate, 0, 24, 2, 24, 0}));
                EXPECT_FALSE(kext::canCarry(m, {rate, 4, 24, 0, 24, 0}));
            }
        }
}

} // namespace
