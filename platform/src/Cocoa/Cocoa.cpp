// The parts of Cocoa that need no window: controls' values, the application object, NSLog and
// the classes an interface description can make.
#include <Cocoa/Cocoa.h>

#include "platform/src/Cocoa/CocoaInterface.h"

#include <errno.h>
#include <stdarg.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

NSApplication* NSApp = nullptr;

namespace {

struct Classes {
    std::mutex lock;
    std::map<std::string, NSClassDescription> byName;
};

Classes& classes()
{
    static Classes c;
    return c;
}

std::mutex& terminateLock()
{
    static std::mutex m;
    return m;
}

std::function<void(id)>& terminateHandler()
{
    static std::function<void(id)> handler;
    return handler;
}

} // namespace

void NSControl::setStringValue(const char* value)
{
    m_value = value != nullptr ? value : "";
}

void NSControl::setEnabled(BOOL enabled)
{
    m_enabled = enabled ? YES : NO;
}

NSApplication* NSApplication::sharedApplication()
{
    static NSApplication application;
    NSApp = &application;
    return NSApp;
}

void NSApplication::terminate(id sender)
{
    std::function<void(id)> handler;
    {
        std::lock_guard<std::mutex> guard(terminateLock());
        handler = terminateHandler();
    }
    if (!handler) {
        std::fflush(nullptr);
        std::exit(0);
    }
    handler(sender);
}

void _NSApplicationSetTerminateHandler(std::function<void(id sender)> handler)
{
    std::lock_guard<std::mutex> guard(terminateLock());
    terminateHandler() = std::move(handler);
}

void NSLog(const char* format, ...)
{
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    const std::string message(text);
    const bool ended = !message.empty() && message.back() == '\n';
    std::fprintf(stderr, "%s.%03ld %s[%d:%d] %s%s", stamp, long(now.tv_usec / 1000),
                 program_invocation_short_name, int(getpid()), int(gettid()), text, ended ? "" : "\n");
}

void NSRegisterClass(const char* name, NSClassDescription description)
{
    Classes& c = classes();
    std::lock_guard<std::mutex> guard(c.lock);
    c.byName[name] = std::move(description);
}

const NSClassDescription* NSClassDescriptionFor(const std::string& name)
{
    Classes& c = classes();
    std::lock_guard<std::mutex> guard(c.lock);
    const auto it = c.byName.find(name);
    return it == c.byName.end() ? nullptr : &it->second;
}
