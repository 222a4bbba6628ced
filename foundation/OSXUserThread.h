#pragma once
#include <MacTypes.h>
#include <pthread.h>

#include <atomic>

// A detached POSIX thread with a raised Mach precedence and a cooperative stop flag. A subclass
// supplies the body in threadRun() and polls isStopRequested(); nothing joins the thread, so the
// owner keeps the object alive until the body has signalled that it is leaving.
class OSXUserThread {
public:
    explicit OSXUserThread(UInt32 priority);
    OSXUserThread(const OSXUserThread&) = delete;
    OSXUserThread& operator=(const OSXUserThread&) = delete;

    // The thread's body; its result becomes the thread's result.
    virtual SInt32 threadRun() = 0;
    // Asks the thread to stop; does not wait for it.
    virtual ~OSXUserThread();

    // Starts the one thread this object may ever run; false if it already has one or on failure.
    bool threadStart();
    // Best effort: a refused precedence leaves the thread where it is.
    void SetPriority(UInt32 priority);
    void threadStop() { m_bStopRequested.store(true, std::memory_order_release); }
    bool isStopRequested() const { return m_bStopRequested.load(std::memory_order_acquire); }
    // The wanted priority, or after a successful start the one the thread actually got.
    UInt32 getPriority() const { return m_iPriority; }

    // Base priority of `thread` under its scheduling policy; 0 for any other policy.
    static SInt32 getThreadPriority(pthread_t thread);
    static void* entry(void* argument);

protected:
    // Written by the owner, polled by the thread; it only ever goes from false to true.
    std::atomic<bool> m_bStopRequested{false};
    pthread_t m_thread{};
    SInt32 m_iBasePriority;
    UInt32 m_iPriority;
};
