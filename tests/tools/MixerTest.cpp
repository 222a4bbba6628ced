// tarsel-mixer as a program: started as a child process whose HAL loads TARSEL.plugin from the
// build, against a private simulated kernel driver; this process's own HAL listens to what
// it changes.
#include <CoreAudio/AudioHardware.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"

namespace {

using kexttest::contains;
using kexttest::ProgramRun;

constexpr const char* kKingsmere = "kingsmere-digital:7E0F:1000";

ProgramRun mixer(const std::vector<std::string>& args)
{
    return kexttest::runProgram(TARSEL_MIXER, args);
}

// Whether jq finds `query` true of `json`; nothing is asserted without jq.
bool jqHolds(const std::filesystem::path& folder, const std::string& json, const std::string& query)
{
    const std::filesystem::path file = folder / "mixer.json";
    std::ofstream(file) << json;
    return system(("jq -e '" + query + "' " + file.string() + " >/dev/null").c_str()) == 0;
}

class Mixer : public kexttest::KextTest {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_home.folder().empty());
        setenv("TARSEL_HAL_PLUGIN_DIR", TARSEL_PLUGIN_FOLDER, 1);
        KextTest::SetUp();
    }
    void TearDown() override
    {
        // This process's HAL, where a test used it, goes before the daemon.
        AudioHardwareUnload();
        KextTest::TearDown();
        unsetenv("TARSEL_HAL_PLUGIN_DIR");
    }
    void plugBoth()
    {
        ASSERT_NE(daemon().plug("tarsel"), 0u);
        ASSERT_NE(daemon().plug("kingsmere-digital-hs"), 0u);
    }

    kexttest::PrivateHome m_home;
};

