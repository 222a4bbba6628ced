#include <Carbon/Carbon.h>
#include <sys/sysctl.h>

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ProcessTable.h"
#include "tests/support/PrivateHome.h"

namespace {

namespace fs = std::filesystem;

void pascal(const std::string& text, Str255 out)
{
    std::memset(out, 0, 256);
    out[0] = static_cast<unsigned char>(text.size());
    std::memcpy(out + 1, text.data(), text.size());
}

std::string fromPascal(const unsigned char* p)
{
    return std::string(reinterpret_cast<const char*>(p + 1), p[0]);
}

void writeFile(const fs::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// A private home for each test (HOME names it while the test runs).
class CarbonHome : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(home.empty()); }
    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(preferences(), fs::perms::owner_all, ignored);
    }

    fs::path preferences() const { return home / "Library" / "Preferences"; }

    FSSpec lookUp(const std::string& name, OSErr expected)
    {
        FSVolumeRefNum volume = 0;
        SInt32 dir = 0;
        EXPECT_EQ(FindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, &volume, &dir), noErr);
        Str255 p;
        pascal(name, p);
        FSSpec s{};
        EXPECT_EQ(FSMakeFSSpec(volume, dir, p, &s), expected) << name;
        return s;
    }

    kexttest::PrivateHome privateHome;
    const fs::path home = privateHome.folder();
};

TEST_F(CarbonHome, FindFolderGivesThePreferencesFolderOfTheCurrentHomeOnly)
{
    FSVolumeRefNum volume = 1;
    SInt32 dir = 1;
    // Not there yet, and not to be made.
    EXPECT_EQ(FindFolder(kOnSystemDisk, kPreferencesFolderType, kDontCreateFolder, &volume, &dir), fnfErr);
    EXPECT_EQ(dir, 0);
    EXPECT_FALSE(fs::exists(home / "Library"));
    ASSERT_EQ(FindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, &volume, &dir), noErr);
    EXPECT_TRUE(fs::is_directory(preferences()));
    SInt32 again = 0;
    ASSERT_EQ(FindFolder(kOnAppropriateDisk, kPreferencesFolderType, kDontCreateFolder, &volume, &again), noErr);
    EXPECT_EQ(again, dir);

    EXPECT_EQ(FindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, nullptr, &again), paramErr);

    // Another home is another folder: nothing about HOME is remembered between calls; and a
    // file where the folder should be is not a folder.
    fs::path other = home / "other";
    fs::create_directories(other / "Library");
    writeFile(other / "Library" / "Preferences", "not a folder");
    setenv("HOME", (other.string() + "/").c_str(), 1);
    EXPECT_EQ(FindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, &volume, &again), fnfErr);
    fs::remove(other / "Library" / "Preferences");
    ASSERT_EQ(FindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, &volume, &again), noErr);
    EXPECT_NE(again, dir);
    Str255 name;
    pascal("marker", name);
    writeFile(other / "Library" / "Preferences" / "marker", "x");
    FSSpec s{};
    EXPECT_EQ(FSMakeFSSpec(volume, again, name, &s), noErr);
    EXPECT_EQ(FSMakeFSSpec(volume, dir, name, &s), fnfErr);
}

TEST_F(CarbonHome, FSMakeFSSpecTellsMissingFromPresentAndChecksTheName)
{
    FSSpec missing = lookUp("absent.xml", fnfErr);
    EXPECT_EQ(fromPascal(missing.name), "absent.xml");
    EXPECT_NE(missing.parID, 0);

    writeFile(preferences() / "present.xml", "<Settings/>");
    FSSpec present = lookUp("present.xml", noErr);
    EXPECT_EQ(fromPascal(present.name), "present.xml");
    EXPECT_EQ(present.parID, missing.parID);
    EXPECT_EQ(present.vRefNum, missing.vRefNum);

    const std::pair<std::string, OSErr> names[] = {
        {"a:b", bdNamErr}, {"a/b", bdNamErr}, {"..", bdNamErr}, {".", bdNamErr},
        {std::string("a\0b", 3), bdNamErr}, {std::string(64, 'n'), bdNamErr},
        {std::string(63, 'n'), fnfErr}, {"", paramErr},
    };
    for (const auto& [name, expected] : names)
        lookUp(name, expected);

    Str255 name;
    pascal("x", name);
    FSSpec s{};
    EXPECT_EQ(FSMakeFSSpec(missing.vRefNum, 12345678, name, &s), dirNFErr);
    EXPECT_EQ(FSMakeFSSpec(7, missing.parID, name, &s), nsvErr);
    EXPECT_EQ(FSMakeFSSpec(missing.vRefNum, missing.parID, nullptr, &s), paramErr);
    EXPECT_EQ(FSMakeFSSpec(missing.vRefNum, missing.parID, name, nullptr), paramErr);
}

