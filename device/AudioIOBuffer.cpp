#include "device/AudioIOBuffer.h"

#include <cstdlib>
#include <new>

void AudioIOBuffer::init()
{
    m_bufferList.mNumberBuffers = 1;
    m_bufferList.mBuffers[0] = {0, 0, nullptr};
    m_pRawSamples = nullptr;
    m_iRawSampleCount = 0;
    m_iReserved = 0;
    m_iRawChannels = 0;
    publish();
}

void AudioIOBuffer::publish()
{
    m_iPublished.store(uint64_t(m_bufferList.mBuffers[0].mNumberChannels) << 32 | m_bufferList.mBuffers[0].mDataByteSize,
                       std::memory_order_release);
}

void AudioIOBuffer::configuration(uint32_t& channels, uint32_t& bytes) const
{
    const uint64_t published = m_iPublished.load(std::memory_order_acquire);
    channels = uint32_t(published >> 32);
    bytes = uint32_t(published);
}

bool AudioIOBuffer::resize(uint32_t rawChannels, uint32_t clientChannels, uint32_t frames)
{
    if (frames > kMaxFrames || rawChannels != m_iRawChannels || clientChannels != this->clientChannels())
        return false;
    m_bufferList.mBuffers[0].mDataByteSize = frames * clientChannels * uint32_t(sizeof(float));
    m_iRawSampleCount = frames * rawChannels;
    publish();
    return true;
}

void AudioIOBuffer::term()
{
    std::free(m_bufferList.mBuffers[0].mData);
    delete[] m_pRawSamples;
    init();
}

bool AudioIOBuffer::create(uint32_t rawChannels, uint32_t clientChannels, uint32_t frames)
{
    if (frames > kMaxFrames || rawChannels > kMaxChannels || clientChannels > kMaxChannels) {
        term();
        return false;
    }
    if (rawChannels != m_iRawChannels || clientChannels != this->clientChannels()) {
        term();
        m_iRawChannels = rawChannels;
        m_bufferList.mBuffers[0].mNumberChannels = clientChannels;
        if (rawChannels > 0)
            m_pRawSamples = new (std::nothrow) int32_t[size_t(rawChannels) * kMaxFrames]();
        if (clientChannels > 0)
            m_bufferList.mBuffers[0].mData = std::calloc(size_t(clientChannels) * kMaxFrames, sizeof(float));
        if ((rawChannels > 0 && m_pRawSamples == nullptr)
            || (clientChannels > 0 && m_bufferList.mBuffers[0].mData == nullptr)) {
            term();
            return false;
        }
    }
    return resize(rawChannels, clientChannels, frames);
}
