#include "device/FormatRules.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace {

constexpr VIDPID kFixedLayout[] = {
    {0x7E03, 0x8017}, {0x7E03, 0x801E}, {0x7E03, 0x8025}, {0x7E05, 0x0030}, {0x7E04, 0x0070},
    {0x7E04, 0x0074}, {0x7E06, 0x0018}, {0x7E06, 0x0019}, {0x7E06, 0x001A},
};

constexpr VIDPID kForcedMono[] = {{0x7E0C, 0x4040}, {0x7E0C, 0x2040}, {0x7E0E, 0x0104}, {0x7E0D, 0x6000}};

constexpr VIDPID kOneBitDepth[] = {{0x7E0E, 0x0104}, {0x7E02, 0x0061}, {0x7E0D, 0x6000}};

constexpr uint32_t kCapsBits[kCapsBitDepths] = {16, 20, 24, 32};

template <size_t N>
bool inTable(const VIDPID (&table)[N], VIDPID id)
{
    return std::find(std::begin(table), std::end(table), id) != std::end(table);
}

bool isHighRate(uint32_t rate) { return rate == 88200 || rate == 96000; }

uint32_t clampToU32(int64_t v)
{
    return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, std::numeric_limits<uint32_t>::max()));
}

// A search in configuration 0 for settings words. The words are 32 bits but the descriptors'
// bit resolution and channel count are 8: a word beyond that must not match after truncation.
APIDeviceInfoScanResult scanFor(const APIDeviceInfo& info, uint32_t rate, uint32_t bits, uint32_t channels,
                                bool output)
{
    APIDeviceInfoScanResult r = scanAPIDeviceInfo(info, 0, rate, static_cast<unsigned char>(bits),
                                                  static_cast<unsigned char>(channels), false, output);
    if (bits > 0xFF || channels > 0xFF)
        r.found = false;
    return r;
}

bool canSampleRateWithCaps(const XsDeviceCapabilitiesEx& caps, unsigned long rate, const RateLimits& limits)
{
    if (limits.currentRateOnly)
        return rate == limits.trueRate;
    if (limits.fixedRate && rate != limits.statusRate)
        return false;
    return rate <= std::numeric_limits<unsigned>::max() && rateSupportedByCaps(caps, static_cast<unsigned>(rate));
}

} // namespace

// ---------------------------------------------------------------------------------------------

int capsRateIndex(uint32_t rate)
{
    for (size_t r = 0; r < kCapsRates; ++r)
        if (kCapsRateTable[r] == rate)
            return static_cast<int>(r);
    return -1;
}

bool hasFixedInterfaceLayout(VIDPID id) { return inTable(kFixedLayout, id); }
bool forcesMonoAtHighRates(VIDPID id) { return inTable(kForcedMono, id); }
bool sharesOneBitDepth(VIDPID id) { return inTable(kOneBitDepth, id); }

unsigned getBytesFromBits(unsigned bits)
{
    switch (bits) {
    case 16:
        return 2;
    case 20:
    case 24:
        return 3;
    case 32:
        return 4;
    default:
        return 0;
    }
}

APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info, unsigned config, unsigned rate,
                                          unsigned char bits, unsigned char channels, bool discreteOnly, bool output)
{
    APIDeviceInfoScanResult result;
    result.found = false;
    result.configIndex = static_cast<uint16_t>(config);
    result.sampleRate = rate;
    result.bits = bits;
    result.channels = channels;
    if (config >= info.configCount())
        return result;

    const VIDPID id(info.iVendorId, info.iProductId);
    const bool fixedLayout = hasFixedInterfaceLayout(id);
    // Bulk interfaces stream their input on interface number 1 only.
    const bool bulkInput = !output && id.isQuentaBulkDevice(true);

    const APIConfigurationInfo& configuration = info.configurations[config];
    for (size_t i = 0; i < configuration.interfaceCount(); ++i) {
        const APIInterfaceInfo& interface = configuration.interfaces[i];
        result.interfaceIndex = static_cast<uint16_t>(i);
        for (size_t a = 0; a < interface.altSettingCount(); ++a) {
            const APIAltSettingInfo& alt = interface.altSettings[a];
            result.altIndex = static_cast<uint16_t>(a);
            if (alt.iBitResolution != bits || alt.iChannels != channels)
                continue;

            bool rateMatches = false;
            if (alt.isContinuous()) {
                rateMatches = !discreteOnly && alt.iRateMin <= rate && rate <= alt.iRateMax;
            } else {
                for (size_t k = 0; k < alt.rateCount() && !rateMatches; ++k)
                    rateMatches = alt.iRates[k] == rate;
            }
            if (!rateMatches)
                continue;

            for (size_t e = 0; e < alt.endpointCount(); ++e) {
                bool qualifies;
                if (fixedLayout) {
                    qualifies = interface.iInterfaceNumber == (output ? 0 : 1) && alt.iAltSetting == 1;
                } else if (bulkInput && interface.iInterfaceNumber != 1) {
                    qualifies = false;
                } else {
                    const APIEndpointInfo& endpoint = alt.endpoints[e];
                    qualifies = endpoint.iMaxPacketSize > 3 && endpoint.isIn() == !output;
                }
                if (qualifies) {
                    result.found = true;
                    return result;
                }
            }
        }
    }
    return result;
}

