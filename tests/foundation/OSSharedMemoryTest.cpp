#include "foundation/OSSharedMemory.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Keys of this process's own, so these tests meet neither each other, nor other build trees,
// nor the machine-wide updater flag that every device initialisation probes.
const SInt32 kTestKey = SInt32(0x5A000000 | (getpid() & 0xFFFFFF));
const SInt32 kFlagKey = SInt32(0x5B000000 | (getpid() & 0xFFFFFF));

int segmentUnder(SInt32 key)
{
    return shmget(key_t(key), 0, 0);
}

bool exists(SInt32 key)
{
    return segmentUnder(key) != -1;
}

void removeUnder(SInt32 key)
{
    int shmid = segmentUnder(key);
    if (shmid != -1)
        shmctl(shmid, IPC_RMID, nullptr);
}

// Starts and ends every test with no segment under either key, and no registration.
class SharedMemoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setUpdaterFlagKey(kFlagKey);
        clean();
    }
    void TearDown() override
    {
        clean();
        EXPECT_FALSE(exists(kFlagKey));
        EXPECT_FALSE(exists(kTestKey));
    }
    static void clean()
    {
        fwupdateUnRegister();
        removeUnder(kFlagKey);
        removeUnder(kTestKey);
    }
};

} // namespace

TEST_F(SharedMemoryTest, OpenSharesTheSegmentAndEveryCloseRemovesIt)
{
    OSSharedMemory creator;
    EXPECT_FALSE(creator.isOpen());
    creator.close(); // closed: nothing happens
    ASSERT_TRUE(creator.open(kTestKey, 256, true, true));
    EXPECT_EQ(std::tuple(creator.isOpen(), creator.getKey(), creator.getSize(), segmentUnder(kTestKey)),
              std::tuple(true, kTestKey, 256u, creator.getShmid()));
    if (geteuid() == 0) { // the owner of a mode-0 segment may read its status only as root
        EXPECT_EQ(creator.getInfo().shm_segsz, 256u);
        EXPECT_EQ(creator.getInfo().shm_perm.mode & 0777, 0u);
    }
    OSSharedMemory opener;
    ASSERT_TRUE(opener.open(kTestKey, 256, false, false));
    EXPECT_EQ(opener.getShmid(), creator.getShmid());
    opener.close();
    EXPECT_FALSE(exists(kTestKey)) << "there is no detach-only close";
    creator.close();
    EXPECT_EQ(std::tuple(creator.isOpen(), creator.getKey(), creator.getSize()), std::tuple(false, 0, 0u));
    {
        OSSharedMemory shm;
        ASSERT_TRUE(shm.open(kTestKey, 256, true, false));
    }
    EXPECT_FALSE(exists(kTestKey)) << "nor does the destructor only detach";
}

TEST_F(SharedMemoryTest, FailuresLeaveTheObjectClosed)
{
    OSSharedMemory shm;
    EXPECT_FALSE(shm.open(kTestKey, 256, false, false)) << "no segment and no create";
    EXPECT_FALSE(exists(kTestKey));

    OSSharedMemory holder;
    ASSERT_TRUE(holder.open(kTestKey, 256, true, true));
    EXPECT_FALSE(shm.open(kTestKey, 256, true, true)) << "exclusive create of a taken key";
    EXPECT_FALSE(shm.open(kTestKey, 4096, false, false)) << "larger than the segment";
    EXPECT_FALSE(shm.isOpen());
    EXPECT_EQ(segmentUnder(kTestKey), holder.getShmid()) << "the holder's segment is untouched";

    // Reopening first removes what was held, even when the reopening fails.
    ASSERT_TRUE(holder.open(kFlagKey, kUpdaterFlagSize, true, true));
    EXPECT_FALSE(exists(kTestKey));
    EXPECT_FALSE(holder.open(kTestKey, 256, false, false));
    EXPECT_FALSE(exists(kFlagKey));
    EXPECT_FALSE(holder.isOpen());
}

TEST_F(SharedMemoryTest, ProbesRacingEachOtherAreNotTakenForAnUpdater)
{
    // Several openers probe at once; each probe holds the key for an instant only, and none
    // leaves the flag behind.
    std::atomic<int> active{0};
    std::vector<std::thread> probers;
    for (int t = 0; t < 3; ++t)
        probers.emplace_back([&] {
            for (int k = 0; k < 300; ++k) {
                active += fwUpdaterActive() ? 1 : 0;
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
    for (auto& t : probers)
        t.join();
    EXPECT_EQ(active, 0);
    EXPECT_FALSE(exists(kFlagKey));
}

TEST_F(SharedMemoryTest, ActiveWhileAnotherHolderHasTheFlag)
{
    // The updater as a separate program would make it like this.
    int shmid = shmget(key_t(kFlagKey), kUpdaterFlagSize, IPC_CREAT | IPC_EXCL);
    ASSERT_NE(shmid, -1);
    EXPECT_TRUE(fwUpdaterActive());
    EXPECT_FALSE(fwupdateRegister()) << "the key is taken";
    EXPECT_EQ(segmentUnder(kFlagKey), shmid) << "neither may remove it";
}

TEST_F(SharedMemoryTest, RegistrationHoldsTheFlagUntilUnRegister)
{
    fwupdateUnRegister(); // not registered: nothing happens
    ASSERT_TRUE(fwupdateRegister());
    int shmid = segmentUnder(kFlagKey);
    ASSERT_NE(shmid, -1);
    // Reopening would have made a new segment with a new identifier.
    EXPECT_TRUE(fwupdateRegister());
    EXPECT_TRUE(fwUpdaterActive());
    EXPECT_EQ(segmentUnder(kFlagKey), shmid);
    fwupdateUnRegister();
    EXPECT_FALSE(exists(kFlagKey));
    EXPECT_FALSE(fwUpdaterActive());
}

TEST_F(SharedMemoryTest, ProcessExitReleasesTheRegistration)
{
    // Another program registers and leaves through the normal exit path.
    const std::string key = std::to_string(kFlagKey);
    char* argv[] = {const_cast<char*>("foundation_flag_holder"), const_cast<char*>(key.c_str()), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, FLAG_HOLDER, nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the other program could not register";
    EXPECT_FALSE(exists(kFlagKey));
}
