#include "tools/HALDevices.h"

#include <CoreFoundation/CoreFoundation.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace haltools {

using toolsupport::fail;

namespace {

// Texts and lists the HAL hands over are bounded: a larger size is a broken answer.
constexpr UInt32 kMaxPropertySize = 1u << 20;

bool printable(UInt32 code)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned char c = (code >> shift) & 0xFF;
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

// The main thread's alone.
bool g_watching = false;
bool g_interrupted = false;

sigset_t interruptSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    return set;
}

bool allDigits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

std::string codeText(UInt32 code)
{
    if (!printable(code))
        return std::to_string(code);
    const char text[5] = {char(code >> 24), char(code >> 16), char(code >> 8), char(code), 0};
    return text;
}

std::string statusText(OSStatus status)
{
    if (printable(UInt32(status)))
        return "'" + codeText(UInt32(status)) + "'";
    return std::to_string(status);
}

std::vector<AudioDeviceID> devices()
{
    UInt32 size = 0;
    if (AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDevices, &size, nullptr) != kAudioHardwareNoError ||
        size < sizeof(AudioDeviceID) || size > kMaxPropertySize)
        return {};
    std::vector<AudioDeviceID> ids(size / sizeof(AudioDeviceID));
    size = UInt32(ids.size() * sizeof(AudioDeviceID));
    if (AudioHardwareGetProperty(kAudioHardwarePropertyDevices, &size, ids.data()) != kAudioHardwareNoError)
        return {};
    ids.resize(std::min<size_t>(ids.size(), size / sizeof(AudioDeviceID)));
    return ids;
}

AudioDeviceID defaultDevice(bool input)
{
    AudioDeviceID device = kAudioDeviceUnknown;
    UInt32 size = sizeof(device);
    const AudioHardwarePropertyID property =
        input ? kAudioHardwarePropertyDefaultInputDevice : kAudioHardwarePropertyDefaultOutputDevice;
    if (AudioHardwareGetProperty(property, &size, &device) != kAudioHardwareNoError || size != sizeof(device))
        return kAudioDeviceUnknown;
    return device;
}

std::optional<std::string> utf8(CFStringRef text)
{
    if (text == nullptr)
        return std::nullopt;
    // UTF-8 takes at most three bytes for a UTF-16 unit.
    std::vector<char> buffer(size_t(CFStringGetLength(text)) * 3 + 1);
    if (!CFStringGetCString(text, buffer.data(), CFIndex(buffer.size()), kCFStringEncodingUTF8))
        return std::nullopt;
    return std::string(buffer.data());
}

std::string jsonQuoted(const std::string& text)
{
    std::string quoted = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += char(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += char(c);
        }
    }
    return quoted + '"';
}

std::optional<std::string> stringProperty(AudioDeviceID device, bool input, AudioDevicePropertyID property,
                                          UInt32 channel)
{
    CFStringRef text = nullptr;
    UInt32 size = sizeof(text);
    if (AudioDeviceGetProperty(device, channel, input, property, &size, &text) != kAudioHardwareNoError ||
        size != sizeof(text) || text == nullptr)
        return std::nullopt;
    std::optional<std::string> copied = utf8(text);
    CFRelease(text);
    return copied;
}

std::optional<std::string> textProperty(AudioDeviceID device, bool input, AudioDevicePropertyID property)
{
    UInt32 size = 0;
    if (AudioDeviceGetPropertyInfo(device, 0, input, property, &size, nullptr) != kAudioHardwareNoError ||
        size == 0 || size > kMaxPropertySize)
        return std::nullopt;
    std::vector<char> buffer(size + 1, '\0');
    if (AudioDeviceGetProperty(device, 0, input, property, &size, buffer.data()) != kAudioHardwareNoError)
        return std::nullopt;
    // Whatever came, it ends within the buffer. The texts are ISO-8859-1: as UTF-8, like the
    // CFStrings.
    const size_t length = strnlen(buffer.data(), std::min<size_t>(size, buffer.size() - 1));
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(buffer[i]);
        if (c < 0x80) {
            text += char(c);
        } else {
            text += char(0xC0 | (c >> 6));
            text += char(0x80 | (c & 0x3F));
        }
    }
    return text;
}

