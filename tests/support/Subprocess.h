#pragma once
// Child programs for tests, always started with posix_spawn (never a bare fork in a threaded
// test): a run that collects both output streams.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include <string>
#include <vector>

extern char** environ;

namespace kexttest {

struct ProgramRun {
    int status = -1; // exit status, -1 when it did not exit normally or could not start
    std::string out, err;
};

// The program's name followed by its arguments, and the argv that points into them.
inline std::vector<std::string> commandLine(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

inline std::vector<char*> argvOf(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args)
{
    ProgramRun run;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0)
        return run;
    if (pipe(errPipe) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    std::vector<std::string> words = commandLine(program, args);
    std::vector<char*> argv = argvOf(words);
    pid_t child = 0;
    const int rc = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc == 0) {
        // Both streams at once, so that a child filling one pipe cannot block on it.
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        std::string* sinks[2] = {&run.out, &run.err};
        int open = 2;
        while (open > 0) {
            const int ready = poll(fds, 2, -1);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0)
                    continue;
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, size_t(n));
                } else {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        int status = 0;
        if (waitpid(child, &status, 0) == child)
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(outPipe[0]);
    close(errPipe[0]);
    return run;
}

// Runs `program` where no kernel driver answers: the daemon socket it is told of does not exist.
inline ProgramRun runWithoutDaemon(const std::string& program, const std::vector<std::string>& args)
{
    char folder[] = "/tmp/tarsel-nodaemon-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return {};
    const char* old = getenv("TARSEL_KEXT_SOCKET");
    const std::string saved = old != nullptr ? old : "";
    setenv("TARSEL_KEXT_SOCKET", (std::string(folder) + "/none.sock").c_str(), 1);
    ProgramRun run = runProgram(program, args);
    if (old != nullptr)
        setenv("TARSEL_KEXT_SOCKET", saved.c_str(), 1);
    else
        unsetenv("TARSEL_KEXT_SOCKET");
    rmdir(folder);
    return run;
}

// A run that printed the usage text of `program` and exited 0.
inline ::testing::AssertionResult showsUsage(const ProgramRun& run, const std::string& program)
{
    if (run.status == 0 && run.out.rfind("usage: " + program, 0) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit status " << run.status << ", output:\n" << run.out << run.err;
}

// A call a program refuses: its arguments, its exit status and the reason it gives.
struct Refusal {
    std::vector<std::string> args;
    int status;
    const char* reason;
};

// Runs `program` with each refusal's arguments: it exits with that status and says
// "NAME: reason" on standard error; `quiet`: nothing on standard output.
inline void expectRefusals(const std::string& program, const std::string& name,
                           const std::vector<Refusal>& refusals, bool quiet)
{
    for (const Refusal& r : refusals) {
        const ProgramRun run = runProgram(program, r.args);
        const std::string said = name + ": " + r.reason;
        EXPECT_EQ(run.status, r.status) << (r.args.empty() ? "" : r.args[0]);
        EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
        if (quiet) {
            EXPECT_TRUE(run.out.empty()) << run.out;
        }
    }
}

inline bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A program that runs while the test goes on, its output going to the files <tag>.out and
// <tag>.err in `folder`, its standard input `input` if given; killed if still running when it goes.
class BackgroundProgram {
public:
    BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::filesystem::path& folder, const std::string& tag = "child", int input = -1)
        : m_out(folder / (tag + ".out")), m_err(folder / (tag + ".err"))
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (input >= 0)
            posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> words = commandLine(program, args);
        std::vector<char*> argv = argvOf(words);
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            m_pid = 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BackgroundProgram()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    void interrupt() const
    {
        if (m_pid > 0)
            kill(m_pid, SIGINT);
    }
    // Waits at most `limit` for it to end (then kills it: `hung` says so); its exit status,
    // -1 when it did not exit normally, and its output.
    ProgramRun finish(std::chrono::milliseconds limit = std::chrono::minutes(5), bool* hung = nullptr)
    {
        ProgramRun run;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool ended = false;
        while (m_pid > 0 && !ended) {
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                ended = true;
            } else if (std::chrono::steady_clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (hung != nullptr)
            *hung = m_pid > 0 && !ended;
        if (ended)
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_pid = 0;
        run.out = slurp(m_out);
        run.err = slurp(m_err);
        return run;
    }

private:
    static std::string slurp(const std::filesystem::path& path)
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path m_out, m_err;
    pid_t m_pid = 0;
};

} // namespace kexttest
