// A device model turned into the bytes the suite reads: the device information block, the status
// block, and the kernel's decision which channel settings it can run.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "kext/model/Catalogue.h"
#include "kext/model/DeviceModel.h"

namespace {

using kext::AlternateModel;
using kext::DeviceModel;
using kext::EndpointKind;

// Control interface 0; input on 1 (24-bit stereo up to 96 kHz, four 16-bit channels over a
// continuous range); output on 2 (24-bit stereo at the base rates, with feedback on full speed).
DeviceModel smallModel(bool highSpeed)
{
    DeviceModel m;
    m.name = "test-box";
    m.vendorId = 0x7E10;
    m.productId = 0x0010;
    m.highSpeed = highSpeed;
    m.manufacturer = "Quenta Audio";
    m.deviceName = "Test Box";
    m.altDeviceName = "Quenta Audio Test Box";
    m.modelUID = "test-box:7E10:0010";
    m.outBandwidth = 512;
    m.inBandwidth = 511;

    AlternateModel in1{1, 24, 2, false, 0, 0, {44100, 48000, 96000}, {{0x81, uint16_t(highSpeed ? 78 : 582), EndpointKind::Isochronous}}};
    AlternateModel in2{2, 16, 4, true, 32000, 48000, {}, {{0x81, uint16_t(highSpeed ? 56 : 392), EndpointKind::Isochronous}}};
    AlternateModel out1{1, 24, 2, false, 0, 0, {44100, 48000}, {{0x02, uint16_t(highSpeed ? 42 : 294), EndpointKind::Isochronous}}};
    if (!highSpeed)
        out1.endpoints.push_back({0x83, 3, EndpointKind::Feedback});
    m.configurations = {{1, {{0, {AlternateModel{}}}, {1, {AlternateModel{}, in1, in2}}, {2, {AlternateModel{}, out1}}}}};

    m.outputControls.sourceMask = 1;
    m.outputControls.sources = {{"Main Out", true, false, true, 2, -24576, -1536, 0}};
    m.inputControls.shared = true;
    m.inputControls.sourceMask = 2;
    m.inputControls.sources = {{"Mic", true, true, true, kext::kMasterVolumeOnly, 0, 1280, 12288}, {"Line"}};
    return m;
}

bool allBytes(const void* p, size_t from, size_t to, uint8_t value)
{
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t k = from; k < to; ++k)
        if (b[k] != value)
            return false;
    return true;
}

TEST(StatusBlockTest, PowersUpUnconfiguredWithTheModelsTextsAndControls)
{
    DeviceModel m = smallModel(false);
    m.syncSelector = 2;
    m.deviceName = std::string(255, 'x');
    m.modelUID = std::string(300, 'y'); // beyond the field: cut, still terminated
    auto block = std::make_unique<KernelStatusBlock>();
    std::memset(block.get(), 0xEE, sizeof *block);
    kext::initStatusBlock(m, *block);

    EXPECT_EQ(block->iVersion, kInterfaceVersion);
    EXPECT_EQ(block->bHighSpeed, 0u);
    EXPECT_EQ(statusText(block->sManufacturer), "Quenta Audio");
    EXPECT_EQ(statusText(block->sAltDeviceName), "Quenta Audio Test Box");
    EXPECT_EQ(statusText(block->sDeviceName), m.deviceName);
    EXPECT_EQ(block->sDeviceName[255], '\0');
    EXPECT_EQ(statusText(block->sModelUID), std::string(255, 'y'));
    EXPECT_TRUE(allBytes(block->sManufacturer, 12, kStatusTextSize, 0));

    // Unconfigured, nobody streaming, no input owner.
    EXPECT_EQ(block->bConfigured, 0u);
    EXPECT_EQ(block->channels, VkChannelSettings{});
    EXPECT_TRUE(allBytes(&block->clientBlock, 0, sizeof block->clientBlock, 0));
    EXPECT_EQ(block->inputOwnerToken(), 0u);

    const ControlsBlock& out = block->controls.output;
    EXPECT_EQ(out.entries[0].name(), "Main Out");
    EXPECT_EQ(out.entries[0].volumeOf(2)->iCurrent, -1536);
    EXPECT_EQ(out.entries[0].volumeOf(1)->iMin, -24576);
    EXPECT_TRUE(allBytes(out.entries[0].volumeOf(3), 0, sizeof(ControlsVolume), 0)); // no third channel
    EXPECT_TRUE(allBytes(&out.entries[1], 0, sizeof(ControlsEntry) * 7, 0));

    const ControlsBlock& in = block->controls.input;
    EXPECT_EQ(in.iSourceMask, 2);
    EXPECT_EQ(in.activeEntry(), &in.entries[0]); // shared controls
    EXPECT_EQ(in.entries[0].volumeOf(0)->iMax, 12288);
    EXPECT_EQ(in.entries[1].bHasVolume, 0u);
    EXPECT_EQ(block->controls.iSyncSelector, 2);
}

