// The ALSA PCM type "tarsel": alsa-lib's external I/O plug-in on a device of the HAL, so that
// programs that speak ALSA play and record through TARSEL.plugin unchanged. It reaches the
// device through the HAL's client calls only.
//
// The program's thread converts its samples to and from float frames in a ring that the
// IOProc empties or fills once a cycle; the IOProc wakes the program through an eventfd, at
// most one write a cycle. The ring holds exactly the ALSA buffer, so ALSA's pointers are the
// ring's counters: a playback ring that runs dry or a capture ring that overflows is an xrun.
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/HostTime.h>
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/HALDevices.h"
#include "tools/alsa/PcmStream.h"
#include "tools/alsa/SampleFormats.h"

namespace {

using namespace tarselalsa;

// Period sizes and buffer sizes offered, in frames, before the device's frame-size range
// narrows what a cycle may be.
constexpr uint32_t kMaxPeriodFrames = 8192;
constexpr uint32_t kMaxBufferFrames = 65536;
constexpr uint32_t kMaxPeriods = 1024;
// How long a drain waits for a device that takes no audio before it gives up.
constexpr auto kStallLimit = std::chrono::seconds(2);
// Streams open at once in a process: the HAL tells IOProcs apart by their function, so each
// stream takes one of this many.
constexpr size_t kMaxStreams = 16;

class TarselPcm;

// --- the streams of the process -----------------------------------------------------------------

// The open streams, the IOProc functions they hold, and the one listener that hears a device
// go. The listener runs on the HAL's notification thread and touches the streams only under
// the lock, so that a stream closed meanwhile is not touched. Never destroyed: the HAL may
// call the listener until it is unloaded, at exit at the latest.
struct Registry {
    // Held by opening and closing: the HAL is loaded and unloaded under it. The listener does
    // not take it (unloading waits for the listener to return).
    std::mutex life;
    std::mutex lock;
    std::array<TarselPcm*, kMaxStreams> streams{};
    bool listening = false;
};

Registry& registry()
{
    static Registry* const r = new Registry;
    return *r;
}

OSStatus devicesChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*);

constexpr AudioObjectPropertyAddress kDevicesAddress{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMaster};

OSStatus ioCycle(size_t slot, const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp* inputTime,
                 AudioBufferList* output, void* clientData);

template <size_t N>
OSStatus slotProc(AudioDeviceID, const AudioTimeStamp* now, const AudioBufferList* input,
                  const AudioTimeStamp* inputTime, AudioBufferList* output, const AudioTimeStamp*, void* clientData)
{
    return ioCycle(N, now, input, inputTime, output, clientData);
}

template <size_t... N>
constexpr std::array<AudioDeviceIOProc, sizeof...(N)> makeSlotProcs(std::index_sequence<N...>)
{
    return {&slotProc<N>...};
}

constexpr std::array<AudioDeviceIOProc, kMaxStreams> kSlotProcs = makeSlotProcs(std::make_index_sequence<kMaxStreams>{});

// --- one stream ---------------------------------------------------------------------------------

class TarselPcm {
public:
    explicit TarselPcm(snd_pcm_stream_t stream) : m_input(stream == SND_PCM_STREAM_CAPTURE) {}
    ~TarselPcm()
    {
        if (m_wake >= 0)
            close(m_wake);
    }
    TarselPcm(const TarselPcm&) = delete;
    TarselPcm& operator=(const TarselPcm&) = delete;

    int open(const std::string& choice, const char* name, snd_pcm_stream_t stream, int mode);
    void shut();

    // The ioplug callbacks, on the program's thread.
    int hwParams(snd_pcm_hw_params_t* params);
    int swParams(snd_pcm_sw_params_t* params);
    int prepare();
    int start();
    int stop();
    snd_pcm_sframes_t pointer();
    snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset, snd_pcm_uframes_t size);
    int delay(snd_pcm_sframes_t* delay);
    int drain();
    int pollRevents(struct pollfd* fds, unsigned int count, unsigned short* revents);
    void dump(snd_output_t* out);

    // The IOProc.
    void cycle(const AudioTimeStamp* inputTime, const AudioBufferList* input, AudioBufferList* output);
    // The notification thread, under the registry's lock.
    void deviceListChanged(const std::vector<AudioDeviceID>& devices);

    snd_pcm_ioplug_t io{};

