// Faults the simulated kernel driver shows when told to, through its control session and
// through tarsel-kextctl: a status block or ring of the wrong size, failing requests, a late
// configuration. What the device layer makes of another interface version or a configuration
// that never comes is tested with the device. And the control tool's model list and model files.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kext/InterfaceBehaviour.h"
#include "kext/model/ModelFile.h"
#include "tests/kext/InterfaceFixture.h"
#include "tests/support/Subprocess.h"

namespace kexttest {
namespace {

// A run of the control tool, its standard output and error together.
struct ToolRun {
    int status = -1;
    std::string out;
};

class FaultsTest : public InterfaceTest {
protected:
    void TearDown() override
    {
        for (const char* file : {"/good.ini", "/bad.ini"})
            std::filesystem::remove(daemon().folder() + file);
        InterfaceTest::TearDown(); // removes the daemon's folder, which must be empty by then
    }
    ToolRun ctl(const std::string& args)
    {
        std::vector<std::string> all{"--socket", daemon().path()};
        std::istringstream words(args);
        for (std::string w; words >> w;)
            all.push_back(w);
        const ProgramRun run = runProgram(TARSEL_KEXTCTL, all);
        return {run.status, run.out + run.err};
    }
    // Plugs through the tool and finds the new service (the only one of the class).
    io_service_t plugByTool(const std::string& args)
    {
        const ToolRun r = ctl("plug " + args);
        EXPECT_EQ(r.status, 0) << r.out;
        m_id = uint32_t(std::strtoul(r.out.c_str(), nullptr, 10));
        return firstService();
    }
};

// The device's refusals of these are DeviceControlsTest's and DeviceLifecycleTest's; here that
// each size reaches what it is meant for, and only that.
TEST_F(FaultsTest, StatusBlocksAndRingsOfTheWrongSize)
{
    m_service = plugByTool("default --status-size 4");
    ASSERT_NE(m_service, 0u);
    {
        InterfaceClient client(m_service);
        EXPECT_FALSE(client.ok());
        EXPECT_EQ(client.blockSize(), 4u);
        // The interface still answers; what the device layer makes of the block is its own test.
        EXPECT_EQ(client.call(kReqOpen), kIOReturnSuccess);
    }
    ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);
    IOObjectRelease(m_service);
    // A size is for the next plug only, even one that fails.
    EXPECT_EQ(set("status-size", "100", 0), kIOReturnSuccess);
    uint32_t id = 0;
    EXPECT_EQ(daemon().control().plug("no-such-model", 0, id), kIOReturnNotFound);
    id = daemon().plug("tarsel-fs");
    ASSERT_NE(id, 0u);
    EXPECT_EQ(daemon().thread().call([&](kext::Daemon& d) { return d.service(id)->statusBlock().size(); }),
              kStatusBlockSize);
    ASSERT_EQ(daemon().unplug(id), kIOReturnSuccess);

