// Run loops on GLib. A run loop is a GMainContext: the process's default context for the main
// thread (so a GLib or GTK main loop there also serves CF sources), and for any other thread its
// thread-default context, created and pushed on first use when it has none. Each run-loop
// source or timer added to a run loop becomes a GSource attached to that context.
//
// Which sources and timers each run loop holds is kept under one lock (gRegistry). The GSource
// call-backs take that lock before they touch a CF object: it orders the run loop's thread after
// whichever thread added, signalled or removed the object, since GLib's own locking is invisible
// to the thread sanitizer.
#include "CFInternal.h"
#include "CFRunLoopFD.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

std::mutex gRegistry;

// The objects whose call-out is running on this thread, innermost last.
thread_local std::vector<const void*> tCallouts;
// Source call-outs run on this thread so far; CFRunLoopRunInMode compares it around a pass.
thread_local uint64_t tSourcesHandled = 0;

// Lets invalidation wait for call-outs running on other threads, so that once
// CFRunLoopSourceInvalidate or CFRunLoopTimerInvalidate returns, the call-out is neither
// running nor about to run (unless the invalidating thread is inside it).
class CalloutGate {
public:
    bool valid() const { return m_valid.load(std::memory_order_acquire); }

    bool enter(const void* owner)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_valid.load(std::memory_order_relaxed))
            return false;
        ++m_active;
        tCallouts.push_back(owner);
        return true;
    }

    void leave(const void* owner)
    {
        auto mine = std::find(tCallouts.rbegin(), tCallouts.rend(), owner);
        if (mine != tCallouts.rend())
            tCallouts.erase(std::next(mine).base());
        std::lock_guard<std::mutex> guard(m_lock);
        --m_active;
        m_idle.notify_all();
    }

    // Marks the owner invalid and waits out its call-outs on other threads; false when it was
    // invalid already.
    bool close(const void* owner)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_valid.load(std::memory_order_relaxed))
            return false;
        m_valid.store(false, std::memory_order_release);
        auto own = std::count(tCallouts.begin(), tCallouts.end(), owner);
        m_idle.wait(guard, [&] { return m_active <= own; });
        return true;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_idle;
    std::atomic<bool> m_valid{true};
    long m_active = 0;
};

bool isMainThread()
{
    thread_local const bool main = getpid() == gettid();
    return main;
}

// The monotonic time at which a timer with this fire date is due.
gint64 readyTimeFor(CFAbsoluteTime fireDate)
{
    gint64 now = g_get_monotonic_time();
    double delta = fireDate - CFAbsoluteTimeGetCurrent();
    if (!(delta > 0))
        return now;
    return now + static_cast<gint64>(std::min(delta, 1e9) * 1e6);
}

} // namespace

struct __CFRunLoop : cf::Object {
    GMainContext* context;
    std::atomic<bool> stopRequested{false};
    std::atomic<long> itemCount{0}; // sources and timers; changed under gRegistry
    std::vector<__CFRunLoopSource*> sources; // one reference each; under gRegistry
    std::vector<__CFRunLoopTimer*> timers;   // one reference each; under gRegistry

    __CFRunLoop(GMainContext* ownedContext, bool immortal) : Object(&cf::runLoopClass, immortal), context(ownedContext) {}
};

struct __CFRunLoopSource : cf::Object {
    enum class Kind { Signalled, FileDescriptor };

    struct Attachment {
        __CFRunLoop* runLoop;
        GSource* gsource; // our reference, dropped when the attachment goes
    };

    Kind kind;
    CFIndex order;
    CFRunLoopSourceContext context{};       // Signalled
    int fd = -1;                            // FileDescriptor
    void (*fdPerform)(void* info) = nullptr; // FileDescriptor
    void* fdInfo = nullptr;                 // FileDescriptor
    std::atomic<bool> signalled{false};
    CalloutGate gate;
    std::vector<Attachment> attachments; // under gRegistry

    __CFRunLoopSource(Kind k, CFIndex o) : Object(&cf::runLoopSourceClass, false), kind(k), order(o) {}
};