// Rates, depths and channel counts one direction at a time are the catalogue sweep's, against the
// device layer's own search; here the combinations.
TEST(CanCarryTest, TakesWhatTheDescriptorsOfferAndNothingElse)
{
    const struct {
        VkChannelSettings settings;
        bool carried;
        const char* what;
    } cases[] = {
        {{48000, 2, 24, 2, 24, 0}, true, "both directions"},
        {{44100, 4, 16, 2, 24, 0}, true, "the range's format"},
        {{44100, 0, 0, 2, 24, 0}, true, "input off, its bits ignored"},
        {{48000, 6, 24, 2, 24, 0}, false, "too many input channels"},
        {{50000, 4, 16, 0, 16, 0}, false, "above the range"},
        {{48000, 0, 24, 4, 16, 0}, false, "an input format asked for as output"},
        {{48000, 2, 24, 2, 24, 1}, false, "no second configuration"},
        {{48000, 0, 24, 0, 24, 0}, false, "both directions off"},
    };
    for (bool highSpeed : {true, false})
        for (const auto& c : cases)
            EXPECT_EQ(kext::canCarry(smallModel(highSpeed), c.settings), c.carried)
                << c.what << (highSpeed ? " on high speed" : " on full speed");
}

TEST(CanCarryTest, EndpointsAndBusLimitTheStreams)
{
    DeviceModel m = smallModel(false);
    // An endpoint too small for a full-speed frame of 96 kHz stereo.
    m.configurations[0].interfaces[1].alternates[1].endpoints[0].maxPacketSize = 500;
    EXPECT_TRUE(kext::canCarry(m, {48000, 2, 24, 0, 24, 0}));
    EXPECT_FALSE(kext::canCarry(m, {96000, 2, 24, 0, 24, 0}));

    // Only the sum of requests 15 and 16 binds: 2 x 288 bytes per millisecond at 48 kHz.
    m = smallModel(false);
    m.outBandwidth = 300;
    m.inBandwidth = 276;
    EXPECT_TRUE(kext::canCarry(m, {48000, 2, 24, 2, 24, 0}));
    m.inBandwidth = 275;
    EXPECT_FALSE(kext::canCarry(m, {48000, 2, 24, 2, 24, 0}));
    EXPECT_TRUE(kext::canCarry(m, {48000, 2, 24, 0, 24, 0}));

    // High speed counts eight micro-frames to the millisecond.
    m = smallModel(true);
    m.outBandwidth = 72;
    m.inBandwidth = 0;
    EXPECT_TRUE(kext::canCarry(m, {48000, 2, 24, 2, 24, 0}));
    m.outBandwidth = 71;
    EXPECT_FALSE(kext::canCarry(m, {48000, 2, 24, 2, 24, 0}));

    // Bulk streams reserve nothing.
    m.configurations[0].interfaces[1].alternates[1].endpoints[0] = {0x81, 512, EndpointKind::Bulk};
    EXPECT_TRUE(kext::canCarry(m, {48000, 2, 24, 2, 24, 0}));
    m.outBandwidth = 0;
    EXPECT_TRUE(kext::canCarry(m, {96000, 2, 24, 0, 24, 0}));
    EXPECT_FALSE(kext::canCarry(m, {48000, 2, 24, 2, 24, 0}));
}

