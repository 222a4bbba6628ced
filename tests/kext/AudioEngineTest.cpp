// The clock and converters of the simulated interfaces, seen as the plug-in sees them: rings 4
// and 5 mapped, input read at the frames the clock published, output written ahead of it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/AudioSM.h"
#include "kext/AudioEngine.h"
#include "tests/kext/InterfaceFixture.h"

namespace kexttest {
namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kAhead = 8192; // frames the test's player keeps written ahead (170 ms)

void copySamples(int* to, const int* from, int count)
{
    std::memcpy(to, from, size_t(count) * sizeof(int));
}

// One connection used as the plug-in uses it.
class Stream {
public:
    explicit Stream(io_service_t service) : m_client(service) {}
    ~Stream()
    {
        stopPlaying();
        if (m_inAddress != 0)
            IOConnectUnmapMemory(m_client.connect(), kMemoryInputRing, mach_task_self(), m_inAddress);
        if (m_outAddress != 0)
            IOConnectUnmapMemory(m_client.connect(), kMemoryOutputRing, mach_task_self(), m_outAddress);
    }

    InterfaceClient& client() { return m_client; }
    AudioSM& in() { return *reinterpret_cast<AudioSM*>(m_inAddress); }
    AudioSM& out() { return *reinterpret_cast<AudioSM*>(m_outAddress); }
    int slot() const { return m_slot; }
    ClientData& record() { return *m_client.block().client(m_slot); }

    // Request 2, then the rings mapped.
    bool attach()
    {
        if (m_client.attach(256, &m_slot) != kIOReturnSuccess)
            return false;
        return map(kMemoryInputRing, m_inAddress) && map(kMemoryOutputRing, m_outAddress);
    }

