// The Carbon toolkit calls over the model of Toolbox.h. Everything here runs on the main thread.
#include "platform/src/Carbon/Toolbox.h"

#include "platform/src/Carbon/NibReader.h"

#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFRunLoop.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <unordered_set>

namespace tarsel::toolbox {
namespace {

struct Handler {
    EventHandlerUPP proc;
    std::vector<EventTypeSpec> types;
    void* userData;
};

struct Target {
    Window* window = nullptr;
    std::vector<std::unique_ptr<Handler>> handlers;
};

struct Nib {
    std::string path;
};

struct Event {
    UInt32 eventClass = 0;
    UInt32 eventKind = 0;
    bool hasCommand = false;
    HICommand command{};
};

struct Timer {
    CFRunLoopTimerRef timer = nullptr;
    EventLoopTimerUPP proc = nullptr;
    void* userData = nullptr;
};

struct State {
    std::vector<std::unique_ptr<Window>> windows;
    std::map<const Window*, std::unique_ptr<Target>> targets;
    std::unordered_set<const Control*> controls;
    std::unordered_set<const Menu*> menus;
    std::unordered_set<const Nib*> nibs;
    std::unordered_set<const Handler*> handlers;
    std::unordered_set<const Timer*> timers;
    std::vector<std::unique_ptr<Menu>> pendingMenuBar;
    std::unique_ptr<View> view;
    std::string nibFolder;
    Window* current = nullptr;
    int loopDepth = 0;
    bool quit = false;
};

State& state()
{
    static State* s = new State; // lives as long as the process: timers may fire late
    return *s;
}

Control* control(ControlRef ref)
{
    auto* c = reinterpret_cast<Control*>(ref);
    return c != nullptr && state().controls.count(c) != 0 ? c : nullptr;
}

Menu* menu(MenuRef ref)
{
    auto* m = reinterpret_cast<Menu*>(ref);
    return m != nullptr && state().menus.count(m) != 0 ? m : nullptr;
}

Window* window(WindowRef ref)
{
    auto* w = reinterpret_cast<Window*>(ref);
    for (auto& owned : state().windows)
        if (owned.get() == w)
            return w;
    return nullptr;
}

void changed(Control& c)
{
    if (state().view)
        state().view->controlChanged(c);
}

void changed(Menu& m)
{
    if (m.window == nullptr)
        return;
    for (auto& c : m.window->controls)
        if (c->popup.get() == &m) {
            changed(*c);
            return;
        }
    if (state().view)
        state().view->menuChanged(*m.window, m);
}

void changed(Window& w)
{
    if (state().view)
        state().view->windowChanged(w);
}

void registerWindow(Window& w)
{
    for (auto& c : w.controls) {
        state().controls.insert(c.get());
        if (c->popup)
            state().menus.insert(c->popup.get());
    }
    for (auto& m : w.menuBar)
        state().menus.insert(m.get());
}

void adoptMenuBar(Window& w)
{
    for (auto& m : w.menuBar)
        state().menus.erase(m.get());
    w.menuBar = std::move(state().pendingMenuBar);
    state().pendingMenuBar.clear();
    for (auto& m : w.menuBar) {
        m->window = &w;
        state().menus.insert(m.get());
    }
}

std::string fromPascal(ConstStr255Param text)
{
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text) + 1, text[0]);
}

std::string fromCF(CFStringRef text)
{
    if (text == nullptr)
        return {};
    char buffer[1024];
    return CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "";
}

