#include <Carbon/Carbon.h>
#include <sys/sysctl.h>

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ProcessTable.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/Subprocess.h"

extern char** environ;

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

    EXPECT_EQ(FindFolder(kLocalDomain, kPreferencesFolderType, kCreateFolder, &volume, &again), fnfErr);
    EXPECT_EQ(FindFolder(kSystemDomain, kPreferencesFolderType, kCreateFolder, &volume, &again), fnfErr);
    EXPECT_EQ(FindFolder(kUserDomain, 0x74656D70 /* "temp" */, kCreateFolder, &volume, &again), fnfErr);
    EXPECT_EQ(FindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, nullptr, &again), paramErr);
    EXPECT_EQ(FindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, &volume, nullptr), paramErr);

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

TEST_F(CarbonHome, FSpCreateMakesAnEmptyFileOnce)
{
    FSSpec s = lookUp("made.xml", fnfErr);
    EXPECT_EQ(FSpCreate(&s, 0x74747874, 0x54455854, smSystemScript), noErr);
    ASSERT_TRUE(fs::is_regular_file(preferences() / "made.xml"));
    EXPECT_EQ(fs::file_size(preferences() / "made.xml"), 0u);
    EXPECT_EQ(FSpCreate(&s, 0x74747874, 0x54455854, smSystemScript), dupFNErr);

    // A record whose folder is unknown, or whose name was tampered with.
    FSSpec bad = s;
    bad.parID = 12345678;
    EXPECT_EQ(FSpCreate(&bad, 0, 0, smSystemScript), dirNFErr);
    bad = s;
    bad.name[0] = 64;
    EXPECT_EQ(FSpCreate(&bad, 0, 0, smSystemScript), bdNamErr);
    EXPECT_EQ(FSpCreate(nullptr, 0, 0, smSystemScript), paramErr);
}

// Reading in pieces at the mark is the settings reader's work (tested with it); here the
// positioning modes and the bounds of the calls.
TEST_F(CarbonHome, ReadingADataForkFromEveryPositionWithinBounds)
{
    std::string content;
    for (int i = 0; i < 300; ++i)
        content += char('A' + i % 26);
    fs::create_directories(preferences());
    writeFile(preferences() / "data", content);
    FSSpec s = lookUp("data", noErr);
    FSIORefNum ref = 0;
    ASSERT_EQ(FSpOpenDF(&s, fsRdPerm, &ref), noErr);
    EXPECT_GT(ref, 0);

    struct Read {
        UInt16 mode;
        SInt64 offset;
        ByteCount count;
        OSErr result;
        size_t from, length; // the part of `content` that comes back
    };
    const Read reads[] = {
        {fsAtMark, 0, 256, noErr, 0, 256},
        {fsAtMark, 0, 128, eofErr, 256, 44}, // the last piece is short, and says so
        {fsAtMark, 0, 128, eofErr, 0, 0},
        {fsFromStart, 10, 5, noErr, 10, 5},
        {fsFromMark, 5, 5, noErr, 20, 5},
        {fsFromLEOF, -4, 10, eofErr, 296, 4},
        {0x20 | fsFromStart, 0, 3, noErr, 0, 3}, // hint bits above the mode are ignored
        {fsFromStart, -1, 3, posErr, 0, 0},
        {fsFromLEOF, -301, 3, posErr, 0, 0},
        {fsFromMark, INT64_MAX, 3, posErr, 0, 0},
    };
    char buffer[512];
    for (const Read& r : reads) {
        ByteCount got = 99;
        EXPECT_EQ(FSReadFork(ref, r.mode, r.offset, r.count, buffer, &got), r.result) << r.offset;
        EXPECT_EQ(std::string(buffer, got), content.substr(r.from, r.length)) << r.offset;
    }
    ByteCount got = 0;
    EXPECT_EQ(FSReadFork(ref, fsFromStart, 0, 3, nullptr, &got), paramErr);
    EXPECT_EQ(FSReadFork(ref, fsFromStart, 0, 0, nullptr, &got), noErr);
    EXPECT_EQ(FSReadFork(ref, fsFromStart, 0, 3, buffer, nullptr), noErr);

    EXPECT_EQ(FSCloseFork(ref), noErr);
    EXPECT_EQ(FSCloseFork(ref), rfNumErr);
    for (FSIORefNum bad : {ref, FSIORefNum(-1), FSIORefNum(0), FSIORefNum(65), FSIORefNum(32767)}) {
        EXPECT_EQ(FSReadFork(bad, fsAtMark, 0, 3, buffer, &got), rfNumErr);
        EXPECT_EQ(FSCloseFork(bad), rfNumErr);
    }
}

