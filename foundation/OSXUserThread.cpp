#include "foundation/OSXUserThread.h"

#include <mach/mach.h>

#include <cstdint>

namespace {

// base_priority of one of the three scheduling records; 0 if the thread cannot tell.
template <typename Info>
SInt32 basePriority(thread_act_t port, thread_flavor_t flavor, mach_msg_type_number_t count)
{
    Info info{};
    if (thread_info(port, flavor, reinterpret_cast<thread_info_t>(&info), &count) != KERN_SUCCESS)
        return 0;
    return info.base_priority;
}

} // namespace

OSXUserThread::OSXUserThread(UInt32 priority)
    : m_iBasePriority(getThreadPriority(pthread_self())), m_iPriority(priority)
{
}

OSXUserThread::~OSXUserThread()
{
    threadStop();
}

bool OSXUserThread::threadStart()
{
    if (m_thread != pthread_t{})
        return false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_t thread{};
    bool started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0
        && pthread_create(&thread, &attributes, entry, this) == 0;
    pthread_attr_destroy(&attributes);
    if (!started)
        return false;
    m_thread = thread;
    SetPriority(m_iPriority);
    m_iPriority = UInt32(getThreadPriority(m_thread));
    return true;
}

void OSXUserThread::SetPriority(UInt32 priority)
{
    m_iPriority = priority;
    if (m_thread == pthread_t{})
        return;
    // Precedence is relative to the base priority of the thread that made this object.
    thread_precedence_policy_data_t precedence{integer_t(priority) - m_iBasePriority};
    thread_policy_set(pthread_mach_thread_np(m_thread), THREAD_PRECEDENCE_POLICY,
                      reinterpret_cast<thread_policy_t>(&precedence), THREAD_PRECEDENCE_POLICY_COUNT);
}

SInt32 OSXUserThread::getThreadPriority(pthread_t thread)
{
    thread_act_t port = pthread_mach_thread_np(thread);
    thread_basic_info_data_t basic{};
    mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
    if (thread_info(port, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&basic), &count)
        != KERN_SUCCESS)
        return 0;
    switch (basic.policy) {
    case POLICY_TIMESHARE:
        return basePriority<policy_timeshare_info_data_t>(port, THREAD_SCHED_TIMESHARE_INFO,
                                                          THREAD_SCHED_TIMESHARE_INFO_COUNT);
    case POLICY_RR:
        return basePriority<policy_rr_info_data_t>(port, THREAD_SCHED_RR_INFO,
                                                   THREAD_SCHED_RR_INFO_COUNT);
    case POLICY_FIFO:
        return basePriority<policy_fifo_info_data_t>(port, THREAD_SCHED_FIFO_INFO,
                                                     THREAD_SCHED_FIFO_INFO_COUNT);
    default:
        return 0;
    }
}

void* OSXUserThread::entry(void* argument)
{
    if (argument == nullptr)
        return nullptr;
    SInt32 result = static_cast<OSXUserThread*>(argument)->threadRun();
    return reinterpret_cast<void*>(intptr_t(result));
}
