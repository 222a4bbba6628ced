// tarsel-devices: lists the attached interfaces through the device layer, and changes the
// format, rate or frame size of one of them.
#include <CoreFoundation/CoreFoundation.h>
#include <getopt.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/DeviceManagerClient.h"
#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"
#include "tools/ToolSupport.h"

namespace {

using namespace toolsupport;

const char kUsage[] =
    "usage: tarsel-devices [OPTION]...\n"
    "Lists the attached audio interfaces: texts, USB id, the running format, sample rates,\n"
    "stream formats, frame-size range and latencies. With a setting option, changes one\n"
    "interface first and then lists it.\n"
    "\n"
    "  -d, --device N          the interface to change, by its number in the list\n"
    "                          (needed only when several are attached)\n"
    "  -r, --rate HZ           sample rate, one of the interface's rates\n"
    "  -i, --input CHxBITS     input format, e.g. 2x24, one of the physical input formats\n"
    "  -o, --output CHxBITS    output format, e.g. 8x16, one of the physical output formats\n"
    "                          (a format is taken at --rate when given, else at the\n"
    "                          current rate)\n"
    "  -f, --frame-size N      I/O frame size of this program's connection; shows the\n"
    "                          latencies it gives (each client has its own frame size)\n"
    "  -j, --json              machine-readable output\n"
    "  -h, --help              this text\n"
    "\n"
    "Exit status: 0 on success, 1 when the kernel driver or the interface cannot be\n"
    "reached or a setting is refused, 2 on a usage error.\n";

struct Layout {
    unsigned channels = 0;
    unsigned bits = 0;
};

struct Options {
    std::optional<long> device;
    std::optional<unsigned> rate;
    std::optional<Layout> input;
    std::optional<Layout> output;
    std::optional<unsigned> frameSize;
    bool json = false;
    bool changes() const { return rate || input || output || frameSize; }
};

bool parseLayout(const char* text, Layout& layout)
{
    const char* x = std::strpbrk(text, "xX");
    if (x == nullptr)
        return false;
    std::string channels(text, size_t(x - text));
    unsigned long c = 0, b = 0;
    if (!parseUnsigned(channels.c_str(), 64, c) || !parseUnsigned(x + 1, 32, b) || c == 0)
        return false;
    layout = {unsigned(c), unsigned(b)};
    return true;
}

// 0: parsed, -1: help given; otherwise the exit status.
int parseOptions(int argc, char** argv, Options& options)
{
    static const option kLong[] = {
        {"device", required_argument, nullptr, 'd'}, {"rate", required_argument, nullptr, 'r'},
        {"input", required_argument, nullptr, 'i'},  {"output", required_argument, nullptr, 'o'},
        {"frame-size", required_argument, nullptr, 'f'}, {"json", no_argument, nullptr, 'j'},
        {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0},
    };
    return parseArguments(argc, argv, "d:r:i:o:f:jh", kLong, kUsage, [&](int c, const char* value) {
        unsigned long number = 0;
        Layout layout;
        switch (c) {
        case 'd':
            if (!parseUnsigned(value, 1000, number)) {
                fail("invalid interface number '%s'", value);
                return kExitUsage;
            }
            options.device = long(number);
            return 0;
        case 'r':
            if (!parseUnsigned(value, 1000000, number) || number == 0) {
                fail("invalid sample rate '%s'", value);
                return kExitUsage;
            }
            options.rate = unsigned(number);
            return 0;
        case 'i':
        case 'o':
            if (!parseLayout(value, layout)) {
                fail("invalid format '%s' (expected CHANNELSxBITS, e.g. 2x24)", value);
                return kExitUsage;
            }
            (c == 'i' ? options.input : options.output) = layout;
            return 0;
        case 'f':
            if (!parseUnsigned(value, 1000000, number)) {
                fail("invalid frame size '%s'", value);
                return kExitUsage;
            }
            options.frameSize = unsigned(number);
            return 0;
        case 'j':
            options.json = true;
            return 0;
        default:
            return kExitUsage;
        }
    });
}

// --- reading a device ---------------------------------------------------------------------------

struct Format {
    unsigned rate = 0;
    unsigned channels = 0;
    unsigned bits = 0;
};

std::vector<unsigned> sampleRates(ZmOSXDevice& device)
{
    unsigned count = device.getSampleRates(nullptr, 0);
    std::vector<AudioValueRange> ranges(count);
    std::vector<unsigned> rates;
    if (count == 0)
        return rates;
    count = device.getSampleRates(ranges.data(), count);
    for (unsigned i = 0; i < count && i < ranges.size(); ++i)
        rates.push_back(unsigned(ranges[i].mMinimum));
    return rates;
}

std::vector<Format> streamFormats(ZmOSXDevice& device, bool input, bool physical)
{
    std::vector<Format> formats;
    int count = device.getStreamFormatNum(input, physical);
    if (count <= 0)
        return formats;
    std::vector<AudioStreamBasicDescription> list(static_cast<size_t>(count));
    if (device.getStreamFormats(input, list.data(), count, physical, kAllChannels) != 0)
        return formats;
    for (const auto& f : list)
        formats.push_back({unsigned(f.mSampleRate), f.mChannelsPerFrame, f.mBitsPerChannel});
    return formats;
}

// --- text output --------------------------------------------------------------------------------

// "44100 Hz: 2x16 2x24, 48000 Hz: ..." one rate a line.
void printFormats(const char* title, const std::vector<Format>& formats, bool physical)
{
    std::fprintf(report(), "  %s:", title);
    if (formats.empty()) {
        std::fputs(" none\n", report());
        return;
    }
    unsigned rate = 0;
    bool first = true;
    for (const Format& f : formats) {
        if (first || f.rate != rate) {
            std::fprintf(report(), "\n    %u Hz:", f.rate);
            rate = f.rate;
            first = false;
        }
        if (physical)
            std::fprintf(report(), " %ux%u", f.channels, f.bits);
        else
            std::fprintf(report(), " %u", f.channels);
    }
    std::fputc('\n', report());
}

void printDevice(long index, ZmOSXDevice& device)
{
    const VIDPID id = device.getVIDPID();
    const VkChannelSettings& cs = device.getTrueChannels();
    std::fprintf(report(), "%ld: %s %s [%04x:%04x] %s speed\n", index, device.getManufacturer().c_str(),
                 device.getDeviceName().c_str(), id.vendorID, id.productID, device.isUSB2Device() ? "high" : "full");
    std::fprintf(report(), "  manufacturer: %s\n  name: %s\n  model UID: %s\n", device.getManufacturer().c_str(),
                 device.getDeviceName().c_str(), device.getModelUID().c_str());
    std::fprintf(report(), "  running: %u Hz, input %ux%u, output %ux%u, configuration %u\n", cs.iFrequency,
                 cs.iInChannels, cs.iInBits, cs.iOutChannels, cs.iOutBits, cs.iConfiguration);
    std::fputs("  sample rates:", report());
    for (unsigned rate : sampleRates(device))
        std::fprintf(report(), " %u", rate);
    std::fputc('\n', report());
    printFormats("input formats (physical)", streamFormats(device, true, true), true);
    printFormats("input formats (virtual: 32-bit float, channels)", streamFormats(device, true, false), false);
    printFormats("output formats (physical)", streamFormats(device, false, true), true);
    printFormats("output formats (virtual: 32-bit float, channels)", streamFormats(device, false, false), false);
    unsigned min = 0, max = 0;
    device.getFrameSizeRangeInt(min, max);
    std::fprintf(report(), "  frame size: %u (%u to %u)\n", device.getFrameSize(), min, max);
    std::fprintf(report(), "  latency: input %u, output %u frames\n", unsigned(device.getLatency(true)),
                 unsigned(device.getLatency(false)));
}

// --- JSON output --------------------------------------------------------------------------------

void jsonString(const char* text)
{
    std::fputc('"', report());
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (*p == '"' || *p == '\\')
            std::fprintf(report(), "\\%c", *p);
        else if (*p < 0x20 || *p >= 0x7F)
            std::fprintf(report(), "\\u%04x", *p); // texts are ISO-8859-1
        else
            std::fputc(*p, report());
    }
    std::fputc('"', report());
}