unsigned usbCalculateBandwidth(const APIDeviceInfoScanResult& in, const APIDeviceInfoScanResult& out)
{
    uint64_t total = 0;
    for (const APIDeviceInfoScanResult* r : {&in, &out})
        if (r->found)
            total += uint64_t(getBytesFromBits(r->bits)) * r->channels * r->sampleRate / 1000;
    return static_cast<unsigned>(std::min<uint64_t>(total, std::numeric_limits<unsigned>::max()));
}

long calcBW(long rateIndex, long bitsIndex, long channelIndex)
{
    static constexpr long kBytes[] = {2, 3, 3, 4};
    static constexpr long kFramesPerMs[] = {32, 45, 48, 89, 96};
    if (bitsIndex < 0 || bitsIndex > 3 || rateIndex < 0 || rateIndex > 4)
        return 800;
    return kBytes[bitsIndex] * (channelIndex + 1) * kFramesPerMs[rateIndex];
}

void fillCaps(const APIDeviceInfo& info, XsDeviceCapabilitiesEx& caps)
{
    std::memset(&caps, 0, sizeof caps);
    const size_t configs = std::min<size_t>(kCapsConfigurations, info.configCount());
    for (size_t c = 0; c < configs; ++c) {
        caps.configCount = static_cast<uint32_t>(c + 1);
        XsConfigurationCaps& k = caps.configurations[c];
        for (size_t r = 0; r < kCapsRates; ++r)
            for (size_t b = 0; b < kCapsBitDepths; ++b)
                for (size_t n = 0; n < kCapsChannels; ++n) {
                    auto supported = [&](bool output) {
                        const auto bits = static_cast<unsigned char>(kCapsBits[b]);
                        const auto channels = static_cast<unsigned char>(n + 1);
                        return scanAPIDeviceInfo(info, unsigned(c), kCapsRateTable[r], bits, channels, true, output).found
                            || scanAPIDeviceInfo(info, unsigned(c), kCapsRateTable[r], bits, channels, false, output).found;
                    };
                    k.outSupported[r][b][n] = supported(true);
                    k.inSupported[r][b][n] = supported(false);
                }
    }
}

bool rateSupportedByCaps(const XsDeviceCapabilitiesEx& caps, unsigned rate)
{
    const int r = capsRateIndex(rate);
    if (r < 0)
        return false;
    const size_t configs = std::min<size_t>(caps.configCount, kCapsConfigurations);
    for (size_t c = 0; c < configs; ++c) {
        const XsConfigurationCaps& k = caps.configurations[c];
        for (size_t b = 0; b < kCapsBitDepths; ++b)
            for (size_t n = 0; n < kCapsChannels; ++n)
                if (k.outSupported[r][b][n] || k.inSupported[r][b][n])
                    return true;
    }
    return false;
}

bool canSampleRate(const APIDeviceInfo& info, unsigned long rate, const RateLimits& limits)
{
    if (limits.currentRateOnly)
        return rate == limits.trueRate;
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    fillCaps(info, *caps);
    return canSampleRateWithCaps(*caps, rate, limits);
}

std::vector<uint32_t> supportedSampleRates(const APIDeviceInfo& info, const RateLimits& limits)
{
    if (limits.currentRateOnly)
        return {limits.trueRate};
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    fillCaps(info, *caps);
    std::vector<uint32_t> rates;
    for (uint32_t rate : kListedRates)
        if (canSampleRateWithCaps(*caps, rate, limits))
            rates.push_back(rate);
    return rates;
}

// ---------------------------------------------------------------------------------------------

