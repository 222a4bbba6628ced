#include "kext/DaemonThread.h"

#include <future>

namespace kext {

DaemonThread::DaemonThread(std::string path, std::unique_ptr<BehaviourFactory> factory)
    : m_path(std::move(path))
{
    std::promise<bool> ready;
    std::future<bool> started = ready.get_future();
    m_thread = std::thread([this, &ready, factory = std::move(factory)]() mutable {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        {
            Daemon daemon(std::move(factory), context);
            std::string error;
            if (!daemon.listen(m_path, error)) {
                m_error = error;
                ready.set_value(false);
            } else {
                m_loop = g_main_loop_new(context, FALSE);
                m_daemon = &daemon;
                ready.set_value(true);
                g_main_loop_run(m_loop);
                g_main_loop_unref(m_loop);
            }
        }
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    });
    if (!started.get()) {
        m_thread.join();
        m_daemon = nullptr;
    }
}

DaemonThread::~DaemonThread()
{
    if (m_daemon != nullptr) {
        GMainLoop* loop = m_loop;
        m_daemon->invoke([loop] { g_main_loop_quit(loop); });
        m_thread.join();
    }
}

void DaemonThread::run(const std::function<void(Daemon&)>& fn)
{
    if (m_daemon == nullptr)
        return;
    std::promise<void> done;
    Daemon* daemon = m_daemon;
    daemon->invoke([&] {
        fn(*daemon);
        done.set_value();
    });
    done.get_future().wait();
}

} // namespace kext