// Creating, opening and reading the settings file, and what is no regular file, are the
// settings reader's (OSXAsioRegistryTest); here the bound on open files that lets it show it
// closes what it opens.
TEST_F(CarbonHome, ReferencesAreBoundedAndClosedOnesAreStale)
{
    lookUp("file", fnfErr); // makes the folder
    writeFile(preferences() / "file", "x");
    FSSpec plainFile = lookUp("file", noErr);
    std::vector<FSIORefNum> open;
    for (;;) {
        FSIORefNum r = 0;
        OSErr err = FSpOpenDF(&plainFile, fsRdPerm, &r);
        if (err != noErr) {
            EXPECT_EQ(err, tmfoErr);
            EXPECT_EQ(r, 0);
            break;
        }
        EXPECT_GT(r, 0);
        open.push_back(r);
        ASSERT_LE(open.size(), 64u);
    }
    ASSERT_EQ(open.size(), 64u);
    ASSERT_EQ(FSCloseFork(open.back()), noErr);
    FSIORefNum again = 0;
    EXPECT_EQ(FSpOpenDF(&plainFile, fsRdPerm, &again), noErr);
    EXPECT_EQ(again, open.back());
    for (FSIORefNum r : open)
        EXPECT_EQ(FSCloseFork(r), noErr);

    char buffer[8];
    ByteCount got = 0;
    for (FSIORefNum bad : {again, FSIORefNum(-1), FSIORefNum(0), FSIORefNum(65), FSIORefNum(32767)}) {
        EXPECT_EQ(FSReadFork(bad, fsAtMark, 0, 3, buffer, &got), rfNumErr);
        EXPECT_EQ(FSCloseFork(bad), rfNumErr);
    }
}

TEST(ProcessTable, ExecutableNameCompletesWhatTheKernelCut)
{
    using carbon::executableName;
    // Shorter than the kernel's limit: complete as it is.
    EXPECT_EQ(executableName("sleep", "/usr/bin/other-name", "whatever"), "sleep");
    EXPECT_EQ(executableName("", "/usr/bin/x", "x"), "");
    // At the limit: the executable's base name first, then argv[0]'s.
    EXPECT_EQ(executableName("Sequencer Progr", "/opt/Sequencer Program 7", "dp"), "Sequencer Program 7");
    EXPECT_EQ(executableName("Sequencer Progr", "/usr/bin/sleep", "/x/Sequencer Program"), "Sequencer Program");
    EXPECT_EQ(executableName("Sequencer Progr", "", "Sequencer Program"), "Sequencer Program");
    EXPECT_EQ(executableName("Sequencer Progr", "/a/Sequencer Program (deleted)", ""), "Sequencer Program");
    // A deleted executable whose own name was exactly 15 characters gains nothing.
    EXPECT_EQ(executableName("fifteen-chars-x", "/a/fifteen-chars-x (deleted)", ""), "fifteen-chars-x");
    // A name the program gave itself matches neither source, and stays.
    EXPECT_EQ(executableName("renamed-worker1", "/usr/bin/python3", "python3"), "renamed-worker1");
    // Exactly 15 characters, nothing longer around.
    EXPECT_EQ(executableName("abcdefghijklmno", "/bin/abcdefghijklmno", "abcdefghijklmno"), "abcdefghijklmno");
    // Case matters: the kernel copied the name byte for byte.
    EXPECT_EQ(executableName("Audio Midi Setu", "/x/audio midi setup", ""), "Audio Midi Setu");
    // A pathological argv[0] is cut to a file name's length.
    std::string huge = "abcdefghijklmno" + std::string(5000, 'z');
    EXPECT_EQ(executableName("abcdefghijklmno", "", huge).size(), carbon::kMaxExecutableName);
}

// The names in the table are the device layer's (tested with it); here a short buffer.
TEST(Sysctl, AShortBufferGetsWhatFits)
{
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0};
    std::vector<kinfo_proc> small(1);
    size_t size = sizeof(kinfo_proc);
    errno = 0;
    EXPECT_EQ(sysctl(mib, 4, small.data(), &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(size, sizeof(kinfo_proc));
    EXPECT_NE(small[0].kp_proc.p_pid, 0);
    EXPECT_EQ(small[0].kp_proc.p_comm[MAXCOMLEN], '\0');

    EXPECT_EQ(sysctl(nullptr, 3, nullptr, &size, nullptr, 0), -1);
}

} // namespace
