#pragma once
// What the command-line programs on the HAL share: the devices and streams as the HAL's client
// calls show them, the choice of a device by number or UID, an IOProc's start and stop, and the
// program frame (Ctrl-C, progress on a terminal, the HAL unloaded at the end). Only the client
// calls of CoreAudio/AudioHardware.h are used: these programs know nothing of the plug-in.
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/CommandLine.h"

namespace haltools {

using toolsupport::kExitFailure;
using toolsupport::kExitUsage;

// The exit status of a program stopped by Ctrl-C (128 + SIGINT, as a shell reports it).
constexpr int kExitInterrupted = 130;

// "'who?'" for a four-character status, the number otherwise.
std::string statusText(OSStatus status);
// The four characters of a code, or its number when they are not printable.
std::string codeText(UInt32 code);

// --- the system object --------------------------------------------------------------------------

// The devices in the HAL's "dev#" order; empty when there are none or the call fails.
std::vector<AudioDeviceID> devices();
// The default output ("dOut") or input ("dIn ") device; kAudioDeviceUnknown when there is none.
AudioDeviceID defaultDevice(bool input);

// --- one device ---------------------------------------------------------------------------------

// A fixed-size property of the device in one direction (of one channel; 0 is the master);
// nothing when the call fails.
template <typename T>
std::optional<T> deviceProperty(AudioDeviceID device, bool input, AudioDevicePropertyID property, UInt32 channel = 0)
{
    T value{};
    UInt32 size = sizeof(T);
    if (AudioDeviceGetProperty(device, channel, input, property, &size, &value) != kAudioHardwareNoError ||
        size != sizeof(T))
        return std::nullopt;
    return value;
}

// A fixed-size property of a stream; nothing when the call fails.
template <typename T>
std::optional<T> streamProperty(AudioStreamID stream, AudioDevicePropertyID property)
{
    T value{};
    UInt32 size = sizeof(T);
    if (AudioStreamGetProperty(stream, 0, property, &size, &value) != kAudioHardwareNoError || size != sizeof(T))
        return std::nullopt;
    return value;
}

// A CFString property ("uid ", "lnam", a channel's "lchn") as UTF-8, released after it was
// copied; nothing when the call fails or gives no string.
std::optional<std::string> stringProperty(AudioDeviceID device, bool input, AudioDevicePropertyID property,
                                          UInt32 channel = 0);
// A CFString as UTF-8; nothing for a null one. The caller keeps its reference.
std::optional<std::string> utf8(CFStringRef text);
// `text` as a JSON string, quotes included; only what JSON forbids is escaped.
std::string jsonQuoted(const std::string& text);
// A C-string property ("name", "makr"), an ISO-8859-1 text, as UTF-8; nothing when the call
// fails.
std::optional<std::string> textProperty(AudioDeviceID device, bool input, AudioDevicePropertyID property);
// A list property ("nsr#", "sfm#", "pft#") of records of type T, device or stream.
template <typename T>
std::vector<T> deviceList(AudioDeviceID device, bool input, AudioDevicePropertyID property);
template <typename T>
std::vector<T> streamList(AudioStreamID stream, AudioDevicePropertyID property);

// The channels of the device's buffers in one direction, from "slay" (0 when it has none).
UInt32 channelCount(AudioDeviceID device, bool input);
// The device's streams of one direction ("stm#"); empty when it has none.
std::vector<AudioStreamID> streams(AudioDeviceID device, bool input);
// The nominal rate ("nsrt"), 0 when the call fails.
Float64 nominalRate(AudioDeviceID device);
// Whether one of the ranges of "nsr#" holds `rate`.
bool offersRate(AudioDeviceID device, Float64 rate);
// The device's UID, or "" when it has none.
std::string deviceUID(AudioDeviceID device);
// Manufacturer and name, for the first line of a report ("Tarsel Tarsel Two").
std::string deviceTitle(AudioDeviceID device);

// The delays the HAL reports, in frames ("fsiz", and "ltnc" and "saft" per direction). The
// output side is how long after an input frame the output written with it is heard at the
// earliest: the output latency and safety offset, and two buffers (the input buffer is whole
// before the IOProc is called, and its output goes out whole). The input side is what a sound
// then takes from the input's converter to the input buffer.
struct ReportedDelays {
    UInt32 frameSize = 0;
    UInt32 outputLatency = 0, outputSafety = 0;
    UInt32 inputLatency = 0, inputSafety = 0;
    bool complete = false; // every property answered
    uint64_t outputSide() const { return uint64_t(outputLatency) + outputSafety + 2ull * frameSize; }
    uint64_t inputSide() const { return uint64_t(inputLatency) + inputSafety; }
};
ReportedDelays reportedDelays(AudioDeviceID device);

// The device named by `choice` ("2": its number in "dev#" order, otherwise its UID), or without a
// choice the default device of the direction. On failure it says why and gives
// kAudioDeviceUnknown.
AudioDeviceID findDevice(const std::optional<std::string>& choice, bool input);
// The same, and the device must have channels in that direction.
AudioDeviceID chooseDevice(const std::optional<std::string>& choice, bool input);

// Takes the value of a --device option into `choice`: 0, or the usage error for an empty one.
int takeDeviceChoice(const char* value, std::optional<std::string>& choice);
// The device's number in "dev#" order, or -1.
long deviceIndex(AudioDeviceID device);

// --- IOProcs ------------------------------------------------------------------------------------

// An IOProc made with AudioDeviceCreateIOProcID and started; stopped and destroyed when the
// object goes, or earlier by stop().
class RunningIOProc {
public:
    RunningIOProc() = default;
    ~RunningIOProc() { stop(); }
    RunningIOProc(const RunningIOProc&) = delete;
    RunningIOProc& operator=(const RunningIOProc&) = delete;