private:
    int setConstraints();
    void stopIOProc();
    void wake();
    void drainWake();
    bool gone() const { return m_gone.load(std::memory_order_acquire); }
    // ALSA's application pointer as a count since prepare.
    uint64_t applCount();
    double framesSince(uint64_t hostTime) const;
    uint64_t nowHost() const { return AudioGetCurrentHostTime(); }

    const bool m_input;
    AudioDeviceID m_device = kAudioDeviceUnknown;
    std::string m_title;
    size_t m_slot = kMaxStreams;
    AudioDeviceIOProcID m_proc = nullptr;
    bool m_started = false;
    int m_wake = -1;
    uint32_t m_deviceChannels = 0;
    UInt32 m_frameSizeMin = 0, m_frameSizeMax = 0;

    // Set up by hw_params and sw_params, while the IOProc does not run.
    PcmRing m_ring;
    SampleFormat m_format = SampleFormat::Float32;
    DeviceDelays m_delays;
    double m_ticksPerFrame = 0;
    snd_pcm_uframes_t m_boundary = 0;
    std::atomic<bool> m_stopOnXrun{true}; // sw_params may come while the stream runs
    std::atomic<uint64_t> m_availMin{1};

    // The program's side.
    uint64_t m_appl = 0;           // ALSA's application pointer, as a count
    snd_pcm_uframes_t m_lastAppl = 0;

    // Raised by the IOProc (xrun, drained) and the listener (gone).
    std::atomic<bool> m_xrun{false};
    std::atomic<bool> m_draining{false};
    std::atomic<bool> m_drained{false};
    // The IOProc's alone: the device's frames since prepare, and the count at which the last
    // frame written has surely been heard.
    uint64_t m_cyclePosition = 0;
    uint64_t m_drainTarget = 0;
    std::atomic<bool> m_gone{false};
    std::atomic<uint64_t> m_cycles{0};
    std::atomic<uint32_t> m_shapeErrors{0};
    CycleRecord m_last;
};

// --- the IOProc ---------------------------------------------------------------------------------

OSStatus ioCycle(size_t, const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp* inputTime,
                 AudioBufferList* output, void* clientData)
{
    static_cast<TarselPcm*>(clientData)->cycle(inputTime, input, output);
    return kAudioHardwareNoError;
}

// The frames a buffer list holds for `channels` channels in all, or 0 when its shape is not
// that: every buffer float, the same frame count in each.
uint32_t framesOf(const AudioBufferList* list, uint32_t channels)
{
    if (list == nullptr || list->mNumberBuffers == 0)
        return 0;
    uint32_t total = 0, frames = 0;
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = list->mBuffers[b];
        if (buffer.mData == nullptr || buffer.mNumberChannels == 0)
            return 0;
        const uint32_t n = buffer.mDataByteSize / (uint32_t(sizeof(float)) * buffer.mNumberChannels);
        if (b == 0)
            frames = n;
        else if (n != frames)
            return 0;
        total += buffer.mNumberChannels;
    }
    return total == channels ? frames : 0;
}

// Ring frames (all device channels together) to and from the buffers of a list, from frame
// `at` of the buffers on.
void ringToBuffers(const float* ring, uint32_t channels, uint64_t frames, AudioBufferList* list, uint64_t at)
{
    uint32_t first = 0;
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        AudioBuffer& buffer = list->mBuffers[b];
        const uint32_t n = buffer.mNumberChannels;
        float* out = static_cast<float*>(buffer.mData) + at * n;
        if (n == channels) {
            std::memcpy(out, ring, size_t(frames) * channels * sizeof(float));
        } else {
            for (uint64_t f = 0; f < frames; ++f)
                std::memcpy(out + f * n, ring + f * channels + first, n * sizeof(float));
        }
        first += n;
    }
}

void buffersToRing(const AudioBufferList* list, uint64_t at, uint64_t frames, float* ring, uint32_t channels)
{
    uint32_t first = 0;
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = list->mBuffers[b];
        const uint32_t n = buffer.mNumberChannels;
        const float* in = static_cast<const float*>(buffer.mData) + at * n;
        if (n == channels) {
            std::memcpy(ring, in, size_t(frames) * channels * sizeof(float));
        } else {
            for (uint64_t f = 0; f < frames; ++f)
                std::memcpy(ring + f * channels + first, in + f * n, n * sizeof(float));
        }
        first += n;
    }
}

void clearBuffers(AudioBufferList* list, uint64_t at)
{
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        AudioBuffer& buffer = list->mBuffers[b];
        const size_t from = size_t(at) * buffer.mNumberChannels * sizeof(float);
        if (from < buffer.mDataByteSize)
            std::memset(static_cast<char*>(buffer.mData) + from, 0, buffer.mDataByteSize - from);
    }
}

