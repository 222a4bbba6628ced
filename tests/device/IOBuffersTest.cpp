// The IO buffers on the I/O path: what IOProcs may do to the lists they are handed, frame sizes
// that change around the stream's states, layout changes made by another process, and which
// thread builds the buffers and tells the clients.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/device/DeviceFixture.h"

using namespace devicetest;
using namespace std::chrono_literals;
using kexttest::runLoopUntil;

namespace {

class IOBuffersTest : public DeviceTest {
protected:
    static AudioBufferList configuration(ZmOSXDevice* device, bool input)
    {
        AudioBufferList list{};
        device->getStreamConfiguration(input, &list);
        return list;
    }
};

// What an IOProc saw of its lists, and what it does to them afterwards.
struct Rewriter {
    enum Rewrite { kChannels, kBytes, kData } rewrite;
    std::atomic<int> calls{0};
    std::atomic<int> wrongShape{0};
    std::atomic<int> loudInput{0};
    std::atomic<uint32_t> frames{0};
    void* firstOutputData = nullptr;
    float foreign[64] = {};
};

OSStatus rewritingProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                       AudioBufferList* out, const AudioTimeStamp*, void* data)
{
    auto& r = *static_cast<Rewriter*>(data);
    const int call = r.calls.load();
    AudioBuffer& o = out->mBuffers[0];
    if (call == 0) {
        r.firstOutputData = o.mData;
        r.frames = o.mDataByteSize / (4 * o.mNumberChannels);
    }
    if (o.mNumberChannels != 2 || o.mDataByteSize != r.frames * 2 * 4 || o.mData != r.firstOutputData
        || in->mBuffers[0].mNumberChannels != 2 || in->mBuffers[0].mDataByteSize != r.frames * 2 * 4)
        ++r.wrongShape;
    // Played once, then silence: a stale buffer would send back more than this one value.
    auto* samples = static_cast<float*>(o.mData);
    if (call == 0)
        for (uint32_t i = 0; i < r.frames * 2; ++i)
            samples[i] = 0.25f;
    const auto* heard = static_cast<const float*>(in->mBuffers[0].mData);
    for (uint32_t i = 0; heard != nullptr && i < r.frames * 2; ++i)
        if (heard[i] > 0.3f || heard[i] < -0.3f)
            ++r.loudInput;
    switch (r.rewrite) {
    case Rewriter::kChannels:
        o.mNumberChannels = 64;
        const_cast<AudioBufferList*>(in)->mBuffers[0].mNumberChannels = 64;
        break;
    case Rewriter::kBytes:
        o.mDataByteSize = 0;
        break;
    case Rewriter::kData:
        o.mData = r.foreign;
        const_cast<AudioBufferList*>(in)->mBuffers[0].mData = r.foreign;
        break;
    }
    r.calls = call + 1;
    return 0;
}

} // namespace

// Each call gets lists of the device's own shape, whatever the previous call did to its lists;
// the device converts, clears and reports with its own counts.
TEST_F(IOBuffersTest, WhatAnIOProcWritesIntoItsListsIsForgottenAfterTheCall)
{
    for (const auto rewrite : {Rewriter::kChannels, Rewriter::kBytes, Rewriter::kData}) {
        SCOPED_TRACE(int(rewrite));
        ZmOSXDevice* device = published();
        ASSERT_NE(device, nullptr);
        device->setFrameSize(1024, false, false);
        auto r = std::make_unique<Rewriter>();
        r->rewrite = rewrite;
        ASSERT_TRUE(device->addIOProc(rewritingProc, r.get()));
        ASSERT_TRUE(device->onDeviceStart(rewritingProc));
        ASSERT_TRUE(kexttest::waitUntil([&] { return r->calls.load() >= 12; }, 20s));
        ASSERT_TRUE(device->removeIOProc(rewritingProc));
        EXPECT_EQ(r->frames.load(), 1024u);
        EXPECT_EQ(r->wrongShape.load(), 0);
        EXPECT_EQ(r->loudInput.load(), 0) << "stale samples were played";
        const AudioBufferList out = configuration(device, false);
        EXPECT_EQ(out.mBuffers[0].mNumberChannels, 2u);
        EXPECT_EQ(out.mBuffers[0].mDataByteSize, 1024u * 2 * 4);
        releaseDevices();
    }
}

