#include "device/OSXAsioRegistry.h"
#include "device/ProcessName.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"

#include <Carbon/Carbon.h>

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kName = "com.quenta.tarsel.usbsettings";
constexpr const char* kFile = "com.quenta.tarsel.usbsettings.xml";

// Each test runs with HOME in a folder of its own, holding an empty Preferences folder.
class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_home.folder().empty());
        fs::create_directories(preferences());
    }

    fs::path preferences() const { return home / "Library" / "Preferences"; }
    fs::path settings() const { return preferences() / kFile; }

    void write(const std::string& content)
    {
        std::ofstream out(settings(), std::ios::binary);
        out << content;
    }

    std::string read() const
    {
        std::ifstream in(settings(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // The record as the registry loads it, from a record whose every byte was 0xAB.
    VkAjExtData load()
    {
        VkAjExtData data;
        std::memset(&data, 0xAB, sizeof data);
        OSXAsioRegistry registry(kName);
        registry.loadAjExt(data);
        return data;
    }

    kexttest::PrivateHome m_home;
    const fs::path& home = m_home.folder();
};

// The four settings the file may hold.
std::tuple<uint32_t, uint32_t, uint32_t, uint32_t> settingsOf(const VkAjExtData& d)
{
    return {d.iClockSource, d.iUSB1Mode, d.iDigitalOutMode, d.iDigitalOutSel};
}

void expectDefaults(const VkAjExtData& data)
{
    EXPECT_EQ(settingsOf(data), std::tuple(0u, 0u, 0u, 0u));
}

TEST_F(Registry, WithoutAFileItCreatesAnEmptyOneAndLoadsTheDefaults)
{
    VkAjExtData data = load();
    EXPECT_TRUE(fs::is_regular_file(settings()));
    EXPECT_EQ(fs::file_size(settings()), 0u);
    expectDefaults(data);
    // The first word is not the registry's to set.
    EXPECT_EQ(std::tuple(data.iReserved0, data.iReserved20, data.iReserved24, data.iReserved28, data.iReserved32,
                         data.bFixedRate),
              std::tuple(0xABABABABu, 0u, 1u, 0u, 1u, 0u));
}

TEST_F(Registry, WithoutThePreferencesFolderNothingIsCreated)
{
    fs::remove_all(home / "Library");
    expectDefaults(load());
    EXPECT_FALSE(fs::exists(home / "Library"));
    EXPECT_EQ(getStorageFile(ZmString(kFile), true, false), -1);

    OSXAsioRegistry registry(kName);
    EXPECT_NE(registry.getNode("Settings"), nullptr);
}

TEST_F(Registry, AttributesAreReadIgnoringCaseAndValidated)
{
    const struct Case {
        const char* file;
        uint32_t clock, usb1, outMode, outSel;
    } cases[] = {
        {"<settings><ajext clocksource=\"1\" usb1mode=\"7\"/></settings>", 1, 0, 0, 0}, // only 0 and 1 known
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!-- written by hand -->\n<Settings>\n"
         "  <Other Value=\"9\"/>\n"
         "  <AjExt ClockSource=\"0\" USB1Mode=\"1\" DigitalOutMode=\"1\" DigitalOutSel=\"5\"/>\n</Settings>\n",
         0, 1, 1, 5}, // the selection is not range-checked
        {"<Settings><AjExt DigitalOutMode=\"2\" DigitalOutSel=\"abc\"/></Settings>", 0, 0, 0, 0},
        // Beyond 32 bits saturates: 2^32 + 1 would wrap to 1 and pass the check.
        {"<Settings><AjExt ClockSource=\"4294967297\" USB1Mode=\"-1\" DigitalOutSel=\"99999999999999999999999\"/>"
         "</Settings>",
         0, 0, 0, 0xFFFFFFFFu},
        // Only the AjExt right under Settings counts.
        {"<AjExt ClockSource=\"1\"/><Settings/>", 0, 0, 0, 0},
        {"<Settings><Inner><AjExt ClockSource=\"1\"/></Inner></Settings>", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        write(c.file);
        const VkAjExtData d = load();
        EXPECT_EQ(std::tuple_cat(settingsOf(d), std::tuple(d.iReserved24)),
                  std::tuple(c.clock, c.usb1, c.outMode, c.outSel, 1u))
            << c.file;
    }
}

TEST_F(Registry, SettingNodesAreFoundOrMadeInMemoryOnly)
{
    write("<Settings><AJEXT ClockSource=\"1\"/></Settings>");
    OSXAsioRegistry registry(kName);
    XML::Node* node = registry.getSettingNode("ajext", false);
    ASSERT_NE(node, nullptr);
    EXPECT_STREQ(node->getName().c_str(), "AJEXT");
    EXPECT_EQ(registry.getSettingNode("AjExt", true), node);

    EXPECT_EQ(registry.getSettingNode("Missing", false), nullptr);
    XML::Node* made = registry.getSettingNode("Missing", true);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(registry.getSettingNode("MISSING", false), made);
    EXPECT_EQ(registry.getSettingNode(nullptr, true), nullptr);

    VkAjExtData data;
    registry.loadAjExt(data);
    EXPECT_EQ(data.iClockSource, 1u);
    // Nothing goes back to the file.
    EXPECT_EQ(read(), "<Settings><AJEXT ClockSource=\"1\"/></Settings>");

    // With no "Settings" in the file, both are made in memory.
    write("<Other/>");
    OSXAsioRegistry bare(kName);
    ASSERT_NE(bare.getSettingNode("AjExt", true), nullptr);
    EXPECT_EQ(bare.getCountNodes(), 2);
    bare.loadAjExt(data);
    expectDefaults(data);
    EXPECT_EQ(read(), "<Other/>");
}

TEST_F(Registry, TheFileIsReadInChunksEachEndingAtItsFirstNul)
{
    // 3000 bytes: 1024, 1024 and 952. The element spans the first and the third chunk; the
    // second begins with a NUL, so none of its text (which would break the element) is seen.
    std::string first = "<Settings><AjExt ClockSource=\"1\" ";
    first.resize(1024, ' ');
    std::string second(1, '\0');
    second += "\"><<<broken";
    second.resize(1024, 'x');
    std::string third = " DigitalOutSel=\"6\"/></Settings>";
    third.resize(952, ' ');
    write(first + second + third);
    ASSERT_EQ(fs::file_size(settings()), 3000u);
    EXPECT_EQ(settingsOf(load()), std::tuple(1u, 0u, 0u, 6u));

    // Without NULs, the three chunks are one text, even where an element crosses a boundary.
    std::string text = "<Settings>";
    text.resize(1020, ' ');
    text += "<AjExt USB1Mode=\"1\" DigitalOutSel=\"3\"/>";
    text.resize(2046, ' ');
    text += "<Other A=\"1\"/></Settings>";
    text.resize(3000, ' ');
    write(text);
    EXPECT_EQ(settingsOf(load()), std::tuple(0u, 1u, 0u, 3u));
    OSXAsioRegistry registry(kName);
    EXPECT_NE(registry.getSettingNode("Other", false), nullptr);
}

TEST_F(Registry, AFileBeyondTheCapIsReadOnlyUpToIt)
{
    // Within the first MiB: read.
    std::string early = "<Settings><AjExt ClockSource=\"1\"/>";
    early.resize(size_t(OSXAsioRegistry::kMaxFileSize) * 3, ' ');
    early += "</Settings>";
    write(early);
    EXPECT_EQ(load().iClockSource, 1u);

    // Beyond it: never seen, and what came before still counts.
    std::string late = "<Settings><Early A=\"1\"/>";
    late.resize(size_t(OSXAsioRegistry::kMaxFileSize) + 10, ' ');
    late += "<AjExt ClockSource=\"1\"/></Settings>";
    write(late);
    EXPECT_EQ(load().iClockSource, 0u);
    OSXAsioRegistry registry(kName);
    EXPECT_NE(registry.getSettingNode("Early", false), nullptr);
}

TEST_F(Registry, DamagedOrHostileFilesGiveDefaultsWithoutHarm)
{
    // Cut short inside an element: what came before stays.
    write("<Settings><Early A=\"1\"/><AjExt ClockSource=\"1\" USB1Mo");
    {
        OSXAsioRegistry registry(kName);
        EXPECT_NE(registry.getSettingNode("Early", false), nullptr);
        VkAjExtData data;
        registry.loadAjExt(data);
        EXPECT_EQ(data.iUSB1Mode, 0u);
    }

    std::mt19937 random(1234);
    for (int round = 0; round < 20; ++round) {
        std::string noise(size_t(random() % 5000), '\0');
        for (char& c : noise)
            c = char(random());
        if (round % 2)
            noise = "<Settings><AjExt " + noise;
        write(noise);
        const VkAjExtData data = load();
        EXPECT_LE(std::max({data.iClockSource, data.iUSB1Mode, data.iDigitalOutMode}), 1u);
    }

    // An unterminated quote (how deep nesting is bounded is XMLTest's).
    write("<Settings><AjExt ClockSource=\"1/></Settings>");
    EXPECT_LE(load().iClockSource, 1u);
}

TEST_F(Registry, WhatIsNoRegularFileGivesDefaults)
{
    fs::create_directory(settings());
    expectDefaults(load());
    fs::remove(settings());

    // A FIFO must not hang the reader.
    ASSERT_EQ(mkfifo(settings().c_str(), 0600), 0);
    expectDefaults(load());
    EXPECT_EQ(getStorageFile(ZmString(kFile), true, false), -1);
    fs::remove(settings());

    // A link to a device that never ends.
    fs::create_symlink("/dev/zero", settings());
    expectDefaults(load());
}

TEST_F(Registry, GetStorageFileOpensCreatesOrRefuses)
{
    ZmString name("file.xml");
    EXPECT_EQ(getStorageFile(name, false, false), -1);
    EXPECT_FALSE(fs::exists(preferences() / "file.xml"));

    SInt16 ref = getStorageFile(name, true, false);
    ASSERT_NE(ref, -1);
    EXPECT_TRUE(fs::is_regular_file(preferences() / "file.xml"));
    EXPECT_EQ(FSCloseFork(ref), noErr);

    {
        std::ofstream out(preferences() / "file.xml");
        out << "hello";
    }
    for (bool writable : {false, true}) {
        ref = getStorageFile(name, false, writable);
        ASSERT_NE(ref, -1);
        char buffer[16] = {};
        ByteCount got = 0;
        EXPECT_EQ(FSReadFork(ref, fsAtMark, 0, sizeof buffer, buffer, &got), eofErr);
        EXPECT_STREQ(buffer, "hello");
        EXPECT_EQ(FSCloseFork(ref), noErr);
    }

    // Names the folder cannot hold.
    EXPECT_EQ(getStorageFile(ZmString("a/b.xml"), true, false), -1);
    EXPECT_EQ(getStorageFile(ZmString("../escape.xml"), true, false), -1);
    EXPECT_EQ(getStorageFile(ZmString(std::string(100, 'n').c_str()), true, false), -1);
    EXPECT_EQ(getStorageFile(ZmString(""), true, false), -1);
    EXPECT_FALSE(fs::exists(home / "Library" / "escape.xml"));
}

TEST_F(Registry, ManyRegistriesLeaveNoFileOpen)
{
    write("<Settings><AjExt DigitalOutSel=\"2\"/></Settings>");
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(load().iDigitalOutSel, 2u) << i;
}

TEST_F(Registry, TheNameMakesTheFileAndANullOrEmptyOneReadsNothing)
{
    OSXAsioRegistry named(kName);
    EXPECT_STREQ(named.getFileName().c_str(), kFile);
    ASSERT_EQ(named.getCountNodes(), 1);
    EXPECT_STREQ(named.getNode(0L)->getName().c_str(), "Settings");
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        OSXAsioRegistry registry(name);
        EXPECT_STREQ(registry.getFileName().c_str(), ".xml");
        VkAjExtData data;
        registry.loadAjExt(data);
        expectDefaults(data);
    }
    EXPECT_FALSE(fs::exists(preferences() / ".xml"));
}

TEST(ProcessName, UnknownProcessesAndNoBuffer)
{
    // A process that has ended and been reaped.
    pid_t child = 0;
    char* argv[] = {const_cast<char*>("true"), nullptr};
    ASSERT_EQ(posix_spawn(&child, "/bin/true", nullptr, nullptr, argv, environ), 0);
    waitpid(child, nullptr, 0);

    // All 17 bytes are zeroed, and nothing beyond them is touched.
    char name[24];
    std::memset(name, 'x', sizeof name);
    EXPECT_FALSE(GetProcessNameFromPID(child, name));
    EXPECT_EQ(std::string(name, sizeof name), std::string(17, '\0') + std::string(sizeof name - 17, 'x'));

    std::memset(name, 'x', sizeof name);
    EXPECT_FALSE(GetProcessNameFromPID(0, name));
    EXPECT_FALSE(GetProcessNameFromPID(-1, name));
    EXPECT_EQ(name[0], '\0');
    EXPECT_FALSE(GetProcessNameFromPID(getpid(), nullptr));
}

} // namespace
