#include "device/AudioSM.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr uint32_t kMax = AudioSM::kMaxSamples;

// Zeroed, and exactly the block's size on the heap, so ASan sees a step past its end.
std::unique_ptr<AudioSM> makeBlock()
{
    return std::make_unique<AudioSM>();
}

std::string initPrinting(AudioSM& block, uint32_t channels, uint32_t timingBase)
{
    testing::internal::CaptureStdout();
    block.init(channels, timingBase);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

struct CopyCall {
    int* destination;
    const int* source;
    int count;
    bool operator==(const CopyCall&) const = default;
};
std::vector<CopyCall> g_copies;

void recordingCopy(int* destination, const int* source, int count)
{
    g_copies.push_back({destination, source, count});
    std::memcpy(destination, source, size_t(count) * sizeof(int));
}

void fillRamp(AudioSM& block)
{
    for (uint32_t i = 0; i < kMax; ++i)
        block.samples[i] = int32_t(i);
}

void setRecord(AudioTSData& record, uint32_t frame0, uint64_t ts0, uint64_t dFrames, uint64_t dTS)
{
    record.frame0 = frame0;
    record.ts0 = ts0;
    record.dFrames = dFrames;
    record.dTS = dTS;
}

auto fields(const AudioTSData& r) { return std::tuple(r.frame0, r.frame1, r.ts0, r.ts1, r.dTS, r.dFrames); }

// The bytes between the sample array and the counters: a copy that left the array lands here.
std::vector<uint8_t> headerBytes(const AudioSM& block)
{
    const auto* begin = reinterpret_cast<const uint8_t*>(&block.nChannels);
    return {begin, begin + (offsetof(AudioSM, writeCount) - offsetof(AudioSM, nChannels))};
}

TEST(AudioSMInit, RingLengthFollowsTheChannelCount)
{
    auto block = makeBlock();
    EXPECT_EQ(initPrinting(*block, 2, 4096), "");
    EXPECT_EQ(std::tuple(block->nChannels, block->nFrames, block->timingBase, block->tsMinFrames),
              std::tuple(2u, 65536u, 4096u, 1024u));

    EXPECT_EQ(initPrinting(*block, 6, 4099), "AudioSM::init nUsedSamples != nMaxSamples 131070 - 131072\n");
    EXPECT_EQ(std::pair(block->nFrames, block->tsMinFrames), std::pair(21845u, 1024u)) << "shifted, not rounded";

    EXPECT_EQ(initPrinting(*block, 0, 4096), "AudioSM::init nChannels is 0\n");
    EXPECT_EQ(std::pair(block->nChannels, block->nFrames), std::pair(2u, 65536u));

    EXPECT_EQ(initPrinting(*block, 200000, 4096), "AudioSM::init nUsedSamples != nMaxSamples 0 - 131072\n");
    EXPECT_EQ(block->nFrames, 0u);
}

TEST(AudioSMInit, ClearsCountersAndRecordsAndLeavesSamplesAndReserve)
{
    auto block = makeBlock();
    std::memset(block.get(), 0xAB, sizeof *block);
    block->init(2, 4096);
    EXPECT_EQ(std::tuple(block->writeCount, block->writeOffset, block->readPosition, block->notice, block->streaming,
                         block->tsCurrent),
              std::tuple(0u, 0u, 0u, 0u, 0u, 1u));
    block->setNotice(1);
    EXPECT_TRUE(block->clearNotice());
    EXPECT_FALSE(block->clearNotice()) << "a notice is taken once";
    const AudioTSData zero{};
    for (const AudioTSData* record : {&block->tsRecord1, &block->tsRecord2, &block->tsCollect})
        EXPECT_EQ(std::memcmp(record, &zero, sizeof zero), 0);
    EXPECT_EQ(std::tuple(uint32_t(block->samples[0]), uint32_t(block->samples[kMax - 1]), block->reserved[0],
                         block->reserved[4095]),
              std::tuple(0xABABABABu, 0xABABABABu, 0xAB, 0xAB));
}

TEST(AudioSMWrite, PlacesFramesAtCountPlusOffsetAndWraps)
{
    auto block = makeBlock();
    block->init(2, 4096);
    std::vector<int32_t> source(32);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = int32_t(i + 1);

    const auto samples = [&](uint32_t from, uint32_t count) {
        return std::vector<int32_t>(block->samples + from, block->samples + from + count);
    };
    block->writeFrames(source.data(), 10, 5);
    EXPECT_EQ(std::pair(block->writeCount, block->writeOffset), std::pair(10u, 5u));
    // Slot 4 is before the offset.
    EXPECT_EQ(samples(9, 22), (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18,
                                                     19, 20, 0}));

    // Slot (10 + 65523) mod 65536 = 65533: 3 frames at the end, 5 from slot 0; the first write
    // beyond the wrapped part stays.
    block->writeFrames(source.data(), 8, 65523);
    EXPECT_EQ(samples(kMax - 6, 6), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(samples(0, 11), (std::vector<int32_t>{7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1}));
    EXPECT_EQ(block->writeCount, 18u);

    const std::vector<int32_t> before(block->samples, block->samples + kMax);
    block->writeFrames(nullptr, 100, 7);
    EXPECT_EQ(std::pair(block->writeCount, block->writeOffset), std::pair(118u, 7u));
    EXPECT_EQ(std::memcmp(before.data(), block->samples, sizeof block->samples), 0);
}

TEST(AudioSMWrite, CountersWrapModulo2To32)
{
    auto block = makeBlock();
    block->init(2, 4096);
    block->writeCount = 0xFFFFFFF0u;
    block->writeFrames(nullptr, 0x20, 4);
    EXPECT_EQ(std::tuple(block->getFramePos(), block->getAvailableFrames(0xFFFFFFF8u), block->getAvailableFrames(0x14u)),
              std::tuple(0x10u, 0x1Cu, 0u));

    // Slot of frame 0x14 with the 32-bit sum, not a 64-bit one.
    const int32_t frame[2] = {7, 8};
    block->writeFrames(frame, 1, 4);
    EXPECT_EQ(std::pair(block->samples[0x14 * 2], block->samples[0x14 * 2 + 1]), std::pair(7, 8));
}

TEST(AudioSMWrite, MoreFramesThanTheRingKeepsTheNewest)
{
    auto block = makeBlock();
    initPrinting(*block, 6, 4096);
    block->samples[kMax - 2] = -1; // outside the 21845 frames
    block->samples[kMax - 1] = -1;
    const uint32_t frames = 21845 + 100;
    std::vector<int32_t> source(size_t(frames) * 6);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = int32_t(i);

    block->writeFrames(source.data(), frames, 0);
    EXPECT_EQ(block->writeCount, frames);
    uint32_t wrong = 0;
    for (uint32_t slot = 0; slot < 21845; ++slot) {
        const uint32_t frame = slot < 100 ? slot + 21845 : slot;
        for (uint32_t c = 0; c < 6; ++c)
            wrong += block->samples[slot * 6 + c] != int32_t(frame * 6 + c);
    }
    EXPECT_EQ(std::tuple(wrong, block->samples[kMax - 2], block->samples[kMax - 1]), std::tuple(0u, -1, -1));
}

TEST(AudioSMRead, WrappedRunIsCopiedInTwoCalls)
{
    auto block = makeBlock();
    block->init(2, 4096);
    fillRamp(*block);
    std::vector<int32_t> destination(201, -7);
    uint32_t position = 65536 - 40;
    uint64_t ts = 99;

    g_copies.clear();
    block->read(position, destination.data(), 100, ts, recordingCopy);
    const int* samples = block->samples;
    EXPECT_EQ(g_copies, (std::vector<CopyCall>{{destination.data(), samples + (65536 - 40) * 2, 80},
                                               {destination.data() + 80, samples, 120}}));
    EXPECT_EQ(std::tuple(destination[0], destination[79], destination[80], destination[199], destination[200]),
              std::tuple(int32_t(kMax - 80), int32_t(kMax - 1), 0, 119, -7));
    EXPECT_EQ(std::pair(position, ts), std::pair(65596u, uint64_t(0))) << "a fresh block has no time";

    g_copies.clear();
    block->read(position, destination.data(), 100, ts, recordingCopy);
    EXPECT_EQ(g_copies, (std::vector<CopyCall>{{destination.data(), samples + 60 * 2, 200}})) << "no wrap: one call";
    EXPECT_EQ(position, 65696u);

    // Six channels: the ring ends at sample 131070, before the array does.
    initPrinting(*block, 6, 4096);
    fillRamp(*block);
    position = 21844;
    g_copies.clear();
    block->read(position, destination.data(), 2, ts, recordingCopy);
    EXPECT_EQ(g_copies, (std::vector<CopyCall>{{destination.data(), samples + 131064, 6},
                                               {destination.data() + 6, samples, 6}}));
    EXPECT_EQ(std::pair(destination[5], destination[6]), std::pair(131069, 0));
}

TEST(AudioSMRead, WithoutDestinationOrCopyOnlyAdvancesAndReportsTime)
{
    auto block = makeBlock();
    block->init(2, 4096);
    fillRamp(*block);
    setRecord(block->tsRecord1, 1000, 5000, 100, 200);
    std::vector<int32_t> destination(128, -7);
    uint32_t position = 1050;
    uint64_t ts = 0;

    g_copies.clear();
    block->read(position, nullptr, 64, ts, recordingCopy);
    EXPECT_EQ(std::tuple(g_copies.empty(), position, ts), std::tuple(true, 1114u, uint64_t(5100)));

    block->read(position, destination.data(), 64, ts, nullptr);
    EXPECT_EQ(std::pair(position, destination[0]), std::pair(1178u, -7));

    // The caller's frame width differs from the block's: nothing is copied.
    block->read(position, destination.data(), 32, ts, recordingCopy, 6);
    EXPECT_EQ(std::tuple(g_copies.empty(), destination[0], position), std::tuple(true, -7, 1210u));

    // The output block's read position, advanced in place.
    auto output = makeBlock();
    output->init(2, 4096);
    output->readPosition = 10;
    block->read(output->readPosition, destination.data(), 64, ts, recordingCopy, 2);
    EXPECT_EQ(std::tuple(g_copies.size(), output->loadReadPosition(), destination[0], ts),
              std::tuple(size_t(1), 74u, 20, uint64_t(3020)))
        << "time of frame 10, before the record";
}

TEST(AudioTSData, InterpolatesAndExtrapolatesAcrossTheWrapWithTruncationTowardZero)
{
    // The 32-bit frame counters wrap every 27 hours at 44.1 kHz.
    constexpr uint32_t kNearWrap = 0xFFFFFF00u;
    struct Case {
        uint32_t frame0, frame1; // the record, 2 ns a frame from ts0 = 1e6
        uint32_t frame;
        int64_t offsetNs;
    };
    const Case cases[] = {
        {1000, 1100, 1050, 2 * 50},
        {1000, 1100, 990, -2 * 10},
        {1000, 1100, 1200, 2 * 200},
        {kNearWrap, 0x100u, 0x80u, 2 * 0x180},                // spans the wrap, frame past it
        {kNearWrap, 0x100u, 0xFFFFFF80u, 2 * 0x80},           // spans the wrap, frame before it
        {0xFFFFF000u, kNearWrap, 0x40u, 2 * (0x1000 + 0x40)}, // extrapolated past the wrap
        {0x10u, 0x210u, 0xFFFFFFF0u, -2 * 0x20},              // a frame before a record past it
    };
    uint64_t ts = 0;
    for (const Case& c : cases) {
        AudioTSData record{};
        record.frame0 = c.frame0;
        record.frame1 = c.frame1;
        record.ts0 = 1'000'000;
        record.ts1 = record.ts0 + 2 * uint64_t(uint32_t(c.frame1 - c.frame0));
        record.validate();
        EXPECT_EQ(std::pair(record.dFrames, record.dTS),
                  std::pair(uint64_t(uint32_t(c.frame1 - c.frame0)), 2 * uint64_t(uint32_t(c.frame1 - c.frame0))));
        record.getTS(c.frame, ts);
        EXPECT_EQ(int64_t(ts), 1'000'000 + c.offsetNs) << std::hex << c.frame0 << " " << c.frame;
    }

    AudioTSData record{};
    record.frame0 = 1000;
    record.frame1 = 1003;
    record.ts0 = 5000;
    record.ts1 = 5001;
    record.validate();
    // -2/3 truncates toward zero, not down.
    using Point = std::pair<uint32_t, uint64_t>; // frame, its time
    for (auto [frame, time] : {Point{1001, 5000}, Point{998, 5000}, Point{996, 4999}}) {
        record.getTS(frame, ts);
        EXPECT_EQ(ts, time) << frame;
    }

    record.init();
    ts = 123;
    record.getTS(5, ts);
    EXPECT_EQ(ts, 0u);
    const AudioTSData zero{};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof zero), 0);
}