// A size asked for while the stream is prepared or running is the size in force once the
// stream is idle again: reported, sized into the buffers, and with its latency.
TEST_F(IOBuffersTest, AFrameSizeAskedForWhileStreamingHoldsOnceTheStreamIsIdle)
{
    for (const bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "attach refused" : "stopped");
        ZmOSXDevice* device = published();
        ASSERT_NE(device, nullptr);
        device->setFrameSize(512, false, false);
        const UInt32 latency512 = device->getLatency(false);
        device->setFrameSize(256, false, false);
        ASSERT_NE(device->getLatency(false), latency512);
        if (refused) {
            ASSERT_EQ(set("fail-request", "2"), kIOReturnSuccess);
        }

        ASSERT_TRUE(device->onDeviceStart(nullptr));
        device->setFrameSize(512, false, false);
        if (refused) {
            ASSERT_TRUE(kexttest::waitUntil([&] { return device->getStreamState() == kStreamIdle; }));
        } else {
            ASSERT_TRUE(device->onDeviceStop(nullptr));
        }
        ASSERT_TRUE(runLoopUntil([&] { return configuration(device, false).mBuffers[0].mDataByteSize == 512u * 2 * 4; }));
        EXPECT_EQ(device->getFrameSize(), 512u);
        EXPECT_EQ(device->getLatency(false), latency512);
        m_client.framesize = 0;
        device->setFrameSize(512, false, false);
        EXPECT_EQ(m_client.framesize, 0) << "already in force";
        device->setFrameSize(256, false, false);
        EXPECT_EQ(configuration(device, true).mBuffers[0].mDataByteSize, 256u * 2 * 4);
        if (refused) {
            ASSERT_EQ(set("fail-request", "none"), kIOReturnSuccess);
        }
        releaseDevices();
    }
}

namespace {

struct Sizes {
    std::atomic<int> calls{0};
    std::atomic<uint32_t> lastFrames{0};
    std::atomic<uint32_t> lastChannels{0};
};

OSStatus sizeProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                  AudioBufferList* out, const AudioTimeStamp*, void* data)
{
    auto& s = *static_cast<Sizes*>(data);
    const AudioBuffer& o = out->mBuffers[0];
    s.lastChannels = o.mNumberChannels;
    s.lastFrames = o.mNumberChannels != 0 ? o.mDataByteSize / (4 * o.mNumberChannels) : 0;
    ++s.calls;
    return 0;
}

// Records the threads the device calls its client on.
class ThreadClient : public RecordingClient {
public:
    void onFramesizeChanged(ZmOSXDevice* d) override
    {
        note();
        RecordingClient::onFramesizeChanged(d);
    }
    void onLatencyChanged(ZmOSXDevice* d) override
    {
        note();
        RecordingClient::onLatencyChanged(d);
    }
    void note()
    {
        std::lock_guard<std::mutex> guard(lock);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::thread::id> threads;
};

} // namespace

