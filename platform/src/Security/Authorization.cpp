// Authorization Services on Linux. A reference holds the install root the suite lives in;
// running a tool maps the Mac command onto this system, resolving every Mac path inside that
// root, so a privileged tool can never reach outside it, and hands the command to the runner
// (the tool itself as root, else pkexec), waiting for its exit status.
#include <Security/Security.h>

#include "platform/src/Security/AuthorizationRunner.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>

extern char** environ;

struct AuthorizationOpaqueRef {
    std::string root; // canonical, without a trailing slash unless it is "/"
};

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxArguments = 64;
constexpr size_t kMaxArgumentLength = 4096;
constexpr size_t kMaxToolOutput = size_t(1) << 20;
constexpr AuthorizationFlags kCreateFlags = kAuthorizationFlagInteractionAllowed |
    kAuthorizationFlagExtendRights | kAuthorizationFlagPartialRights |
    kAuthorizationFlagPreAuthorize | kAuthorizationFlagNoData;

// The tools the suite's command lines name, as this system has them.
constexpr const char* kSystemRm = "/bin/rm";
constexpr const char* kSystemTouch = "/usr/bin/touch";
constexpr const char* kPkexec = "/usr/bin/pkexec";
constexpr const char* kPkgutil = "/usr/sbin/pkgutil";
// The one shell command the suite runs: it marks the extensions folder changed.
constexpr const char* kTouchExtensions = "sudo touch /System/Library/Extensions";
constexpr const char* kExtensionsFolder = "/System/Library/Extensions";

struct State {
    std::mutex lock;
    std::set<const AuthorizationOpaqueRef*> live;
    AuthorizationToolRunner runner;
};

State& state()
{
    static State s;
    return s;
}

bool isLive(AuthorizationRef ref)
{
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return ref != nullptr && s.live.count(ref) != 0;
}

// The root named by the environment, or the one the running program was installed into.
std::optional<std::string> findInstallRoot()
{
    std::error_code error;
    fs::path root;
    const char* named = std::getenv(kAuthorizationInstallRootVariable);
    if (named != nullptr && named[0] != '\0') {
        root = named;
    } else {
        const fs::path program = fs::read_symlink("/proc/self/exe", error);
        if (error)
            return std::nullopt;
        const fs::path macos = program.parent_path();
        const fs::path contents = macos.parent_path();
        const fs::path bundle = contents.parent_path();
        const fs::path applications = bundle.parent_path();
        if (macos.filename() != "MacOS" || contents.filename() != "Contents" ||
            bundle.extension() != ".app" || applications.filename() != "Applications")
            return std::nullopt;
        root = applications.parent_path();
    }
    const fs::path canonical = fs::canonical(root, error);
    if (error || !fs::is_directory(canonical, error))
        return std::nullopt;
    return canonical.string();
}

bool insideRoot(const std::string& root, const fs::path& path)
{
    const std::string p = path.string();
    if (root == "/")
        return true;
    return p == root || (p.size() > root.size() && p.compare(0, root.size(), root) == 0 &&
                         p[root.size()] == '/');
}

// A Mac path inside the root: absolute, no "." or ".." among its parts, and the deepest folder
// of it that exists, links followed, still inside the root (a link cannot lead out of it).
std::optional<std::string> resolve(const std::string& root, const std::string& macPath)
{
    if (macPath.empty() || macPath[0] != '/')
        return std::nullopt;
    std::stringstream parts(macPath);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part == "." || part == "..")
            return std::nullopt;
    }
    const fs::path resolved = root == "/" ? fs::path(macPath) : fs::path(root + macPath);
    // The path itself may be a link (rm removes the link); the folders above it must not lead out.
    fs::path folder = resolved.parent_path();
    std::error_code error;
    while (!fs::exists(folder, error)) {
        if (folder == folder.parent_path())
            return std::nullopt;
        folder = folder.parent_path();
    }
    const fs::path real = fs::canonical(folder, error);
    if (error || !insideRoot(root, real))
        return std::nullopt;
    return resolved.string();
}

bool exists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// Starts `argv` with standard input from /dev/null and standard output to `outFd` (or
// /dev/null), and waits: its exit status, -1 when it could not start or did not exit.
int spawnAndWait(const std::vector<std::string>& argv, int outFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> words;
    for (const std::string& w : argv)
        words.push_back(const_cast<char*>(w.c_str()));
    words.push_back(nullptr);
    pid_t child = 0;
    const int rc = posix_spawn(&child, words[0], &actions, nullptr, words.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Whether the package database under the root still knows `id`, asked of its own pkgutil
// (no rights needed to read it). Empty when the answer is unknown.
std::optional<bool> databaseKnows(const std::string& pkgutil, const std::string& id)
{
    // A memory file takes the listing, so the tool never waits on a reader.
    const int listingFd = memfd_create("pkgutil-pkgs", MFD_CLOEXEC);
    if (listingFd < 0)
        return std::nullopt;
    const int status = spawnAndWait({pkgutil, "--pkgs"}, listingFd);
    std::string listing(kMaxToolOutput, '\0');
    const ssize_t n = status == 0 ? pread(listingFd, listing.data(), listing.size(), 0) : -1;
    close(listingFd);
    if (n < 0 || size_t(n) == listing.size())
        return std::nullopt;
    listing.resize(size_t(n));
    std::stringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == id)
            return true;
    }
    return false;
}

enum class Plan { Run, AlreadyDone, Refused };

