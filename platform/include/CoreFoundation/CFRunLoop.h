// Run loops. Each thread has one, made on first use. There is a single mode: every mode name,
// kCFRunLoopDefaultMode and kCFRunLoopCommonModes included, names it.
//
// Sources and timers may be added, removed, signalled and invalidated from any thread; their
// call-outs run on the thread that runs the run loop. A run loop is run only by its own thread.
#pragma once
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFString.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopSource* CFRunLoopSourceRef;
typedef struct __CFRunLoopTimer* CFRunLoopTimerRef;
typedef CFStringRef CFRunLoopMode;

enum {
    kCFRunLoopRunFinished = 1,
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4
};

extern const CFStringRef kCFRunLoopDefaultMode;
extern const CFStringRef kCFRunLoopCommonModes;

CFTypeID CFRunLoopGetTypeID(void);

// Neither call hands over a reference.
CFRunLoopRef CFRunLoopGetCurrent(void);
CFRunLoopRef CFRunLoopGetMain(void);

// Runs the current thread's run loop until CFRunLoopStop. Unlike the Mac it does not return
// when the run loop has no sources or timers: a thread that runs its loop waits for work.
void CFRunLoopRun(void);

// Runs the current thread's run loop for at most `seconds` (0: one pass over what is ready).
// Returns kCFRunLoopRunFinished at once when the run loop has no sources and no timers,
// kCFRunLoopRunStopped after CFRunLoopStop, kCFRunLoopRunHandledSource after one source's
// call-out when `returnAfterSourceHandled` is true (timers do not count), and
// kCFRunLoopRunTimedOut otherwise.
SInt32 CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                          Boolean returnAfterSourceHandled);

// Ends the innermost activation of `rl`'s run. Callable from any thread. A stop that arrives
// while `rl` is not running is kept and ends its next activation at once, so a thread that is
// told to stop just before it starts running does not miss the request.
void CFRunLoopStop(CFRunLoopRef rl);
void CFRunLoopWakeUp(CFRunLoopRef rl);

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);

Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode);
// A timer belongs to at most one run loop; adding it to a second one is ignored.
void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode);
void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode);

typedef struct {
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
    Boolean (*equal)(const void* info1, const void* info2);
    CFHashCode (*hash)(const void* info);
    void (*schedule)(void* info, CFRunLoopRef rl, CFRunLoopMode mode);
    void (*cancel)(void* info, CFRunLoopRef rl, CFRunLoopMode mode);
    void (*perform)(void* info);
} CFRunLoopSourceContext;

CFTypeID CFRunLoopSourceGetTypeID(void);
// Version-0 sources only (context->version 0); anything else gives NULL.
CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef allocator, CFIndex order,
                                         CFRunLoopSourceContext* context);
CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source);
void CFRunLoopSourceGetContext(CFRunLoopSourceRef source, CFRunLoopSourceContext* context);
// Marks the source ready: its perform runs once on the next pass of a run loop holding it.
// The run loops holding it are woken as well (CFRunLoopWakeUp is harmless but not needed).
void CFRunLoopSourceSignal(CFRunLoopSourceRef source);
// Removes the source from every run loop and calls cancel for each. When another thread is
// inside the source's perform, waits for it to return; afterwards perform never runs again.
void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source);
Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source);

typedef struct {
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
} CFRunLoopTimerContext;

typedef void (*CFRunLoopTimerCallBack)(CFRunLoopTimerRef timer, void* info);

CFTypeID CFRunLoopTimerGetTypeID(void);
// Fires first at `fireDate`, then every `interval` seconds when `interval` is positive (missed
// firings are skipped, not queued up). A timer that does not repeat is invalidated after it
// fires, unless its call-out gave it a new fire date. `context` may be NULL.
CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags,
                                       CFIndex order, CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context);
CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer);
void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate);
CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer);
Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timer);
CFIndex CFRunLoopTimerGetOrder(CFRunLoopTimerRef timer);
void CFRunLoopTimerGetContext(CFRunLoopTimerRef timer, CFRunLoopTimerContext* context);
// As CFRunLoopSourceInvalidate: waits for a call-out running on another thread.
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer);
Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer);

#ifdef __cplusplus
}
#endif
