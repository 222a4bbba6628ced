#pragma once
// Private to the platform, for tests: the seam behind AuthorizationExecuteWithPrivileges. The
// stand-in turns each call into a command of this system (the tool and its arguments, every
// Mac path resolved inside the install root) and hands it to a runner, which runs it with
// administrator rights and waits for it.
#include <Security/Authorization.h>

#include <functional>
#include <string>
#include <vector>

using AuthorizationCommand = std::vector<std::string>;
// Runs one command and answers an Authorization status: 0 when the tool exited 0.
using AuthorizationToolRunner = std::function<OSStatus(const AuthorizationCommand&)>;

// Installs `runner` for every later call and answers the one it replaces; an empty one
// restores the system's runner. Set it while no call runs.
AuthorizationToolRunner _AuthorizationSetToolRunner(AuthorizationToolRunner runner);

// The system's runner: the tool itself when the process is root, else through pkexec, which
// asks for the administrator's password. A test runner may pass commands on to it.
OSStatus _AuthorizationRunTool(const AuthorizationCommand& command);

// Names the install root the Mac paths are resolved in; without it, the root is the folder
// that holds Applications/<name>.app/Contents/MacOS/<program>, the running program.
constexpr const char* kAuthorizationInstallRootVariable = "TARSEL_INSTALL_ROOT";