bool findUsbConfiguration(const APIDeviceInfo& info, VIDPID id, bool highSpeed, bool statusMapped, bool inputLed,
                          APIDeviceInfoScanResult& in, APIDeviceInfoScanResult& out, VkChannelSettings& cs,
                          const KernelBandwidthQuery& kernelBandwidth)
{
    in = APIDeviceInfoScanResult{};
    out = APIDeviceInfoScanResult{};

    if (forcesMonoAtHighRates(id))
        std::fputs("In ZmOSXDevice::usbFindConfiguration Force Mono in high sample rate \n", stderr);

    // A full-speed bus carries stereo at the high rates one way only.
    if (statusMapped && !highSpeed) {
        if (!isHighRate(cs.iFrequency)) {
            if (cs.iInChannels == 0)
                cs.iInChannels = cs.iOutChannels;
            if (cs.iOutChannels == 0)
                cs.iOutChannels = cs.iInChannels;
        } else {
            uint32_t& lead = inputLed ? cs.iInChannels : cs.iOutChannels;
            uint32_t& other = inputLed ? cs.iOutChannels : cs.iInChannels;
            if (lead == 1)
                other = 1;
            else if (lead == 2)
                other = 0;
            else
                lead = 0;
        }
    }

    if (sharesOneBitDepth(id)) {
        if (inputLed)
            cs.iOutBits = cs.iInBits;
        else
            cs.iInBits = cs.iOutBits;
        if (cs.iFrequency <= 48000) {
            uint32_t& other = inputLed ? cs.iOutChannels : cs.iInChannels;
            if (other == 1)
                other = 2;
        }
    }

    in = scanFor(info, cs.iFrequency, cs.iInBits, cs.iInChannels, false);
    out = scanFor(info, cs.iFrequency, cs.iOutBits, cs.iOutChannels, true);

    // One direction found: the other may only lack the found one's bit depth.
    if (in.found && !out.found && cs.iOutChannels != 0) {
        cs.iOutBits = cs.iInBits;
        out = scanFor(info, cs.iFrequency, cs.iOutBits, cs.iOutChannels, true);
    } else if (out.found && !in.found && cs.iInChannels != 0) {
        cs.iInBits = cs.iOutBits;
        in = scanFor(info, cs.iFrequency, cs.iInBits, cs.iInChannels, false);
    }

    if ((cs.iInChannels != 0 && !in.found) || (cs.iOutChannels != 0 && !out.found))
        return false;

    const uint64_t needed = usbCalculateBandwidth(in, out);
    uint64_t available;
    if (id.isMarlowCompatible())
        available = highSpeed ? 8184 : 1023;
    else
        available = uint64_t(kernelBandwidth ? kernelBandwidth() : 0) * (highSpeed ? 8 : 1);

    // Bulk transfers reserve no bandwidth.
    return id.isQuentaBulkDevice(highSpeed) || available >= needed;
}

bool findUsbConfigurationWithBitFallback(const APIDeviceInfo& info, VIDPID id, bool highSpeed, bool statusMapped,
                                         bool input, VkChannelSettings& cs,
                                         const KernelBandwidthQuery& kernelBandwidth)
{
    APIDeviceInfoScanResult in, out;
    if (findUsbConfiguration(info, id, highSpeed, statusMapped, input, in, out, cs, kernelBandwidth))
        return true;
    for (uint32_t bits : {24u, 20u, 16u}) {
        (input ? cs.iInBits : cs.iOutBits) = bits;
        if (findUsbConfiguration(info, id, highSpeed, statusMapped, input, in, out, cs, kernelBandwidth))
            return true;
    }
    return false;
}

uint32_t rateForFormat(const APIDeviceInfo& info, uint32_t currentRate, uint32_t bits, uint32_t channels, bool input)
{
    for (uint32_t rate : {currentRate, 32000u, 44100u, 48000u, 64000u, 88200u, 96000u, 128000u, 176400u, 192000u})
        if (scanFor(info, rate, bits, channels, !input).found)
            return rate;
    return currentRate;
}