TEST(DefaultSettingsTest, PrefersFortyEightKilohertzTwentyFourBitsAndBothDirections)
{
    DeviceModel m = smallModel(true);
    EXPECT_EQ(kext::defaultSettings(m), (VkChannelSettings{48000, 2, 24, 2, 24, 0}));

    // Without 48 kHz: 44.1 kHz; with more channels only at 16 bits, 24 bits still win.
    for (kext::InterfaceModel& i : m.configurations[0].interfaces)
        for (AlternateModel& a : i.alternates)
            if (!a.continuous && a.carriesFormat())
                a.rates = {44100, 96000};
    m.configurations[0].interfaces[1].alternates[2].rateMax = 44100;
    EXPECT_EQ(kext::defaultSettings(m), (VkChannelSettings{44100, 2, 24, 2, 24, 0}));

    // One direction only: the other is off and keeps its bit depth.
    m = smallModel(true);
    m.configurations[0].interfaces.pop_back();
    EXPECT_EQ(kext::defaultSettings(m), (VkChannelSettings{48000, 2, 24, 0, 24, 0}));
    // With nothing that fits a model is refused (ValidateModelTest).
}

TEST(ValidateModelTest, ABrokenFieldIsNamed)
{
    std::string valid;
    ASSERT_TRUE(kext::validateModel(smallModel(true), valid)) << valid;
    ASSERT_TRUE(kext::validateModel(smallModel(false), valid)) << valid;
    using Change = std::function<void(DeviceModel&)>;
    const auto alt = [](DeviceModel& m) -> AlternateModel& { return m.configurations[0].interfaces[1].alternates[1]; };
    const struct {
        const char* what;
        Change change;
        const char* expected;
    } cases[] = {
        {"upper-case name", [](DeviceModel& m) { m.name = "Test"; }, "[device] name"},
        {"no manufacturer", [](DeviceModel& m) { m.manufacturer.clear(); }, "[device] manufacturer: missing"},
        {"non-ASCII text", [](DeviceModel& m) { m.altDeviceName = "Caf\xC3\xA9"; }, "[device] alt-device-name"},
        {"pair routing without pairs", [](DeviceModel& m) { m.canMonitor = true; m.monitor = 34; }, "[device] monitor: 34"},
        {"configuration value twice", [](DeviceModel& m) { m.configurations.push_back(m.configurations[0]); }, "[configuration 1] listed twice"},
        {"range upside down", [](DeviceModel& m) { std::swap(m.configurations[0].interfaces[1].alternates[2].rateMin, m.configurations[0].interfaces[1].alternates[2].rateMax); }, "[alternate 1.1.2] range"},
        {"huge packet", [&](DeviceModel& m) { alt(m).endpoints[0].maxPacketSize = 1025; }, "isochronous packet"},
        {"only feedback", [&](DeviceModel& m) { alt(m).endpoints = {{0x85, 4, EndpointKind::Feedback}}; }, "no endpoint carries the audio"},
        {"shared endpoint", [](DeviceModel& m) { m.configurations[0].interfaces[2].alternates[1].endpoints[0].address = 0x81; }, "belongs to another interface"},
        {"volume above max", [](DeviceModel& m) { m.outputControls.sources[0].volumeCurrent = 10; }, "[control.output.1] volume"},
        {"mask beyond sources", [](DeviceModel& m) { m.inputControls.sourceMask = 4; }, "[controls.input] source-mask"},
        {"nothing fits", [](DeviceModel& m) {
             for (auto& i : m.configurations[0].interfaces)
                 for (auto& a : i.alternates)
                     for (auto& e : a.endpoints)
                         e.maxPacketSize = 4;
         }, "no format"},
    };
    for (const auto& c : cases) {
        DeviceModel m = smallModel(true);
        c.change(m);
        std::string error;
        EXPECT_FALSE(kext::validateModel(m, error)) << c.what;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": " << error;
    }
}

} // namespace
