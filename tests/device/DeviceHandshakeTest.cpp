// The configuration hand-shake between processes when the process that claimed the interface
// is gone. Each case sits out the whole wait for the configured flag, so the cases run at once,
// each on an interface of its own.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "tests/device/DeviceFixture.h"

extern char** environ;

namespace devicetest {
namespace {

using DeviceHandshakeTest = DeviceTest;

// The number of a process that has ended.
uint32_t endedProcess()
{
    pid_t pid = 0;
    char program[] = "/bin/true";
    char* argv[] = {program, nullptr};
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0)
        return 0;
    int status = 0;
    waitpid(pid, &status, 0);
    return uint32_t(pid);
}

TEST_F(DeviceHandshakeTest, AClaimIsTakenOverOnlyFromAClaimerThatIsGone)
{
    struct Case {
        const char* claimer;
        uint32_t pid;
        bool initialises;
        KernelStatusBlock* status = nullptr;
        ZmOSXDevice* waiter = nullptr;
        bool initialised = false;
    } cases[] = {
        {"ended", endedProcess(), true},
        {"alive", uint32_t(getpid()), false},
    };
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    io_iterator_t services = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("ZmKernelDeviceTARSEL"), &services),
              kIOReturnSuccess);
    for (Case& c : cases) {
        ASSERT_NE(c.pid, 0u) << c.claimer;
        // A fresh interface, not yet configured, claimed by someone that never releases it.
        releaseService();
        m_service = IOIteratorNext(services);
        ASSERT_NE(m_service, 0u);
        c.status = makeDevice()->getDriverSM();
        ASSERT_NE(c.status, nullptr);
        ASSERT_EQ(c.status->bConfigured, 0u);
        c.status->iClaimCounter = 1;
        c.status->iClaimOwner = c.pid;
        c.waiter = makeDevice();
    }
    IOObjectRelease(services);

    std::thread ended([&] { cases[0].initialised = cases[0].waiter->init(); });
    cases[1].initialised = cases[1].waiter->init();
    ended.join();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.claimer);
        EXPECT_EQ(c.initialised, c.initialises);
        EXPECT_EQ(c.status->bConfigured != 0, c.initialises);
        if (c.initialises) {
            EXPECT_EQ(std::pair(c.status->iClaimCounter, c.status->iClaimOwner), std::pair(0, 0u));
        }
    }
}

} // namespace
} // namespace devicetest