struct __CFRunLoopTimer : cf::Object {
    CFTimeInterval interval;
    CFIndex order;
    CFRunLoopTimerCallBack callout;
    CFRunLoopTimerContext context{};
    std::atomic<CFAbsoluteTime> nextFire;
    std::atomic<uint64_t> reschedules{0};
    CalloutGate gate;
    __CFRunLoop* runLoop = nullptr; // under gRegistry
    GSource* gsource = nullptr;     // our reference; under gRegistry

    __CFRunLoopTimer(CFAbsoluteTime fireDate, CFTimeInterval i, CFIndex o, CFRunLoopTimerCallBack c)
        : Object(&cf::runLoopTimerClass, false), interval(i), order(o), callout(c), nextFire(fireDate)
    {
    }
};

namespace {

__CFRunLoop* runLoopObject(CFRunLoopRef rl) { return cf::as<__CFRunLoop>(rl, cf::runLoopClass); }
__CFRunLoopSource* sourceObject(CFRunLoopSourceRef s) { return cf::as<__CFRunLoopSource>(s, cf::runLoopSourceClass); }
__CFRunLoopTimer* timerObject(CFRunLoopTimerRef t) { return cf::as<__CFRunLoopTimer>(t, cf::runLoopTimerClass); }

gboolean unusedCallback(gpointer) { return G_SOURCE_CONTINUE; }
void releaseObject(gpointer object) { CFRelease(object); }

bool stillAttached(__CFRunLoopSource* source, GSource* gsource)
{
    std::lock_guard<std::mutex> guard(gRegistry);
    return std::any_of(source->attachments.begin(), source->attachments.end(),
                       [&](const auto& a) { return a.gsource == gsource; });
}

void perform(__CFRunLoopSource* source)
{
    if (!source->gate.enter(source))
        return;
    if (source->kind == __CFRunLoopSource::Kind::FileDescriptor)
        source->fdPerform(source->fdInfo);
    else if (source->context.perform != nullptr)
        source->context.perform(source->context.info);
    source->gate.leave(source);
    ++tSourcesHandled;
}

gboolean dispatchSignalled(GSource* gsource, GSourceFunc, gpointer data)
{
    // Disarmed before the flag is taken, so a signal that arrives meanwhile re-arms it.
    g_source_set_ready_time(gsource, -1);
    auto* source = static_cast<__CFRunLoopSource*>(data);
    if (stillAttached(source, gsource) && source->signalled.exchange(false, std::memory_order_acq_rel))
        perform(source);
    return G_SOURCE_CONTINUE;
}

gboolean dispatchFileDescriptor(GSource* gsource, GSourceFunc, gpointer data)
{
    auto* source = static_cast<__CFRunLoopSource*>(data);
    if (stillAttached(source, gsource))
        perform(source);
    return G_SOURCE_CONTINUE;
}

gboolean dispatchTimer(GSource* gsource, GSourceFunc, gpointer data)
{
    auto* timer = static_cast<__CFRunLoopTimer*>(data);
    {
        std::lock_guard<std::mutex> guard(gRegistry);
        if (timer->gsource != gsource) {
            g_source_set_ready_time(gsource, -1);
            return G_SOURCE_CONTINUE;
        }
    }
    uint64_t generation = timer->reschedules.load(std::memory_order_acquire);
    bool repeats = timer->interval > 0;
    if (repeats) {
        // The next firing on the timer's own grid, skipping the ones that were missed.
        CFAbsoluteTime fire = timer->nextFire.load();
        CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
        CFAbsoluteTime next = fire + timer->interval;
        if (next <= now)
            next = fire + timer->interval * (std::floor((now - fire) / timer->interval) + 1);
        if (timer->nextFire.compare_exchange_strong(fire, next))
            g_source_set_ready_time(gsource, readyTimeFor(next));
    } else {
        g_source_set_ready_time(gsource, -1);
    }
    if (timer->gate.enter(timer)) {
        if (timer->callout != nullptr)
            timer->callout(timer, timer->context.info);
        timer->gate.leave(timer);
    }
    if (!repeats && timer->reschedules.load(std::memory_order_acquire) == generation)
        CFRunLoopTimerInvalidate(timer);
    return G_SOURCE_CONTINUE;
}

GSourceFuncs gSignalledFuncs = {nullptr, nullptr, dispatchSignalled, nullptr, nullptr, nullptr};
GSourceFuncs gFileDescriptorFuncs = {nullptr, nullptr, dispatchFileDescriptor, nullptr, nullptr, nullptr};
GSourceFuncs gTimerFuncs = {nullptr, nullptr, dispatchTimer, nullptr, nullptr, nullptr};

// A GSource whose call-back data is a reference to `object`, dropped when the GSource is
// destroyed (or after a dispatch in progress at that moment has returned).
GSource* newGSource(GSourceFuncs* funcs, CFTypeRef object, const char* name)
{
    GSource* gsource = g_source_new(funcs, sizeof(GSource));
    g_source_set_name(gsource, name);
    g_source_set_callback(gsource, unusedCallback, const_cast<void*>(CFRetain(object)), releaseObject);
    return gsource;
}

void dropGSource(GSource* gsource)
{
    g_source_destroy(gsource);
    g_source_unref(gsource);
}

void cancel(__CFRunLoopSource* source, __CFRunLoop* runLoop)
{
    if (source->kind == __CFRunLoopSource::Kind::Signalled && source->context.cancel != nullptr)
        source->context.cancel(source->context.info, runLoop, kCFRunLoopDefaultMode);
}

// One GLib main-context iteration, waiting at most `timeoutMs` (-1: no limit) for something to
// become ready.
void iterate(GMainContext* context, int timeoutMs, std::vector<GPollFD>& fds)
{
    gint maxPriority = 0;
    g_main_context_prepare(context, &maxPriority);
    gint glibTimeout = -1;
    gint count;
    while ((count = g_main_context_query(context, maxPriority, &glibTimeout, fds.data(),
                                         static_cast<gint>(fds.size()))) > static_cast<gint>(fds.size()))
        fds.resize(static_cast<size_t>(count));
    int timeout = glibTimeout < 0 ? timeoutMs : timeoutMs < 0 ? glibTimeout : std::min(glibTimeout, timeoutMs);
    GPollFunc poll = g_main_context_get_poll_func(context);
    poll(fds.data(), static_cast<guint>(count), timeout);
    g_main_context_check(context, maxPriority, fds.data(), count);
    g_main_context_dispatch(context);
}

SInt32 run(__CFRunLoop* rl, CFTimeInterval seconds, bool returnAfterSourceHandled, bool finishWhenEmpty)
{
    if (rl == nullptr || !g_main_context_acquire(rl->context))
        return kCFRunLoopRunFinished;
    if (std::isnan(seconds) || seconds < 0)
        seconds = 0;
    const bool forever = seconds >= 1e9;
    const gint64 deadline = forever ? 0 : g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    std::vector<GPollFD> fds(8);
    SInt32 result = 0;
    while (result == 0) {
        if (rl->stopRequested.exchange(false)) {
            result = kCFRunLoopRunStopped;
            break;
        }
        if (finishWhenEmpty && rl->itemCount.load() == 0) {
            result = kCFRunLoopRunFinished;
            break;
        }
        int timeoutMs = -1;
        if (!forever) {
            gint64 remaining = deadline - g_get_monotonic_time();
            timeoutMs = remaining <= 0 ? 0 : static_cast<int>(std::min<gint64>((remaining + 999) / 1000, INT_MAX));
        }
        uint64_t handledBefore = tSourcesHandled;
        iterate(rl->context, timeoutMs, fds);
        if (returnAfterSourceHandled && tSourcesHandled != handledBefore)
            result = kCFRunLoopRunHandledSource;
        else if (rl->stopRequested.exchange(false))
            result = kCFRunLoopRunStopped;
        else if (!forever && g_get_monotonic_time() >= deadline)
            result = kCFRunLoopRunTimedOut;
    }
    g_main_context_release(rl->context);
    return result;
}

__CFRunLoop* mainRunLoop()
{
    // Immortal, like the main thread it belongs to.
    static __CFRunLoop* const main = new __CFRunLoop(g_main_context_ref(g_main_context_default()), true);
    return main;
}

// The run loop of a thread other than the main one; released when the thread ends.
struct ThreadRunLoop {
    __CFRunLoop* runLoop = nullptr;
    bool pushedContext = false;