void TarselPcm::cycle(const AudioTimeStamp* inputTime, const AudioBufferList* input, AudioBufferList* output)
{
    const uint64_t entry = AudioGetCurrentHostTime();
    const uint32_t channels = m_ring.channels();
    if (!m_input && output != nullptr)
        clearBuffers(output, 0);
    const uint32_t frames = m_input ? framesOf(input, m_deviceChannels) : framesOf(output, m_deviceChannels);
    if (frames == 0) {
        m_shapeErrors.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // When the input buffer began; without a stamp, it ended as the call came.
    uint64_t began = entry - std::min<uint64_t>(entry, uint64_t(frames * m_ticksPerFrame));
    if (inputTime != nullptr && (inputTime->mFlags & kAudioTimeStampHostTimeValid) != 0 && inputTime->mHostTime != 0)
        began = inputTime->mHostTime;
    bool signal = false;
    uint64_t count = 0;
    // This cycle's input buffer began at `position` of the device's frames since the start.
    const uint64_t position = m_cyclePosition;
    m_cyclePosition += frames;
    if (m_xrun.load(std::memory_order_relaxed)) {
        // Stopped as ALSA stops on an xrun: nothing moves until the program prepares again.
        count = m_input ? m_ring.written() : m_ring.taken();
    } else if (!m_input) {
        const uint64_t written = m_ring.written();
        const uint64_t taken = m_ring.taken();
        const uint64_t n = std::min<uint64_t>(written - taken, frames);
        m_ring.pieces(taken, n, [&](const float* ring, uint64_t at, uint64_t piece) {
            ringToBuffers(ring, channels, piece, output, at);
        });
        count = taken + n;
        m_ring.publishTaken(count);
        if (n < frames) {
            if (m_draining.load(std::memory_order_acquire)) {
                // The last frame went out at offset n - 1 of this buffer. It is heard when the
                // device's input has reached that position plus the output side of the
                // device's figures, and the mix is sure to have been made when the input
                // side has passed too: counted in the device's own frames, not in host time,
                // which the device's packets may trail.
                if (m_drainTarget == 0)
                    m_drainTarget = position + n + m_delays.outputLatency + m_delays.outputSafety + 2ull * frames +
                        m_delays.inputLatency + m_delays.inputSafety;
            } else if (m_stopOnXrun.load(std::memory_order_relaxed)) {
                m_xrun.store(true, std::memory_order_release);
                signal = true;
            }
        }
        if (m_drainTarget != 0 && m_cyclePosition >= m_drainTarget && !m_drained.load(std::memory_order_relaxed)) {
            m_drained.store(true, std::memory_order_release);
            signal = true;
        }
        if (m_ring.capacity() - (written - count) >= m_availMin.load(std::memory_order_relaxed))
            signal = true;
    } else {
        const uint64_t written = m_ring.written();
        const uint64_t taken = m_ring.taken();
        const uint64_t room = m_ring.capacity() - (written - taken);
        const uint64_t n = std::min<uint64_t>(room, frames);
        m_ring.pieces(written, n, [&](float* ring, uint64_t at, uint64_t piece) {
            buffersToRing(input, at, piece, ring, channels);
        });
        count = written + n;
        m_ring.publishWritten(count);
        if (n < frames && m_stopOnXrun.load(std::memory_order_relaxed)) {
            m_xrun.store(true, std::memory_order_release);
            signal = true;
        }
        if (count - taken >= m_availMin.load(std::memory_order_relaxed))
            signal = true;
    }
    m_last.publish({began, frames, count});
    m_cycles.fetch_add(1, std::memory_order_relaxed);
    if (signal)
        wake();
}

void TarselPcm::wake()
{
    // The one system call of the cycle; a full counter (never, in practice) only means the
    // program is awake anyway.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(m_wake, &one, sizeof one);
}

// --- the listener -------------------------------------------------------------------------------

void TarselPcm::deviceListChanged(const std::vector<AudioDeviceID>& devices)
{
    if (std::find(devices.begin(), devices.end(), m_device) != devices.end() || gone())
        return;
    m_gone.store(true, std::memory_order_release);
    wake();
}

OSStatus devicesChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*)
{
    const std::vector<AudioDeviceID> list = haltools::devices();
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (TarselPcm* pcm : r.streams)
        if (pcm != nullptr)
            pcm->deviceListChanged(list);
    return kAudioHardwareNoError;
}

// --- opening and closing ------------------------------------------------------------------------

