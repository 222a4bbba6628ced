// The control window (the in-memory one) against a private simulated kernel driver: the device
// list, the pages, the status and client texts, and the tests of the test stream.
#include <signal.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "controlapp/PageFunctions.h"
#include "device/ZmOSXDevice.h"
#include "kext/model/Catalogue.h"
#include "platform/src/Carbon/Toolbox.h"
#include "tests/controlapp/ControlAppProbe.h"
#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"

using namespace tarsel::toolbox;
using controlapptest::Probe;

namespace {

class ControlAppTest : public kexttest::KextTest {
protected:
    void SetUp() override
    {
        KextTest::SetUp();
        setNibFolder(CONTROLAPP_NIB_FOLDER);
    }
    void TearDown() override
    {
        m_app.reset();
        KextTest::TearDown();
    }

    // Plugs the models, starts the application and runs its first redraw tick by hand; the
    // test's own ticks are the only ones from then on.
    bool launch(const std::vector<std::string>& models)
    {
        for (const std::string& model : models) {
            const uint32_t id = daemon().plug(model);
            if (id == 0)
                return false;
            m_ids.push_back(id);
        }
        m_app = std::make_unique<Probe>();
        if (!m_app->start())
            return false;
        m_app->stopRedrawTimer();
        m_app->onWindowRedrawTimer();
        return true;
    }
    Probe& app() { return *m_app; }
    ZmOSXDevice* device() { return m_app->current(); }
    void tick() { m_app->onWindowRedrawTimer(); }

    static Control* ctl(const char (&signature)[5], SInt32 id)
    {
        return findControl(currentWindow(), HIFourCC(signature), id);
    }
    static std::string text(SInt32 id)
    {
        Control* c = ctl("stxt", id);
        return c != nullptr ? c->text : "<no control>";
    }
    static std::vector<std::string> items(const char (&signature)[5], SInt32 id)
    {
        std::vector<std::string> result;
        if (Control* c = ctl(signature, id); c != nullptr && c->popup)
            for (const MenuItem& item : c->popup->items)
                result.push_back(item.text);
        return result;
    }
    static bool enabled(const char (&signature)[5], SInt32 id)
    {
        Control* c = ctl(signature, id);
        return c != nullptr && c->enabled;
    }
    static bool shown(const char (&signature)[5], SInt32 id)
    {
        Control* c = ctl(signature, id);
        return c != nullptr && c->visible;
    }
    static std::vector<bool> buttons()
    {
        return {enabled("push", 301), enabled("push", 302), enabled("push", 303), enabled("push", 304)};
    }
    static OSStatus press(SInt32 button) { return userPress(ctl("push", button)); }

    // Runs the event loop until `done` holds; false when the guard passes first.
    static bool runUntil(const std::function<bool()>& done, double limit = 15.0)
    {
        for (double waited = 0; waited < limit; waited += 0.05) {
            if (done())
                return true;
            runEventLoopFor(0.05);
        }
        return done();
    }
    // What the first interface's inputs receive.
    kern_return_t source(const std::string& value)
    {
        return daemon().control().configure(m_ids.at(0), "source", value);
    }

    // Opens the test stream and waits until the IOProc runs.
    bool openStream()
    {
        if (press(301) != noErr || enabled("push", 301))
            return false;
        return runUntil([&] { return device()->getStreamState() == kStreamAttached; });
    }

    kexttest::PrivateHome m_home;
    std::unique_ptr<Probe> m_app;
    std::vector<uint32_t> m_ids;
};

const std::vector<bool> kClosed{true, false, false, false};
const std::vector<bool> kOpen{false, true, true, true};
const std::vector<bool> kNone{false, false, false, false};

} // namespace

