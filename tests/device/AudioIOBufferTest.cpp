#include "device/AudioIOBuffer.h"

#include <gtest/gtest.h>

TEST(AudioIOBuffer, ReallocatesOnlyWhenTheChannelLayoutChanges)
{
    AudioIOBuffer buffer;
    EXPECT_EQ(buffer.bufferList().mNumberBuffers, 1u);
    EXPECT_EQ(buffer.floatData(), nullptr);

    ASSERT_TRUE(buffer.create(2, 2, 256));
    EXPECT_EQ(buffer.bufferList().mBuffers[0].mDataByteSize, 256u * 2 * 4);
    EXPECT_EQ(buffer.rawSampleCount(), 512u);
    float* data = buffer.floatData();
    int32_t* raw = buffer.rawSamples();
    data[2 * 1024 - 1] = 1.0f; // room for 1024 frames
    raw[2 * 1024 - 1] = 1;

    ASSERT_TRUE(buffer.create(2, 2, 1024));
    EXPECT_EQ(buffer.floatData(), data) << "same layout: only the sizes change";
    EXPECT_EQ(buffer.rawSamples(), raw);
    EXPECT_EQ(buffer.bufferList().mBuffers[0].mDataByteSize, 1024u * 2 * 4);

    ASSERT_TRUE(buffer.create(6, 4, 64));
    EXPECT_EQ(buffer.rawChannels(), 6u);
    EXPECT_EQ(buffer.clientChannels(), 4u);
    EXPECT_EQ(buffer.rawSampleCount(), 6u * 64);
    buffer.floatData()[4 * 1024 - 1] = 0.5f;
    buffer.rawSamples()[6 * 1024 - 1] = 7;

    ASSERT_TRUE(buffer.create(0, 0, 256)) << "a direction that is off";
    EXPECT_EQ(buffer.floatData(), nullptr);
    EXPECT_EQ(buffer.bufferList().mBuffers[0].mDataByteSize, 0u);

    buffer.term();
    EXPECT_EQ(buffer.rawSamples(), nullptr);
    EXPECT_EQ(buffer.bufferList().mNumberBuffers, 1u);
}

TEST(AudioIOBuffer, RefusesSizesBeyondItsBuffers)
{
    AudioIOBuffer buffer;
    EXPECT_FALSE(buffer.create(2, 2, 1025));
    EXPECT_FALSE(buffer.create(0x40000000, 2, 256)) << "a channel count from a broken kernel";
    EXPECT_EQ(buffer.floatData(), nullptr);
    EXPECT_EQ(buffer.rawSampleCount(), 0u);
    EXPECT_TRUE(buffer.create(2, 2, 256));
}