bool chooseSettingsForRate(const APIDeviceInfo& info, VIDPID id, bool highSpeed, const VkChannelSettings& current,
                           uint32_t trueInChannels, bool input, unsigned rate, const RateLimits& limits,
                           bool& changed, VkChannelSettings& result)
{
    changed = false;
    const VkChannelSettings cur = current;

    // These pairs run mono both ways, or stereo one way, at the high rates.
    bool forced = false;
    VkChannelSettings forcedChoice{};
    if (isHighRate(rate) && forcesMonoAtHighRates(id)) {
        forced = true;
        const uint32_t inChannels = trueInChannels == 1 ? 1 : (input ? 2 : 0);
        const uint32_t outChannels = trueInChannels == 1 ? 1 : (input ? 0 : 2);
        forcedChoice = {rate, inChannels, 24, outChannels, 24, 0};
    }

    // 46 KB: kept off the caller's stack.
    auto capsHolder = std::make_unique<XsDeviceCapabilitiesEx>();
    XsDeviceCapabilitiesEx& caps = *capsHolder;
    fillCaps(info, caps);
    if (!canSampleRateWithCaps(caps, rate, limits))
        return false;
    const int r = capsRateIndex(rate);
    if (r < 0)
        return false;

    const long budget = highSpeed ? 24552 : 800; // bytes per millisecond

    struct Choice {
        int32_t score = 0;
        size_t config = 0;
        int inChannel = 0, inBits = 0, outChannel = 0, outBits = 0;
    } best;

    const size_t configs = std::min<size_t>(caps.configCount, kCapsConfigurations);
    for (size_t c = 0; c < configs; ++c) {
        XsConfigurationCaps& k = caps.configurations[c];
        for (size_t b = 0; b < kCapsBitDepths; ++b)
            for (size_t n = 0; n < kCapsChannels; ++n) {
                const int32_t weight = int32_t((n + 1) * (b + 1));
                const bool outSupported = k.outSupported[r][b][n];
                const bool inSupported = k.inSupported[r][b][n];
                k.outWeight[r][b][n] = outSupported ? weight : 1;
                k.outBonus[r][b][n] = outSupported && n + 1 == cur.iOutChannels ? 100 : 0;
                k.inWeight[r][b][n] = inSupported ? weight : 1;
                k.inBonus[r][b][n] = inSupported && n + 1 == cur.iInChannels ? 100 : 0;
            }

        for (int ic = int(kCapsChannels) - 1; ic >= 0; --ic)
            for (int ib = int(kCapsBitDepths) - 1; ib >= 0; --ib)
                for (int oc = int(kCapsChannels) - 1; oc >= 0; --oc)
                    for (int ob = int(kCapsBitDepths) - 1; ob >= 0; --ob) {
                        const bool inSupported = k.inSupported[r][ib][ic];
                        const bool outSupported = k.outSupported[r][ob][oc];
                        int32_t score = k.inWeight[r][ib][ic] * k.outWeight[r][ob][oc];
                        if (ib == ob && inSupported && outSupported)
                            score *= 4;
                        const int32_t bonus = k.inBonus[r][ib][ic] * k.outBonus[r][ob][oc];
                        if (bonus > 0)
                            score += bonus;
                        if (score <= best.score)
                            continue;
                        const long bandwidth = (inSupported ? calcBW(r, ib, ic) : 0)
                            + (outSupported ? calcBW(r, ob, oc) : 0);
                        if (bandwidth <= budget)
                            best = {score, c, ic, ib, oc, ob};
                    }
    }

    VkChannelSettings cs{};
    const XsConfigurationCaps& first = caps.configurations[0];
    const int bits24 = 2;
    if (forced
        && (forcedChoice.iInChannels == 0 || first.inSupported[r][bits24][forcedChoice.iInChannels - 1])
        && (forcedChoice.iOutChannels == 0 || first.outSupported[r][bits24][forcedChoice.iOutChannels - 1])) {
        cs = forcedChoice;
    } else {
        if (best.score < 2)
            return false;
        const XsConfigurationCaps& k = caps.configurations[best.config];
        const bool inOn = k.inSupported[r][best.inBits][best.inChannel];
        const bool outOn = k.outSupported[r][best.outBits][best.outChannel];
        cs.iFrequency = rate;
        cs.iInChannels = inOn ? uint32_t(best.inChannel + 1) : 0;
        cs.iInBits = kCapsBits[inOn ? best.inBits : best.outBits];
        cs.iOutChannels = outOn ? uint32_t(best.outChannel + 1) : 0;
        cs.iOutBits = kCapsBits[outOn ? best.outBits : best.inBits];
        cs.iConfiguration = uint32_t(best.config);
    }

    changed = !(cs.iInChannels == cur.iInChannels && cs.iInBits == cur.iInBits && cs.iOutChannels == cur.iOutChannels
                && cs.iOutBits == cur.iOutBits && cs.iConfiguration == cur.iConfiguration);
    result = cs;
    return true;
}

