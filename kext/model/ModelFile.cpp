// Model files: one simulated interface described as a GLib key file (INI).
//
//   [device]                     the interface; required, first
//   name=my-box                  required: a-z, 0-9, '-', at most 63 characters
//   description=...              optional: what the model is for
//   vendor=0x7E01                required: USB vendor id, decimal or 0x hex, 0 to 0xFFFF
//   product=0x0003               required: USB product id
//   high-speed=true              optional (true): USB 2.0 high speed, else full speed
//   tiger=false                  optional (false): served as on Darwin 8 ("Tiger" class name)
//   interface-version=3302       optional (3302): status block word 0
//   manufacturer=...             required; this and the next three: printable ASCII, at most 255
//   device-name=...              required
//   alt-device-name=...          optional (empty): the name a few models are shown by
//   model-uid=...                required
//   bandwidth-out=512            optional (512): answer of request 15, bytes per (micro)frame
//   bandwidth-in=511             optional (511): answer of request 16; only the sum binds
//   hal-version=0x0210           optional (0): answer of request 25
//   usb-version=0x0100           optional (0): answer of request 26 and the bcdDevice
//   can-monitor=false            optional (false): answer of request 17
//   monitor=0                    optional (0): first answer of request 18: 0, 1, 12 or 34
//   monitor-pairs=false          optional (false): monitoring routed by input pairs (12 and 34)
//   sync-selector=0              optional (0): status block byte 8876, 0 to 255
//   codec=false                  optional (false): serves the codec registers of request 31
//   converter-delay=44           optional (0): frames the converters and the transport add to
//   converter-delay-per-mhz=0    a loopback, plus these per MHz of the rate; -65536 to 65536
//
//   [configuration 1]            one per configuration (value 1 to 255), in the device's order,
//                                1 to 4 of them; no keys
//   [interface 1.0]              interface 0 of configuration 1; 1 to 16 per configuration, in
//                                order; no keys
//   [alternate 1.0.0]            alternate setting 0 of that interface; 1 to 16 per interface, in
//                                order. Without keys it carries nothing (zero bandwidth).
//   bits=24                      16, 20, 24 or 32
//   channels=2                   1 to 255
//   rates=44100;48000            1 to 16 discrete rates in Hz, 8000 to 768000; or
//   range=32000;48000            a continuous range, lowest and highest
//   endpoints=0x02:294;0x83:3:feedback
//                                1 to 3 endpoints ADDRESS:MAX-PACKET-SIZE[:KIND], KIND being iso
//                                (the default), feedback or bulk; address bit 7 (0x80) is IN.
//                                The first endpoint that is not feedback carries the audio and
//                                gives the direction.
//
//   [controls.output]            optional, likewise [controls.input]
//   shared=false                 entry 1's controls apply whatever source is selected
//   source-mask=1                the selected source, bit k for source k + 1 (default 1)
//   [control.output.1]           sources 1 to 8 of a direction, numbered without gaps;
//   name=Main Out                likewise [control.input.N]; name required, at most 63 characters
//   has-mute=true                optional (false)
//   mute=false                   optional (false)
//   volume-channels=2            optional (master): 1 to 8, or master for channel 0 only
//   volume-min=-96               volume in dB, steps of 1/256 dB, -128 to 127.99; the three
//   volume=0                     keys come together (volume may be left out: 0 dB, or the
//   volume-max=0                 nearest end of the range); without them the source has none
//
// The model as a whole must then pass validateModel: packets within the USB limits of its speed
// (isochronous 1023 bytes on full speed, 1024 on high speed; bulk 8 to 64, or 512; feedback 1 to
// 4), each endpoint in one interface of a configuration, and at least one format of the first
// configuration that fits its endpoint and the bandwidth of requests 15 and 16.
//
// Numbers in group names are decimal without leading zeros. Unknown groups and keys are errors,
// localised keys ("name[de]") included, so a misspelt key never goes unnoticed. Lines starting
// with '#' are comments.

#include "kext/model/ModelFile.h"

#include <glib.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace kext {

