// The Carbon toolkit calls the control application uses: interface descriptions (nibs),
// windows, controls, popup menus, the Carbon Event Manager and event-loop timers.
//
// Every call runs on the main thread, the thread that runs RunApplicationEventLoop. Timers
// and handlers fire on that thread, from the main CFRunLoop.
#pragma once
#include <stddef.h>

#include <MacTypes.h>
#include <CoreFoundation/CFString.h>
#include <Carbon/Files.h>
#include <Carbon/MacErrors.h>

typedef struct OpaqueWindowPtr* WindowRef;
typedef struct OpaqueControlRef* ControlRef;
typedef struct OpaqueMenuRef* MenuRef;
typedef struct OpaqueIBNibRef* IBNibRef;
typedef struct OpaqueEventRef* EventRef;
typedef struct OpaqueEventHandlerCallRef* EventHandlerCallRef;
typedef struct OpaqueEventHandlerRef* EventHandlerRef;
typedef struct OpaqueEventTargetRef* EventTargetRef;
typedef struct OpaqueEventLoopRef* EventLoopRef;
typedef struct OpaqueEventLoopTimerRef* EventLoopTimerRef;

// A four-character code read as a big-endian number ("pgrp" is 0x70677270).
constexpr FourCharCode HIFourCC(const char (&code)[5])
{
    return (FourCharCode(UInt8(code[0])) << 24) | (FourCharCode(UInt8(code[1])) << 16) |
           (FourCharCode(UInt8(code[2])) << 8) | FourCharCode(UInt8(code[3]));
}
static_assert(HIFourCC("pgrp") == 0x70677270u);

typedef long Size;
typedef unsigned long ItemCount;
typedef const unsigned char* ConstStr255Param;
typedef SInt16 ControlPartCode;
typedef FourCharCode ResType;
typedef SInt16 MenuID;
typedef UInt16 MenuItemIndex;
typedef UInt32 MenuCommand;
typedef OSType EventParamName;
typedef OSType EventParamType;
typedef double EventTimerInterval;

enum {
    memFullErr = -108,
    eventInternalErr = -9868,
    eventParameterNotFoundErr = -9870,
    eventNotHandledErr = -9874,
    errUnknownControl = -30584,
    errDataNotSupported = -30583,
    errInvalidWindowRef = -5600,
};

// Nibs. A nib is looked up by name in the Resources folder of the program's bundle
// (<bundle>.app/Contents/Resources), next to the Contents/MacOS folder that holds the program.
#ifdef __cplusplus
extern "C" {
#endif
OSStatus CreateNibReference(CFStringRef inNibName, IBNibRef* outNibRef);
OSStatus SetMenuBarFromNib(IBNibRef inNibRef, CFStringRef inName);
OSStatus CreateWindowFromNib(IBNibRef inNibRef, CFStringRef inName, WindowRef* outWindow);
void DisposeNibReference(IBNibRef inNibRef);
#ifdef __cplusplus
}
#endif

// Windows.
#ifdef __cplusplus
extern "C" {
#endif
void ShowWindow(WindowRef window);
void HideWindow(WindowRef window);
void SetWTitle(WindowRef window, ConstStr255Param title);
void DisposeWindow(WindowRef window);
EventTargetRef GetWindowEventTarget(WindowRef inWindow);
#ifdef __cplusplus
}
#endif

// Controls. A control is named in its window by a four-character signature and a number.
struct ControlID {
    OSType signature;
    SInt32 id;
};

struct RGBColor {
    UInt16 red;
    UInt16 green;
    UInt16 blue;
};

struct ControlFontStyleRec {
    SInt16 flags;
    SInt16 font;
    SInt16 size;
    SInt16 style;
    SInt16 mode;
    SInt16 just;
    RGBColor foreColor;
    RGBColor backColor;
};
static_assert(sizeof(ControlFontStyleRec) == 24);
static_assert(offsetof(ControlFontStyleRec, foreColor) == 12);

enum {
    kControlUseFontMask = 0x0001,
    kControlUseFaceMask = 0x0002,
    kControlUseSizeMask = 0x0004,
    kControlUseForeColorMask = 0x0008,
    kControlUseBackColorMask = 0x0010,
};

enum {
    kControlEntireControl = 0,
};

// Control data tags.
enum : ResType {
    kControlStaticTextTextTag = HIFourCC("text"), // the text's characters, no terminator
    kControlFontStyleTag = HIFourCC("font"),      // a ControlFontStyleRec
};

