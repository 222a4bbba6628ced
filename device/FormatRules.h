#pragma once
#include <CoreAudio/CoreAudioTypes.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "device/APIDeviceInfo.h"
#include "device/VIDPID.h"
#include "device/VkChannelSettings.h"

// What an interface can carry and what it runs at: searching the device information block,
// bus bandwidth, the choice of settings for a rate, the stream formats offered to the HAL,
// frame sizes and latencies. Everything here is a pure function of its arguments; the device
// object keeps the state and passes it in.
//
// Several of these share their name with a member of ZmOSXDevice that delegates to them; call
// them as ::name(...) from inside such a member.

// ---------------------------------------------------------------------------------------------
// Rates

// The rates the capability tables know, by rate index.
constexpr uint32_t kCapsRateTable[kCapsRates] = {32000, 44100, 48000, 88200, 96000};
// Index of `rate` in kCapsRateTable, or -1.
int capsRateIndex(uint32_t rate);

// The rates offered to the HAL and tried by the format enumeration, in order. Only the five
// table rates can be accepted by canSampleRate.
constexpr uint32_t kListedRates[] = {32000, 44100, 48000, 64000, 88200, 96000, 176400, 192000};

// What the host process and the kernel allow beyond the descriptors.
struct RateLimits {
    bool currentRateOnly = false; // the host only takes the rate in force (allowCurrentSROnly)
    uint32_t trueRate = 0;        // the rate in force (m_cTrueChannels.iFrequency)
    bool fixedRate = false;       // the status block's fixed-rate byte is set
    uint32_t statusRate = 0;      // the status block's current rate
};

// ---------------------------------------------------------------------------------------------
// Device families with rules of their own in this file

// Streams sit at fixed places: output on interface number 0, input on interface number 1,
// alternate setting 1 each.
bool hasFixedInterfaceLayout(VIDPID id);
// Run mono or one-way stereo at 88.2 and 96 kHz.
bool forcesMonoAtHighRates(VIDPID id);
// Both directions always run at the same bit depth.
bool sharesOneBitDepth(VIDPID id);

// ---------------------------------------------------------------------------------------------
// Descriptors and bandwidth

// Bytes one sample of `bits` takes on the bus: 16 -> 2, 20 and 24 -> 3, 32 -> 4, else 0.
unsigned getBytesFromBits(unsigned bits);
inline unsigned ZmAudio__bytesFromBits(unsigned bits) { return getBytesFromBits(bits); }

// Looks in configuration `config` for an alternate setting of `bits` and `channels` that offers
// `rate` and has an endpoint that can carry it in the direction asked for. Counts beyond the
// block's layout are cut to it.
APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info, unsigned config, unsigned rate,
                                          unsigned char bits, unsigned char channels, bool discreteOnly,
                                          bool output);

// Bytes per millisecond the found directions need (saturates rather than wraps).
unsigned usbCalculateBandwidth(const APIDeviceInfoScanResult& in, const APIDeviceInfoScanResult& out);

// Bytes per millisecond of one direction, by rate, bit-depth and channel index of the
// capability tables; 800 for an invalid rate or bit-depth index.
long calcBW(long rateIndex, long bitsIndex, long channelIndex);

// getCaps: clears `caps` and fills the configuration count and the two support tables.
void fillCaps(const APIDeviceInfo& info, XsDeviceCapabilitiesEx& caps);

// Whether some configuration supports `rate` (one of the five table rates) in some bit depth
// and channel count, either way.
bool rateSupportedByCaps(const XsDeviceCapabilitiesEx& caps, unsigned rate);

// canSampleRate with the host's and the kernel's limits.
bool canSampleRate(const APIDeviceInfo& info, unsigned long rate, const RateLimits& limits);

// The rates getSampleRates lists, in order: the rate in force alone when the host only takes
// that, otherwise those of kListedRates that canSampleRate accepts.
std::vector<uint32_t> supportedSampleRates(const APIDeviceInfo& info, const RateLimits& limits);

// ---------------------------------------------------------------------------------------------
// Configuration

// Sum of the answers of requests 15 and 16 (0 for a failed one); asked only when the device's
// family has no fixed bus budget.
using KernelBandwidthQuery = std::function<unsigned()>;