bool allDigits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The device `choice` names (its number in the HAL's list, or its UID), or the default device
// of the direction; kAudioDeviceUnknown with the reason said.
AudioDeviceID findDevice(const std::string& choice, bool input)
{
    const std::vector<AudioDeviceID> list = haltools::devices();
    if (list.empty()) {
        SNDERR("tarsel: no audio device (is the kernel driver running, and TARSEL_HAL_PLUGIN_DIR the folder of "
               "TARSEL.plugin?)");
        return kAudioDeviceUnknown;
    }
    if (choice.empty()) {
        const AudioDeviceID device = haltools::defaultDevice(input);
        if (device == kAudioDeviceUnknown)
            SNDERR("tarsel: there is no default %s device", input ? "input" : "output");
        return device;
    }
    if (allDigits(choice)) {
        if (choice.size() > 6 || std::stoul(choice) >= list.size()) {
            SNDERR("tarsel: there is no device %s (%zu attached, numbered from 0)", choice.c_str(), list.size());
            return kAudioDeviceUnknown;
        }
        return list[std::stoul(choice)];
    }
    for (AudioDeviceID candidate : list)
        if (haltools::deviceUID(candidate) == choice)
            return candidate;
    SNDERR("tarsel: no device has the UID '%s'", choice.c_str());
    return kAudioDeviceUnknown;
}

int errorOf(OSStatus status)
{
    return status == kAudioHardwareBadDeviceError || status == kAudioHardwareBadObjectError ? -ENODEV : -EIO;
}

extern const snd_pcm_ioplug_callback_t kCallbacks;

int TarselPcm::open(const std::string& choice, const char* name, snd_pcm_stream_t stream, int mode)
{
    std::lock_guard<std::mutex> life(registry().life);
    m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wake < 0)
        return -errno;
    {
        // A slot first: the listener may hear of this stream from now on.
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        for (size_t i = 0; i < kMaxStreams; ++i)
            if (r.streams[i] == nullptr) {
                m_slot = i;
                break;
            }
        if (m_slot == kMaxStreams) {
            SNDERR("tarsel: %zu streams are open in this process already", kMaxStreams);
            return -EBUSY;
        }
        r.streams[m_slot] = this;
    }
    // The first client call loads the HAL and its plug-ins.
    m_device = findDevice(choice, m_input);
    if (m_device == kAudioDeviceUnknown)
        return -ENODEV;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        if (!r.listening)
            r.listening = AudioObjectAddPropertyListener(kAudioObjectSystemObject, &kDevicesAddress, &devicesChanged,
                                                         nullptr) == kAudioHardwareNoError;
    }
    m_title = haltools::deviceTitle(m_device);
    m_deviceChannels = haltools::channelCount(m_device, m_input);
    if (m_deviceChannels == 0) {
        SNDERR("tarsel: %s has no %s channels", m_title.c_str(), m_input ? "input" : "output");
        return -ENODEV;
    }
    const auto range = haltools::deviceProperty<AudioValueRange>(m_device, m_input,
                                                                 kAudioDevicePropertyBufferFrameSizeRange);
    if (!range || range->mMinimum < 1 || range->mMaximum < range->mMinimum) {
        SNDERR("tarsel: %s gives no frame-size range", m_title.c_str());
        return -EIO;
    }
    m_frameSizeMin = UInt32(range->mMinimum);
    m_frameSizeMax = UInt32(std::min<Float64>(range->mMaximum, kMaxPeriodFrames));
    if (const OSStatus status = AudioDeviceCreateIOProcID(m_device, kSlotProcs[m_slot], this, &m_proc)) {
        SNDERR("tarsel: cannot register an IOProc with %s (%s)", m_title.c_str(), haltools::statusText(status).c_str());
        m_proc = nullptr;
        return errorOf(status);
    }

    io.version = SND_PCM_IOPLUG_VERSION;
    io.name = "TARSEL through the HAL";
    // Time stamps stay on the wall clock: ioplug does not tell programs that they are
    // monotonic, and aplay reads an xrun's length against gettimeofday then.
    io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    io.poll_fd = m_wake;
    // An eventfd is always writable: the program waits for it to be readable either way, and
    // poll_revents turns that into the direction's event.
    io.poll_events = POLLIN;
    io.mmap_rw = 0;
    io.callback = &kCallbacks;
    io.private_data = this;
    if (const int err = snd_pcm_ioplug_create(&io, name, stream, mode); err < 0) {
        io.pcm = nullptr;
        return err;
    }
    return setConstraints();
}