// The window at start-up; an empty device list looks the same however it came empty: at
// start-up and once the last interface went. (Every other test starts with interfaces.)
TEST_F(ControlAppTest, StartUpThenHotPlugAndUnplugAreSeenOnTheNextTick)
{
    const auto expectNoDevice = [&] {
        EXPECT_EQ(items("pgrp", 100), std::vector<std::string>{"no device"});
        EXPECT_EQ(device(), nullptr);
        EXPECT_EQ(text(101) + text(102) + text(103), "");
        EXPECT_EQ(buttons(), kNone);
        EXPECT_EQ(app().driverUpdateTimer, nullptr);
        for (SInt32 popup : {202, 203, 305})
            EXPECT_EQ(std::pair(items("popb", popup), enabled("popb", popup)),
                      std::pair(std::vector<std::string>{"Unavailable"}, false))
                << popup;
        EXPECT_EQ(text(1003), "1.00");
        EXPECT_FALSE(enabled("sldr", 2004));
    };
    const auto listChanged = [&] {
        ASSERT_TRUE(runUntil([&] { return app().deviceListChanged.load(); }));
        tick();
    };
    ASSERT_TRUE(launch({}));
    Window* window = currentWindow();
    EXPECT_TRUE(window->shown);
    EXPECT_EQ(window->title, "Tarsel Control");
    // The CPU load setting hidden, the first tab's pane alone shown.
    EXPECT_EQ((std::vector{shown("sldr", 310), shown("stxt", 311), shown("upan", 8001), shown("upan", 8002),
                           shown("upan", 8003), shown("upan", 8004)}),
              (std::vector{false, false, true, false, false, false}));
    expectNoDevice();

    const uint32_t id = daemon().plug("tarsel");
    ASSERT_NE(id, 0u);
    listChanged();
    EXPECT_EQ(items("pgrp", 100), std::vector<std::string>{"Tarsel"});
    EXPECT_EQ(ctl("pgrp", 100)->value, 1);
    const kext::DeviceModel* model = kext::findModel("tarsel");
    ASSERT_NE(model, nullptr);
    EXPECT_EQ((std::vector{text(101), text(102), text(103)}),
              (std::vector<std::string>{model->manufacturer, model->deviceName, model->modelUID}));
    EXPECT_EQ(buttons(), kClosed);
    EXPECT_NE(app().driverUpdateTimer, nullptr);
    EXPECT_TRUE(device()->isDeviceOpen());

    // A second one joins the list; the first stays current, with the stream it has open.
    const uint32_t second = daemon().plug("kingsmere-digital-hs");
    ASSERT_NE(second, 0u);
    ZmOSXDevice* first = device();
    ASSERT_TRUE(openStream());
    listChanged();
    EXPECT_EQ(items("pgrp", 100), (std::vector<std::string>{"Tarsel", "Kingsmere Digital"}));
    EXPECT_EQ(device(), first);
    EXPECT_EQ(buttons(), kOpen) << "the same device stays as it was";

    // Choosing the current device again closes the test stream and refreshes nothing else.
    EXPECT_EQ(userSetValue(ctl("pgrp", 100), 1), noErr);
    EXPECT_EQ(buttons(), kClosed);
    EXPECT_EQ(device(), first);
    EXPECT_EQ(userSetValue(ctl("pgrp", 100), 2), noErr);
    EXPECT_EQ(text(102), "Kingsmere Digital");

    // The current one goes: the first remaining one is selected, and then none.
    ASSERT_EQ(daemon().unplug(second), KERN_SUCCESS);
    listChanged();
    EXPECT_EQ(items("pgrp", 100), std::vector<std::string>{"Tarsel"});
    EXPECT_EQ(text(102), "Tarsel");
    ASSERT_EQ(daemon().unplug(id), KERN_SUCCESS);
    listChanged();
    expectNoDevice();
}

TEST_F(ControlAppTest, CallbacksMarkPagesOfTheCurrentDeviceOnly)
{
    ASSERT_TRUE(launch({"tarsel", "kingsmere-digital-hs"}));
    ZmOSXDevice* other = app().deviceManager->getDeviceAndRetain(1);
    ASSERT_NE(other, nullptr);
    ASSERT_NE(other, device());
    const struct {
        void (ControlApp::*callback)(ZmOSXDevice*);
        uint32_t bits;
    } cases[] = {{&ControlApp::onFramesizeChanged, 2}, {&ControlApp::onLatencyChanged, 4},
                 {&ControlApp::onFormatChanged, 52},   {&ControlApp::onFrequencyChanged, 52},
                 {&ControlApp::onVolumeChanged, 8},    {&ControlApp::onMuteChanged, 8},
                 {&ControlApp::onMonitorChanged, 8},   {&ControlApp::onDataSourceChanged, 16}};
    for (const auto& c : cases) {
        app().changedMask = 0;
        (app().*c.callback)(other);
        EXPECT_EQ(app().changedMask.load(), 0u) << c.bits;
        (app().*c.callback)(device());
        EXPECT_EQ(app().changedMask.load(), c.bits);
    }
    // The tick refreshes and consumes them: a text it rewrites comes back.
    app().setStaticText(306, "stale");
    app().changedMask = 52;
    tick();
    EXPECT_EQ(app().changedMask.load(), 0u);
    EXPECT_NE(text(306), "stale");
    other->decReferences();
}