TEST_F(CarbonHome, OnlyRegularFilesOpenAndTheirReferencesAreBounded)
{
    fs::create_directories(preferences() / "folder");
    ASSERT_EQ(mkfifo((preferences() / "fifo").c_str(), 0600), 0);
    writeFile(preferences() / "file", "x");

    FSIORefNum ref = 77;
    FSSpec folderFile = lookUp("folder", noErr);
    EXPECT_EQ(FSpOpenDF(&folderFile, fsRdPerm, &ref), notAFileErr);
    EXPECT_EQ(ref, 0);
    EXPECT_EQ(FSpOpenDF(&folderFile, fsRdWrPerm, &ref), notAFileErr);
    // A FIFO would block an ordinary open until a writer came.
    FSSpec fifoFile = lookUp("fifo", noErr);
    EXPECT_EQ(FSpOpenDF(&fifoFile, fsRdPerm, &ref), notAFileErr);
    FSSpec missingFile = lookUp("missing", fnfErr);
    EXPECT_EQ(FSpOpenDF(&missingFile, fsRdPerm, &ref), fnfErr);

    FSSpec plainFile = lookUp("file", noErr);
    EXPECT_EQ(FSpOpenDF(&plainFile, 9, &ref), paramErr);
    EXPECT_EQ(FSpOpenDF(&plainFile, fsRdPerm, nullptr), paramErr);
    EXPECT_EQ(FSpOpenDF(nullptr, fsRdPerm, &ref), paramErr);

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
    EXPECT_EQ(open.size(), 64u);
    ASSERT_EQ(FSCloseFork(open.back()), noErr);
    FSIORefNum again = 0;
    EXPECT_EQ(FSpOpenDF(&plainFile, fsRdPerm, &again), noErr);
    EXPECT_EQ(again, open.back());
    open.back() = again;
    for (FSIORefNum r : open)
        EXPECT_EQ(FSCloseFork(r), noErr);
}

// A helper process started from `path` with `argv0`, sleeping until the test ends.

std::string sleepBinary()
{
    for (const char* p : {"/bin/sleep", "/usr/bin/sleep"})
        if (access(p, X_OK) == 0)
            return p;
    return {};
}

std::string processName(pid_t pid, OSErr* result = nullptr)
{
    ProcessSerialNumber psn{};
    OSErr err = GetProcessForPID(pid, &psn);
    Str31 name{};
    if (err == noErr) {
        ProcessInfoRec info{};
        info.processInfoLength = sizeof info;
        info.processName = name;
        err = GetProcessInformation(&psn, &info);
    }
    if (result != nullptr)
        *result = err;
    return err == noErr ? fromPascal(name) : std::string();
}

pid_t unusedPid()
{
    pid_t child = 0;
    char name[] = "true";
    char* argv[] = {name, nullptr};
    if (posix_spawnp(&child, "true", nullptr, nullptr, argv, environ) != 0)
        return 0;
    waitpid(child, nullptr, 0);
    return child; // free now, and not soon handed out again
}

