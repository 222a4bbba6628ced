// The device's I/O thread: its start and exit hand-shake, and the IO buffers. The streaming
// cycle itself comes with the audio path; until then the thread idles.
#include <unistd.h>

#include <atomic>

#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"
#include "foundation/IntSpinLock.h"

namespace {

// The device whose I/O thread this is, so that the thread never waits for itself to end.
thread_local const ZmOSXDevice* t_ioThreadOf = nullptr;

constexpr useconds_t kIdlePause = 10000;

} // namespace

SInt32 ZmOSXDevice::threadRun()
{
    t_ioThreadOf = this;
    // Running before init is released, so that a close right after init waits for us; a removal
    // requested already is kept.
    EThreadState expected = kThreadNotRunning;
    m_iThreadState.compare_exchange_strong(expected, kThreadRunning);
    m_startSemaphore.signal();
    {
        // Whoever holds the start/stop lock finishes first.
        IntSpinLock lock(&m_iLock);
    }
    while (!isStopRequested())
        usleep(kIdlePause);
    onThreadExit();
    return 0;
}

void ZmOSXDevice::onThreadExit()
{
    if (m_iThreadState.exchange(kThreadNotRunning) != kThreadRemoveRequested) {
        // The last thing this thread does with the object: a closer may destroy it at once.
        m_startSemaphore.signal();
        return;
    }
    // Removal: the manager may drop the last reference but ours.
    const bool counted = getReferences() > 0;
    if (counted)
        incReferences();
    removeAllIOProcs();
    if (m_pManager != nullptr)
        m_pManager->doRemoveDevice(this);
    m_startSemaphore.signal();
    if (counted)
        decReferences();
}

void ZmOSXDevice::stopThread()
{
    threadStop();
    // The thread's last touch of the object is its exit signal: wait for that, not for its state.
    if (t_ioThreadOf == this || !m_bThreadStarted.load() || m_bThreadJoined.load())
        return;
    if (m_startSemaphore.waitTimeout(3))
        m_bThreadJoined = true;
}

bool ZmOSXDevice::createIOBuffers()
{
    if (status() != nullptr) {
        m_cTrueChannels = statusChannels();
        updateChannelsToReport(m_cReportedChannels, m_cTrueChannels, this);
    }
    const uint32_t frames = m_frameSize.getUInt32();
    const bool input = m_inputBuffer.create(m_cTrueChannels.iInChannels, m_cReportedChannels.iInChannels, frames);
    const bool output =
        m_outputBuffer.create(m_cTrueChannels.iOutChannels, m_cReportedChannels.iOutChannels, frames);
    if (KernelStatusBlock* s = status())
        if (ClientData* record = s->client(getAttachSlot()))
            std::atomic_ref<uint32_t>(record->iFrameSize).store(frames, std::memory_order_release);
    updateLatencies();
    return input && output;
}
