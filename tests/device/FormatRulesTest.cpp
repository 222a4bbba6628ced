#include "device/FormatRules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <tuple>
#include <vector>

#include "kext/model/Catalogue.h"

namespace {

using InfoPtr = std::unique_ptr<APIDeviceInfo>;

// Exactly the block's size on the heap, so that AddressSanitizer sees any read past it.
InfoPtr blankInfo(uint16_t vendor, uint16_t product)
{
    auto info = std::make_unique<APIDeviceInfo>();
    info->iVendorId = vendor;
    info->iProductId = product;
    info->iConfigCount = 1;
    return info;
}

APIInterfaceInfo& addInterface(APIDeviceInfo& info, uint8_t number)
{
    APIConfigurationInfo& c = info.configurations[0];
    APIInterfaceInfo& i = c.interfaces[c.iInterfaceCount++];
    i.iInterfaceNumber = number;
    return i;
}

APIAltSettingInfo& addAlt(APIInterfaceInfo& i, uint8_t setting, uint8_t bits, uint8_t channels,
                          std::initializer_list<uint32_t> rates, uint8_t address, uint16_t packet = 200)
{
    APIAltSettingInfo& a = i.altSettings[i.iAltSettingCount++];
    a.iAltSetting = setting;
    a.iBitResolution = bits;
    a.iChannels = channels;
    a.iRateType = 1;
    for (uint32_t r : rates)
        a.iRates[a.iRateCount++] = r;
    a.iEndpointCount = 1;
    a.endpoints[0] = {packet, address, 0};
    return a;
}

InfoPtr modelInfo(const char* name)
{
    const kext::DeviceModel* model = kext::findModel(name);
    EXPECT_NE(model, nullptr) << name;
    auto info = std::make_unique<APIDeviceInfo>();
    if (model)
        kext::buildDeviceInfo(*model, *info);
    return info;
}

VIDPID idOf(const APIDeviceInfo& info) { return VIDPID(info.iVendorId, info.iProductId); }

using Words = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t>;
Words words(const VkChannelSettings& cs)
{
    return {cs.iFrequency, cs.iInChannels, cs.iInBits, cs.iOutChannels, cs.iOutBits, cs.iConfiguration};
}

// What chooseSettingsForRate answers: whether it chose, the settings, whether they differ from
// the current ones. A refusal leaves the result as it was: zeros here.
using Choice = std::tuple<bool, Words, bool>;
Choice choose(const APIDeviceInfo& info, bool highSpeed, const VkChannelSettings& current, uint32_t trueInChannels,
              bool input, unsigned rate, const RateLimits& limits = {})
{
    bool changed = true;
    VkChannelSettings result{};
    const bool chose = chooseSettingsForRate(info, idOf(info), highSpeed, current, trueInChannels, input, rate, limits,
                                             changed, result);
    return {chose, words(result), changed};
}
Choice chosen(const VkChannelSettings& result, bool changed) { return {true, words(result), changed}; }
const Choice kRefused{false, Words{}, false};

// Found, configuration, interface and alternate indices, rate, bits, channels.
using Scan = std::tuple<bool, unsigned, unsigned, unsigned, uint32_t, unsigned, unsigned>;
Scan scanned(const APIDeviceInfoScanResult& r)
{
    return {r.found, r.configIndex, r.interfaceIndex, r.altIndex, r.sampleRate, r.bits, r.channels};
}

// Rate, format, flags, bytes per packet, frames per packet, bytes per frame, channels, bits.
using Description = std::tuple<double, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t>;
Description described(const AudioStreamBasicDescription& f)
{
    return {f.mSampleRate, f.mFormatID, f.mFormatFlags, f.mBytesPerPacket, f.mFramesPerPacket, f.mBytesPerFrame,
            f.mChannelsPerFrame, f.mBitsPerChannel};
}

const KernelBandwidthQuery kNoQuery = [] {
    ADD_FAILURE() << "the bus budget of this family is fixed";
    return 0u;
};

} // namespace

TEST(FormatRulesBandwidth, BytesPerSampleCalcBWAndBusNeeds)
{
    using Pair = std::pair<unsigned, unsigned>;
    for (auto [bits, bytes] : {Pair{16, 2}, Pair{20, 3}, Pair{24, 3}, Pair{32, 4}, Pair{8, 0}, Pair{28, 0}, Pair{0, 0}}) {
        EXPECT_EQ(getBytesFromBits(bits), bytes) << bits;
        EXPECT_EQ(ZmAudio__bytesFromBits(bits), bytes) << bits;
    }

    EXPECT_EQ(calcBW(3, 2, 7), 3 * 8 * 89);
    for (auto [r, b] : {std::pair{5L, 0L}, std::pair{-1L, 0L}, std::pair{0L, 4L}, std::pair{0L, -1L}})
        EXPECT_EQ(calcBW(r, b, 0), 800) << r << "," << b;

    APIDeviceInfoScanResult in{true, 0, 1, 2, 44100, 24, 2}, out{true, 0, 2, 1, 44100, 16, 3};
    EXPECT_EQ(usbCalculateBandwidth(in, out), 264u + 264u) << "each direction truncated on its own";
    out.found = false;
    EXPECT_EQ(usbCalculateBandwidth(in, out), 264u);
    in.found = false;
    EXPECT_EQ(usbCalculateBandwidth(in, out), 0u);
    APIDeviceInfoScanResult huge{true, 0, 0, 0, 0xFFFFFFFF, 32, 255};
    EXPECT_EQ(usbCalculateBandwidth(huge, huge), 0xFFFFFFFFu) << "saturates instead of wrapping";
}

