#pragma once
// Private to the platform and its windows: the main interface description as read from its
// GtkBuilder file, the objects a loaded description made, and the application's end.
#include <Cocoa/Cocoa.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct InterfaceSignal {
    std::string name, handler, object;
};

struct InterfaceObject {
    std::string className, id;
    std::map<std::string, std::string> properties; // the object's own, not its packing
    std::vector<InterfaceSignal> signals;
};

// Every <object> of the description, in document order. False, with the reason, when the file
// cannot be read (at most 1 MiB) or is not well formed.
bool readInterfaceDescription(const std::string& path, std::vector<InterfaceObject>& objects,
                              std::string& error);

// A loaded description: the controls a window made for it, the custom objects (class
// "NSCustomObject", property "class-name") made by their registered classes, with their
// outlets (property "outlets": "outlet:ID ...") connected, and their actions (a signal whose
// handler is the selector and whose object is the custom object's ID). Every custom object has
// had awakeFromNib when load returns.
class CocoaInterface {
public:
    // The window's control for a description object, or null for one that is no control.
    using ControlMaker = std::function<NSControl*(const InterfaceObject&)>;

    static std::unique_ptr<CocoaInterface> load(const std::string& path, const ControlMaker& makeControl,
                                                std::string& error);
    ~CocoaInterface();
    CocoaInterface(const CocoaInterface&) = delete;
    CocoaInterface& operator=(const CocoaInterface&) = delete;

    const std::vector<InterfaceObject>& description() const { return m_description; }
    NSObject* object(const std::string& id) const;
    NSControl* control(const std::string& id) const;
    // Sends the actions connected to signal `signal` of control `id`, with it as the sender;
    // false when none is connected.
    bool activate(const std::string& id, const std::string& signal) const;

private:
    CocoaInterface() = default;
    struct Action {
        std::string control, signal;
        NSObject* target;
        std::function<void(NSObject&, id)> send;
    };
    std::vector<InterfaceObject> m_description;
    std::map<std::string, NSObject*> m_objects;
    std::vector<Action> m_actions;
};

// What NSApplication's terminate: does; null restores the default, which exits the process.
void _NSApplicationSetTerminateHandler(std::function<void(id sender)> handler);

// Runs the description without a display (see NSApplicationMain): 0 after the last button,
// or once the application terminated; 1 when the description cannot be loaded, 2 for a button
// that is not in it. A disabled button is said on standard error and not pressed.
int _NSApplicationRunHeadless(const std::string& descriptionPath, const std::vector<std::string>& buttons,
                              const char* programName);
