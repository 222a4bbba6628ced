#pragma once
// The HAL thread: a thread that runs its own run loop (CFRunLoopRun on its thread-default
// context), so that what a plug-in arms on the current run loop while being initialised there
// is served on it, and that runs the HAL's work handed to it in order.
#include <CoreFoundation/CoreFoundation.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class RunLoopThread {
public:
    RunLoopThread() = default;
    RunLoopThread(const RunLoopThread&) = delete;
    RunLoopThread& operator=(const RunLoopThread&) = delete;
    ~RunLoopThread() { stop(); }

    // Returns once the thread's run loop is ready for work.
    void start();
    // Ends the run loop and joins the thread; work not yet run is dropped. Not from the thread.
    void stop();

    // Runs `work` on the thread after what was handed over before it.
    void post(std::function<void()> work);
    // The same, and waits until it has run (runs it at once when called on the thread).
    void runSync(const std::function<void()>& work);

    bool isCurrent() const;

private:
    static void perform(void* info);
    void main();

    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_work;
    CFRunLoopRef m_runLoop = nullptr;
    CFRunLoopSourceRef m_source = nullptr;
    bool m_ready = false;
};
