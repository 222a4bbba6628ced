// Discovery and hot-plug through OSXDeviceManager against a private simulated kernel driver,
// and the classification of the host process by its name.
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "device/DeviceManagerClient.h"
#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"
#include "tests/device/DeviceFixture.h"
#include "tests/support/Subprocess.h"


namespace {

using namespace std::chrono_literals;
using kexttest::runLoopUntil;

// Records what the manager reports, and whether the device was one of the manager's then: an
// arrival is reported once it is, a departure after it has left. deviceRemoved may come from a
// device's I/O thread.
class Recorder : public IgnoringDeviceManagerClient {
public:
    struct Report {
        ZmOSXDevice* device;
        bool listed;
    };
    void deviceAdded(ZmOSXDevice* device) override { note(m_added, device); }
    void deviceRemoved(ZmOSXDevice* device) override { note(m_removed, device); }
    std::vector<Report> addedReports() { return copy(m_added); }
    std::vector<Report> removedReports() { return copy(m_removed); }
    size_t added() { return addedReports().size(); }
    size_t removed() { return removedReports().size(); }

private:
    void note(std::vector<Report>& to, ZmOSXDevice* device)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        to.push_back({device, device->getManager()->getDeviceIndex(device) >= 0});
    }
    std::vector<Report> copy(const std::vector<Report>& from)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return from;
    }
    std::mutex m_lock;
    std::vector<Report> m_added, m_removed;
};

bool allListed(const std::vector<Recorder::Report>& reports, bool listed)
{
    for (const Recorder::Report& r : reports)
        if (r.listed != listed)
            return false;
    return true;
}

using devicetest::settle;
using kexttest::PrivateHome;

class DeviceManagerTest : public kexttest::KextTest {
protected:
    PrivateHome m_home;
};

// Plays another Darwin release for the managers made while it lives.
class DarwinRelease {
public:
    explicit DarwinRelease(const char* release)
    {
        s_release = release;
        OSXDeviceManager::s_uname = fakeUname;
    }
    ~DarwinRelease() { OSXDeviceManager::s_uname = ::uname; }

private:
    static int fakeUname(struct utsname* name)
    {
        std::memset(name, 0, sizeof *name);
        std::strncpy(name->release, s_release, sizeof name->release - 1);
        return 0;
    }
    static inline const char* s_release = nullptr;
};

// Makes the managers made while it lives see no run loop on their thread.
class NoRunLoop {
public:
    NoRunLoop() { OSXDeviceManager::s_currentRunLoop = [] { return CFRunLoopRef(nullptr); }; }
    ~NoRunLoop() { OSXDeviceManager::s_currentRunLoop = CFRunLoopGetCurrent; }
};

// --- the host process ---------------------------------------------------------------------------

TEST(ProcessClassification, NameRulesInTheirOrder)
{
    struct Case {
        const char* name;
        uint32_t type;
    } cases[] = {
        {"Audio MIDI Setup", kClientAudioSetup},
        {"audio midi setup", kClientAudioSetup},
        {"AUDIO MIDI SETUP", kClientAudioSetup},
        {"Audio MIDI Setu", kClientOther},   // one short
        {"Audio MIDI Setup2", kClientOther}, // must be the whole name
        {"iTunes", kClientITunes},
        {"iTunesHelper", kClientITunes},
        {"My itunes", kClientITunes},
        {"tunes", kClientOther},
        {"Digital Performe", kClientDigitalPerformer},
        {"digital performer 5", kClientDigitalPerformer},
        {"Digital Perform", kClientOther},
        {"Finder", kClientOther},
        {"", kClientOther},
        // Two matches: the later test of 2, 4, 3 wins.
        {"Digital Performer iTunes", kClientITunes},
        {"iTunes Digital Performer", kClientITunes},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OSXDeviceManager::classifyProcessName(c.name), c.type) << '"' << c.name << '"';
    EXPECT_EQ(OSXDeviceManager::classifyProcessName(nullptr), uint32_t(kClientOther));
}

// Starts the helper under `name` (a link to it in HOME) and answers what it printed.
std::string runProbeAs(const std::string& name)
{
    const std::string link = std::string(getenv("HOME")) + "/" + name;
    std::error_code error;
    std::filesystem::create_symlink(DEVICE_CHILD, link, error);
    if (error)
        return "link failed: " + error.message();
    const kexttest::ProgramRun probe = kexttest::runProgram(link, {});
    return probe.status == 0 ? probe.out : probe.out + " (exit " + std::to_string(probe.status) + ")";
}