TEST(FormatRulesScan, MatchesFormatAndRateAndRecordsWhereItLooked)
{
    InfoPtr info = blankInfo(0x7E01, 0x0001);
    APIInterfaceInfo& i0 = addInterface(*info, 0);
    addAlt(i0, 1, 16, 2, {44100, 48000}, 0x01);
    APIAltSettingInfo& limited = addAlt(i0, 2, 24, 2, {44100}, 0x01);
    limited.iRates[1] = 96000; // present but beyond the rate count
    APIInterfaceInfo& i1 = addInterface(*info, 1);
    addAlt(i1, 0, 0, 0, {}, 0x81).iEndpointCount = 0;
    APIAltSettingInfo& cont = addAlt(i1, 1, 24, 4, {}, 0x81);
    cont.iRateType = 0;
    cont.iRateMin = 32000;
    cont.iRateMax = 48000;

    // Not found: the indices are those of the last alternate looked at.
    const struct {
        uint8_t config;
        uint32_t rate;
        uint8_t bits, channels;
        bool noContinuous, output;
        Scan expected;
        const char* why;
    } cases[] = {
        {0, 48000, 16, 2, false, true, {true, 0, 0, 0, 48000, 16, 2}, ""},
        {0, 48000, 24, 2, false, true, {false, 0, 1, 1, 48000, 24, 2}, "48 kHz is not offered at 24 bits"},
        {0, 96000, 24, 2, false, true, {false, 0, 1, 1, 96000, 24, 2}, "rate beyond the count"},
        {0, 48000, 16, 1, false, true, {false, 0, 1, 1, 48000, 16, 1}, ""},
        {0, 44100, 24, 4, false, false, {true, 0, 1, 1, 44100, 24, 4}, ""},
        {0, 32000, 24, 4, false, false, {true, 0, 1, 1, 32000, 24, 4}, "range is inclusive"},
        {0, 48001, 24, 4, false, false, {false, 0, 1, 1, 48001, 24, 4}, ""},
        {0, 44100, 24, 4, true, false, {false, 0, 1, 1, 44100, 24, 4}, "continuous range excluded"},
        {0, 44100, 32, 2, false, true, {false, 0, 1, 1, 44100, 32, 2}, ""},
        {1, 48000, 16, 2, false, true, {false, 1, 0, 0, 48000, 16, 2}, "configuration beyond the count"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(scanned(scanAPIDeviceInfo(*info, c.config, c.rate, c.bits, c.channels, c.noContinuous, c.output)),
                  c.expected)
            << c.rate << " Hz " << int(c.bits) << "x" << int(c.channels) << " " << c.why;
}

TEST(FormatRulesScan, EndpointRulesByFamily)
{
    // Any family: a packet above 3 bytes pointing the right way.
    InfoPtr other = blankInfo(0x7E01, 0x0001);
    APIInterfaceInfo& o = addInterface(*other, 2);
    addAlt(o, 1, 16, 2, {48000}, 0x83, 3); // feedback-sized
    addAlt(o, 2, 24, 2, {48000}, 0x83, 4);
    EXPECT_FALSE(scanAPIDeviceInfo(*other, 0, 48000, 16, 2, false, false).found);
    EXPECT_TRUE(scanAPIDeviceInfo(*other, 0, 48000, 24, 2, false, false).found) << "input on any interface number";
    EXPECT_FALSE(scanAPIDeviceInfo(*other, 0, 48000, 24, 2, false, true).found) << "an IN endpoint is no output";
    APIAltSettingInfo& second = o.altSettings[0];
    second.iEndpointCount = 2;
    second.endpoints[1] = {64, 0x83, 0};
    EXPECT_TRUE(scanAPIDeviceInfo(*other, 0, 48000, 16, 2, false, false).found) << "a later endpoint qualifies";

    // Bulk family: input only on interface number 1 (the field, not the position); output anywhere.
    InfoPtr bulk = blankInfo(0x7E01, 0x0003);
    APIInterfaceInfo& first = addInterface(*bulk, 1);
    addAlt(first, 1, 24, 2, {48000}, 0x81);
    APIInterfaceInfo& other0 = addInterface(*bulk, 0);
    addAlt(other0, 1, 24, 4, {48000}, 0x81);
    addAlt(other0, 2, 24, 4, {48000}, 0x02);
    EXPECT_EQ(scanned(scanAPIDeviceInfo(*bulk, 0, 48000, 24, 2, false, false)), Scan(true, 0, 0, 0, 48000, 24, 2));
    EXPECT_FALSE(scanAPIDeviceInfo(*bulk, 0, 48000, 24, 4, false, false).found);
    EXPECT_TRUE(scanAPIDeviceInfo(*bulk, 0, 48000, 24, 4, false, true).found);

    // Fixed layout: the place decides, not the endpoint; but an alternate without endpoints never.
    InfoPtr fixed = blankInfo(0x7E04, 0x0070);
    APIInterfaceInfo& out0 = addInterface(*fixed, 0);
    addAlt(out0, 1, 24, 6, {48000}, 0x81, 1);
    addAlt(out0, 2, 24, 4, {48000}, 0x01);
    APIInterfaceInfo& in1 = addInterface(*fixed, 1);
    addAlt(in1, 1, 24, 6, {48000}, 0x02, 1);
    addAlt(in1, 1, 24, 2, {48000}, 0x82).iEndpointCount = 0;
    EXPECT_TRUE(scanAPIDeviceInfo(*fixed, 0, 48000, 24, 6, false, true).found);
    EXPECT_EQ(scanned(scanAPIDeviceInfo(*fixed, 0, 48000, 24, 6, false, false)), Scan(true, 0, 1, 0, 48000, 24, 6));
    EXPECT_FALSE(scanAPIDeviceInfo(*fixed, 0, 48000, 24, 4, false, true).found) << "alternate setting 2";
    EXPECT_FALSE(scanAPIDeviceInfo(*fixed, 0, 48000, 24, 2, false, false).found) << "no endpoints";
}

TEST(FormatRulesScan, HostileCountsStayInsideTheBlock)
{
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0xFF, sizeof *info);
    for (unsigned config : {0u, 3u, 4u, 255u})
        for (bool output : {false, true})
            for (unsigned rate : {0xFFFFFFFFu, 48000u})
                scanAPIDeviceInfo(*info, config, rate, 255, 255, rate == 48000, output);
    EXPECT_TRUE(scanAPIDeviceInfo(*info, 3, 0xFFFFFFFF, 255, 255, false, false).found)
        << "every alternate offers that rate through an IN endpoint";
    EXPECT_EQ(scanned(scanAPIDeviceInfo(*info, 3, 0xFFFFFFFF, 255, 255, false, true)),
              Scan(false, 3, kAPIMaxInterfaces - 1, kAPIMaxAltSettings - 1, 0xFFFFFFFF, 255, 255));

    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    fillCaps(*info, *caps);
    EXPECT_EQ(caps->configCount, kCapsConfigurations);
    EXPECT_FALSE(rateSupportedByCaps(*caps, 48000));
    EXPECT_TRUE(enumerateFormats(*info, idOf(*info), true, true, false, 0).empty());

    VkChannelSettings cs{0xFFFFFFFF, 255, 255, 255, 255, 0};
    APIDeviceInfoScanResult in, out;
    EXPECT_FALSE(findUsbConfiguration(*info, idOf(*info), true, true, true, in, out, cs, [] { return 0xFFFFFFFFu; }));
    EXPECT_EQ(choose(*info, true, cs, 2, true, 48000), kRefused);
}

TEST(FormatRulesRates, CapsAndSampleRates)
{
    InfoPtr tarsel = modelInfo("tarsel");
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    std::memset(caps.get(), 0x5A, sizeof *caps);
    fillCaps(*tarsel, *caps);
    EXPECT_EQ(caps->configCount, 1u);
    const XsConfigurationCaps& k = caps->configurations[0];
    // 48 kHz, 24 bits, 8 channels in and 96 kHz, 16 bits, 2 channels out; not 3 channels, 20 bits
    // or 32 kHz.
    EXPECT_EQ(std::tuple(k.inSupported[2][2][7], k.outSupported[4][0][1], k.inSupported[2][2][2],
                         k.inSupported[2][1][1], k.outSupported[0][0][1]),
              std::tuple(1, 1, 0, 0, 0));
    EXPECT_EQ(caps->configurations[1].inWeight[0][0][0], 0) << "the whole record is cleared";

    EXPECT_EQ(std::pair(capsRateIndex(88200), capsRateIndex(64000)), std::pair(3, -1));
    EXPECT_EQ(std::tuple(rateSupportedByCaps(*caps, 44100), rateSupportedByCaps(*caps, 32000),
                         rateSupportedByCaps(*caps, 192000)),
              std::tuple(true, false, false))
        << "192 kHz is offered, but not a table rate";

    using Rates = std::vector<uint32_t>;
    EXPECT_EQ(supportedSampleRates(*tarsel, {}), (Rates{44100, 48000, 88200, 96000}));
    EXPECT_EQ(supportedSampleRates(*modelInfo("tarsel-lite-fs"), {}), (Rates{32000, 44100, 48000}));
    EXPECT_EQ(supportedSampleRates(*tarsel, {true, 64000, false, 0}), Rates{64000}) << "the rate in force alone";
    EXPECT_EQ(supportedSampleRates(*tarsel, {false, 0, true, 48000}), Rates{48000});
    EXPECT_EQ(supportedSampleRates(*tarsel, {false, 0, true, 32000}), Rates{});

    EXPECT_EQ(std::tuple(canSampleRate(*tarsel, 96000, {}), canSampleRate(*tarsel, 96000, {true, 48000, false, 0}),
                         canSampleRate(*tarsel, 48000, {true, 48000, false, 0}),
                         canSampleRate(*tarsel, 96000, {false, 0, true, 48000}),
                         canSampleRate(*tarsel, 48000 + (1UL << 32), {})),
              std::tuple(true, false, true, false, false));
}

TEST(FormatRulesFind, FullSpeedChannelRules)
{
    InfoPtr fs = modelInfo("tarsel-fs");
    const VIDPID id = idOf(*fs);
    APIDeviceInfoScanResult in, out;
    struct Case {
        VkChannelSettings request;
        bool inputLed, statusMapped, highSpeed;
        VkChannelSettings expected;
    };
    const Case cases[] = {
        {{96000, 2, 24, 2, 24, 0}, true, true, false, {96000, 2, 24, 0, 24, 0}},  // stereo in: output off
        {{96000, 1, 24, 2, 24, 0}, true, true, false, {96000, 1, 24, 1, 24, 0}},  // mono in: mono out
        {{96000, 4, 16, 2, 16, 0}, true, true, false, {96000, 0, 16, 2, 16, 0}},  // more: the lead goes off
        {{88200, 2, 24, 2, 24, 0}, false, true, false, {88200, 0, 24, 2, 24, 0}},
        {{96000, 2, 16, 1, 16, 0}, false, true, false, {96000, 1, 16, 1, 16, 0}},
        {{48000, 0, 16, 2, 24, 0}, true, true, false, {48000, 2, 16, 2, 24, 0}},  // off takes the other's count
        {{48000, 2, 24, 0, 24, 0}, false, true, false, {48000, 2, 24, 2, 24, 0}},
        {{96000, 2, 16, 2, 16, 0}, true, false, false, {96000, 2, 16, 2, 16, 0}}, // no status block
        {{48000, 0, 16, 2, 24, 0}, true, false, false, {48000, 0, 16, 2, 24, 0}},
    };
    for (const Case& c : cases) {
        VkChannelSettings cs = c.request;
        EXPECT_TRUE(findUsbConfiguration(*fs, id, c.highSpeed, c.statusMapped, c.inputLed, in, out, cs, kNoQuery));
        EXPECT_EQ(words(cs), words(c.expected)) << c.request.iFrequency << " " << c.request.iInChannels << "/"
                                                << c.request.iOutChannels;
        EXPECT_EQ(in.found, cs.iInChannels != 0);
        EXPECT_EQ(out.found, cs.iOutChannels != 0);
    }
    // High speed keeps both directions at 96 kHz.
    InfoPtr hs = modelInfo("tarsel");
    VkChannelSettings cs{96000, 2, 24, 2, 24, 0};
    EXPECT_TRUE(findUsbConfiguration(*hs, idOf(*hs), true, true, true, in, out, cs, kNoQuery));
    EXPECT_EQ(words(cs), words({96000, 2, 24, 2, 24, 0}));
}

TEST(FormatRulesFind, PairRulesRetryAndFailure)
{
    APIDeviceInfoScanResult in, out;
    const auto plenty = [] { return 1023u; };

    // One bit depth both ways; a mono other side becomes stereo up to 48 kHz.
    InfoPtr pocket = modelInfo("marlow-pocket-hs");
    VkChannelSettings cs{48000, 2, 24, 1, 16, 0};
    EXPECT_TRUE(findUsbConfiguration(*pocket, idOf(*pocket), true, true, true, in, out, cs, plenty));
    EXPECT_EQ(words(cs), words({48000, 2, 24, 2, 24, 0}));
    cs = {96000, 1, 16, 2, 24, 0};
    findUsbConfiguration(*pocket, idOf(*pocket), true, true, false, in, out, cs, plenty);
    EXPECT_EQ(cs.iInBits, 24u);
    EXPECT_EQ(cs.iInChannels, 1u) << "stays mono above 48 kHz";

    // Only one side found: the other is tried again with the found side's depth.
    InfoPtr tarsel = modelInfo("tarsel");
    const VIDPID id = idOf(*tarsel);
    cs = {48000, 2, 24, 2, 20, 0};
    EXPECT_TRUE(findUsbConfiguration(*tarsel, id, true, true, true, in, out, cs, kNoQuery));
    EXPECT_EQ(cs.iOutBits, 24u);
    cs = {48000, 2, 20, 2, 16, 0};
    EXPECT_TRUE(findUsbConfiguration(*tarsel, id, true, true, true, in, out, cs, kNoQuery));
    EXPECT_EQ(cs.iInBits, 16u);
    cs = {48000, 3, 24, 2, 24, 0};
    EXPECT_FALSE(findUsbConfiguration(*tarsel, id, true, true, true, in, out, cs, kNoQuery)) << "no 3-channel input";
    EXPECT_TRUE(out.found);
    cs = {48000, 2u + 256, 24, 0, 24, 0};
    EXPECT_FALSE(findUsbConfiguration(*tarsel, id, true, true, true, in, out, cs, kNoQuery))
        << "258 channels are not 2";

    // The note of the forced-mono pairs goes to standard error, and nothing else is printed.
    InfoPtr redmoor = modelInfo("redmoor-r4-fs");
    for (const InfoPtr* info : {&redmoor, &tarsel}) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        cs = {48000, 2, 16, 2, 16, 0};
        findUsbConfiguration(**info, idOf(**info), false, true, true, in, out, cs, plenty);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(err, info == &redmoor ? "In ZmOSXDevice::usbFindConfiguration Force Mono in high sample rate \n" : "");
    }
}

