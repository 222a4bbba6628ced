// Mach thread names, precedence and scheduling information on Linux.
//
// Every thread that the suite creates registers itself in a table (name -> pthread and kernel
// thread id) before its start routine runs, and leaves it as it exits; other threads register
// the first time they ask for their own name. Calls on a name that is not in the table (a thread
// that has ended) fail with KERN_INVALID_ARGUMENT instead of touching a dead thread.
//
// Priority mapping. Mach priorities run 0..127; a normal thread has base priority 31 and the
// precedence policy moves it to 31 + importance, at most 63 for a user thread. On Linux:
//   - 31 + importance above 31: SCHED_FIFO with real-time priority (target - 31), so 63 -> 32.
//     Where the process may not use a real-time class, the nice value is lowered instead
//     (nice = 31 - target, at least -20), and where that is refused too the thread stays as it
//     is: the call still succeeds, as precedence is only a hint on the Mac as well.
//   - 31 + importance of 31 or below: SCHED_OTHER with nice = 31 - target (at most 19).
// thread_info reports the policy the other way round: SCHED_OTHER and SCHED_BATCH are
// POLICY_TIMESHARE with base priority 31 - nice; SCHED_FIFO and SCHED_RR are POLICY_FIFO and
// POLICY_RR with base priority 31 + real-time priority (at most 127). SCHED_IDLE and
// SCHED_DEADLINE have no Mach counterpart and are reported as POLICY_NULL.
#include <mach/mach.h>

#include <errno.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <semaphore>
#include <vector>

namespace {

constexpr mach_port_t kTaskSelf = 0x103;
constexpr int kBasePriority = 31;
constexpr int kMaxUserPriority = 63;
constexpr int kMaxPriority = 127;

struct ThreadEntry {
    mach_port_t name;
    pthread_t thread;
    pid_t tid;
};

struct ThreadTable {
    std::mutex lock;
    std::vector<ThreadEntry> entries;
    mach_port_t nextName = 0x1000;
};

ThreadTable& table()
{
    // Never destroyed: threads may exit after static destruction has begun.
    static ThreadTable* instance = new ThreadTable;
    return *instance;
}

pid_t currentTid()
{
    return pid_t(syscall(SYS_gettid));
}

// Removes the calling thread from the table when it exits.
struct Registration {
    mach_port_t name = MACH_PORT_NULL;
    ~Registration()
    {
        if (name == MACH_PORT_NULL)
            return;
        ThreadTable& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        std::erase_if(t.entries, [this](const ThreadEntry& e) { return e.name == name; });
    }
};

thread_local Registration tlsRegistration;

mach_port_t registerSelf()
{
    if (tlsRegistration.name != MACH_PORT_NULL)
        return tlsRegistration.name;
    ThreadTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    mach_port_t name = t.nextName++;
    t.entries.push_back({name, pthread_self(), currentTid()});
    tlsRegistration.name = name;
    return name;
}

ThreadEntry* findLocked(ThreadTable& t, mach_port_t name)
{
    for (ThreadEntry& e : t.entries)
        if (e.name == name)
            return &e;
    return nullptr;
}

policy_t machPolicy(int linuxPolicy)
{
    switch (linuxPolicy) {
    case SCHED_OTHER:
    case SCHED_BATCH:
        return POLICY_TIMESHARE;
    case SCHED_FIFO:
        return POLICY_FIFO;
    case SCHED_RR:
        return POLICY_RR;
    default:
        return POLICY_NULL;
    }
}

int basePriorityOf(const ThreadEntry& e, int linuxPolicy)
{
    if (linuxPolicy == SCHED_FIFO || linuxPolicy == SCHED_RR) {
        struct sched_param param {};
        if (sched_getparam(e.tid, &param) != 0)
            return kBasePriority;
        return std::min(kMaxPriority, kBasePriority + param.sched_priority);
    }
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, id_t(e.tid));
    if (nice == -1 && errno != 0)
        nice = 0;
    return kBasePriority - nice;
}