namespace {

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
struct StrvDeleter {
    void operator()(gchar** p) const { g_strfreev(p); }
};
struct KeyFileDeleter {
    void operator()(GKeyFile* p) const { g_key_file_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;
using GStrvPtr = std::unique_ptr<gchar*, StrvDeleter>;
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

std::string trim(std::string_view s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    const size_t e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

} // namespace

bool parseNumber(std::string_view s, uint64_t max, uint64_t& out)
{
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 20)
        return false;
    uint64_t value = 0;
    for (char c : s) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        if (digit > max || value > (max - digit) / base)
            return false;
        value = value * base + digit;
    }
    out = value;
    return true;
}

namespace {

std::vector<std::string> splitList(const std::string& text, char separator)
{
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(separator, start), text.size());
        items.push_back(trim(std::string_view(text).substr(start, end - start)));
        start = end + 1;
    }
    // A key file list may end with its separator.
    if (items.size() > 1 && items.back().empty())
        items.pop_back();
    return items;
}

// One group of the file: its keys are taken one by one, and whatever is left over is unknown.
class Group {
public:
    Group(GKeyFile* file, std::string name, std::string& error)
        : m_file(file), m_name(std::move(name)), m_error(error)
    {
        gsize n = 0;
        GStrvPtr keys(g_key_file_get_keys(file, m_name.c_str(), &n, nullptr));
        for (gsize k = 0; keys && k < n; ++k)
            m_unread.insert(keys.get()[k]);
    }

    bool has(const char* key) const { return m_unread.count(key) != 0 || m_read.count(key) != 0; }

    // The raw value of `key`; false with the error set when it is missing and required.
    bool raw(const char* key, std::string& out, bool required)
    {
        if (!has(key)) {
            if (required)
                return fail(key, "missing");
            return true;
        }
        take(key);
        GCharPtr value(g_key_file_get_value(m_file, m_name.c_str(), key, nullptr));
        if (!value)
            return fail(key, "cannot be read");
        out = trim(value.get());
        return true;
    }

    bool text(const char* key, std::string& out, bool required)
    {
        if (!has(key))
            return required ? fail(key, "missing") : true;
        take(key);
        GError* gerror = nullptr;
        GCharPtr value(g_key_file_get_string(m_file, m_name.c_str(), key, &gerror));
        // A bad escape gives both a value and an error.
        if (!value || gerror) {
            const std::string why = gerror ? gerror->message : "cannot be read";
            g_clear_error(&gerror);
            return fail(key, why);
        }
        out = value.get();
        return true;
    }

    template <class T>
    bool number(const char* key, T& out, uint64_t max, bool required)
    {
        std::string s;
        if (!raw(key, s, required))
            return false;
        if (!has(key))
            return true;
        uint64_t v = 0;
        if (!parseNumber(s, max, v))
            return fail(key, "'" + s + "' is not a number from 0 to " + std::to_string(max));
        out = static_cast<T>(v);
        return true;
    }

    // A decimal number from -limit to limit, optional.
    bool signedNumber(const char* key, int32_t& out, uint32_t limit)
    {
        std::string s;
        if (!raw(key, s, false))
            return false;
        if (!has(key))
            return true;
        const bool negative = !s.empty() && s.front() == '-';
        uint64_t v = 0;
        if (!parseNumber(std::string_view(s).substr(negative ? 1 : 0), limit, v))
            return fail(key, "'" + s + "' is not a number from -" + std::to_string(limit) + " to " + std::to_string(limit));
        out = negative ? -int32_t(v) : int32_t(v);
        return true;
    }

    bool boolean(const char* key, bool& out)
    {
        std::string s;
        if (!raw(key, s, false))
            return false;
        if (!has(key))
            return true;
        if (s == "true" || s == "yes" || s == "1")
            out = true;
        else if (s == "false" || s == "no" || s == "0")
            out = false;
        else
            return fail(key, "'" + s + "' is neither true nor false");
        return true;
    }

    // A volume in dB, kept in 1/256 dB.
    bool decibels(const char* key, int16_t& out)
    {
        std::string s;
        if (!raw(key, s, false))
            return false;
        char* end = nullptr;
        errno = 0;
        const double db = g_ascii_strtod(s.c_str(), &end);
        if (s.empty() || end != s.c_str() + s.size() || errno != 0 || !std::isfinite(db) || db < -128.0
            || db > 32767.0 / 256)
            return fail(key, "'" + s + "' is not a level from -128 to 127.99 dB");
        out = static_cast<int16_t>(std::lround(db * 256));
        return true;
    }