TEST(FormatRulesFind, BusBudgetByFamily)
{
    APIDeviceInfoScanResult in, out;

    // No family: the figures of requests 15 and 16, times 8 on high speed; asked once per check.
    InfoPtr lite = modelInfo("tarsel-lite-fs");
    int asked = 0;
    unsigned figure = 0;
    const KernelBandwidthQuery query = [&] { ++asked; return figure; };
    for (auto [hs, fig, fits] : {std::tuple{false, 383u, false}, std::tuple{false, 384u, true}, std::tuple{true, 47u, false},
                                  std::tuple{true, 48u, true}}) {
        VkChannelSettings cs{48000, 2, 16, 2, 16, 0}; // 192 + 192 bytes per millisecond
        figure = fig;
        asked = 0;
        EXPECT_EQ(findUsbConfiguration(*lite, idOf(*lite), hs, true, true, in, out, cs, query), fits) << fig;
        EXPECT_EQ(asked, 1);
    }

    // Marlow-compatible: 1023 on full speed, 8184 on high speed; the kernel is not asked.
    InfoPtr marlow = blankInfo(0x7E01, 0x0002);
    addAlt(addInterface(*marlow, 1), 1, 24, 8, {48000}, 0x81);
    addAlt(addInterface(*marlow, 2), 1, 24, 8, {48000}, 0x02);
    VkChannelSettings cs{48000, 8, 24, 8, 24, 0}; // 2304
    EXPECT_FALSE(findUsbConfiguration(*marlow, idOf(*marlow), false, true, true, in, out, cs, kNoQuery));
    EXPECT_TRUE(findUsbConfiguration(*marlow, idOf(*marlow), true, true, true, in, out, cs, kNoQuery));
    addAlt(marlow->configurations[0].interfaces[0], 2, 32, 2, {127875, 128000}, 0x81);
    addAlt(marlow->configurations[0].interfaces[0], 3, 32, 8, {255750, 255782}, 0x81);
    for (auto [rate, channels, hs, fits] : {std::tuple{127875u, 2u, false, true}, std::tuple{128000u, 2u, false, false},
                                            std::tuple{255750u, 8u, true, true}, std::tuple{255782u, 8u, true, false}}) {
        cs = {rate, channels, 32, 0, 32, 0}; // 1023, 1024, 8184, 8185
        EXPECT_EQ(findUsbConfiguration(*marlow, idOf(*marlow), hs, false, true, in, out, cs, kNoQuery), fits) << rate;
    }

    // Bulk on high speed needs no budget at all; on full speed it is Marlow-compatible.
    InfoPtr bulk = blankInfo(0x7E01, 0x0003);
    addAlt(addInterface(*bulk, 1), 1, 32, 32, {192000}, 0x81);
    addAlt(addInterface(*bulk, 2), 1, 32, 32, {192000}, 0x02);
    cs = {192000, 32, 32, 32, 32, 0}; // 49152
    EXPECT_TRUE(findUsbConfiguration(*bulk, idOf(*bulk), true, true, true, in, out, cs, kNoQuery));
    EXPECT_FALSE(findUsbConfiguration(*bulk, idOf(*bulk), false, false, true, in, out, cs, kNoQuery));
}

