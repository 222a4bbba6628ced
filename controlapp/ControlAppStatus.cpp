// Status texts, the client list, and the test stream with its latency test, test tone, input
// meters and software thru.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "controlapp/ControlApp.h"
#include "controlapp/PageFunctions.h"
#include "device/ZmOSXDevice.h"

namespace {

constexpr uint32_t kSigStaticText = HIFourCC("stxt");
constexpr uint32_t kSigSlider = HIFourCC("sldr");
constexpr uint32_t kSigLevel = HIFourCC("relb");
constexpr unsigned long kNoChannelLimit = 0xFFFFFFFF;
constexpr float kTwoPi = 6.2831855f;
constexpr float kPulse = 0.7f;
constexpr float kThreshold = 0.028f;

// The status block is written by the kernel and by every client process at any time: its
// words are read and written one by one, never as a torn or cached copy.
uint32_t loadWord(const uint32_t& word)
{
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(word)).load(std::memory_order_relaxed);
}

template <class T> void storeWord(T& word, T value)
{
    std::atomic_ref<T>(word).store(value, std::memory_order_relaxed);
}

ZmString text(const char* format, auto... values)
{
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

// The process's name by its ID, "Process <pid>" when the process manager does not know it.
ZmString processName(int32_t pid)
{
    ZmString name = text("Process %d", int(pid));
    ProcessSerialNumber psn{};
    if (pid <= 0 || GetProcessForPID(pid, &psn) != noErr)
        return name;
    unsigned char pascal[32] = {};
    ProcessInfoRec info{};
    info.processInfoLength = sizeof info;
    info.processName = pascal;
    if (GetProcessInformation(&psn, &info) != noErr)
        return name;
    char plain[32];
    const size_t n = std::min<size_t>(pascal[0], sizeof pascal - 1);
    std::memcpy(plain, pascal + 1, n);
    plain[n] = '\0';
    return plain;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Free functions

int32_t clientAverage(uint32_t sum, uint32_t count, int32_t minimum, int32_t maximum)
{
    if (count != 0)
        return int32_t(sum / count);
    return int32_t((int64_t(minimum) + int64_t(maximum)) / 2);
}

std::string clientInfoLine(int32_t minimum, int32_t average, int32_t maximum, int32_t underruns, const char* name,
                           int32_t pid, int32_t frameSize, int32_t ioCycles)
{
    char line[256];
    if (underruns < 1)
        std::snprintf(line, sizeof line, "%32s (PID:%5d) - FS:%4d - IO:%4d - MIN:%6d - AVG:%6d - MAX:%6d",
                      name != nullptr ? name : "", int(pid), int(frameSize), int(ioCycles), int(minimum),
                      int(average), int(maximum));
    else
        std::snprintf(line, sizeof line,
                      "%32s (PID:%5d) - FS:%4d - IO:%4d - MIN:%6d - AVG:%6d - MAX:%6d - UNDERRUN:%6d",
                      name != nullptr ? name : "", int(pid), int(frameSize), int(ioCycles), int(minimum),
                      int(average), int(maximum), int(underruns));
    return line;
}

// ---------------------------------------------------------------------------------------------
// Status and clients

void ControlApp::updateGeneralInfo()
{
    ZmOSXDevice* device = current();
    KernelStatusBlock* block = device != nullptr ? device->getDriverSM() : nullptr;
    if (block != nullptr) {
        sampleRate = loadWord(block->channels.iFrequency);
        setStaticText(205, "--");
    } else {
        sampleRate = 0;
        setStaticText(204, "");
        setStaticText(205, "");
    }
    fillClientList();
}

void ControlApp::fillClientList()
{
    std::memset(&clientSnapshot, 0, sizeof clientSnapshot);
    ZmOSXDevice* device = current();
    KernelStatusBlock* block = device != nullptr ? device->getDriverSM() : nullptr;
    uint32_t divisor = 1;
    if (block != nullptr) {
        static_assert(sizeof(ClientBlock) % sizeof(uint32_t) == 0);
        const auto* from = reinterpret_cast<const uint32_t*>(&block->clientBlock);
        auto* to = reinterpret_cast<uint32_t*>(&clientSnapshot);
        for (size_t i = 0; i < sizeof(ClientBlock) / sizeof(uint32_t); ++i)
            to[i] = loadWord(from[i]);
        // Each read starts a new measuring period.
        for (ClientData& record : block->clientBlock.clients) {
            storeWord(record.iUnderruns, 0);
            storeWord(record.iSum, 0u);
            storeWord(record.iValueCount, 0u);
            storeWord(record.iMinimum, -1);
            storeWord(record.iMaximum, 0);
            storeWord(record.iIOCycles, 0);
        }
        setStaticText(205, "--");
        const uint32_t streaming = clientSnapshot.iStreamingCount;
        setStaticText(204, streaming != 0 ? text("%d streaming", int(streaming)) : ZmString("none"));
        divisor = loadWord(block->channels.iOutChannels);
        if (divisor == 0)
            divisor = loadWord(block->channels.iInChannels);
        if (divisor == 0)
            divisor = 1;
    }

    int32_t row = 600;
    for (const ClientData& record : clientSnapshot.clients) {
        if (record.iPid == 0 || row > 607)
            continue;
        ZmString name = processName(record.iPid);
        if (record.bLibrary != 0)
            name += "-ZEDIde";
        const int32_t average = clientAverage(record.iSum, record.iValueCount, record.iMinimum, record.iMaximum);
        const auto d = int32_t(std::min<uint32_t>(divisor, INT32_MAX));
        const int32_t minimum = record.iMinimum / d, maximum = record.iMaximum / d;
        const int32_t underruns = record.iUnderruns / d, mean = average / d;
        drawClientInfo(row, minimum, mean, maximum, underruns, name.c_str(), record.iPid, int32_t(record.iFrameSize),
                       record.iIOCycles);
        if (row == 600)
            drawClientInfo(309, minimum, mean, maximum, underruns, name.c_str(), record.iPid,
                           int32_t(record.iFrameSize), record.iIOCycles);
        ++row;
    }
    if (row == 600)
        setStaticText(309, "");
    for (; row <= 607; ++row)
        setStaticText(row, "");
}

void ControlApp::drawClientInfo(int32_t id, int32_t minimum, int32_t average, int32_t maximum, int32_t underruns,
                                const char* name, int32_t pid, int32_t frameSize, int32_t ioCycles)
{
    ControlRef row = control(kSigStaticText, id);
    if (underruns < 1)
        SetStaticTextControlColor(row, 0, 0, 0);
    else
        SetStaticTextControlColor(row, 255, 0, 0);
    setStaticText(id, clientInfoLine(minimum, average, maximum, underruns, name, pid, frameSize, ioCycles).c_str());
}

void ControlApp::showLatencyInfo()
{
    ZmOSXDevice* device = current();
    if (device == nullptr) {
        setStaticText(306, "");
        setStaticText(307, "");
        setStaticText(308, "");
        return;
    }
    setStaticText(308, "");
    const auto in = int32_t(device->getLatency(true)), out = int32_t(device->getLatency(false));
    int32_t total = in + out;
    if (sampleRate != 0) {
        const auto rate = float(sampleRate);
        setStaticText(306, text("%d samples (%.2f ms)", int(in), double(1000.0f * float(in) / rate)));
        total += 2 * int32_t(device->getFrameSize());
        setStaticText(307, text("%d(%.2f) - sum:%d(%.2f)", int(out), double(1000.0f * float(out) / rate), int(total),
                                double(1000.0f * float(total) / rate)));
    } else {
        setStaticText(306, text("%d samples", int(in)));
        setStaticText(307, text("%d samples -sum:%d", int(out), int(total)));
    }
}

void ControlApp::showLatencyResult()
{
    latencyDone.store(false);
    if (current() == nullptr) {
        setStaticText(308, "");
        for (int32_t id = 301; id <= 304; ++id)
            enableButton(id, false);
        return;
    }
    enableButton(302, true);
    enableButton(303, true);
    enableButton(304, true);
    const int32_t frames = latencyFrames.load(std::memory_order_relaxed);
    if (frames == 0)
        setStaticText(308, "no respone");
    else if (sampleRate != 0)
        setStaticText(308, text("%d samples (%.2f ms)", int(frames),
                                double(1000.0f * float(frames) / float(sampleRate))));
    else
        setStaticText(308, text("%d samples", int(frames)));
}

// ---------------------------------------------------------------------------------------------
// The test stream

void ControlApp::testOpen()
{
    ZmOSXDevice* device = current();
    // Opened again while it runs: quiet the IOProc first, so that no cycle still uses a tone
    // buffer the next redraw tick frees once the flag below is clear.
    if (streamOpen && device != nullptr)
        device->onDeviceStop(ControlApp__AudioDeviceIOProc);
    tonePlaying.store(false, std::memory_order_release);
    latencyActive.store(false, std::memory_order_release);
    if (device == nullptr)
        return;
    if (!device->addIOProc(ControlApp__AudioDeviceIOProc, this))
        return;
    if (!device->onDeviceStart(ControlApp__AudioDeviceIOProc)) {
        device->removeIOProc(ControlApp__AudioDeviceIOProc);
        streamOpen = false;
        return;
    }
    streamOpen = true;
    enableButton(301, false);
    enableButton(302, true);
    enableButton(303, true);
    enableButton(304, true);
}

void ControlApp::testClose()
{
    tonePlaying.store(false, std::memory_order_release);
    latencyActive.store(false, std::memory_order_release);
    latencyDone.store(false, std::memory_order_release);
    latencyFrames.store(0, std::memory_order_relaxed);
    ZmOSXDevice* device = current();
    if (device == nullptr)
        return;
    // Both wait until no cycle can still be calling us.
    device->onDeviceStop(ControlApp__AudioDeviceIOProc);
    device->removeIOProc(ControlApp__AudioDeviceIOProc);
    streamOpen = false;
    setStaticText(308, "");
    enableButton(301, true);
    enableButton(302, false);
    enableButton(303, false);
    enableButton(304, false);
}

void ControlApp::testLatency()
{
    ZmOSXDevice* device = current();
    if (device == nullptr)
        return;
    AudioStreamBasicDescription out{}, in{};
    if (device->getStreamFormat(false, &out, false, kNoChannelLimit) != 0
        || device->getStreamFormat(true, &in, false, kNoChannelLimit) != 0)
        return;
    const auto outChannels = int32_t(std::min<uint32_t>(out.mChannelsPerFrame, INT32_MAX));
    const auto inChannels = int32_t(std::min<uint32_t>(in.mChannelsPerFrame, INT32_MAX));
    latencyOutChannels.store(outChannels, std::memory_order_relaxed);
    latencyInChannels.store(inChannels, std::memory_order_relaxed);
    if (outChannels == 0 || inChannels == 0)
        return;
    const double rate = in.mSampleRate;
    latencyMaxFrames.store(std::isfinite(rate) && rate > 0.0 && rate < 2147483647.0 ? int32_t(rate) : 0,
                           std::memory_order_relaxed);
    latencyFrames.store(0, std::memory_order_relaxed);
    latencyDone.store(false, std::memory_order_relaxed);
    latencyActive.store(true, std::memory_order_release);
    enableButton(302, false);
    enableButton(303, false);
    enableButton(304, false);
}

void ControlApp::testTone()
{
    ZmOSXDevice* device = current();
    // The IOProc reads the buffer while the flag is set.
    if (device == nullptr || tonePlaying.load(std::memory_order_acquire))
        return;
    toneSamples.reset();
    AudioStreamBasicDescription format{};
    if (device->getStreamFormat(false, &format, false, kNoChannelLimit) != 0)
        return;
    const double sr = format.mSampleRate;
    const uint32_t rate = std::isfinite(sr) && sr > 0.0 && sr < 4294967295.0 ? uint32_t(sr) : 0;
    const uint32_t ch = format.mChannelsPerFrame;
    const uint32_t bursts = ch > 1 ? ch + 1 : ch;
    // In 64 bits: many channels at a high rate overflow 32, and a tone longer than the cap is
    // not worth its memory. Either way, and when the allocation fails, the tone stays off.
    const uint64_t total = uint64_t(rate) * ch * bursts * 2;
    if (total == 0 || total > kMaxToneSamples)
        return;
    float* samples = new (std::nothrow) float[total];
    if (samples == nullptr)
        return;
    toneSamples.reset(samples);
    toneLength = uint32_t(total);

    const uint32_t period = std::max<uint32_t>(rate / 440, 1);
    const float step = kTwoPi / float(period);
    const uint64_t burst = uint64_t(rate) * 2;
    float* at = samples;
    for (uint32_t b = 0; b < bursts; ++b) {
        float phase = 0.0f;
        for (uint64_t i = 0; i < burst; ++i) {
            const float value = sinf(phase) * 0.6f * (1.0f - float(i) / float(burst));
            phase += step;
            if (phase > kTwoPi)
                phase -= kTwoPi;
            std::fill_n(at, ch, value);
            at += ch;
        }
    }
    tonePosition.store(0, std::memory_order_relaxed);
    tonePlaying.store(true, std::memory_order_release);
    enableButton(302, false);
    enableButton(303, false);
    enableButton(304, false);
}

void ControlApp::testCPULoad(ControlRef)
{
    ControlRef slider = nullptr;
    const int32_t value = GetControlAndValue(slider, kSigSlider, 310);
    cpuLoadPercent = std::clamp(value, 0, 99);
    setCtrlValue(kSigSlider, 310, int16_t(cpuLoadPercent));
    setStaticText(311, text("CPU load/(%d%%)", int(cpuLoadPercent)));
}

// ---------------------------------------------------------------------------------------------
// Meters and thru

void ControlApp::clearLevels()
{
    for (std::atomic<float>& level : levels)
        level.store(0.0f, std::memory_order_relaxed);
}

void ControlApp::switchLevelMeters()
{
    if (levelCaptureOn.load()) {
        levelCaptureOn = false;
        clearLevels();
        removeTimer(levelTimer);
        onLevelTimer();
        return;
    }
    levelCaptureOn = true;
    if (levelTimer == nullptr)
        InstallEventLoopTimer(GetMainEventLoop(), 0.0625, 0.0625, NewEventLoopTimerUPP(LevelUpdateProc), this,
                              &levelTimer);
}

void ControlApp::onLevelTimer()
{
    if (current() == nullptr)
        clearLevels();
    for (int k = 0; k < 8; ++k) {
        // Read and zeroed in one step: a peak the IOProc raises meanwhile waits for the next tick.
        const float level = levels[size_t(k)].exchange(0.0f, std::memory_order_relaxed) * 100.0f;
        const int16_t percent = std::isfinite(level) ? int16_t(std::clamp(level, 0.0f, 100.0f)) : 0;
        if (ControlRef meter = setCtrlValue(kSigLevel, 9001 + k, percent))
            Draw1Control(meter);
    }
}

void ControlApp::switchThru(const HICommand& command)
{
    // Only the menu item carries the check mark that shows the state.
    if ((command.attributes & kHICommandFromMenu) == 0 || command.menu.menuRef == nullptr)
        return;
    const bool on = !thruOn.load();
    thruOn = on;
    CheckMenuItem(command.menu.menuRef, command.menu.menuItemIndex, on);
}

// ---------------------------------------------------------------------------------------------
// The IOProc, on the device's I/O thread: no allocation, no lock, no system call.

OSStatus ControlApp__AudioDeviceIOProc(AudioDeviceID device, const AudioTimeStamp* now,
                                       const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                                       AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                                       void* clientData)
{
    if (clientData == nullptr)
        return 0;
    return static_cast<ControlApp*>(clientData)->AudioDeviceIOProc(device, now, inputData, inputTime, outputData,
                                                                   outputTime);
}

OSStatus ControlApp::AudioDeviceIOProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* inputData,
                                       const AudioTimeStamp*, AudioBufferList* outputData, const AudioTimeStamp*)
{
    const AudioBuffer* input = inputData != nullptr && inputData->mNumberBuffers > 0 ? &inputData->mBuffers[0] : nullptr;
    AudioBuffer* output = outputData != nullptr && outputData->mNumberBuffers > 0 ? &outputData->mBuffers[0] : nullptr;
    const auto* in = input != nullptr ? static_cast<const float*>(input->mData) : nullptr;
    auto* out = output != nullptr ? static_cast<float*>(output->mData) : nullptr;
    const uint32_t inSamples = in != nullptr ? input->mDataByteSize / 4 : 0;
    const uint32_t outSamples = out != nullptr ? output->mDataByteSize / 4 : 0;
    const uint32_t inChannels = input != nullptr ? input->mNumberChannels : 0;
    const uint32_t outChannels = output != nullptr ? output->mNumberChannels : 0;
    bool written = false;

    // 1. Peaks of the first 8 input channels.
    if (levelCaptureOn.load(std::memory_order_relaxed) && input != nullptr && inChannels != 0) {
        float peak[8];
        for (size_t k = 0; k < 8; ++k)
            peak[k] = k < inChannels ? levels[k].load(std::memory_order_relaxed) : 0.0f;
        const uint32_t frames = inSamples / inChannels;
        const uint32_t used = std::min<uint32_t>(inChannels, 8);
        for (uint32_t f = 0; f < frames; ++f) {
            const float* frame = in + size_t(f) * inChannels;
            for (uint32_t k = 0; k < used; ++k)
                peak[k] = std::max(peak[k], std::fabs(frame[k]));
        }
        for (size_t k = 0; k < 8; ++k)
            levels[k].store(peak[k], std::memory_order_relaxed);
    } else {
        for (std::atomic<float>& level : levels)
            level.store(0.0f, std::memory_order_relaxed);
    }

    // 2. Software thru.
    if (thruOn.load(std::memory_order_relaxed) && in != nullptr && out != nullptr && inChannels != 0
        && outChannels != 0) {
        if (input->mDataByteSize == output->mDataByteSize) {
            std::memcpy(out, in, inSamples * sizeof(float));
        } else if (inSamples / inChannels == outSamples / outChannels) {
            const uint32_t frames = outSamples / outChannels;
            const uint32_t common = std::min(inChannels, outChannels);
            for (uint32_t f = 0; f < frames; ++f) {
                std::memcpy(out + size_t(f) * outChannels, in + size_t(f) * inChannels, common * sizeof(float));
                std::fill_n(out + size_t(f) * outChannels + common, outChannels - common, 0.0f);
            }
        }
        written = true;
    }

    // 3. The test tone.
    if (tonePlaying.load(std::memory_order_acquire) && output != nullptr) {
        const uint32_t position = tonePosition.load(std::memory_order_relaxed);
        const int64_t remaining = int64_t(toneLength) - int64_t(position);
        const float* tone = toneSamples.get();
        if (remaining <= 0 || out == nullptr || tone == nullptr) {
            // The last touch of the buffer: the main thread may free it from now on.
            tonePlaying.store(false, std::memory_order_release);
            return 0;
        }
        uint32_t n = outSamples;
        if (int64_t(n) > remaining) {
            std::memset(out, 0, outSamples * sizeof(float));
            n = uint32_t(remaining);
        }
        std::memcpy(out, tone + position, n * sizeof(float));
        tonePosition.store(position + n, std::memory_order_relaxed);
        written = true;
    }

    // 4. The latency measurement: a pulse out, then the first loud input sample.
    if (output == nullptr) {
        latencyActive.store(false, std::memory_order_relaxed);
    } else if (latencyActive.load(std::memory_order_acquire)) {
        if (out != nullptr)
            std::memset(out, 0, outSamples * sizeof(float));
        const int32_t pulseChannels = latencyOutChannels.load(std::memory_order_relaxed);
        const int32_t scanChannels = latencyInChannels.load(std::memory_order_relaxed);
        if (pulseChannels <= 0 || scanChannels <= 0) {
            latencyActive.store(false, std::memory_order_relaxed);
            latencyFrames.store(0, std::memory_order_relaxed);
            latencyDone.store(true, std::memory_order_release);
            return 0;
        }
        const auto frames = int32_t(outSamples / uint32_t(pulseChannels));
        int32_t counted = latencyFrames.load(std::memory_order_relaxed);
        if (counted == 0) {
            // Frame 0 up, frame 1 down, within the buffer whatever its layout now is.
            const uint32_t up = std::min(outSamples, uint32_t(pulseChannels));
            const uint32_t down = std::min(outSamples, 2 * uint32_t(pulseChannels));
            if (out != nullptr) {
                std::fill(out, out + up, kPulse);
                std::fill(out + up, out + down, -kPulse);
            }
        } else if (in != nullptr) {
            for (uint32_t i = 0; i < inSamples; i += uint32_t(scanChannels)) {
                if (in[i] > kThreshold || in[i] < -kThreshold) {
                    latencyFrames.store(counted + int32_t(i / uint32_t(scanChannels)), std::memory_order_relaxed);
                    latencyActive.store(false, std::memory_order_relaxed);
                    latencyDone.store(true, std::memory_order_release);
                    return 0;
                }
            }
        }
        counted += frames;
        latencyFrames.store(counted, std::memory_order_relaxed);
        if (counted > latencyMaxFrames.load(std::memory_order_relaxed)) {
            latencyActive.store(false, std::memory_order_relaxed);
            latencyFrames.store(0, std::memory_order_relaxed);
            latencyDone.store(true, std::memory_order_release);
        }
        written = true;
    }

    // 5. Silence where nothing was played.
    if (out != nullptr && outSamples != 0 && !written)
        std::memset(out, 0, outSamples * sizeof(float));
    return 0;
}
