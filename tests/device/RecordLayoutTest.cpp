// Records shared with the kernel driver: their accessors keep every read inside the record.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "device/APIDeviceInfo.h"
#include "device/ControlsRegion.h"
#include "device/DriverRequest.h"
#include "device/KernelEvent.h"
#include "device/KernelStatusBlock.h"

namespace {

TEST(APIDeviceInfoTest, CountsBeyondTheLayoutAreClamped)
{
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0xFF, sizeof *info);
    EXPECT_EQ(info->configCount(), 4u);
    EXPECT_EQ(info->configurations[3].interfaceCount(), 16u);
    EXPECT_EQ(info->configurations[3].interfaces[15].altSettingCount(), 16u);
    EXPECT_EQ(info->configurations[3].interfaces[15].altSettings[15].endpointCount(), 3u);
    EXPECT_EQ(info->configurations[3].interfaces[15].altSettings[15].rateCount(), 16u);

    info->iConfigCount = 2;
    info->configurations[0].interfaces[0].altSettings[0].iEndpointCount = 1;
    EXPECT_EQ(info->configCount(), 2u);
    EXPECT_EQ(info->configurations[0].interfaces[0].altSettings[0].endpointCount(), 1u);
}

TEST(KernelStatusBlockTest, ClientSlotsAreBoundedAndSixtyFourBitValuesAreLowWordFirst)
{
    auto block = std::make_unique<KernelStatusBlock>();
    std::memset(block.get(), 0, sizeof *block);
    EXPECT_EQ(block->client(-1), nullptr);
    EXPECT_EQ(block->client(8), nullptr);

    const uint64_t token = 0x1122334455667788ull;
    ClientData& record = *block->client(0); // its 64-bit fields are not 8-aligned
    record.setOwnerToken(token);
    record.setInUse(~token);
    EXPECT_EQ(record.ownerToken(), token);
    EXPECT_EQ(record.inUse(), ~token);
    EXPECT_EQ(record.iOwner[0], 0x55667788u);
    EXPECT_EQ(record.iOwner[1], 0x11223344u);
    const uint32_t pair[2] = {0x55667788u, 0x11223344u}, other[2] = {0x55667788u, 0};
    EXPECT_TRUE(record.isOwnedBy(pair));
    EXPECT_FALSE(record.isOwnedBy(other));
    block->setInputOwnerToken(token);
    EXPECT_EQ(block->inputOwnerToken(), token);
}

TEST(DriverRequestTest, WordsAndHalvesBeyondTheDataAreNeitherReadNorWritten)
{
    // In a larger buffer, so that a stray write lands where it can be seen.
    struct {
        DriverRequest request;
        unsigned char after[16];
    } guarded;
    std::memset(&guarded, 0x5A, sizeof guarded);
    DriverRequest& r = guarded.request;
    const size_t words = sizeof r.data / 4;
    r.setWord(words - 1, 0xA1B2C3D4u);
    r.setHalf(sizeof r.data - 2, 0x1234);
    EXPECT_EQ(r.half(sizeof r.data - 2), 0x1234);
    EXPECT_EQ(r.word(words - 1) >> 16, 0x1234u);
    for (size_t n : {words, words + 1, SIZE_MAX}) {
        r.setWord(n, 1);
        EXPECT_EQ(r.word(n), 0u) << n;
    }
    for (size_t off : {sizeof r.data - 1, sizeof r.data, SIZE_MAX - 1, SIZE_MAX}) {
        r.setHalf(off, 1);
        EXPECT_EQ(r.half(off), 0u) << off;
    }
    for (unsigned char c : guarded.after)
        ASSERT_EQ(c, 0x5A);
}

TEST(KernelStatusBlockTest, ClearQueueStatusStartsANewPeriod)
{
    ClientData record{};
    record.iUnderruns = 3;
    record.iMinimum = 5;
    record.iMaximum = 9;
    record.iSum = 70;
    record.iValueCount = 10;
    record.iPid = 42;
    record.clearQueueStatus();
    EXPECT_EQ(record.iUnderruns, 0);
    EXPECT_EQ(record.iMinimum, -1);
    EXPECT_EQ(record.iMaximum, 0);
    EXPECT_EQ(record.iSum, 0u);
    EXPECT_EQ(record.iValueCount, 0u);
    EXPECT_EQ(record.iPid, 42);
}

TEST(ControlsRegionTest, EntriesAndVolumeSlotsStayInsideTheLayout)
{
    auto region = std::make_unique<ControlsRegion>();
    std::memset(region.get(), 'n', sizeof *region);
    ControlsBlock& out = region->block(false);
    EXPECT_EQ(out.entries[0].name().size(), kControlsNameSize);

    out.iSourceCount = 1000;
    EXPECT_EQ(out.entryCount(), 8u);
    out.iSourceCount = -3;
    EXPECT_EQ(out.entryCount(), 0u);
    EXPECT_EQ(out.entry(8), nullptr);

    ControlsEntry& e = out.entries[7];
    EXPECT_EQ(e.volumeOf(0), &e.volume[0]);
    EXPECT_EQ(e.volumeOf(1), &e.volume[0]);
    EXPECT_EQ(e.volumeOf(8), &e.volume[7]);
    EXPECT_EQ(e.volumeOf(9), nullptr);
    EXPECT_EQ(e.volumeOf(-1), nullptr);

    e.setName(std::string(100, 'a'));
    EXPECT_EQ(e.name().size(), kControlsNameSize - 1);
    e.setName("Output");
    EXPECT_EQ(e.name(), "Output");
}

TEST(ControlsRegionTest, ActiveEntryFollowsTheSelectedSource)
{
    ControlsBlock block{};
    EXPECT_EQ(block.activeEntry(), nullptr);
    block.iSourceCount = 8;
    block.iSourceMask = 4;
    EXPECT_EQ(block.activeEntry(), &block.entries[2]);
    block.iSourceMask = 128;
    EXPECT_EQ(block.activeEntry(), &block.entries[7]);
    block.iSourceMask = 6; // not one source
    EXPECT_EQ(block.activeEntry(), &block.entries[0]);
    block.iSourceMask = 4;
    block.bSharedControls = 1;
    EXPECT_EQ(block.activeEntry(), &block.entries[0]);
}

TEST(KernelEventTest, OnlyRecordsOfTheEventTypeAndSizeAreRead)
{
    unsigned char message[1 + kKernelEventSize] = {}; // the record off its natural alignment
    const uint32_t words[9] = {36, kEventClientAttached, 1, 2, 3, 4, 5, 6, 7};
    std::memcpy(message + 1, words, sizeof words);

    KernelEvent event{};
    ASSERT_TRUE(readKernelEvent(kKernelEventMessage, message + 1, event));
    EXPECT_EQ(event.iCode, kEventClientAttached);
    EXPECT_EQ(event.word(0), 36u);
    EXPECT_EQ(event.word(1), uint32_t(kEventClientAttached));
    EXPECT_EQ(event.word(2), 1u);
    EXPECT_EQ(event.word(5), 4u);
    EXPECT_EQ(event.word(8), 7u);
    EXPECT_EQ(event.word(9), 0u);

    EXPECT_FALSE(readKernelEvent(kKernelEventMessage + 1, message + 1, event));
    EXPECT_FALSE(readKernelEvent(kKernelEventMessage, nullptr, event));
    const uint32_t shortSize = 35;
    std::memcpy(message + 1, &shortSize, 4);
    EXPECT_FALSE(readKernelEvent(kKernelEventMessage, message + 1, event));
}

} // namespace