TEST(FormatRulesFind, BitFallback24To20To16AndRateForFormat)
{
    InfoPtr only16 = blankInfo(0x7E01, 0x0001);
    addAlt(addInterface(*only16, 1), 1, 16, 2, {44100, 48000}, 0x81);
    addAlt(addInterface(*only16, 2), 1, 16, 2, {44100, 48000}, 0x02);
    InfoPtr only20 = blankInfo(0x7E01, 0x0001);
    addAlt(addInterface(*only20, 1), 1, 20, 2, {48000}, 0x81);
    addAlt(addInterface(*only20, 2), 1, 20, 2, {48000}, 0x02);
    const auto plenty = [] { return 1023u; };

    for (auto [info, bits] : {std::pair{only16.get(), 16u}, std::pair{only20.get(), 20u}})
        for (bool input : {true, false}) {
            VkChannelSettings cs{48000, 2, 24, 2, 24, 0};
            EXPECT_TRUE(findUsbConfigurationWithBitFallback(*info, idOf(*info), true, true, input, cs, plenty));
            EXPECT_EQ(words(cs), words({48000, 2, bits, 2, bits, 0}));
        }
    VkChannelSettings cs{48000, 4, 24, 2, 24, 0};
    EXPECT_FALSE(findUsbConfigurationWithBitFallback(*only16, idOf(*only16), true, true, true, cs, plenty));
    // Only the side that changed is lowered.
    InfoPtr mixed = blankInfo(0x7E01, 0x0001);
    addAlt(addInterface(*mixed, 1), 1, 16, 2, {48000}, 0x81);
    addAlt(addInterface(*mixed, 2), 1, 24, 2, {48000}, 0x02);
    cs = {48000, 2, 24, 2, 24, 0};
    EXPECT_TRUE(findUsbConfigurationWithBitFallback(*mixed, idOf(*mixed), true, true, true, cs, plenty));
    EXPECT_EQ(words(cs), words({48000, 2, 16, 2, 24, 0}));

    EXPECT_EQ(rateForFormat(*only16, 96000, 16, 2, true), 44100u) << "the first that carries it";
    EXPECT_EQ(rateForFormat(*only16, 48000, 16, 2, false), 48000u) << "the current rate first";
    EXPECT_EQ(rateForFormat(*only16, 96000, 24, 2, true), 96000u) << "none carries it";
    EXPECT_EQ(rateForFormat(*only16, 96000, 16u + 256, 2, true), 96000u);
}

