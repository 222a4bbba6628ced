// The model behind the Carbon toolkit calls: windows, controls, menus, handlers and timers as
// plain data on the main thread. A nib is a GtkBuilder interface description; the model reads
// the objects it knows from it (see NibReader.cpp), so the in-memory window and the GTK window
// hold the same controls.
//
// A view (the GTK window) may be attached: it shows the model and reports what the user does
// through the driving calls at the end of this header. Without a view the window lives in
// memory only, which is what the tests and the headless mode use.
//
// Naming in the interface description:
//   - a control's object id is "<signature>-<number>", e.g. "popb-202", "stxt-1000";
//   - the kind follows the class: GtkComboBoxText popup button, GtkLabel static text,
//     GtkButton push button, GtkScale slider, GtkCheckButton checkbox, GtkNotebook tab control,
//     a notebook page (any container with a "upan-<n>" id) user pane, GtkLevelBar level
//     indicator;
//   - the command a control or menu item sends is the handler name of its first signal: four
//     characters ("teop") or a decimal number ("51");
//   - a menu's ID is the number after "menu-" in its GtkMenu id ("menu-128"); the menu bar is a
//     GtkMenuBar whose id is the name given to SetMenuBarFromNib.
//   - the GTK window (gtk/GtkView.h) packs the menu bar into a GtkBox "menubar-slot" of the
//     window, or else at the top of the window's vertical GtkBox.
#pragma once
#include <Carbon/HIToolbox.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarsel::toolbox {

enum class ControlKind {
    PopupButton,
    StaticText,
    PushButton,
    Slider,
    CheckBox,
    Tabs,
    UserPane,
    LevelIndicator,
};

struct MenuItem {
    std::string text;
    UInt32 command = 0;
    bool checked = false;
};

struct Window;

struct Menu {
    Window* window = nullptr; // the window it belongs to, once it belongs to one
    MenuID id = 0;
    std::string title;
    std::vector<MenuItem> items;
};

struct Control {
    Window* window = nullptr;
    ControlID id{};
    ControlKind kind = ControlKind::StaticText;
    std::string name;        // object id in the interface description
    SInt16 value = 0;
    SInt16 minimum = 0;
    SInt16 maximum = 0;
    bool enabled = true;
    bool visible = true;     // its own flag; shown only when its panes are visible too
    std::string text;        // static text, push-button title
    bool hasFontStyle = false;
    ControlFontStyleRec fontStyle{};
    std::unique_ptr<Menu> popup; // popup buttons only
    UInt32 command = 0;      // sent when the user acts on it; 0 = none
    Control* pane = nullptr; // the user pane that holds it, if any
    unsigned drawCount = 0;  // Draw1Control and DrawControls calls that reached it
};

struct Window {
    std::string name;
    std::string title;
    bool shown = false;
    bool closed = false;
    std::vector<std::unique_ptr<Control>> controls;
    std::vector<std::unique_ptr<Menu>> menuBar; // set by SetMenuBarFromNib
    unsigned drawCount = 0;                    // DrawControls calls
};

// True when the control and every pane around it are visible.
bool isShown(const Control& control);

// The window a nib made most recently (null before any); tests look at it.
Window* currentWindow();
Control* findControl(Window* window, OSType signature, SInt32 id);
Menu* findMenu(Window* window, MenuID id);

// Where nibs are looked up: by default <program>/../../Resources; tests point it elsewhere.
void setNibFolder(const std::string& folder);

// What the user does. Each delivers the control's or item's command to the window's command
// handlers as a kEventCommandProcess event, as the toolkit would, and returns the handlers'
// status (eventNotHandledErr when no handler took it).
OSStatus userSetValue(Control* control, SInt16 value); // popup item, slider, checkbox, tab
OSStatus userPress(Control* control);                  // push button; checkbox toggles
OSStatus userChooseMenuItem(Window* window, MenuID menu, MenuItemIndex item);
OSStatus sendCommand(Window* window, UInt32 commandID, UInt32 attributes = kHICommandFromControl,
                     MenuRef menu = nullptr, MenuItemIndex item = 0);
// An event without the direct-object parameter, to exercise a handler's failure path.
OSStatus sendBareCommandEvent(Window* window);
// Sends the window-closed event to its handlers, as the close box does.
void userCloseWindow(Window* window);

// Runs the main CFRunLoop for the given seconds (timers fire as they fall due) or until
// QuitApplicationEventLoop; tests drive a running application from timers and these calls.
void runEventLoopFor(double seconds);
// Calls fn on the main thread from the event loop after the given delay.
void callLater(double seconds, std::function<void()> fn);

// A view shows the model. It is told after every change of a window's state; the calls come
// on the main thread. Install the factory before the first CreateWindowFromNib.
class View {
public:
    virtual ~View() = default;
    virtual void windowCreated(Window& window, const std::string& nibPath) = 0;
    virtual void windowChanged(Window& window) = 0;   // title, shown, menu bar, DrawControls
    virtual void controlChanged(Control& control) = 0; // any field of the control
    virtual void menuChanged(Window& window, Menu& menu) = 0;
    virtual void windowDisposed(Window& window) = 0;
};
void setView(std::unique_ptr<View> view);

} // namespace tarsel::toolbox
