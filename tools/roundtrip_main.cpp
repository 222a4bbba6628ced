// tarsel-roundtrip: plays a test signal through a device of the HAL and records its input,
// then measures the round trip, checks that the signal came back unchanged, and reports how
// the I/O cycle kept time. The two signals go to played.wav and recorded.wav. A HAL client:
// it knows the device only through the HAL's client calls.
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/HostTime.h>
#include <getopt.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/CommandLine.h"
#include "tools/HALDevices.h"
#include "tools/Statistics.h"

namespace {

using namespace haltools;
using toolsupport::fail;
using toolsupport::fitLine;
using toolsupport::LineFit;
using toolsupport::report;
using toolsupport::Spread;
using toolsupport::spreadOf;

constexpr double kLeadSeconds = 0.5;  // silence before the pulse
constexpr double kGapSeconds = 0.25;  // silence between the pulse and the sine
constexpr double kTailSeconds = 0.25; // silence at the end, at least
constexpr float kPulse = 0.5f;
constexpr double kPulseThreshold = 0.25;
constexpr double kSineHz = 1000.0;
constexpr double kSineDbfs = -6.0;
constexpr double kStepsToFullScale = 8388608.0; // 24 bits

const char kUsage[] =
    "usage: tarsel-roundtrip [OPTION]...\n"
    "Plays a test signal through a device of the HAL and records its input: half a\n"
    "second of silence, one pulse, a quarter second of silence, then a 1 kHz sine at -6 dBFS.\n"
    "Measures the round trip of the pulse, checks the recorded sine against the played one\n"
    "sample by sample, and reports the I/O cycle's timing. Writes played.wav and recorded.wav.\n"
    "Meant for a device whose input hears its output (the simulated kernel driver's\n"
    "loopback source).\n"
    "\n"
    "  -d, --device N|UID        the device: its number in tarsel-hal's list, or its UID\n"
    "                            (default: the default output device)\n"
    "  -f, --frames N            I/O frame size, \"fsiz\" (default: the device's)\n"
    "  -s, --seconds S           length of the sine in seconds (default 3)\n"
    "  -o, --out DIR             folder for the WAV files (default: the current one)\n"
    "  -l, --loopback-delay D    the loopback delay the device was given, in frames\n"
    "                            (default 0)\n"
    "  -h, --help                this text\n"
    "\n"
    "The expected round trip comes from the HAL: at least the output latency and safety\n"
    "offset and the two buffers in flight (input and output), at most that and the input\n"
    "latency and safety offset, each plus D.\n"
    "\n"
    "Exit status: 0 when the round trip is as expected and the sine came back unchanged,\n"
    "1 otherwise or when the device cannot be used, 2 on a usage error.\n";

// --- options ------------------------------------------------------------------------------------

struct Options {
    std::optional<std::string> device;
    std::optional<unsigned> frames;
    double seconds = 3.0;
    std::string out = ".";
    unsigned loopbackDelay = 0;
};

// 0: parsed, -1: help given; otherwise the exit status.
int parseOptions(int argc, char** argv, Options& options)
{
    static const option kLong[] = {
        {"device", required_argument, nullptr, 'd'}, {"frames", required_argument, nullptr, 'f'},
        {"seconds", required_argument, nullptr, 's'}, {"out", required_argument, nullptr, 'o'},
        {"loopback-delay", required_argument, nullptr, 'l'}, {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    using toolsupport::parseUnsigned;
    return toolsupport::parseArguments(argc, argv, "d:f:s:o:l:h", kLong, kUsage, [&](int c, const char* value) {
        unsigned long number = 0;
        switch (c) {
        case 'd':
            return haltools::takeDeviceChoice(value, options.device);
        case 'f':
            if (!parseUnsigned(value, 1000000, number) || number == 0) {
                fail("invalid frame size '%s'", value);
                return kExitUsage;
            }
            options.frames = unsigned(number);
            return 0;
        case 's':
            // At least 10 ms of sine; at most ten minutes, which keeps the buffers within reason.
            if (!toolsupport::parseSeconds(value, 0.01, 600.0, options.seconds)) {
                fail("invalid length '%s' (seconds, 0.01 to 600)", value);
                return kExitUsage;
            }
            return 0;
        case 'o':
            if (*value == '\0') {
                fail("empty folder name");
                return kExitUsage;
            }
            options.out = value;
            return 0;
        case 'l':
            if (!parseUnsigned(value, 10000000, number)) {
                fail("invalid loopback delay '%s' (frames)", value);
                return kExitUsage;
            }
            options.loopbackDelay = unsigned(number);
            return 0;
        default:
            return kExitUsage;
        }
    });
}

// --- the run the IOProc fills -------------------------------------------------------------------

// One IOProc call, as it came.
struct Cycle {
    double inputSample = 0;
    double outputSample = 0;
    uint64_t inputHost = 0;
    uint64_t outputHost = 0;
    uint64_t entryHost = 0; // host time when the call began
    uint32_t frames = 0;
    uint32_t playStart = 0;   // index of its first output frame in the signal
    uint32_t recordStart = 0; // index of its first input frame in the recording
};

// Made before the IOProc starts; the IOProc then writes only into what is allocated here, and
// publishes its progress with a release store of `cycleCount`.
struct Run {
    uint32_t inChannels = 0;
    uint32_t outChannels = 0;
    uint32_t signalFrames = 0;
    std::vector<float> signal;   // signalFrames x outChannels
    std::vector<float> recorded; // recordCapacity x inChannels
    uint32_t recordCapacity = 0;
    std::vector<Cycle> cycles;

    // The I/O thread's alone while it streams.
    uint32_t played = 0;
    uint32_t recordedFrames = 0;

    std::atomic<uint32_t> cycleCount{0};
    std::atomic<uint32_t> playedFrames{0};
    std::atomic<uint32_t> shapeErrors{0}; // calls whose buffers were not as announced
    std::atomic<uint32_t> unlogged{0};    // calls without time stamps or beyond the cycle log
    std::atomic<bool> done{false};
};

OSStatus roundTripIOProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* inputData,
                         const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                         const AudioTimeStamp* outputTime, void* clientData)
{
    const uint64_t entry = AudioGetCurrentHostTime();
    auto* run = static_cast<Run*>(clientData);
    if (outputData == nullptr || outputData->mNumberBuffers == 0 || outputData->mBuffers[0].mData == nullptr)
        return 0;
    AudioBuffer& out = outputData->mBuffers[0];
    auto* outSamples = static_cast<float*>(out.mData);
    if (out.mNumberChannels != run->outChannels || run->outChannels == 0) {
        run->shapeErrors.fetch_add(1, std::memory_order_relaxed);
        std::memset(outSamples, 0, out.mDataByteSize);
        return 0;
    }
    const uint32_t frames = out.mDataByteSize / (uint32_t(sizeof(float)) * run->outChannels);
    const uint32_t n = run->cycleCount.load(std::memory_order_relaxed);

    // Output: the signal, then silence.
    const uint32_t from = run->played;
    const uint32_t copy = from < run->signalFrames ? std::min(frames, run->signalFrames - from) : 0;
    if (copy > 0)
        std::memcpy(outSamples, run->signal.data() + size_t(from) * run->outChannels,
                    size_t(copy) * run->outChannels * sizeof(float));
    std::memset(outSamples + size_t(copy) * run->outChannels, 0,
                size_t(frames - copy) * run->outChannels * sizeof(float));

    // Input: as long as there is room.
    uint32_t recordStart = run->recordedFrames;
    const bool inputOk = inputData != nullptr && inputData->mNumberBuffers > 0
        && inputData->mBuffers[0].mData != nullptr && inputData->mBuffers[0].mNumberChannels == run->inChannels
        && inputData->mBuffers[0].mDataByteSize == frames * run->inChannels * uint32_t(sizeof(float));
    if (!inputOk) {
        run->shapeErrors.fetch_add(1, std::memory_order_relaxed);
    } else if (recordStart < run->recordCapacity) {
        const uint32_t take = std::min(frames, run->recordCapacity - recordStart);
        std::memcpy(run->recorded.data() + size_t(recordStart) * run->inChannels, inputData->mBuffers[0].mData,
                    size_t(take) * run->inChannels * sizeof(float));
        run->recordedFrames = recordStart + take;
    }

    if (n < run->cycles.size() && inputTime != nullptr && outputTime != nullptr) {
        Cycle& cycle = run->cycles[n];
        cycle.inputSample = inputTime->mSampleTime;
        cycle.outputSample = outputTime->mSampleTime;
        cycle.inputHost = inputTime->mHostTime;
        cycle.outputHost = outputTime->mHostTime;
        cycle.entryHost = entry;
        cycle.frames = frames;
        cycle.playStart = from;
        cycle.recordStart = inputOk ? recordStart : run->recordedFrames;
        run->cycleCount.store(n + 1, std::memory_order_release);
    } else {
        run->unlogged.fetch_add(1, std::memory_order_relaxed);
    }
    run->played = from + frames;
    run->playedFrames.store(run->played, std::memory_order_release);
    if (run->played >= run->signalFrames && run->recordedFrames >= std::min(run->signalFrames, run->recordCapacity))
        run->done.store(true, std::memory_order_release);
    return 0;
}

// The test signal; see the usage text. Channel c's sine is a quarter turn behind channel c-1's,
// so that swapped channels do not pass for a match. Every sample lies on the grid of the
// output's physical samples (`grid` steps to full scale), so that a path that keeps their bits
// gives it back unchanged.
struct SignalLayout {
    uint32_t pulse = 0;
    uint32_t sineStart = 0;
    uint32_t sineFrames = 0;
    uint32_t total = 0;
};

SignalLayout makeSignal(Run& run, double rate, double seconds, uint32_t tailFrames, double grid)
{
    SignalLayout layout;
    layout.pulse = uint32_t(std::lround(kLeadSeconds * rate));
    layout.sineStart = layout.pulse + 1 + uint32_t(std::lround(kGapSeconds * rate));
    layout.sineFrames = uint32_t(std::lround(seconds * rate));
    layout.total = layout.sineStart + layout.sineFrames + tailFrames;
    run.signalFrames = layout.total;
    run.signal.assign(size_t(layout.total) * run.outChannels, 0.0f);
    for (uint32_t c = 0; c < run.outChannels; ++c)
        run.signal[size_t(layout.pulse) * run.outChannels + c] = kPulse;
    const double amplitude = std::pow(10.0, kSineDbfs / 20.0);
    for (uint32_t i = 0; i < layout.sineFrames; ++i)
        for (uint32_t c = 0; c < run.outChannels; ++c)
            run.signal[size_t(layout.sineStart + i) * run.outChannels + c] =
                float(std::round(amplitude * std::sin(2.0 * M_PI * kSineHz * i / rate - c * M_PI / 2.0) * grid) / grid);
    return layout;
}

// --- analysis -----------------------------------------------------------------------------------

// Host time against sample time: the least-squares line, and how far each stamp is from it.
struct ClockFit {
    Spread deviation; // ns, absolute
    double ppm = 0;   // the line's rate against the nominal one
};

ClockFit fitClock(const std::vector<const Cycle*>& cycles, double rate)
{
    ClockFit fit;
    if (cycles.empty())
        return fit;
    // Centred on the first stamp, so that doubles keep the nanoseconds.
    const double x0 = cycles.front()->outputSample;
    const auto y0 = int64_t(cycles.front()->outputHost);
    std::vector<double> x, y;
    x.reserve(cycles.size());
    y.reserve(cycles.size());
    for (const Cycle* c : cycles) {
        x.push_back(c->outputSample - x0);
        y.push_back(double(int64_t(c->outputHost) - y0));
    }
    const LineFit line = fitLine(x, y); // ns per frame
    if (!line.valid)
        return fit;
    fit.deviation = line.deviation;
    fit.ppm = (1.0e9 / rate / line.slope - 1.0) * 1.0e6;
    return fit;
}

// Wake-up lateness: the call's start against the moment its input buffer was complete.
double latenessOf(const Cycle& c, double rate)
{
    return double(int64_t(c.entryHost - c.inputHost)) - c.frames * 1.0e9 / rate;
}

Spread lateness(const std::vector<const Cycle*>& cycles, double rate)
{
    std::vector<double> late;
    late.reserve(cycles.size());
    for (const Cycle* c : cycles)
        late.push_back(latenessOf(*c, rate));
    return spreadOf(std::move(late));
}

// Calls so late that their output cannot have been in time: later than the output latency,
// safety offset and a buffer that the HAL reports it may take. The device played something
// else (silence) for them.
uint32_t tooLate(const std::vector<const Cycle*>& cycles, double rate, const ReportedDelays& delays)
{
    const double slack = double(delays.outputLatency + delays.outputSafety + delays.frameSize) * 1.0e9 / rate;
    uint32_t count = 0;
    for (const Cycle* c : cycles)
        count += latenessOf(*c, rate) > slack ? 1 : 0;
    return count;
}

// Positions in the stream are input sample times: a buffer the device skipped shows as a gap.
// A played frame's position is that of the cycle that produced it, a recorded frame's that of
// the cycle that delivered it.
int64_t positionOf(const Cycle& c, uint32_t offset)
{
    return std::llround(c.inputSample) + int64_t(offset);
}

// The cycle whose frames, counted from its `start` member, hold `frame`; or null.
const Cycle* cycleHolding(const std::vector<Cycle>& cycles, uint32_t Cycle::*start, uint32_t frame)
{
    auto it = std::upper_bound(cycles.begin(), cycles.end(), frame,
                               [start](uint32_t f, const Cycle& c) { return f < c.*start; });
    if (it == cycles.begin())
        return nullptr;
    --it;
    return frame < (*it).*start + it->frames ? &*it : nullptr;
}

// The cycle that produced signal frame `frame`, or null.
const Cycle* cycleOfPlayed(const std::vector<Cycle>& cycles, uint32_t frame)
{
    return cycleHolding(cycles, &Cycle::playStart, frame);
}

// The cycle that delivered recorded frame `frame`, or null.
const Cycle* cycleOfRecorded(const std::vector<Cycle>& cycles, uint32_t frame)
{
    return cycleHolding(cycles, &Cycle::recordStart, frame);
}

// The signal frame produced at stream position `position`, or -1.
int64_t playedAt(const std::vector<Cycle>& cycles, int64_t position)
{
    auto it = std::upper_bound(cycles.begin(), cycles.end(), position,
                               [](int64_t p, const Cycle& c) { return p < positionOf(c, 0); });
    if (it == cycles.begin())
        return -1;
    --it;
    const int64_t offset = position - positionOf(*it, 0);
    return offset < int64_t(it->frames) ? int64_t(it->playStart) + offset : -1;
}


struct RoundTrip {
    bool found = false;
    int64_t frames = 0;     // stream position heard - stream position played
    int64_t stamped = 0;    // input sample time heard - output sample time played
    int64_t stampLead = 0;  // output sample time - input sample time of the playing cycle
};

RoundTrip measureRoundTrip(const Run& run, const std::vector<Cycle>& cycles, const SignalLayout& layout)
{
    RoundTrip trip;
    const Cycle* out = cycleOfPlayed(cycles, layout.pulse);
    if (out == nullptr)
        return trip;
    const uint32_t offset = layout.pulse - out->playStart;
    // The first loud input on channel 0; the sine starts long after the pulse must be back.
    for (uint32_t j = 0; j < run.recordedFrames; ++j) {
        if (std::fabs(run.recorded[size_t(j) * run.inChannels]) < kPulseThreshold)
            continue;
        // One loud sample alone; two in a row are the sine, and the pulse was lost.
        const Cycle* in = cycleOfRecorded(cycles, j);
        const bool nextLoud =
            j + 1 < run.recordedFrames && std::fabs(run.recorded[size_t(j + 1) * run.inChannels]) >= kPulseThreshold;
        if (in == nullptr || nextLoud)
            return trip;
        trip.found = true;
        trip.frames = positionOf(*in, j - in->recordStart) - positionOf(*out, offset);
        trip.stampLead = std::llround(out->outputSample) - std::llround(out->inputSample);
        trip.stamped = trip.frames - trip.stampLead;
        return trip;
    }
    return trip;
}

struct SineCheck {
    uint64_t compared = 0;     // frames compared
    uint64_t sineCompared = 0; // of them in the sine
    uint64_t mismatches = 0;   // samples off by more than one step
    double maxSteps = 0;
    int64_t firstBad = -1;     // signal frame of the first mismatch
    bool matches = false;
};

// Each sample against the played one; more than one 24-bit step off (what a float holds) is a
// mismatch.
SineCheck checkEcho(const Run& run, const std::vector<Cycle>& cycles, const SignalLayout& layout, int64_t delay)
{
    SineCheck check;
    const uint32_t channels = std::min(run.inChannels, run.outChannels);
    for (const Cycle& c : cycles) {
        for (uint32_t k = 0; k < c.frames && c.recordStart + k < run.recordedFrames; ++k) {
            const int64_t played = playedAt(cycles, positionOf(c, k) - delay);
            if (played < 0 || played >= int64_t(run.signalFrames))
                continue;
            ++check.compared;
            if (played >= layout.sineStart && played < int64_t(layout.sineStart) + layout.sineFrames)
                ++check.sineCompared;
            for (uint32_t ch = 0; ch < channels; ++ch) {
                const double got = run.recorded[size_t(c.recordStart + k) * run.inChannels + ch];
                const double want = run.signal[size_t(played) * run.outChannels + ch];
                const double steps = std::fabs(got - want) * kStepsToFullScale;
                check.maxSteps = std::max(check.maxSteps, steps);
                if (steps > 1.0 && check.mismatches++ == 0)
                    check.firstBad = played;
            }
        }
    }
    check.matches = channels > 0 && check.mismatches == 0 && check.sineCompared == layout.sineFrames;
    return check;
}

bool writeWav(const std::filesystem::path& path, const float* frames, uint32_t count, uint32_t channels,
              unsigned rate)
{
    SF_INFO info{};
    info.samplerate = int(rate);
    info.channels = int(channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        fail("cannot write %s: %s", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    const sf_count_t written = sf_writef_float(file, frames, count);
    const bool ok = written == sf_count_t(count);
    if (!ok)
        fail("cannot write %s: %s", path.c_str(), sf_strerror(file));
    if (sf_close(file) != 0 && ok) {
        fail("cannot finish %s", path.c_str());
        return false;
    }
    return ok;
}

double micros(double nanos)
{
    return nanos / 1000.0;
}


// --- the run ------------------------------------------------------------------------------------

// Sets this program's I/O frame size through "fsiz"; false (with the reason said) when it is out
// of the device's range ("fsz#") or not taken.
bool applyFrameSize(AudioDeviceID device, unsigned frames)
{
    const auto range = deviceProperty<AudioValueRange>(device, false, kAudioDevicePropertyBufferFrameSizeRange);
    if (range && (frames < range->mMinimum || frames > range->mMaximum)) {
        fail("frame size %u is outside %.0f to %.0f", frames, range->mMinimum, range->mMaximum);
        return false;
    }
    const UInt32 value = frames;
    const OSStatus status =
        AudioDeviceSetProperty(device, nullptr, 0, false, kAudioDevicePropertyBufferFrameSize, sizeof value, &value);
    const UInt32 now = deviceProperty<UInt32>(device, false, kAudioDevicePropertyBufferFrameSize).value_or(0);
    if (status != kAudioHardwareNoError || now != frames) {
        fail("the device kept frame size %u (%s)", now, statusText(status).c_str());
        return false;
    }
    return true;
}

// Steps to full scale of the output's physical samples ("pft "), at most 24 bits.
double outputGrid(AudioDeviceID device)
{
    const auto format = deviceProperty<AudioStreamBasicDescription>(device, false, kAudioStreamPropertyPhysicalFormat);
    // A float carries 24 bits; an unknown or wider output keeps them all.
    UInt32 bits = format ? format->mBitsPerChannel : 24;
    if (bits == 0 || bits > 24 || (format->mFormatFlags & kAudioFormatFlagIsFloat) != 0)
        bits = 24;
    return std::ldexp(1.0, int(bits) - 1);
}

int runDevice(AudioDeviceID device, const Options& options)
{
    const Float64 nominal = nominalRate(device);
    if (!(nominal >= 1.0 && nominal <= 1.0e7)) {
        fail("the device reports no sample rate");
        return kExitFailure;
    }
    const auto rate = unsigned(std::lround(nominal));
    if (options.frames && !applyFrameSize(device, *options.frames))
        return kExitFailure;
    const ReportedDelays before = reportedDelays(device);
    const unsigned frames = before.frameSize;
    if (frames == 0) {
        fail("the device reports no frame size");
        return kExitFailure;
    }
    const std::string title = deviceTitle(device);

    auto run = std::make_unique<Run>();
    run->inChannels = channelCount(device, true);
    run->outChannels = channelCount(device, false);
    if (run->inChannels == 0 || run->outChannels == 0) {
        fail("%s has no %s; the round trip needs both directions", title.c_str(),
             run->inChannels == 0 ? "input" : "output");
        return kExitFailure;
    }
    const double grid = outputGrid(device);
    // Enough silence at the end for the last of the sine to come back, with room to spare.
    const uint64_t longestTrip = before.outputSide() + before.inputSide() + options.loopbackDelay;
    const auto tail = uint32_t(std::max<double>(kTailSeconds * rate, 2.0 * (double(longestTrip) + 4.0 * frames)));
    // Both ends are kept in memory: a quarter gigabyte each at most.
    constexpr double kMaxSamples = 64.0 * 1024 * 1024;
    const double frameEstimate = (kLeadSeconds + kGapSeconds + options.seconds) * rate + tail;
    if (frameEstimate * std::max(run->inChannels, run->outChannels) > kMaxSamples) {
        fail("%.1f s at %u Hz with %u channels is more than this program keeps; take fewer seconds",
             options.seconds, rate, std::max(run->inChannels, run->outChannels));
        return kExitFailure;
    }
    const SignalLayout layout = makeSignal(*run, rate, options.seconds, tail, grid);
    // Input and output move together, a buffer at a time: the recording never outgrows the
    // signal by more than the last buffers.
    const auto range = deviceProperty<AudioValueRange>(device, false, kAudioDevicePropertyBufferFrameSizeRange);
    const double largest = std::max<double>(frames, range ? range->mMaximum : 0.0);
    run->recordCapacity = layout.total + 4 * uint32_t(std::min(largest, 1.0e6));
    run->recorded.assign(size_t(run->recordCapacity) * run->inChannels, 0.0f);
    // A cycle record per buffer, with room for buffers of half the size.
    run->cycles.resize(layout.total / std::max(1u, frames / 2) + 64);

    std::fprintf(report(), "tarsel-roundtrip: %s, %u Hz, %u frames, %u in / %u out\n", title.c_str(), rate, frames,
                 run->inChannels, run->outChannels);
    std::fflush(report());

    RunningIOProc proc;
    if (!proc.start(device, &roundTripIOProc, run.get()))
        return kExitFailure;

    // Progress once a second of signal has gone out; the I/O thread does the work.
    using Clock = std::chrono::steady_clock;
    const unsigned totalSeconds = unsigned(std::ceil(double(layout.total) / rate));
    const auto started = Clock::now();
    auto lastProgress = started;
    uint32_t lastPlayed = 0;
    unsigned shownSeconds = 0;
    const char* stalled = nullptr;
    const auto limit = std::chrono::duration<double>(2.0 * layout.total / rate + 5.0);
    while (!run->done.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (interrupted()) {
            stalled = "stopped by Ctrl-C";
            break;
        }
        const auto now = Clock::now();
        const uint32_t played = run->playedFrames.load(std::memory_order_acquire);
        if (played != lastPlayed) {
            lastPlayed = played;
            lastProgress = now;
        }
        while (shownSeconds < totalSeconds && played >= (shownSeconds + 1) * uint64_t(rate)) {
            ++shownSeconds;
            std::fprintf(report(), "streaming\u2026 %u/%u s\n", shownSeconds, totalSeconds);
            std::fflush(report());
        }
        if (played == 0 && now - started > std::chrono::seconds(3)) {
            stalled = "no audio came: the device does not stream (is the kernel driver's audio engine on?)";
            break;
        }
        if (played != 0 && now - lastProgress > std::chrono::seconds(2)) {
            stalled = "the stream stopped";
            break;
        }
        if (now - started > limit) {
            stalled = "the stream ran too slowly";
            break;
        }
    }
    if (stalled == nullptr && shownSeconds < totalSeconds)
        std::fprintf(report(), "streaming\u2026 %u/%u s\n", totalSeconds, totalSeconds);
    // What the HAL reports is read while the device streams, at the frame size of the run.
    const ReportedDelays delays = reportedDelays(device);
    proc.stop();
    if (stalled != nullptr) {
        fail("%s", stalled);
        return interrupted() ? kExitInterrupted : kExitFailure;
    }

    // The I/O thread has let go of the run: all it wrote is ours now.
    const uint32_t logged = run->cycleCount.load(std::memory_order_acquire);
    std::vector<Cycle> cycles(run->cycles.begin(), run->cycles.begin() + logged);
    const uint32_t calls = uint32_t(cycles.size());
    // Timing needs host times: a stamp of 0 says the device had none for that buffer yet.
    std::vector<const Cycle*> timed;
    uint32_t unstamped = 0, gaps = 0;
    for (size_t i = 0; i < cycles.size(); ++i) {
        if (cycles[i].inputHost == 0 || cycles[i].outputHost == 0)
            ++unstamped;
        else
            timed.push_back(&cycles[i]);
        if (i > 0 && std::llround(cycles[i].inputSample) != positionOf(cycles[i - 1], cycles[i - 1].frames))
            ++gaps;
    }
    const Spread late = lateness(timed, rate);
    const uint32_t lateCalls = tooLate(timed, rate, delays);
    const ClockFit clock = fitClock(timed, rate);
    const RoundTrip trip = measureRoundTrip(*run, cycles, layout);
    // The HAL gives no figure for the point where the device's input hears its output: the
    // trip lies between the output side alone and both sides.
    const int64_t least = int64_t(delays.outputSide()) + options.loopbackDelay;
    const int64_t most = least + int64_t(delays.inputSide());
    const bool tripAsExpected = trip.found && delays.complete && trip.frames >= least && trip.frames <= most;
    const SineCheck sine = trip.found ? checkEcho(*run, cycles, layout, trip.frames) : SineCheck{};
    const uint32_t shapeErrors = run->shapeErrors.load(std::memory_order_relaxed);
    const uint32_t unlogged = run->unlogged.load(std::memory_order_relaxed);

    std::error_code error;
    std::filesystem::create_directories(options.out, error);
    const std::filesystem::path folder(options.out);
    const uint32_t recordedLength = std::min(run->recordedFrames, layout.total);
    bool written = writeWav(folder / "played.wav", run->signal.data(), layout.total, run->outChannels, rate);
    written = writeWav(folder / "recorded.wav", run->recorded.data(), recordedLength, run->inChannels, rate) && written;

    FILE* r = report();
    std::fprintf(r, "report\n");
    std::fprintf(r, "  rate               %u Hz, %u frames a buffer\n", rate, frames);
    std::fprintf(r, "  cycles             %u IOProc calls", calls);
    if (shapeErrors != 0)
        std::fprintf(r, ", %u with unexpected buffers", shapeErrors);
    if (unlogged != 0)
        std::fprintf(r, ", %u not logged (no time stamps, or more calls than buffers)", unlogged);
    std::fputc('\n', r);
    std::fprintf(r, "  wake-up lateness   p50 %.1f us, p99 %.1f us, max %.1f us; %u calls too late for their output\n",
                 micros(late.p50), micros(late.p99), micros(late.max), lateCalls);
    std::fprintf(r, "  time-stamp jitter  p50 %.2f us, p99 %.2f us, max %.2f us (line fit; clock %+.1f ppm)\n",
                 micros(clock.deviation.p50), micros(clock.deviation.p99), micros(clock.deviation.max), clock.ppm);
    std::fprintf(r, "  time stamps        %u calls without a host time, %u breaks in the input sample time"
                    " (buffers the device skipped)\n",
                 unstamped, gaps);
    std::fprintf(r,
                 "  the HAL reports    output latency %u + safety offset %u + 2 buffers of %u = %" PRIu64
                 "; input latency %u + safety offset %u\n",
                 delays.outputLatency, delays.outputSafety, delays.frameSize, delays.outputSide(), delays.inputLatency,
                 delays.inputSafety);
    if (!delays.complete)
        std::fprintf(r, "  (some of these figures did not come: the round trip cannot be checked)\n");
    if (trip.found) {
        std::fprintf(r,
                     "  round trip         %" PRId64 " frames (%.2f ms); with loopback delay %u expected %" PRId64
                     " to %" PRId64 ": %s (%+" PRId64 " beyond the output side)\n",
                     trip.frames, trip.frames * 1000.0 / rate, options.loopbackDelay, least, most,
                     tripAsExpected ? "as expected" : "DIFFERENT", trip.frames - least);
        std::fprintf(r,
                     "  by time stamps     %" PRId64 " frames (input sample time heard - output sample time played);"
                     " output stamps lead the input's by %" PRId64 "\n",
                     trip.stamped, trip.stampLead);
    } else {
        std::fprintf(r,
                     "  round trip         the pulse did not come back; expected after %" PRId64 " to %" PRId64
                     " frames\n",
                     least, most);
    }
    if (!trip.found)
        std::fprintf(r, "  sine               not checked\n");
    else if (sine.matches)
        std::fprintf(r,
                     "  sine               matches sample by sample"
                     " (%" PRIu64 " frames, %u channels, %.0f-bit samples, max %.2f steps of 24 bits)\n",
                     sine.compared, std::min(run->inChannels, run->outChannels), std::log2(grid) + 1.0,
                     sine.maxSteps);
    else if (sine.mismatches != 0)
        std::fprintf(r,
                     "  sine               DIFFERS: %" PRIu64 " samples off by more than one 24-bit step (max %.1f),"
                     " the first at signal frame %" PRId64 "\n",
                     sine.mismatches, sine.maxSteps, sine.firstBad);
    else
        std::fprintf(r, "  sine               INCOMPLETE: %" PRIu64 " of %u frames came back\n", sine.sineCompared,
                     layout.sineFrames);
    std::fprintf(r, "  files              %s, %s (%u frames each)\n", (folder / "played.wav").c_str(),
                 (folder / "recorded.wav").c_str(), layout.total);

    const bool pass = tripAsExpected && sine.matches && shapeErrors == 0 && unlogged == 0 && written &&
                      recordedLength == layout.total;
    std::fprintf(r, "result: %s\n", pass ? "pass" : "FAIL");
    return pass ? 0 : kExitFailure;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    return runHALProgram("tarsel-roundtrip", [&] { return parseOptions(argc, argv, options); },
                         [&] {
                             // Both directions: the default output device must hear itself.
                             const AudioDeviceID device = chooseDevice(options.device, false);
                             return device == kAudioDeviceUnknown ? kExitFailure : runDevice(device, options);
                         });
}