TEST(FormatRulesChoose, HighestScoreWithinBudget)
{
    // High speed, plenty of budget: the most channels at the deepest shared depth, unless the
    // channel counts in force are on offer both ways.
    InfoPtr tarsel = modelInfo("tarsel");
    EXPECT_EQ(choose(*tarsel, true, {44100, 0, 16, 0, 16, 0}, 2, true, 48000), chosen({48000, 8, 24, 8, 24, 0}, true));
    EXPECT_EQ(choose(*tarsel, true, {44100, 2, 16, 2, 16, 0}, 2, true, 48000), chosen({48000, 2, 24, 2, 24, 0}, true));
    EXPECT_EQ(choose(*tarsel, true, {44100, 8, 24, 8, 24, 0}, 8, false, 48000), chosen({48000, 8, 24, 8, 24, 0}, false))
        << "the rate is not compared";

    // Full speed (800): the channels in force earn their bonus when both sides keep them.
    InfoPtr fs = modelInfo("tarsel-fs");
    EXPECT_EQ(choose(*fs, false, {44100, 2, 16, 2, 16, 0}, 2, true, 48000), chosen({48000, 2, 24, 2, 24, 0}, true));
    EXPECT_EQ(choose(*fs, false, {44100, 4, 16, 4, 16, 0}, 4, true, 48000), chosen({48000, 4, 16, 4, 16, 0}, false));
    // No bonus for a count in force that one side cannot carry.
    EXPECT_EQ(choose(*fs, false, {44100, 4, 16, 3, 16, 0}, 4, true, 48000), chosen({48000, 2, 24, 2, 24, 0}, true));
    EXPECT_EQ(choose(*fs, false, {44100, 3, 16, 4, 16, 0}, 4, false, 48000), chosen({48000, 2, 24, 2, 24, 0}, true));

    // A pair that takes the whole full-speed budget (672 + 128 = 800) is still allowed.
    InfoPtr exact = blankInfo(0x7E01, 0x0001);
    addAlt(addInterface(*exact, 1), 1, 24, 7, {32000}, 0x81);
    addAlt(addInterface(*exact, 2), 1, 16, 2, {32000}, 0x02);
    EXPECT_EQ(choose(*exact, false, {}, 2, true, 32000), chosen({32000, 7, 24, 2, 16, 0}, true));

    // Equal scores: the first visited (more input channels) stays.
    InfoPtr tie = blankInfo(0x7E01, 0x0001);
    APIInterfaceInfo& ties = addInterface(*tie, 1);
    addAlt(ties, 1, 20, 1, {48000}, 0x81);
    addAlt(ties, 2, 16, 2, {48000}, 0x81);
    EXPECT_EQ(choose(*tie, false, {}, 2, true, 48000), chosen({48000, 2, 16, 0, 16, 0}, true));

    // The best pair (65536) needs 24576 > 24552 bytes per millisecond; on full speed only the
    // small output fits, and the input goes off with the output's depth.
    InfoPtr wide = blankInfo(0x7E01, 0x0001);
    addAlt(addInterface(*wide, 1), 1, 32, 32, {96000}, 0x81, 1024);
    APIInterfaceInfo& outs = addInterface(*wide, 2);
    addAlt(outs, 1, 32, 32, {96000}, 0x02, 1024);
    addAlt(outs, 2, 16, 2, {96000}, 0x02);
    const VkChannelSettings cur{48000, 2, 16, 2, 16, 0};
    EXPECT_EQ(choose(*wide, true, cur, 2, true, 96000), chosen({96000, 32, 32, 2, 16, 0}, true));
    EXPECT_EQ(choose(*wide, false, cur, 2, true, 96000), chosen({96000, 0, 16, 2, 16, 0}, true));
    outs.iAltSettingCount = 1; // nothing fits full speed any more
    EXPECT_EQ(choose(*wide, false, cur, 2, true, 96000), kRefused);

    // Rates outside the table, not offered, or not allowed.
    for (auto [rate, limits] : {std::pair{64000u, RateLimits{}}, std::pair{32000u, RateLimits{}},
                                std::pair{96000u, RateLimits{true, 48000, false, 0}},
                                std::pair{96000u, RateLimits{false, 0, true, 48000}}})
        EXPECT_EQ(choose(*tarsel, true, cur, 2, true, rate, limits), kRefused) << rate;
}