// The manager of each helper process finds the interface; an iTunes-type host gets 1024 frames.
TEST_F(DeviceManagerTest, TheHostKindByProcessNameSetsTheDefaultFrameSize)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    struct Case {
        const char* name;
        const char* printed; // the host kind, the interfaces found, the first one's frame size
    } cases[] = {
        {"AUDIO midi SETUP", "2 1 256\n"},
        {"xITUNESx", "3 1 1024\n"},
        {"Digital Performer", "4 1 256\n"}, // seen by its first 16 characters, "Digital Performe"
        {"music-player", "5 1 256\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(runProbeAs(c.name), c.printed) << c.name;
}

// No kernel driver to reach, on a run loop: nothing found, nothing reported, and the manager
// goes without having armed anything.
TEST(DeviceManagerWithoutDriver, FindsNothingOnARunLoop)
{
    char folder[] = "/tmp/tarsel-nodriver-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    setenv("TARSEL_KEXT_SOCKET", (std::string(folder) + "/none.sock").c_str(), 1);
    {
        Recorder client;
        OSXDeviceManager manager(nullptr, client);
        EXPECT_EQ(std::pair(manager.getCountDevices(), client.added()), std::pair(0L, size_t{0}));
    }
    unsetenv("TARSEL_KEXT_SOCKET");
    rmdir(folder);
}

// --- the kernel driver's class name -------------------------------------------------------------

// Darwin 8 keeps the class name's suffix; an unknown release is no Darwin 8.
TEST_F(DeviceManagerTest, DarwinReleaseChoosesWhichInterfacesAreSeen)
{
    char plain[32];
    for (const char* release : {"10.8.0", "18.7.0", "7.9.0", "", static_cast<const char*>(nullptr)}) {
        OSXDeviceManager::kernelClassName(release, plain);
        EXPECT_STREQ(plain, "ZmKernelDeviceTARSEL") << (release ? release : "null");
    }
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    ASSERT_NE(daemon().plug("tarsel-tiger"), 0u);
    for (const auto& [release, name] : {std::pair{"8.11.1", "ZmKernelDeviceTARSELTiger"}, std::pair{"9.8.0", "ZmKernelDeviceTARSEL"}}) {
        DarwinRelease darwin(release);
        Recorder client;
        OSXDeviceManager manager(nullptr, client);
        EXPECT_STREQ(manager.getKernelClassName(), name);
        ASSERT_EQ(manager.getCountDevices(), 1) << release;
        EXPECT_STREQ(manager.getDevice(0)->getDeviceName().c_str(), "Tarsel");
        // The Tiger class is a kind of the plain one, not the other way round.
        EXPECT_EQ(IOObjectConformsTo(manager.getDevice(0)->ioGetService(), "ZmKernelDeviceTARSELTiger"),
                  std::strcmp(release, "8.11.1") == 0);
    }
}

// --- discovery ----------------------------------------------------------------------------------

TEST_F(DeviceManagerTest, AttachedInterfacesAreReportedBeforeTheConstructorReturns)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    ASSERT_NE(daemon().plug("tarsel-fs"), 0u);
    Recorder client;
    OSXDeviceManager manager(nullptr, client);

    ASSERT_EQ(client.added(), 2u);
    EXPECT_TRUE(allListed(client.addedReports(), true));
    ASSERT_EQ(manager.getCountDevices(), 2);
    EXPECT_EQ(manager.getClientAppType(), uint32_t(kClientOther));
    EXPECT_FALSE(manager.IsControlPanelOrAudioSetup());
    EXPECT_FALSE(manager.allowCurrentSROnly());

    // In order of discovery, each found again by position, by address and by its service.
    for (long i = 0; i < 2; ++i) {
        ZmOSXDevice* device = manager.getDevice(i);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device, client.addedReports()[size_t(i)].device);
        EXPECT_EQ(manager.getDeviceIndex(device), i);
        EXPECT_EQ(manager.getDeviceFromService(device->ioGetService()), device);
        EXPECT_EQ(device->getManager(), &manager);
        EXPECT_STREQ(device->getDeviceName().c_str(), "Tarsel");
        EXPECT_TRUE(device->getVIDPID().isDevice(0x7E01, 0x0003));
        EXPECT_EQ(device->isUSB2Device(), i == 0);
        EXPECT_NE(*device->interestNotification(), 0u); // listens for kernel events
    }
    EXPECT_EQ(std::tuple(manager.getDevice(2), manager.getDevice(-1), manager.getDeviceIndex(nullptr),
                         manager.getDeviceFromService(0), client.removed()),
              std::tuple(nullptr, nullptr, -1, nullptr, 0u));
}