    ~ThreadRunLoop();
};

thread_local ThreadRunLoop tRunLoop;
thread_local bool tThreadEnded = false;

ThreadRunLoop::~ThreadRunLoop()
{
    tThreadEnded = true;
    if (runLoop == nullptr)
        return;
    if (pushedContext && g_main_context_get_thread_default() == runLoop->context)
        g_main_context_pop_thread_default(runLoop->context);
    CFRelease(runLoop);
}

std::string describeRunLoop(const cf::Object* object)
{
    auto* rl = static_cast<const __CFRunLoop*>(object);
    size_t sources, timers;
    {
        std::lock_guard<std::mutex> guard(gRegistry);
        sources = rl->sources.size();
        timers = rl->timers.size();
    }
    return cf::addressTag("CFRunLoop", object) + "{sources = " + std::to_string(sources) +
        ", timers = " + std::to_string(timers) + "}";
}

void finalizeRunLoop(cf::Object* object)
{
    auto* rl = static_cast<__CFRunLoop*>(object);
    std::vector<std::pair<__CFRunLoopSource*, GSource*>> sources;
    std::vector<std::pair<__CFRunLoopTimer*, GSource*>> timers;
    {
        std::lock_guard<std::mutex> guard(gRegistry);
        for (__CFRunLoopSource* source : rl->sources) {
            auto& list = source->attachments;
            auto mine = std::find_if(list.begin(), list.end(), [&](const auto& a) { return a.runLoop == rl; });
            if (mine != list.end()) {
                sources.emplace_back(source, mine->gsource);
                list.erase(mine);
            }
        }
        for (__CFRunLoopTimer* timer : rl->timers) {
            timers.emplace_back(timer, timer->gsource);
            timer->gsource = nullptr;
            timer->runLoop = nullptr;
        }
        rl->sources.clear();
        rl->timers.clear();
        rl->itemCount.store(0);
    }
    for (auto [source, gsource] : sources) {
        dropGSource(gsource);
        cancel(source, rl);
        CFRelease(source);
    }
    for (auto [timer, gsource] : timers) {
        dropGSource(gsource);
        CFRelease(timer);
    }
    g_main_context_unref(rl->context);
    delete rl;
}

std::string describeSource(const cf::Object* object)
{
    auto* source = static_cast<const __CFRunLoopSource*>(object);
    std::string text = cf::addressTag("CFRunLoopSource", object) + "{valid = " +
        (source->gate.valid() ? "Yes" : "No") + ", order = " + std::to_string(source->order);
    if (source->kind == __CFRunLoopSource::Kind::FileDescriptor) {
        text += ", fd = " + std::to_string(source->fd);
    } else if (source->context.copyDescription != nullptr) {
        CFStringRef info = source->context.copyDescription(source->context.info);
        text += ", context = " + cf::toUTF8(info);
        CFRelease(info);
    }
    return text + "}";
}

void finalizeSource(cf::Object* object)
{
    auto* source = static_cast<__CFRunLoopSource*>(object);
    if (source->context.release != nullptr)
        source->context.release(source->context.info);
    delete source;
}

std::string describeTimer(const cf::Object* object)
{
    auto* timer = static_cast<const __CFRunLoopTimer*>(object);
    char text[128];
    std::snprintf(text, sizeof text, "{valid = %s, interval = %g, next fire date = %.6f}",
                  timer->gate.valid() ? "Yes" : "No", timer->interval, timer->nextFire.load());
    return cf::addressTag("CFRunLoopTimer", object) + text;
}

void finalizeTimer(cf::Object* object)
{
    auto* timer = static_cast<__CFRunLoopTimer*>(object);
    if (timer->context.release != nullptr)
        timer->context.release(timer->context.info);
    delete timer;
}

// Constant strings for the mode names, usable during static initialisation of other files.
constinit __CFString gDefaultMode(u"kCFRunLoopDefaultMode", 21, "kCFRunLoopDefaultMode", true);
constinit __CFString gCommonModes(u"kCFRunLoopCommonModes", 21, "kCFRunLoopCommonModes", true);

} // namespace

