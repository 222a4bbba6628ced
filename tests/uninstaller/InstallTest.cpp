// The installed suite as a user meets it: the layout cmake --install makes, a HAL client of
// the root finding the installed plug-in by itself, and the installed uninstaller run headless
// (it finds its root from where it lies).
#include "tests/support/PrivateDaemon.h"
#include "tests/support/PrivateHome.h"
#include "tests/uninstaller/InstalledRoot.h"

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using kexttest::contains;
using kexttest::runProgram;

class Installed : public installtest::InstalledRootTest {};

TEST_F(Installed, TheRootHoldsEveryPieceAndItsReceipts)
{
    EXPECT_EQ(present(), installtest::kRemovedPaths);
    for (const char* file : {"System/Library/Extensions/TARSEL.kext/Contents/Info.plist",
                             "System/Library/Extensions/TARSEL.kext/Contents/MacOS/tarsel-kextd",
                             "Library/Audio/Plug-Ins/HAL/TARSEL.plugin/Contents/MacOS/TARSEL",
                             "Applications/uninstaller.app/Contents/Resources/MainMenu.ui",
                             "Library/Receipts/TARSEL_driver.pkg/Contents/Info.plist", "usr/lib/tarsel/libplatform.so"})
        EXPECT_TRUE(fs::is_regular_file(root() / file)) << file;
    // The root's own pkgutil reads the root's database without being told where it is (what
    // else it reads is PkgutilTest's).
    EXPECT_EQ(packages(), "com.quenta.pkg.TARSEL.control\ncom.quenta.pkg.TARSEL.driver\ncom.quenta.pkg.TARSEL.midi\n"
                          "com.quenta.pkg.TARSEL.plugin\n");
}

TEST_F(Installed, AHALClientOfTheRootFindsTheInstalledPlugIn)
{
    kexttest::PrivateHome home;
    kexttest::PrivateDaemon daemon;
    ASSERT_TRUE(daemon.started());
    ASSERT_NE(daemon.plug(), 0u);
    unsetenv("TARSEL_HAL_PLUGIN_DIR");
    const kexttest::ProgramRun list = runProgram((root() / "usr/bin/tarsel-hal").string(), {"--json"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(contains(list.out, "\"uid\"")) << list.out;
}

class InstalledProgram : public installtest::InstalledRootTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "the system's runner goes through pkexec when not root";
        InstalledRootTest::SetUp();
    }
    kexttest::ProgramRun run(const std::vector<std::string>& args) const
    {
        return runProgram((root() / "Applications/uninstaller.app/Contents/MacOS/uninstaller").string(), args);
    }
};

// The whole removal with the system's runner: every piece and receipt goes, the folders the
// pieces lay in and the uninstaller itself stay, and a second run finds nothing left to fail.
TEST_F(InstalledProgram, RunsHeadlessOnTheRootItLiesIn)
{
    const kexttest::ProgramRun first = run({"--headless", "uninstall", "uninstall"});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out,
              "Click 'Uninstall' to\ncompletely remove\nthe TARSEL audio drivers.\n"
              "removing USB drivers.\nremoving audio drivers.\nremoving control application.\n"
              "removing MIDI drivers.\n"
              "The driver has been\ncompletly removed.\nYou should reboot your\ncomputer now.\n");
    EXPECT_EQ(first.err, "uninstaller: the button 'uninstall' is disabled\n");
    EXPECT_TRUE(present().empty());
    EXPECT_EQ(packages(), "");
    EXPECT_TRUE(fs::is_directory(root() / "System/Library/Extensions"));
    EXPECT_TRUE(fs::exists(root() / "Applications/uninstaller.app/Contents/MacOS/uninstaller"));

    const kexttest::ProgramRun again = run({"--headless", "uninstall"});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(contains(again.out, "completly removed.")) << again.out << again.err;

    const kexttest::ProgramRun wrong = run({"--headless", "reboot"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_TRUE(contains(wrong.err, "no button 'reboot'")) << wrong.err;
}

} // namespace