TEST(FormatRulesChoose, ForcedPairsAtHighRates)
{
    const VkChannelSettings cur{48000, 2, 16, 2, 16, 0};
    for (const char* name : {"redmoor-r4-fs", "redmoor-r2-fs", "ambervale-pocket-fs", "tidewell-trek-fs", "redmoor-r4-hs"})
        for (uint32_t rate : {88200u, 96000u}) {
            SCOPED_TRACE(testing::Message() << name << " " << rate);
            InfoPtr info = modelInfo(name);
            const bool hs = name[std::strlen(name) - 2] == 'h';
            EXPECT_EQ(choose(*info, hs, cur, 1, true, rate), chosen({rate, 1, 24, 1, 24, 0}, true));
            EXPECT_EQ(choose(*info, hs, cur, 2, true, rate), chosen({rate, 2, 24, 0, 24, 0}, true));
            EXPECT_EQ(choose(*info, hs, cur, 2, false, rate), chosen({rate, 0, 24, 2, 24, 0}, true));
        }

    // Below the high rates the pairs are scored like any other.
    EXPECT_EQ(choose(*modelInfo("redmoor-r4-fs"), false, cur, 1, true, 48000), chosen({48000, 2, 24, 2, 24, 0}, true));

    // A forced choice the descriptors cannot carry gives way to the scoring.
    InfoPtr no24 = blankInfo(0x7E0C, 0x4040);
    addAlt(addInterface(*no24, 1), 1, 16, 2, {96000}, 0x81);
    addAlt(addInterface(*no24, 2), 1, 16, 2, {96000}, 0x02);
    EXPECT_EQ(choose(*no24, true, cur, 2, true, 96000), chosen({96000, 2, 16, 2, 16, 0}, false));
}

