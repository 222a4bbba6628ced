// Cocoa, as far as a one-window application uses it: objects, a text field and buttons, the
// application object, NSApplicationMain and NSLog. Where Cocoa takes an NSString, these take
// a UTF-8 C string.
//
// The main interface description (the bundle's Contents/Resources/<NSMainNibFile>.ui, a
// GtkBuilder file) creates the window and the custom objects it names by class, connects
// their outlets and actions, and sends them awakeFromNib. The Objective-C runtime finds a
// class, its outlets and its actions by name; here a class registers them (NSClassRegistration).
#pragma once
#include <MacTypes.h>

#include <functional>
#include <map>
#include <string>
#include <utility>

typedef signed char BOOL;
#define YES ((BOOL)1)
#define NO ((BOOL)0)

class NSObject {
public:
    virtual ~NSObject() = default;
    NSObject* init() { return this; }
    // Sent to every object the interface description made, once all are connected.
    virtual void awakeFromNib() {}
};
typedef NSObject* id;

// A control: its string value and whether it takes input. The windows behind it show both.
class NSControl : public NSObject {
public:
    virtual void setStringValue(const char* value);
    const char* stringValue() const { return m_value.c_str(); }
    virtual void setEnabled(BOOL enabled);
    BOOL isEnabled() const { return m_enabled; }

private:
    std::string m_value;
    BOOL m_enabled = YES;
};

class NSTextField : public NSControl {};
class NSButton : public NSControl {};

class NSApplication : public NSObject {
public:
    static NSApplication* sharedApplication();
    // Ends the application (the window's run loop stops, and the process exits).
    void terminate(id sender);
};
extern NSApplication* NSApp;

// Loads the main interface description of the program's bundle and runs the application;
// returns only when it cannot run. `--headless [BUTTON...]` runs it without a display: every
// text a text field shows is written to standard output, and the named buttons (by their IDs
// in the description) are pressed in order.
int NSApplicationMain(int argc, const char* argv[]);

// The text, formatted as printf does, on standard error after the time and the program's name.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What the interface description can do with a class: make an instance (allocated and sent
// init), set its outlets and send it its actions, each by name.
struct NSClassDescription {
    std::function<NSObject*()> make;
    // Answers false when the object is not of the outlet's class.
    std::map<std::string, std::function<bool(NSObject& owner, NSObject* object)>> outlets;
    std::map<std::string, std::function<void(NSObject& owner, id sender)>> actions;
};
void NSRegisterClass(const char* name, NSClassDescription description);
const NSClassDescription* NSClassDescriptionFor(const std::string& name);

// Registers class T under `name`, at program start when it is a static object:
//   NSClassRegistration<C>("C").outlet("field", &C::field).action("act:", &C::act)
template <class T>
class NSClassRegistration {
public:
    explicit NSClassRegistration(const char* name) : m_name(name)
    {
        m_description.make = [] { return static_cast<NSObject*>((new T)->init()); };
        NSRegisterClass(m_name, m_description);
    }
    template <class O>
    NSClassRegistration& outlet(const char* name, O* T::*member)
    {
        m_description.outlets[name] = [member](NSObject& owner, NSObject* object) {
            O* typed = dynamic_cast<O*>(object);
            if (object != nullptr && typed == nullptr)
                return false;
            static_cast<T&>(owner).*member = typed;
            return true;
        };
        NSRegisterClass(m_name, m_description);
        return *this;
    }
    NSClassRegistration& action(const char* selector, void (T::*method)(id))
    {
        m_description.actions[selector] = [method](NSObject& owner, id sender) {
            (static_cast<T&>(owner).*method)(sender);
        };
        NSRegisterClass(m_name, m_description);
        return *this;
    }

private:
    const char* m_name;
    NSClassDescription m_description;
};