    // After the last key: anything not taken is unknown.
    bool finish()
    {
        if (!m_unread.empty())
            return fail(m_unread.begin()->c_str(), "unknown key");
        return true;
    }

    bool fail(const std::string& key, const std::string& why)
    {
        m_error = "[" + m_name + "] " + key + ": " + why;
        return false;
    }

    const std::string& name() const { return m_name; }

private:
    void take(const char* key)
    {
        m_unread.erase(key);
        m_read.insert(key);
    }

    GKeyFile* m_file;
    std::string m_name;
    std::string& m_error;
    std::set<std::string> m_unread;
    std::set<std::string> m_read;
};

// "N", "N.M" or "N.M.K" after a group's prefix: decimal numbers up to 255.
bool parseIndices(std::string_view s, size_t count, uint32_t (&out)[3])
{
    for (size_t k = 0; k < count; ++k) {
        const size_t dot = s.find('.');
        const std::string_view part = k + 1 < count ? s.substr(0, dot) : s;
        if (k + 1 < count && dot == std::string_view::npos)
            return false;
        // Canonical numbers only, so two names cannot mean one group.
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string_view::npos
            || (part.size() > 1 && part[0] == '0'))
            return false;
        uint64_t v = 0;
        if (!parseNumber(part, 255, v))
            return false;
        out[k] = static_cast<uint32_t>(v);
        if (k + 1 < count)
            s.remove_prefix(dot + 1);
    }
    return true;
}

bool readDevice(Group& g, DeviceModel& m)
{
    m.outBandwidth = kIsochronousBudget / 2 + 1;
    m.inBandwidth = kIsochronousBudget / 2;
    return g.text("name", m.name, true) && g.text("description", m.description, false)
        && g.number("vendor", m.vendorId, 0xFFFF, true) && g.number("product", m.productId, 0xFFFF, true)
        && g.boolean("high-speed", m.highSpeed) && g.boolean("tiger", m.tiger)
        && g.number("interface-version", m.interfaceVersion, 0xFFFFFFFF, false)
        && g.text("manufacturer", m.manufacturer, true) && g.text("device-name", m.deviceName, true)
        && g.text("alt-device-name", m.altDeviceName, false) && g.text("model-uid", m.modelUID, true)
        && g.number("bandwidth-out", m.outBandwidth, 0xFFFF, false)
        && g.number("bandwidth-in", m.inBandwidth, 0xFFFF, false)
        && g.number("hal-version", m.halVersion, 0xFFFFFFFF, false)
        && g.number("usb-version", m.usbVersion, 0xFFFF, false) && g.boolean("can-monitor", m.canMonitor)
        && g.number("monitor", m.monitor, 0xFFFFFFFF, false) && g.boolean("monitor-pairs", m.monitorPairs)
        && g.number("sync-selector", m.syncSelector, 0xFF, false)
        && g.boolean("codec", m.hasCodec) && g.signedNumber("converter-delay", m.converterDelay, kMaxConverterDelay)
        && g.signedNumber("converter-delay-per-mhz", m.converterDelayPerMHz, kMaxConverterDelay) && g.finish();
}

bool readEndpoints(Group& g, AlternateModel& a)
{
    std::string s;
    if (!g.raw("endpoints", s, true))
        return false;
    const std::vector<std::string> items = splitList(s, ';');
    if (items.size() > kAPIMaxEndpoints)
        return g.fail("endpoints", "at most " + std::to_string(kAPIMaxEndpoints) + " endpoints");
    for (const std::string& item : items) {
        const std::vector<std::string> parts = splitList(item, ':');
        uint64_t address = 0, size = 0;
        if (parts.size() < 2 || parts.size() > 3 || !parseNumber(parts[0], 0xFF, address)
            || !parseNumber(parts[1], 0xFFFF, size))
            return g.fail("endpoints", "'" + item + "' is not ADDRESS:MAX-PACKET-SIZE[:iso|feedback|bulk]");
        EndpointModel e{static_cast<uint8_t>(address), static_cast<uint16_t>(size), EndpointKind::Isochronous};
        if (parts.size() == 3) {
            if (parts[2] == "feedback")
                e.kind = EndpointKind::Feedback;
            else if (parts[2] == "bulk")
                e.kind = EndpointKind::Bulk;
            else if (parts[2] != "iso")
                return g.fail("endpoints", "'" + parts[2] + "' is not a kind of iso, feedback or bulk");
        }
        a.endpoints.push_back(e);
    }
    return true;
}