TEST_F(DeviceManagerTest, HotPlugReportsArrivalAndOneDepartureOnTheRunLoop)
{
    Recorder client;
    OSXDeviceManager manager(nullptr, client);
    EXPECT_EQ(manager.getCountDevices(), 0);

    uint32_t first = daemon().plug("tarsel");
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(runLoopUntil([&] { return client.added() == 1; }));
    uint32_t second = daemon().plug("tarsel-classic-hs");
    ASSERT_NE(second, 0u);
    ASSERT_TRUE(runLoopUntil([&] { return client.added() == 2; }));
    EXPECT_TRUE(allListed(client.addedReports(), true));
    EXPECT_EQ(manager.getCountDevices(), 2);
    ZmOSXDevice* classic = manager.getDevice(1);
    ASSERT_NE(classic, nullptr);
    EXPECT_TRUE(classic->getVIDPID().isDevice(0x7E01, 0x0002));

    // Unplugging sends both the terminate notification and event 16; one report follows.
    ASSERT_EQ(daemon().unplug(second), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] { return client.removed() >= 1; }));
    settle();
    EXPECT_EQ(client.removed(), 1u);
    EXPECT_EQ(client.removedReports()[0].device, classic);
    EXPECT_TRUE(allListed(client.removedReports(), false));
    ASSERT_EQ(manager.getCountDevices(), 1);
    EXPECT_TRUE(manager.getDevice(0)->getVIDPID().isDevice(0x7E01, 0x0003));

    // The notifications stay armed after a departure.
    ASSERT_EQ(daemon().unplug(first), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] { return client.removed() >= 2; }));
    settle();
    EXPECT_EQ(client.removed(), 2u);
    EXPECT_EQ(manager.getCountDevices(), 0);
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    ASSERT_TRUE(runLoopUntil([&] { return client.added() == 3; }));
}

TEST_F(DeviceManagerTest, EventSixteenAloneRemovesTheDevice)
{
    uint32_t id = daemon().plug("tarsel");
    ASSERT_NE(id, 0u);
    Recorder client;
    OSXDeviceManager manager(nullptr, client);
    ASSERT_EQ(client.added(), 1u);

    // The interest message without the service going: removal all the same, then a later
    // terminate notification finds nothing left to remove.
    ASSERT_EQ(daemon().control().postEvent(id, 16, {}), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] { return client.removed() >= 1; }));
    EXPECT_EQ(manager.getCountDevices(), 0);
    ASSERT_EQ(daemon().unplug(id), kIOReturnSuccess);
    settle();
    EXPECT_EQ(client.removed(), 1u);
}

TEST_F(DeviceManagerTest, WithoutRunLoopScansOnceAndHearsNoChanges)
{
    uint32_t id = daemon().plug("tarsel");
    ASSERT_NE(id, 0u);
    Recorder client;
    std::unique_ptr<OSXDeviceManager> manager;
    {
        NoRunLoop none;
        manager = std::make_unique<OSXDeviceManager>(nullptr, client);
    }
    // What was there, and nothing for the extra null service the scan tries.
    ASSERT_EQ(client.added(), 1u);
    ASSERT_EQ(manager->getCountDevices(), 1);
    EXPECT_EQ(*manager->getDevice(0)->interestNotification(), 0u);

    ASSERT_NE(daemon().plug("tarsel-classic-hs"), 0u);
    ASSERT_EQ(daemon().unplug(id), kIOReturnSuccess);
    settle();
    EXPECT_EQ(client.added(), 1u);
    EXPECT_EQ(client.removed(), 0u);
    EXPECT_EQ(manager->getCountDevices(), 1);
}

TEST_F(DeviceManagerTest, RemovalIsIgnoredForDevicesNotHeld)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    Recorder client;
    OSXDeviceManager manager(nullptr, client);
    ASSERT_EQ(manager.getCountDevices(), 1);
    ZmOSXDevice* device = manager.getDevice(0);
    device->incReferences(); // ours, to look at it after the manager lets go

    manager.removeDevice(nullptr);
    manager.doRemoveDevice(nullptr);
    EXPECT_EQ(client.removed(), 0u);

    manager.doRemoveDevice(device);
    EXPECT_EQ(client.removed(), 1u);
    EXPECT_EQ(manager.getCountDevices(), 0);
    EXPECT_EQ(device->getStreamState(), kStreamIdle);
    // Once gone, further reports of the same departure change nothing.
    manager.doRemoveDevice(device);
    manager.removeDevice(device);
    EXPECT_EQ(client.removed(), 1u);
    device->decReferences();
}

// The manager goes first: its devices are released unreported, a device someone still holds no
// longer reaches it (not even with its removal), and its notifications died with it.
TEST_F(DeviceManagerTest, DestructionReleasesDevicesWithoutReportingThem)
{
    ASSERT_NE(daemon().plug("tarsel"), 0u);
    Recorder client;
    ZmOSXDevice* device = nullptr;
    {
        OSXDeviceManager manager(nullptr, client);
        device = manager.getDeviceAndRetain(0);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->getReferences(), 2);
        EXPECT_EQ(device->getManager(), &manager);
    }
    EXPECT_EQ(device->getReferences(), 1); // the manager's reference is gone
    EXPECT_EQ(device->getManager(), nullptr);
    // The interface goes: the removal the device's I/O thread finishes reaches no manager.
    device->onRemoveEvent();
    device->decReferences();
    EXPECT_EQ(client.removed(), 0u);

    ASSERT_NE(daemon().plug("tarsel-classic-hs"), 0u);
    settle();
    EXPECT_EQ(client.added(), 1u);
}

} // namespace