namespace cf {

const Class runLoopClass = {kRunLoopTypeID, "CFRunLoop", finalizeRunLoop, nullptr, nullptr, describeRunLoop};
const Class runLoopSourceClass = {kRunLoopSourceTypeID, "CFRunLoopSource", finalizeSource, nullptr, nullptr, describeSource};
const Class runLoopTimerClass = {kRunLoopTimerTypeID, "CFRunLoopTimer", finalizeTimer, nullptr, nullptr, describeTimer};

} // namespace cf

const CFStringRef kCFRunLoopDefaultMode = &gDefaultMode;
const CFStringRef kCFRunLoopCommonModes = &gCommonModes;

CFTypeID CFRunLoopGetTypeID(void) { return cf::kRunLoopTypeID; }

CFRunLoopRef CFRunLoopGetCurrent(void)
{
    if (isMainThread())
        return mainRunLoop();
    if (tThreadEnded)
        return nullptr;
    ThreadRunLoop& mine = tRunLoop;
    if (mine.runLoop == nullptr) {
        GMainContext* context = g_main_context_get_thread_default();
        if (context != nullptr) {
            g_main_context_ref(context);
        } else {
            context = g_main_context_new();
            g_main_context_push_thread_default(context);
            mine.pushedContext = true;
        }
        mine.runLoop = new __CFRunLoop(context, false);
    }
    return mine.runLoop;
}