UInt32 channelCount(AudioDeviceID device, bool input)
{
    UInt32 size = 0;
    if (AudioDeviceGetPropertyInfo(device, 0, input, kAudioDevicePropertyStreamConfiguration, &size, nullptr) !=
            kAudioHardwareNoError ||
        size > kMaxPropertySize)
        return 0;
    // Room for the list the size promises, and at least for a list of one buffer.
    std::vector<std::byte> bytes(std::max<size_t>(size, sizeof(AudioBufferList)));
    size = UInt32(bytes.size());
    if (AudioDeviceGetProperty(device, 0, input, kAudioDevicePropertyStreamConfiguration, &size, bytes.data()) !=
            kAudioHardwareNoError ||
        size < offsetof(AudioBufferList, mBuffers))
        return 0;
    AudioBufferList head{};
    std::memcpy(&head, bytes.data(), offsetof(AudioBufferList, mBuffers));
    // Only the buffers that were written are read.
    const size_t fit = (std::min<size_t>(size, bytes.size()) - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
    UInt32 channels = 0;
    for (size_t i = 0; i < std::min<size_t>(head.mNumberBuffers, fit); ++i) {
        AudioBuffer buffer{};
        std::memcpy(&buffer, bytes.data() + offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer),
                    sizeof buffer);
        channels += buffer.mNumberChannels;
    }
    return channels;
}

std::vector<AudioStreamID> streams(AudioDeviceID device, bool input)
{
    std::vector<AudioStreamID> list = deviceList<AudioStreamID>(device, input, kAudioDevicePropertyStreams);
    std::erase(list, kAudioStreamUnknown);
    return list;
}

Float64 nominalRate(AudioDeviceID device)
{
    return deviceProperty<Float64>(device, false, kAudioDevicePropertyNominalSampleRate).value_or(0.0);
}

bool offersRate(AudioDeviceID device, Float64 rate)
{
    for (const AudioValueRange& range :
         deviceList<AudioValueRange>(device, false, kAudioDevicePropertyAvailableNominalSampleRates))
        if (rate >= range.mMinimum && rate <= range.mMaximum)
            return true;
    return false;
}

std::string deviceUID(AudioDeviceID device)
{
    return stringProperty(device, false, kAudioDevicePropertyDeviceUID).value_or("");
}

std::string deviceTitle(AudioDeviceID device)
{
    const std::string maker = textProperty(device, false, kAudioDevicePropertyDeviceManufacturer).value_or("");
    const std::string name = textProperty(device, false, kAudioDevicePropertyDeviceName).value_or("device " + std::to_string(device));
    return maker.empty() ? name : maker + " " + name;
}

ReportedDelays reportedDelays(AudioDeviceID device)
{
    ReportedDelays d;
    const auto frames = deviceProperty<UInt32>(device, false, kAudioDevicePropertyBufferFrameSize);
    const auto outLatency = deviceProperty<UInt32>(device, false, kAudioDevicePropertyLatency);
    const auto outSafety = deviceProperty<UInt32>(device, false, kAudioDevicePropertySafetyOffset);
    const auto inLatency = deviceProperty<UInt32>(device, true, kAudioDevicePropertyLatency);
    const auto inSafety = deviceProperty<UInt32>(device, true, kAudioDevicePropertySafetyOffset);
    d.complete = frames && outLatency && outSafety && inLatency && inSafety;
    d.frameSize = frames.value_or(0);
    d.outputLatency = outLatency.value_or(0);
    d.outputSafety = outSafety.value_or(0);
    d.inputLatency = inLatency.value_or(0);
    d.inputSafety = inSafety.value_or(0);
    return d;
}