// A thread that asks for real-time precedence but does not get the real-time class keeps a
// time-shared thread's 50 us timer slack, which would make every one of its sleeps that late.
void minimiseTimerSlack(pid_t tid)
{
    if (tid == pid_t(syscall(SYS_gettid))) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        return;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/timerslack_ns", int(tid));
    if (FILE* f = std::fopen(path, "w")) {
        std::fputs("1", f);
        std::fclose(f);
    }
}

void applyPrecedence(const ThreadEntry& e, int importance)
{
    int target = std::clamp(kBasePriority + importance, 0, kMaxUserPriority);
    if (target > kBasePriority) {
        struct sched_param param {};
        param.sched_priority = target - kBasePriority;
        if (sched_setscheduler(e.tid, SCHED_FIFO, &param) == 0)
            return;
        setpriority(PRIO_PROCESS, id_t(e.tid), std::max(-20, kBasePriority - target));
        minimiseTimerSlack(e.tid);
        return;
    }
    struct sched_param param {};
    if (sched_getscheduler(e.tid) != SCHED_OTHER)
        sched_setscheduler(e.tid, SCHED_OTHER, &param);
    setpriority(PRIO_PROCESS, id_t(e.tid), std::min(19, kBasePriority - target));
}

void fillCpuTimes(const ThreadEntry& e, thread_basic_info_t info)
{
    clockid_t clock;
    struct timespec ts {};
    if (pthread_getcpuclockid(e.thread, &clock) != 0 || clock_gettime(clock, &ts) != 0)
        return;
    // Linux does not split a thread's time into user and system time here; all of it is
    // reported as user time.
    info->user_time.seconds = integer_t(ts.tv_sec);
    info->user_time.microseconds = integer_t(ts.tv_nsec / 1000);
}

struct StartRecord {
    void* (*routine)(void*);
    void* argument;
    std::binary_semaphore registered{0};
};

void* registeredStart(void* raw)
{
    auto* record = static_cast<StartRecord*>(raw);
    void* (*routine)(void*) = record->routine;
    void* argument = record->argument;
    registerSelf();
    record->registered.release(); // the record belongs to the creator from here on
    return routine(argument);
}

} // namespace

extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Wraps pthread_create for the suite (linked with --wrap): the creator returns only once the
// new thread is in the table, so it can name the thread at once.
extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                     void* (*routine)(void*), void* argument)
{
    StartRecord record{routine, argument};
    int result = __real_pthread_create(thread, attr, registeredStart, &record);
    if (result == 0)
        record.registered.acquire();
    return result;
}

extern "C" mach_port_t mach_task_self(void)
{
    return kTaskSelf;
}

extern "C" thread_t mach_thread_self(void)
{
    return registerSelf();
}

extern "C" mach_port_t pthread_mach_thread_np(pthread_t thread)
{
    if (pthread_equal(thread, pthread_self()))
        return registerSelf();
    ThreadTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    for (const ThreadEntry& e : t.entries)
        if (pthread_equal(e.thread, thread))
            return e.name;
    return MACH_PORT_NULL;
}

extern "C" kern_return_t pid_for_task(mach_port_name_t task, int* pid)
{
    if (pid == nullptr || task != kTaskSelf)
        return KERN_INVALID_ARGUMENT;
    *pid = int(getpid());
    return KERN_SUCCESS;
}

extern "C" kern_return_t thread_policy_set(thread_act_t thread, thread_policy_flavor_t flavor,
                                           thread_policy_t policy_info, mach_msg_type_number_t count)
{
    if (flavor != THREAD_PRECEDENCE_POLICY)
        return KERN_INVALID_ARGUMENT;
    if (policy_info == nullptr || count < THREAD_PRECEDENCE_POLICY_COUNT)
        return KERN_INVALID_ARGUMENT;
    ThreadTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock); // keeps the thread from leaving meanwhile
    const ThreadEntry* e = findLocked(t, thread);
    if (e == nullptr)
        return KERN_INVALID_ARGUMENT;
    applyPrecedence(*e, policy_info[0]);
    return KERN_SUCCESS;
}

