// The installed uninstaller with its GTK window on a private X display: the window is there
// under its title, and the picture it draws of itself has the window's size (the picture is
// the README's, docs/uninstaller.png).
#include "tests/uninstaller/InstalledRoot.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo.h>

#include <chrono>
#include <optional>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The mapped window named `title` among the root window's children (no window manager wraps
// it), and its size.
std::optional<std::pair<int, int>> findWindow(Display* display, const std::string& title)
{
    Window rootWindow, parentWindow, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &rootWindow, &parentWindow, &children, &count) == 0)
        return std::nullopt;
    std::optional<std::pair<int, int>> found;
    for (unsigned int i = 0; i < count && !found; ++i) {
        char* name = nullptr;
        XWindowAttributes attributes;
        if (XFetchName(display, children[i], &name) != 0 && name != nullptr && title == name &&
            XGetWindowAttributes(display, children[i], &attributes) != 0 && attributes.map_state == IsViewable)
            found = std::make_pair(attributes.width, attributes.height);
        if (name != nullptr)
            XFree(name);
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

class GtkWindow : public installtest::InstalledRootTest {
protected:
    void SetUp() override
    {
#ifdef TARSEL_NO_XVFB
        GTEST_SKIP() << "xvfb-run is not installed";
#endif
        InstalledRootTest::SetUp();
    }
};

TEST_F(GtkWindow, ShowsTheWindowAndDrawsItsPicture)
{
    const fs::path picture = root() / "uninstaller.png";
    const std::string program = (root() / "Applications/uninstaller.app/Contents/MacOS/uninstaller").string();
    setenv("TARSEL_SCREENSHOT", picture.c_str(), 1);
    // Under ThreadSanitizer, what it cannot see inside the system's GTK stack is not reported.
    const char* tsan = getenv("TSAN_OPTIONS");
    const std::string tsanOptions = tsan != nullptr ? tsan : "";
    setenv("TSAN_OPTIONS", (tsanOptions + ":suppressions=" TARSEL_GTK_TSAN_SUPPRESSIONS).c_str(), 1);
    kexttest::BackgroundProgram child(program, {}, root());
    unsetenv("TARSEL_SCREENSHOT");
    setenv("TSAN_OPTIONS", tsanOptions.c_str(), 1);
    ASSERT_TRUE(child.started());

    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    std::optional<std::pair<int, int>> window;
    // A guard against a hang, not a measure: the window and its picture come within a second.
    for (auto limit = std::chrono::steady_clock::now() + 30s;
         (!window || !fs::exists(picture)) && std::chrono::steady_clock::now() < limit;
         std::this_thread::sleep_for(50ms))
        window = findWindow(display, "TARSEL Uninstaller");
    XCloseDisplay(display);
    bool running = false;
    child.finish(0ms, &running);
    EXPECT_TRUE(running) << "the program ended";

    ASSERT_TRUE(window.has_value());
    ASSERT_TRUE(fs::exists(picture));
    cairo_surface_t* image = cairo_image_surface_create_from_png(picture.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(image), window->first);
    EXPECT_EQ(cairo_image_surface_get_height(image), window->second);
    cairo_surface_destroy(image);
    if (const char* keep = getenv("TARSEL_UNINSTALLER_PICTURE"))
        fs::copy_file(picture, keep, fs::copy_options::overwrite_existing);
}

} // namespace
