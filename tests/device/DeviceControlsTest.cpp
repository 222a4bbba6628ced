// The device's hardware controls against the simulated interfaces that have them, and against a
// controls region scribbled over as a hostile kernel might.
#include <IOKit/IOReturn.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "device/FormatRules.h"
#include "tests/device/DeviceFixture.h"

namespace devicetest {
namespace {

using kexttest::runLoopUntil;

class DeviceControlsTest : public DeviceTest {
protected:
    // What request 18 answers now.
    static uint32_t kernelMonitor(ZmOSXDevice* d)
    {
        DriverRequest r{};
        EXPECT_TRUE(d->callDriver(kReqGetMonitor, r));
        return r.word(0);
    }
    // What getMonitor answers for an input channel: its status and the value.
    static std::pair<OSStatus, unsigned long> monitorOf(ZmOSXDevice* d, int channel)
    {
        unsigned long on = 7;
        const OSStatus status = d->getMonitor(true, channel, on);
        return {status, on};
    }
    static std::string sourceName(ZmOSXDevice* d, bool input, int id)
    {
        ZmString name;
        d->getDataSourcesName(input, id, name);
        return name.c_str();
    }
    static bool withInputs(ZmOSXDevice* d, uint32_t channels)
    {
        const AudioStreamBasicDescription f = makeStreamFormat(48000, channels, 24, true);
        return d->setStreamFormat(true, &f, false) == 0 && d->getTrueChannels().iInChannels == channels;
    }
};

TEST_F(DeviceControlsTest, TheSyncSelectorMakesThreeInputSourcesOfTwo)
{
    ZmOSXDevice* d = initialised("kingsmere-digital-hs");
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(listen(d));
    KernelStatusBlock* s = d->getDriverSM();
    EXPECT_EQ(std::tuple(d->getNumDataSources(true), d->getNumDataSources(false), sourceName(d, false, 1),
                         d->getDataSourceID(true)),
              std::tuple(3, 1, "Analog Out", 1));
    const struct {
        unsigned long id;
        const char* name;
        int selected; // what getDataSourceID then answers
        uint8_t mask, sync;
    } cases[] = {{2, "Analog - Sync Digital", 2, 1, 2}, {3, "SPDIF (RCA)", 3, 2, 2}, {1, "Analog", 1, 1, 1},
                 {9, "Input", 1, 1, 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(sourceName(d, true, int(c.id)), c.name);
        EXPECT_EQ(d->setDataSource(true, c.id), 0) << c.id;
        EXPECT_EQ(std::tuple(d->getDataSourceID(true), s->controls.input.iSourceMask, s->controls.iSyncSelector),
                  std::tuple(c.selected, c.mask, c.sync))
            << c.id;
    }
    // The kernel took every change and told its listeners; the interface was configured again.
    EXPECT_TRUE(runLoopUntil([&] { return m_client.dataSource == 3; }));
    EXPECT_EQ(s->bConfigured, 1u);

    ASSERT_EQ(set("fail-request", "19:1"), kIOReturnSuccess);
    EXPECT_EQ(d->setDataSource(true, 2), OSStatus(kIOReturnError));
    EXPECT_EQ(d->setDataSource(false, 2), OSStatus(kIOReturnBadArgument));
}

TEST_F(DeviceControlsTest, PairedInputsAreMonitoredByTheirRoutingValue)
{
    ZmOSXDevice* d = initialised("redmoor-r4-hs");
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(listen(d));
    EXPECT_FALSE(d->canMonitor(false, 0));
    const struct {
        uint32_t inputs;
        int channel;          // the one switched on
        uint32_t routing;     // what the kernel then holds
        const char* monitors; // getMonitor for channels 0 to 4
        const char* can;      // canMonitor for channels 0 to 5
    } cases[] = {{4, 3, 34, "00011", "011110"}, {4, 2, 12, "01100", "011110"}, {2, 0, 12, "10000", "100000"},
                 {1, 0, 1, "10000", "100000"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(withInputs(d, c.inputs)) << c.inputs;
        for (int ch = 0; ch <= 5; ++ch)
            EXPECT_EQ(d->canMonitor(true, ch), c.can[ch] == '1') << c.inputs << " inputs, channel " << ch;
        EXPECT_FALSE(d->setMonitor(true, 5, 1));
        ASSERT_TRUE(d->setMonitor(true, c.channel, 1));
        EXPECT_EQ(kernelMonitor(d), c.routing) << c.inputs << " inputs";
        for (int ch = 0; ch <= 4; ++ch) {
            const auto [status, on] = monitorOf(d, ch);
            EXPECT_EQ(status, c.can[ch] == '1' ? 0 : OSStatus(kIOReturnError)) << ch;
            if (status == 0) {
                EXPECT_EQ(on, c.monitors[ch] == '1' ? 1u : 0u) << c.inputs << " inputs, channel " << ch;
            }
        }
        ASSERT_TRUE(d->setMonitor(true, c.channel, 0));
        EXPECT_EQ(kernelMonitor(d), 0u);
    }
    EXPECT_TRUE(runLoopUntil([&] { return m_client.monitor == 8; }));

    // A routing that does not fit the inputs in force is corrected before it is reported.
    const struct {
        uint32_t inputs, held, corrected;
        int channel;
        unsigned long on;
    } corrections[] = {{2, 34, 0, 0, 0}, {2, 1, 12, 0, 1}, {1, 12, 1, 0, 1}, {4, 1, 12, 2, 1}};
    for (const auto& c : corrections) {
        ASSERT_TRUE(withInputs(d, c.inputs));
        DriverRequest r{};
        r.setWord(0, c.held);
        ASSERT_TRUE(d->callDriver(kReqSetMonitor, r));
        EXPECT_EQ(monitorOf(d, c.channel), std::pair(OSStatus(0), c.on)) << c.inputs << " inputs holding " << c.held;
        EXPECT_EQ(kernelMonitor(d), c.corrected) << c.inputs << " inputs holding " << c.held;
    }

    // A failing read is "off", not an error; without request 17 nothing monitors.
    ASSERT_EQ(set("fail-request", "18:1"), kIOReturnSuccess);
    EXPECT_EQ(monitorOf(d, 1), std::pair(OSStatus(0), 0ul));
    ASSERT_EQ(set("fail-request", "17:2"), kIOReturnSuccess);
    EXPECT_EQ(monitorOf(d, 1).first, OSStatus(kIOReturnError));
    EXPECT_FALSE(d->setMonitor(true, 1, 1));
}

TEST_F(DeviceControlsTest, OtherInterfacesMonitorOnTheMasterChannel)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::pair(d->canMonitor(true, 0), d->canMonitor(true, 1)), std::pair(true, false));
    ASSERT_TRUE(d->setMonitor(true, 0, 5));
    EXPECT_EQ(kernelMonitor(d), 1u);
    EXPECT_EQ(monitorOf(d, 0), std::pair(OSStatus(0), 1ul));
}

TEST_F(DeviceControlsTest, SharedControlsAreEntryZerosWhateverIsSelected)
{
    ZmOSXDevice* d = initialised("marlow-sketch-hs"); // Mic (mute, 2 channels of volume), Line, Instrument
    ASSERT_NE(d, nullptr);
    KernelStatusBlock* s = d->getDriverSM();
    ASSERT_EQ(d->setDataSource(true, 3), 0);
    EXPECT_EQ(std::tuple(d->getDataSourceID(true), sourceName(d, true, 3), d->canMute(true, 0), d->canMute(true, 1)),
              std::tuple(3, "Instrument", true, false));
    ASSERT_TRUE(d->setMute(true, 0, 1));
    EXPECT_EQ(std::tuple(s->controls.input.entries[0].bMute, s->controlsShadow.input.entries[0].bMute,
                         d->getMute(true, 0)),
              std::tuple(1, 0, 1));
    for (int ch = 0; ch <= 3; ++ch)
        EXPECT_EQ(d->canVolume(true, ch), ch == 1 || ch == 2) << ch;
    ASSERT_TRUE(d->setVolumeScalar(true, 2, 1.0f));
    EXPECT_EQ(s->controls.input.entries[0].volume[1].iCurrent, 50 * 256);
}

TEST_F(DeviceControlsTest, MasterVolumeMovesAsTheScalarSays)
{
    ZmOSXDevice* d = initialised("tarsel-classic-hs"); // Line Out: mute, master volume -96 to 0 dB
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(listen(d));
    KernelStatusBlock* s = d->getDriverSM();
    ControlsVolume& live = s->controls.output.entries[0].volume[0];
    EXPECT_EQ(std::pair(d->canVolume(false, 0), d->canVolume(false, 1)), std::pair(true, false));
    float minDB = 1, maxDB = 1;
    ASSERT_TRUE(d->getVolumeRangeDB(false, 0, minDB, maxDB));
    EXPECT_EQ(std::pair(minDB, maxDB), std::pair(-96.0f, 0.0f));
    const struct {
        float scalar;
        int16_t stored;
    } cases[] = {{0.5f, -48 * 256}, {1.5f, 0}, {-0.2f, -96 * 256}, {0.25f, -72 * 256}, {NAN, -96 * 256}};
    for (const auto& c : cases) {
        ASSERT_TRUE(d->setVolumeScalar(false, 0, c.scalar));
        EXPECT_EQ(live.iCurrent, c.stored) << c.scalar;
        float dB = 1;
        ASSERT_TRUE(d->getVolumeDB(false, 0, dB));
        EXPECT_EQ(dB, float(c.stored) / 256) << c.scalar;
    }
    float scalar = -1;
    ASSERT_TRUE(d->getVolumeScalar(false, 0, scalar));
    EXPECT_EQ(scalar, 0.0f);
    // No change, no request: the shadow keeps what was last put there.
    s->controlsShadow.output.entries[0].volume[0].iCurrent = 1234;
    ASSERT_TRUE(d->setVolumeScalar(false, 0, 0.0f));
    EXPECT_EQ(s->controlsShadow.output.entries[0].volume[0].iCurrent, 1234);
    EXPECT_EQ(std::tuple(d->setVolumeDB(false, 0, -3), d->setVolumeDB(false, 1, -3),
                         d->setVolumeScalar(false, 1, 0.5f)),
              std::tuple(true, false, false));

    // Any value other than 0 mutes; the setter reports the edit whatever the kernel answers.
    ASSERT_TRUE(d->setMute(false, 0, 256));
    EXPECT_EQ(d->getMute(false, 0), 1);
    ASSERT_EQ(set("fail-request", "10:1"), kIOReturnSuccess);
    EXPECT_EQ(std::tuple(d->setMute(false, 0, 0), d->setMute(false, 1, 1), d->getMute(false, 1)),
              std::tuple(true, false, -1));
    // The input has no controls of its own: the one source the opener named.
    EXPECT_EQ(std::tuple(d->getNumDataSources(true), sourceName(d, true, 1), d->canMute(true, 0),
                         d->canVolume(true, 0)),
              std::tuple(1, "Input", false, false));
    EXPECT_TRUE(runLoopUntil([&] { return m_client.volume == 5 && m_client.mute == 1; }));
}

TEST_F(DeviceControlsTest, AScribbledRegionIsReadWithinItsBlock)
{
    ZmOSXDevice* d = initialised("tarsel-classic-hs");
    ASSERT_NE(d, nullptr);
    ControlsBlock& out = d->getDriverSM()->controls.output;
    ControlsEntry& e0 = out.entries[0];

    out.iSourceCount = 0;
    EXPECT_EQ(std::tuple(d->getNumDataSources(false), sourceName(d, false, 1), d->getDataSourceID(false),
                         d->canMute(false, 0), d->canVolume(false, 0)),
              std::tuple(1, "Output", 1, false, false));
    out.iSourceCount = -5;
    EXPECT_EQ(d->getNumDataSources(false), 1);

    // More sources than the block holds, a mask past the count, a name without its end.
    out.iSourceCount = 200;
    std::memset(out.entries[7].sName, 'x', kControlsNameSize);
    EXPECT_EQ(std::tuple(d->getNumDataSources(false), sourceName(d, false, 8), sourceName(d, false, 9),
                         sourceName(d, false, -1)),
              std::tuple(8, std::string(kControlsNameSize, 'x'), "Output", "Output"));
    out.iSourceCount = 2;
    out.iSourceMask = 0x80;
    e0.bMute = 1;
    EXPECT_EQ(d->getDataSourceID(false), 1);
    EXPECT_EQ(d->getMute(false, 0), 1); // entry 0's

    // Shared controls: entry 0 whatever the selection.
    out.iSourceCount = 3;
    out.iSourceMask = 4;
    out.bSharedControls = 1;
    out.entries[2].bHasMute = 0;
    EXPECT_EQ(d->getDataSourceID(false), 3);
    EXPECT_TRUE(d->canMute(false, 0));
    out.bSharedControls = 0;
    EXPECT_FALSE(d->canMute(false, 0));
    out.iSourceMask = 1;

    // Channels with volume, up to the slots the block has.
    const struct {
        uint16_t channels;
        const char* can; // canVolume for channels 0 to 9
    } volumes[] = {{0xFFFF, "1000000000"}, {2, "0110000000"}, {20, "0111111110"}, {0x8000, "0000000000"}};
    for (const auto& v : volumes) {
        e0.iVolumeChannels = v.channels;
        for (int ch = 0; ch <= 9; ++ch)
            EXPECT_EQ(d->canVolume(false, ch), v.can[ch] == '1') << v.channels << ", channel " << ch;
    }
    EXPECT_FALSE(d->setVolumeScalar(false, 9, 1.0f));

    // A range without width: scalar 0, and only its minimum can be stored.
    e0.iVolumeChannels = 0xFFFF;
    e0.volume[0] = {-2560, -2560, -2560};
    float value = 1;
    ASSERT_TRUE(d->getVolumeDB(false, 0, value));
    EXPECT_EQ(value, -10.0f);
    ASSERT_TRUE(d->getVolumeScalar(false, 0, value));
    EXPECT_EQ(value, 0.0f);
    e0.volume[0] = {100, 300, -100};
    ASSERT_TRUE(d->getVolumeScalar(false, 0, value));
    EXPECT_EQ(value, 0.0f);
    ASSERT_EQ(set("fail-request", "12:1"), kIOReturnSuccess); // the kernel would put back its own
    ASSERT_TRUE(d->setVolumeScalar(false, 0, 0.7f));
    EXPECT_EQ(e0.volume[0].iCurrent, 100);

    // Sources that are not there are refused, and nothing is touched.
    ControlsRegion before;
    std::memcpy(&before, &d->getDriverSM()->controls, sizeof before);
    for (unsigned long id : {0UL, 4UL, 0x101UL})
        EXPECT_EQ(d->setDataSource(false, id), OSStatus(kIOReturnBadArgument)) << id;
    EXPECT_EQ(std::memcmp(&before, &d->getDriverSM()->controls, sizeof before), 0);
}

TEST_F(DeviceControlsTest, WithoutAStatusBlockNothingIsControlled)
{
    ASSERT_EQ(daemon().control().configure(0, "status-size", "100"), kIOReturnSuccess);
    ASSERT_TRUE(plug("tarsel-classic-hs"));
    ZmOSXDevice* d = makeDevice();
    ASSERT_EQ(d->getDriverSM(), nullptr);
    EXPECT_EQ(std::tuple(d->getNumDataSources(false), sourceName(d, true, 1), d->getDataSourceID(true),
                         d->setDataSource(false, 1)),
              std::tuple(1, "N/A", 1, OSStatus(kIOReturnNoDevice)));
    EXPECT_EQ(std::tuple(d->canMute(false, 0), d->canVolume(false, 0), d->canMonitor(true, 0), d->getInputsExclusive()),
              std::tuple(false, false, false, 0xFFFFFFFFu));
}

TEST_F(DeviceControlsTest, RoutingAndCodecRegistersGoThroughTheKernel)
{
    ZmOSXDevice* d = initialised("tarsel");
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->setInputsExclusive(3));
    ASSERT_TRUE(d->setOutputsExclusive(5));
    EXPECT_EQ(std::tuple(d->getInputsExclusive(), d->getOutputsExclusive()), std::tuple(3u, 5u));

