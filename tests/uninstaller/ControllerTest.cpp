// The uninstaller's controller on the in-memory window, loaded from the bundle's interface
// description, against a root installed with cmake --install, with runners of the tests' own
// through the Security seam (the installed program with the system's runner is InstallTest's).
#include "uninstaller/controller.h"

#include "platform/src/Cocoa/InMemoryInterface.h"
#include "platform/src/Security/AuthorizationRunner.h"
#include "tests/uninstaller/InstalledRoot.h"

#include <functional>

namespace {

namespace fs = std::filesystem;

const std::string kFirst = "Click 'Uninstall' to\ncompletely remove\nthe TARSEL audio drivers.";
const std::string kDone = "The driver has been\ncompletly removed.\nYou should reboot your\ncomputer now.";
const std::string kNotDone = "The driver has NOT\nbeen removed.";
const std::vector<std::string> kComponents = {"removing USB drivers.", "removing audio drivers.",
                                              "removing control application.", "removing MIDI drivers."};

std::string joined(const AuthorizationCommand& command)
{
    std::string text;
    for (const std::string& word : command)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// A runner of the test's own while it lives; it keeps every command it is given.
class Runner {
public:
    explicit Runner(std::function<OSStatus(const AuthorizationCommand&)> answer) : m_answer(std::move(answer))
    {
        _AuthorizationSetToolRunner([this](const AuthorizationCommand& c) {
            commands.push_back(joined(c));
            return m_answer(c);
        });
    }
    ~Runner() { _AuthorizationSetToolRunner(nullptr); }
    std::vector<std::string> commands;

private:
    std::function<OSStatus(const AuthorizationCommand&)> m_answer;
};

class Uninstaller : public installtest::InstalledRootTest {
protected:
    void SetUp() override
    {
        InstalledRootTest::SetUp();
        setenv(kAuthorizationInstallRootVariable, root().c_str(), 1);
        m_real = fs::canonical(root()).string();
        std::string error;
        m_window = InMemoryInterface::load(TARSEL_UNINSTALLER_UI, error);
        ASSERT_NE(m_window, nullptr) << error;
    }
    void TearDown() override
    {
        m_window.reset();
        unsetenv(kAuthorizationInstallRootVariable);
        InstalledRootTest::TearDown();
    }
    // Presses Uninstall; answers what it wrote on standard error.
    std::string uninstall()
    {
        testing::internal::CaptureStderr();
        EXPECT_TRUE(m_window->press("uninstall"));
        return testing::internal::GetCapturedStderr();
    }
    std::vector<std::string> texts() const { return m_window->texts("message"); }
    // The driver's four commands as the system runs them.
    std::vector<std::string> driverCommands() const
    {
        return {"/bin/rm -r " + m_real + "/System/Library/Extensions/TARSEL.kext",
                "/bin/rm -r " + m_real + "/Library/Receipts/TARSEL_driver.pkg",
                m_real + "/usr/sbin/pkgutil -f --forget com.quenta.pkg.TARSEL.driver",
                "/usr/bin/touch -c " + m_real + "/System/Library/Extensions"};
    }

    std::string m_real;
    std::unique_ptr<InMemoryInterface> m_window;
};

// Texts in the order they appear in `text`; false at the first missing one.
::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& parts)
{
    size_t at = 0;
    for (const std::string& p : parts) {
        at = text.find(p, at);
        if (at == std::string::npos)
            return ::testing::AssertionFailure() << "no \"" << p << "\" (in order) in:\n" << text;
        at += p.size();
    }
    return ::testing::AssertionSuccess();
}

TEST_F(Uninstaller, TheWindowShowsTheFirstMessageAndCancelQuits)
{
    EXPECT_EQ(m_window->title(), "TARSEL Uninstaller");
    EXPECT_EQ(texts(), (std::vector<std::string>{"", kFirst}));
    EXPECT_TRUE(m_window->enabled("uninstall"));
    EXPECT_TRUE(m_window->press("cancel"));
    ASSERT_EQ(m_window->terminations().size(), 1u);
    EXPECT_EQ(m_window->terminations()[0], m_window->object("controller"));
    EXPECT_EQ(present(), installtest::kRemovedPaths);
}

TEST_F(Uninstaller, AFailedAuthorizationRemovesNothingAndSaysSo)
{
    setenv(kAuthorizationInstallRootVariable, (root() / "not-there").c_str(), 1);
    Runner runner([](const AuthorizationCommand&) { return OSStatus(errAuthorizationSuccess); });
    EXPECT_EQ(uninstall(), "Failed to create the\nauthref: -60008.\n");
    EXPECT_TRUE(runner.commands.empty());
    EXPECT_EQ(texts(), (std::vector<std::string>{"", kFirst, "Failed to create the\nauthorization reference."}));
    EXPECT_TRUE(m_window->enabled("uninstall"));
}

// One failing step (the commands that contain `failing`), every step refused, or none; every
// other step succeeds without running anything.
struct StepCase {
    const char* name;
    const char* failing;
    OSStatus status;                 // what the failing steps answer
    size_t components;               // the components the removal reached
    size_t commands;                 // the commands that reached the runner
    std::vector<const char*> logged; // the failing steps' log lines, in order
};

void PrintTo(const StepCase& c, std::ostream* out)
{
    *out << c.name;
}

class FailingStep : public Uninstaller, public ::testing::WithParamInterface<StepCase> {};

TEST_P(FailingStep, DecidesItsComponentAndTheRemovalStopsThere)
{
    const StepCase& c = GetParam();
    Runner runner([&](const AuthorizationCommand& command) {
        return joined(command).find(c.failing) != std::string::npos ? c.status : OSStatus(errAuthorizationSuccess);
    });
    const std::string log = uninstall();
    const bool failed = !c.logged.empty();
    ASSERT_EQ(runner.commands.size(), c.commands);
    // The driver's commands come first, each as the system runs it.
    EXPECT_EQ(std::vector<std::string>(runner.commands.begin(), runner.commands.begin() + 4), driverCommands());
    std::vector<std::string> expected = {"", kFirst};
    expected.insert(expected.end(), kComponents.begin(), kComponents.begin() + long(c.components));
    expected.push_back(failed ? kNotDone : kDone);
    EXPECT_EQ(texts(), expected);
    EXPECT_EQ(m_window->enabled("uninstall"), failed);
    EXPECT_TRUE(inOrder(log, std::vector<std::string>(c.logged.begin(), c.logged.end())));
    EXPECT_EQ(log.empty(), !failed) << log;
}

constexpr OSStatus kFails = errAuthorizationToolExecuteFailure;

INSTANTIATE_TEST_SUITE_P(
    Steps, FailingStep,
    ::testing::Values(
        StepCase{"None", "\x01", kFails, 4, 13, {}},
        // Refused rights fail every step of the driver.
        StepCase{"AllRefused",
                 "/",
                 errAuthorizationDenied,
                 1,
                 4,
                 {"\nError removing the\ndriver -60005\n", "\nError removing the\npackage (< 10.6) -60005\n",
                  "\nError forgetting receipt -60005\n", "\nError removing the\nExtension package -60005\n"}},
        // Not a component's last step: it still fails the component.
        StepCase{"KextRemoval", "TARSEL.kext", kFails, 1, 4, {"\nError removing the\ndriver -60031\n"}},
        StepCase{"PlugInReceipt", "TARSEL_plugin.pkg", kFails, 2, 7,
                 {"\nError removing the\nplugin package /Library/Receipts/TARSEL_plugin.pkg -60031\n"}},
        StepCase{"ControlApplication", "TARSELControlApp.app", kFails, 3, 10, {"\nError removing the\napplication -60031\n"}},
        StepCase{"MidiReceipt", "TARSEL.midi", kFails, 4, 13, {"\nError forgetting receipt -60031\n"}}),
    [](const ::testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

} // namespace
