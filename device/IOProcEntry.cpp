#include "device/IOProcEntry.h"

#include "device/ZmOSXDevice.h"

IOProcEntry::IOProcEntry(ZmOSXDevice* device, AudioDeviceIOProc proc, void* clientData)
    : m_pDevice(device), m_proc(proc), m_clientData(clientData)
{
}

void IOProcEntry::start()
{
    if (!isRunning() && m_proc != nullptr && m_pDevice != nullptr)
        m_bRunning.store(m_pDevice->attachIOProc(true), std::memory_order_release);
}

void IOProcEntry::stop()
{
    if (m_proc == nullptr || !m_bRunning.exchange(false, std::memory_order_acq_rel))
        return;
    if (m_pDevice != nullptr)
        m_pDevice->attachIOProc(false);
}

void IOProcEntry::setStreamUsage(const AudioHardwareIOProcStreamUsage* usage, bool input)
{
    if (usage == nullptr)
        return;
    // One stream per direction: only the first flag counts.
    (input ? m_bInputOn : m_bOutputOn).store(usage->mStreamIsOn[0] != 0, std::memory_order_relaxed);
}

void IOProcEntry::getStreamUsage(AudioHardwareIOProcStreamUsage* usage, bool input) const
{
    if (usage == nullptr)
        return;
    usage->mNumberStreams = 1;
    usage->mStreamIsOn[0] = (input ? m_bInputOn : m_bOutputOn).load(std::memory_order_relaxed) ? 1 : 0;
}

bool IOProcEntry::callIOProc(AudioDeviceID device, const AudioTimeStamp* now, const AudioBufferList* inputData,
                             const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                             const AudioTimeStamp* outputTime, VkChannelSettings&, VkChannelSettings& outSettings)
{
    if (!isRunning() || m_proc == nullptr)
        return false;
    // A usage a client switched off holds only until the next cycle.
    m_bInputOn.store(true, std::memory_order_relaxed);
    m_bOutputOn.store(true, std::memory_order_relaxed);

    AudioBufferList empty{};
    empty.mNumberBuffers = 1;
    void* clientData = getClientData();
    const bool hasInput =
        inputData != nullptr && inputData->mNumberBuffers > 0 && inputData->mBuffers[0].mNumberChannels != 0;
    if (!hasInput)
        return m_proc(device, now, &empty, inputTime, outputData, outputTime, clientData) == 0;
    if (outputData != nullptr && outputData->mNumberBuffers > 0 && outputData->mBuffers[0].mNumberChannels != 0)
        return m_proc(device, now, inputData, inputTime, outputData, outputTime, clientData) == 0;
    // Input only: the proc still sees the output's shape, without data to write into.
    empty.mBuffers[0].mNumberChannels = outSettings.iOutChannels;
    empty.mBuffers[0].mDataByteSize = outSettings.iOutChannels * 4;
    m_proc(device, now, inputData, inputTime, &empty, outputTime, clientData);
    return false;
}
