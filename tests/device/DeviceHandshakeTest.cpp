// The configuration hand-shake between processes when the process that claimed the interface
// is gone. Each case sits out the whole wait for the configured flag.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
    };
    const Case cases[] = {
        {"ended", endedProcess(), true},
        {"alive", uint32_t(getpid()), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.claimer);
        ASSERT_NE(c.pid, 0u);
        // A fresh interface, not yet configured, claimed by someone that never releases it.
        ASSERT_TRUE(plug("tarsel"));
        ZmOSXDevice* holder = makeDevice();
        KernelStatusBlock* s = holder->getDriverSM();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->bConfigured, 0u);
        s->iClaimCounter = 1;
        s->iClaimOwner = c.pid;

        EXPECT_EQ(makeDevice()->init(), c.initialises);
        EXPECT_EQ(s->bConfigured != 0, c.initialises);
        if (c.initialises) {
            EXPECT_EQ(s->iClaimCounter, 0);
            EXPECT_EQ(s->iClaimOwner, 0u);
        }
        releaseDevices();
        ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);
    }
}

} // namespace
} // namespace devicetest
