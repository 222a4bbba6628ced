// Faults the simulated kernel driver shows when told to, through its control session and
// through tarsel-kextctl: a status block or ring of the wrong size, failing requests, and the
// arguments each fault key takes. What the device layer makes of another interface version or a
// configuration that never comes is tested with the device. And the control tool's model
// list and model files.
#include <sys/wait.h>

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

TEST_F(FaultsTest, AStatusBlockOfTheWrongSize)
{
    for (uint32_t size : {kStatusBlockSize + 1, 4u}) {
        SCOPED_TRACE(size);
        m_service = plugByTool("default --status-size " + std::to_string(size));
        ASSERT_NE(m_service, 0u);
        InterfaceClient client(m_service);
        EXPECT_FALSE(client.ok());
        EXPECT_EQ(client.blockSize(), size);
        // The interface still answers; what the device layer makes of the block is its own test.
        EXPECT_EQ(client.call(kReqOpen), kIOReturnSuccess);
        EXPECT_EQ(client.applySettings(kext::defaultSettings(*kext::findModel("tarsel"))), kIOReturnSuccess);
        client.close();
        ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);
        IOObjectRelease(m_service);
    }
    m_service = plugByTool("default");
    InterfaceClient client(m_service);
    EXPECT_TRUE(client.ok());
    auto sizeOf = [&](uint32_t service) {
        return daemon().thread().call([&](kext::Daemon& d) { return d.service(service)->statusBlock().size(); });
    };
    // A size is for the next plug only, even one that fails; "default" takes it back.
    uint32_t id = 0;
    EXPECT_EQ(set("status-size", "100", 0), kIOReturnSuccess);
    EXPECT_EQ(daemon().control().plug("no-such-model", 0, id), kIOReturnNotFound);
    id = daemon().plug("tarsel-fs");
    ASSERT_NE(id, 0u);
    EXPECT_EQ(sizeOf(id), kStatusBlockSize);
    EXPECT_EQ(set("status-size", "100", 0), kIOReturnSuccess);
    EXPECT_EQ(set("status-size", "default", 0), kIOReturnSuccess);
    id = daemon().plug("tarsel-fs");
    ASSERT_NE(id, 0u);
    EXPECT_EQ(sizeOf(id), kStatusBlockSize);
}

TEST_F(FaultsTest, ARingOfTheWrongSize)
{
    plugModel("default");
    auto before = open();
    vm_size_t size = 0;
    ASSERT_EQ(before->map(kMemoryInputRing, size), kIOReturnSuccess);
    ASSERT_EQ(set("ring-size", "1000"), kIOReturnSuccess);
    // Rings are made when first mapped: the ones made before keep their size.
    ASSERT_EQ(before->map(kMemoryInputRing, size), kIOReturnSuccess);
    EXPECT_EQ(size, kAudioRingSize);
    ASSERT_EQ(before->map(kMemoryOutputRing, size), kIOReturnSuccess);
    EXPECT_EQ(size, 1000u);
    auto after = open();
    ASSERT_EQ(after->map(kMemoryInputRing, size), kIOReturnSuccess);
    EXPECT_EQ(size, 1000u);
    ASSERT_EQ(set("ring-size", "default"), kIOReturnSuccess);
    auto last = open();
    ASSERT_EQ(last->map(kMemoryOutputRing, size), kIOReturnSuccess);
    EXPECT_EQ(size, kAudioRingSize);

    // At plug time.
    before.reset();
    after.reset();
    last.reset();
    ASSERT_EQ(daemon().unplug(m_id), kIOReturnSuccess);
    IOObjectRelease(m_service);
    m_service = plugByTool("default --ring-size " + std::to_string(kAudioRingSize + 1));
    InterfaceClient client(m_service);
    ASSERT_TRUE(client.ok());
    ASSERT_EQ(client.map(kMemoryInputRing, size), kIOReturnSuccess);
    EXPECT_EQ(size, kAudioRingSize + 1);
}

TEST_F(FaultsTest, FailingRequests)
{
    plugModel("default");
    auto client = open();
    ASSERT_TRUE(client->ok());
    // One code, every time, until taken back.
    ASSERT_EQ(set("fail-request", "25"), kIOReturnSuccess);
    for (int i = 0; i < 3; ++i)
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

TEST_F(FaultsTest, EachKeyRefusesWhatItCannotTake)
{
    plugModel("default");
    struct Case {
        const char* key;
        std::string value;
        uint32_t service; // 0: the daemon; ~0u: the plugged interface
        kern_return_t result;
    };
    const Case cases[] = {
        {"status-size", std::to_string(kext::kMaxFaultStatusSize + 1), 0, kIOReturnBadArgument},
        {"status-size", "x", 0, kIOReturnBadArgument},
        {"colour", "blue", 0, kIOReturnUnsupported},
        {"ring-size", std::to_string(kext::kMaxFaultRingSize + 1), ~0u, kIOReturnBadArgument},
        {"version", "0x10000000000", ~0u, kIOReturnBadArgument},
        {"version", "-1", ~0u, kIOReturnBadArgument},
        {"fail-request", "1", 999, kIOReturnNoDevice},
        {"no-such-fault", "1", ~0u, kIOReturnUnsupported},
    };
    for (const Case& c : cases)
        EXPECT_EQ(set(c.key, c.value, c.service), c.result) << c.key << "=" << c.value;
    for (const char* bad : {"", "x", "4:0", "4:x", "any:", ":3", "0x100000000", "4:1000001"})
        EXPECT_EQ(set("fail-request", bad), kIOReturnBadArgument) << bad;
    for (const char* bad : {"later", "late:", "late:0", "late:60001", "late:x"})
        EXPECT_EQ(set("configuration", bad), kIOReturnBadArgument) << bad;
    // The clock's first frame is a 32-bit frame number.
    for (const char* bad : {"4294967296", "-1", "", "x"})
        EXPECT_EQ(set("frame-start", bad), kIOReturnBadArgument) << bad;
    EXPECT_EQ(set("frame-start", "4294967295"), kIOReturnSuccess);
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
    ToolRun r = ctl("plug file:" + bad);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("[device] vendor"), std::string::npos) << r.out;
    r = ctl("plug file:" + daemon().folder() + "/none.ini");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("none.ini"), std::string::npos) << r.out;

    // A plug the tool refuses sends nothing, not even its sizes.
    EXPECT_EQ(ctl("plug no-such-model --status-size 100").status, 1);
    const ToolRun next = ctl("plug tarsel-fs");
    ASSERT_EQ(next.status, 0);
    const uint32_t id = uint32_t(std::strtoul(next.out.c_str(), nullptr, 10));
    EXPECT_EQ(daemon().thread().call([&](kext::Daemon& d) { return d.service(id)->statusBlock().size(); }),
              kStatusBlockSize);
    EXPECT_EQ(ctl("set " + std::to_string(id) + " configuration never").status, 0);
}

} // namespace
} // namespace kexttest