    ASSERT_TRUE(d->setWolfsonRegister(1, 41, 0xBEEF));
    unsigned long stored = 0;
    ASSERT_TRUE(d->getStoredWolfsonRegister(1, 41, stored));
    EXPECT_EQ(std::tuple(d->getWolfsonRegister(1, 41), stored), std::tuple(0xBEEFu, 0xBEEFul));
    // Fields wider than 16 bits would name another register; the kernel's refusal is kept out.
    EXPECT_EQ(std::tuple(d->setWolfsonRegister(0x10001, 41, 1), d->setWolfsonRegister(1, 41, 0x10000),
                         d->getWolfsonRegister(1, 0x10029), d->setWolfsonRegister(9, 41, 1),
                         d->getStoredWolfsonRegister(9, 41, stored), d->getWolfsonRegister(1, 41)),
              std::tuple(false, false, 0xFFFFFFFFu, false, false, 0xBEEFu));
    ASSERT_EQ(set("fail-request", "31"), kIOReturnSuccess);
    EXPECT_EQ(std::tuple(d->getWolfsonRegister(1, 41), d->getOutputsExclusive(), d->setInputsExclusive(0)),
              std::tuple(0xFFFFFFFFu, 0xFFFFFFFFu, false));
}

} // namespace
} // namespace devicetest