int TarselPcm::setConstraints()
{
    static const unsigned int kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_RW_NONINTERLEAVED,
                                           SND_PCM_ACCESS_MMAP_INTERLEAVED, SND_PCM_ACCESS_MMAP_NONINTERLEAVED};
    static const unsigned int kFormats[] = {SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S32_LE,
                                            SND_PCM_FORMAT_S24_3LE};
    std::vector<unsigned int> rates;
    unsigned int lowest = 0, highest = 0;
    bool continuous = false;
    for (const AudioValueRange& r :
         haltools::deviceList<AudioValueRange>(m_device, m_input, kAudioDevicePropertyAvailableNominalSampleRates)) {
        if (r.mMinimum < 1 || r.mMaximum > 1e7 || r.mMaximum < r.mMinimum)
            continue;
        const auto low = unsigned(r.mMinimum + 0.5), high = unsigned(r.mMaximum + 0.5);
        continuous = continuous || low != high;
        rates.push_back(low);
        lowest = lowest == 0 ? low : std::min(lowest, low);
        highest = std::max(highest, high);
    }
    if (rates.empty()) {
        SNDERR("tarsel: %s lists no sample rates", m_title.c_str());
        return -EIO;
    }
    std::sort(rates.begin(), rates.end());
    rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
    // Bytes bound what ioplug refines: the smallest period must be a whole cycle in every
    // format, the largest sizes are bounded for the smallest frame.
    const unsigned maxFrameBytes = 4 * m_deviceChannels, minFrameBytes = 2;
    int err = snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_ACCESS, std::size(kAccess), kAccess);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_FORMAT, std::size(kFormats), kFormats);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_CHANNELS, 1, m_deviceChannels);
    if (err >= 0)
        err = continuous ? snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_RATE, lowest, highest)
                         : snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_RATE, unsigned(rates.size()), rates.data());
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, m_frameSizeMin * maxFrameBytes,
                                              kMaxPeriodFrames * minFrameBytes * m_deviceChannels);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIODS, 2, kMaxPeriods);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 2 * m_frameSizeMin * maxFrameBytes,
                                              kMaxBufferFrames * minFrameBytes * m_deviceChannels);
    return err;
}

void TarselPcm::shut()
{
    Registry& r = registry();
    std::lock_guard<std::mutex> life(r.life);
    stopIOProc();
    if (m_proc != nullptr) {
        AudioDeviceDestroyIOProcID(m_device, m_proc);
        m_proc = nullptr;
    }
    if (m_slot == kMaxStreams)
        return;
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.streams[m_slot] = nullptr;
        m_slot = kMaxStreams;
        last = std::all_of(r.streams.begin(), r.streams.end(), [](TarselPcm* p) { return p == nullptr; });
    }
    if (!last)
        return;
    // The last stream of the process: the HAL lets the device go, and loads again for the next.
    if (r.listening)
        AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &kDevicesAddress, &devicesChanged, nullptr);
    r.listening = false;
    AudioHardwareUnload();
}

// --- the callbacks ------------------------------------------------------------------------------