TEST_F(ControlAppTest, FormatPopupsListThePhysicalFormats)
{
    ASSERT_TRUE(launch({"tarsel"}));
    // The Tarsel's formats, both ways: up to 8 channels up to 96 kHz, 4 above; the first chosen.
    std::vector<std::string> formats;
    for (const int rate : {44100, 48000, 88200, 96000, 176400, 192000})
        for (int channels = 2; channels <= (rate > 96000 ? 4 : 8); channels += 2)
            for (const int bits : {16, 24})
                formats.push_back(std::to_string(channels) + "Ch-" + std::to_string(rate) + "-" + std::to_string(bits)
                                  + "Bit");
    for (const SInt32 popup : {202, 203}) {
        EXPECT_EQ(items("popb", popup), formats);
        EXPECT_EQ(ctl("popb", popup)->value, 1);
        EXPECT_TRUE(enabled("popb", popup));
    }

    // Another output rate while the test stream runs: closed before, opened after, and the
    // pages follow the new rate.
    const SInt16 at48 = 10;
    ASSERT_EQ(formats.at(at48 - 1), "2Ch-48000-24Bit");
    ASSERT_TRUE(openStream());
    EXPECT_EQ(userSetValue(ctl("popb", 203), at48), noErr);
    EXPECT_EQ(std::pair(device()->getFrequency(), ctl("popb", 203)->value), std::pair(48000u, at48));
    EXPECT_EQ(buttons(), kOpen);
    EXPECT_TRUE(runUntil([&] { return device()->getStreamState() == kStreamAttached; })) << "streaming again";
    EXPECT_NE(text(306).find("ms)"), std::string::npos) << text(306);
}

TEST_F(ControlAppTest, FrameSizePopupFollowsTheRangeAndADirectionSwitchedOffIsUnavailable)
{
    ASSERT_TRUE(launch({"tarsel"}));
    const std::vector<std::string> sizes = items("popb", 305);
    EXPECT_EQ(sizes, (std::vector<std::string>{"64 samples", "128 samples", "192 samples", "256 samples", "384 samples",
                                                "512 samples", "768 samples", "1024 samples"}));
    EXPECT_EQ(sizes.at(size_t(ctl("popb", 305)->value - 1)), std::to_string(device()->getFrameSize()) + " samples");

    const std::string before = text(307);
    EXPECT_EQ(userSetValue(ctl("popb", 305), 6), noErr);
    EXPECT_EQ(std::pair(device()->getFrameSize(), int(ctl("popb", 305)->value)), std::pair(512u, 6));
    EXPECT_NE(text(307), before) << "the sum holds two frame sizes";

    // Values beyond the items never index past the table.
    for (SInt16 value : {SInt16(0), SInt16(9), SInt16(255), SInt16(300), SInt16(-3)}) {
        ctl("popb", 305)->value = value;
        EXPECT_EQ(sendCommand(currentWindow(), HIFourCC("tefs")), noErr);
        EXPECT_EQ(device()->getFrameSize(), 512u) << value;
    }

    // The input switched off: its formats and an unavailable item, chosen.
    VkChannelSettings settings = device()->getTrueChannels();
    settings.iInChannels = 0;
    ASSERT_EQ(device()->setSettings(settings, false, false), 0);
    fillFormatList(&app(), device(), 202);
    const std::vector<std::string> inputs = items("popb", 202);
    ASSERT_EQ(int(inputs.size()), device()->getStreamFormatNum(true, true) + 1);
    EXPECT_EQ(inputs.back(), "unavailable");
    EXPECT_EQ(std::pair(ctl("popb", 202)->value, ctl("popb", 202)->maximum),
              std::pair(SInt16(inputs.size()), SInt16(inputs.size())));
    // Choosing it changes nothing.
    EXPECT_EQ(userSetValue(ctl("popb", 202), SInt16(inputs.size())), noErr);
    EXPECT_EQ(device()->getTrueChannels().iInChannels, 0u);
}