void jsonFormats(const std::vector<Format>& formats, bool physical)
{
    std::fputc('[', report());
    for (size_t i = 0; i < formats.size(); ++i) {
        const Format& f = formats[i];
        std::fprintf(report(), "%s{\"rate\": %u, \"channels\": %u, \"bits\": %u}", i ? ", " : "", f.rate, f.channels,
                     physical ? f.bits : 32u);
    }
    std::fputc(']', report());
}

void jsonDevice(long index, ZmOSXDevice& device)
{
    const VIDPID id = device.getVIDPID();
    const VkChannelSettings& cs = device.getTrueChannels();
    std::fprintf(report(), "    {\"index\": %ld, \"manufacturer\": ", index);
    jsonString(device.getManufacturer().c_str());
    std::fputs(", \"name\": ", report());
    jsonString(device.getDeviceName().c_str());
    std::fputs(", \"modelUID\": ", report());
    jsonString(device.getModelUID().c_str());
    std::fprintf(report(), ",\n     \"vendorId\": %u, \"productId\": %u, \"usbId\": \"%04x:%04x\", \"highSpeed\": %s,\n",
                 id.vendorID, id.productID, id.vendorID, id.productID, device.isUSB2Device() ? "true" : "false");
    std::fprintf(report(),
                 "     \"running\": {\"rate\": %u, \"input\": {\"channels\": %u, \"bits\": %u}, "
                 "\"output\": {\"channels\": %u, \"bits\": %u}, \"configuration\": %u},\n",
                 cs.iFrequency, cs.iInChannels, cs.iInBits, cs.iOutChannels, cs.iOutBits, cs.iConfiguration);
    std::fputs("     \"sampleRates\": [", report());
    std::vector<unsigned> rates = sampleRates(device);
    for (size_t i = 0; i < rates.size(); ++i)
        std::fprintf(report(), "%s%u", i ? ", " : "", rates[i]);
    std::fputs("],\n     \"formats\": {", report());
    for (bool input : {true, false}) {
        std::fprintf(report(), "%s\"%s\": {\"physical\": ", input ? "" : ", ", input ? "input" : "output");
        jsonFormats(streamFormats(device, input, true), true);
        std::fputs(", \"virtual\": ", report());
        jsonFormats(streamFormats(device, input, false), false);
        std::fputc('}', report());
    }
    unsigned min = 0, max = 0;
    device.getFrameSizeRangeInt(min, max);
    std::fprintf(report(), "},\n     \"frameSize\": {\"current\": %u, \"min\": %u, \"max\": %u},\n", device.getFrameSize(),
                 min, max);
    std::fprintf(report(), "     \"latency\": {\"input\": %u, \"output\": %u}}", unsigned(device.getLatency(true)),
                 unsigned(device.getLatency(false)));
}