int TarselPcm::hwParams(snd_pcm_hw_params_t*)
{
    stopIOProc();
    if (gone())
        return -ENODEV;
    switch (io.format) {
    case SND_PCM_FORMAT_FLOAT_LE:
        m_format = SampleFormat::Float32;
        break;
    case SND_PCM_FORMAT_S16_LE:
        m_format = SampleFormat::Int16;
        break;
    case SND_PCM_FORMAT_S32_LE:
        m_format = SampleFormat::Int32;
        break;
    case SND_PCM_FORMAT_S24_3LE:
        m_format = SampleFormat::Int24Packed;
        break;
    default:
        return -EINVAL;
    }
    if (io.channels == 0 || io.channels > m_deviceChannels || io.buffer_size == 0 || io.buffer_size > kMaxBufferFrames * 4)
        return -EINVAL;

    // The rate: the device's own, changed through the HAL when the program asks for another.
    const Float64 rate = io.rate;
    if (haltools::nominalRate(m_device) != rate) {
        const OSStatus status = AudioDeviceSetProperty(m_device, nullptr, 0, false,
                                                       kAudioDevicePropertyNominalSampleRate, sizeof rate, &rate);
        if (status != kAudioHardwareNoError || haltools::nominalRate(m_device) != rate) {
            SNDERR("tarsel: %s did not take %u Hz (%s); it runs at %.0f Hz", m_title.c_str(), io.rate,
                   haltools::statusText(status).c_str(), haltools::nominalRate(m_device));
            return status == kAudioHardwareNoError ? -EBUSY : errorOf(status);
        }
    }
    // Another rate may come with other channels.
    if (haltools::channelCount(m_device, m_input) != m_deviceChannels) {
        SNDERR("tarsel: %s has another channel count at %u Hz", m_title.c_str(), io.rate);
        return -EINVAL;
    }
    // The period is the HAL's I/O frame size, as near as the device allows.
    const auto wanted = UInt32(std::clamp<snd_pcm_uframes_t>(io.period_size, m_frameSizeMin, m_frameSizeMax));
    if (haltools::deviceProperty<UInt32>(m_device, m_input, kAudioDevicePropertyBufferFrameSize) != wanted)
        AudioDeviceSetProperty(m_device, nullptr, 0, m_input, kAudioDevicePropertyBufferFrameSize, sizeof wanted, &wanted);
    const haltools::ReportedDelays reported = haltools::reportedDelays(m_device);
    if (!reported.complete || reported.frameSize == 0) {
        SNDERR("tarsel: %s does not report its frame size and delays", m_title.c_str());
        return -EIO;
    }
    // A cycle bigger than half the buffer would overrun it (or run it dry) every time.
    if (2ull * reported.frameSize > io.buffer_size) {
        SNDERR("tarsel: %s runs cycles of %u frames, too many for a buffer of %lu", m_title.c_str(),
               reported.frameSize, io.buffer_size);
        return -EINVAL;
    }
    m_delays = {reported.frameSize, reported.outputLatency, reported.outputSafety, reported.inputLatency,
                reported.inputSafety};
    m_ticksPerFrame = AudioGetHostClockFrequency() / rate;
    try {
        m_ring.allocate(m_deviceChannels, uint32_t(io.buffer_size));
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    return 0;
}

int TarselPcm::swParams(snd_pcm_sw_params_t* params)
{
    snd_pcm_uframes_t availMin = 1, stopThreshold = 0, boundary = 0;
    snd_pcm_sw_params_get_avail_min(params, &availMin);
    snd_pcm_sw_params_get_stop_threshold(params, &stopThreshold);
    snd_pcm_sw_params_get_boundary(params, &boundary);
    m_availMin.store(std::max<snd_pcm_uframes_t>(availMin, 1), std::memory_order_relaxed);
    // A program that asks never to stop (a threshold beyond the buffer) hears silence instead.
    m_stopOnXrun.store(stopThreshold <= io.buffer_size, std::memory_order_relaxed);
    m_boundary = boundary;
    return 0;
}

void TarselPcm::stopIOProc()
{
    if (!m_started)
        return;
    // Once this returns the IOProc is not called again.
    AudioDeviceStop(m_device, m_proc);
    m_started = false;
}

int TarselPcm::prepare()
{
    stopIOProc();
    if (gone())
        return -ENODEV;
    if (!m_ring.allocated())
        return -EBADFD;
    m_ring.reset();
    m_last.clear();
    m_appl = 0;
    m_lastAppl = 0;
    m_xrun.store(false, std::memory_order_relaxed);
    m_draining.store(false, std::memory_order_relaxed);
    m_drained.store(false, std::memory_order_relaxed);
    m_cyclePosition = 0;
    m_drainTarget = 0;
    uint64_t pending = 0;
    [[maybe_unused]] const ssize_t n = read(m_wake, &pending, sizeof pending);
    return 0;
}

int TarselPcm::start()
{
    if (gone())
        return -ENODEV;
    if (m_started)
        return 0;
    if (const OSStatus status = AudioDeviceStart(m_device, m_proc)) {
        SNDERR("tarsel: cannot start %s (%s)", m_title.c_str(), haltools::statusText(status).c_str());
        return errorOf(status);
    }
    m_started = true;
    return 0;
}

int TarselPcm::stop()
{
    stopIOProc();
    return 0;
}

uint64_t TarselPcm::applCount()
{
    const snd_pcm_uframes_t appl = io.appl_ptr;
    const snd_pcm_uframes_t step =
        appl >= m_lastAppl ? appl - m_lastAppl : (m_boundary > m_lastAppl ? m_boundary - m_lastAppl + appl : appl);
    m_lastAppl = appl;
    m_appl += step;
    return m_appl;
}

snd_pcm_sframes_t TarselPcm::pointer()
{
    if (m_xrun.load(std::memory_order_acquire))
        return -EPIPE;
    uint64_t hw;
    if (m_input) {
        // What the program has read (by copy or through the mmap areas) is room again.
        const uint64_t appl = applCount();
        if (appl > m_ring.taken() && appl <= m_ring.written())
            m_ring.publishTaken(appl);
        hw = m_ring.written();
    } else {
        hw = m_ring.taken();
    }
    return snd_pcm_sframes_t(m_boundary != 0 ? hw % m_boundary : hw);
}

snd_pcm_sframes_t TarselPcm::transfer(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                                      snd_pcm_uframes_t size)
{
    if (gone())
        return -ENODEV;
    std::array<ChannelArea, 64> program{};
    const uint32_t channels = std::min<uint32_t>(io.channels, program.size());
    for (uint32_t c = 0; c < channels; ++c)
        program[c] = {areas[c].addr, areas[c].first, areas[c].step};
    const uint32_t ringChannels = m_ring.channels();
    if (!m_input) {
        const uint64_t written = m_ring.written();
        // Never more than there is room for, whatever ALSA's pointers say (a rewind moves them
        // back, while the frames are queued already).
        const uint64_t n = std::min<uint64_t>(size, m_ring.capacity() - (written - m_ring.taken()));
        m_ring.pieces(written, n, [&](float* ring, uint64_t at, uint64_t piece) {
            programToRing(m_format, program.data(), channels, offset + at, piece, ring, ringChannels);
        });
        m_ring.publishWritten(written + n);
        return snd_pcm_sframes_t(n);
    }
    // Capture: from the application pointer on; a mmap program may take fewer than it is
    // shown, so what it took is known at the next pointer update.
    const uint64_t appl = applCount();
    const uint64_t written = m_ring.written();
    const uint64_t from = std::max(appl, m_ring.taken());
    const uint64_t n = from < written ? std::min<uint64_t>(size, written - from) : 0;
    // Frames before what is kept (a rewind too far back) are silence.
    const uint64_t lost = std::min<uint64_t>(from - appl, size);
    for (uint64_t f = 0; f < lost; ++f)
        for (uint32_t c = 0; c < channels; ++c)
            floatToSample(m_format, 0.0f, program[c].sample(offset + f));
    m_ring.pieces(from, std::min<uint64_t>(n, size - lost), [&](const float* ring, uint64_t at, uint64_t piece) {
        ringToProgram(m_format, ring, ringChannels, piece, program.data(), channels, offset + lost + at);
    });
    if (io.access == SND_PCM_ACCESS_RW_INTERLEAVED || io.access == SND_PCM_ACCESS_RW_NONINTERLEAVED)
        m_ring.publishTaken(std::min(appl + size, written));
    return snd_pcm_sframes_t(size);
}

double TarselPcm::framesSince(uint64_t hostTime) const
{
    const uint64_t now = nowHost();
    return now > hostTime ? double(now - hostTime) / m_ticksPerFrame : 0.0;
}

int TarselPcm::delay(snd_pcm_sframes_t* delay)
{
    if (gone())
        return -ENODEV;
    if (m_xrun.load(std::memory_order_acquire))
        return -EPIPE;
    Cycle last;
    const bool running = m_started && m_last.read(last);
    if (!m_input) {
        const uint64_t fill = m_ring.written() - (running ? last.count : m_ring.taken());
        *delay = snd_pcm_sframes_t(
            playbackDelay(fill, m_delays, running ? &last : nullptr, running ? framesSince(last.inputHostTime) : 0));
    } else {
        const uint64_t appl = applCount();
        const uint64_t kept = running ? last.count : m_ring.written();
        const uint64_t fill = kept > appl ? kept - appl : 0;
        *delay = snd_pcm_sframes_t(
            captureDelay(fill, m_delays, running ? &last : nullptr, running ? framesSince(last.inputHostTime) : 0));
    }
    return 0;
}

int TarselPcm::drain()
{
    if (m_input)
        return 0;
    m_draining.store(true, std::memory_order_release);
    if (!m_started && m_ring.written() > m_ring.taken())
        if (const int err = start(); err < 0)
            return err;
    auto lastMove = std::chrono::steady_clock::now();
    uint64_t lastCycles = m_cycles.load(std::memory_order_relaxed);
    while (m_started) {
        if (gone())
            return -ENODEV;
        if (m_xrun.load(std::memory_order_acquire))
            return -EPIPE;
        if (m_drained.load(std::memory_order_acquire))
            break;
        if (io.nonblock)
            return -EAGAIN;
        pollfd fd{m_wake, POLLIN, 0};
        if (poll(&fd, 1, 100) > 0) {
            uint64_t pending = 0;
            [[maybe_unused]] const ssize_t n = read(m_wake, &pending, sizeof pending);
        }
        const uint64_t cycles = m_cycles.load(std::memory_order_relaxed);
        const auto now = std::chrono::steady_clock::now();
        if (cycles != lastCycles) {
            lastCycles = cycles;
            lastMove = now;
        } else if (now - lastMove > kStallLimit) {
            SNDERR("tarsel: %s stopped taking audio while draining", m_title.c_str());
            return -EIO;
        }
    }
    return 0;
}

int TarselPcm::pollRevents(struct pollfd* fds, unsigned int count, unsigned short* revents)
{
    if (count < 1 || fds == nullptr || revents == nullptr)
        return -EINVAL;
    const unsigned short ready = m_input ? POLLIN : POLLOUT;
    if ((fds[0].revents & POLLIN) != 0) {
        uint64_t pending = 0;
        [[maybe_unused]] const ssize_t n = read(m_wake, &pending, sizeof pending);
    }
    if (gone()) {
        snd_pcm_ioplug_set_state(&io, SND_PCM_STATE_DISCONNECTED);
        *revents = POLLERR | ready;
        return 0;
    }
    // An xrun shows at the next pointer update, which the ready program makes.
    if (m_xrun.load(std::memory_order_acquire)) {
        *revents = ready;
        return 0;
    }
    uint64_t avail;
    if (m_input) {
        const uint64_t appl = applCount();
        const uint64_t written = m_ring.written();
        avail = written > appl ? written - appl : 0;
    } else {
        avail = m_ring.capacity() - (m_ring.written() - m_ring.taken());
    }
    *revents = avail >= m_availMin.load(std::memory_order_relaxed) ? ready : 0;
    return 0;
}

void TarselPcm::dump(snd_output_t* out)
{
    snd_output_printf(out, "TARSEL through the HAL: %s (device %u), %s, %u device channels\n", m_title.c_str(),
                      m_device, m_input ? "capture" : "playback", m_deviceChannels);
    snd_output_printf(out, "  I/O frame size %u, latency %u + safety offset %u frames\n", m_delays.frameSize,
                      m_input ? m_delays.inputLatency : m_delays.outputLatency,
                      m_input ? m_delays.inputSafety : m_delays.outputSafety);
    if (const uint32_t errors = m_shapeErrors.load(std::memory_order_relaxed); errors != 0)
        snd_output_printf(out, "  %u I/O cycles whose buffers were not the device's channels (skipped)\n", errors);
    if (io.pcm != nullptr) {
        snd_output_printf(out, "Its setup is:\n");
        snd_pcm_dump_setup(io.pcm, out);
    }
}

// --- the table alsa-lib calls ---------------------------------------------------------------

TarselPcm* self(snd_pcm_ioplug_t* io)
{
    return static_cast<TarselPcm*>(io->private_data);
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = [](snd_pcm_ioplug_t* io) { return self(io)->start(); };
    c.stop = [](snd_pcm_ioplug_t* io) { return self(io)->stop(); };
    c.pointer = [](snd_pcm_ioplug_t* io) { return self(io)->pointer(); };
    c.transfer = [](snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                    snd_pcm_uframes_t size) { return self(io)->transfer(areas, offset, size); };
    c.close = [](snd_pcm_ioplug_t* io) {
        TarselPcm* pcm = self(io);
        pcm->shut();
        delete pcm;
        return 0;
    };
    c.hw_params = [](snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* params) { return self(io)->hwParams(params); };
    c.sw_params = [](snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) { return self(io)->swParams(params); };
    c.prepare = [](snd_pcm_ioplug_t* io) { return self(io)->prepare(); };
    c.drain = [](snd_pcm_ioplug_t* io) { return self(io)->drain(); };
    c.poll_revents = [](snd_pcm_ioplug_t* io, struct pollfd* fds, unsigned int count, unsigned short* revents) {
        return self(io)->pollRevents(fds, count, revents);
    };
    c.dump = [](snd_pcm_ioplug_t* io, snd_output_t* out) { self(io)->dump(out); };
    c.delay = [](snd_pcm_ioplug_t* io, snd_pcm_sframes_t* delay) { return self(io)->delay(delay); };
    return c;
}();

} // namespace

