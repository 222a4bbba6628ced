// tarsel-hal: lists the devices of the HAL and their streams with their properties, as any
// application sees them through the HAL's client calls.
#include <CoreAudio/AudioHardware.h>
#include <getopt.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/CommandLine.h"
#include "tools/HALDevices.h"

namespace {

using namespace haltools;
using toolsupport::fail;
using toolsupport::report;

const char kUsage[] =
    "usage: tarsel-hal [OPTION]...\n"
    "Lists the audio devices of the HAL (the plug-ins of $TARSEL_HAL_PLUGIN_DIR) and their\n"
    "streams: names, UID, sample rates, frame sizes, channels, latencies, safety offsets,\n"
    "formats and state. A '*' marks the current rate and formats; the default output and\n"
    "input devices are named as such.\n"
    "\n"
    "  -j, --json    the same as JSON\n"
    "  -h, --help    this text\n"
    "\n"
    "Exit status: 0 when devices were listed, 1 when the HAL has none, 2 on a usage error.\n";

// --- what is listed -------------------------------------------------------------------------------

struct StreamInfo {
    AudioStreamID id = kAudioStreamUnknown;
    std::optional<UInt32> direction; // 0 output, 1 input
    std::optional<UInt32> latency;
    std::optional<AudioStreamBasicDescription> format, physicalFormat;
};

struct DirectionInfo {
    std::vector<UInt32> buffers; // channels of each buffer of "slay"
    UInt32 channels = 0;
    std::optional<UInt32> latency, safetyOffset;
    std::optional<AudioStreamBasicDescription> format, physicalFormat;
    std::vector<AudioStreamBasicDescription> formats, physicalFormats;
    std::vector<StreamInfo> streams;
};

struct DeviceInfo {
    AudioDeviceID id = kAudioDeviceUnknown;
    std::optional<std::string> name, manufacturer, longName, uid;
    bool defaultOutput = false, defaultInput = false;
    std::optional<Float64> rate;
    std::vector<AudioValueRange> rates;
    std::optional<UInt32> frameSize;
    std::optional<AudioValueRange> frameSizeRange;
    std::optional<UInt32> running, runningSomewhere, alive;
    DirectionInfo output, input;
};

std::vector<UInt32> bufferChannels(AudioDeviceID device, bool input)
{
    // "slay" as a byte list: a count, then that many buffers.
    std::vector<unsigned char> bytes = deviceList<unsigned char>(device, input, kAudioDevicePropertyStreamConfiguration);
    std::vector<UInt32> channels;
    if (bytes.size() < offsetof(AudioBufferList, mBuffers))
        return channels;
    UInt32 count = 0;
    std::memcpy(&count, bytes.data(), sizeof count);
    for (size_t i = 0; i < count; ++i) {
        const size_t at = offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer);
        if (at + sizeof(AudioBuffer) > bytes.size())
            break;
        AudioBuffer buffer{};
        std::memcpy(&buffer, bytes.data() + at, sizeof buffer);
        channels.push_back(buffer.mNumberChannels);
    }
    return channels;
}

DirectionInfo readDirection(AudioDeviceID device, bool input)
{
    DirectionInfo d;
    d.buffers = bufferChannels(device, input);
    d.channels = channelCount(device, input);
    d.latency = deviceProperty<UInt32>(device, input, kAudioDevicePropertyLatency);
    d.safetyOffset = deviceProperty<UInt32>(device, input, kAudioDevicePropertySafetyOffset);
    d.format = deviceProperty<AudioStreamBasicDescription>(device, input, kAudioDevicePropertyStreamFormat);
    d.physicalFormat = deviceProperty<AudioStreamBasicDescription>(device, input, kAudioStreamPropertyPhysicalFormat);
    d.formats = deviceList<AudioStreamBasicDescription>(device, input, kAudioDevicePropertyStreamFormats);
    d.physicalFormats = deviceList<AudioStreamBasicDescription>(device, input, kAudioStreamPropertyPhysicalFormats);
    for (AudioStreamID id : streams(device, input)) {
        StreamInfo s;
        s.id = id;
        s.direction = streamProperty<UInt32>(id, kAudioStreamPropertyDirection);
        s.latency = streamProperty<UInt32>(id, kAudioStreamPropertyLatency);
        s.format = streamProperty<AudioStreamBasicDescription>(id, kAudioStreamPropertyVirtualFormat);
        s.physicalFormat = streamProperty<AudioStreamBasicDescription>(id, kAudioStreamPropertyPhysicalFormat);
        d.streams.push_back(s);
    }
    return d;
}