// Every control of the default interface, by default; the one with three input sources and
// neither input volume nor monitoring, by UID; the same as JSON.
TEST_F(Mixer, ListShowsTheControlsEachDeviceHas)
{
    plugBoth();
    const ProgramRun tarsel = mixer({});
    ASSERT_EQ(tarsel.status, 0) << tarsel.err;
    EXPECT_EQ(tarsel.out, "Quenta Audio Tarsel (device 0, UID tarsel:7E01:0003)\n"
                          "output-source: 1 \"Main Out\" (sources: 1 \"Main Out\")\n"
                          "output-volume: channel 1 \"OUT 1\" 1.0000 (100.0%, 0.00 dB)\n"
                          "output-volume: channel 2 \"OUT 2\" 1.0000 (100.0%, 0.00 dB)\n"
                          "output-mute: channel 0 \"Master OUT\" off\n"
                          "input-source: 101 \"Analog In\" (sources: 101 \"Analog In\", 102 \"Digital In\")\n"
                          "input-volume: channel 0 \"Master IN\" 0.0000 (0.0%, 0.00 dB)\n"
                          "input-mute: channel 0 \"Master IN\" off\n"
                          "monitor: channel 0 \"Master IN\" off\n");

    const ProgramRun kingsmere = mixer({"list", "--device", kKingsmere});
    ASSERT_EQ(kingsmere.status, 0) << kingsmere.err;
    EXPECT_TRUE(contains(kingsmere.out, "input-source: 101 \"Analog\" (sources: 101 \"Analog\", 102 \"Analog - Sync "
                                        "Digital\", 103 \"SPDIF (RCA)\")\n"))
        << kingsmere.out;
    EXPECT_FALSE(contains(kingsmere.out, "input-volume")) << kingsmere.out;
    EXPECT_FALSE(contains(kingsmere.out, "monitor")) << kingsmere.out;

    const ProgramRun json = mixer({"--json", "--device", "1"});
    ASSERT_EQ(json.status, 0) << json.err;
    if (system("command -v jq >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "jq is not installed: the JSON is not parsed";
    EXPECT_TRUE(jqHolds(m_home.folder(), json.out,
                        ".device.uid == \"kingsmere-digital:7E0F:1000\" and .device.index == 1 and "
                        ".controls[\"input-source\"].current == 101 and "
                        "(.controls[\"input-source\"].sources | map(.id)) == [101, 102, 103] and "
                        ".controls[\"output-volume\"][0] == {\"channel\": 0, \"name\": \"Master OUT\", \"scalar\": 1, "
                        "\"percent\": 100, \"dB\": 0} and "
                        ".controls[\"output-mute\"][0].on == false and (.controls | has(\"monitor\") | not)"))
        << json.out;
}

// What is set reads back, in the run's own answer and in a later process's list: volume as a
// scalar, a percentage and decibels (a value that looks like an option too), mute, monitoring,
// a source by its place in the list and by its name.
TEST_F(Mixer, SetValuesReadBack)
{
    plugBoth();
    struct Case {
        std::vector<std::string> args;
        std::string shown;
        bool lasts = true; // false: a later case changes it again
    };
    const std::vector<Case> cases = {
        {{"set", "output-volume", "0.5", "--channel", "1"}, "output-volume: channel 1 \"OUT 1\" 0.5000 (50.0%, -48.00 dB)\n", false},
        {{"set", "output-volume", "25%", "-c", "2"}, "output-volume: channel 2 \"OUT 2\" 0.2500 (25.0%, -72.00 dB)\n", false},
        // Every channel with volume without --channel; -96 to 0 dB puts -6 dB at 0.9375.
        {{"set", "output-volume", "-6dB"},
         "output-volume: channel 1 \"OUT 1\" 0.9375 (93.8%, -6.00 dB)\n"
         "output-volume: channel 2 \"OUT 2\" 0.9375 (93.8%, -6.00 dB)\n"},
        {{"set", "output-mute", "on"}, "output-mute: channel 0 \"Master OUT\" on\n"},
        {{"set", "monitor", "on"}, "monitor: channel 0 \"Master IN\" on\n"},
        {{"set", "input-source", "2"}, "input-source: 102 \"Digital In\" (sources: 101 \"Analog In\", 102 \"Digital In\")\n"},
        {{"--device", kKingsmere, "set", "input-source", "spdif (rca)"},
         "input-source: 103 \"SPDIF (RCA)\" (sources: 101 \"Analog\", 102 \"Analog - Sync Digital\", 103 \"SPDIF "
         "(RCA)\")\n"},
        {{"--device", kKingsmere, "set", "output-volume", "-24dB"},
         "output-volume: channel 0 \"Master OUT\" 0.7500 (75.0%, -24.00 dB)\n"},
    };
    for (const Case& c : cases) {
        const ProgramRun set = mixer(c.args);
        EXPECT_EQ(set.status, 0) << c.args[1] << ": " << set.err;
        EXPECT_EQ(set.out, c.shown) << c.args[1];
    }
    const ProgramRun tarsel = mixer({"list"}), kingsmere = mixer({"list", "--device", kKingsmere});
    for (const Case& c : cases) {
        if (!c.lasts)
            continue;
        const ProgramRun& later = c.args[0] == "--device" ? kingsmere : tarsel;
        EXPECT_TRUE(contains(later.out, c.shown)) << c.shown << later.out;
    }
    // The Tarsel's digital input has no volume: the control went with the analog source.
    EXPECT_FALSE(contains(tarsel.out, "input-volume")) << tarsel.out;

    const ProgramRun off = mixer({"set", "output-mute", "off", "--json"});
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_TRUE(contains(off.out, "\"output-mute\": [{\"channel\": 0, \"name\": \"Master OUT\", \"on\": false}]"))
        << off.out;
}

// A control, channel or source the device does not have exits 1 with the reason; mistakes in
// the arguments exit 2 before any device is looked at, and without a device the program says
// so.
TEST_F(Mixer, MissingControlsExitOneAndBadUsageTwo)
{
    kexttest::expectRefusals(TARSEL_MIXER, "tarsel-mixer",
                             {{{"frob"}, 2, "unknown command 'frob'"},
                              {{"get"}, 2, "get which control?"},
                              {{"get", "volume"}, 2, "unknown control 'volume'"},
                              {{"set", "output-volume"}, 2, "set output-volume to what?"},
                              {{"set", "output-volume", "1.5"}, 2, "invalid volume '1.5'"},
                              {{"set", "output-volume", "150%"}, 2, "invalid volume '150%'"},
                              {{"set", "output-mute", "maybe"}, 2, "invalid switch 'maybe'"},
                              {{"get", "output-source", "--channel", "1"}, 2, "output-source has no channels"},
                              {{"list", "--channel", "1"}, 2, "--channel goes with get and set"},
                              {{"get", "monitor", "--channel", "x"}, 2, "invalid channel 'x'"}},
                             true);
    EXPECT_TRUE(kexttest::showsUsage(mixer({"--help"}), "tarsel-mixer"));
    const ProgramRun none = mixer({});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(contains(none.err, "tarsel-mixer: no audio device")) << none.err;

    plugBoth();
    kexttest::expectRefusals(
        TARSEL_MIXER, "tarsel-mixer",
        {{{"--device", kKingsmere, "get", "input-volume"}, 1, "Kingsmere Audio Kingsmere Digital has no input-volume"},
         {{"get", "output-volume", "--channel", "3"}, 1, "Quenta Audio Tarsel has no output channel 3 (it has 2"},
         {{"set", "output-volume", "0.5", "--channel", "0"},
          1,
          "output channel 0 of Quenta Audio Tarsel has no volume (output-volume is on channels 1, 2)"},
         {{"set", "input-source", "103"}, 1, "Quenta Audio Tarsel has no input source '103'"}},
        true);
}

// --- a listener in this process ---------------------------------------------------------------

struct Heard {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Float32> values; // what the property held at each call
};

// Records what the property holds when called: a volume scalar, or a switch as 0 or 1.
OSStatus heardChange(AudioDeviceID device, UInt32 channel, Boolean isInput, AudioDevicePropertyID property,
                     void* clientData)
{
    auto* heard = static_cast<Heard*>(clientData);
    UInt32 raw = 99, size = sizeof raw;
    AudioDeviceGetProperty(device, channel, isInput, property, &size, &raw);
    Float32 value = Float32(raw);
    if (property == kAudioDevicePropertyVolumeScalar)
        std::memcpy(&value, &raw, sizeof value);
    std::lock_guard guard(heard->lock);
    heard->values.push_back(value);
    heard->changed.notify_all();
    return noErr;
}

// What the mixer changes in its process reaches a listener of the same property in this one,
// and the listener already reads the new value when it is called.
TEST_F(Mixer, AChangeReachesAListenerInAnotherProcess)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    AudioDeviceID device = kAudioDeviceUnknown;
    UInt32 size = sizeof device;
    ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &device), noErr);
    Heard volume, mute;
    ASSERT_EQ(AudioDeviceAddPropertyListener(device, 1, false, kAudioDevicePropertyVolumeScalar, heardChange, &volume),
              noErr);
    ASSERT_EQ(AudioDeviceAddPropertyListener(device, 0, false, kAudioDevicePropertyMute, heardChange, &mute), noErr);
    // Runs the mixer and waits for the listener's first call after it, which must read `value`:
    // the change's own notification, not a later one, carries it. The limit guards against a
    // hang.
    const auto change = [](Heard& heard, const std::vector<std::string>& args, Float32 value) {
        {
            std::lock_guard guard(heard.lock);
            heard.values.clear();
        }
        const ProgramRun run = mixer(args);
        ASSERT_EQ(run.status, 0) << run.err;
        std::unique_lock guard(heard.lock);
        ASSERT_TRUE(heard.changed.wait_for(guard, std::chrono::seconds(10), [&] { return !heard.values.empty(); }))
            << args[1] << ": no listener call";
        EXPECT_EQ(heard.values.front(), value) << args[1];
    };
    change(volume, {"set", "output-volume", "0.25", "--channel", "1"}, 0.25f);
    change(mute, {"set", "output-mute", "on"}, 1.0f);
    change(mute, {"set", "output-mute", "off"}, 0.0f);

    EXPECT_EQ(AudioDeviceRemovePropertyListener(device, 1, false, kAudioDevicePropertyVolumeScalar, heardChange), noErr);
    EXPECT_EQ(AudioDeviceRemovePropertyListener(device, 0, false, kAudioDevicePropertyMute, heardChange), noErr);
}

} // namespace