CFRunLoopRef CFRunLoopGetMain(void) { return mainRunLoop(); }

void CFRunLoopRun(void)
{
    __CFRunLoop* rl = CFRunLoopGetCurrent();
    SInt32 result;
    do {
        result = run(rl, 1e10, false, false);
    } while (result != kCFRunLoopRunStopped && result != kCFRunLoopRunFinished);
}

SInt32 CFRunLoopRunInMode(CFRunLoopMode, CFTimeInterval seconds, Boolean returnAfterSourceHandled)
{
    return run(CFRunLoopGetCurrent(), seconds, returnAfterSourceHandled, true);
}

void CFRunLoopStop(CFRunLoopRef rl)
{
    __CFRunLoop* loop = runLoopObject(rl);
    if (loop == nullptr)
        return;
    loop->stopRequested.store(true);
    g_main_context_wakeup(loop->context);
}

void CFRunLoopWakeUp(CFRunLoopRef rl)
{
    __CFRunLoop* loop = runLoopObject(rl);
    if (loop != nullptr)
        g_main_context_wakeup(loop->context);
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode)
{
    __CFRunLoop* loop = runLoopObject(rl);
    __CFRunLoopSource* src = sourceObject(source);
    if (loop == nullptr || src == nullptr)
        return false;
    std::lock_guard<std::mutex> guard(gRegistry);
    return std::find(loop->sources.begin(), loop->sources.end(), src) != loop->sources.end();
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode)
{
    __CFRunLoop* loop = runLoopObject(rl);
    __CFRunLoopSource* src = sourceObject(source);
    if (loop == nullptr || src == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(gRegistry);
        if (!src->gate.valid() || std::find(loop->sources.begin(), loop->sources.end(), src) != loop->sources.end())
            return;
        GSource* gsource;
        if (src->kind == __CFRunLoopSource::Kind::FileDescriptor) {
            gsource = newGSource(&gFileDescriptorFuncs, src, "CFRunLoopSource(fd)");
            g_source_add_unix_fd(gsource, src->fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
        } else {
            gsource = newGSource(&gSignalledFuncs, src, "CFRunLoopSource");
            if (src->signalled.load())
                g_source_set_ready_time(gsource, 0);
        }
        src->attachments.push_back({loop, gsource});
        loop->sources.push_back(static_cast<__CFRunLoopSource*>(const_cast<void*>(CFRetain(src))));
        loop->itemCount.fetch_add(1);
        g_source_attach(gsource, loop->context);
    }
    if (src->kind == __CFRunLoopSource::Kind::Signalled && src->context.schedule != nullptr)
        src->context.schedule(src->context.info, loop, kCFRunLoopDefaultMode);
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode)
{
    __CFRunLoop* loop = runLoopObject(rl);
    __CFRunLoopSource* src = sourceObject(source);
    if (loop == nullptr || src == nullptr)
        return;
    GSource* gsource = nullptr;
    {
        std::lock_guard<std::mutex> guard(gRegistry);
        auto& list = src->attachments;
        auto mine = std::find_if(list.begin(), list.end(), [&](const auto& a) { return a.runLoop == loop; });
        if (mine == list.end())
            return;
        gsource = mine->gsource;
        list.erase(mine);
        loop->sources.erase(std::find(loop->sources.begin(), loop->sources.end(), src));
        loop->itemCount.fetch_sub(1);
    }
    dropGSource(gsource);
    cancel(src, loop);
    CFRelease(src);
}

Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode)
{
    __CFRunLoop* loop = runLoopObject(rl);
    __CFRunLoopTimer* t = timerObject(timer);
    if (loop == nullptr || t == nullptr)
        return false;
    std::lock_guard<std::mutex> guard(gRegistry);
    return t->runLoop == loop;
}

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode)
{
    __CFRunLoop* loop = runLoopObject(rl);
    __CFRunLoopTimer* t = timerObject(timer);
    if (loop == nullptr || t == nullptr)
        return;
    std::lock_guard<std::mutex> guard(gRegistry);
    if (!t->gate.valid() || t->runLoop != nullptr)
        return;
    GSource* gsource = newGSource(&gTimerFuncs, t, "CFRunLoopTimer");
    g_source_set_ready_time(gsource, readyTimeFor(t->nextFire.load()));
    t->runLoop = loop;
    t->gsource = gsource;
    loop->timers.push_back(static_cast<__CFRunLoopTimer*>(const_cast<void*>(CFRetain(t))));
    loop->itemCount.fetch_add(1);
    g_source_attach(gsource, loop->context);
}

