// The File Manager and FindFolder on POSIX files. Folders handed out by FindFolder are kept in
// a small table of directory IDs, open data forks in a table of reference numbers.
#include <Carbon/Carbon.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The one volume: every path of this system is on it.
constexpr FSVolumeRefNum kVolumeRefNum = -100;
// Directory IDs start above the Mac's own fixed IDs (1 and 2) and only grow; the table keeps
// the most recent folders, so an ID that fell out of it reads as a folder that went away.
constexpr SInt32 kFirstDirID = 100;
constexpr size_t kDirectorySlots = 32;
// Open forks; reference numbers are slot + 1, so never 0 and never -1.
constexpr size_t kForkSlots = 64;
constexpr size_t kMaxNameLength = 63;
// Single reads are cut to this size; the caller's loop (or ours) carries on.
constexpr size_t kMaxReadStep = size_t(1) << 30;

struct Directory {
    SInt32 id = 0;
    std::string path;
};

struct State {
    std::mutex lock;
    std::array<Directory, kDirectorySlots> directories;
    size_t nextDirectorySlot = 0;
    SInt32 nextDirID = kFirstDirID;
    std::array<int, kForkSlots> forks;

    State() { forks.fill(-1); }
};

// Never destroyed, so that calls during process exit still find it.
State& state()
{
    static State* s = new State;
    return *s;
}

// Caller holds the lock.
SInt32 registerDirectory(State& s, const std::string& path)
{
    for (const Directory& d : s.directories)
        if (d.id != 0 && d.path == path)
            return d.id;
    if (s.nextDirID == INT32_MAX)
        s.nextDirID = kFirstDirID; // practically never; old IDs are long gone from the table
    Directory& slot = s.directories[s.nextDirectorySlot];
    s.nextDirectorySlot = (s.nextDirectorySlot + 1) % kDirectorySlots;
    slot.id = s.nextDirID++;
    slot.path = path;
    return slot.id;
}

// Caller holds the lock.
const Directory* findDirectory(const State& s, SInt32 id)
{
    if (id == 0)
        return nullptr;
    for (const Directory& d : s.directories)
        if (d.id == id)
            return &d;
    return nullptr;
}

bool homeFolder(std::string& out)
{
    // Read on every call: tests and programs may point HOME elsewhere at any time.
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/' && std::strlen(home) < PATH_MAX) {
        out = home;
    } else {
        long size = sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
            return false;
        out = found->pw_dir;
    }
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    if (out == "/")
        out.clear(); // so that appending "/Library" gives "/Library"
    return true;
}

bool isDirectory(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeFolder(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
        return isDirectory(path);
    return false;
}

// A Mac file name that maps onto one POSIX name in the folder itself.
OSErr checkName(const unsigned char* pascal, std::string& out)
{
    size_t length = pascal[0];
    if (length == 0)
        return paramErr;
    if (length > kMaxNameLength)
        return bdNamErr;
    out.assign(reinterpret_cast<const char*>(pascal + 1), length);
    if (out == "." || out == ".." || out.find_first_of(std::string(":/\0", 3)) != std::string::npos)
        return bdNamErr;
    return noErr;
}

OSErr recordPath(const FSSpec* file, std::string& path)
{
    if (file == nullptr)
        return paramErr;
    if (file->vRefNum != kVolumeRefNum && file->vRefNum != 0)
        return nsvErr;
    std::string name;
    OSErr err = checkName(file->name, name);
    if (err != noErr)
        return err;
    State& s = state();
    std::lock_guard guard(s.lock);
    const Directory* dir = findDirectory(s, file->parID);
    if (dir == nullptr)
        return dirNFErr;
    path = dir->path + "/" + name;
    return noErr;
}

OSErr errnoToOSErr(int error)
{
    switch (error) {
    case ENOENT:
        return fnfErr;
    case ENOTDIR:
        return dirNFErr;
    case EACCES:
    case EPERM:
        return permErr;
    case EROFS:
        return wPrErr;
    case EEXIST:
        return dupFNErr;
    case EISDIR:
        return notAFileErr;
    case ENOSPC:
    case EDQUOT:
        return dskFulErr;
    case EMFILE:
    case ENFILE:
        return tmfoErr;
    case ENAMETOOLONG:
        return bdNamErr;
    default:
        return ioErr;
    }
}

// Caller holds the lock.
int* forkSlot(State& s, FSIORefNum refNum)
{
    if (refNum < 1 || size_t(refNum) > kForkSlots || s.forks[size_t(refNum) - 1] < 0)
        return nullptr;
    return &s.forks[size_t(refNum) - 1];
}

} // namespace

