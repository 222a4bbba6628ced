// Records shared with the kernel driver: their accessors keep every read inside the record.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>

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
    const APIInterfaceInfo& last = info->configurations[3].interfaces[15];
    EXPECT_EQ(std::tuple(info->configCount(), info->configurations[3].interfaceCount(), last.altSettingCount(),
                         last.altSettings[15].endpointCount(), last.altSettings[15].rateCount()),
              std::tuple(4u, 16u, 16u, 3u, 16u));

    info->iConfigCount = 2;
    info->configurations[0].interfaces[0].altSettings[0].iEndpointCount = 1;
    EXPECT_EQ(std::tuple(info->configCount(), info->configurations[0].interfaces[0].altSettings[0].endpointCount()),
              std::tuple(2u, 1u));
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
    EXPECT_EQ(std::tuple(record.ownerToken(), record.inUse(), record.iOwner[0], record.iOwner[1]),
              std::tuple(token, ~token, 0x55667788u, 0x11223344u));
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
    EXPECT_EQ(std::tuple(record.iUnderruns, record.iMinimum, record.iMaximum, record.iSum, record.iValueCount,
                         record.iPid),
              std::tuple(0, -1, 0, 0u, 0u, 42));
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
    EXPECT_EQ(std::tuple(e.volumeOf(0), e.volumeOf(1), e.volumeOf(8), e.volumeOf(9), e.volumeOf(-1)),
              std::tuple(&e.volume[0], &e.volume[0], &e.volume[7], nullptr, nullptr));

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
    EXPECT_EQ(std::tuple(event.iCode, event.word(0), event.word(1), event.word(2), event.word(5), event.word(8),
                         event.word(9)),
              std::tuple(kEventClientAttached, 36u, uint32_t(kEventClientAttached), 1u, 4u, 7u, 0u));

    EXPECT_FALSE(readKernelEvent(kKernelEventMessage + 1, message + 1, event));
    EXPECT_FALSE(readKernelEvent(kKernelEventMessage, nullptr, event));
    const uint32_t shortSize = 35;
    std::memcpy(message + 1, &shortSize, 4);
    EXPECT_FALSE(readKernelEvent(kKernelEventMessage, message + 1, event));
}

} // namespace
