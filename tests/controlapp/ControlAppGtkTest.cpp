// The real program in its GTK window under a private X server: it starts against a private
// simulated kernel driver and writes a screenshot of itself. How the window's controls become
// widgets is the GTK toolkit layer's test (tests/platform/CarbonGtkTest.cpp).
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/src/Carbon/gtk/GtkView.h"
#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"

namespace {

class ControlAppGtkTest : public kexttest::KextTest {
protected:
    void SetUp() override
    {
#ifdef TARSEL_NO_XVFB
        GTEST_SKIP() << "xvfb-run is not installed";
#endif
        KextTest::SetUp();
        if (!tarsel::toolbox::gtk::viewInstalled())
            GTEST_SKIP() << "no display";
        ASSERT_NE(daemon().plug("tarsel"), 0u);
    }
    kexttest::PrivateHome m_home;
};

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
    int width = 0, height = 0;
    EXPECT_NE(gdk_pixbuf_get_file_info(png.c_str(), &width, &height), nullptr) << "not a picture";
    EXPECT_GT(width, 400);
    EXPECT_GT(height, 300);
    if (const char* keep = getenv("TARSEL_KEEP_SCREENSHOT"))
        std::filesystem::copy_file(png, keep, std::filesystem::copy_options::overwrite_existing);
}

} // namespace