TEST(FormatRulesDegrade, TriesTheOtherSideInOrder)
{
    using Try = std::pair<uint32_t, uint32_t>; // channels, bits of the side that did not lead
    for (bool inputLed : {true, false}) {
        std::vector<Try> tries;
        VkChannelSettings cs{48000, 2, 24, 8, 32, 0};
        if (!inputLed) {
            std::swap(cs.iInChannels, cs.iOutChannels);
            std::swap(cs.iInBits, cs.iOutBits);
        }
        const auto record = [&](VkChannelSettings& s) {
            EXPECT_EQ(inputLed ? s.iInChannels : s.iOutChannels, 2u) << "the leading side stays";
            EXPECT_EQ(inputLed ? s.iInBits : s.iOutBits, 24u);
            tries.push_back(inputLed ? Try{s.iOutChannels, s.iOutBits} : Try{s.iInChannels, s.iInBits});
            return false;
        };
        EXPECT_FALSE(degradeUntilFits(cs, inputLed, record));
        ASSERT_EQ(tries.size(), 1u + 4 + 63 * 5);
        const std::vector<Try> head{{8, 32}, {8, 28}, {8, 24}, {8, 20}, {8, 16}, {63, 32}, {63, 28}, {63, 24},
                                    {63, 20}, {63, 16}, {62, 16}, {62, 28}};
        EXPECT_EQ(std::vector<Try>(tries.begin(), tries.begin() + 12), head);
        EXPECT_EQ(tries.back(), Try(1, 16));
    }

    // The first that fits ends it; every try starts from what the last one left.
    VkChannelSettings cs{48000, 2, 24, 8, 32, 0};
    std::vector<Try> tries;
    EXPECT_TRUE(degradeUntilFits(cs, true, [&](VkChannelSettings& s) {
        tries.push_back({s.iOutChannels, s.iOutBits});
        if (s.iOutChannels == 60 && s.iOutBits == 20)
            return true;
        if (s.iOutChannels == 62)
            s.iOutBits = 24; // as usbFindConfiguration may copy a depth
        return false;
    }));
    EXPECT_EQ(words(cs), words({48000, 2, 24, 60, 20, 0}));
    EXPECT_EQ(tries[10], Try(62, 16));
    EXPECT_EQ(tries[15], Try(61, 24));
    EXPECT_EQ(tries.size(), 1u + 4 + 5 + 5 + 5 + 4);

    cs = {48000, 2, 24, 2, 24, 0};
    int calls = 0;
    EXPECT_TRUE(degradeUntilFits(cs, false, [&](VkChannelSettings&) { return ++calls == 1; }));
    EXPECT_EQ(calls, 1) << "settings that fit are not degraded";
}

TEST(FormatRulesFormats, EnumerationFollowsDescriptorsAndFamily)
{
    // tarsel: 2, 4, 6, 8 channels at 16 and 24 bits, 44.1 to 96 kHz; 176.4 and 192 kHz up to 4.
    InfoPtr tarsel = modelInfo("tarsel");
    const VIDPID id = idOf(*tarsel);
    const std::vector<FormatTriple> physical = enumerateFormats(*tarsel, id, true, true, false, 0);
    const std::vector<FormatTriple> virt = enumerateFormats(*tarsel, id, true, false, false, 0);
    EXPECT_EQ(physical.size(), 4u * 8 + 2 * 4);
    EXPECT_EQ(virt.size(), 4u * 4 + 2 * 2);
    ASSERT_GE(physical.size(), 3u);
    EXPECT_EQ(physical[0], (FormatTriple{44100, 2, 16}));
    EXPECT_EQ(physical[1], (FormatTriple{44100, 2, 24}));
    EXPECT_EQ(physical[2], (FormatTriple{44100, 4, 16}));
    EXPECT_EQ(virt[0], (FormatTriple{44100, 2, 32}));
    EXPECT_EQ(virt.back(), (FormatTriple{192000, 4, 32}));

    // Not Marlow-compatible: mono only from 88.2 kHz, at most 8 channels.
    InfoPtr lite = modelInfo("tarsel-lite-fs");
    EXPECT_EQ(enumerateFormats(*lite, idOf(*lite), false, true, false, 0),
              (std::vector<FormatTriple>{{32000, 2, 16}, {44100, 2, 16}, {48000, 2, 16}}));
    InfoPtr r2 = modelInfo("redmoor-r2-fs");
    size_t mono48 = 0, mono96 = 0;
    for (const FormatTriple& f : enumerateFormats(*r2, idOf(*r2), false, false, false, 0)) {
        mono48 += f.channels == 1 && f.rate == 48000;
        mono96 += f.channels == 1 && f.rate == 96000;
    }
    EXPECT_EQ(mono48, 0u);
    EXPECT_EQ(mono96, 1u);
    InfoPtr tarselFs = modelInfo("tarsel-fs"); // Marlow-compatible: never mono
    for (const FormatTriple& f : enumerateFormats(*tarselFs, idOf(*tarselFs), false, false, false, 0))
        EXPECT_GE(f.channels, 2u) << f.rate;
    EXPECT_TRUE(scanAPIDeviceInfo(*tarselFs, 0, 96000, 24, 1, false, true).found) << "though it offers mono";
    InfoPtr ten = blankInfo(0x7E01, 0x0001);
    addAlt(addInterface(*ten, 1), 1, 24, 10, {48000}, 0x81);
    addAlt(addInterface(*ten, 1), 1, 24, 8, {48000}, 0x81);
    EXPECT_EQ(enumerateFormats(*ten, idOf(*ten), true, true, false, 0), (std::vector<FormatTriple>{{48000, 8, 24}}));
    // Marlow-compatible: up to 32 channels.
    InfoPtr rack = modelInfo("marlow-rack-32-hs");
    EXPECT_EQ(enumerateFormats(*rack, idOf(*rack), true, false, false, 0).back(), (FormatTriple{96000, 32, 32}));

    // A fixed rate limits the list to it.
    for (const FormatTriple& f : enumerateFormats(*tarsel, id, true, true, true, 48000))
        EXPECT_EQ(f.rate, 48000u);
    EXPECT_EQ(enumerateFormats(*tarsel, id, true, true, true, 48000).size(), 8u);
    EXPECT_TRUE(enumerateFormats(*tarsel, id, true, true, true, 64000).empty());

    // Descriptions: integers on the wire, floats for the IOProcs, channels cut to the limit.
    const auto wire = streamFormats(*tarsel, id, true, true, false, 0, 128);
    ASSERT_EQ(wire.size(), physical.size());
    EXPECT_EQ(described(wire[1]), Description(44100, kAudioFormatLinearPCM, 4, 6, 1, 6, 2, 24));
    EXPECT_EQ(described(streamFormats(*tarsel, id, true, false, false, 0, 1).back()),
              Description(192000, kAudioFormatLinearPCM, 1, 4, 1, 4, 1, 32));
    EXPECT_EQ(std::tuple(makeStreamFormat(48000, 2, 32, true).mBytesPerFrame,
                         makeStreamFormat(48000, 2, 20, true).mBytesPerFrame,
                         makeStreamFormat(48000, 2, 12, true).mBytesPerFrame),
              std::tuple(8u, 6u, 4u))
        << "an unknown depth counts 2 bytes";
}