// The Mac command as this system runs it. A removal whose targets are all absent is already
// done: the component was removed before, which is what the command is for.
Plan plan(const std::string& root, const std::string& tool, const std::vector<std::string>& args,
          AuthorizationCommand& command)
{
    command.clear();
    if (tool == kSystemRm) {
        command.push_back(kSystemRm);
        bool options = true;
        size_t present = 0;
        for (const std::string& a : args) {
            if (options && a == "--") {
                options = false;
                command.push_back(a);
            } else if (options && a.size() > 1 && a[0] == '-') {
                command.push_back(a);
            } else {
                options = false;
                const std::optional<std::string> path = resolve(root, a);
                if (!path)
                    return Plan::Refused;
                if (exists(*path)) {
                    command.push_back(*path);
                    ++present;
                }
            }
        }
        return present == 0 ? Plan::AlreadyDone : Plan::Run;
    }
    if (tool == "/bin/bash") {
        if (args.size() != 2 || args[0] != "-c" || args[1] != kTouchExtensions)
            return Plan::Refused;
        const std::optional<std::string> folder = resolve(root, kExtensionsFolder);
        if (!folder)
            return Plan::Refused;
        // -c: a folder that is not there is left so, as touch would not make a folder anyway.
        command = {kSystemTouch, "-c", *folder};
        return Plan::Run;
    }
    // Any other tool is the one installed under the root, and so are the paths it is given.
    const std::optional<std::string> resolvedTool = resolve(root, tool);
    if (!resolvedTool)
        return Plan::Refused;
    command.push_back(*resolvedTool);
    for (const std::string& a : args) {
        if (!a.empty() && a[0] == '/') {
            const std::optional<std::string> path = resolve(root, a);
            if (!path)
                return Plan::Refused;
            command.push_back(*path);
        } else {
            command.push_back(a);
        }
    }
    if (tool == kPkgutil) {
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == "--forget" && databaseKnows(*resolvedTool, args[i + 1]) == false)
                return Plan::AlreadyDone;
        }
    }
    return Plan::Run;
}

} // namespace

OSStatus _AuthorizationRunTool(const AuthorizationCommand& command)
{
    if (command.empty() || command[0].empty() || command[0][0] != '/')
        return errAuthorizationToolExecuteFailure;
    std::vector<std::string> argv;
    const bool asAdministrator = geteuid() != 0;
    if (asAdministrator)
        argv.push_back(kPkexec);
    argv.insert(argv.end(), command.begin(), command.end());
    const int status = spawnAndWait(argv, -1);
    if (status == 0)
        return errAuthorizationSuccess;
    // pkexec's own statuses: the password dialog was dismissed, or the right was not given.
    if (asAdministrator && status == 126)
        return errAuthorizationCanceled;
    if (asAdministrator && status == 127)
        return errAuthorizationDenied;
    return errAuthorizationToolExecuteFailure;
}

AuthorizationToolRunner _AuthorizationSetToolRunner(AuthorizationToolRunner runner)
{
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    AuthorizationToolRunner old = std::move(s.runner);
    s.runner = std::move(runner);
    return old;
}

OSStatus AuthorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment*,
                             AuthorizationFlags flags, AuthorizationRef* authorization)
{
    if (authorization == nullptr)
        return errAuthorizationInvalidPointer;
    if ((flags & ~kCreateFlags) != 0)
        return errAuthorizationInvalidFlags;
    if (rights != nullptr && rights->count > 0 && rights->items == nullptr)
        return errAuthorizationInvalidSet;
    // Rights are not asked for here: the administrator's password is asked when a tool runs.
    std::optional<std::string> root = findInstallRoot();
    if (!root)
        return errAuthorizationInternal;
    auto* ref = new AuthorizationOpaqueRef{std::move(*root)};
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.live.insert(ref);
    *authorization = ref;
    return errAuthorizationSuccess;
}

OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags)
{
    if ((flags & ~AuthorizationFlags(kAuthorizationFlagDestroyRights)) != 0)
        return errAuthorizationInvalidFlags;
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (authorization == nullptr || s.live.erase(authorization) == 0)
        return errAuthorizationInvalidRef;
    delete authorization;
    return errAuthorizationSuccess;
}

OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                            AuthorizationFlags options, char* const* arguments,
                                            FILE** communicationsPipe)
{
    if (!isLive(authorization))
        return errAuthorizationInvalidRef;
    if (pathToTool == nullptr || communicationsPipe != nullptr)
        return errAuthorizationInvalidPointer;
    if (options != kAuthorizationFlagDefaults)
        return errAuthorizationInvalidFlags;
    std::vector<std::string> args;
    for (size_t i = 0; arguments != nullptr && arguments[i] != nullptr; ++i) {
        if (i == kMaxArguments || strnlen(arguments[i], kMaxArgumentLength + 1) > kMaxArgumentLength)
            return errAuthorizationToolExecuteFailure;
        args.emplace_back(arguments[i]);
    }
    if (strnlen(pathToTool, kMaxArgumentLength + 1) > kMaxArgumentLength)
        return errAuthorizationToolExecuteFailure;
    AuthorizationCommand command;
    switch (plan(authorization->root, pathToTool, args, command)) {
    case Plan::Refused:
        return errAuthorizationToolExecuteFailure;
    case Plan::AlreadyDone:
        return errAuthorizationSuccess;
    case Plan::Run:
        break;
    }
    AuthorizationToolRunner runner;
    {
        State& s = state();
        std::lock_guard<std::mutex> guard(s.lock);
        runner = s.runner;
    }
    return runner ? runner(command) : _AuthorizationRunTool(command);
}
