// The parts of the ALSA device that know neither alsa-lib nor the HAL, where the programs'
// tests cannot reach: full scale and clipping, a channel layout, the record of the last cycle
// across threads, and the delays at their limits.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "tools/alsa/PcmStream.h"
#include "tools/alsa/SampleFormats.h"

namespace {

using namespace tarselalsa;

TEST(AlsaSampleFormats, LittleEndianBytesFullScaleAndClipping)
{
    unsigned char bytes[4] = {};
    // Each format's most negative sample is -1.0, its step one part in its full scale.
    const unsigned char s16[2] = {0x00, 0x80}, s24[3] = {0x00, 0x00, 0x80}, s32[4] = {0, 0, 0, 0x80};
    EXPECT_EQ(sampleToFloat(SampleFormat::Int16, s16), -1.0f);
    EXPECT_EQ(sampleToFloat(SampleFormat::Int24Packed, s24), -1.0f);
    EXPECT_EQ(sampleToFloat(SampleFormat::Int32, s32), -1.0f);
    const unsigned char step24[3] = {0x01, 0x00, 0x00}, minus24[3] = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(sampleToFloat(SampleFormat::Int24Packed, step24), 1.0f / 8388608.0f);
    EXPECT_EQ(sampleToFloat(SampleFormat::Int24Packed, minus24), -1.0f / 8388608.0f) << "sign-extended from bit 23";

    // Beyond full scale clips to the largest sample, not round to the most negative one.
    floatToSample(SampleFormat::Int16, 1.5f, bytes);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0x7F);
    floatToSample(SampleFormat::Int32, 1.0f, bytes);
    EXPECT_EQ(bytes[3], 0x7F);
    floatToSample(SampleFormat::Int24Packed, -7.0f, bytes);
    EXPECT_EQ(sampleToFloat(SampleFormat::Int24Packed, bytes), -1.0f);
    // What no converter can take becomes silence both ways.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    floatToSample(SampleFormat::Int16, nan, bytes);
    EXPECT_EQ(sampleToFloat(SampleFormat::Int16, bytes), 0.0f);
    std::memcpy(bytes, &nan, 4);
    EXPECT_EQ(sampleToFloat(SampleFormat::Float32, bytes), 0.0f);
}

// A mono program on the 2-channel device, and the ring going round, are AlsaProgramsTest's;
// here the layout no program there uses.
TEST(AlsaSampleFormats, NonInterleavedBuffersTakeTheRingsFirstChannels)
{
    // Non-interleaved program buffers of 3 channels from a 2-channel ring: the third is silence.
    std::vector<float> planes(3 * 4, 7.0f);
    ChannelArea areas[3] = {{planes.data(), 0, 32}, {planes.data() + 4, 0, 32}, {planes.data() + 8, 0, 32}};
    const std::vector<float> frames = {0.5f, -0.5f, 0.25f, -0.25f};
    ringToProgram(SampleFormat::Float32, frames.data(), 2, 2, areas, 3, 2);
    EXPECT_EQ(planes, (std::vector<float>{7, 7, 0.5f, 0.25f, 7, 7, -0.5f, -0.25f, 7, 7, 0, 0}));
}

TEST(AlsaCycleRecord, ReadersSeeWholeCyclesOrNone)
{
    CycleRecord record;
    Cycle cycle;
    EXPECT_FALSE(record.read(cycle)) << "nothing published yet";
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (uint64_t i = 1; !stop.load(std::memory_order_relaxed); ++i)
            record.publish({i * 3, uint32_t(i % 1000 + 1), i});
    });
    int seen = 0;
    while (seen < 20000) {
        if (!record.read(cycle))
            continue;
        ASSERT_EQ(cycle.inputHostTime, cycle.count * 3);
        ASSERT_EQ(cycle.frames, cycle.count % 1000 + 1);
        ++seen;
    }
    stop = true;
    writer.join();
    record.clear();
    EXPECT_FALSE(record.read(cycle));
}

TEST(AlsaDelays, BothSidesAddUpToTheDevicesFiguresWheneverTheyAreAsked)
{
    const DeviceDelays d{256, 284, 10, 68, 5};
    const Cycle last{1000, 256, 5000};
    // Asked between two calls (a call comes once its input buffer is whole, 256 frames after
    // it began): playback loses what capture gains, the sum stays the round trip.
    for (double elapsed : {256.0, 300.0, 400.0, 511.0}) {
        const int64_t play = playbackDelay(100, d, &last, elapsed), rec = captureDelay(40, d, &last, elapsed);
        EXPECT_EQ(play + rec, 100 + 40 + 284 + 10 + 2 * 256 + 68 + 5) << elapsed;
    }
    EXPECT_EQ(playbackDelay(100, d, &last, 256), 100 + 294 + 2 * 256);
    EXPECT_EQ(captureDelay(40, d, &last, 256), 40 + 73);
    // Before the first cycle: the ring and the device's figures.
    EXPECT_EQ(playbackDelay(100, d, nullptr, 0), 100 + 294 + 2 * 256);
    EXPECT_EQ(captureDelay(40, d, nullptr, 0), 40 + 73);
    // A device long silent: what is queued is still to come, never less.
    EXPECT_EQ(playbackDelay(100, d, &last, 1e9), 100);
    EXPECT_EQ(captureDelay(0, d, &last, 0), 0);
}

} // namespace