// Growing the frame size while streaming: the larger buffer is awaited, not taken for a missed
// one, and the clients hear of the new size and latencies on the run loop, not on the I/O thread.
TEST_F(IOBuffersTest, AFrameSizeIncreaseWhileStreamingIsAwaitedAndToldOnTheRunLoop)
{
    ThreadClient client;
    ZmOSXDevice* device = published("tarsel", &client);
    ASSERT_NE(device, nullptr);
    device->setFrameSize(128, false, false);
    Sizes sizes;
    ASSERT_TRUE(device->addIOProc(sizeProc, &sizes));
    ASSERT_TRUE(device->onDeviceStart(sizeProc));
    ASSERT_TRUE(kexttest::waitUntil([&] { return sizes.calls.load() >= 20; }, 20s));
    {
        std::lock_guard<std::mutex> guard(client.lock);
        client.threads.clear();
    }
    client.framesize = 0;
    for (const uint32_t size : {256u, 512u, 1024u}) {
        device->setFrameSize(size, false, false);
        ASSERT_TRUE(kexttest::waitUntil([&] { return sizes.lastFrames.load() == size; }, 20s));
        const int from = sizes.calls.load();
        ASSERT_TRUE(kexttest::waitUntil([&] { return sizes.calls.load() >= from + 3; }, 20s));
    }
    EXPECT_EQ(device->getTimestampFilter().mAlertCount.load(), 0u);
    // Changes that came between two passes of the run loop are told once.
    ASSERT_TRUE(runLoopUntil([&] { return client.framesize.load() >= 1; }));
    ASSERT_TRUE(device->removeIOProc(sizeProc));
    std::lock_guard<std::mutex> guard(client.lock);
    EXPECT_GE(client.threads.size(), 2u) << "the size and the latencies";
    for (const std::thread::id& id : client.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
}

// Another process changes the channel layout: the device detaches, rebuilds and re-attaches,
// and IOProcs, the reported formats and the HAL hear of the new layout.
TEST_F(IOBuffersTest, ALayoutChangedByAnotherProcessReachesTheIOProcs)
{
    ZmOSXDevice* device = published("saltmarsh-bay-4-hs");
    ASSERT_NE(device, nullptr) << m_id << " " << m_service;
    ASSERT_TRUE(listen(device));
    ZmOSXDevice* other = makeDevice();
    ASSERT_TRUE(other->init());
    Sizes sizes;
    ASSERT_TRUE(device->addIOProc(sizeProc, &sizes));
    ASSERT_TRUE(device->onDeviceStart(sizeProc));
    ASSERT_TRUE(kexttest::waitUntil([&] { return sizes.calls.load() >= 5; }, 20s));
    ASSERT_EQ(sizes.lastChannels.load(), 2u);
    clearRecordedHALCalls();

    AudioStreamBasicDescription format{};
    ASSERT_EQ(other->getStreamFormat(false, &format, true, 128), 0);
    format.mChannelsPerFrame = 4;
    format.mBytesPerFrame = format.mBytesPerPacket = 4 * (format.mBitsPerChannel / 8);
    ASSERT_EQ(other->setStreamFormat(false, &format, false), 0);
    ASSERT_EQ(device->getDriverSM()->channels.iOutChannels, 4u);

    ASSERT_TRUE(runLoopUntil([&] { return device->getReportedChannels().iOutChannels == 4; }));
    ASSERT_TRUE(kexttest::waitUntil([&] { return sizes.lastChannels.load() == 4; }, 20s));
    EXPECT_EQ(configuration(device, false).mBuffers[0].mNumberChannels, 4u);
    EXPECT_EQ(configuration(device, false).mBuffers[0].mDataByteSize, device->getFrameSize() * 4 * 4);
    EXPECT_GE(countNotifications(HALCall::DevicePropertyChanged, kAudioDevicePropertyStreamFormat), 4u);
    EXPECT_GE(countNotifications(HALCall::StreamPropertyChanged, kAudioStreamPropertyPhysicalFormat, 0x102), 1u);
    ASSERT_TRUE(device->removeIOProc(sizeProc));
}

// HAL threads change frame sizes, start and stop the device and read the buffer configuration
// while the I/O thread attaches and streams: the buffers are built by one thread at a time.
TEST_F(IOBuffersTest, BuffersAreBuiltByOneThreadAtATime)
{
    ZmOSXDevice* device = published();
    ASSERT_NE(device, nullptr);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint32_t seen = 0;
        while (!done.load())
            seen |= configuration(device, false).mBuffers[0].mDataByteSize;
        EXPECT_NE(seen, 0u);
    });
    std::thread sizer([&] {
        for (int i = 0; i < 300; ++i)
            device->setFrameSize(i % 2 == 0 ? 128 : 256, false, false);
    });
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(device->onDeviceStart(nullptr));
        ASSERT_TRUE(kexttest::waitUntil([&] { return device->getStreamState() != kStreamPrepared; }));
        ASSERT_TRUE(device->onDeviceStop(nullptr));
    }
    sizer.join();
    done = true;
    reader.join();
    const AudioBufferList out = configuration(device, false);
    EXPECT_EQ(out.mBuffers[0].mDataByteSize, device->getFrameSize() * 2 * 4);
}