DeviceInfo readDevice(AudioDeviceID id)
{
    DeviceInfo d;
    d.id = id;
    d.name = textProperty(id, false, kAudioDevicePropertyDeviceName);
    d.manufacturer = textProperty(id, false, kAudioDevicePropertyDeviceManufacturer);
    d.longName = stringProperty(id, false, kAudioObjectPropertyName);
    d.uid = stringProperty(id, false, kAudioDevicePropertyDeviceUID);
    d.defaultOutput = defaultDevice(false) == id;
    d.defaultInput = defaultDevice(true) == id;
    d.rate = deviceProperty<Float64>(id, false, kAudioDevicePropertyNominalSampleRate);
    d.rates = deviceList<AudioValueRange>(id, false, kAudioDevicePropertyAvailableNominalSampleRates);
    d.frameSize = deviceProperty<UInt32>(id, false, kAudioDevicePropertyBufferFrameSize);
    d.frameSizeRange = deviceProperty<AudioValueRange>(id, false, kAudioDevicePropertyBufferFrameSizeRange);
    d.running = deviceProperty<UInt32>(id, false, kAudioDevicePropertyDeviceIsRunning);
    d.runningSomewhere = deviceProperty<UInt32>(id, false, kAudioDevicePropertyDeviceIsRunningSomewhere);
    d.alive = deviceProperty<UInt32>(id, false, kAudioDevicePropertyDeviceIsAlive);
    d.output = readDirection(id, false);
    d.input = readDirection(id, true);
    return d;
}

bool sameFormat(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b)
{
    return a.mSampleRate == b.mSampleRate && a.mFormatID == b.mFormatID && a.mFormatFlags == b.mFormatFlags &&
           a.mChannelsPerFrame == b.mChannelsPerFrame && a.mBitsPerChannel == b.mBitsPerChannel;
}