    // Keeps output frames written `ahead` frames past the input position: channel c of the
    // connection's frame j is value(j, c).
    void play(std::function<int32_t(uint32_t, uint32_t)> value, uint32_t ahead = kAhead)
    {
        stopPlaying();
        m_playing = true;
        // The shape the ring was set up with, whatever is written to its header later.
        const uint32_t channels = out().channelCount();
        m_player = std::thread([this, value = std::move(value), ahead, channels] {
            std::vector<int32_t> buffer(size_t(1024) * channels);
            uint32_t written = out().getFramePos();
            while (m_playing) {
                const uint32_t target = in().getFramePos() + ahead;
                while (int32_t(target - written) > 0) {
                    const uint32_t n = std::min<uint32_t>(target - written, 1024);
                    for (uint32_t f = 0; f < n; ++f)
                        for (uint32_t c = 0; c < channels; ++c)
                            buffer[size_t(f) * channels + c] = value(written + f, c);
                    out().writeFrames(buffer.data(), n, 0, channels);
                    written += n;
                }
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    void stopPlaying()
    {
        m_playing = false;
        if (m_player.joinable())
            m_player.join();
    }

    // `count` input frames (all channels) from `frame` on, once the clock has published them.
    std::vector<int32_t> inputFrames(uint32_t frame, uint32_t count = 1)
    {
        EXPECT_TRUE(waitUntil([&] { return int32_t(in().getFramePos() - (frame + count)) >= 0; }));
        std::vector<int32_t> samples(size_t(count) * in().channelCount());
        uint64_t ts = 0;
        in().read(frame, samples.data(), count, ts, copySamples);
        return samples;
    }

private:
    bool map(uint32_t type, vm_address_t& address)
    {
        vm_size_t size = 0;
        return address != 0 || (m_client.map(type, size, &address) == kIOReturnSuccess && size == kAudioRingSize);
    }

    InterfaceClient m_client;
    int m_slot = -1;
    vm_address_t m_inAddress = 0;
    vm_address_t m_outAddress = 0;
    std::atomic<bool> m_playing{false};
    std::thread m_player;
};

class AudioEngineTest : public InterfaceTest {
protected:
    void SetUp() override
    {
        InterfaceTest::SetUp();
        plugModel("default");
        m_first = std::make_unique<Stream>(m_service);
        ASSERT_TRUE(m_first->client().ok());
    }
    void TearDown() override
    {
        m_first.reset();
        for (const std::string& path : m_temporary)
            unlink(path.c_str());
        InterfaceTest::TearDown(); // removes the daemon's folder, which must be empty by then
    }

    void configureAt(uint32_t rate)
    {
        VkChannelSettings s = kext::defaultSettings(m_model);
        s.iFrequency = rate;
        ASSERT_EQ(m_first->client().applySettings(s), kIOReturnSuccess);
        ASSERT_EQ(m_first->client().block().bConfigured, 1u);
        m_outChannels = s.iOutChannels;
        m_inChannels = s.iInChannels;
    }

    std::string description()
    {
        std::vector<kext::ControlClient::ServiceEntry> services;
        EXPECT_EQ(daemon().control().listServices(services), kIOReturnSuccess);
        for (const auto& s : services)
            if (s.id == m_id)
                return s.description;
        return {};
    }

    // A file in the daemon's private folder, removed after the test.
    std::string tempPath(const std::string& name)
    {
        m_temporary.push_back(daemon().folder() + "/" + name);
        return m_temporary.back();
    }

    std::unique_ptr<Stream> m_first;
    uint32_t m_inChannels = 0;
    uint32_t m_outChannels = 0;
    std::vector<std::string> m_temporary;
};

TEST_F(AudioEngineTest, TwoClientsAreMixedAndClampedTo24Bits)
{
    ASSERT_NO_FATAL_FAILURE(configureAt(kRate));
    Stream second(m_service);
    ASSERT_TRUE(m_first->attach());
    ASSERT_TRUE(second.attach());
    m_first->play([](uint32_t, uint32_t c) { return c == 0 ? 1000 : c == 1 ? 8000000 : c == 2 ? -8000000 : 0; });
    second.play([](uint32_t, uint32_t c) { return c == 0 ? 2000 : c == 1 ? 8000000 : c == 2 ? -8000000 : 0; });
    // Once both play, every captured frame is the sum, limited to what a 24-bit converter plays.
    const uint32_t start = m_first->in().getFramePos() + kRate / 10;
    const std::vector<int32_t> frames = m_first->inputFrames(start, 256);
    m_first->stopPlaying();
    second.stopPlaying();
    for (uint32_t f = 0; f < 256; ++f) {
        const int32_t* s = &frames[size_t(f) * m_inChannels];
        ASSERT_EQ(s[0], 3000 * 256) << f;
        ASSERT_EQ(s[1], 8388607 * 256) << f;
        ASSERT_EQ(s[2], -8388608 * 256) << f;
        ASSERT_EQ(s[3], 0) << f;
    }
}

// The newest time stamp record of a ring, read field by field.
struct Record {
    uint32_t frame0, frame1;
    uint64_t ts0, ts1;
};

Record currentRecord(const AudioSM& ring)
{
    const bool first = audiosm::load(ring.tsCurrent, std::memory_order_acquire) != 0;
    const AudioTSData& r = first ? ring.tsRecord1 : ring.tsRecord2;
    return {audiosm::load(r.frame0), audiosm::load(r.frame1), audiosm::load(r.ts0), audiosm::load(r.ts1)};
}

// The next records the clock publishes after `after`, at most `count`.
std::vector<Record> nextRecords(const AudioSM& ring, uint32_t after, size_t count)
{
    std::vector<Record> records;
    uint32_t last = after;
    while (records.size() < count) {
        if (!waitUntil([&] { return int32_t(currentRecord(ring).frame1 - last) > 0; }))
            break;
        const Record r = currentRecord(ring);
        last = r.frame1;
        records.push_back(r);
    }
    return records;
}

// Host nanoseconds `frames` frames take on a device clock `ppm` fast.
double nominalNs(uint32_t frames, uint32_t rate, int ppm)
{
    return double(frames) * 1e15 / (double(rate) * (1e6 + ppm));
}

TEST_F(AudioEngineTest, FramesAndTimeStampsFollowTheRateDriftAndJitter)
{
    constexpr uint32_t rate = 44100;
    ASSERT_NO_FATAL_FAILURE(configureAt(rate));
    ASSERT_TRUE(m_first->attach());
    AudioSM& in = m_first->in();

    // How fast the clock runs is a benchmark figure (bench/kext); here what its records say.
    // The records tie frames to host time exactly as the rate says (to the nanosecond of the
    // integer arithmetic), and time moves forward.
    auto check = [&](int ppm, uint64_t jitter) {
        const std::vector<Record> records = nextRecords(in, in.getFramePos() + rate / 10, 6);
        ASSERT_EQ(records.size(), 6u);
        int off = 0;      // beyond what the jitter explains
        int jittered = 0; // beyond the rounding of the arithmetic
        for (size_t i = 0; i < records.size(); ++i) {
            const Record& r = records[i];
            ASSERT_GE(r.frame1 - r.frame0, kext::kEngineTimingBase / 4);
            if (i > 0) {
                EXPECT_EQ(r.frame0, records[i - 1].frame1);
                EXPECT_EQ(r.ts0, records[i - 1].ts1);
            }
            if (jitter == 0) {
                EXPECT_GT(r.ts1, r.ts0);
            }
            const double deviation = double(r.ts1 - r.ts0) - nominalNs(r.frame1 - r.frame0, rate, ppm);
            off += std::abs(deviation) > 2.0 + 2.0 * double(jitter);
            jittered += std::abs(deviation) > 2.0;
        }
        // A stall of the machine restarts the clock's time line: one record may be off it.
        EXPECT_LE(off, 1);
        if (jitter == 0) {
            EXPECT_LE(jittered, 1);
        } else {
            EXPECT_GE(jittered, 4);
        }
    };
    check(0, 0);
    ASSERT_EQ(set("drift", "+500"), kIOReturnSuccess);
    check(500, 0);
    ASSERT_EQ(set("drift", "0"), kIOReturnSuccess);
    ASSERT_EQ(set("jitter", "200000"), kIOReturnSuccess);
    check(0, 200000);
}

TEST_F(AudioEngineTest, ClientRecordsShowMarginsAndUnderruns)
{
    ASSERT_NO_FATAL_FAILURE(configureAt(kRate));
    ASSERT_TRUE(m_first->attach());
    // Set by the attach, not by the clock's first pass for it (up to 8 ms later): the device
    // polls a clear flag only every 5 ms, and began that far behind.
    EXPECT_EQ(m_first->out().loadStreaming(), 1u);
    ClientData& record = m_first->record();
    auto word = [](const auto& w) { return std::atomic_ref(const_cast<std::remove_cvref_t<decltype(w)>&>(w)).load(); };

    // Ahead of the clock (by a quarter of a second, so a busy machine does not make it late):
    // margins in samples, no underrun.
    constexpr uint32_t ahead = 12000;
    m_first->play([](uint32_t, uint32_t) { return 0; }, ahead);
    ASSERT_TRUE(waitUntil([&] { return word(record.iValueCount) > 100; }));
    m_first->stopPlaying();
    EXPECT_EQ(word(record.iUnderruns), 0);
    EXPECT_GE(word(record.iMinimum), 0);
    EXPECT_LE(word(record.iMinimum), word(record.iMaximum));
    EXPECT_LE(word(record.iMaximum), int32_t((ahead + 1024) * m_outChannels));
    EXPECT_GT(word(record.iMaximum), 0);

    // Stopped writing: late from now on, one underrun per tick, counted per channel.
    ASSERT_TRUE(waitUntil([&] { return word(record.iUnderruns) >= int32_t(10 * m_outChannels); }));
    EXPECT_EQ(word(record.iUnderruns) % int32_t(m_outChannels), 0);
    // The control application's reset of the figures is its own test's (ControlAppTest).
}

TEST_F(AudioEngineTest, ScribbledRingHeadersAreRefusedNotFollowed)
{
    ASSERT_NO_FATAL_FAILURE(configureAt(kRate));
    ASSERT_TRUE(m_first->attach());
    m_first->play([](uint32_t, uint32_t c) { return c == 0 ? 5000 : 0; });
    AudioSM& out = m_first->out();
    AudioSM& in = m_first->in();
    EXPECT_EQ(m_first->inputFrames(in.getFramePos() + kRate / 20)[0], 5000 * 256);
    const uint32_t channels = out.channelCount();
    const uint32_t frames = out.ringFrames();
    const std::pair<uint32_t, uint32_t> shapes[] = {
        {0, frames}, {channels, 0xFFFFFFFF}, {1, AudioSM::kMaxSamples + 1}, {channels, frames + 1}};
    for (auto [c, f] : shapes) {
        SCOPED_TRACE(std::to_string(c) + "x" + std::to_string(f));
        for (AudioSM* ring : {&out, &in}) {
            audiosm::store(ring->nChannels, c);
            audiosm::store(ring->nFrames, f);
        }
        audiosm::store(out.writeOffset, 0x7FFFFFFFu);
        const uint32_t position = in.getFramePos();
        // The clock goes on (counters move) without reading or writing outside the rings.
        ASSERT_TRUE(waitUntil([&] { return int32_t(in.getFramePos() - position) > 2000; }));
        EXPECT_EQ(m_first->client().call(kReqVersionHAL), kIOReturnSuccess);
    }
    for (AudioSM* ring : {&out, &in}) {
        audiosm::store(ring->nChannels, channels);
        audiosm::store(ring->nFrames, frames);
    }
    audiosm::store(out.writeOffset, 0u);
    // Put right, the ring plays again (from the frames the player writes from now on).
    const std::vector<int32_t> frame = m_first->inputFrames(in.getFramePos() + kAhead + kRate / 20);
    m_first->stopPlaying();
    EXPECT_EQ(frame[0], 5000 * 256);
}

// WAV files as source and sink are the round-trip tool's (tests/tools), the sine source the
// control application's meters' (tests/controlapp); here what the settings take.
TEST_F(AudioEngineTest, SettingsAreCheckedAndListed)
{
    // Before a configuration there is no format for a sink file.
    EXPECT_EQ(set("sink", "wav:" + tempPath("early.wav")), kIOReturnNotReady);
    ASSERT_NO_FATAL_FAILURE(configureAt(kRate));
    const std::string initial = description();
    EXPECT_NE(initial.find("source=loopback:0"), std::string::npos) << initial;

    const std::string text = tempPath("text.wav");
    FILE* f = std::fopen(text.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a sound file\n", f);
    std::fclose(f);
    const std::string link = tempPath("link.wav");
    ASSERT_EQ(symlink(text.c_str(), link.c_str()), 0);

    // Representative refusals of each key; the files the sink must not write or follow.
    const std::pair<const char*, std::string> refused[] = {
        {"source", "noise"}, {"source", "loopback:48001"}, {"source", "sine:0"}, {"source", "wav:" + text},
        {"sink", "wav:" + link}, {"sink", "wav:" + text}, {"sink", "wav:relative.wav"}, {"jitter", "-1"},
        {"drift", "10001"}, {"event-storm", "0"},
    };
    for (const auto& [key, value] : refused)
        EXPECT_EQ(set(key, value), kIOReturnBadArgument) << key << " " << value;
    EXPECT_EQ(description(), initial);
    // The file the sink refused to replace, directly or behind a link, is untouched.
    struct stat st {};
    ASSERT_EQ(stat(text.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 0);

    EXPECT_EQ(set("source", "sine:440"), kIOReturnSuccess);
    EXPECT_EQ(set("jitter", "5"), kIOReturnSuccess);
    EXPECT_EQ(set("drift", "-20"), kIOReturnSuccess);
    const std::string changed = description();
    EXPECT_NE(changed.find("source=sine:440:-20 jitter=5 drift=-20"), std::string::npos) << changed;
}

TEST_F(AudioEngineTest, AnEventStormReachesListeners)
{
    NotifyPort port;
    EventLog log;
    ASSERT_TRUE(port.listen(m_service, log));
    ASSERT_EQ(set("event-storm", "500"), kIOReturnSuccess);
    EXPECT_TRUE(runLoopUntil([&] { return log.count(kEventClientAttached) == 500; }));
}

} // namespace
} // namespace kexttest