bool degradeUntilFits(VkChannelSettings& cs, bool inputLed, const std::function<bool(VkChannelSettings&)>& fits)
{
    if (fits(cs))
        return true;

    // Keep the leading direction; lower the other one.
    uint32_t& bits = inputLed ? cs.iOutBits : cs.iInBits;
    uint32_t& channels = inputLed ? cs.iOutChannels : cs.iInChannels;
    static constexpr uint32_t kDepths[] = {28, 24, 20, 16};

    const uint32_t startBits = bits;
    for (uint32_t depth : kDepths) {
        bits = depth;
        if (fits(cs))
            return true;
    }
    bits = startBits;
    for (uint32_t count = 63; count >= 1; --count) {
        channels = count;
        if (fits(cs))
            return true;
        for (uint32_t depth : kDepths) {
            bits = depth;
            if (fits(cs))
                return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------

std::vector<FormatTriple> enumerateFormats(const APIDeviceInfo& info, VIDPID id, bool input, bool physical,
                                           bool fixedRate, uint32_t currentRate)
{
    std::vector<uint32_t> rates;
    if (fixedRate)
        rates.push_back(currentRate);
    else
        rates.assign(std::begin(kListedRates), std::end(kListedRates));

    const bool marlow = id.isMarlowCompatible();
    std::vector<FormatTriple> formats;
    for (uint32_t rate : rates) {
        const uint32_t lowest = marlow || rate < 88200 ? 2 : 1;
        const uint32_t highest = marlow ? 32 : 8;
        for (uint32_t channels = lowest; channels <= highest; ++channels) {
            bool any = false;
            for (uint32_t bits : kCapsBits) {
                if (!scanFor(info, rate, bits, channels, !input).found)
                    continue;
                any = true;
                if (physical)
                    formats.push_back({rate, channels, bits});
            }
            if (!physical && any)
                formats.push_back({rate, channels, 32});
        }
    }
    return formats;
}

AudioStreamBasicDescription makeStreamFormat(Float64 rate, uint32_t channels, uint32_t bits, bool physical)
{
    AudioStreamBasicDescription f{};
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = physical ? kAudioFormatFlagIsSignedInteger : kAudioFormatFlagIsFloat;
    f.mFramesPerPacket = 1;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = physical ? bits : 32;
    uint32_t bytes = 4;
    if (physical)
        bytes = bits == 20 || bits == 24 || bits == 32 ? getBytesFromBits(bits) : 2;
    f.mBytesPerFrame = f.mBytesPerPacket = channels * bytes;
    f.mReserved = 0;
    return f;
}

std::vector<AudioStreamBasicDescription> streamFormats(const APIDeviceInfo& info, VIDPID id, bool input,
                                                       bool physical, bool fixedRate, uint32_t currentRate,
                                                       unsigned long maxChannels)
{
    std::vector<AudioStreamBasicDescription> list;
    for (const FormatTriple& t : enumerateFormats(info, id, input, physical, fixedRate, currentRate)) {
        const auto channels = static_cast<uint32_t>(std::min<unsigned long>(t.channels, maxChannels));
        list.push_back(makeStreamFormat(t.rate, channels, t.bits, physical));
    }
    return list;
}

// ---------------------------------------------------------------------------------------------

void getFrameSizeRange(unsigned /*rate*/, unsigned& min, unsigned& max)
{
    min = kMinFrameSize;
    max = kMaxFrameSize;
}

unsigned validateMinMaxFrameSize(unsigned long frames, unsigned rate)
{
    unsigned min = 0, max = 0;
    getFrameSizeRange(rate, min, max);
    return static_cast<unsigned>(std::clamp<unsigned long>(frames, min, max));
}

void computeLatencies(VIDPID id, bool highSpeed, uint32_t rate, uint32_t frames, uint32_t& input, uint32_t& output,
                      uint32_t& writeAhead)
{
    if (rate == 0)
        rate = 44100;
    const bool bulk = id.isQuentaBulkDevice(highSpeed);
    const bool bulkInIsocOut = id.isQuentaBulkInIsocOutDevice(highSpeed);
    const bool marlow = id.isMarlowCompatible();

    uint32_t in = 150;
    if (marlow)
        in = 119 + (highSpeed ? rate / 4000 : 0);
    if (bulkInIsocOut || bulk)
        in = 68;

    const uint64_t k = bulk && rate <= 88199 ? 3 : 4;
    // Unsigned and truncating, in 64 bits so that no rate wraps it.
    int64_t out = static_cast<int64_t>((k + frames / 64) * uint64_t(rate) / 1000);
    const int64_t ahead = out + 2 * int64_t(frames);
    if (bulk)
        out -= 24;
    else if (!bulkInIsocOut && !marlow)
        out += (int64_t(rate) - 60000) / 500; // truncates toward zero

    input = in;
    output = clampToU32(out);
    writeAhead = clampToU32(ahead);
}
