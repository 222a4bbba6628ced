#include "hal/RunLoopThread.h"

namespace {

thread_local const RunLoopThread* tCurrent = nullptr;

} // namespace

void RunLoopThread::start()
{
    if (m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_ready = false;
    }
    m_thread = std::thread([this] { main(); });
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_ready; });
}

void RunLoopThread::main()
{
    tCurrent = this;
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopSourceContext context{};
    context.info = this;
    context.perform = &RunLoopThread::perform;
    CFRunLoopSourceRef source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    CFRunLoopAddSource(runLoop, source, kCFRunLoopDefaultMode);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_runLoop = runLoop;
        m_source = source;
        m_ready = true;
        // Work handed over before the source existed.
        if (!m_work.empty())
            CFRunLoopSourceSignal(source);
    }
    m_changed.notify_all();
    CFRunLoopRun();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_source = nullptr;
        m_runLoop = nullptr;
    }
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);
}

void RunLoopThread::stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_runLoop != nullptr)
            CFRunLoopStop(m_runLoop);
    }
    m_thread.join();
    std::lock_guard<std::mutex> guard(m_lock);
    m_work.clear();
    m_ready = false;
}

void RunLoopThread::post(std::function<void()> work)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_work.push_back(std::move(work));
    if (m_source != nullptr)
        CFRunLoopSourceSignal(m_source);
}

void RunLoopThread::runSync(const std::function<void()>& work)
{
    if (isCurrent()) {
        work();
        return;
    }
    bool done = false;
    post([&] {
        work();
        std::lock_guard<std::mutex> guard(m_lock);
        done = true;
        m_changed.notify_all();
    });
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [&] { return done; });
}

bool RunLoopThread::isCurrent() const
{
    return tCurrent == this;
}

void RunLoopThread::perform(void* info)
{
    auto* self = static_cast<RunLoopThread*>(info);
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> guard(self->m_lock);
            if (self->m_work.empty())
                return;
            work = std::move(self->m_work.front());
            self->m_work.pop_front();
        }
        work();
    }
}
