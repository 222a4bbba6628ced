#include "uninstaller/controller.h"

#include <stdio.h>
#include <unistd.h>

namespace {

// Between steps: the system settles after each removal.
// A component counts as removed only when every one of its steps succeeded: a piece that could
// not be removed must not end with the message that all of it was. Every step still runs.
constexpr useconds_t kPause = 200000;

// The receipts' package identifiers: the kernel driver's name and the component.
#define PACKAGE_ID(component) "com.quenta.pkg.TARSEL." component

} // namespace

const NSClassRegistration<controller> controller::registration =
    NSClassRegistration<controller>("controller")
        .outlet("textField", &controller::textField)
        .outlet("cancelButton", &controller::cancelButton)
        .outlet("uninstallButton", &controller::uninstallButton)
        .action("doCancel:", &controller::doCancel)
        .action("doUninstall:", &controller::doUninstall);

controller* controller::init()
{
    if (NSObject::init() != nullptr)
        authorizationRef = nullptr;
    return this;
}

void controller::awakeFromNib()
{
    setText("Click 'Uninstall' to\ncompletely remove\nthe TARSEL audio drivers.");
}

void controller::doCancel(id)
{
    NSApp->terminate(this);
}

void controller::doUninstall(id)
{
    const OSStatus status = AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment,
                                                kAuthorizationFlagDefaults, &authorizationRef);
    if (status != errAuthorizationSuccess) {
        setText("Failed to create the\nauthorization reference.");
        fprintf(stderr, "Failed to create the\nauthref: %ld.\n", long(status));
        return;
    }
    if (removeAll()) {
        setText("The driver has been\ncompletly removed.\nYou should reboot your\ncomputer now.");
        uninstallButton->setEnabled(NO);
    } else {
        setText("The driver has NOT\nbeen removed.");
    }
    AuthorizationFree(authorizationRef, kAuthorizationFlagDestroyRights);
    authorizationRef = nullptr;
}

void controller::setText(const char* text)
{
    textField->setStringValue(text);
}

BOOL controller::removeAll()
{
    return removeDriver() && removeHal() && removeControl() && removeMidi() && removeTemplates();
}

OSStatus controller::run(const char* tool, const char* const* arguments)
{
    return AuthorizationExecuteWithPrivileges(authorizationRef, tool, kAuthorizationFlagDefaults,
                                              const_cast<char* const*>(arguments), nullptr);
}

BOOL controller::removeDriver()
{
    setText("removing USB drivers.");
    const char* kext[] = {"-r", "/System/Library/Extensions/TARSEL.kext", nullptr};
    OSStatus status = run("/bin/rm", kext);
    bool removed = status == 0;
    if (status != 0)
        NSLog("\nError removing the\ndriver %d", int(status));
    usleep(kPause);
    const char* receipt[] = {"-r", "/Library/Receipts/TARSEL_driver.pkg", nullptr};
    status = run("/bin/rm", receipt);
    removed = removed && status == 0;
    if (status != 0)
        NSLog("\nError removing the\npackage (< 10.6) %d", int(status));
    usleep(kPause);
    const char* forget[] = {"-f", "--forget", PACKAGE_ID("driver"), nullptr};
    status = run("/usr/sbin/pkgutil", forget);
    removed = removed && status == 0;
    if (status != 0)
        NSLog("\nError forgetting receipt %d", int(status));
    const char* touch[] = {"-c", "sudo touch /System/Library/Extensions", nullptr};
    status = run("/bin/bash", touch);
    removed = removed && status == 0;
    if (status != 0)
        NSLog("\nError removing the\nExtension package %d", int(status));
    return removed;
}

BOOL controller::removeHal()
{
    setText("removing audio drivers.");
    usleep(kPause);
    const char* plugin[] = {"-r", "/Library/Audio/Plug-Ins/HAL/TARSEL.plugin", nullptr};
    OSStatus status = run("/bin/rm", plugin);
    bool removed = status == 0;
    if (status != 0)
        NSLog("\nError removing the\nplugin %d", int(status));
    const char* receipt[] = {"-r", "/Library/Receipts/TARSEL_plugin.pkg", nullptr};
    status = run("/bin/rm", receipt);
    removed = removed && status == 0;
    if (status != 0)
        NSLog("\nError removing the\nplugin package %s %d", receipt[1], int(status));
    usleep(kPause);
    const char* forget[] = {"-f", "--forget", PACKAGE_ID("plugin"), nullptr};
    status = run("/usr/sbin/pkgutil", forget);
    removed = removed && status == 0;
    if (status != 0)
        NSLog("\nError forgetting receipt %d", int(status));
    return removed;
}

BOOL controller::removeControl()
{
    setText("removing control application.");
    usleep(kPause);
    const char* application[] = {"-r", "/Applications/TARSELControlApp.app", nullptr};
    OSStatus status = run("/bin/rm", application);
    bool removed = status == 0;
    if (status != 0)
        NSLog("\nError removing the\napplication %d", int(status));
    const char* receipt[] = {"-r", "/Library/Receipts/TARSEL_control.pkg", nullptr};
    status = run("/bin/rm", receipt);
    removed = removed && status == 0;
    if (status != 0)
        NSLog("\nError removing the application package %d", int(status));
    usleep(kPause);
    const char* forget[] = {"-f", "--forget", PACKAGE_ID("control"), nullptr};
    status = run("/usr/sbin/pkgutil", forget);
    removed = removed && status == 0;
    if (status != 0)
        NSLog("\nError forgetting receipt %d", int(status));
    return removed;
}

BOOL controller::removeMidi()
{
    setText("removing MIDI drivers.");
    usleep(kPause);
    const char* driver[] = {"-r", "/Library/Audio/MIDI Drivers/TARSEL MIDI Driver.plugin", nullptr};
    OSStatus status = run("/bin/rm", driver);
    bool removed = status == 0;
    if (status != 0)
        NSLog("\nError removing the\nMIDI driver %d", int(status));
    const char* receipt[] = {"-r", "/Library/Receipts/TARSEL_midi.pkg", nullptr};
    status = run("/bin/rm", receipt);
    removed = removed && status == 0;
    if (status != 0)
        NSLog("\nError removing the MIDI package %d", int(status));
    usleep(kPause);
    const char* forget[] = {"-f", "--forget", PACKAGE_ID("midi"), nullptr};
    status = run("/usr/sbin/pkgutil", forget);
    removed = removed && status == 0;
    if (status != 0)
        NSLog("\nError forgetting receipt %d", int(status));
    return removed;
}

BOOL controller::removeTemplates()
{
    return YES;
}