    // False (with the reason said) when it cannot be made or started.
    bool start(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData);
    // Stops it; once this returns, the proc is not called again.
    void stop();

private:
    AudioDeviceID m_device = kAudioDeviceUnknown;
    AudioDeviceIOProcID m_id = nullptr;
    bool m_started = false;
};

// --- the program frame --------------------------------------------------------------------------

// Ctrl-C (SIGINT) as a request to stop: watchInterrupt() holds the signal back in every thread
// (call it before the first HAL call), interrupted() tells on the main thread whether it came.
// After the first, a second Ctrl-C ends the program at once, in case stopping hangs.
void watchInterrupt();
bool interrupted();

// A line of progress on standard error, rewritten in place; only when standard error is a
// terminal. clear() ends it before other text.
class Progress {
public:
    Progress();
    void show(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void clear();

private:
    bool m_terminal = false;
    bool m_shown = false;
};

// The frame of a program on the HAL: names it, moves the plug-ins' diagnostics off the report,
// watches Ctrl-C, parses the options with `parse` (0 to go on, -1 after the help text, or an
// exit status), runs `body`, and unloads the HAL. Its exit status is the body's unless the
// report cannot be written.
int runHALProgram(const char* name, const std::function<int()>& parse, const std::function<int()>& body);

// --- inline definitions -------------------------------------------------------------------------

template <typename T>
std::vector<T> deviceList(AudioDeviceID device, bool input, AudioDevicePropertyID property)
{
    UInt32 size = 0;
    if (AudioDeviceGetPropertyInfo(device, 0, input, property, &size, nullptr) != kAudioHardwareNoError ||
        size < sizeof(T))
        return {};
    std::vector<T> list(size / sizeof(T));
    size = UInt32(list.size() * sizeof(T));
    if (AudioDeviceGetProperty(device, 0, input, property, &size, list.data()) != kAudioHardwareNoError)
        return {};
    list.resize(std::min<size_t>(list.size(), size / sizeof(T)));
    return list;
}

template <typename T>
std::vector<T> streamList(AudioStreamID stream, AudioDevicePropertyID property)
{
    UInt32 size = 0;
    if (AudioStreamGetPropertyInfo(stream, 0, property, &size, nullptr) != kAudioHardwareNoError || size < sizeof(T))
        return {};
    std::vector<T> list(size / sizeof(T));
    size = UInt32(list.size() * sizeof(T));
    if (AudioStreamGetProperty(stream, 0, property, &size, list.data()) != kAudioHardwareNoError)
        return {};
    list.resize(std::min<size_t>(list.size(), size / sizeof(T)));
    return list;
}

} // namespace haltools