extern "C" OSErr FindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                            FSVolumeRefNum* foundVRefNum, SInt32* foundDirID)
{
    if (foundVRefNum == nullptr || foundDirID == nullptr)
        return paramErr;
    *foundVRefNum = 0;
    *foundDirID = 0;
    if (vRefNum != kOnSystemDisk && vRefNum != kOnAppropriateDisk && vRefNum != kUserDomain &&
        vRefNum != kVolumeRefNum)
        return fnfErr;
    if (folderType != kPreferencesFolderType)
        return fnfErr;

    std::string home;
    if (!homeFolder(home))
        return fnfErr;
    const std::string library = home + "/Library";
    const std::string preferences = library + "/Preferences";
    if (!isDirectory(preferences)) {
        if (!createFolder)
            return fnfErr;
        if (!makeFolder(library) || !makeFolder(preferences))
            return fnfErr;
    }

    State& s = state();
    std::lock_guard guard(s.lock);
    *foundVRefNum = kVolumeRefNum;
    *foundDirID = registerDirectory(s, preferences);
    return noErr;
}

extern "C" OSErr FSMakeFSSpec(FSVolumeRefNum vRefNum, SInt32 dirID, ConstStr255Param fileName,
                              FSSpec* file)
{
    if (fileName == nullptr || file == nullptr)
        return paramErr;
    if (vRefNum != kVolumeRefNum && vRefNum != 0)
        return nsvErr;
    std::string name;
    OSErr err = checkName(fileName, name);
    if (err != noErr)
        return err;

    std::string path;
    {
        State& s = state();
        std::lock_guard guard(s.lock);
        const Directory* dir = findDirectory(s, dirID);
        if (dir == nullptr)
            return dirNFErr;
        path = dir->path + "/" + name;
    }
    std::memset(file, 0, sizeof *file);
    file->vRefNum = kVolumeRefNum;
    file->parID = dirID;
    std::memcpy(file->name, fileName, name.size() + 1);

    struct stat st{};
    if (stat(path.c_str(), &st) == 0)
        return noErr;
    return errnoToOSErr(errno);
}

extern "C" OSErr FSpCreate(const FSSpec* file, OSType, OSType, ScriptCode)
{
    std::string path;
    OSErr err = recordPath(file, path);
    if (err != noErr)
        return err;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0 && errno == ENOENT)
        return dirNFErr; // the folder itself went away
    if (fd < 0)
        return errnoToOSErr(errno);
    close(fd);
    return noErr;
}

extern "C" OSErr FSpOpenDF(const FSSpec* file, SInt8 permission, FSIORefNum* refNum)
{
    if (refNum == nullptr)
        return paramErr;
    *refNum = 0;
    if (permission < fsCurPerm || permission > fsRdWrShPerm)
        return paramErr;
    std::string path;
    OSErr err = recordPath(file, path);
    if (err != noErr)
        return err;

    // Non-blocking, so that a FIFO put where the file should be cannot hang the caller.
    const int common = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = open(path.c_str(), (permission == fsRdPerm ? O_RDONLY : O_RDWR) | common);
    if (fd < 0 && permission == fsCurPerm && (errno == EACCES || errno == EROFS))
        fd = open(path.c_str(), O_RDONLY | common);
    if (fd < 0)
        return errnoToOSErr(errno);
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return notAFileErr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    State& s = state();
    std::lock_guard guard(s.lock);
    for (size_t i = 0; i < kForkSlots; ++i) {
        if (s.forks[i] < 0) {
            s.forks[i] = fd;
            *refNum = FSIORefNum(i + 1);
            return noErr;
        }
    }
    close(fd);
    return tmfoErr;
}

extern "C" OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                            ByteCount requestCount, void* buffer, ByteCount* actualCount)
{
    if (actualCount != nullptr)
        *actualCount = 0;
    State& s = state();
    // Held across the read, so that a concurrent close cannot hand the descriptor to another
    // file in the middle of it.
    std::lock_guard guard(s.lock);
    int* slot = forkSlot(s, forkRefNum);
    if (slot == nullptr)
        return rfNumErr;
    const int fd = *slot;
    if (buffer == nullptr && requestCount > 0)
        return paramErr;

    off_t base = 0;
    switch (positionMode & 0x03) {
    case fsAtMark:
        positionOffset = 0;
        [[fallthrough]];
    case fsFromMark:
        base = lseek(fd, 0, SEEK_CUR);
        break;
    case fsFromStart:
        base = 0;
        break;
    case fsFromLEOF: {
        struct stat st{};
        if (fstat(fd, &st) != 0)
            return ioErr;
        base = st.st_size;
        break;
    }
    }
    if (base < 0)
        return ioErr;
    off_t position = 0;
    if (__builtin_add_overflow(base, positionOffset, &position) || position < 0)
        return posErr;
    if (lseek(fd, position, SEEK_SET) < 0)
        return posErr;

    ByteCount done = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    OSErr err = noErr;
    while (done < requestCount) {
        size_t step = requestCount - done < kMaxReadStep ? size_t(requestCount - done) : kMaxReadStep;
        ssize_t n = read(fd, out + done, step);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = ioErr;
            break;
        }
        if (n == 0) {
            err = eofErr;
            break;
        }
        done += ByteCount(n);
    }
    if (actualCount != nullptr)
        *actualCount = done;
    return err;
}

extern "C" OSErr FSCloseFork(FSIORefNum forkRefNum)
{
    State& s = state();
    std::lock_guard guard(s.lock);
    int* slot = forkSlot(s, forkRefNum);
    if (slot == nullptr)
        return rfNumErr;
    close(*slot);
    *slot = -1;
    return noErr;
}