namespace {

// Takes the timer out of its run loop, if it is in `only` (or in any run loop when `only` is
// NULL).
void detachTimer(__CFRunLoopTimer* timer, __CFRunLoop* only)
{
    GSource* gsource = nullptr;
    {
        std::lock_guard<std::mutex> guard(gRegistry);
        __CFRunLoop* loop = timer->runLoop;
        if (loop == nullptr || (only != nullptr && loop != only))
            return;
        gsource = timer->gsource;
        timer->gsource = nullptr;
        timer->runLoop = nullptr;
        loop->timers.erase(std::find(loop->timers.begin(), loop->timers.end(), timer));
        loop->itemCount.fetch_sub(1);
    }
    dropGSource(gsource);
    CFRelease(timer);
}

} // namespace

void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode)
{
    __CFRunLoop* loop = runLoopObject(rl);
    __CFRunLoopTimer* t = timerObject(timer);
    if (loop != nullptr && t != nullptr)
        detachTimer(t, loop);
}

CFTypeID CFRunLoopSourceGetTypeID(void) { return cf::kRunLoopSourceTypeID; }

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef, CFIndex order, CFRunLoopSourceContext* context)
{
    if (context == nullptr || context->version != 0)
        return nullptr;
    auto* source = new __CFRunLoopSource(__CFRunLoopSource::Kind::Signalled, order);
    source->context = *context;
    if (context->retain != nullptr)
        source->context.info = const_cast<void*>(context->retain(context->info));
    return source;
}

CFRunLoopSourceRef _CFRunLoopSourceCreateForFD(int fd, void (*perform)(void* info), void* info)
{
    if (fd < 0 || perform == nullptr)
        return nullptr;
    auto* source = new __CFRunLoopSource(__CFRunLoopSource::Kind::FileDescriptor, 0);
    source->fd = fd;
    source->fdPerform = perform;
    source->fdInfo = info;
    return source;
}

CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source)
{
    __CFRunLoopSource* src = sourceObject(source);
    return src == nullptr ? 0 : src->order;
}

void CFRunLoopSourceGetContext(CFRunLoopSourceRef source, CFRunLoopSourceContext* context)
{
    __CFRunLoopSource* src = sourceObject(source);
    if (src != nullptr && context != nullptr)
        *context = src->context;
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef source)
{
    __CFRunLoopSource* src = sourceObject(source);
    if (src == nullptr || src->kind != __CFRunLoopSource::Kind::Signalled)
        return;
    src->signalled.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> guard(gRegistry);
    for (const auto& attachment : src->attachments)
        g_source_set_ready_time(attachment.gsource, 0);
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source)
{
    __CFRunLoopSource* src = sourceObject(source);
    if (src == nullptr || !src->gate.close(src))
        return;
    std::vector<__CFRunLoopSource::Attachment> removed;
    {
        std::lock_guard<std::mutex> guard(gRegistry);
        auto& list = src->attachments;
        for (auto it = list.begin(); it != list.end();) {
            // A run loop already on its way out detaches (and cancels) its sources itself.
            if (!cf::tryRetain(it->runLoop)) {
                ++it;
                continue;
            }
            auto& held = it->runLoop->sources;
            held.erase(std::find(held.begin(), held.end(), src));
            it->runLoop->itemCount.fetch_sub(1);
            removed.push_back(*it);
            it = list.erase(it);
        }
    }
    for (const auto& attachment : removed) {
        dropGSource(attachment.gsource);
        cancel(src, attachment.runLoop);
        CFRelease(src);
        CFRelease(attachment.runLoop);
    }
}

Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source)
{
    __CFRunLoopSource* src = sourceObject(source);
    return src != nullptr && src->gate.valid();
}

CFTypeID CFRunLoopTimerGetTypeID(void) { return cf::kRunLoopTimerTypeID; }

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate, CFTimeInterval interval,
                                       CFOptionFlags, CFIndex order, CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context)
{
    if (std::isnan(interval) || interval < 0)
        interval = 0;
    if (std::isnan(fireDate))
        fireDate = CFAbsoluteTimeGetCurrent();
    auto* timer = new __CFRunLoopTimer(fireDate, interval, order, callout);
    if (context != nullptr) {
        timer->context = *context;
        if (context->retain != nullptr)
            timer->context.info = const_cast<void*>(context->retain(context->info));
    }
    return timer;
}

CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer)
{
    __CFRunLoopTimer* t = timerObject(timer);
    return t == nullptr ? 0 : t->nextFire.load();
}

void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate)
{
    __CFRunLoopTimer* t = timerObject(timer);
    if (t == nullptr || !t->gate.valid() || std::isnan(fireDate))
        return;
    t->nextFire.store(fireDate);
    t->reschedules.fetch_add(1, std::memory_order_acq_rel);
    std::lock_guard<std::mutex> guard(gRegistry);
    if (t->gsource != nullptr)
        g_source_set_ready_time(t->gsource, readyTimeFor(fireDate));
}

CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer)
{
    __CFRunLoopTimer* t = timerObject(timer);
    return t == nullptr ? 0 : t->interval;
}

Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timer)
{
    __CFRunLoopTimer* t = timerObject(timer);
    return t != nullptr && t->interval > 0;
}

CFIndex CFRunLoopTimerGetOrder(CFRunLoopTimerRef timer)
{
    __CFRunLoopTimer* t = timerObject(timer);
    return t == nullptr ? 0 : t->order;
}

void CFRunLoopTimerGetContext(CFRunLoopTimerRef timer, CFRunLoopTimerContext* context)
{
    __CFRunLoopTimer* t = timerObject(timer);
    if (t != nullptr && context != nullptr)
        *context = t->context;
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer)
{
    __CFRunLoopTimer* t = timerObject(timer);
    if (t != nullptr && t->gate.close(t))
        detachTimer(t, nullptr);
}

Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer)
{
    __CFRunLoopTimer* t = timerObject(timer);
    return t != nullptr && t->gate.valid();
}
