#include <Carbon/Carbon.h>
#include <sys/sysctl.h>

#include <gtest/gtest.h>

#include <errno.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ProcessTable.h"
#include "tests/support/PrivateHome.h"

namespace {

namespace fs = std::filesystem;

// The preferences folder of the current home, the names it can hold, creating, opening and
// reading the settings file, and what is no regular file, are the settings reader's
// (OSXAsioRegistryTest); here the bound on open files that lets it show it closes what it opens.
TEST(CarbonFiles, ReferencesAreBoundedAndClosedOnesAreStale)
{
    kexttest::PrivateHome home;
    const fs::path preferences = home.folder() / "Library" / "Preferences";
    fs::create_directories(preferences);
    std::ofstream(preferences / "file") << "x";
    FSVolumeRefNum volume = 0;
    SInt32 folder = 0;
    ASSERT_EQ(FindFolder(kOnSystemDisk, kPreferencesFolderType, kDontCreateFolder, &volume, &folder), noErr);
    const unsigned char name[] = "\004file";
    FSSpec plainFile{};
    ASSERT_EQ(FSMakeFSSpec(volume, folder, name, &plainFile), noErr);

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
    for (FSIORefNum bad : {again, FSIORefNum(0), FSIORefNum(65)}) {
        EXPECT_EQ(FSReadFork(bad, fsAtMark, 0, 3, buffer, &got), rfNumErr);
        EXPECT_EQ(FSCloseFork(bad), rfNumErr);
    }
}

TEST(ProcessTable, ExecutableNameCompletesWhatTheKernelCut)
{
    using carbon::executableName;
    // Shorter than the kernel's limit: complete as it is.
    EXPECT_EQ(executableName("sleep", "/usr/bin/other-name", "whatever"), "sleep");
    // At the limit: the executable's base name first, then argv[0]'s.
    EXPECT_EQ(executableName("Sequencer Progr", "/opt/Sequencer Program 7", "dp"), "Sequencer Program 7");
    EXPECT_EQ(executableName("Sequencer Progr", "/usr/bin/sleep", "/x/Sequencer Program"), "Sequencer Program");
    EXPECT_EQ(executableName("Sequencer Progr", "", "Sequencer Program"), "Sequencer Program");
    EXPECT_EQ(executableName("Sequencer Progr", "/a/Sequencer Program (deleted)", ""), "Sequencer Program");
    // A deleted executable whose own name was exactly 15 characters gains nothing.
    EXPECT_EQ(executableName("fifteen-chars-x", "/a/fifteen-chars-x (deleted)", ""), "fifteen-chars-x");
    // A name the program gave itself matches neither source, and stays.
    EXPECT_EQ(executableName("renamed-worker1", "/usr/bin/python3", "python3"), "renamed-worker1");
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
}

} // namespace