AudioDeviceID findDevice(const std::optional<std::string>& choice, bool input)
{
    const std::vector<AudioDeviceID> list = devices();
    if (list.empty()) {
        fail("no audio device (is the kernel driver running, and TARSEL_HAL_PLUGIN_DIR the folder of "
             "TARSEL.plugin?)");
        return kAudioDeviceUnknown;
    }
    if (!choice) {
        const AudioDeviceID device = defaultDevice(input);
        if (device == kAudioDeviceUnknown)
            fail("there is no default %s device", input ? "input" : "output");
        return device;
    }
    if (allDigits(*choice)) {
        unsigned long index = 0;
        if (!toolsupport::parseUnsigned(choice->c_str(), list.size() - 1, index)) {
            fail("there is no device %s (%zu attached, numbered from 0)", choice->c_str(), list.size());
            return kAudioDeviceUnknown;
        }
        return list[index];
    }
    for (AudioDeviceID candidate : list)
        if (deviceUID(candidate) == *choice)
            return candidate;
    fail("no device has the UID '%s' (tarsel-hal lists them)", choice->c_str());
    return kAudioDeviceUnknown;
}

int takeDeviceChoice(const char* value, std::optional<std::string>& choice)
{
    if (*value == '\0') {
        fail("empty device name");
        return toolsupport::kExitUsage;
    }
    choice = value;
    return 0;
}

AudioDeviceID chooseDevice(const std::optional<std::string>& choice, bool input)
{
    const AudioDeviceID device = findDevice(choice, input);
    if (device != kAudioDeviceUnknown && channelCount(device, input) == 0) {
        fail("%s has no %s channels", deviceTitle(device).c_str(), input ? "input" : "output");
        return kAudioDeviceUnknown;
    }
    return device;
}

long deviceIndex(AudioDeviceID device)
{
    const std::vector<AudioDeviceID> list = devices();
    const auto at = std::find(list.begin(), list.end(), device);
    return at == list.end() ? -1 : long(at - list.begin());
}

// --- IOProcs ------------------------------------------------------------------------------------

bool RunningIOProc::start(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData)
{
    stop();
    AudioDeviceIOProcID id = nullptr;
    if (const OSStatus status = AudioDeviceCreateIOProcID(device, proc, clientData, &id)) {
        fail("cannot register the IOProc (%s)", statusText(status).c_str());
        return false;
    }
    m_device = device;
    m_id = id;
    if (const OSStatus status = AudioDeviceStart(device, id)) {
        fail("cannot start %s (%s)", deviceTitle(device).c_str(), statusText(status).c_str());
        stop();
        return false;
    }
    m_started = true;
    return true;
}

void RunningIOProc::stop()
{
    if (m_id == nullptr)
        return;
    if (m_started)
        AudioDeviceStop(m_device, m_id);
    AudioDeviceDestroyIOProcID(m_device, m_id);
    m_started = false;
    m_id = nullptr;
    m_device = kAudioDeviceUnknown;
}

// --- the program frame --------------------------------------------------------------------------

void watchInterrupt()
{
    // A program started with Ctrl-C ignored (in the background of a script) keeps ignoring it.
    struct sigaction old {};
    if (sigaction(SIGINT, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
        return;
    // Blocked before the HAL starts its threads, which inherit the mask: no thread is
    // interrupted in a system call, and the signal waits for interrupted() to take it.
    const sigset_t set = interruptSet();
    g_watching = pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool interrupted()
{
    if (g_interrupted || !g_watching)
        return g_interrupted;
    const sigset_t set = interruptSet();
    const timespec now{};
    if (sigtimedwait(&set, nullptr, &now) == SIGINT) {
        g_interrupted = true;
        // A second Ctrl-C ends the program the usual way, should stopping hang: this thread is
        // the one that takes it.
        signal(SIGINT, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
    return g_interrupted;
}

Progress::Progress() : m_terminal(isatty(STDERR_FILENO) == 1) {}

void Progress::show(const char* format, ...)
{
    if (!m_terminal)
        return;
    std::fputc('\r', stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs("\033[K", stderr);
    std::fflush(stderr);
    m_shown = true;
}

void Progress::clear()
{
    if (!m_shown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_shown = false;
}

int runHALProgram(const char* name, const std::function<int()>& parse, const std::function<int()>& body)
{
    toolsupport::setProgramName(name);
    if (!toolsupport::redirectReport())
        return kExitFailure;
    watchInterrupt();
    if (const int status = parse(); status != 0) {
        std::fflush(toolsupport::report());
        return status < 0 ? 0 : status;
    }
    const int status = body();
    AudioHardwareUnload();
    return toolsupport::finishReport() ? status : kExitFailure;
}

} // namespace haltools
