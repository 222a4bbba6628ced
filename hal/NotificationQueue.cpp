#include "hal/NotificationQueue.h"

namespace {

thread_local const NotificationQueue* tCurrent = nullptr;

} // namespace

void NotificationQueue::start(std::function<void(const HALNotice&)> deliver)
{
    if (m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_ring.assign(kCapacity, HALNotice{});
        m_head = 0;
        m_count = 0;
        m_running = true;
        m_stopping = false;
        m_deliver = std::move(deliver);
    }
    m_thread = std::thread([this] { main(); });
}

void NotificationQueue::stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
        m_running = false;
    }
    m_ready.notify_all();
    m_thread.join();
    std::lock_guard<std::mutex> guard(m_lock);
    m_count = 0;
    m_head = 0;
    m_deliver = nullptr;
}

bool NotificationQueue::push(const HALNotice& notice, bool fromPlugIn)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_running)
            return false;
        std::size_t limit = fromPlugIn ? kCapacity - kReserved : kCapacity;
        if (m_count >= limit) {
            for (std::size_t i = 0; i < m_count; ++i)
                if (m_ring[(m_head + i) % kCapacity] == notice)
                    return true;
            ++m_dropped;
            return false;
        }
        m_ring[(m_head + m_count) % kCapacity] = notice;
        ++m_count;
    }
    m_ready.notify_one();
    return true;
}

bool NotificationQueue::isCurrent() const
{
    return tCurrent == this;
}

std::size_t NotificationQueue::droppedCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dropped;
}

void NotificationQueue::main()
{
    tCurrent = this;
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_ready.wait(guard, [this] { return m_stopping || m_count > 0; });
        if (m_stopping)
            return;
        HALNotice notice = m_ring[m_head];
        m_head = (m_head + 1) % kCapacity;
        --m_count;
        guard.unlock();
        m_deliver(notice);
        guard.lock();
    }
}
