// The catalogue: every vendor:product pair the suite treats in its own way is there on both
// speeds, and every model's block reads back as the kernel means it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "kext/model/Catalogue.h"
#include "kext/model/ModelFile.h"
#include "tests/kext/model/DeviceLayerView.h"

namespace {

using kext::DeviceModel;
using namespace deviceview;

const DeviceModel& model(const char* name)
{
    const DeviceModel* m = kext::findModel(name);
    if (m == nullptr)
        throw std::runtime_error(std::string("no model ") + name);
    return *m;
}

std::vector<const DeviceModel*> modelsOf(Pair pair)
{
    std::vector<const DeviceModel*> out;
    for (const DeviceModel& m : kext::catalogue())
        if (m.vendorId == pair.first && m.productId == pair.second)
            out.push_back(&m);
    return out;
}

TEST(CatalogueTest, DefaultInterfaceComesFirstWithItsVariants)
{
    const DeviceModel& first = kext::catalogue().front();
    EXPECT_EQ(first.name, "tarsel");
    EXPECT_EQ(first.vendorId, 0x7E01);
    EXPECT_EQ(first.productId, 0x0003);
    EXPECT_TRUE(first.highSpeed);
    EXPECT_FALSE(first.tiger);
    EXPECT_EQ(first.deviceName, "Tarsel");
    EXPECT_EQ(first.interfaceVersion, kInterfaceVersion);

    const DeviceModel& fs = model("tarsel-fs");
    EXPECT_FALSE(fs.highSpeed);
    EXPECT_EQ(fs.productId, 0x0003);
    const DeviceModel& tiger = model("tarsel-tiger");
    EXPECT_TRUE(tiger.tiger);
    EXPECT_TRUE(tiger.highSpeed);
    EXPECT_EQ(tiger.configurations, first.configurations);

    EXPECT_EQ(kext::findModel("no-such-model"), nullptr);
    EXPECT_EQ(kext::findModel(""), nullptr);
    EXPECT_EQ(kext::findModel("tarsel"), &first);
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

        const bool fixed = inTable(kFixedLayout, m.vendorId, m.productId);
        const VkChannelSettings s = kext::defaultSettings(m);
        EXPECT_TRUE(kext::canCarry(m, s));
        EXPECT_EQ(s.iFrequency, 48000u);
        EXPECT_GT(s.iInChannels, 0u);
        EXPECT_GT(s.iOutChannels, 0u);
        EXPECT_TRUE(deviceLayerBandwidthOk(m.vendorId, m.productId, m.highSpeed, m.outBandwidth, m.inBandwidth,
                                           s.iFrequency, s.iInChannels, s.iInBits, s.iOutChannels, s.iOutBits));
        EXPECT_EQ(kext::canCarry(m, firstRequest), !fixed) << "a fixed layout has one 24-bit format";
        for (const kext::ControlModel& c : m.outputControls.sources)
            if (c.hasVolume && c.volumeChannels != kext::kMasterVolumeOnly) {
                EXPECT_LE(c.volumeChannels, 8);
                EXPECT_GE(c.volumeChannels, s.iOutChannels);
            }

        // Fixed layouts stream on interfaces 0 and 1; the bulk family on high speed uses bulk
        // endpoints, with input on interface 1.
        const bool bulk = inTable(kBulkFamily, m.vendorId, m.productId);
        const bool bulkIn = inTable(kBulkInIsocOutFamily, m.vendorId, m.productId);
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

        // Full speed carries the high rates one way or in mono.
        if (!m.highSpeed && !fixed && m.productId != 0x0001 && m.name.rfind("greyhaven-cask-223", 0) != 0) {
            for (uint32_t rate : {88200u, 96000u}) {
                EXPECT_TRUE(kext::canCarry(m, {rate, 2, 24, 0, 24, 0}));
                EXPECT_TRUE(kext::canCarry(m, {rate, 0, 24, 2, 24, 0}));
                EXPECT_TRUE(kext::canCarry(m, {rate, 1, 24, 1, 24, 0}));
                EXPECT_FALSE(kext::canCarry(m, {rate, 2, 24, 2, 24, 0})) << "exceeds a full-speed frame";
            }
            EXPECT_FALSE(kext::canCarry(m, {192000, 2, 24, 0, 24, 0}));
        }

        kext::initStatusBlock(m, *block);
        for (const char* field : {block->sManufacturer, block->sAltDeviceName, block->sDeviceName, block->sModelUID})
            EXPECT_NE(std::memchr(field, 0, kStatusTextSize), nullptr);
        EXPECT_EQ(statusText(block->sDeviceName), m.deviceName);
        EXPECT_EQ(block->controls.output.entryCount(), m.outputControls.sources.size());
        EXPECT_EQ(block->controls.input.entryCount(), m.inputControls.sources.size());

        kext::buildDeviceInfo(m, *info);
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
                            const bool seen = scan(*info, c, rate, bits, channels, false, output).found;
                            VkChannelSettings v{rate, 0, bits, 0, bits, uint32_t(c)};
                            (output ? v.iOutChannels : v.iInChannels) = channels;
                            EXPECT_EQ(seen, kext::canCarry(m, v))
                                << (output ? "output " : "input ") << rate << " Hz " << int(bits) << " bits "
                                << int(channels) << " channels in configuration " << c;
                        }
        }
        // Past the scan: nothing in a configuration the model does not have.
        EXPECT_FALSE(scan(*info, m.configurations.size(), 48000, 16, 2, false, true).found);
    }
}