std::string defaultNibFolder()
{
    char link[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", link, sizeof link - 1);
    if (n <= 0)
        return ".";
    std::string exe(link, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/../Resources";
}

OSStatus dispatch(Window& w, Event& event)
{
    auto it = state().targets.find(&w);
    if (it != state().targets.end()) {
        // The most recently installed handler is asked first, as the toolkit does. A handler
        // may install or remove handlers, so work from a copy of the list.
        std::vector<Handler*> handlers;
        for (auto& h : it->second->handlers)
            handlers.push_back(h.get());
        for (auto h = handlers.rbegin(); h != handlers.rend(); ++h) {
            if (state().handlers.count(*h) == 0)
                continue;
            const bool wanted = std::any_of((*h)->types.begin(), (*h)->types.end(), [&](const EventTypeSpec& t) {
                return t.eventClass == event.eventClass && t.eventKind == event.eventKind;
            });
            if (!wanted)
                continue;
            const OSStatus status = (*h)->proc(nullptr, reinterpret_cast<EventRef>(&event), (*h)->userData);
            if (status != eventNotHandledErr)
                return status;
        }
    }
    // The standard handler: the quit command ends the event loop.
    if (event.eventClass == kEventClassCommand && event.hasCommand && event.command.commandID == HIFourCC("quit")) {
        QuitApplicationEventLoop();
        return noErr;
    }
    return eventNotHandledErr;
}

SInt16 clampValue(const Control& c, SInt32 value)
{
    const SInt32 low = c.minimum;
    const SInt32 high = std::max<SInt32>(c.minimum, c.maximum);
    return static_cast<SInt16>(std::clamp(value, low, high));
}

void timerFired(CFRunLoopTimerRef, void* info)
{
    auto* t = static_cast<Timer*>(info);
    if (state().timers.count(t) != 0 && t->proc != nullptr)
        t->proc(reinterpret_cast<EventLoopTimerRef>(t), t->userData);
}

gboolean wakeFlag(gpointer data)
{
    *static_cast<bool*>(data) = true;
    return G_SOURCE_REMOVE;
}

} // namespace

bool isShown(const Control& c)
{
    for (const Control* p = &c; p != nullptr; p = p->pane)
        if (!p->visible)
            return false;
    return true;
}

Window* currentWindow() { return state().current; }

Control* findControl(Window* w, OSType signature, SInt32 id)
{
    if (window(reinterpret_cast<WindowRef>(w)) == nullptr)
        return nullptr;
    for (auto& c : w->controls)
        if (c->id.signature == signature && c->id.id == id)
            return c.get();
    return nullptr;
}

Menu* findMenu(Window* w, MenuID id)
{
    if (window(reinterpret_cast<WindowRef>(w)) == nullptr)
        return nullptr;
    for (auto& m : w->menuBar)
        if (m->id == id)
            return m.get();
    return nullptr;
}

void setNibFolder(const std::string& folder) { state().nibFolder = folder; }

void setView(std::unique_ptr<View> view) { state().view = std::move(view); }

OSStatus sendCommand(Window* w, UInt32 commandID, UInt32 attributes, MenuRef menuRef, MenuItemIndex item)
{
    if (window(reinterpret_cast<WindowRef>(w)) == nullptr)
        return errInvalidWindowRef;
    Event event;
    event.eventClass = kEventClassCommand;
    event.eventKind = kEventCommandProcess;
    event.hasCommand = true;
    event.command.attributes = attributes;
    event.command.commandID = commandID;
    event.command.menu.menuRef = menuRef;
    event.command.menu.menuItemIndex = item;
    return dispatch(*w, event);
}

OSStatus sendBareCommandEvent(Window* w)
{
    if (window(reinterpret_cast<WindowRef>(w)) == nullptr)
        return errInvalidWindowRef;
    Event event;
    event.eventClass = kEventClassCommand;
    event.eventKind = kEventCommandProcess;
    return dispatch(*w, event);
}

OSStatus userSetValue(Control* c, SInt16 value)
{
    if (control(reinterpret_cast<ControlRef>(c)) == nullptr)
        return errUnknownControl;
    c->value = clampValue(*c, value);
    changed(*c);
    return c->command == 0 ? eventNotHandledErr : sendCommand(c->window, c->command);
}

OSStatus userPress(Control* c)
{
    if (control(reinterpret_cast<ControlRef>(c)) == nullptr)
        return errUnknownControl;
    if (c->kind == ControlKind::CheckBox) {
        c->value = c->value == 0 ? 1 : 0;
        changed(*c);
    }
    return c->command == 0 ? eventNotHandledErr : sendCommand(c->window, c->command);
}

OSStatus userChooseMenuItem(Window* w, MenuID id, MenuItemIndex item)
{
    Menu* m = findMenu(w, id);
    if (m == nullptr || item < 1 || item > m->items.size())
        return paramErr;
    const UInt32 command = m->items[item - 1].command;
    return command == 0 ? eventNotHandledErr
                        : sendCommand(w, command, kHICommandFromMenu, reinterpret_cast<MenuRef>(m), item);
}

void userCloseWindow(Window* w)
{
    if (window(reinterpret_cast<WindowRef>(w)) == nullptr)
        return;
    w->closed = true;
    w->shown = false;
    changed(*w);
    Event event;
    event.eventClass = kEventClassWindow;
    event.eventKind = kEventWindowClosed;
    dispatch(*w, event);
}

void runEventLoopFor(double seconds)
{
    State& s = state();
    bool timeUp = false;
    const guint source = g_timeout_add(static_cast<guint>(std::clamp(seconds, 0.0, 86400.0) * 1000), wakeFlag, &timeUp);
    ++s.loopDepth;
    while (!timeUp && !s.quit)
        g_main_context_iteration(nullptr, TRUE);
    --s.loopDepth;
    // A quit ends the loop it came in; the next one runs.
    s.quit = false;
    if (!timeUp)
        g_source_remove(source);
}

void callLater(double seconds, std::function<void()> fn)
{
    auto* call = new std::function<void()>(std::move(fn));
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(std::clamp(seconds, 0.0, 86400.0) * 1000),
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        call, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

} // namespace tarsel::toolbox

using namespace tarsel::toolbox;

// Nibs.

OSStatus CreateNibReference(CFStringRef inNibName, IBNibRef* outNibRef)
{
    if (outNibRef == nullptr)
        return paramErr;
    *outNibRef = nullptr;
    const std::string name = fromCF(inNibName);
    if (name.empty() || name.find('/') != std::string::npos)
        return paramErr;
    State& s = state();
    const std::string folder = s.nibFolder.empty() ? defaultNibFolder() : s.nibFolder;
    const std::string path = folder + "/" + name + ".ui";
    if (access(path.c_str(), R_OK) != 0)
        return fnfErr;
    auto* nib = new Nib{path};
    s.nibs.insert(nib);
    *outNibRef = reinterpret_cast<IBNibRef>(nib);
    return noErr;
}

void DisposeNibReference(IBNibRef inNibRef)
{
    auto* nib = reinterpret_cast<Nib*>(inNibRef);
    if (state().nibs.erase(nib) != 0)
        delete nib;
}

static const Nib* nibOf(IBNibRef ref)
{
    auto* nib = reinterpret_cast<const Nib*>(ref);
    return state().nibs.count(nib) != 0 ? nib : nullptr;
}

// The kIBCarbonRuntime result for an object the nib does not hold.
static constexpr OSStatus kCantFindObject = -10962;

OSStatus SetMenuBarFromNib(IBNibRef inNibRef, CFStringRef inName)
{
    const Nib* nib = nibOf(inNibRef);
    if (nib == nullptr)
        return paramErr;
    std::vector<std::unique_ptr<Menu>> menus;
    if (!readNibMenuBar(nib->path, fromCF(inName), menus))
        return kCantFindObject;
    State& s = state();
    s.pendingMenuBar = std::move(menus);
    // The menu bar is the application's: the windows made so far show it too.
    if (s.current != nullptr) {
        adoptMenuBar(*s.current);
        changed(*s.current);
    }
    return noErr;
}

OSStatus CreateWindowFromNib(IBNibRef inNibRef, CFStringRef inName, WindowRef* outWindow)
{
    if (outWindow == nullptr)
        return paramErr;
    *outWindow = nullptr;
    const Nib* nib = nibOf(inNibRef);
    if (nib == nullptr)
        return paramErr;
    std::unique_ptr<Window> w = readNibWindow(nib->path, fromCF(inName));
    if (!w)
        return kCantFindObject;
    State& s = state();
    Window* raw = w.get();
    s.windows.push_back(std::move(w));
    registerWindow(*raw);
    if (!s.pendingMenuBar.empty())
        adoptMenuBar(*raw);
    s.targets[raw] = std::make_unique<Target>();
    s.targets[raw]->window = raw;
    s.current = raw;
    if (s.view)
        s.view->windowCreated(*raw, nib->path);
    *outWindow = reinterpret_cast<WindowRef>(raw);
    return noErr;
}

// Windows.

void ShowWindow(WindowRef ref)
{
    if (Window* w = window(ref)) {
        w->shown = true;
        w->closed = false;
        changed(*w);
    }
}

void HideWindow(WindowRef ref)
{
    if (Window* w = window(ref)) {
        w->shown = false;
        changed(*w);
    }
}

void SetWTitle(WindowRef ref, ConstStr255Param title)
{
    if (Window* w = window(ref)) {
        w->title = fromPascal(title);
        changed(*w);
    }
}

void DisposeWindow(WindowRef ref)
{
    Window* w = window(ref);
    if (w == nullptr)
        return;
    State& s = state();
    if (s.view)
        s.view->windowDisposed(*w);
    for (auto& c : w->controls) {
        s.controls.erase(c.get());
        if (c->popup)
            s.menus.erase(c->popup.get());
    }
    for (auto& m : w->menuBar)
        s.menus.erase(m.get());
    if (auto t = s.targets.find(w); t != s.targets.end()) {
        for (auto& h : t->second->handlers)
            s.handlers.erase(h.get());
        s.targets.erase(t);
    }
    if (s.current == w)
        s.current = nullptr;
    s.windows.erase(std::remove_if(s.windows.begin(), s.windows.end(), [&](auto& p) { return p.get() == w; }),
                    s.windows.end());
}

EventTargetRef GetWindowEventTarget(WindowRef ref)
{
    Window* w = window(ref);
    if (w == nullptr)
        return nullptr;
    return reinterpret_cast<EventTargetRef>(state().targets[w].get());
}

// Controls.

OSStatus GetControlByID(WindowRef inWindow, const ControlID* inID, ControlRef* outControl)
{
    if (outControl != nullptr)
        *outControl = nullptr;
    Window* w = window(inWindow);
    if (w == nullptr)
        return errInvalidWindowRef;
    if (inID == nullptr || outControl == nullptr)
        return paramErr;
    Control* c = findControl(w, inID->signature, inID->id);
    if (c == nullptr)
        return errUnknownControl;
    *outControl = reinterpret_cast<ControlRef>(c);
    return noErr;
}

SInt16 GetControlValue(ControlRef ref)
{
    const Control* c = control(ref);
    return c ? c->value : 0;
}

void SetControlValue(ControlRef ref, SInt16 newValue)
{
    if (Control* c = control(ref)) {
        c->value = clampValue(*c, newValue);
        changed(*c);
    }
}

SInt16 GetControlMaximum(ControlRef ref)
{
    const Control* c = control(ref);
    return c ? c->maximum : 0;
}

SInt16 GetControlMinimum(ControlRef ref)
{
    const Control* c = control(ref);
    return c ? c->minimum : 0;
}

void SetControlMaximum(ControlRef ref, SInt16 newMaximum)
{
    if (Control* c = control(ref)) {
        c->maximum = newMaximum;
        c->value = clampValue(*c, c->value);
        changed(*c);
    }
}

OSStatus EnableControl(ControlRef ref)
{
    Control* c = control(ref);
    if (c == nullptr)
        return errUnknownControl;
    c->enabled = true;
    changed(*c);
    return noErr;
}

OSStatus DisableControl(ControlRef ref)
{
    Control* c = control(ref);
    if (c == nullptr)
        return errUnknownControl;
    c->enabled = false;
    changed(*c);
    return noErr;
}

Boolean IsControlEnabled(ControlRef ref)
{
    const Control* c = control(ref);
    return c != nullptr && c->enabled;
}

OSStatus SetControlVisibility(ControlRef ref, Boolean inIsVisible, Boolean inDoDraw)
{
    Control* c = control(ref);
    if (c == nullptr)
        return errUnknownControl;
    c->visible = inIsVisible;
    if (inDoDraw)
        ++c->drawCount;
    changed(*c);
    return noErr;
}

void ShowControl(ControlRef ref) { SetControlVisibility(ref, true, true); }

void HideControl(ControlRef ref) { SetControlVisibility(ref, false, true); }

Boolean IsControlVisible(ControlRef ref)
{
    const Control* c = control(ref);
    return c != nullptr && isShown(*c);
}

void Draw1Control(ControlRef ref)
{
    if (Control* c = control(ref)) {
        ++c->drawCount;
        changed(*c);
    }
}

void DrawControls(WindowRef ref)
{
    if (Window* w = window(ref)) {
        ++w->drawCount;
        for (auto& c : w->controls)
            ++c->drawCount;
        changed(*w);
    }
}

OSStatus SetControlData(ControlRef ref, ControlPartCode, ResType inTagName, Size inSize, const void* inData)
{
    Control* c = control(ref);
    if (c == nullptr)
        return errUnknownControl;
    if (inSize < 0 || (inSize > 0 && inData == nullptr))
        return paramErr;
    if (inTagName == kControlStaticTextTextTag && c->kind == ControlKind::StaticText) {
        c->text.assign(static_cast<const char*>(inData), static_cast<size_t>(inSize));
        changed(*c);
        return noErr;
    }
    if (inTagName == kControlFontStyleTag) {
        if (inSize != static_cast<Size>(sizeof(ControlFontStyleRec)))
            return paramErr;
        ControlFontStyleRec style;
        std::memcpy(&style, inData, sizeof style);
        return SetControlFontStyle(ref, &style);
    }
    return errDataNotSupported;
}

OSStatus GetControlData(ControlRef ref, ControlPartCode, ResType inTagName, Size inBufferSize, void* inBuffer,
                        Size* outActualSize)
{
    Control* c = control(ref);
    if (c == nullptr)
        return errUnknownControl;
    if (inBufferSize < 0 || (inBufferSize > 0 && inBuffer == nullptr))
        return paramErr;
    const void* data = nullptr;
    size_t size = 0;
    if (inTagName == kControlStaticTextTextTag && c->kind == ControlKind::StaticText) {
        data = c->text.data();
        size = c->text.size();
    } else if (inTagName == kControlFontStyleTag) {
        data = &c->fontStyle;
        size = sizeof c->fontStyle;
    } else {
        return errDataNotSupported;
    }
    if (outActualSize != nullptr)
        *outActualSize = static_cast<Size>(size);
    std::memcpy(inBuffer, data, std::min(size, static_cast<size_t>(inBufferSize)));
    return noErr;
}

OSStatus SetControlFontStyle(ControlRef ref, const ControlFontStyleRec* inStyle)
{
    Control* c = control(ref);
    if (c == nullptr)
        return errUnknownControl;
    if (inStyle == nullptr)
        return paramErr;
    c->fontStyle = *inStyle;
    c->hasFontStyle = inStyle->flags != 0;
    changed(*c);
    return noErr;
}

// Menus.

MenuRef GetControlPopupMenuHandle(ControlRef ref)
{
    Control* c = control(ref);
    return c != nullptr && c->popup ? reinterpret_cast<MenuRef>(c->popup.get()) : nullptr;
}

MenuID GetMenuID(MenuRef ref)
{
    const Menu* m = menu(ref);
    return m ? m->id : 0;
}

void SetMenuID(MenuRef ref, MenuID menuID)
{
    if (Menu* m = menu(ref))
        m->id = menuID;
}

UInt16 CountMenuItems(MenuRef ref)
{
    const Menu* m = menu(ref);
    return m ? static_cast<UInt16>(std::min<size_t>(m->items.size(), UINT16_MAX)) : 0;
}

OSStatus DeleteMenuItems(MenuRef ref, MenuItemIndex inFirstItem, ItemCount inNumItems)
{
    Menu* m = menu(ref);
    if (m == nullptr)
        return paramErr;
    if (inFirstItem < 1 || inFirstItem > m->items.size() || inNumItems == 0)
        return noErr;
    const size_t first = inFirstItem - 1;
    const size_t count = std::min<size_t>(inNumItems, m->items.size() - first);
    m->items.erase(m->items.begin() + static_cast<std::ptrdiff_t>(first),
                   m->items.begin() + static_cast<std::ptrdiff_t>(first + count));
    changed(*m);
    return noErr;
}

OSStatus AppendMenuItemText(MenuRef ref, ConstStr255Param inString)
{
    Menu* m = menu(ref);
    if (m == nullptr || inString == nullptr)
        return paramErr;
    if (m->items.size() >= 32767)
        return memFullErr;
    m->items.push_back(MenuItem{fromPascal(inString), 0, false});
    changed(*m);
    return noErr;
}

void CheckMenuItem(MenuRef ref, MenuItemIndex item, Boolean checked)
{
    Menu* m = menu(ref);
    if (m == nullptr || item < 1 || item > m->items.size())
        return;
    m->items[item - 1].checked = checked;
    changed(*m);
}

// Events.

EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr userRoutine) { return userRoutine; }