bool readRates(Group& g, AlternateModel& a)
{
    const bool discrete = g.has("rates"), range = g.has("range");
    if (discrete == range)
        return g.fail("rates", "give either rates or range");
    std::string s;
    if (!g.raw(discrete ? "rates" : "range", s, true))
        return false;
    const std::vector<std::string> items = splitList(s, ';');
    if (discrete && items.size() > kAPIMaxDiscreteRates)
        return g.fail("rates", "at most " + std::to_string(kAPIMaxDiscreteRates) + " rates");
    if (range && items.size() != 2)
        return g.fail("range", "give the lowest and the highest rate");
    std::vector<uint32_t> rates;
    for (const std::string& item : items) {
        uint64_t rate = 0;
        if (!parseNumber(item, 0xFFFFFFFF, rate))
            return g.fail(discrete ? "rates" : "range", "'" + item + "' is not a rate in Hz");
        rates.push_back(static_cast<uint32_t>(rate));
    }
    if (range) {
        a.continuous = true;
        a.rateMin = rates[0];
        a.rateMax = rates[1];
    } else {
        a.rates = rates;
    }
    return true;
}

bool readAlternate(Group& g, AlternateModel& a)
{
    const bool format = g.has("bits") || g.has("channels") || g.has("rates") || g.has("range") || g.has("endpoints");
    if (format) {
        if (!g.number("bits", a.bits, 0xFF, true) || !g.number("channels", a.channels, 0xFF, true))
            return false;
        if (a.channels == 0) {
            if (g.has("rates") || g.has("range") || g.has("endpoints"))
                return g.fail("channels", "a setting without channels carries no rates and no endpoints");
        } else if (!readRates(g, a) || !readEndpoints(g, a)) {
            return false;
        }
    }
    return g.finish();
}

bool readControlsBlock(Group& g, DirectionControls& d)
{
    return g.boolean("shared", d.shared) && g.number("source-mask", d.sourceMask, 0xFF, false) && g.finish();
}

bool readControl(Group& g, ControlModel& c)
{
    if (!g.text("name", c.name, true) || !g.boolean("has-mute", c.hasMute) || !g.boolean("mute", c.mute))
        return false;
    if (g.has("volume-channels")) {
        std::string s;
        if (!g.raw("volume-channels", s, true))
            return false;
        uint64_t v = 0;
        if (s == "master")
            c.volumeChannels = kMasterVolumeOnly;
        else if (parseNumber(s, kControlsVolumeSlots, v))
            c.volumeChannels = static_cast<uint16_t>(v);
        else
            return g.fail("volume-channels", "'" + s + "' is neither 1 to 8 nor master");
    }
    const bool anyVolume = g.has("volume-min") || g.has("volume-max") || g.has("volume");
    if (anyVolume) {
        if (!g.has("volume-min") || !g.has("volume-max"))
            return g.fail(g.has("volume-min") ? "volume-max" : "volume-min", "missing");
        c.hasVolume = true;
        if (!g.decibels("volume-min", c.volumeMin) || !g.decibels("volume-max", c.volumeMax))
            return false;
        c.volumeCurrent = std::clamp<int16_t>(0, c.volumeMin, std::max(c.volumeMin, c.volumeMax));
        if (g.has("volume") && !g.decibels("volume", c.volumeCurrent))
            return false;
    }
    return g.finish();
}

struct PendingInterface {
    uint32_t config;
    InterfaceModel model;
};