#ifdef __cplusplus
extern "C" {
#endif
OSStatus GetControlByID(WindowRef inWindow, const ControlID* inID, ControlRef* outControl);
SInt16 GetControlValue(ControlRef theControl);
void SetControlValue(ControlRef theControl, SInt16 newValue);
SInt16 GetControlMaximum(ControlRef theControl);
void SetControlMaximum(ControlRef theControl, SInt16 newMaximum);
SInt16 GetControlMinimum(ControlRef theControl);
OSStatus EnableControl(ControlRef inControl);
OSStatus DisableControl(ControlRef inControl);
Boolean IsControlEnabled(ControlRef inControl);
void ShowControl(ControlRef theControl);
void HideControl(ControlRef theControl);
OSStatus SetControlVisibility(ControlRef inControl, Boolean inIsVisible, Boolean inDoDraw);
Boolean IsControlVisible(ControlRef inControl);
void Draw1Control(ControlRef theControl);
void DrawControls(WindowRef theWindow);
// Copies the data into the control; errDataNotSupported for a tag the control lacks.
OSStatus SetControlData(ControlRef inControl, ControlPartCode inPart, ResType inTagName,
                        Size inSize, const void* inData);
// Copies at most inBufferSize bytes; outActualSize (may be null) gets the full size.
OSStatus GetControlData(ControlRef inControl, ControlPartCode inPart, ResType inTagName,
                        Size inBufferSize, void* inBuffer, Size* outActualSize);
OSStatus SetControlFontStyle(ControlRef inControl, const ControlFontStyleRec* inStyle);
#ifdef __cplusplus
}
#endif

// Menus: a popup button's menu and the menus of the menu bar. Items count from 1.
#ifdef __cplusplus
extern "C" {
#endif
MenuRef GetControlPopupMenuHandle(ControlRef control);
MenuID GetMenuID(MenuRef menu);
void SetMenuID(MenuRef menu, MenuID menuID);
UInt16 CountMenuItems(MenuRef theMenu);
// Deletes inNumItems items from inFirstItem on; items past the end are ignored.
OSStatus DeleteMenuItems(MenuRef inMenu, MenuItemIndex inFirstItem, ItemCount inNumItems);
// The text is taken as it stands (no metacharacters).
OSStatus AppendMenuItemText(MenuRef menu, ConstStr255Param inString);
void CheckMenuItem(MenuRef theMenu, MenuItemIndex item, Boolean checked);
#ifdef __cplusplus
}
#endif

// The Carbon Event Manager.
enum : OSType {
    kEventClassCommand = HIFourCC("cmds"),
    kEventClassWindow = HIFourCC("wind"),
};
enum {
    kEventCommandProcess = 1,
    kEventWindowClosed = 73,
};
enum : OSType {
    kEventParamDirectObject = HIFourCC("----"),
    typeHICommand = HIFourCC("hcmd"),
};
enum {
    kHICommandFromMenu = 1u << 0,
    kHICommandFromControl = 1u << 1,
    kHICommandFromWindow = 1u << 2,
};

struct EventTypeSpec {
    UInt32 eventClass;
    UInt32 eventKind;
};

// Packed as the Mac packs it; the menu reference is a pointer, so the record is 18 bytes in a
// 64-bit process instead of 14.
#pragma pack(push, 2)
struct HICommand {
    UInt32 attributes;
    UInt32 commandID;
    struct {
        MenuRef menuRef;
        MenuItemIndex menuItemIndex;
    } menu;
};
#pragma pack(pop)
static_assert(sizeof(HICommand) == 10 + sizeof(MenuRef));
static_assert(offsetof(HICommand, commandID) == 4);
static_assert(offsetof(HICommand, menu) == 8);

typedef OSStatus (*EventHandlerProcPtr)(EventHandlerCallRef inHandlerCallRef, EventRef inEvent,
                                        void* inUserData);
typedef EventHandlerProcPtr EventHandlerUPP;
typedef void (*EventLoopTimerProcPtr)(EventLoopTimerRef inTimer, void* inUserData);
typedef EventLoopTimerProcPtr EventLoopTimerUPP;

#ifdef __cplusplus
extern "C" {
#endif
EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr userRoutine);
EventLoopTimerUPP NewEventLoopTimerUPP(EventLoopTimerProcPtr userRoutine);
OSStatus InstallEventHandler(EventTargetRef inTarget, EventHandlerUPP inHandler,
                             ItemCount inNumTypes, const EventTypeSpec* inList, void* inUserData,
                             EventHandlerRef* outRef);
OSStatus RemoveEventHandler(EventHandlerRef inHandlerRef);
UInt32 GetEventClass(EventRef inEvent);
UInt32 GetEventKind(EventRef inEvent);
// Copies the parameter if it exists with the desired type and fits the buffer.
OSStatus GetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inDesiredType,
                           EventParamType* outActualType, ByteCount inBufferSize,
                           ByteCount* outActualSize, void* outData);
// Runs the main CFRunLoop until QuitApplicationEventLoop.
void RunApplicationEventLoop(void);
void QuitApplicationEventLoop(void);
EventLoopRef GetMainEventLoop(void);
// Fires first after inFireDelay seconds, then every inInterval seconds (0: once).
OSStatus InstallEventLoopTimer(EventLoopRef inEventLoop, EventTimerInterval inFireDelay,
                               EventTimerInterval inInterval, EventLoopTimerUPP inTimerProc,
                               void* inTimerData, EventLoopTimerRef* outTimer);
OSStatus RemoveEventLoopTimer(EventLoopTimerRef inTimer);
#ifdef __cplusplus
}
#endif
