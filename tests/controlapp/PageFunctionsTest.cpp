// What the pages compute apart from the window, and the test stream's IOProc on buffers made
// here (no device, no window: the accessors skip every control).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "controlapp/PageFunctions.h"
#include "tests/controlapp/ControlAppProbe.h"

using controlapptest::Probe;

// The sizes between the powers of two, and the powers themselves (nextPower2) up to where they
// end; the range's bounds as sizes.
TEST(PageFunctions, FrameSizesOfARangeAndItsBounds)
{
    using Sizes = std::vector<uint32_t>;
    const struct {
        uint32_t min, max;
        Sizes expected;
    } cases[] = {
        {64, 2048, {64, 128, 192, 256, 384, 512, 768, 1024, 2048}},
        {48, 1024, {48, 64, 128, 192, 256, 384, 512, 768, 1024}},
        {0, 0, {0}},             // no status block
        {512, 64, {512}},        // minimum above maximum: the minimum alone
        {100, 300, {100, 128, 192, 256}},
        {0x40000000u, 0xFFFFFFFFu, {0x40000000u, 0x80000000u}}, // no power of two beyond
    };
    for (const auto& c : cases) {
        uint32_t sizes[255] = {};
        const size_t n = frameSizeItems(c.min, c.max, sizes, std::size(sizes));
        EXPECT_EQ(Sizes(sizes, sizes + n), c.expected) << c.min << " to " << c.max;
    }
    // From 0 to the top every power of two comes, and the list never outgrows its table.
    uint32_t few[4] = {};
    EXPECT_EQ(frameSizeItems(0, 0xFFFFFFFFu, few, std::size(few)), 4u);
    EXPECT_EQ(few[3], 4u);

    const struct {
        double value;
        uint32_t expected;
    } bounds[] = {{64.0, 64}, {-5.0, 0}, {NAN, 0}, {1e12, 4294967295u}, {INFINITY, 4294967295u}, {1024.9, 1024}};
    for (const auto& b : bounds)
        EXPECT_EQ(frameSizeBound(b.value), b.expected) << b.value;
}

TEST(PageFunctions, ClientLinesAndAverages)
{
    EXPECT_EQ(clientInfoLine(10, 20, 30, 0, "tarsel-play", 1234, 256, 172),
              "                     tarsel-play (PID: 1234) - FS: 256 - IO: 172 - MIN:    10 - AVG:    20 - MAX:    30");
    EXPECT_EQ(clientInfoLine(1, 2, 3, 4, "x", 5, 64, 9),
              "                               x (PID:    5) - FS:  64 - IO:   9 - MIN:     1 - AVG:     2 - MAX:     3"
              " - UNDERRUN:     4");
    EXPECT_EQ(clientInfoLine(0, 0, 0, -1, "y", 1, 1, 1).find("UNDERRUN"), std::string::npos);
    // A name longer than the column pushes the rest along and is never cut short of it.
    const std::string longName(60, 'n');
    EXPECT_NE(clientInfoLine(0, 0, 0, 0, longName.c_str(), 1, 1, 1).find(longName), std::string::npos);

    const struct {
        uint32_t sum, count;
        int32_t minimum, maximum, expected;
    } averages[] = {{300, 3, 0, 0, 100}, {0, 0, 10, 30, 20}, {0, 0, -1, 0, 0}, {0, 0, -1, 9, 4},
                    {0, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}};
    for (const auto& a : averages)
        EXPECT_EQ(clientAverage(a.sum, a.count, a.minimum, a.maximum), a.expected) << a.minimum << " " << a.maximum;
}

// --- the IOProc -------------------------------------------------------------------------------

namespace {

struct Buffers {
    Buffers(uint32_t inChannels, uint32_t inFrames, uint32_t outChannels, uint32_t outFrames)
        : in(size_t(inChannels) * inFrames), out(size_t(outChannels) * outFrames, 9.0f)
    {
        inList.mNumberBuffers = 1;
        inList.mBuffers[0] = {inChannels, UInt32(in.size() * 4), in.data()};
        outList.mNumberBuffers = 1;
        outList.mBuffers[0] = {outChannels, UInt32(out.size() * 4), out.data()};
    }
    OSStatus run(ControlApp& app, bool withInput = true, bool withOutput = true)
    {
        return ControlApp__AudioDeviceIOProc(0, nullptr, withInput ? &inList : nullptr, nullptr,
                                             withOutput ? &outList : nullptr, nullptr, &app);
    }
    std::vector<float> in, out;
    AudioBufferList inList{}, outList{};
};

} // namespace