bool parseInto(GKeyFile* file, DeviceModel& m, std::string& error)
{
    gsize count = 0;
    GStrvPtr groups(g_key_file_get_groups(file, &count));
    if (count == 0 || std::strcmp(groups.get()[0], "device") != 0) {
        error = "the file must start with the group [device]";
        return false;
    }

    std::vector<uint32_t> configOrder;
    std::map<uint32_t, std::vector<uint32_t>> interfaceOrder; // config -> interface numbers
    std::map<std::pair<uint32_t, uint32_t>, InterfaceModel> interfaces;
    std::map<uint32_t, ControlModel> controls[2]; // 0 output, 1 input, by source number
    DirectionControls blocks[2];
    bool blockGiven[2] = {false, false};
    // A group named twice is one group to a key file: its keys are merged.
    for (gsize k = 0; k < count; ++k) {
        const std::string name = groups.get()[k];
        Group g(file, name, error);
        uint32_t n[3] = {0, 0, 0};
        const std::string_view v = name;
        // The indices after a prefix; nothing (which no index parses from) without the prefix.
        auto after = [&](std::string_view prefix) {
            return v.substr(0, prefix.size()) == prefix ? v.substr(prefix.size()) : std::string_view();
        };
        if (name == "device") {
            if (!readDevice(g, m))
                return false;
        } else if (parseIndices(after("configuration "), 1, n)) {
            if (!g.finish())
                return false;
            if (configOrder.size() >= kAPIMaxConfigurations) {
                error = "[" + name + "] at most " + std::to_string(kAPIMaxConfigurations) + " configurations";
                return false;
            }
            configOrder.push_back(n[0]);
            interfaceOrder[n[0]];
        } else if (parseIndices(after("interface "), 2, n)) {
            if (!g.finish())
                return false;
            if (!interfaceOrder.count(n[0])) {
                error = "[" + name + "] comes before its [configuration " + std::to_string(n[0]) + "]";
                return false;
            }
            interfaceOrder[n[0]].push_back(n[1]);
            interfaces[{n[0], n[1]}].number = static_cast<uint8_t>(n[1]);
        } else if (parseIndices(after("alternate "), 3, n)) {
            auto it = interfaces.find({n[0], n[1]});
            if (it == interfaces.end()) {
                error = "[" + name + "] comes before its [interface " + std::to_string(n[0]) + "."
                    + std::to_string(n[1]) + "]";
                return false;
            }
            if (it->second.alternates.size() >= kAPIMaxAltSettings) {
                error = "[" + name + "] at most " + std::to_string(kAPIMaxAltSettings)
                    + " alternate settings per interface";
                return false;
            }
            AlternateModel a;
            a.setting = static_cast<uint8_t>(n[2]);
            if (!readAlternate(g, a))
                return false;
            it->second.alternates.push_back(std::move(a));
        } else if (name == "controls.output" || name == "controls.input") {
            const int d = name == "controls.input";
            blockGiven[d] = true;
            if (!readControlsBlock(g, blocks[d]))
                return false;
        } else if (parseIndices(after("control.output."), 1, n) || parseIndices(after("control.input."), 1, n)) {
            const int d = name.compare(0, 14, "control.input.") == 0;
            if (n[0] < 1 || n[0] > kControlsEntries) {
                error = "[" + name + "] sources are numbered 1 to " + std::to_string(kControlsEntries);
                return false;
            }
            if (!readControl(g, controls[d][n[0]]))
                return false;
        } else {
            error = "[" + name + "] unknown group";
            return false;
        }
    }

    for (uint32_t c : configOrder) {
        ConfigurationModel config;
        config.value = static_cast<uint8_t>(c);
        for (uint32_t i : interfaceOrder[c])
            config.interfaces.push_back(std::move(interfaces[{c, i}]));
        m.configurations.push_back(std::move(config));
    }

    const char* directionName[2] = {"output", "input"};
    for (int d = 0; d < 2; ++d) {
        DirectionControls& block = blocks[d];
        uint32_t expected = 1;
        for (auto& [number, control] : controls[d]) {
            if (number != expected) {
                error = std::string("[control.") + directionName[d] + "." + std::to_string(expected)
                    + "] missing: sources are numbered without gaps";
                return false;
            }
            ++expected;
            block.sources.push_back(std::move(control));
        }
        if (!blockGiven[d] || !g_key_file_has_key(file, d ? "controls.input" : "controls.output", "source-mask", nullptr))
            block.sourceMask = block.sources.empty() ? 0 : 1;
        (d ? m.inputControls : m.outputControls) = std::move(block);
    }
    return validateModel(m, error);
}

} // namespace

