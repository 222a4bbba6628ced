// tarsel-mixer: shows and changes the hardware controls of a device of the HAL (data sources,
// volume, mute, monitoring), as any application reaches them through the HAL's client calls.
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>
#include <getopt.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/CommandLine.h"
#include "tools/HALDevices.h"

namespace {

using namespace haltools;
using toolsupport::fail;
using toolsupport::report;
using toolsupport::usageError;

const char kUsage[] =
    "usage: tarsel-mixer [OPTION]... [list]\n"
    "       tarsel-mixer [OPTION]... get CONTROL\n"
    "       tarsel-mixer [OPTION]... set CONTROL VALUE\n"
    "Shows and changes the hardware controls of a device of the HAL (the plug-ins of\n"
    "$TARSEL_HAL_PLUGIN_DIR): 'list' (or no command) shows every control the device has, 'get'\n"
    "one of them, 'set' changes one and shows it afterwards.\n"
    "\n"
    "Controls and their values:\n"
    "  output-source, input-source   the data source, by name or number\n"
    "  output-volume, input-volume   a scalar from 0 to 1 (0.5), a percentage (50%) or\n"
    "                                decibels (-6dB), which the device converts for each channel\n"
    "  output-mute, input-mute       on or off\n"
    "  monitor                       play-through of the input: on or off\n"
    "\n"
    "  -c, --channel C       only channel C of the control (0 is the master channel); without it\n"
    "                        every channel that has the control\n"
    "  -d, --device N|UID    the device: its number in tarsel-hal's list, or its UID\n"
    "                        (default: the default output device, for the input controls the\n"
    "                        default input device)\n"
    "  -j, --json            the same as JSON\n"
    "  -h, --help            this text\n"
    "\n"
    "Exit status: 0 on success, 1 when the device has no such control, channel or source or\n"
    "refuses the change, 2 on a usage error.\n";

// The channels looked at in a direction: far more than any interface has.
constexpr UInt32 kMostChannels = 256;
// Sources looked at in a direction, likewise.
constexpr size_t kMostSources = 256;

enum class Kind { Source, Volume, Switch };

struct Control {
    const char* name;
    Kind kind;
    bool input;
    AudioDevicePropertyID property; // what is read and set
    const char* what;               // for messages
};

// In the order they are listed.
const Control kControls[] = {
    {"output-source", Kind::Source, false, kAudioDevicePropertyDataSource, "source"},
    {"output-volume", Kind::Volume, false, kAudioDevicePropertyVolumeScalar, "volume"},
    {"output-mute", Kind::Switch, false, kAudioDevicePropertyMute, "mute"},
    {"input-source", Kind::Source, true, kAudioDevicePropertyDataSource, "source"},
    {"input-volume", Kind::Volume, true, kAudioDevicePropertyVolumeScalar, "volume"},
    {"input-mute", Kind::Switch, true, kAudioDevicePropertyMute, "mute"},
    {"monitor", Kind::Switch, true, kAudioDevicePropertyPlayThru, "monitoring"},
};

const char* direction(const Control& c)
{
    return c.input ? "input" : "output";
}

// --- the command line -------------------------------------------------------------------------

enum class Command { List, Get, Set };

struct Options {
    Command command = Command::List;
    const Control* control = nullptr;
    std::optional<std::string> device;
    std::optional<UInt32> channel;
    bool json = false;
    std::string value;       // as given
    bool decibels = false;   // a volume in dB rather than a scalar
    double volume = 0;       // the scalar, or the dB
    bool on = false;         // a switch's value
};

const Control* findControl(const std::string& name)
{
    for (const Control& c : kControls)
        if (name == c.name)
            return &c;
    return nullptr;
}

// A scalar ("0.5"), a percentage ("50%") or decibels ("-6dB", "+3db"); false when it is none.
bool parseVolume(const std::string& text, Options& options)
{
    double v = 0;
    if (text.size() > 2 && strcasecmp(text.c_str() + text.size() - 2, "db") == 0) {
        std::string number = text.substr(0, text.size() - 2);
        const bool negative = !number.empty() && number[0] == '-';
        if (!number.empty() && (number[0] == '-' || number[0] == '+'))
            number.erase(0, 1);
        if (!toolsupport::parseSeconds(number.c_str(), 0.0, 1000.0, v))
            return false;
        options.decibels = true;
        options.volume = negative ? -v : v;
        return true;
    }
    if (!text.empty() && text.back() == '%') {
        if (!toolsupport::parseSeconds(text.substr(0, text.size() - 1).c_str(), 0.0, 100.0, v))
            return false;
        options.volume = v / 100.0;
        return true;
    }
    if (!toolsupport::parseSeconds(text.c_str(), 0.0, 1.0, v))
        return false;
    options.volume = v;
    return true;
}

bool parseSwitch(const std::string& text, bool& on)
{
    if (strcasecmp(text.c_str(), "on") == 0 || text == "1") {
        on = true;
        return true;
    }
    if (strcasecmp(text.c_str(), "off") == 0 || text == "0") {
        on = false;
        return true;
    }
    return false;
}

// "-6dB" is a value, not an option: words that look like negative numbers go behind a "--",
// where getopt leaves them as operands, unless they are an option's value or the caller wrote
// "--" already.
std::vector<char*> valuesAfterOptions(int argc, char** argv)
{
    std::vector<char*> words(argv, argv + argc);
    if (std::find_if(words.begin() + 1, words.end(), [](const char* w) { return std::strcmp(w, "--") == 0; }) !=
        words.end()) {
        words.push_back(nullptr);
        return words;
    }
    const auto takesValue = [](std::string_view w) {
        if (w == "-c" || w == "-d")
            return true;
        if (w.size() < 3 || w.substr(0, 2) != "--" || w.find('=') != std::string_view::npos)
            return false;
        return std::string_view("--channel").starts_with(w) || std::string_view("--device").starts_with(w);
    };
    std::vector<char*> kept{argv[0]}, values;
    for (int i = 1; i < argc; ++i) {
        const std::string_view w = argv[i];
        if (takesValue(w) && i + 1 < argc) {
            kept.push_back(argv[i]);
            kept.push_back(argv[++i]);
        } else if (w.size() >= 2 && w[0] == '-' && (std::isdigit(static_cast<unsigned char>(w[1])) || w[1] == '.')) {
            values.push_back(argv[i]);
        } else {
            kept.push_back(argv[i]);
        }
    }
    if (!values.empty()) {
        static char separator[] = "--";
        kept.push_back(separator);
        kept.insert(kept.end(), values.begin(), values.end());
    }
    kept.push_back(nullptr);
    return kept;
}

// 0: parsed, -1: help given; otherwise the exit status.
int parseOptions(int argc, char** argv, Options& options)
{
    static const option kLong[] = {{"channel", required_argument, nullptr, 'c'},
                                   {"device", required_argument, nullptr, 'd'},
                                   {"json", no_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    std::vector<char*> words = valuesAfterOptions(argc, argv);
    std::vector<std::string> operands;
    const int status = toolsupport::parseArguments(
        int(words.size() - 1), words.data(), "c:d:jh", kLong, kUsage,
        [&](int c, const char* value) {
            unsigned long channel = 0;
            switch (c) {
            case 'c':
                if (!toolsupport::parseUnsigned(value, kMostChannels, channel)) {
                    fail("invalid channel '%s' (0 to %u; 0 is the master channel)", value, kMostChannels);
                    return kExitUsage;
                }
                options.channel = UInt32(channel);
                return 0;
            case 'd':
                return haltools::takeDeviceChoice(value, options.device);
            case 'j':
                options.json = true;
                return 0;
            default:
                return kExitUsage;
            }
        },
        [&](const char* operand) {
            operands.emplace_back(operand);
            return 0;
        },
        argc);
    if (status != 0)
        return status;

    const std::string command = operands.empty() ? "list" : operands[0];
    const size_t wanted = command == "list" ? 1 : command == "get" ? 2 : command == "set" ? 3 : 0;
    if (wanted == 0) {
        usageError("unknown command '%s' (list, get or set)", command.c_str());
        return kExitUsage;
    }
    if (operands.size() > wanted) {
        usageError("unexpected argument '%s'", operands[wanted].c_str());
        return kExitUsage;
    }
    if (command == "list") {
        if (options.channel) {
            usageError("--channel goes with get and set");
            return kExitUsage;
        }
        return 0;
    }
    options.command = command == "get" ? Command::Get : Command::Set;
    if (operands.size() < 2) {
        usageError("%s which control? (output-volume, input-source, ...)", command.c_str());
        return kExitUsage;
    }
    options.control = findControl(operands[1]);
    if (options.control == nullptr) {
        std::string names;
        for (const Control& c : kControls)
            names += std::string(names.empty() ? "" : ", ") + c.name;
        usageError("unknown control '%s' (%s)", operands[1].c_str(), names.c_str());
        return kExitUsage;
    }
    if (options.channel && options.control->kind == Kind::Source) {
        usageError("%s has no channels: --channel goes with volume, mute and monitor", options.control->name);
        return kExitUsage;
    }
    if (options.command == Command::Get)
        return 0;
    if (operands.size() < 3) {
        usageError("set %s to what?", options.control->name);
        return kExitUsage;
    }
    options.value = operands[2];
    if (options.control->kind == Kind::Volume && !parseVolume(options.value, options)) {
        usageError("invalid volume '%s' (0 to 1, 0%% to 100%%, or decibels such as -6dB)", options.value.c_str());
        return kExitUsage;
    }
    if (options.control->kind == Kind::Switch && !parseSwitch(options.value, options.on)) {
        usageError("invalid switch '%s' (on or off)", options.value.c_str());
        return kExitUsage;
    }
    if (options.control->kind == Kind::Source && options.value.empty()) {
        usageError("empty source name");
        return kExitUsage;
    }
    return 0;
}

// --- what the device answers ------------------------------------------------------------------

UInt32 channelsOf(AudioDeviceID device, bool input)
{
    const auto format = deviceProperty<AudioStreamBasicDescription>(device, input, kAudioDevicePropertyStreamFormat);
    return format ? std::min(format->mChannelsPerFrame, kMostChannels) : 0;
}

bool has(AudioDeviceID device, const Control& c, UInt32 channel)
{
    return AudioDeviceGetPropertyInfo(device, channel, c.input, c.property, nullptr, nullptr) == kAudioHardwareNoError;
}

struct Source {
    UInt32 id = 0;
    std::string name;
};

struct Sources {
    std::vector<Source> list;
    std::optional<UInt32> current;
    const Source* find(UInt32 id) const
    {
        for (const Source& s : list)
            if (s.id == id)
                return &s;
        return nullptr;
    }
};

// The name of a source, as a CFString ("lscn") or else as a C string ("sscn"); "" when the
// device gives none.
std::string sourceName(AudioDeviceID device, bool input, UInt32 id)
{
    CFStringRef text = nullptr;
    AudioValueTranslation t{&id, sizeof id, &text, sizeof text};
    UInt32 size = sizeof t;
    const OSStatus status = AudioDeviceGetProperty(device, 0, input, kAudioDevicePropertyDataSourceNameForIDCFString,
                                                   &size, &t);
    std::optional<std::string> name;
    if (status == kAudioHardwareNoError && text != nullptr)
        name = utf8(text);
    if (text != nullptr)
        CFRelease(text);
    if (name)
        return *name;
    char buffer[256] = {};
    AudioValueTranslation c{&id, sizeof id, buffer, sizeof buffer - 1};
    size = sizeof c;
    if (AudioDeviceGetProperty(device, 0, input, kAudioDevicePropertyDataSourceNameForID, &size, &c) !=
        kAudioHardwareNoError)
        return "";
    // The answer ends within the buffer whatever came back: its last byte is never written.
    return std::string(buffer, strnlen(buffer, sizeof buffer - 1));
}

// The sources of a direction; none when it has no channels or the device lists none.
Sources readSources(AudioDeviceID device, bool input)
{
    Sources s;
    if (channelsOf(device, input) == 0)
        return s;
    std::vector<UInt32> ids = deviceList<UInt32>(device, input, kAudioDevicePropertyDataSources);
    ids.resize(std::min(ids.size(), kMostSources));
    for (UInt32 id : ids)
        s.list.push_back({id, sourceName(device, input, id)});
    s.current = deviceProperty<UInt32>(device, input, kAudioDevicePropertyDataSource);
    return s;
}

// One channel of a volume or a switch.
struct ChannelState {
    UInt32 channel = 0;
    std::string name;
    std::optional<Float32> scalar, dB;
    std::optional<UInt32> on;
};

ChannelState readChannel(AudioDeviceID device, const Control& c, UInt32 channel)
{
    ChannelState s;
    s.channel = channel;
    s.name = stringProperty(device, c.input, kAudioObjectPropertyElementName, channel).value_or("");
    if (c.kind == Kind::Volume) {
        s.scalar = deviceProperty<Float32>(device, c.input, kAudioDevicePropertyVolumeScalar, channel);
        s.dB = deviceProperty<Float32>(device, c.input, kAudioDevicePropertyVolumeDecibels, channel);
    } else {
        s.on = deviceProperty<UInt32>(device, c.input, c.property, channel);
    }
    return s;
}

// The channels of the direction that have the control, the master channel 0 among them.
std::vector<UInt32> channelsWith(AudioDeviceID device, const Control& c)
{
    std::vector<UInt32> list;
    const UInt32 channels = channelsOf(device, c.input);
    if (channels == 0)
        return list;
    for (UInt32 channel = 0; channel <= channels; ++channel)
        if (has(device, c, channel))
            list.push_back(channel);
    return list;
}

// The channels a get or set works on; empty (with the reason said) when the device does not
// have the control there.
std::vector<UInt32> targetChannels(AudioDeviceID device, const Control& c, const std::optional<UInt32>& only)
{
    const std::string title = deviceTitle(device);
    const std::vector<UInt32> with = channelsWith(device, c);
    if (with.empty()) {
        fail("%s has no %s", title.c_str(), c.name);
        return {};
    }
    if (!only)
        return with;
    const UInt32 channels = channelsOf(device, c.input);
    if (*only > channels) {
        fail("%s has no %s channel %u (it has %u, and the master channel 0)", title.c_str(), direction(c), *only,
             channels);
        return {};
    }
    if (std::find(with.begin(), with.end(), *only) == with.end()) {
        std::string list;
        for (UInt32 channel : with)
            list += (list.empty() ? "" : ", ") + std::to_string(channel);
        fail("%s channel %u of %s has no %s (%s is on channel%s %s)", direction(c), *only, title.c_str(), c.what,
             c.name, with.size() == 1 ? "" : "s", list.c_str());
        return {};
    }
    return {*only};
}

// --- text and JSON ----------------------------------------------------------------------------

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string number(double value, const char* format)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void printSources(const Control& c, const Sources& s, bool json)
{
    FILE* r = report();
    const Source* current = s.current ? s.find(*s.current) : nullptr;
    if (json) {
        std::fprintf(r, "%s: {\"current\": %s, \"name\": %s, \"sources\": [", jsonQuoted(c.name).c_str(),
                     s.current ? std::to_string(*s.current).c_str() : "null",
                     current ? jsonQuoted(current->name).c_str() : "null");
        for (size_t i = 0; i < s.list.size(); ++i)
            std::fprintf(r, "%s{\"id\": %u, \"name\": %s}", i ? ", " : "", s.list[i].id,
                         jsonQuoted(s.list[i].name).c_str());
        std::fputs("]}", r);
        return;
    }
    std::fprintf(r, "%s: ", c.name);
    if (current)
        std::fprintf(r, "%u %s", current->id, quoted(current->name).c_str());
    else
        std::fputs(s.current ? std::to_string(*s.current).c_str() : "?", r);
    std::fputs(" (sources:", r);
    for (size_t i = 0; i < s.list.size(); ++i)
        std::fprintf(r, "%s %u %s", i ? "," : "", s.list[i].id, quoted(s.list[i].name).c_str());
    std::fputs(")\n", r);
}

void printChannels(const Control& c, const std::vector<ChannelState>& states, bool json)
{
    FILE* r = report();
    if (json) {
        std::fprintf(r, "%s: [", jsonQuoted(c.name).c_str());
        for (size_t i = 0; i < states.size(); ++i) {
            const ChannelState& s = states[i];
            std::fprintf(r, "%s{\"channel\": %u, \"name\": %s, ", i ? ", " : "", s.channel, jsonQuoted(s.name).c_str());
            if (c.kind == Kind::Volume)
                std::fprintf(r, "\"scalar\": %s, \"percent\": %s, \"dB\": %s}",
                             s.scalar ? number(*s.scalar, "%.6g").c_str() : "null",
                             s.scalar ? number(*s.scalar * 100.0, "%.6g").c_str() : "null",
                             s.dB ? number(*s.dB, "%.6g").c_str() : "null");
            else
                std::fprintf(r, "\"on\": %s}", s.on ? (*s.on != 0 ? "true" : "false") : "null");
        }
        std::fputc(']', r);
        return;
    }
    for (const ChannelState& s : states) {
        std::fprintf(r, "%s: channel %u %s ", c.name, s.channel, quoted(s.name).c_str());
        if (c.kind == Kind::Volume)
            std::fprintf(r, "%s (%s%%, %s dB)\n", s.scalar ? number(*s.scalar, "%.4f").c_str() : "?",
                         s.scalar ? number(*s.scalar * 100.0, "%.1f").c_str() : "?",
                         s.dB ? number(*s.dB, "%.2f").c_str() : "?");
        else
            std::fprintf(r, "%s\n", s.on ? (*s.on != 0 ? "on" : "off") : "?");
    }
}

// A control as it is now, on `channels` (a source has none); JSON: a member of "controls".
void showControl(AudioDeviceID device, const Control& c, const std::vector<UInt32>& channels, bool json, bool first)
{
    if (json)
        std::fputs(first ? "\n  " : ",\n  ", report());
    if (c.kind == Kind::Source) {
        printSources(c, readSources(device, c.input), json);
        return;
    }
    std::vector<ChannelState> states;
    for (UInt32 channel : channels)
        states.push_back(readChannel(device, c, channel));
    printChannels(c, states, json);
}

void jsonHead(AudioDeviceID device)
{
    std::fprintf(report(), "{\"device\": {\"index\": %ld, \"id\": %u, \"name\": %s, \"uid\": %s},\n \"controls\": {",
                 deviceIndex(device), device, jsonQuoted(deviceTitle(device)).c_str(),
                 jsonQuoted(deviceUID(device)).c_str());
}

// --- the commands -----------------------------------------------------------------------------

int list(AudioDeviceID device, bool json)
{
    FILE* r = report();
    if (json)
        jsonHead(device);
    else
        std::fprintf(r, "%s (device %ld, UID %s)\n", deviceTitle(device).c_str(), deviceIndex(device),
                     deviceUID(device).c_str());
    bool first = true;
    for (const Control& c : kControls) {
        // What the device does not have is left out.
        const std::vector<UInt32> channels = c.kind == Kind::Source ? std::vector<UInt32>{} : channelsWith(device, c);
        if (c.kind == Kind::Source ? readSources(device, c.input).list.empty() : channels.empty())
            continue;
        showControl(device, c, channels, json, first);
        first = false;
    }
    if (json)
        std::fputs("}}\n", r);
    return 0;
}

int get(AudioDeviceID device, const Options& options)
{
    const Control& c = *options.control;
    if (c.kind == Kind::Source && readSources(device, c.input).list.empty()) {
        fail("%s has no %s", deviceTitle(device).c_str(), c.name);
        return kExitFailure;
    }
    std::vector<UInt32> channels;
    if (c.kind != Kind::Source && (channels = targetChannels(device, c, options.channel)).empty())
        return kExitFailure;
    if (options.json)
        jsonHead(device);
    showControl(device, c, channels, options.json, true);
    if (options.json)
        std::fputs("}}\n", report());
    return 0;
}

bool refused(AudioDeviceID device, const Control& c, OSStatus status, const std::string& what)
{
    if (status == kAudioHardwareNoError)
        return false;
    fail("%s refused %s %s (%s)", deviceTitle(device).c_str(), c.name, what.c_str(), statusText(status).c_str());
    return true;
}

// The source a value names: its number as listed, its place in the list (from 1), or its name
// (letter case aside).
const Source* chooseSource(const Sources& s, const std::string& value)
{
    unsigned long n = 0;
    if (toolsupport::parseUnsigned(value.c_str(), 0xFFFFFFFFul, n)) {
        if (const Source* listed = s.find(UInt32(n)))
            return listed;
        return n >= 1 && n <= s.list.size() ? &s.list[n - 1] : nullptr;
    }
    for (const Source& source : s.list)
        if (strcasecmp(source.name.c_str(), value.c_str()) == 0)
            return &source;
    return nullptr;
}

int set(AudioDeviceID device, const Options& options)
{
    const Control& c = *options.control;
    const std::string title = deviceTitle(device);
    if (c.kind == Kind::Source) {
        const Sources s = readSources(device, c.input);
        if (s.list.empty()) {
            fail("%s has no %s", title.c_str(), c.name);
            return kExitFailure;
        }
        const Source* source = chooseSource(s, options.value);
        if (source == nullptr) {
            std::string names;
            for (const Source& each : s.list)
                names += (names.empty() ? "" : ", ") + std::to_string(each.id) + " " + quoted(each.name);
            fail("%s has no %s source '%s' (%s)", title.c_str(), direction(c), options.value.c_str(), names.c_str());
            return kExitFailure;
        }
        const UInt32 id = source->id;
        if (refused(device, c, AudioDeviceSetProperty(device, nullptr, 0, c.input, c.property, sizeof id, &id),
                    std::to_string(id)))
            return kExitFailure;
        return get(device, options);
    }
    const std::vector<UInt32> channels = targetChannels(device, c, options.channel);
    if (channels.empty())
        return kExitFailure;
    for (UInt32 channel : channels) {
        const std::string what = options.value + " on channel " + std::to_string(channel);
        OSStatus status = kAudioHardwareNoError;
        if (c.kind == Kind::Switch) {
            const UInt32 on = options.on ? 1 : 0;
            status = AudioDeviceSetProperty(device, nullptr, channel, c.input, c.property, sizeof on, &on);
        } else {
            Float32 scalar = Float32(options.volume);
            if (options.decibels) {
                // The device's own conversion: each channel has its range of decibels.
                UInt32 size = sizeof scalar;
                const OSStatus converted = AudioDeviceGetProperty(device, channel, c.input,
                                                                  kAudioDevicePropertyVolumeDecibelsToScalar, &size,
                                                                  &scalar);
                if (converted != kAudioHardwareNoError || size != sizeof scalar || !(scalar >= 0 && scalar <= 1)) {
                    fail("%s cannot convert %s on %s channel %u to a volume (%s)", title.c_str(),
                         options.value.c_str(), direction(c), channel, statusText(converted).c_str());
                    return kExitFailure;
                }
            }
            status = AudioDeviceSetProperty(device, nullptr, channel, c.input, c.property, sizeof scalar, &scalar);
        }
        if (refused(device, c, status, what))
            return kExitFailure;
    }
    return get(device, options);
}

int run(const Options& options)
{
    // Without a device named, the default one of the control's direction, else the other one.
    bool input = options.control != nullptr && options.control->input;
    if (!options.device && !devices().empty() && defaultDevice(input) == kAudioDeviceUnknown)
        input = !input;
    const AudioDeviceID device = findDevice(options.device, input);
    if (device == kAudioDeviceUnknown)
        return kExitFailure;
    switch (options.command) {
    case Command::List:
        return list(device, options.json);
    case Command::Get:
        return get(device, options);
    case Command::Set:
        return set(device, options);
    }
    return kExitFailure;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    return runHALProgram("tarsel-mixer", [&] { return parseOptions(argc, argv, options); },
                         [&] { return run(options); });
}
