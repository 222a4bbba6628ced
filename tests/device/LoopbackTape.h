#pragma once
// An IOProc that records what it hears and plays, for the tests that stream through the
// simulated interface's loopback.
#include <CoreAudio/AudioHardwarePlugIn.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "tests/device/DeviceFixture.h"

namespace devicetest {

// What the IOProc saw and what it played, in buffers sized before it runs: the I/O thread may
// not allocate, and neither may a test's IOProc.
struct Tape {
    static constexpr size_t kFrames = 1 << 18;
    static constexpr size_t kTimed = 4096; // calls whose time stamps are kept

    explicit Tape(uint32_t channels = 2) : channels(channels), input(kFrames * channels), output(kFrames * channels) {}

    uint32_t channels;
    std::vector<float> input;  // frame by frame as the calls came
    std::vector<float> output; // what was played, in the same frame order
    std::vector<uint32_t> callFrames = std::vector<uint32_t>(1 << 16);
    std::vector<AudioTimeStamp> nowTimes = std::vector<AudioTimeStamp>(kTimed);
    std::vector<AudioTimeStamp> inputTimes = std::vector<AudioTimeStamp>(kTimed);
    std::atomic<size_t> frames{0};
    std::atomic<size_t> calls{0};
    // Output value of the nth played frame; channel 0 carries it, the others silence.
    float (*signal)(size_t frame) = nullptr;
    float constant = 0.0f;
    std::atomic<bool> mustNotRun{false};
    std::atomic<bool> ranWhenItMustNot{false};
    // Run at the start of call `stallAt`: a stall inside an IOProc.
    void (*stall)(void*) = nullptr;
    void* stallContext = nullptr;
    size_t stallAt = SIZE_MAX;
};

inline OSStatus recordAndPlay(AudioDeviceID, const AudioTimeStamp* now, const AudioBufferList* in,
                              const AudioTimeStamp* inTime, AudioBufferList* out, const AudioTimeStamp*, void* data)
{
    auto& tape = *static_cast<Tape*>(data);
    if (tape.mustNotRun.load())
        tape.ranWhenItMustNot = true;
    const size_t call = tape.calls.load();
    if (call == tape.stallAt && tape.stall != nullptr)
        tape.stall(tape.stallContext);
    const AudioBuffer& i = in->mBuffers[0];
    const uint32_t frames = out != nullptr && out->mBuffers[0].mNumberChannels != 0
                                ? out->mBuffers[0].mDataByteSize / (4 * out->mBuffers[0].mNumberChannels)
                                : i.mDataByteSize / (4 * std::max<uint32_t>(1, i.mNumberChannels));
    const size_t first = tape.frames.load();
    if (call < tape.callFrames.size())
        tape.callFrames[call] = frames;
    if (call < Tape::kTimed) {
        tape.nowTimes[call] = *now;
        tape.inputTimes[call] = *inTime;
    }
    for (uint32_t f = 0; f < frames && first + f < Tape::kFrames; ++f) {
        for (uint32_t c = 0; c < tape.channels; ++c) {
            const size_t at = (first + f) * tape.channels + c;
            if (i.mData != nullptr && c < i.mNumberChannels)
                tape.input[at] = static_cast<const float*>(i.mData)[f * i.mNumberChannels + c];
            float value = 0.0f;
            if (c == 0)
                value = tape.signal != nullptr ? tape.signal(first + f) : tape.constant;
            if (out != nullptr && out->mBuffers[0].mData != nullptr && c < out->mBuffers[0].mNumberChannels)
                static_cast<float*>(out->mBuffers[0].mData)[f * out->mBuffers[0].mNumberChannels + c] = value;
            tape.output[at] = value;
        }
    }
    tape.frames = first + frames;
    tape.calls = call + 1;
    return 0;
}

// A 24-bit exact ramp: every played frame carries its own number, so skips and repeats show.
inline float counter(size_t frame)
{
    return static_cast<float>(static_cast<double>((frame % 4000000) + 1) / 8388608.0);
}

// The played value as it comes back: truncated to 24 bits, shifted to full scale, divided.
inline float throughLoopback(float played)
{
    const auto v = static_cast<int32_t>(played * 8388608.0f);
    return static_cast<float>(static_cast<int32_t>(static_cast<uint32_t>(v) << 8)) / 2147483520.0f;
}

inline bool waitForFrames(const Tape& tape, size_t frames)
{
    return kexttest::waitUntil([&] { return tape.frames.load() >= frames; }, std::chrono::seconds(20));
}

// Input frame at which channel 0 first differs from silence, or -1.
inline long firstSound(const Tape& tape, size_t from = 0)
{
    const size_t frames = std::min(tape.frames.load(), Tape::kFrames);
    for (size_t f = from; f < frames; ++f)
        if (tape.input[f * tape.channels] != 0.0f)
            return static_cast<long>(f);
    return -1;
}

// The kernel counts this client's underruns while it streams; -1 when it is not attached.
inline int underrunsOf(ZmOSXDevice* device)
{
    ClientData* own = device->getDriverSM()->client(device->getAttachSlot());
    return own == nullptr ? -1 : std::atomic_ref<int32_t>(own->iUnderruns).load();
}

} // namespace devicetest