TEST(AudioTSData, HostileRecordsWrapWithoutFault)
{
    uint64_t ts = 0;
    AudioTSData record{};
    // INT64_MIN / -1, the one overflowing quotient.
    setRecord(record, 0, 7, ~uint64_t(0), uint64_t(1) << 63);
    record.getTS(1, ts);
    EXPECT_EQ(ts, 7 + (uint64_t(1) << 63));
    // A product beyond 64 bits keeps its low bits; the sum wraps.
    setRecord(record, 0, 0, 1, (uint64_t(1) << 63) + 1);
    uint64_t wrapped = 0;
    record.getTS(2, ts);
    setRecord(record, 0, ~uint64_t(0), 1, 1);
    record.getTS(1, wrapped);
    EXPECT_EQ(std::pair(ts, wrapped), std::pair(uint64_t(2), uint64_t(0)));
}

TEST(AudioSMTime, CurrentRecordIsChosenByTsCurrent)
{
    auto block = makeBlock();
    block->init(2, 4096);
    const auto timeOf = [&](uint32_t frame) {
        uint64_t ts = 1;
        block->getTS(frame, ts);
        return ts;
    };
    EXPECT_EQ(timeOf(0), 0u) << "fresh block";

    setRecord(block->tsRecord2, 1000, 5000, 100, 200);
    EXPECT_EQ(timeOf(1050), 0u) << "record 1 is current and spans no frames";
    block->tsCurrent = 0;
    EXPECT_EQ(timeOf(1050), 5100u);
    block->tsCurrent = 7;
    EXPECT_EQ(timeOf(1050), 0u) << "any non-zero value selects record 1";
}