EventLoopTimerUPP NewEventLoopTimerUPP(EventLoopTimerProcPtr userRoutine) { return userRoutine; }

OSStatus InstallEventHandler(EventTargetRef inTarget, EventHandlerUPP inHandler, ItemCount inNumTypes,
                             const EventTypeSpec* inList, void* inUserData, EventHandlerRef* outRef)
{
    if (outRef != nullptr)
        *outRef = nullptr;
    auto* target = reinterpret_cast<Target*>(inTarget);
    State& s = state();
    const bool known = target != nullptr && std::any_of(s.targets.begin(), s.targets.end(),
                                                        [&](auto& t) { return t.second.get() == target; });
    if (!known || inHandler == nullptr || (inNumTypes > 0 && inList == nullptr) || inNumTypes > 1024)
        return paramErr;
    auto handler = std::make_unique<Handler>();
    handler->proc = inHandler;
    handler->types.assign(inList, inList + inNumTypes);
    handler->userData = inUserData;
    s.handlers.insert(handler.get());
    if (outRef != nullptr)
        *outRef = reinterpret_cast<EventHandlerRef>(handler.get());
    target->handlers.push_back(std::move(handler));
    return noErr;
}

OSStatus RemoveEventHandler(EventHandlerRef inHandlerRef)
{
    auto* h = reinterpret_cast<Handler*>(inHandlerRef);
    State& s = state();
    if (s.handlers.erase(h) == 0)
        return paramErr;
    for (auto& [w, target] : s.targets)
        target->handlers.erase(std::remove_if(target->handlers.begin(), target->handlers.end(),
                                              [&](auto& p) { return p.get() == h; }),
                               target->handlers.end());
    return noErr;
}

