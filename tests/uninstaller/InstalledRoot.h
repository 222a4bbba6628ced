#pragma once
// The suite installed with `cmake --install` into a private folder for each test.
#include "tests/support/Subprocess.h"

#include <gtest/gtest.h>

#include <filesystem>
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

// A test of the suite installed with `cmake --install` into a private folder of its own.
class InstalledRootTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/tarsel-install-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_root = folder;
        const kexttest::ProgramRun install =
            kexttest::runProgram(TARSEL_CMAKE, {"--install", TARSEL_BUILD_DIR, "--prefix", m_root.string()});
        ASSERT_EQ(install.status, 0) << "cmake --install failed:\n" << install.out << install.err;
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