TEST_F(ControlAppTest, ADirectionWithoutFormatsIsUnavailable)
{
    // An interface with an input only.
    ASSERT_TRUE(launch({"file:" + std::string(CONTROLAPP_NIB_FOLDER) + "/../kext/model/examples/minimal.ini"}));
    EXPECT_EQ(items("popb", 203), std::vector<std::string>{"Unavailable"});
    EXPECT_FALSE(enabled("popb", 203));
    EXPECT_EQ(items("popb", 202), std::vector<std::string>{"2Ch-48000-16Bit"});
    // Its output rows: the master row alone.
    EXPECT_EQ(std::tuple(shown("sldr", 1000), shown("sldr", 1001), text(1300), text(1301)),
              std::tuple(true, false, "0", ""));
}

TEST_F(ControlAppTest, DataSourcesOfTheDigitalModel)
{
    ASSERT_TRUE(launch({"kingsmere-digital-hs"}));
    // Its three input sources, two of them made by the sync selector from one.
    EXPECT_EQ(items("popb", 207), (std::vector<std::string>{"Analog", "Analog - Sync Digital", "SPDIF (RCA)"}));
    EXPECT_EQ(ctl("popb", 207)->value, device()->getDataSourceID(true));
    EXPECT_EQ(userSetValue(ctl("popb", 207), 2), noErr);
    EXPECT_EQ(std::pair(device()->getDataSourceID(true), int(ctl("popb", 207)->value)), std::pair(2, 2));
    EXPECT_EQ(int(items("popb", 208).size()), device()->getNumDataSources(false));
}