UInt32 GetEventClass(EventRef inEvent)
{
    return inEvent != nullptr ? reinterpret_cast<const Event*>(inEvent)->eventClass : 0;
}

UInt32 GetEventKind(EventRef inEvent)
{
    return inEvent != nullptr ? reinterpret_cast<const Event*>(inEvent)->eventKind : 0;
}

OSStatus GetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inDesiredType,
                           EventParamType* outActualType, ByteCount inBufferSize, ByteCount* outActualSize,
                           void* outData)
{
    const auto* event = reinterpret_cast<const Event*>(inEvent);
    if (event == nullptr)
        return paramErr;
    if (inName != kEventParamDirectObject || !event->hasCommand || inDesiredType != typeHICommand)
        return eventParameterNotFoundErr;
    if (outActualType != nullptr)
        *outActualType = typeHICommand;
    if (outActualSize != nullptr)
        *outActualSize = sizeof(HICommand);
    if (outData == nullptr || inBufferSize < sizeof(HICommand))
        return paramErr;
    std::memcpy(outData, &event->command, sizeof(HICommand));
    return noErr;
}

void RunApplicationEventLoop(void)
{
    State& s = state();
    s.quit = false;
    ++s.loopDepth;
    // The main CFRunLoop is the GLib default context: its timers, its sources and any view's
    // events are dispatched here.
    while (!s.quit)
        g_main_context_iteration(nullptr, TRUE);
    --s.loopDepth;
    s.quit = false;
}