TEST(AudioSMTime, WriteTimestampPublishesSpansOfAtLeastTsMinFrames)
{
    auto block = makeBlock();
    block->init(2, 4096); // 1024 frames per record
    const AudioTSData zero{};
    auto writeCycle = [&](uint64_t ts) {
        block->writeFrames(nullptr, 256, 0);
        block->writeTimestamp(ts);
    };

    writeCycle(10000); // the span starts at frame 256
    for (uint64_t i = 1; i <= 3; ++i)
        writeCycle(10000 + i * 2560);
    EXPECT_EQ(block->tsCurrent, 1u) << "768 frames: nothing published";
    EXPECT_EQ(std::memcmp(&block->tsRecord2, &zero, sizeof zero), 0);
    EXPECT_EQ(std::memcmp(&block->tsRecord1, &zero, sizeof zero), 0);

    writeCycle(20240);
    ASSERT_EQ(block->tsCurrent, 0u);
    EXPECT_EQ(fields(block->tsRecord2), fields({256, 1280, 10000, 20240, 10240, 1024}));
    EXPECT_EQ(std::memcmp(&block->tsRecord1, &zero, sizeof zero), 0);
    uint64_t ts = 0;
    block->getTS(1536, ts);
    EXPECT_EQ(ts, 22800u);

    // The next span starts where this one ended, and goes to the other record.
    for (uint64_t i = 1; i <= 3; ++i)
        writeCycle(20240 + i * 2560);
    EXPECT_EQ(block->tsCurrent, 0u);
    writeCycle(30480);
    EXPECT_EQ(block->tsCurrent, 1u);
    EXPECT_EQ(fields(block->tsRecord1), fields({1280, 2304, 20240, 30480, 10240, 1024}));
    EXPECT_EQ(block->tsRecord2.frame1, 1280u) << "the older record stays";
    uint32_t position = 2304;
    block->read(position, nullptr, 256, ts, nullptr);
    EXPECT_EQ(ts, 30480u);
}