TEST_F(ControlAppTest, VolumeMuteAndMonitorRows)
{
    const struct {
        const char* model;
        int volumeChannel; // the first output channel with a volume: per channel, or the master
    } cases[] = {{"tarsel", 1}, {"tarsel-classic-hs", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        ASSERT_TRUE(launch({c.model}));
        for (const bool isInput : {false, true}) {
            const SInt32 base = isInput ? 2000 : 1000;
            const VkChannelSettings& settings = device()->getTrueChannels();
            const int channels = int(isInput ? settings.iInChannels : settings.iOutChannels);
            for (int ch = 0; ch <= 8; ++ch) {
                SCOPED_TRACE(base + ch);
                const bool used = ch <= channels;
                // Shown: the slider, the mute box, the channel number and the level.
                EXPECT_EQ(std::tuple(shown("sldr", base + ch), shown("cbox", base + ch), text(base + 300 + ch),
                                     text(base + 400 + ch)),
                          std::tuple(used, used, used ? std::to_string(ch) : "", used ? "-" : ""));
                if (!used)
                    continue;
                EXPECT_EQ(std::pair(enabled("sldr", base + ch), enabled("cbox", base + ch)),
                          std::pair(device()->canVolume(isInput, ch), device()->canMute(isInput, ch)));
                if (isInput) {
                    unsigned long on = 0;
                    EXPECT_EQ(enabled("cbox", 2500 + ch),
                              device()->canMonitor(true, ch) && device()->getMonitor(true, ch, on) == 0);
                }
            }
        }
        // A volume slider at 128 sends 128/255, and the texts show what the device made of it.
        EXPECT_EQ(userSetValue(ctl("sldr", 1000 + c.volumeChannel), 128), noErr);
        float scalar = 0;
        ASSERT_TRUE(device()->getVolumeScalar(false, c.volumeChannel, scalar));
        EXPECT_NEAR(scalar, 128.0f / 255.0f, 0.02f);
        EXPECT_EQ(text(1000 + c.volumeChannel), "0.50");
        EXPECT_EQ(text(1100 + c.volumeChannel), "-47.8");

        for (int ch = 0; ch <= 2; ++ch) {
            if (device()->canMute(false, ch)) {
                EXPECT_EQ(userPress(ctl("cbox", 1000 + ch)), noErr);
                EXPECT_EQ(device()->getMute(false, ch), 1) << ch;
            }
            if (device()->canMonitor(true, ch)) {
                EXPECT_EQ(userPress(ctl("cbox", 2500 + ch)), noErr);
                unsigned long on = 0;
                EXPECT_EQ(device()->getMonitor(true, ch, on), 0);
                EXPECT_EQ(on, 1u) << ch;
            }
        }
        m_app.reset();
        daemon().unplug(m_ids.back());
        m_ids.clear();
    }
}

// The status texts of an idle device, then the client list with another process streaming.
TEST_F(ControlAppTest, StatusTextsAndTheClientListOfAnotherStreamingProcess)
{
    ASSERT_TRUE(launch({"tarsel"}));
    // No client and no latency result; the Tarsel at 44100 Hz and 256 frames: 68 frames in,
    // 284 out, and the trip with both buffers.
    EXPECT_EQ((std::vector{text(205), text(204), text(309), text(306), text(307), text(308)}),
              (std::vector<std::string>{"--", "none", "", "68 samples (1.54 ms)", "284(6.44) - sum:864(19.59)", ""}));
    for (SInt32 row = 600; row <= 607; ++row)
        EXPECT_EQ(text(row), "") << row;
    // A text longer than a static text holds is cut at 255 characters.
    app().setStaticText(101, std::string(300, 'x').c_str());
    EXPECT_EQ(text(101), std::string(255, 'x'));

    kexttest::BackgroundProgram child(STREAM_CLIENT, {"1000", "60"}, m_home.folder());
    ASSERT_TRUE(child.started());
    // It says so, with its process ID, once it streams.
    int pid = 0;
    ASSERT_TRUE(runUntil([&] {
        std::ifstream out(m_home.folder() / "child.out");
        std::string word;
        return out >> word >> pid && word == "streaming";
    })) << child.finish().err;
    app().fillClientList();  // starts a measuring period
    runEventLoopFor(0.5);
    app().fillClientList();
    EXPECT_EQ(text(204), "1 streaming");
    const std::string row = text(600);
    char shown[16];
    std::snprintf(shown, sizeof shown, "(PID:%5d)", pid);
    EXPECT_NE(row.find("device_stream_client " + std::string(shown)), std::string::npos) << row;
    EXPECT_NE(row.find(" - FS: " + std::to_string(device()->getFrameSize())), std::string::npos) << row;
    EXPECT_EQ(row.find("UNDERRUN"), std::string::npos) << row;
    EXPECT_EQ(ctl("stxt", 600)->fontStyle.foreColor.red, 0);
    EXPECT_EQ(text(309), row);
    EXPECT_EQ(text(601), "");

    // A client that stops writing runs late: its row turns red with the underruns.
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    runEventLoopFor(0.3);
    app().fillClientList();
    runEventLoopFor(0.3);
    app().fillClientList();
    kill(pid, SIGCONT);
    EXPECT_NE(text(600).find(" - UNDERRUN:"), std::string::npos) << text(600);
    EXPECT_EQ(ctl("stxt", 600)->fontStyle.foreColor.red, 255 * 256);
    EXPECT_NE(ctl("stxt", 600)->fontStyle.flags & kControlUseForeColorMask, 0);
}

TEST_F(ControlAppTest, LatencyOnTheLoopbackMatchesTheRoundTripAndSilenceHasNone)
{
    ASSERT_TRUE(launch({"tarsel"}));
    // Measures on a test stream of its own; the buttons are off meanwhile.
    const auto measure = [&] {
        EXPECT_TRUE(openStream());
        EXPECT_EQ(press(303), noErr);
        EXPECT_EQ(buttons(), kNone);
        EXPECT_TRUE(runUntil([&] {
            tick();
            return !text(308).empty();
        }));
        EXPECT_EQ(buttons(), kOpen);
        const std::string result = text(308);
        EXPECT_EQ(press(302), noErr);
        return result;
    };
    const std::string trip = measure();
    int frames = 0;
    float ms = 0;
    ASSERT_EQ(std::sscanf(trip.c_str(), "%d samples (%f ms)", &frames, &ms), 2) << trip;
    EXPECT_NEAR(ms, 1000.0f * float(frames) / float(device()->getFrequency()), 0.01f);
    // The trip the device reports: both latencies and both buffers (a few frames either way
    // for where the pulse is found).
    const int reported = int(device()->getLatency(false) + device()->getLatency(true)) + 2 * int(device()->getFrameSize());
    EXPECT_NEAR(frames, reported, 4);

    // Nothing comes back from silence: no response after a second of buffers.
    ASSERT_EQ(source("silence"), KERN_SUCCESS);
    EXPECT_EQ(measure(), "no respone");
}

// The tone as it is made (the IOProc's test copies one out): three bursts, each after a tenth
// of a second of quiet (each fades out for longer than that before the next starts at full
// level), the same on every channel, at the pitch of the commonest spacing of rising zero
// crossings; the buttons come back once it has played (its last buffers only, not six seconds).
TEST_F(ControlAppTest, ToneBurstsAndPitch)
{
    ASSERT_TRUE(launch({"tarsel"}));
    ASSERT_TRUE(openStream());
    ASSERT_EQ(press(304), noErr);
    EXPECT_TRUE(app().tonePlaying.load());
    EXPECT_EQ(buttons(), kNone);
    const uint32_t rate = device()->getFrequency();
    ASSERT_EQ(app().toneLength, rate * 2 * 3 * 2) << "two channels, three bursts of two seconds";
    EXPECT_EQ(press(304), noErr) << "a second press while it plays does nothing";

    // Only this thread's tick lets the buffer go.
    const float* samples = app().toneSamples.get();
    ASSERT_NE(samples, nullptr);
    const size_t frames = app().toneLength / 2;
    int bursts = 0;
    size_t quiet = rate;
    std::map<size_t, int> spacings;
    size_t lastCrossing = 0;
    for (size_t f = 1; f < frames; ++f) {
        const float v = std::fabs(samples[f * 2]);
        EXPECT_EQ(samples[f * 2], samples[f * 2 + 1]) << "the same on every channel";
        if (v >= 0.05f && quiet >= rate / 10)
            ++bursts;
        quiet = v < 0.05f ? quiet + 1 : 0;
        if (samples[(f - 1) * 2] < 0 && samples[f * 2] >= 0 && v < 0.2f) {
            if (lastCrossing != 0)
                ++spacings[f - lastCrossing];
            lastCrossing = f;
        }
    }
    EXPECT_EQ(bursts, 3);
    ASSERT_FALSE(spacings.empty());
    const auto commonest = std::max_element(spacings.begin(), spacings.end(),
                                            [](const auto& a, const auto& b) { return a.second < b.second; });
    EXPECT_EQ(commonest->first, rate / 440) << "a period of whole samples: " << double(rate) / double(rate / 440)
                                            << " Hz";
    // A cycle under way may put the position back; then it plays from there to the end.
    app().tonePosition = app().toneLength - 4 * 2 * device()->getFrameSize();
    ASSERT_TRUE(runUntil(
        [&] {
            tick();
            return !app().toneSamples;
        },
        30.0));
    EXPECT_EQ(buttons(), kOpen);
}

// The stream closed while the tone plays (by choosing a device): the tick that frees the tone
// leaves the buttons of a closed stream.
TEST_F(ControlAppTest, ATonePlayingWhenTheStreamClosesLeavesItClosed)
{
    ASSERT_TRUE(launch({"tarsel"}));
    ASSERT_TRUE(openStream());
    ASSERT_EQ(press(304), noErr);
    ASSERT_TRUE(app().toneSamples);
    EXPECT_EQ(userSetValue(ctl("pgrp", 100), 1), noErr);
    tick();
    EXPECT_FALSE(app().toneSamples);
    EXPECT_EQ(buttons(), kClosed);
}

TEST_F(ControlAppTest, ATooLongToneStaysOff)
{
    ASSERT_TRUE(launch({"marlow-rack-32-hs"}));
    // 16 channels at 96 kHz: 17 bursts of two seconds, beyond what a tone may take.
    ASSERT_GT(uint64_t(96000) * 16 * 17 * 2, ControlApp::kMaxToneSamples);
    const std::vector<std::string> outputs = items("popb", 203);
    const auto widest = std::find(outputs.begin(), outputs.end(), "16Ch-96000-16Bit");
    ASSERT_NE(widest, outputs.end());
    EXPECT_EQ(userSetValue(ctl("popb", 203), SInt16(widest - outputs.begin() + 1)), noErr);
    ASSERT_TRUE(openStream());
    EXPECT_EQ(press(304), noErr);
    EXPECT_FALSE(app().tonePlaying.load());
    EXPECT_FALSE(app().toneSamples);
    EXPECT_EQ(buttons(), kOpen) << "the buttons stay as they were";
}

// A -6 dB sine on the inputs: the meters show its peaks; the software thru goes on and off from
// the menu only (what it plays is the IOProc's test).
TEST_F(ControlAppTest, MetersAndSoftwareThruFollowTheInput)
{
    ASSERT_TRUE(launch({"tarsel"}));
    ASSERT_EQ(source("sine:997:-6"), KERN_SUCCESS);
    Window* window = currentWindow();
    ASSERT_EQ(userChooseMenuItem(window, 128, 1), noErr); // the meters
    EXPECT_EQ(std::pair(app().levelCaptureOn.load(), app().levelTimer != nullptr), std::pair(true, true));
    // Sent by a button rather than the menu, the thru command changes nothing.
    EXPECT_EQ(sendCommand(window, HIFourCC("moni")), noErr);
    EXPECT_FALSE(app().thruOn.load());
    ASSERT_EQ(userChooseMenuItem(window, 128, 2), noErr);
    EXPECT_EQ(std::pair(app().thruOn.load(), findMenu(window, 128)->items[1].checked), std::pair(true, true));
    ASSERT_TRUE(openStream());
    const int channels = int(device()->getTrueChannels().iInChannels);
    ASSERT_TRUE(runUntil([&] { return ctl("relb", 9001)->value >= 45; }));
    EXPECT_LE(ctl("relb", 9001)->value, 51);
    for (int k = 0; k < 8; ++k)
        EXPECT_TRUE(k < channels ? ctl("relb", 9001 + k)->value >= 45 : ctl("relb", 9001 + k)->value == 0) << k;
    EXPECT_EQ(press(302), noErr);

    ASSERT_EQ(userChooseMenuItem(window, 128, 1), noErr);
    EXPECT_EQ(std::pair(app().levelCaptureOn.load(), app().levelTimer != nullptr), std::pair(false, false));
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(ctl("relb", 9001 + k)->value, 0) << k;
    ASSERT_EQ(userChooseMenuItem(window, 128, 2), noErr);
    EXPECT_EQ(std::pair(app().thruOn.load(), findMenu(window, 128)->items[1].checked), std::pair(false, false));
}

TEST_F(ControlAppTest, CommandsTabsAndTheCPULoadSetting)
{
    ASSERT_TRUE(launch({}));
    Window* window = currentWindow();
    for (const UInt32 command : {HIFourCC("swin"), HIFourCC("xyzw"), HIFourCC("om09"), HIFourCC("thr9"), UInt32(52)})
        EXPECT_EQ(sendCommand(window, command), eventNotHandledErr) << command;
    for (const UInt32 command : {HIFourCC("om00"), HIFourCC("iv08"), HIFourCC("thr3"), HIFourCC("teop"),
                                 HIFourCC("tela"), HIFourCC("teto"), HIFourCC("dsis"), UInt32(51)})
        EXPECT_EQ(sendCommand(window, command), noErr) << command;
    EXPECT_TRUE(app().levelCaptureOn.load()) << "51 starts the capture without the meters";
    EXPECT_EQ(app().levelTimer, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(sendBareCommandEvent(window), eventNotHandledErr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetEventParameter error\n");

    EXPECT_EQ(userSetValue(ctl("tabs", 8000), 3), noErr);
    EXPECT_TRUE(shown("upan", 8003));
    EXPECT_FALSE(shown("upan", 8001));
    EXPECT_EQ(userSetValue(ctl("tabs", 8000), 4), noErr);
    EXPECT_FALSE(shown("upan", 8003));
    EXPECT_TRUE(shown("upan", 8004));

    for (const SInt16 load : {40, 99, 0}) {
        EXPECT_EQ(userSetValue(ctl("sldr", 310), load), noErr);
        EXPECT_EQ(text(311), "CPU load/(" + std::to_string(load) + "%)");
    }
    // Beyond the slider's range, as no user can set it: the largest load.
    ctl("sldr", 310)->value = 140;
    app().testCPULoad(nullptr);
    EXPECT_EQ(text(311), "CPU load/(99%)");
}

TEST_F(ControlAppTest, AMissingNibEndsStartUpBeforeAnythingIsShown)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    setNibFolder(m_home.folder().string());
    Probe app;
    EXPECT_FALSE(app.start());
    EXPECT_EQ(app.window(), nullptr);
    EXPECT_EQ(app.current(), nullptr) << "no device manager either";
}

// Last in its process: the event loop stays quit afterwards.
TEST_F(ControlAppTest, ClosingTheWindowEndsTheEventLoop)
{
    ASSERT_TRUE(launch({}));
    Window* window = currentWindow();
    callLater(0.1, [window] { userCloseWindow(window); });
    RunApplicationEventLoop(); // returns once the close handler has quit it
    EXPECT_TRUE(window->closed);
}
