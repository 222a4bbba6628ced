#pragma once
// The uninstaller's window controller: it removes every installed piece of the driver suite
// (the kernel driver, the HAL plug-in, the control application, the MIDI driver and their
// receipts) with administrator rights, and says how that went in the message field.
#include <Cocoa/Cocoa.h>
#include <Security/Security.h>

class controller : public NSObject {
public:
    controller* init();
    void awakeFromNib() override;

    // Actions of the Cancel and Uninstall buttons.
    void doCancel(id sender);
    void doUninstall(id sender);

    void setText(const char* text);

    // Each answers true when it succeeded; removeAll stops at the first that does not.
    BOOL removeAll();
    BOOL removeDriver();
    BOOL removeHal();
    BOOL removeControl();
    BOOL removeMidi();
    BOOL removeTemplates();

private:
    // One privileged step: the tool and its arguments, ending in null.
    OSStatus run(const char* tool, const char* const* arguments);

    NSTextField* textField = nullptr;
    NSButton* cancelButton = nullptr;
    NSButton* uninstallButton = nullptr;
    AuthorizationRef authorizationRef = nullptr;

    static const NSClassRegistration<controller> registration;
};