TEST(AudioSMHostile, HeadersMoveNoSamplesOrStayInsideTheArray)
{
    // Unusable shapes move the counters but no sample. Shapes init never makes but which fit
    // keep every copy within the used frames.
    const struct {
        uint32_t channels, frames;
        bool usable;
    } headers[] = {
        {0, 65536, false}, {0, 0, false}, {7, 65536, false}, {200000, 0, false}, {200000, 1, false}, {2, 0, false},
        {2, 100000, false}, {1, 131073, false}, {65536, 3, false}, {0xFFFFFFFFu, 0xFFFFFFFFu, false},
        {0x80000000u, 2, false},
        {7, 18724, true}, {3, 43690, true}, {131072, 1, true}, {1, 5, true}, {2, 65536, true},
    };
    auto block = makeBlock();
    std::vector<int32_t> buffer(64 * 2, 5);
    for (const auto& header : headers) {
        SCOPED_TRACE(testing::Message() << header.channels << " channels, " << header.frames << " frames");
        block->init(2, 4096);
        fillRamp(*block);
        block->nChannels = header.channels;
        block->nFrames = header.frames;
        const auto headerBefore = headerBytes(*block);
        if (!header.usable) {
            block->writeFrames(buffer.data(), 64, 3);
            EXPECT_EQ(std::pair(block->getFramePos(), block->getAvailableFrames(0)), std::pair(64u, 67u));
            for (uint32_t i = 0; i < kMax; i += 997)
                ASSERT_EQ(block->samples[i], int32_t(i));

            g_copies.clear();
            uint32_t position = 0xFFFFFFF0u;
            uint64_t ts = 1;
            block->read(position, buffer.data(), 64, ts, recordingCopy);
            EXPECT_EQ(std::tuple(g_copies.empty(), position, ts, buffer[0]),
                      std::tuple(true, 0x30u, uint64_t(0), 5));
            EXPECT_EQ(headerBytes(*block), headerBefore);
            continue;
        }
        const size_t used = size_t(header.channels) * header.frames;

        // Longer than the ring, starting at its last frame.
        const uint32_t frames = header.frames + 3;
        std::vector<int32_t> source(size_t(frames) * header.channels, -3);
        block->writeCount = header.frames - 1;
        block->writeFrames(source.data(), frames, 0);
        EXPECT_EQ(std::pair(block->samples[0], block->samples[used - 1]), std::pair(-3, -3));
        if (used < kMax) {
            EXPECT_EQ(block->samples[used], int32_t(used));
        }
        EXPECT_EQ(headerBytes(*block), headerBefore);

        std::vector<int32_t> destination(source.size() + 1, 9);
        g_copies.clear();
        uint32_t position = header.frames - 1;
        uint64_t ts = 0;
        block->read(position, destination.data(), frames, ts, recordingCopy);
        int copied = 0;
        for (const CopyCall& call : g_copies) {
            EXPECT_GE(call.source, block->samples);
            EXPECT_LE(call.source + call.count, block->samples + used);
            copied += call.count;
        }
        EXPECT_EQ(size_t(copied), used) << "one ring's worth";
        EXPECT_EQ(destination[used], 9) << "the rest of the destination is left alone";
        EXPECT_EQ(position, header.frames - 1 + frames);
    }
}

} // namespace
