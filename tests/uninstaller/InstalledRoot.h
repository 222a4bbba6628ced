#pragma once
// The suite installed with `cmake --install` into a private folder, once per test program, and
// a fresh copy of it for each test that changes it.
#include "tests/support/Subprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace installtest {

namespace fs = std::filesystem;

// Every piece the uninstaller removes, relative to the root.
inline const std::vector<std::string> kRemovedPaths = {
    "System/Library/Extensions/TARSEL.kext",
    "Library/Receipts/TARSEL_driver.pkg",
    "Library/Audio/Plug-Ins/HAL/TARSEL.plugin",
    "Library/Receipts/TARSEL_plugin.pkg",
    "Applications/TARSELControlApp.app",
    "Library/Receipts/TARSEL_control.pkg",
    "Library/Audio/MIDI Drivers/TARSEL MIDI Driver.plugin",
    "Library/Receipts/TARSEL_midi.pkg",
};

inline const std::vector<std::string> kPackages = {
    "com.quenta.pkg.TARSEL.control", "com.quenta.pkg.TARSEL.driver",
    "com.quenta.pkg.TARSEL.midi", "com.quenta.pkg.TARSEL.plugin"};

inline void writeFile(const fs::path& path, const std::string& text, fs::perms perms = fs::perms(0644))
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    fs::permissions(path, perms);
}

class InstalledRoots {
public:
    // The private folder (with the pristine install in it), made on first use.
    static InstalledRoots& get()
    {
        static InstalledRoots roots;
        return roots;
    }
    ~InstalledRoots()
    {
        std::error_code error;
        fs::remove_all(m_folder, error);
    }
    const std::string& error() const { return m_error; }
    const fs::path& folder() const { return m_folder; }

    // A copy of the pristine install at <folder>/<name> (replacing one left there).
    fs::path fresh(const std::string& name) const
    {
        const fs::path root = m_folder / name;
        std::error_code error;
        fs::remove_all(root, error);
        const kexttest::ProgramRun copy =
            kexttest::runProgram("/bin/cp", {"-a", (m_folder / "pristine").string(), root.string()});
        return copy.status == 0 ? root : fs::path();
    }

private:
    InstalledRoots()
    {
        char folder[] = "/tmp/tarsel-install-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            m_error = "no private folder";
            return;
        }
        m_folder = folder;
        const fs::path pristine = m_folder / "pristine";
        const kexttest::ProgramRun install = kexttest::runProgram(
            TARSEL_CMAKE, {"--install", TARSEL_BUILD_DIR, "--prefix", pristine.string()});
        if (install.status != 0) {
            m_error = "cmake --install failed:\n" + install.out + install.err;
            return;
        }
    }
    fs::path m_folder;
    std::string m_error;
};

// A test of one installed root, fresh for each test.
class InstalledRootTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InstalledRoots& roots = InstalledRoots::get();
        ASSERT_TRUE(roots.error().empty()) << roots.error();
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        m_root = roots.fresh(name);
        ASSERT_FALSE(m_root.empty());
    }
    void TearDown() override
    {
        std::error_code error;
        fs::remove_all(m_root, error);
    }
    const fs::path& root() const { return m_root; }
    // The ids the root's own pkgutil lists.
    std::string packages() const
    {
        return kexttest::runProgram((m_root / "usr/sbin/pkgutil").string(), {"--pkgs"}).out;
    }
    std::vector<std::string> present() const
    {
        std::vector<std::string> found;
        for (const std::string& p : kRemovedPaths) {
            if (fs::exists(fs::symlink_status(m_root / p)))
                found.push_back(p);
        }
        return found;
    }

private:
    fs::path m_root;
};

} // namespace installtest