TEST(IOProc, PeaksOfTheFirstEightInputChannels)
{
    Probe app;
    Buffers b(10, 4, 2, 4);
    for (uint32_t f = 0; f < 4; ++f)
        for (uint32_t c = 0; c < 10; ++c)
            b.in[f * 10 + c] = (c % 2 ? -1.0f : 1.0f) * 0.1f * float(c + 1) * (f == 2 ? 1.0f : 0.5f);
    app.levelCaptureOn = false;
    app.levels[3] = 0.7f;
    b.run(app);
    EXPECT_EQ(app.levels[3].load(), 0.0f) << "nothing is captured while the meters are off";

    app.levelCaptureOn = true;
    b.run(app);
    for (size_t k = 0; k < 8; ++k)
        EXPECT_FLOAT_EQ(app.levels[k].load(), 0.1f * float(k + 1)) << k;
    EXPECT_EQ(b.out, std::vector<float>(8, 0.0f)) << "an output nobody wrote is silence";

    // Fewer channels: the meters beyond them fall to 0.
    Buffers mono(1, 3, 2, 3);
    mono.in = {0.2f, -1.2f, 0.3f};
    mono.run(app);
    EXPECT_FLOAT_EQ(app.levels[0].load(), 1.2f);
    for (size_t k = 1; k < 8; ++k)
        EXPECT_EQ(app.levels[k].load(), 0.0f) << k;
    // No channels at all: no frame is read.
    Buffers none(0, 0, 2, 2);
    EXPECT_EQ(none.run(app), 0);
}

TEST(IOProc, SoftwareThruMapsChannelsFrameByFrame)
{
    const struct {
        uint32_t inChannels, outChannels, inFrames, outFrames;
        std::vector<float> expected; // output after the call, from input 1, 2, 3, ...
    } cases[] = {
        {2, 2, 2, 2, {1, 2, 3, 4}},             // same size: copied as it is
        {3, 2, 2, 2, {1, 2, 4, 5}},             // surplus inputs skipped
        {1, 3, 2, 2, {1, 0, 0, 2, 0, 0}},       // further outputs zeroed
        {2, 2, 3, 2, {9, 9, 9, 9}},             // frame counts differ: nothing copied
    };
    for (const auto& c : cases) {
        Probe app;
        app.thruOn = true;
        Buffers b(c.inChannels, c.inFrames, c.outChannels, c.outFrames);
        for (size_t i = 0; i < b.in.size(); ++i)
            b.in[i] = float(i + 1);
        b.run(app);
        EXPECT_EQ(b.out, c.expected) << c.inChannels << " in, " << c.outChannels << " out";
    }
}

TEST(IOProc, LatencyPulseAndEcho)
{
    Probe app;
    app.latencyOutChannels = 2;
    app.latencyInChannels = 2;
    app.latencyMaxFrames = 100;
    app.latencyActive = true;
    app.thruOn = true; // the measurement's output wins over the thru

    Buffers first(2, 8, 2, 8);
    std::fill(first.in.begin(), first.in.end(), 0.5f);
    first.run(app);
    EXPECT_EQ(first.out, (std::vector<float>{0.7f, 0.7f, -0.7f, -0.7f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(app.latencyFrames.load(), 8);

    Buffers quiet(2, 8, 2, 8);
    quiet.in[7] = 0.9f; // loud, but on the second channel: only the first is scanned
    quiet.run(app);
    EXPECT_EQ(app.latencyFrames.load(), 16);
    EXPECT_TRUE(app.latencyActive.load());

    Buffers echo(2, 8, 2, 8);
    echo.in[10] = -0.03f; // frame 5
    echo.run(app);
    EXPECT_FALSE(app.latencyActive.load());
    EXPECT_TRUE(app.latencyDone.load());
    EXPECT_EQ(app.latencyFrames.load(), 21);

    // No echo within the limit (0, no response) is the window's test on a silent input.

    // A pulse wider than a tiny buffer stays inside it.
    app.latencyFrames = 0;
    app.latencyOutChannels = 8;
    app.latencyActive = true;
    Buffers tiny(2, 2, 2, 2);
    tiny.run(app);
    EXPECT_EQ(tiny.out, (std::vector<float>{0.7f, 0.7f, 0.7f, 0.7f}));
}

TEST(IOProc, ToneIsCopiedOutUntilItEnds)
{
    Probe app;
    app.toneSamples.reset(new float[6]{1, 2, 3, 4, 5, 6});
    app.toneLength = 6;
    app.tonePlaying = true;
    Buffers b(2, 2, 2, 2);
    b.run(app);
    EXPECT_EQ(b.out, (std::vector<float>{1, 2, 3, 4}));
    b.run(app);
    EXPECT_EQ(b.out, (std::vector<float>{5, 6, 0, 0})) << "the rest of the last buffer is silence";
    EXPECT_TRUE(app.tonePlaying.load());
    b.run(app);
    EXPECT_FALSE(app.tonePlaying.load()) << "played out";
    // Without an output list the tone waits; without a buffer it ends.
    app.tonePlaying = true;
    b.run(app, true, false);
    EXPECT_TRUE(app.tonePlaying.load());
    app.toneSamples.reset();
    b.run(app);
    EXPECT_FALSE(app.tonePlaying.load());
    EXPECT_EQ(ControlApp__AudioDeviceIOProc(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}