std::optional<DeviceModel> parseModel(std::string_view text, std::string& error)
{
    error.clear();
    if (text.size() > kModelFileMax) {
        error = "larger than " + std::to_string(kModelFileMax) + " bytes";
        return std::nullopt;
    }
    if (text.find('\0') != std::string_view::npos) {
        error = "contains NUL bytes: not a text file";
        return std::nullopt;
    }
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        error = "not a text file: invalid characters";
        return std::nullopt;
    }
    KeyFilePtr file(g_key_file_new());
    GError* gerror = nullptr;
    // Translations kept, so a localised key is seen (and refused) instead of silently dropped.
    if (!g_key_file_load_from_data(file.get(), text.data(), text.size(), G_KEY_FILE_KEEP_TRANSLATIONS, &gerror)) {
        error = gerror ? gerror->message : "not a key file";
        g_clear_error(&gerror);
        return std::nullopt;
    }
    DeviceModel m;
    if (!parseInto(file.get(), m, error))
        return std::nullopt;
    return m;
}

std::optional<DeviceModel> loadModelFile(const std::string& path, std::string& error)
{
    error.clear();
    // Non-blocking, so a FIFO in place of the file cannot hang the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok)
        error = path + ": " + std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        ok = false;
    } else if (static_cast<uint64_t>(st.st_size) > kModelFileMax) {
        error = path + ": larger than " + std::to_string(kModelFileMax) + " bytes";
        ok = false;
    }
    if (ok) {
        // Read at most one byte past the limit: the file may grow after fstat.
        text.resize(kModelFileMax + 1);
        size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = path + ": " + std::strerror(errno);
                ok = false;
                break;
            }
            if (n == 0)
                break;
            got += static_cast<size_t>(n);
        }
        text.resize(got);
    }
    ::close(fd);
    if (!ok)
        return std::nullopt;
    std::optional<DeviceModel> m = parseModel(text, error);
    if (!m)
        error = path + ": " + error;
    return m;
}