bool isCurrent(const std::optional<AudioStreamBasicDescription>& current, const AudioStreamBasicDescription& f)
{
    return current && sameFormat(*current, f);
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// --- text -----------------------------------------------------------------------------------------

std::string orUnknown(const std::optional<std::string>& text)
{
    return text ? *text : "?";
}

std::string orUnknown(const std::optional<UInt32>& value)
{
    return value ? std::to_string(*value) : "?";
}

std::string yesNo(const std::optional<UInt32>& value, const char* yes, const char* no)
{
    return value ? (*value != 0 ? yes : no) : "?";
}

// "2x24 int at 44100 Hz" or "2 ch float32 at 44100 Hz".
std::string formatText(const AudioStreamBasicDescription& f)
{
    const bool isFloat = (f.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
    std::string text = std::to_string(f.mChannelsPerFrame) + "x" + std::to_string(f.mBitsPerChannel) +
                       (isFloat ? " float" : " int");
    if (f.mFormatID != kAudioFormatLinearPCM)
        text += " '" + codeText(f.mFormatID) + "'";
    return text + " at " + number(f.mSampleRate) + " Hz";
}

std::string formatText(const std::optional<AudioStreamBasicDescription>& f)
{
    return f ? formatText(*f) : "?";
}

// One rate a line: "44100 Hz: 2x16 int, 2x24 int*".
void printFormats(const char* title, const std::vector<AudioStreamBasicDescription>& formats,
                  const std::optional<AudioStreamBasicDescription>& current)
{
    FILE* r = report();
    std::fprintf(r, "    %s:", title);
    if (formats.empty()) {
        std::fputs(" none\n", r);
        return;
    }
    std::optional<Float64> rate;
    for (const AudioStreamBasicDescription& f : formats) {
        if (!rate || *rate != f.mSampleRate) {
            std::fprintf(r, "\n      %s Hz:", number(f.mSampleRate).c_str());
            rate = f.mSampleRate;
        }
        std::fprintf(r, " %ux%u%s%s", f.mChannelsPerFrame, f.mBitsPerChannel,
                     (f.mFormatFlags & kAudioFormatFlagIsFloat) ? " float" : "", isCurrent(current, f) ? "*" : "");
    }
    std::fputc('\n', r);
}

void printDirection(const char* title, const DirectionInfo& d)
{
    FILE* r = report();
    std::fprintf(r, "  %s: %u channels", title, d.channels);
    if (d.channels == 0 && d.streams.empty()) {
        std::fputc('\n', r);
        return;
    }
    std::fprintf(r, " in %zu buffer%s (", d.buffers.size(), d.buffers.size() == 1 ? "" : "s");
    for (size_t i = 0; i < d.buffers.size(); ++i)
        std::fprintf(r, "%s%u", i ? ", " : "", d.buffers[i]);
    std::fprintf(r, "), latency %s frames, safety offset %s frames\n", orUnknown(d.latency).c_str(),
                 orUnknown(d.safetyOffset).c_str());
    printFormats("formats", d.formats, d.format);
    printFormats("physical formats", d.physicalFormats, d.physicalFormat);
    for (const StreamInfo& s : d.streams)
        std::fprintf(r, "    stream %u: %s, latency %s frames, format %s, physical %s\n", s.id,
                     s.direction ? (*s.direction != 0 ? "input" : "output") : "?", orUnknown(s.latency).c_str(),
                     formatText(s.format).c_str(), formatText(s.physicalFormat).c_str());
}

void printDevice(size_t index, const DeviceInfo& d)
{
    FILE* r = report();
    std::fprintf(r, "%zu: %s %s (device %u", index, orUnknown(d.manufacturer).c_str(), orUnknown(d.name).c_str(), d.id);
    if (d.defaultOutput)
        std::fputs(", default output", r);
    if (d.defaultInput)
        std::fputs(", default input", r);
    std::fputs(")\n", r);
    std::fprintf(r, "  UID: %s\n  long name: %s\n", orUnknown(d.uid).c_str(), orUnknown(d.longName).c_str());
    std::fprintf(r, "  sample rate: %s Hz; available:", d.rate ? number(*d.rate).c_str() : "?");
    for (const AudioValueRange& range : d.rates) {
        const bool current = d.rate && *d.rate >= range.mMinimum && *d.rate <= range.mMaximum;
        if (range.mMinimum == range.mMaximum)
            std::fprintf(r, " %s%s", number(range.mMinimum).c_str(), current ? "*" : "");
        else
            std::fprintf(r, " %s-%s%s", number(range.mMinimum).c_str(), number(range.mMaximum).c_str(),
                         current ? "*" : "");
    }
    std::fputc('\n', r);
    std::fprintf(r, "  frame size: %s frames", orUnknown(d.frameSize).c_str());
    if (d.frameSizeRange)
        std::fprintf(r, " (%s to %s)", number(d.frameSizeRange->mMinimum).c_str(),
                     number(d.frameSizeRange->mMaximum).c_str());
    std::fputc('\n', r);
    std::fprintf(r, "  state: %s, %s in this process, %s\n", yesNo(d.alive, "alive", "not alive").c_str(),
                 yesNo(d.running, "running", "not running").c_str(),
                 yesNo(d.runningSomewhere, "running somewhere", "not running anywhere").c_str());
    printDirection("output", d.output);
    printDirection("input", d.input);
}

// --- JSON -----------------------------------------------------------------------------------------

void jsonString(const std::optional<std::string>& text)
{
    std::fputs(text ? jsonQuoted(*text).c_str() : "null", report());
}

void jsonNumber(const std::optional<UInt32>& value)
{
    if (value)
        std::fprintf(report(), "%u", *value);
    else
        std::fputs("null", report());
}

void jsonBool(const std::optional<UInt32>& value)
{
    std::fputs(value ? (*value != 0 ? "true" : "false") : "null", report());
}

void jsonFormat(const std::optional<AudioStreamBasicDescription>& format)
{
    FILE* r = report();
    if (!format) {
        std::fputs("null", r);
        return;
    }
    const AudioStreamBasicDescription& f = *format;
    std::fprintf(r, "{\"rate\": %s, \"channels\": %u, \"bits\": %u, \"float\": %s, \"formatID\": ",
                 number(f.mSampleRate).c_str(), f.mChannelsPerFrame, f.mBitsPerChannel,
                 (f.mFormatFlags & kAudioFormatFlagIsFloat) ? "true" : "false");
    jsonString(codeText(f.mFormatID));
    std::fprintf(r, ", \"flags\": %u, \"bytesPerFrame\": %u}", f.mFormatFlags, f.mBytesPerFrame);
}

void jsonFormats(const std::vector<AudioStreamBasicDescription>& formats)
{
    std::fputc('[', report());
    for (size_t i = 0; i < formats.size(); ++i) {
        if (i != 0)
            std::fputs(", ", report());
        jsonFormat(formats[i]);
    }
    std::fputc(']', report());
}

void jsonDirection(const DirectionInfo& d)
{
    FILE* r = report();
    std::fprintf(r, "{\"channels\": %u, \"buffers\": [", d.channels);
    for (size_t i = 0; i < d.buffers.size(); ++i)
        std::fprintf(r, "%s%u", i ? ", " : "", d.buffers[i]);
    std::fputs("], \"latency\": ", r);
    jsonNumber(d.latency);
    std::fputs(", \"safetyOffset\": ", r);
    jsonNumber(d.safetyOffset);
    std::fputs(",\n       \"format\": ", r);
    jsonFormat(d.format);
    std::fputs(", \"physicalFormat\": ", r);
    jsonFormat(d.physicalFormat);
    std::fputs(",\n       \"formats\": ", r);
    jsonFormats(d.formats);
    std::fputs(",\n       \"physicalFormats\": ", r);
    jsonFormats(d.physicalFormats);
    std::fputs(",\n       \"streams\": [", r);
    for (size_t i = 0; i < d.streams.size(); ++i) {
        const StreamInfo& s = d.streams[i];
        std::fprintf(r, "%s{\"id\": %u, \"direction\": ", i ? ", " : "", s.id);
        jsonString(s.direction ? std::optional<std::string>(*s.direction != 0 ? "input" : "output") : std::nullopt);
        std::fputs(", \"latency\": ", r);
        jsonNumber(s.latency);
        std::fputs(", \"format\": ", r);
        jsonFormat(s.format);
        std::fputs(", \"physicalFormat\": ", r);
        jsonFormat(s.physicalFormat);
        std::fputc('}', r);
    }
    std::fputs("]}", r);
}

void jsonDevice(size_t index, const DeviceInfo& d)
{
    FILE* r = report();
    std::fprintf(r, "    {\"index\": %zu, \"id\": %u, \"name\": ", index, d.id);
    jsonString(d.name);
    std::fputs(", \"manufacturer\": ", r);
    jsonString(d.manufacturer);
    std::fputs(", \"longName\": ", r);
    jsonString(d.longName);
    std::fputs(", \"uid\": ", r);
    jsonString(d.uid);
    std::fprintf(r, ",\n     \"defaultOutput\": %s, \"defaultInput\": %s, \"nominalRate\": ",
                 d.defaultOutput ? "true" : "false", d.defaultInput ? "true" : "false");
    std::fputs(d.rate ? number(*d.rate).c_str() : "null", r);
    std::fputs(", \"sampleRates\": [", r);
    for (size_t i = 0; i < d.rates.size(); ++i) {
        const AudioValueRange& range = d.rates[i];
        if (range.mMinimum == range.mMaximum)
            std::fprintf(r, "%s%s", i ? ", " : "", number(range.mMinimum).c_str());
        else
            std::fprintf(r, "%s{\"min\": %s, \"max\": %s}", i ? ", " : "", number(range.mMinimum).c_str(),
                         number(range.mMaximum).c_str());
    }
    std::fputs("],\n     \"frameSize\": {\"current\": ", r);
    jsonNumber(d.frameSize);
    if (d.frameSizeRange)
        std::fprintf(r, ", \"min\": %s, \"max\": %s", number(d.frameSizeRange->mMinimum).c_str(),
                     number(d.frameSizeRange->mMaximum).c_str());
    std::fputs("}, \"alive\": ", r);
    jsonBool(d.alive);
    std::fputs(", \"running\": ", r);
    jsonBool(d.running);
    std::fputs(", \"runningSomewhere\": ", r);
    jsonBool(d.runningSomewhere);
    std::fputs(",\n     \"output\": ", r);
    jsonDirection(d.output);
    std::fputs(",\n     \"input\": ", r);
    jsonDirection(d.input);
    std::fputc('}', r);
}

// --- the program ----------------------------------------------------------------------------------

int listDevices(bool json)
{
    const std::vector<AudioDeviceID> ids = devices();
    FILE* r = report();
    if (json) {
        std::fputs("{\"devices\": [\n", r);
        for (size_t i = 0; i < ids.size(); ++i) {
            jsonDevice(i, readDevice(ids[i]));
            std::fputs(i + 1 < ids.size() ? ",\n" : "\n", r);
        }
        std::fputs("]}\n", r);
    } else {
        for (size_t i = 0; i < ids.size(); ++i)
            printDevice(i, readDevice(ids[i]));
    }
    if (ids.empty()) {
        fail("no audio device (is the kernel driver running, and TARSEL_HAL_PLUGIN_DIR the folder of "
             "TARSEL.plugin?)");
        return kExitFailure;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    static const option kLong[] = {
        {"json", no_argument, nullptr, 'j'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    return runHALProgram(
        "tarsel-hal",
        [&] {
            return toolsupport::parseArguments(argc, argv, "jh", kLong, kUsage, [&](int c, const char*) {
                if (c != 'j')
                    return kExitUsage;
                json = true;
                return 0;
            });
        },
        [&] { return listDevices(json); });
}