extern "C" {

// pcm.NAME { type tarsel device "0" }: the device by its number in the HAL's list or its UID;
// without one, the default device of the direction.
SND_PCM_PLUGIN_DEFINE_FUNC(tarsel)
{
    std::string choice;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* entry = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(entry, &id) < 0 || id == nullptr)
            continue;
        const std::string key = id;
        if (key == "comment" || key == "type" || key == "hint")
            continue;
        if (key == "device") {
            const char* text = nullptr;
            long number = 0;
            if (snd_config_get_string(entry, &text) >= 0 && text != nullptr) {
                choice = text;
            } else if (snd_config_get_integer(entry, &number) >= 0 && number >= 0) {
                choice = std::to_string(number);
            } else {
                SNDERR("tarsel: device must be a number or a UID");
                return -EINVAL;
            }
            continue;
        }
        SNDERR("tarsel: unknown field %s", id);
        return -EINVAL;
    }
    TarselPcm* pcm = nullptr;
    try {
        pcm = new TarselPcm(stream);
        const int err = pcm->open(choice, name, stream, mode);
        if (err < 0) {
            if (pcm->io.pcm != nullptr) {
                snd_pcm_ioplug_delete(&pcm->io); // calls close, which deletes it
            } else {
                pcm->shut();
                delete pcm;
            }
            return err;
        }
    } catch (const std::exception&) {
        if (pcm != nullptr) {
            pcm->shut();
            delete pcm;
        }
        return -ENOMEM;
    }
    *pcmp = pcm->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(tarsel);

} // extern "C"