// usbFindConfiguration: adjusts `cs` to what the device's rules allow, finds both directions in
// configuration 0 and checks the bus can carry them. `highSpeed` is the status block's
// high-speed word (false without a status block); `statusMapped` whether there is a status
// block. "Force Mono" pairs write their note to standard error.
bool findUsbConfiguration(const APIDeviceInfo& info, VIDPID id, bool highSpeed, bool statusMapped, bool inputLed,
                          APIDeviceInfoScanResult& in, APIDeviceInfoScanResult& out, VkChannelSettings& cs,
                          const KernelBandwidthQuery& kernelBandwidth);

// setStreamFormat's check: findUsbConfiguration led by the direction that changed, then again
// with that direction's bits at 24, 20 and 16 (each try starting from what the last one left).
bool findUsbConfigurationWithBitFallback(const APIDeviceInfo& info, VIDPID id, bool highSpeed, bool statusMapped,
                                         bool input, VkChannelSettings& cs,
                                         const KernelBandwidthQuery& kernelBandwidth);

// setStreamFormat with rate 0: the first of the current rate, 32000, 44100, 48000, 64000, 88200,
// 96000, 128000, 176400, 192000 that has the format in configuration 0; the current rate when
// none has.
uint32_t rateForFormat(const APIDeviceInfo& info, uint32_t currentRate, uint32_t bits, uint32_t channels,
                       bool input);

// setSampleRate's choice of settings for `rate`, requested from the `input` side or the output
// side. `current` are the status block's settings, `trueInChannels` the input channels in force.
// Applies canSampleRate with `limits` itself. `changed` tells whether channels, bits or
// configuration differ from `current` (the rate is not compared); `result` is written only on
// success.
bool chooseSettingsForRate(const APIDeviceInfo& info, VIDPID id, bool highSpeed, const VkChannelSettings& current,
                           uint32_t trueInChannels, bool input, unsigned rate, const RateLimits& limits,
                           bool& changed, VkChannelSettings& result);

// setSettings' degradation: tries `cs` as it is, then lowers the direction that did not lead
// (its bit depth, then its channel count) until `fits` accepts. `fits` may adjust `cs` and every
// later try starts from what it left. True when one fitted; `cs` then holds the settings that did.
bool degradeUntilFits(VkChannelSettings& cs, bool inputLed, const std::function<bool(VkChannelSettings&)>& fits);

// ---------------------------------------------------------------------------------------------
// Stream formats

struct FormatTriple {
    uint32_t rate;
    uint32_t channels;
    uint32_t bits; // 32 for the float formats

    bool operator==(const FormatTriple&) const = default;
};

// The formats of one direction, in the order the HAL gets them: physical ones one per (rate,
// channels, bits) configuration 0 carries, virtual ones one per (rate, channels) with any.
// With `fixedRate` only `currentRate` is tried. The host's current-rate-only rule (a single
// format, the current one) stays with the caller.
std::vector<FormatTriple> enumerateFormats(const APIDeviceInfo& info, VIDPID id, bool input, bool physical,
                                           bool fixedRate, uint32_t currentRate);

// An LPCM description: signed integers of `bits` (bytes from the table, 2 for an unknown
// depth) when physical, else 32-bit floats.
AudioStreamBasicDescription makeStreamFormat(Float64 rate, uint32_t channels, uint32_t bits, bool physical);

// enumerateFormats as descriptions, channel counts cut to `maxChannels`.
std::vector<AudioStreamBasicDescription> streamFormats(const APIDeviceInfo& info, VIDPID id, bool input,
                                                       bool physical, bool fixedRate, uint32_t currentRate,
                                                       unsigned long maxChannels);

// ---------------------------------------------------------------------------------------------
// Frame sizes and latencies

constexpr unsigned kMinFrameSize = 64;
constexpr unsigned kMaxFrameSize = 1024;

// The IO buffer sizes allowed at `rate`, in frames.
void getFrameSizeRange(unsigned rate, unsigned& min, unsigned& max);
// `frames` clamped to the range of `rate`.
unsigned validateMinMaxFrameSize(unsigned long frames, unsigned rate);

// updateLatencies: input and output latency and the output write-ahead, in frames, for `rate`
// (44100 when 0) and an IO buffer of `frames`. Results that would fall below 0 are 0.
void computeLatencies(VIDPID id, bool highSpeed, uint32_t rate, uint32_t frames, uint32_t& input,
                      uint32_t& output, uint32_t& writeAhead);