extern "C" kern_return_t thread_info(thread_act_t thread, thread_flavor_t flavor,
                                     thread_info_t info, mach_msg_type_number_t* count)
{
    if (info == nullptr || count == nullptr)
        return KERN_INVALID_ARGUMENT;
    ThreadTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    const ThreadEntry* e = findLocked(t, thread);
    if (e == nullptr)
        return KERN_INVALID_ARGUMENT;
    int linuxPolicy = sched_getscheduler(e->tid);
    if (linuxPolicy < 0)
        return KERN_FAILURE;
    policy_t policy = machPolicy(linuxPolicy);

    switch (flavor) {
    case THREAD_BASIC_INFO: {
        if (*count < THREAD_BASIC_INFO_COUNT)
            return KERN_INVALID_ARGUMENT;
        thread_basic_info_data_t basic {};
        fillCpuTimes(*e, &basic);
        basic.policy = policy;
        basic.run_state = TH_STATE_RUNNING;
        std::memcpy(info, &basic, sizeof(integer_t) * THREAD_BASIC_INFO_COUNT);
        *count = THREAD_BASIC_INFO_COUNT;
        return KERN_SUCCESS;
    }
    case THREAD_SCHED_TIMESHARE_INFO: {
        if (*count < THREAD_SCHED_TIMESHARE_INFO_COUNT)
            return KERN_INVALID_ARGUMENT;
        if (policy != POLICY_TIMESHARE)
            return KERN_INVALID_POLICY;
        policy_timeshare_info_data_t ts {};
        ts.max_priority = kMaxUserPriority;
        ts.base_priority = basePriorityOf(*e, linuxPolicy);
        ts.cur_priority = ts.base_priority;
        std::memcpy(info, &ts, sizeof(integer_t) * THREAD_SCHED_TIMESHARE_INFO_COUNT);
        *count = THREAD_SCHED_TIMESHARE_INFO_COUNT;
        return KERN_SUCCESS;
    }
    case THREAD_SCHED_RR_INFO: {
        if (*count < THREAD_SCHED_RR_INFO_COUNT)
            return KERN_INVALID_ARGUMENT;
        if (policy != POLICY_RR)
            return KERN_INVALID_POLICY;
        policy_rr_info_data_t rr {};
        rr.max_priority = kMaxPriority;
        rr.base_priority = basePriorityOf(*e, linuxPolicy);
        struct timespec quantum {};
        if (sched_rr_get_interval(e->tid, &quantum) == 0)
            rr.quantum = integer_t(quantum.tv_sec * 1000 + quantum.tv_nsec / 1000000);
        std::memcpy(info, &rr, sizeof(integer_t) * THREAD_SCHED_RR_INFO_COUNT);
        *count = THREAD_SCHED_RR_INFO_COUNT;
        return KERN_SUCCESS;
    }
    case THREAD_SCHED_FIFO_INFO: {
        if (*count < THREAD_SCHED_FIFO_INFO_COUNT)
            return KERN_INVALID_ARGUMENT;
        if (policy != POLICY_FIFO)
            return KERN_INVALID_POLICY;
        policy_fifo_info_data_t fifo {};
        fifo.max_priority = kMaxPriority;
        fifo.base_priority = basePriorityOf(*e, linuxPolicy);
        std::memcpy(info, &fifo, sizeof(integer_t) * THREAD_SCHED_FIFO_INFO_COUNT);
        *count = THREAD_SCHED_FIFO_INFO_COUNT;
        return KERN_SUCCESS;
    }
    default:
        return KERN_INVALID_ARGUMENT;
    }
}