// --- changes ------------------------------------------------------------------------------------

bool applyFormat(ZmOSXDevice& device, bool input, const Layout& layout, unsigned rate)
{
    const char* direction = input ? "input" : "output";
    for (const Format& f : streamFormats(device, input, true)) {
        if (f.rate != rate || f.channels != layout.channels || f.bits != layout.bits)
            continue;
        AudioStreamBasicDescription format{};
        if (device.getStreamFormat(input, &format, true, kAllChannels) != 0) {
            fail("cannot read the %s format", direction);
            return false;
        }
        format.mSampleRate = rate;
        format.mChannelsPerFrame = layout.channels;
        format.mBitsPerChannel = layout.bits;
        unsigned bytes = layout.bits == 16 ? 2 : layout.bits == 32 ? 4 : 3;
        format.mBytesPerFrame = format.mBytesPerPacket = bytes * layout.channels;
        OSStatus status = device.setStreamFormat(input, &format, true);
        const VkChannelSettings& cs = device.getTrueChannels();
        unsigned channels = input ? cs.iInChannels : cs.iOutChannels;
        unsigned bits = input ? cs.iInBits : cs.iOutBits;
        if (status != 0) {
            fail("the interface refused %s format %ux%u at %u Hz (error 0x%08" PRIx32 ")", direction, layout.channels,
                 layout.bits, rate, uint32_t(status));
            return false;
        }
        if (cs.iFrequency != rate || channels != layout.channels || bits != layout.bits) {
            fail("the interface did not take %s format %ux%u at %u Hz; it runs %ux%u at %u Hz", direction,
                 layout.channels, layout.bits, rate, channels, bits, cs.iFrequency);
            return false;
        }
        return true;
    }
    fail("%s format %ux%u at %u Hz is not offered by %s (see its list of formats)", direction, layout.channels,
         layout.bits, rate, device.getDeviceName().c_str());
    return false;
}