void QuitApplicationEventLoop(void)
{
    state().quit = true;
    g_main_context_wakeup(nullptr);
}

EventLoopRef GetMainEventLoop(void) { return reinterpret_cast<EventLoopRef>(CFRunLoopGetMain()); }

OSStatus InstallEventLoopTimer(EventLoopRef inEventLoop, EventTimerInterval inFireDelay, EventTimerInterval inInterval,
                               EventLoopTimerUPP inTimerProc, void* inTimerData, EventLoopTimerRef* outTimer)
{
    if (outTimer != nullptr)
        *outTimer = nullptr;
    if (inEventLoop == nullptr || inTimerProc == nullptr || outTimer == nullptr || !(inFireDelay >= 0) ||
        !(inInterval >= 0))
        return paramErr;
    auto* t = new Timer;
    t->proc = inTimerProc;
    t->userData = inTimerData;
    CFRunLoopTimerContext context{0, t, nullptr, nullptr, nullptr};
    t->timer = CFRunLoopTimerCreate(nullptr, CFAbsoluteTimeGetCurrent() + inFireDelay, inInterval, 0, 0,
                                    timerFired, &context);
    if (t->timer == nullptr) {
        delete t;
        return memFullErr;
    }
    CFRunLoopAddTimer(reinterpret_cast<CFRunLoopRef>(inEventLoop), t->timer, kCFRunLoopCommonModes);
    state().timers.insert(t);
    *outTimer = reinterpret_cast<EventLoopTimerRef>(t);
    return noErr;
}

OSStatus RemoveEventLoopTimer(EventLoopTimerRef inTimer)
{
    auto* t = reinterpret_cast<Timer*>(inTimer);
    if (state().timers.erase(t) == 0)
        return paramErr;
    CFRunLoopTimerInvalidate(t->timer);
    CFRelease(t->timer);
    delete t;
    return noErr;
}