// Nothing in the suite names processes through the Process Manager yet; its names come from
// the same table as sysctl's (ProcessTable below), so here only what is its own.
TEST(ProcessManager, KnowsProcessesByTheirExecutableNameAndRefusesTheRest)
{
    // The kernel keeps 15 characters, the rest comes from the executable.
    EXPECT_EQ(processName(getpid()), "platform_carbon_tests");
    const std::string sleep = sleepBinary();
    ASSERT_FALSE(sleep.empty());
    std::string dirPattern = (fs::temp_directory_path() / "carbon-proc-XXXXXX").string();
    ASSERT_NE(mkdtemp(dirPattern.data()), nullptr);
    const fs::path dir = dirPattern;
    // A name longer than a Str31 holds, and an argv[0] that says nothing.
    const fs::path copy = dir / "An Executable With A Very Long Name Indeed";
    fs::copy_file(sleep, copy);
    fs::permissions(copy, fs::perms::owner_all);
    SleepingProcess copied(copy.string(), "x");
    ASSERT_GT(copied.pid(), 0);
    EXPECT_EQ(processName(copied.pid()), "An Executable With A Very Long ");

    ProcessSerialNumber psn{}, self{};
    ASSERT_EQ(GetProcessForPID(copied.pid(), &psn), noErr);
    ASSERT_EQ(GetProcessForPID(getpid(), &self), noErr);
    ProcessInfoRec info{};
    info.processInfoLength = sizeof info;
    ASSERT_EQ(GetProcessInformation(&psn, &info), noErr); // no name wanted
    EXPECT_EQ(info.processLauncher.lowLongOfPSN, self.lowLongOfPSN);
    pid_t back = 0;
    EXPECT_EQ(GetProcessPID(&psn, &back), noErr);
    EXPECT_EQ(back, copied.pid());
    fs::remove_all(dir);

    OSErr err = noErr;
    for (pid_t none : {unusedPid(), pid_t(0), pid_t(-5)}) {
        EXPECT_EQ(processName(none, &err), "");
        EXPECT_EQ(err, procNotFound);
    }
    std::thread t([&] { // a thread's ID is not a process's
        EXPECT_EQ(GetProcessForPID(pid_t(syscall(SYS_gettid)), &psn), procNotFound);
    });
    t.join();
    EXPECT_EQ(GetProcessForPID(getpid(), nullptr), paramErr);
    info.processInfoLength = sizeof info - 1;
    EXPECT_EQ(GetProcessInformation(&self, &info), paramErr);
    info.processInfoLength = sizeof info;
    EXPECT_EQ(GetProcessInformation(nullptr, &info), paramErr);
    EXPECT_EQ(GetProcessInformation(&self, nullptr), paramErr);
    for (const ProcessSerialNumber& p : {ProcessSerialNumber{0, kNoProcess}, ProcessSerialNumber{7, 7}}) {
        EXPECT_EQ(GetProcessInformation(&p, &info), procNotFound);
        EXPECT_EQ(GetProcessPID(&p, &back), procNotFound);
    }
    ProcessSerialNumber current{0, kCurrentProcess};
    ASSERT_EQ(GetProcessInformation(&current, &info), noErr);
    EXPECT_EQ(info.processNumber.lowLongOfPSN, self.lowLongOfPSN);
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

// The names in the table are the device layer's (tested with it); here a short buffer and the
// queries the table refuses.
TEST(Sysctl, AShortBufferGetsWhatFitsAndOtherQueriesAreRefused)
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

    int other[3] = {CTL_KERN, 1 /* KERN_OSTYPE */, 0};
    errno = 0;
    EXPECT_EQ(sysctl(other, 2, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sysctl(other, 3, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOTSUP);
    int value = 1;
    EXPECT_EQ(sysctl(mib, 3, nullptr, &size, &value, sizeof value), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(sysctl(mib, 3, nullptr, nullptr, nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sysctl(nullptr, 3, nullptr, &size, nullptr, 0), -1);
}

} // namespace
