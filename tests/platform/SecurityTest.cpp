// Authorization: how a Mac command becomes a command of this system inside the install root
// (through a recording runner), and the system's runner judging a tool by its exit status. A
// root that is not there, and the root a program lies in, are the uninstaller's tests.
#include <Security/Security.h>

#include "platform/src/Security/AuthorizationRunner.h"
#include "tests/support/Subprocess.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

class Authorization : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/tarsel-auth-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_folder = fs::canonical(folder);
        m_root = m_folder / "root";
        fs::create_directories(m_root / "Library/Receipts/A.pkg");
        fs::create_directories(m_folder / "outside/TARSEL.plugin");
        fs::create_symlink(m_folder / "outside", m_root / "Library/Linked");
        setenv(kAuthorizationInstallRootVariable, m_root.c_str(), 1);
        _AuthorizationSetToolRunner([this](const AuthorizationCommand& c) {
            std::string text;
            for (const std::string& w : c)
                text += (text.empty() ? "" : " ") + w;
            m_commands.push_back(text);
            return OSStatus(errAuthorizationSuccess);
        });
        ASSERT_EQ(AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment, kAuthorizationFlagDefaults, &m_ref), 0);
    }
    void TearDown() override
    {
        if (m_ref != nullptr) {
            EXPECT_EQ(AuthorizationFree(m_ref, kAuthorizationFlagDestroyRights), 0);
        }
        _AuthorizationSetToolRunner(nullptr);
        unsetenv(kAuthorizationInstallRootVariable);
        fs::remove_all(m_folder);
    }
    OSStatus execute(const char* tool, std::vector<const char*> args)
    {
        args.push_back(nullptr);
        return AuthorizationExecuteWithPrivileges(m_ref, tool, kAuthorizationFlagDefaults,
                                                  const_cast<char* const*>(args.data()), nullptr);
    }
    std::string inRoot(const std::string& macPath) const { return m_root.string() + macPath; }

    fs::path m_folder, m_root;
    AuthorizationRef m_ref = nullptr;
    std::vector<std::string> m_commands;
};

struct CommandCase {
    const char* tool;
    std::vector<const char*> args;
    OSStatus status;
    std::string ran; // the command that reached the runner ("ROOT" for the root), "" for none
};

TEST_F(Authorization, MacCommandsRunInsideTheRootOrNotAtAll)
{
    // The uninstaller's own commands, and what it finds already gone, are its tests'
    // (tests/uninstaller); here a mixed removal and every way out of the root.
    const std::vector<CommandCase> cases = {
        {"/bin/rm", {"-r", "/Library/Receipts/A.pkg", "/Library/Receipts/Gone.pkg"}, 0,
         "/bin/rm -r ROOT/Library/Receipts/A.pkg"},
        // Through a link, "..", or a path relative to somewhere else.
        {"/bin/rm", {"-r", "/Library/Linked/TARSEL.plugin"}, errAuthorizationToolExecuteFailure, ""},
        {"/bin/rm", {"-r", "/Library/../../etc"}, errAuthorizationToolExecuteFailure, ""},
        {"/bin/rm", {"-r", "Library/Receipts/A.pkg"}, errAuthorizationToolExecuteFailure, ""},
        {"/bin/bash", {"-c", "rm -rf /"}, errAuthorizationToolExecuteFailure, ""},
        {"/bin/bash", {"-c", "sudo touch /System/Library/Extensions; rm -rf /"}, errAuthorizationToolExecuteFailure, ""},
        {"/usr/bin/../../etc/tool", {}, errAuthorizationToolExecuteFailure, ""},
    };
    for (const CommandCase& c : cases) {
        m_commands.clear();
        std::string ran = c.ran;
        if (const size_t at = ran.find("ROOT"); at != std::string::npos)
            ran.replace(at, 4, m_root.string());
        EXPECT_EQ(execute(c.tool, c.args), c.status) << c.tool << " " << c.args.back();
        EXPECT_EQ(m_commands, ran.empty() ? std::vector<std::string>{} : std::vector<std::string>{ran})
            << c.tool << " " << c.args.back();
    }
    EXPECT_TRUE(fs::exists(m_folder / "outside/TARSEL.plugin"));
}

TEST(AuthorizationRunner, JudgesAToolByItsExitStatus)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the system's runner goes through pkexec when not root";
    EXPECT_EQ(_AuthorizationRunTool({"/bin/sh", "-c", "exit 0"}), errAuthorizationSuccess);
    EXPECT_EQ(_AuthorizationRunTool({"/bin/sh", "-c", "exit 3"}), errAuthorizationToolExecuteFailure);
    EXPECT_EQ(_AuthorizationRunTool({"/bin/sh", "-c", "kill -9 $$"}), errAuthorizationToolExecuteFailure);
    EXPECT_EQ(_AuthorizationRunTool({"/no/such/tool"}), errAuthorizationToolExecuteFailure);
    EXPECT_EQ(_AuthorizationRunTool({}), errAuthorizationToolExecuteFailure);
}

} // namespace