bool applyRate(ZmOSXDevice& device, unsigned rate)
{
    std::vector<unsigned> rates = sampleRates(device);
    bool offered = false;
    std::string list;
    for (unsigned r : rates) {
        offered = offered || r == rate;
        list += " " + std::to_string(r);
    }
    if (!offered) {
        fail("%u Hz is not offered by %s (rates:%s)", rate, device.getDeviceName().c_str(), list.c_str());
        return false;
    }
    // Led by the output unless only the input is on.
    const bool input = device.getTrueChannels().iOutChannels == 0;
    if (!device.setFrequency(input, rate) || device.getFrequency() != rate) {
        fail("the interface refused %u Hz; it runs at %u Hz", rate, unsigned(device.getFrequency()));
        return false;
    }
    return true;
}

bool applyChanges(ZmOSXDevice& device, const Options& options)
{
    const unsigned rate = options.rate.value_or(unsigned(device.getFrequency()));
    if (options.input && !applyFormat(device, true, *options.input, rate))
        return false;
    if (options.output && !applyFormat(device, false, *options.output, rate))
        return false;
    if (options.rate && !options.input && !options.output && !applyRate(device, rate))
        return false;
    if (options.frameSize && !applyFrameSize(device, *options.frameSize))
        return false;
    return true;
}

// Changes the chosen interface, if asked to, and lists the interfaces; the exit status.
int listDevices(OSXDeviceManager& manager, const Options& options)
{
    const long count = manager.getCountDevices();
    long first = 0, last = count;
    if (options.changes() || options.device) {
        long index = options.device.value_or(0);
        if (count == 0) {
            fail("no interface is attached");
            return kExitFailure;
        }
        if (!options.device && count > 1) {
            fail("%ld interfaces are attached; choose one with --device", count);
            return kExitUsage;
        }
        if (index >= count) {
            fail("there is no interface %ld (%ld attached)", index, count);
            return kExitFailure;
        }
        first = index;
        last = index + 1;
        // A refused change has said why; the listing would only hide that.
        if (options.changes()) {
            // Held from the look-up on: an unplug may remove it meanwhile.
            ZmOSXDevice* device = manager.getDeviceAndRetain(index);
            if (device == nullptr) {
                fail("there is no interface %ld (%ld attached)", index, manager.getCountDevices());
                return kExitFailure;
            }
            const bool applied = applyChanges(*device, options);
            device->decReferences();
            if (!applied)
                return kExitFailure;
        }
    }

    if (options.json)
        std::fputs("{\"interfaces\": [\n", report());
    else if (count == 0)
        std::fputs("no interfaces attached\n", report());
    for (long i = first; i < last; ++i) {
        ZmOSXDevice* device = manager.getDeviceAndRetain(i);
        if (device == nullptr)
            continue;
        if (options.json) {
            jsonDevice(i, *device);
            std::fputs(i + 1 < last ? ",\n" : "\n", report());
        } else {
            printDevice(i, *device);
        }
        device->decReferences();
    }
    if (options.json)
        std::fputs("]}\n", report());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    return runProgram("tarsel-devices", [&] { return parseOptions(argc, argv, options); },
                      [&](OSXDeviceManager& manager) { return listDevices(manager, options); });
}
