// The real program in its GTK window under a private X server: it starts against a private
// simulated kernel driver, shows its title and the interface in the device popup, and writes
// a screenshot of itself.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "kext/model/Catalogue.h"
#include "platform/src/Carbon/Toolbox.h"
#include "platform/src/Carbon/gtk/GtkView.h"
#include "tests/controlapp/ControlAppProbe.h"
#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"

using namespace tarsel::toolbox;

namespace {

class ControlAppGtkTest : public kexttest::KextTest {
protected:
    void SetUp() override
    {
#ifdef TARSEL_NO_XVFB
        GTEST_SKIP() << "xvfb-run is not installed";
#endif
        KextTest::SetUp();
        if (!gtk::viewInstalled())
            GTEST_SKIP() << "no display";
        ASSERT_NE(daemon().plug("tarsel"), 0u);
    }
    kexttest::PrivateHome m_home;
};

// Width and height from a PNG's header; 0 when the file is none.
std::pair<uint32_t, uint32_t> pngSize(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char header[24] = {};
    if (!in.read(reinterpret_cast<char*>(header), sizeof header) || header[1] != 'P' || header[2] != 'N')
        return {0, 0};
    auto be = [&](int at) {
        return uint32_t(header[at]) << 24 | uint32_t(header[at + 1]) << 16 | uint32_t(header[at + 2]) << 8 |
               header[at + 3];
    };
    return {be(16), be(20)};
}

TEST_F(ControlAppGtkTest, TheWindowShowsTheTitleAndTheInterface)
{
    setNibFolder(CONTROLAPP_NIB_FOLDER);
    controlapptest::Probe app;
    ASSERT_TRUE(app.start());
    runEventLoopFor(1.3); // past the first redraw tick, which builds the device list
    Window* window = currentWindow();
    ASSERT_NE(window, nullptr);
    auto* gtkWindow = GTK_WINDOW(gtk::nibObject(*window, "ControlApp"));
    ASSERT_NE(gtkWindow, nullptr);
    EXPECT_STREQ(gtk_window_get_title(gtkWindow), "Tarsel Control");
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(gtkWindow)));
    auto* devices = GTK_COMBO_BOX_TEXT(gtk::nibObject(*window, "pgrp-100"));
    ASSERT_NE(devices, nullptr);
    gchar* shown = gtk_combo_box_text_get_active_text(devices);
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(std::string(shown), kext::findModel("tarsel")->deviceName);
    g_free(shown);
}

TEST_F(ControlAppGtkTest, TheProgramWritesAScreenshotOfItself)
{
    const std::filesystem::path png = m_home.folder() / "controlapp.png";
    setenv("TARSEL_SCREENSHOT", png.c_str(), 1);
    // The system's GTK stack is built without ThreadSanitizer, which reports races inside it.
    const char* tsan = getenv("TSAN_OPTIONS");
    const std::string tsanOptions = tsan != nullptr ? tsan : "";
    setenv("TSAN_OPTIONS", (tsanOptions + ":suppressions=" TARSEL_GTK_TSAN_SUPPRESSIONS).c_str(), 1);
    kexttest::BackgroundProgram program(CONTROLAPP_PROGRAM, {}, m_home.folder());
    unsetenv("TARSEL_SCREENSHOT");
    setenv("TSAN_OPTIONS", tsanOptions.c_str(), 1);
    ASSERT_TRUE(program.started());
    // A guard against a hang, not a measure.
    ASSERT_TRUE(kexttest::waitUntil([&] { return std::filesystem::exists(png); }, std::chrono::seconds(20)));
    bool running = false;
    program.finish(std::chrono::milliseconds(0), &running);
    EXPECT_TRUE(running) << "the program ended once its window was drawn";
    const auto [width, height] = pngSize(png);
    EXPECT_GT(width, 400u);
    EXPECT_GT(height, 300u);
    if (const char* keep = getenv("TARSEL_KEEP_SCREENSHOT"))
        std::filesystem::copy_file(png, keep, std::filesystem::copy_options::overwrite_existing);
}

} // namespace
