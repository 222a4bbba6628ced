#pragma once
// What the toolkit tests need around a window: Str255 texts, and handlers that record the
// commands and window-closed events the window delivers.
#include <Carbon/Carbon.h>

#include <string>
#include <vector>

namespace toolboxtest {

// A Str255 as the toolkit calls take it.
inline std::basic_string<unsigned char> pascal(const std::string& text)
{
    std::basic_string<unsigned char> p(1, static_cast<unsigned char>(text.size()));
    for (char c : text)
        p.push_back(static_cast<unsigned char>(c));
    return p;
}

// A command as the handler read it, unpacked: the toolkit's record is 2-byte packed.
struct Command {
    UInt32 attributes;
    UInt32 commandID;
    MenuRef menuRef;
    MenuItemIndex menuItemIndex;
};

struct Received {
    std::vector<Command> commands;
    int closed = 0;
    OSStatus answer = noErr; // what the command handler answers
};

inline OSStatus onCommand(EventHandlerCallRef, EventRef event, void* data)
{
    auto* r = static_cast<Received*>(data);
    HICommand command;
    if (GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof command, nullptr,
                          &command) != noErr)
        return eventNotHandledErr;
    r->commands.push_back({command.attributes, command.commandID, command.menu.menuRef, command.menu.menuItemIndex});
    return r->answer;
}

inline OSStatus onClosed(EventHandlerCallRef, EventRef, void* data)
{
    ++static_cast<Received*>(data)->closed;
    return noErr;
}

// Installs both recorders on the window; false if the toolkit refused either.
inline bool record(WindowRef window, Received& received)
{
    const EventTypeSpec commandEvent{kEventClassCommand, kEventCommandProcess};
    const EventTypeSpec closedEvent{kEventClassWindow, kEventWindowClosed};
    return InstallEventHandler(GetWindowEventTarget(window), NewEventHandlerUPP(onCommand), 1, &commandEvent,
                               &received, nullptr) == noErr &&
           InstallEventHandler(GetWindowEventTarget(window), NewEventHandlerUPP(onClosed), 1, &closedEvent,
                               &received, nullptr) == noErr;
}

} // namespace toolboxtest
