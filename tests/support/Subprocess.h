#pragma once
// Child programs for tests, always started with posix_spawn (never a bare fork in a threaded
// test): one that runs while the test goes on, and a run that collects both output streams.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include <string>
#include <system_error>
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

// Runs `program` to its end (killed after `limit`), its output collected through files of a
// folder of its own.
inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                             std::chrono::milliseconds limit = std::chrono::minutes(5))
{
    char folder[] = "/tmp/tarsel-run-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return {};
    ProgramRun run = BackgroundProgram(program, args, folder).finish(limit);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
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

} // namespace kexttest