namespace {

std::string hexText(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string decibelsText(int16_t value)
{
    char text[32];
    g_ascii_formatd(text, sizeof text, "%.10g", value / 256.0);
    return text;
}

const char* boolText(bool b) { return b ? "true" : "false"; }

// Key files have no call that adds a group alone; one that lost its only key stays.
void addEmptyGroup(GKeyFile* f, const std::string& group)
{
    g_key_file_set_value(f, group.c_str(), "placeholder", "");
    g_key_file_remove_key(f, group.c_str(), "placeholder", nullptr);
}

void setValue(GKeyFile* f, const std::string& group, const char* key, const std::string& value)
{
    g_key_file_set_value(f, group.c_str(), key, value.c_str());
}

} // namespace

std::string modelToText(const DeviceModel& m)
{
    KeyFilePtr file(g_key_file_new());
    GKeyFile* f = file.get();
    const std::string device = "device";
    g_key_file_set_string(f, "device", "name", m.name.c_str());
    g_key_file_set_string(f, "device", "description", m.description.c_str());
    setValue(f, device, "vendor", hexText(m.vendorId, 4));
    setValue(f, device, "product", hexText(m.productId, 4));
    setValue(f, device, "high-speed", boolText(m.highSpeed));
    setValue(f, device, "tiger", boolText(m.tiger));
    setValue(f, device, "interface-version", std::to_string(m.interfaceVersion));
    g_key_file_set_string(f, "device", "manufacturer", m.manufacturer.c_str());
    g_key_file_set_string(f, "device", "device-name", m.deviceName.c_str());
    g_key_file_set_string(f, "device", "alt-device-name", m.altDeviceName.c_str());
    g_key_file_set_string(f, "device", "model-uid", m.modelUID.c_str());
    setValue(f, device, "bandwidth-out", std::to_string(m.outBandwidth));
    setValue(f, device, "bandwidth-in", std::to_string(m.inBandwidth));
    setValue(f, device, "hal-version", hexText(m.halVersion, 4));
    setValue(f, device, "usb-version", hexText(m.usbVersion, 4));
    setValue(f, device, "can-monitor", boolText(m.canMonitor));
    setValue(f, device, "monitor", std::to_string(m.monitor));
    setValue(f, device, "monitor-pairs", boolText(m.monitorPairs));
    setValue(f, device, "sync-selector", std::to_string(m.syncSelector));
    setValue(f, device, "codec", boolText(m.hasCodec));
    setValue(f, device, "converter-delay", std::to_string(m.converterDelay));
    setValue(f, device, "converter-delay-per-mhz", std::to_string(m.converterDelayPerMHz));

    for (const ConfigurationModel& c : m.configurations) {
        const std::string cv = std::to_string(c.value);
        const std::string cg = "configuration " + cv;
        addEmptyGroup(f, cg);
        for (const InterfaceModel& i : c.interfaces) {
            const std::string ig = "interface " + cv + "." + std::to_string(i.number);
            addEmptyGroup(f, ig);
            for (const AlternateModel& a : i.alternates) {
                const std::string ag = "alternate " + cv + "." + std::to_string(i.number) + "." + std::to_string(a.setting);
                addEmptyGroup(f, ag);
                if (!a.carriesFormat())
                    continue;
                setValue(f, ag, "bits", std::to_string(a.bits));
                setValue(f, ag, "channels", std::to_string(a.channels));
                std::string rates;
                if (a.continuous) {
                    rates = std::to_string(a.rateMin) + ";" + std::to_string(a.rateMax);
                } else {
                    for (uint32_t r : a.rates)
                        rates += (rates.empty() ? "" : ";") + std::to_string(r);
                }
                setValue(f, ag, a.continuous ? "range" : "rates", rates);
                std::string endpoints;
                for (const EndpointModel& e : a.endpoints) {
                    endpoints += (endpoints.empty() ? "" : ";") + hexText(e.address, 2) + ":"
                        + std::to_string(e.maxPacketSize);
                    if (e.kind == EndpointKind::Feedback)
                        endpoints += ":feedback";
                    else if (e.kind == EndpointKind::Bulk)
                        endpoints += ":bulk";
                }
                setValue(f, ag, "endpoints", endpoints);
            }
        }
    }

    const struct {
        const char* name;
        const DirectionControls& block;
    } directions[] = {{"output", m.outputControls}, {"input", m.inputControls}};
    for (const auto& d : directions) {
        if (d.block.sources.empty())
            continue;
        const std::string bg = std::string("controls.") + d.name;
        setValue(f, bg, "shared", boolText(d.block.shared));
        setValue(f, bg, "source-mask", std::to_string(d.block.sourceMask));
        for (size_t k = 0; k < d.block.sources.size(); ++k) {
            const ControlModel& s = d.block.sources[k];
            const std::string sg = std::string("control.") + d.name + "." + std::to_string(k + 1);
            g_key_file_set_string(f, sg.c_str(), "name", s.name.c_str());
            setValue(f, sg, "has-mute", boolText(s.hasMute));
            setValue(f, sg, "mute", boolText(s.mute));
            setValue(f, sg, "volume-channels",
                     s.volumeChannels == kMasterVolumeOnly ? std::string("master") : std::to_string(s.volumeChannels));
            if (s.hasVolume) {
                setValue(f, sg, "volume-min", decibelsText(s.volumeMin));
                setValue(f, sg, "volume", decibelsText(s.volumeCurrent));
                setValue(f, sg, "volume-max", decibelsText(s.volumeMax));
            }
        }
    }

    gsize length = 0;
    GCharPtr data(g_key_file_to_data(f, &length, nullptr));
    return std::string("# Device model of the simulated kernel driver: ") + m.name + "\n"
        + std::string(data.get(), length);
}

bool saveModelFile(const DeviceModel& m, const std::string& path, std::string& error)
{
    const std::string text = modelToText(m);
    GError* gerror = nullptr;
    if (!g_file_set_contents(path.c_str(), text.data(), static_cast<gssize>(text.size()), &gerror)) {
        error = path + ": " + (gerror ? gerror->message : "cannot be written");
        g_clear_error(&gerror);
        return false;
    }
    return true;
}

} // namespace kext
