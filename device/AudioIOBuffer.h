#pragma once
#include <CoreAudio/CoreAudioTypes.h>

#include <atomic>
#include <cstdint>

// One direction's staging buffers of the I/O cycle: the ring's 32-bit samples as they come or
// go, and the float buffer list the IOProcs see. Both are allocated for 1024 frames, the
// largest frame size, so the cycle itself never allocates.
class AudioIOBuffer {
public:
    static constexpr uint32_t kMaxFrames = 1024;
    // More channels than any interface has; the counts come from the kernel's status block.
    static constexpr uint32_t kMaxChannels = 256;

    AudioIOBuffer() { init(); }
    AudioIOBuffer(const AudioIOBuffer&) = delete;
    AudioIOBuffer& operator=(const AudioIOBuffer&) = delete;
    ~AudioIOBuffer() { term(); }

    // Empty: one buffer of no data. init() forgets the buffers; term() frees them first.
    void init();
    void term();
    // Sizes the buffers for `frames` frames of `rawChannels` ring channels and `clientChannels`
    // IOProc channels, reallocating only when a channel count changes. False (and empty) when
    // the buffers cannot be had or the sizes are beyond the limits above.
    bool create(uint32_t rawChannels, uint32_t clientChannels, uint32_t frames);
    // The same for a new frame count alone: never allocates, so the I/O cycle may call it. False
    // (and nothing changed) when a channel count differs or the size is beyond the limit.
    bool resize(uint32_t rawChannels, uint32_t clientChannels, uint32_t frames);

    // Our own list; IOProcs get copies of it (freshList), so nothing they write into theirs
    // reaches the counts the device converts and clears with.
    const AudioBufferList& bufferList() const { return m_bufferList; }
    AudioBufferList freshList() const { return m_bufferList; }
    // Channels and bytes as last published by create, resize or term: readable from any thread
    // while the owner rebuilds.
    void configuration(uint32_t& channels, uint32_t& bytes) const;
    uint32_t dataByteSize() const { return m_bufferList.mBuffers[0].mDataByteSize; }
    float* floatData() { return static_cast<float*>(m_bufferList.mBuffers[0].mData); }
    int32_t* rawSamples() { return m_pRawSamples; }
    uint32_t rawSampleCount() const { return m_iRawSampleCount; }
    uint32_t rawChannels() const { return m_iRawChannels; }
    uint32_t clientChannels() const { return m_bufferList.mBuffers[0].mNumberChannels; }

private:
    AudioBufferList m_bufferList;
    int32_t* m_pRawSamples;
    uint32_t m_iRawSampleCount;
    uint32_t m_iReserved;
    uint32_t m_iRawChannels;
    std::atomic<uint64_t> m_iPublished{0}; // channels << 32 | bytes

    void publish();
};