    // Rings are made when first mapped: the ones made before keep their size.
    m_service = plugByTool("default --ring-size " + std::to_string(kAudioRingSize + 1));
    InterfaceClient before(m_service);
    vm_size_t size = 0;
    ASSERT_EQ(before.map(kMemoryInputRing, size), kIOReturnSuccess);
    EXPECT_EQ(size, kAudioRingSize + 1);
    ASSERT_EQ(set("ring-size", "1000"), kIOReturnSuccess);
    ASSERT_EQ(before.map(kMemoryInputRing, size), kIOReturnSuccess);
    EXPECT_EQ(size, kAudioRingSize + 1);
    ASSERT_EQ(before.map(kMemoryOutputRing, size), kIOReturnSuccess);
    EXPECT_EQ(size, 1000u);
    ASSERT_EQ(set("ring-size", "default"), kIOReturnSuccess);
    InterfaceClient after(m_service);
    ASSERT_EQ(after.map(kMemoryOutputRing, size), kIOReturnSuccess);
    EXPECT_EQ(size, kAudioRingSize);
}

TEST_F(FaultsTest, FailingRequests)
{
    plugModel("default");
    auto client = open();
    ASSERT_TRUE(client->ok());
    // One code, every time, until taken back.
    ASSERT_EQ(set("fail-request", "25"), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqVersionHAL), kIOReturnError);
    EXPECT_EQ(client->call(kReqVersionHAL), kIOReturnError);
    EXPECT_EQ(client->call(kReqVersionUSB), kIOReturnSuccess);
    ASSERT_EQ(set("fail-request", "none"), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqVersionHAL), kIOReturnSuccess);

    // The next two device-information requests only.
    ASSERT_EQ(set("fail-request", "4:2"), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqDeviceInfo, 0), kIOReturnError);
    EXPECT_EQ(client->call(kReqVersionHAL), kIOReturnSuccess);
    EXPECT_EQ(client->call(kReqDeviceInfo, 0), kIOReturnError);
    EXPECT_EQ(client->call(kReqDeviceInfo, 0), kIOReturnSuccess);

    // The next request, whatever it is; a failed request changes nothing.
    ASSERT_EQ(set("fail-request", "any:1"), kIOReturnSuccess);
    EXPECT_EQ(client->applySettings(kext::defaultSettings(m_model)), kIOReturnError);
    EXPECT_EQ(client->block().bConfigured, 0u);
    EXPECT_EQ(client->call(kReqOpen), kIOReturnSuccess);
}

TEST_F(FaultsTest, ALateConfigurationDiesWithItsInterface)
{
    plugModel("default");
    auto client = open();
    ASSERT_TRUE(client->ok());
    ASSERT_EQ(set("configuration", "late:1000"), kIOReturnSuccess);
    ASSERT_EQ(client->applySettings(kext::defaultSettings(m_model)), kIOReturnSuccess);
    EXPECT_EQ(client->block().bConfigured, 0u);
    // Pending when the interface goes away, and when the daemon stops: dropped, not run.
    ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);
    plugModel("tarsel-fs");
    auto other = open();
    ASSERT_EQ(set("configuration", "late:1000"), kIOReturnSuccess);
    ASSERT_EQ(other->applySettings(kext::defaultSettings(m_model)), kIOReturnSuccess);
}

TEST_F(FaultsTest, TheToolListsModelsAndPlugsModelFiles)
{
    const ToolRun models = ctl("models");
    EXPECT_EQ(models.status, 0);
    EXPECT_EQ(size_t(std::count(models.out.begin(), models.out.end(), '\n')), kext::catalogue().size());
    EXPECT_EQ(models.out.rfind("tarsel ", 0), 0u) << models.out.substr(0, 200);
    EXPECT_NE(models.out.find("7E0C:4040 high-speed"), std::string::npos);

    // A model file: plugged under the path it was given, shown with its identity.
    kext::DeviceModel model = *kext::findModel("redmoor-r4-fs");
    model.name = "file-model";
    model.productId = 0x4041;
    const std::string good = daemon().folder() + "/good.ini";
    std::string error;
    ASSERT_TRUE(kext::saveModelFile(model, good, error)) << error;
    const std::string bad = daemon().folder() + "/bad.ini";
    std::ofstream(bad) << "[device]\nname=x\nvendor=0x10000\n";
    m_service = plugByTool("file:" + good);
    ASSERT_NE(m_service, 0u);
    const ToolRun services = ctl("services");
    EXPECT_NE(services.out.find("model=file:" + good + " connections=0 7E0C:4041 full-speed configured=0"),
              std::string::npos)
        << services.out;
    InterfaceClient client(m_service);
    ASSERT_TRUE(client.ok());
    EXPECT_EQ(statusText(client.block().sDeviceName), model.deviceName);

    // Refusals name their reason on the error output and exit with 1 (the other refusals are
    // ControlToolTest's).
    const ToolRun r = ctl("plug file:" + bad);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("[device] vendor"), std::string::npos) << r.out;
    EXPECT_EQ(ctl("set " + std::to_string(m_id) + " configuration never").status, 0);
}

} // namespace
} // namespace kexttest
