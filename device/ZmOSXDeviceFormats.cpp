// What the device offers and runs at: configuration search, rates, stream formats, format and
// rate changes, frame sizes and latencies. The rules themselves are in FormatRules; these
// members hand them the device's state and keep the notifications and kernel requests.
#include <CoreAudio/AudioHardware.h>
#include <IOKit/IOReturn.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include "device/FormatRules.h"
#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"

namespace {

// Channels to announce per-channel changes for: the counts come from the kernel.
constexpr uint32_t kMaxNotifiedChannels = 256;

bool isHighRate(uint32_t rate)
{
    return rate == 88200 || rate == 96000;
}

bool sameFormat(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

Float64 formatRate(const AudioStreamBasicDescription& physicalIn, const AudioStreamBasicDescription& physicalOut)
{
    return physicalIn.mSampleRate != 0 ? physicalIn.mSampleRate : physicalOut.mSampleRate;
}

} // namespace

RateLimits ZmOSXDevice::rateLimits() const
{
    RateLimits limits;
    limits.currentRateOnly = m_iClientAppType == kClientDigitalPerformer;
    limits.trueRate = m_cTrueChannels.iFrequency;
    if (const KernelStatusBlock* s = status()) {
        limits.fixedRate =
            std::atomic_ref<uint8_t>(const_cast<uint8_t&>(s->ajExt.bFixedRate)).load(std::memory_order_acquire) != 0;
        limits.statusRate = statusChannels().iFrequency;
    }
    return limits;
}

unsigned ZmOSXDevice::kernelBandwidth()
{
    unsigned total = 0;
    for (Req code : {kReqBandwidth1, kReqBandwidth2}) {
        DriverRequest request{};
        if (callDriver(code, request))
            total += request.word(0);
    }
    return total;
}

void ZmOSXDevice::currentFormats(AudioStreamBasicDescription& inVirtual, AudioStreamBasicDescription& outVirtual,
                                 AudioStreamBasicDescription& inPhysical, AudioStreamBasicDescription& outPhysical)
{
    inVirtual = outVirtual = inPhysical = outPhysical = AudioStreamBasicDescription{};
    getStreamFormat(true, &inVirtual, false, 128);
    getStreamFormat(false, &outVirtual, false, 128);
    getStreamFormat(true, &inPhysical, true, 128);
    getStreamFormat(false, &outPhysical, true, 128);
}

// ---------------------------------------------------------------------------------------------
// USB configuration

bool ZmOSXDevice::usbFindConfiguration(bool inputLed, APIDeviceInfoScanResult& in, APIDeviceInfoScanResult& out,
                                       VkChannelSettings& cs)
{
    return ::findUsbConfiguration(m_deviceInfo, getVIDPID(), isUSB2Device(), status() != nullptr, inputLed, in, out,
                                  cs, [this] { return kernelBandwidth(); });
}

void ZmOSXDevice::usbConfigureDevice()
{
    KernelStatusBlock* s = status();
    if (s == nullptr)
        return;
    VkChannelSettings cs{44100, 2, 16, 2, 16, 0};
    APIDeviceInfoScanResult in, out;
    usbFindConfiguration(false, in, out, cs);
    std::memcpy(&s->channels, &cs, sizeof cs);
    callDriver(kReqSetConfiguration);
}

// ---------------------------------------------------------------------------------------------
// Rates

void ZmOSXDevice::getCaps(XsDeviceCapabilitiesEx& caps)
{
    fillCaps(m_deviceInfo, caps);
}

bool ZmOSXDevice::canSampleRate(unsigned long rate)
{
    return ::canSampleRate(m_deviceInfo, rate, rateLimits());
}

unsigned ZmOSXDevice::getSampleRates(AudioValueRange* list, unsigned max)
{
    const std::vector<uint32_t> rates = supportedSampleRates(m_deviceInfo, rateLimits());
    if (list == nullptr)
        return unsigned(rates.size());
    const unsigned n = std::min<unsigned>(max, unsigned(rates.size()));
    for (unsigned k = 0; k < n; ++k)
        list[k] = {Float64(rates[k]), Float64(rates[k])};
    return n;
}

bool ZmOSXDevice::setSampleRate(bool input, unsigned rate, bool& changed, VkChannelSettings& result)
{
    changed = false;
    if (status() == nullptr)
        return false;
    return chooseSettingsForRate(m_deviceInfo, getVIDPID(), isUSB2Device(), statusChannels(),
                                 m_cTrueChannels.iInChannels, input, rate, rateLimits(), changed, result);
}

bool ZmOSXDevice::setFrequency(bool input, unsigned rate)
{
    // The choice is made from the settings in force: no other change may come between.
    FormatTurn turn(*this);
    bool changed = false;
    VkChannelSettings cs{};
    if (!setSampleRate(input, rate, changed, cs))
        return false;
    // While our own stream is registered with the kernel the change waits for our next start.
    return setSettings(cs, input, isRunningStream()) == 0;
}

// ---------------------------------------------------------------------------------------------
// Stream formats

OSStatus ZmOSXDevice::getStreamFormat(bool input, AudioStreamBasicDescription* format, bool physical,
                                      unsigned long maxChannels)
{
    if (status() == nullptr)
        return kIOReturnNoDevice;
    if (format == nullptr)
        return kIOReturnBadArgument;
    const uint32_t rate = m_cReportedChannels.iFrequency;
    uint32_t channels, bits;
    if (m_iPendingDirection != 0) {
        channels = input ? m_cRequestedChannels.iInChannels : m_cRequestedChannels.iOutChannels;
        bits = input ? m_cRequestedChannels.iInBits : m_cRequestedChannels.iOutBits;
    } else {
        const VkChannelSettings& counts = physical ? m_cTrueChannels : m_cReportedChannels;
        channels = input ? counts.iInChannels : counts.iOutChannels;
        const VkChannelSettings current = statusChannels();
        bits = input ? current.iInBits : current.iOutBits;
    }
    // A direction the full-speed bus switched off at the high rates still shows what was asked.
    if (channels == 0 && !isUSB2Device() && isHighRate(rate) && !hostIsControlPanelOrAudioSetup()) {
        const uint32_t requested = input ? m_cRequestedChannels.iInChannels : m_cRequestedChannels.iOutChannels;
        if (requested != 0)
            channels = requested;
    }
    channels = uint32_t(std::min<unsigned long>(channels, maxChannels));
    *format = makeStreamFormat(rate, channels, bits, physical);
    return 0;
}

int ZmOSXDevice::getStreamFormatNum(bool input, bool physical)
{
    const RateLimits limits = rateLimits();
    if (limits.currentRateOnly)
        return 1;
    return int(enumerateFormats(m_deviceInfo, getVIDPID(), input, physical, limits.fixedRate, limits.statusRate)
                   .size());
}

OSStatus ZmOSXDevice::getStreamFormats(bool input, AudioStreamBasicDescription* list, int count, bool physical,
                                       unsigned long maxChannels)
{
    const RateLimits limits = rateLimits();
    if (limits.currentRateOnly) {
        if (count != 1 || list == nullptr)
            return kIOReturnBadArgument;
        return getStreamFormat(input, list, physical, ULONG_MAX);
    }
    const auto formats =
        streamFormats(m_deviceInfo, getVIDPID(), input, physical, limits.fixedRate, limits.statusRate, maxChannels);
    if (count < 0 || size_t(count) != formats.size() || (count > 0 && list == nullptr))
        return kIOReturnBadArgument;
    std::copy(formats.begin(), formats.end(), list);
    return 0;
}

OSStatus ZmOSXDevice::getAvailableFormats(bool input, AudioStreamRangedDescription* list, int count, bool physical,
                                          unsigned long maxChannels)
{
    if (count < 0 || (count > 0 && list == nullptr))
        return kIOReturnBadArgument;
    // The caller's count sizes nothing before it is known to be the right one.
    if (count != getStreamFormatNum(input, physical))
        return kIOReturnBadArgument;
    std::vector<AudioStreamBasicDescription> formats(static_cast<size_t>(count));
    const OSStatus result = getStreamFormats(input, formats.data(), count, physical, maxChannels);
    if (result != 0)
        return result;
    // Each format runs at its own rate only.
    for (int k = 0; k < count; ++k) {
        list[k].mFormat = formats[size_t(k)];
        list[k].mSampleRateRange = AudioValueRange{formats[size_t(k)].mSampleRate, formats[size_t(k)].mSampleRate};
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Format and rate changes

OSStatus ZmOSXDevice::setStreamFormat(bool input, const AudioStreamBasicDescription* format, bool skipUsbCheck)
{
    if (status() == nullptr)
        return kIOReturnNoDevice;
    // A listener of our own notifications may call back in: the nested call does nothing.
    // Calls from other threads wait for their turn.
    if (formatTurnIsOurs() && m_iFormatGuard.load() >= 1)
        return 0;
    FormatTurn turn(*this);
    m_iFormatGuard.fetch_add(1);
    struct Release {
        std::atomic<int32_t>& guard;
        ~Release() { guard.fetch_sub(1); }
    } release{m_iFormatGuard};

    if (format == nullptr)
        return kIOReturnBadArgument;
    VkChannelSettings cs = m_iPendingDirection != 0 ? m_cRequestedChannels : statusChannels();
    const uint32_t channels = format->mChannelsPerFrame;
    const uint32_t bits = format->mBitsPerChannel;
    (input ? cs.iInChannels : cs.iOutChannels) = channels;
    (input ? cs.iInBits : cs.iOutBits) = bits;

    const Float64 requested = format->mSampleRate;
    uint32_t rate = requested >= 1 && requested < 4294967296.0 ? uint32_t(requested) : 0;
    if (rate == 0)
        rate = rateForFormat(m_deviceInfo, cs.iFrequency, bits, channels, input);
    cs.iFrequency = rate;

    if (!skipUsbCheck
        && !findUsbConfigurationWithBitFallback(m_deviceInfo, getVIDPID(), isUSB2Device(), true, input, cs,
                                                [this] { return kernelBandwidth(); }))
        return kIOReturnUnsupported;

    const VkChannelSettings& now = m_cTrueChannels;
    const bool sameLayout = cs.iInChannels == now.iInChannels && cs.iInBits == now.iInBits
        && cs.iOutChannels == now.iOutChannels && cs.iOutBits == now.iOutBits;
    if (sameLayout) {
        if (cs.iFrequency == now.iFrequency)
            return 0;
    } else if (m_eStreamState.load() != kStreamIdle) {
        puts("HAL: ERROR ZmOSXDevice::setStreamFormat while streaming");
        return kIOReturnBusy;
    }
    return setSettings(cs, input, false);
}

OSStatus ZmOSXDevice::setSettings(VkChannelSettings cs, bool inputLed, bool deferred)
{
    AudioStreamBasicDescription inVirtual{}, outVirtual{}, inPhysical{}, outPhysical{};
    currentFormats(inVirtual, outVirtual, inPhysical, outPhysical);
    if (status() == nullptr)
        return kIOReturnNoDevice;
    const VkChannelSettings current = statusChannels();

    APIDeviceInfoScanResult in, out;
    if (!degradeUntilFits(cs, inputLed,
                          [&](VkChannelSettings& tried) { return usbFindConfiguration(inputLed, in, out, tried); })) {
        // Clients re-read the formats, which have not changed.
        if (m_pClient != nullptr)
            m_pClient->onFormatChanged(this);
        return kIOReturnBadArgument;
    }

    const bool changed = cs.iFrequency != current.iFrequency || cs.iInChannels != current.iInChannels
        || cs.iOutChannels != current.iOutChannels || cs.iInBits != current.iInBits
        || cs.iOutBits != current.iOutBits;

    if (deferred && !hostIsControlPanelOrAudioSetup()) {
        // Applied by our next IOProc start; until then the formats describe the request.
        m_cRequestedChannels = cs;
        setIOProcChannels(cs);
        m_iPendingDirection = inputLed ? 1 : 2;
        createIOBuffers();
    } else {
        bool refused = false;
        const VkChannelSettings before = m_cTrueChannels;
        if (changed) {
            DriverRequest request{};
            const uint32_t words[] = {cs.iFrequency, cs.iInChannels,  cs.iInBits,
                                      cs.iOutChannels, cs.iOutBits, cs.iConfiguration};
            for (size_t k = 0; k < std::size(words); ++k)
                request.setWord(k, words[k]);
            refused = !callDriver(kReqSetChannelSettings, request);
            // Refused or not, the block says what is in force.
            m_cTrueChannels = statusChannels();
            updateChannelsToReport(m_cReportedChannels, m_cTrueChannels, this);
        }
        // A request that is not deferred replaces any deferred one, even when refused: the
        // formats then describe the hardware again.
        m_cRequestedChannels = statusChannels();
        m_iPendingDirection = 0;
        if (changed && !(refused && m_cTrueChannels == before)) {
            setFrameSize(m_frameSize.getUInt32(), false, true);
            updateLatencies();
        }
        if (refused) {
            // Clients re-read the formats, whatever they are now.
            if (!checkReportFormatChange(inVirtual, outVirtual, inPhysical, outPhysical) && m_pClient != nullptr)
                m_pClient->onFormatChanged(this);
            return kIOReturnError;
        }
    }
    checkReportFormatChange(inVirtual, outVirtual, inPhysical, outPhysical);
    return 0;
}

bool ZmOSXDevice::checkReportFormatChange(AudioStreamBasicDescription& oldInVirtual,
                                          AudioStreamBasicDescription& oldOutVirtual,
                                          AudioStreamBasicDescription& oldInPhysical,
                                          AudioStreamBasicDescription& oldOutPhysical)
{
    AudioStreamBasicDescription inVirtual{}, outVirtual{}, inPhysical{}, outPhysical{};
    currentFormats(inVirtual, outVirtual, inPhysical, outPhysical);
    const bool inPhysicalChanged = !sameFormat(oldInPhysical, inPhysical);
    const bool outPhysicalChanged = !sameFormat(oldOutPhysical, outPhysical);
    const bool inVirtualChanged = !sameFormat(oldInVirtual, inVirtual);
    const bool outVirtualChanged = !sameFormat(oldOutVirtual, outVirtual);
    const bool rateChanged = formatRate(oldInPhysical, oldOutPhysical) != formatRate(inPhysical, outPhysical);
    const bool any = inPhysicalChanged || outPhysicalChanged || inVirtualChanged || outVirtualChanged || rateChanged;
    if (any) {
        puts("...onFormatChanged");
        if (m_pClient != nullptr)
            m_pClient->onFormatChanged(this);
    }
    if (m_pluginRef == nullptr || getAudioDeviceID() == 0)
        return any;
    const uint32_t inChannels = std::min(m_cReportedChannels.iInChannels, kMaxNotifiedChannels);
    const uint32_t outChannels = std::min(m_cReportedChannels.iOutChannels, kMaxNotifiedChannels);
    if (inPhysicalChanged)
        for (uint32_t ch = 0; ch < inChannels; ++ch)
            notifyDevice(true, kAudioStreamPropertyPhysicalFormat, ch);
    if (outPhysicalChanged)
        for (uint32_t ch = 0; ch < outChannels; ++ch)
            notifyDevice(false, kAudioStreamPropertyPhysicalFormat, ch);
    if (inVirtualChanged)
        for (uint32_t ch = 0; ch < inChannels; ++ch)
            notifyDevice(true, kAudioDevicePropertyStreamFormat, ch);
    if (outVirtualChanged)
        for (uint32_t ch = 0; ch < outChannels; ++ch)
            notifyDevice(false, kAudioDevicePropertyStreamFormat, ch);
    if (rateChanged) {
        notifyDevice(true, kAudioDevicePropertyNominalSampleRate);
        notifyDevice(false, kAudioDevicePropertyNominalSampleRate);
    }
    if (any) {
        notifyDevice(true, kAudioDevicePropertyLatency);
        notifyDevice(false, kAudioDevicePropertyLatency);
    }
    struct Side {
        AudioStreamID stream;
        bool physical, virtualFormat;
    };
    for (const Side& side : {Side{getInAudioStreamID(), inPhysicalChanged, inVirtualChanged},
                             Side{getOutAudioStreamID(), outPhysicalChanged, outVirtualChanged}}) {
        if (side.physical)
            notifyStream(side.stream, kAudioStreamPropertyPhysicalFormat);
        if (side.virtualFormat)
            notifyStream(side.stream, kAudioDevicePropertyStreamFormat);
        if (rateChanged)
            notifyStream(side.stream, kAudioDevicePropertyNominalSampleRate);
        if (any)
            notifyStream(side.stream, kAudioDevicePropertyLatency);
    }
    return any;
}

// ---------------------------------------------------------------------------------------------
// Turns of format changes

ZmOSXDevice::FormatTurn::FormatTurn(ZmOSXDevice& device) : m_device(device)
{
    m_device.m_formatMutex.lock();
    if (m_device.m_iFormatDepth++ == 0)
        m_device.m_formatThread.store(std::this_thread::get_id());
}

ZmOSXDevice::FormatTurn::~FormatTurn()
{
    if (--m_device.m_iFormatDepth == 0)
        m_device.m_formatThread.store(std::thread::id{});
    m_device.m_formatMutex.unlock();
}

// ---------------------------------------------------------------------------------------------
// Frame sizes and latencies

unsigned ZmOSXDevice::setFrameSize(unsigned long frames, bool, bool force)
{
    const unsigned size = validateMinMaxFrameSize(frames);
    if (size == getFrameSize() && !force)
        return 0;
    if (m_eStreamState.load() == kStreamIdle) {
        m_frameSize.set(size, true);
        m_iPendingFrameSize = 0;
    } else {
        // The I/O thread takes it between two buffers, with the buffers, the latencies and the
        // write-ahead that go with it, so that no buffer is written at a half-changed position.
        m_iPendingFrameSize = size;
        // The stream may have gone idle meanwhile, with nobody left to apply it.
        settlePendingFrameSize();
        return 0;
    }
    createIOBuffers();
    updateLatencies();
    return 0;
}

unsigned ZmOSXDevice::getFrameSize() const
{
    if (const uint32_t pending = m_iPendingFrameSize.load())
        return pending;
    if (const uint32_t current = m_frameSize.getUInt32())
        return current;
    return m_iDefaultFrameSize;
}

unsigned ZmOSXDevice::getFrameSizeBytes(bool input) const
{
    return getFrameSize() * (input ? m_cReportedChannels.iInChannels : m_cReportedChannels.iOutChannels) * 4;
}

void ZmOSXDevice::getFrameSizeRange(unsigned rate, unsigned& min, unsigned& max) const
{
    ::getFrameSizeRange(rate, min, max);
}

void ZmOSXDevice::getFrameSizeRangeInt(unsigned& min, unsigned& max) const
{
    min = max = 0;
    if (status() != nullptr)
        ::getFrameSizeRange(statusChannels().iFrequency, min, max);
}

void ZmOSXDevice::getFrameSizeRange(double& min, double& max) const
{
    unsigned lo = 0, hi = 0;
    getFrameSizeRangeInt(lo, hi);
    min = lo;
    max = hi;
}

void ZmOSXDevice::getFrameSizeRangeBytes(bool input, double& min, double& max) const
{
    getFrameSizeRange(min, max);
    const double bytesPerFrame =
        double(input ? m_cReportedChannels.iInChannels : m_cReportedChannels.iOutChannels) * 4;
    min *= bytesPerFrame;
    max *= bytesPerFrame;
}

unsigned ZmOSXDevice::validateMinMaxFrameSize(unsigned long frames) const
{
    if (status() == nullptr)
        return 0;
    return ::validateMinMaxFrameSize(frames, statusChannels().iFrequency);
}

void ZmOSXDevice::updateLatencies()
{
    updateLatencies(m_cTrueChannels.iFrequency);
}

void ZmOSXDevice::updateLatencies(uint32_t rate)
{
    uint32_t input = 0, output = 0, writeAhead = 0;
    computeLatencies(getVIDPID(), isUSB2Device(), rate, getFrameSize(), input, output, writeAhead);
    m_iOutputWriteAhead = writeAhead;
    const bool inputChanged = m_inputLatency.set(input, false);
    const bool outputChanged = m_outputLatency.set(output, false);
    if (!inputChanged && !outputChanged)
        return;
    if (onIOThread()) {
        // The real-time thread calls nobody: the run loop tells them.
        m_iDeferred.fetch_or(kNoteLatency, std::memory_order_release);
        return;
    }
    notifyLatencies();
}

void ZmOSXDevice::notifyLatencies()
{
    if (m_pClient != nullptr)
        m_pClient->onLatencyChanged(this);
    notifyDevice(true, kAudioDevicePropertyLatency);
    notifyDevice(true, kAudioDevicePropertySafetyOffset);
    for (AudioStreamID stream : {getInAudioStreamID(), getOutAudioStreamID()}) {
        notifyStream(stream, kAudioDevicePropertyLatency);
        notifyStream(stream, kAudioDevicePropertySafetyOffset);
    }
}

UInt32 ZmOSXDevice::getLatency(bool input) const
{
    return (input ? m_inputLatency : m_outputLatency).getUInt32();
}