TEST(CatalogueTest, EveryPairThatChangesBehaviourIsThereOnBothSpeeds)
{
    std::vector<Pair> pairs;
    for (auto table : {kBulkFamily, kBulkInIsocOutFamily, kMarlowCompatible, kFixedLayout, kForcedMono,
                       kOneBitDepth, kAlternativeName, kChannelNames, kTransportBySpeed})
        pairs.insert(pairs.end(), table.begin(), table.end());
    pairs.push_back(kMonitorByPairs);
    pairs.push_back(kSyncSources);
    for (const Pair& pair : pairs) {
        bool high = false, full = false;
        for (const DeviceModel* m : modelsOf(pair))
            (m->highSpeed ? high : full) = true;
        EXPECT_TRUE(high && full) << std::hex << pair.first << ":" << pair.second;
    }
    // And one that is in no table, for the suite's plain behaviour.
    bool plain = false;
    for (const DeviceModel& m : kext::catalogue()) {
        const auto in = [&](std::initializer_list<Pair> t) { return inTable(t, m.vendorId, m.productId); };
        plain = plain
            || !(in(kMarlowCompatible) || in(kForcedMono) || in(kOneBitDepth) || in(kAlternativeName)
                 || Pair{m.vendorId, m.productId} == kSyncSources);
    }
    EXPECT_TRUE(plain);
}

TEST(CatalogueTest, ForcedMonoModelsOfferTheForcedChoice)
{
    for (const Pair& pair : kForcedMono)
        for (const DeviceModel* m : modelsOf(pair)) {
            SCOPED_TRACE(m->name);
            for (uint32_t rate : {88200u, 96000u}) {
                EXPECT_TRUE(kext::canCarry(*m, {rate, 1, 24, 1, 24, 0}));
                EXPECT_TRUE(kext::canCarry(*m, {rate, 2, 24, 0, 24, 0}));
                EXPECT_TRUE(kext::canCarry(*m, {rate, 0, 24, 2, 24, 0}));
                EXPECT_FALSE(kext::canCarry(*m, {rate, 4, 24, 0, 24, 0}));
            }
        }
}

TEST(CatalogueTest, ModelsForSpecialBehaviourHaveWhatItNeeds)
{
    // Monitoring by input pairs: four inputs at the base rates.
    for (const DeviceModel* m : modelsOf(kMonitorByPairs)) {
        EXPECT_TRUE(m->canMonitor);
        EXPECT_TRUE(m->monitorPairs);
        EXPECT_EQ(m->monitor, 0u);
    }
    EXPECT_TRUE(kext::canCarry(model("redmoor-r4-hs"), {48000, 4, 24, 2, 24, 0}));

    // Sources tied to the clock sync: two physical inputs, the first selected, internal sync.
    for (const DeviceModel* m : modelsOf(kSyncSources)) {
        ASSERT_EQ(m->inputControls.sources.size(), 2u);
        EXPECT_EQ(m->inputControls.sourceMask, 1);
        EXPECT_EQ(m->syncSelector, 1);
    }

    for (const Pair& pair : kAlternativeName)
        for (const DeviceModel* m : modelsOf(pair)) {
            EXPECT_FALSE(m->altDeviceName.empty());
            EXPECT_NE(m->altDeviceName, m->deviceName);
        }

    // Named channels need the channels on high speed.
    struct {
        const char* name;
        uint32_t in, out;
    } named[] = {{"brightwater-mixer-10-hs", 16, 2}, {"wrenfield-w6-hs", 6, 4},
                 {"wrenfield-w10-hs", 10, 4}, {"wrenfield-w2-hs", 2, 2}};
    for (const auto& n : named) {
        const VkChannelSettings s = kext::defaultSettings(model(n.name));
        EXPECT_EQ(s.iInChannels, n.in) << n.name;
        EXPECT_EQ(s.iOutChannels, n.out) << n.name;
    }

    // The Marlow format list goes up to 32 channels.
    EXPECT_TRUE(kext::canCarry(model("marlow-rack-32-hs"), {96000, 32, 24, 16, 24, 0}));
    EXPECT_EQ(model("tarsel").outputControls.sources.at(0).volumeChannels, 8);
    // Four channels of 16 bits on full speed.
    EXPECT_EQ(model("tarsel-fs").outputControls.sources.at(0).volumeChannels, 4);
}


} // namespace