// Each family at 48 kHz is the device's (DeviceFormatsTest); here the other speed and the edges.
TEST(FormatRulesLatency, FamiliesAndArithmeticEdges)
{
    uint32_t input = 0, output = 0, writeAhead = 0;
    // At 48 kHz with 256 frames.
    const std::tuple<VIDPID, bool, uint32_t, uint32_t> families[] = {
        {VIDPID(0x7E01, 0x0002), true, 131, 384},  // Marlow-compatible on high speed: 119 + 48000 / 4000
        {VIDPID(0x7E01, 0x0002), false, 119, 384},
        {VIDPID(0x7E01, 0x0003), true, 68, 312},   // bulk: (3 + 4) x 48 - 24
        {VIDPID(0x7E01, 0x5B01), true, 68, 384},   // bulk input, isochronous output
        {VIDPID(0x7E01, 0x0001), true, 150, 360},  // no family: 384 + (48000 - 60000) / 500
    };
    for (const auto& [id, highSpeed, in, out] : families) {
        computeLatencies(id, highSpeed, 48000, 256, input, output, writeAhead);
        EXPECT_EQ(std::pair(input, output), std::pair(in, out)) << std::hex << id.productID << (highSpeed ? " high speed" : "");
    }
    computeLatencies(VIDPID(0x7E01, 0x0003), false, 48000, 256, input, output, writeAhead);
    EXPECT_EQ(std::tuple(input, output, writeAhead), std::tuple(119u, 384u, 896u)) << "bulk on full speed is Marlow";
    computeLatencies(VIDPID(0x7E01, 0x5B01), true, 96000, 256, input, output, writeAhead);
    EXPECT_EQ(std::tuple(input, output, writeAhead), std::tuple(68u, 768u, 1280u));
    computeLatencies(VIDPID(0x7E01, 0x0001), true, 0, 256, input, output, writeAhead);
    EXPECT_EQ(std::tuple(input, output, writeAhead), std::tuple(150u, 321u, 864u)) << "rate 0 counts as 44100";
    computeLatencies(VIDPID(0x7E01, 0x0001), true, 59001, 64, input, output, writeAhead);
    EXPECT_EQ(std::tuple(output, writeAhead), std::tuple(294u, 423u)) << "-999 / 500 truncates to -1";
    computeLatencies(VIDPID(0x7E01, 0x0001), false, 48000, 100, input, output, writeAhead);
    EXPECT_EQ(std::tuple(output, writeAhead), std::tuple(216u, 440u)) << "100 frames count as one 64-frame block";
    computeLatencies(VIDPID(0x7E01, 0x0001), false, 8000, 64, input, output, writeAhead);
    EXPECT_EQ(std::tuple(output, writeAhead), std::tuple(0u, 168u)) << "40 - 104 does not wrap";
    computeLatencies(VIDPID(0x7E01, 0x0003), true, 4000, 64, input, output, writeAhead);
    EXPECT_EQ(std::tuple(output, writeAhead), std::tuple(0u, 144u)) << "16 - 24 does not wrap";
    computeLatencies(VIDPID(0x7E01, 0x0003), true, 88199, 64, input, output, writeAhead);
    EXPECT_EQ(output, 4u * 88199 / 1000 - 24) << "three blocks up to 88199 Hz";
    computeLatencies(VIDPID(0x7E01, 0x0003), true, 88200, 64, input, output, writeAhead);
    EXPECT_EQ(output, 5u * 88200 / 1000 - 24);
}

// A simulated interface's converters delay its loopback by what the device layer's figures say
// of it: both latencies, less the part of the output latency the write-ahead already holds. So
// a program that trusts the figures finds its recording where they put it.
TEST(ConverterDelay, EveryModelDelaysItsLoopbackAsItsFiguresSay)
{
    for (const kext::DeviceModel& m : kext::catalogue())
        for (uint32_t rate : {32000u, 44100u, 48000u, 88200u, 96000u, 176400u, 192000u}) {
            uint32_t input = 0, output = 0, writeAhead = 0;
            computeLatencies(VIDPID(m.vendorId, m.productId), m.highSpeed, rate, 256, input, output, writeAhead);
            const int64_t reported = int64_t(input) + output + 2 * 256 - writeAhead;
            // The figures truncate toward zero, the model's rate term toward minus infinity.
            EXPECT_NEAR(double(m.converterDelayAt(rate)), double(reported), 1.0) << m.name << " at " << rate << " Hz";
        }
}
