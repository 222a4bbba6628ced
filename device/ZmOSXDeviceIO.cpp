// The device's I/O thread and its IOProcs: the start and exit hand-shake, the attach, the
// streaming cycle, the IO buffers, and the list of IOProcs the cycle walks without a lock.
#include <CoreAudio/HostTime.h>
#include <mach/mach.h>
#include <time.h>
#include <sys/ulock.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "device/AudioConvert.h"
#include "device/AudioSM.h"
#include "device/KernelStatusBlock.h"
#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"
#include "foundation/IntSpinLock.h"
#include "device/IOProcEntry.h"

namespace {

// The device whose I/O thread this is, so that the thread never waits for itself.
thread_local const ZmOSXDevice* t_ioThreadOf = nullptr;
// The device whose start/stop lock this thread holds.
thread_local const ZmOSXDevice* t_stateLockOf = nullptr;

constexpr useconds_t kIdlePause = 10000;
constexpr useconds_t kLockBusyPause = 1000;
constexpr unsigned long kNotStreamingPause = 5000000;
constexpr unsigned long kNoDataPause = 1000000;
constexpr int kBuffersPerWake = 2;
constexpr unsigned long kWakeGraceMicros = 250;

void sleepNanos(unsigned long nanos)
{
    timespec delay{static_cast<time_t>(nanos / 1000000000UL), static_cast<long>(nanos % 1000000000UL)};
    nanosleep(&delay, nullptr);
}

// The writer is ahead of `position` (the counters wrap, so as a signed distance).
bool isBeyond(uint32_t writeCount, uint32_t position)
{
    return static_cast<int32_t>(writeCount - position) > 0;
}

// A 64-bit token the kernel keeps as two 32-bit halves in the shared status block.
uint64_t loadToken(const uint32_t (&halves)[2])
{
    return uint64_t(audiosm::load(halves[1])) << 32 | audiosm::load(halves[0]);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The thread

SInt32 ZmOSXDevice::threadRun()
{
    t_ioThreadOf = this;
    // Running before init is released, so that a close right after init waits for us; a removal
    // requested already is kept.
    EThreadState expected = kThreadNotRunning;
    m_iThreadState.compare_exchange_strong(expected, kThreadRunning);
    m_startSemaphore.signal();
    {
        // Whoever holds the start/stop lock finishes first; no holder waits for this thread.
        IntSpinLock lock(&m_iLock);
    }
    while (!isStopRequested()) {
        const EStreamState state = m_eStreamState.load(std::memory_order_acquire);
        if (state == kStreamPrepared && hardwareReady()) {
            if (!attachStream())
                usleep(kLockBusyPause);
        } else if (state == kStreamAttached && hardwareReady()) {
            const unsigned long delay = onUSBProc(m_iAttachedIOProcs.load(std::memory_order_acquire) >= 1);
            waitForInput(delay);
        } else {
            usleep(kIdlePause);
        }
    }
    onThreadExit();
    return 0;
}

void ZmOSXDevice::waitForInput(unsigned long nanos)
{
    // The kernel driver wakes this thread on the input ring's write count as soon as the frames
    // it waits for are in. The sleep the timestamp filter asked for, which ends about when they
    // are due, is then only the limit for a wake that does not come: two micro-frames later,
    // so that it does not wake the thread a second time just before the kernel driver does.
    if (m_pWakeWord == nullptr || nanos == 0) {
        sleepNanos(nanos);
        return;
    }
    const auto micros = static_cast<uint32_t>(std::min<unsigned long>(nanos / 1000 + kWakeGraceMicros, UINT32_MAX));
    __ulock_wait(UL_COMPARE_AND_WAIT_SHARED, m_pWakeWord, m_iWakeCount, micros);
}

bool ZmOSXDevice::attachStream()
{
    StateLock lock(*this, false);
    if (!lock.held())
        return false;
    // A stop or a close may have come before we got the lock.
    if (m_eStreamState.load(std::memory_order_acquire) != kStreamPrepared)
        return true;
    // A HAL thread building the buffers finishes first; this thread does not block on it.
    std::unique_lock<std::recursive_mutex> buffers(m_buffersMutex, std::try_to_lock);
    if (!buffers.owns_lock())
        return false;
    int pid = 0;
    pid_for_task(mach_task_self(), &pid);
    m_bBuffersStale.store(false, std::memory_order_relaxed);
    createIOBuffers();
    armTimestampFilter();
    const bool attached = callAttach(m_frameSize.getUInt32(), static_cast<uint32_t>(pid));
    // Only a stream still prepared becomes attached: one closed or stopped meanwhile gives its
    // client record back at once instead of holding it until the connection closes.
    EStreamState prepared = kStreamPrepared;
    if (!m_eStreamState.compare_exchange_strong(prepared, attached ? kStreamAttached : kStreamIdle,
                                                std::memory_order_acq_rel)) {
        if (attached)
            callDetach();
        return true;
    }
    if (!attached) {
        // A size asked for meanwhile is applied on the run loop now that the stream is idle.
        m_iDeferred.fetch_or(kNoteSettle, std::memory_order_release);
        return true;
    }
    if (KernelStatusBlock* s = status())
        if (ClientData* record = s->client(getAttachSlot()))
            std::atomic_ref<uint32_t>(record->bLibrary).store(0, std::memory_order_relaxed);
    return true;
}

void ZmOSXDevice::armTimestampFilter()
{
    const uint32_t requests = m_iFilterRequests.load(std::memory_order_acquire);
    if (requests == m_iFilterArmed)
        return;
    m_iFilterArmed = requests;
    m_timestampFilter.init(m_iIORate.load(std::memory_order_relaxed), m_frameSize.getUInt32(),
                           m_inputLatency.getUInt32(), m_outputLatency.getUInt32());
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
    callManager(&OSXDeviceManager::doRemoveDevice);
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

void ZmOSXDevice::joinThread()
{
    threadStop();
    // However long an IOProc keeps the thread, the object outlives it.
    if (t_ioThreadOf == this || !m_bThreadStarted.load() || m_bThreadJoined.load())
        return;
    if (m_startSemaphore.wait())
        m_bThreadJoined = true;
}

bool ZmOSXDevice::onIOThread() const
{
    return t_ioThreadOf == this;
}

ZmOSXDevice::StateLock::StateLock(ZmOSXDevice& device, bool wait)
    : m_device(device), m_pOuter(t_stateLockOf), m_bHeld(m_lock.lock(&device.m_iLock, wait))
{
    if (m_bHeld)
        t_stateLockOf = &device;
}

ZmOSXDevice::StateLock::~StateLock()
{
    if (!m_bHeld)
        return;
    m_lock.unlock();
    t_stateLockOf = m_pOuter;
    if (m_device.m_bRingsRetired.load(std::memory_order_acquire))
        m_device.releaseRetiredRings();
}

bool ZmOSXDevice::holdsStateLock() const
{
    return t_stateLockOf == this;
}

void ZmOSXDevice::releaseRetiredRings()
{
    // Inside the cycle the rings may still be in use; under the lock waiting is not allowed.
    const bool cycling = onIOThread() && (m_iCycleEpoch.load(std::memory_order_relaxed) & 1) != 0;
    if (cycling || holdsStateLock())
        return;
    std::vector<RetiredRing> rings;
    {
        std::lock_guard<std::mutex> guard(m_retiredRingsMutex);
        rings.swap(m_retiredRings);
        m_bRingsRetired.store(false, std::memory_order_release);
    }
    if (rings.empty())
        return;
    waitForCycleEnd();
    for (const RetiredRing& ring : rings)
        ioUnmapMemory(ring.type, ring.address);
}

// ---------------------------------------------------------------------------------------------
// One cycle

unsigned long ZmOSXDevice::onUSBProc(bool callProcs)
{
    // Whoever unmaps the rings or frees what the cycle uses waits for this to turn even.
    m_iCycleEpoch.fetch_add(1, std::memory_order_seq_cst);
    m_pWakeWord = nullptr;
    struct EndOfCycle {
        std::atomic<uint64_t>& epoch;
        ~EndOfCycle() { epoch.fetch_add(1, std::memory_order_release); }
    } endOfCycle{m_iCycleEpoch};
    // A closer sets the state before it waits for the cycle: either it waits for this one, or
    // this one sees the state and leaves the buffers alone.
    if (m_eStreamState.load(std::memory_order_seq_cst) != kStreamAttached)
        return kNotStreamingPause;

    KernelStatusBlock* s = status();
    auto* in = static_cast<AudioSM*>(m_pInputRing.load(std::memory_order_seq_cst));
    auto* out = static_cast<AudioSM*>(m_pOutputRing.load(std::memory_order_seq_cst));
    if (s == nullptr || in == nullptr || out == nullptr || out->loadStreaming() != 1)
        return kNotStreamingPause;
    if (!isBeyond(in->getFramePos(), out->loadReadPosition()))
        return kNoDataPause;
    out->clearNotice();

    if (m_bBuffersStale.exchange(false, std::memory_order_acq_rel))
        resizeIOBuffersInCycle();

    // The kernel's frame widths must be the ones the buffers were made for; a direction the
    // interface does not have is skipped when the other one has channels.
    bool skipInput = false, skipOutput = false;
    const uint32_t inChannels = in->channelCount(), outChannels = out->channelCount();
    if (m_inputBuffer.rawChannels() != inChannels) {
        if (m_inputBuffer.rawChannels() == 0 && m_outputBuffer.rawChannels() != 0)
            skipInput = true;
        else
            return kNoDataPause;
    }
    if (m_outputBuffer.rawChannels() != outChannels) {
        if (m_outputBuffer.rawChannels() == 0 && m_inputBuffer.rawChannels() != 0)
            skipOutput = true;
        else
            return kNoDataPause;
    }

    // A frame size asked for while streaming starts here, between two buffers.
    if (const uint32_t pending = m_iPendingFrameSize.load(std::memory_order_acquire)) {
        if (pending != m_frameSize.getUInt32()) {
            // Told on the run loop: this thread calls nobody.
            if (m_frameSize.set(pending, false))
                m_iDeferred.fetch_or(kNoteFrameSize, std::memory_order_release);
            resizeIOBuffersInCycle(); // with the latencies and the write-ahead of the new size
        }
        // A newer request that came meanwhile stays for the next cycle.
        uint32_t expected = pending;
        m_iPendingFrameSize.compare_exchange_strong(expected, 0);
    }
    armTimestampFilter();

    const uint32_t frames = m_frameSize.getUInt32();
    // Timed for the size in force before anything is compared with it, so that a larger size
    // waits for its frames instead of being taken for a missed buffer.
    if (frames != 0)
        m_timestampFilter.prepare(m_iIORate.load(std::memory_order_relaxed), frames, m_inputLatency.getUInt32(),
                                  m_outputLatency.getUInt32());
    uint32_t available = in->getAvailableFrames(out->loadReadPosition());
    bool switched = false;
    if (frames != 0 && frames <= available) {
        const uint64_t ownToken = getConnectionToken();
        const uint32_t ringFrames = in->ringFrames();
        for (int n = 0; n < kBuffersPerWake && available >= frames; ++n) {
            // More than a ring's worth waiting (a stall longer than the ring, before this cycle
            // or in an IOProc of it): the oldest frames were overwritten. Go on from the newest
            // buffer instead of reading the wrong laps, and move the output on by the same
            // frames so that it stays the write-ahead in front.
            if (available > ringFrames && ringFrames >= frames) {
                const uint32_t skipped = available - frames;
                audiosm::store(out->readPosition, out->loadReadPosition() + skipped, std::memory_order_release);
                out->writeFrames(nullptr, skipped, m_iOutputWriteAhead.load(std::memory_order_relaxed));
                m_timestampFilter.resync(skipped);
            }
            const uint32_t position = out->loadReadPosition();
            // The input belongs to another client: our IOProcs hear silence, output goes on.
            const uint64_t owner = loadToken(s->iInputOwner);
            const bool foreignOwner = owner != 0 && owner != ownToken;
            int32_t* destination = skipInput || foreignOwner ? nullptr : m_inputBuffer.rawSamples();
            if (destination == nullptr && m_inputBuffer.rawSamples() != nullptr)
                audioInt32Clear(m_inputBuffer.rawSamples(), static_cast<int>(m_inputBuffer.rawSampleCount()));
            uint64_t hostTime = 0;
            uint32_t readPosition = position;
            in->read(readPosition, destination, frames, hostTime, audioInt32CopySet, m_inputBuffer.rawChannels());
            audiosm::store(out->readPosition, readPosition, std::memory_order_release);
            m_timestampFilter.updateTimestamps(hostTime, position, in->getFramePos());
            if (callProcs)
                callIOProcs(hostTime, frames);
            else if (m_outputBuffer.rawSamples() != nullptr)
                audioInt32Clear(m_outputBuffer.rawSamples(), static_cast<int>(m_outputBuffer.rawSampleCount()));
            out->writeFrames(skipOutput ? nullptr : m_outputBuffer.rawSamples(), frames,
                             m_iOutputWriteAhead.load(std::memory_order_relaxed), m_outputBuffer.rawChannels());
            available = in->getAvailableFrames(out->loadReadPosition());
            switched = true;
        }
    }
    // Short of a buffer: the thread waits on the write count as it was before the frames were
    // counted, so frames published since end the wait at once.
    const uint32_t seen = in->getFramePos();
    available = in->getAvailableFrames(out->loadReadPosition());
    if (frames != 0 && available < frames) {
        m_pWakeWord = &in->writeCount;
        m_iWakeCount = seen;
    }
    return m_timestampFilter.calcSleepNanos(available, switched);
}

void ZmOSXDevice::callIOProcs(unsigned long long, unsigned long frames)
{
    const uint32_t count = static_cast<uint32_t>(std::min<unsigned long>(frames, AudioIOBuffer::kMaxFrames));
    if (m_inputBuffer.rawSamples() != nullptr && m_inputBuffer.floatData() != nullptr)
        convertIntToFloat(m_inputBuffer.rawSamples(), m_inputBuffer.rawChannels(), m_inputBuffer.floatData(),
                          m_inputBuffer.clientChannels(), count);
    int32_t* raw = m_outputBuffer.rawSamples();
    if (raw != nullptr)
        audioInt32Clear(raw, static_cast<int>(m_outputBuffer.rawSampleCount()));

    // Converted and cleared with the buffers' own counts; each call gets lists of its own, so
    // what an IOProc writes into them is forgotten after the call.
    const uint32_t trueOut = m_outputBuffer.rawChannels();
    const uint32_t reportedOut = m_outputBuffer.clientChannels();
    float* samples = m_outputBuffer.floatData();
    const uint32_t outBytes = m_outputBuffer.dataByteSize();
    VkChannelSettings inSettings = loadIOProcChannels(0), outSettings = loadIOProcChannels(1);
    bool first = true;
    // Published after everything it points to; entries stay alive until this cycle has ended.
    const IOProcList* list = m_pActiveProcs.load(std::memory_order_seq_cst);
    for (uint32_t i = 0; list != nullptr && i < list->count; ++i) {
        IOProcEntry* entry = list->entries[i];
        if (samples != nullptr)
            std::memset(samples, 0, outBytes);
        AudioBufferList input = m_inputBuffer.freshList();
        AudioBufferList output = m_outputBuffer.freshList();
        if (!entry->callIOProc(getAudioDeviceID(), &m_timestampFilter.mNowTime, &input, &m_timestampFilter.mInputTime,
                               &output, &m_timestampFilter.mOutputTime, inSettings, outSettings)
            || raw == nullptr || samples == nullptr)
            continue;
        audioConvertFloatToSInt32(samples, count, reportedOut);
        // The float buffer now holds 32-bit integers in place.
        const auto* converted = reinterpret_cast<const int32_t*>(samples);
        if (first)
            audioMapChannelsSet(converted, reportedOut, raw, trueOut, count);
        else
            audioMapChannelsAdd(converted, reportedOut, raw, trueOut, count);
        first = false;
    }
    if (KernelStatusBlock* s = status())
        if (ClientData* record = s->client(getAttachSlot()))
            std::atomic_ref<int32_t>(record->iIOCycles).fetch_add(1, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// Buffers

bool ZmOSXDevice::createIOBuffers()
{
    if (onIOThread() && (m_iCycleEpoch.load(std::memory_order_relaxed) & 1) != 0) {
        // Asked from inside the cycle (an IOProc): the next cycle picks it up.
        m_bBuffersStale.store(true, std::memory_order_release);
        return true;
    }
    uint32_t rate = 0;
    bool built;
    {
        // The attach step holds the lock already; a HAL thread waits its turn, except under the
        // start/stop lock: whoever holds that never waits for anything the cycle may wait for (an
        // IOProc in the cycle may be spinning for it). The attach step builds the buffers before
        // every attach, so what is skipped here is built there.
        const bool underStateLock = holdsStateLock() && !onIOThread();
        std::unique_lock<std::recursive_mutex> guard(m_buffersMutex, std::defer_lock);
        if (!underStateLock)
            guard.lock();
        else if (!guard.try_lock())
            return true;
        if (!onIOThread() && m_eStreamState.load(std::memory_order_acquire) == kStreamAttached) {
            // While the thread streams only the thread touches the buffers: leave it a note.
            m_bBuffersStale.store(true, std::memory_order_release);
            return true;
        }
        if (underStateLock && (m_iCycleEpoch.load(std::memory_order_seq_cst) & 1) != 0)
            return true;
        // A cycle that began before the stream left the attached state ends first.
        waitForCycleEnd();
        built = buildIOBuffers(rate);
    }
    updateLatencies(rate);
    return built;
}

bool ZmOSXDevice::buildIOBuffers(uint32_t& rate)
{
    // The settings in force. The thread builds its buffers from its own copy: the device's
    // channel words belong to the HAL threads, which keep them current themselves.
    VkChannelSettings trueChannels = onIOThread() ? VkChannelSettings{} : m_cTrueChannels;
    VkChannelSettings reportedChannels = onIOThread() ? VkChannelSettings{} : m_cReportedChannels;
    if (status() != nullptr) {
        trueChannels = statusChannels();
        updateChannelsToReport(reportedChannels, trueChannels, this);
        if (!onIOThread()) {
            m_cTrueChannels = trueChannels;
            m_cReportedChannels = reportedChannels;
        }
    }
    m_iIORate.store(trueChannels.iFrequency, std::memory_order_relaxed);
    rate = trueChannels.iFrequency;
    const uint32_t frames = m_frameSize.getUInt32();
    const bool input = m_inputBuffer.create(trueChannels.iInChannels, reportedChannels.iInChannels, frames);
    const bool output = m_outputBuffer.create(trueChannels.iOutChannels, reportedChannels.iOutChannels, frames);
    if (KernelStatusBlock* s = status())
        if (ClientData* record = s->client(getAttachSlot()))
            std::atomic_ref<uint32_t>(record->iFrameSize).store(frames, std::memory_order_release);
    return input && output;
}

void ZmOSXDevice::resizeIOBuffersInCycle()
{
    // A changed layout would need new buffers: those are made off the cycle (a layout change
    // detaches and rebuilds first), so here the sizes follow the frame size and nothing else.
    const VkChannelSettings trueChannels = statusChannels();
    VkChannelSettings reportedChannels{};
    updateChannelsToReport(reportedChannels, trueChannels, this);
    const uint32_t frames = m_frameSize.getUInt32();
    m_inputBuffer.resize(trueChannels.iInChannels, reportedChannels.iInChannels, frames);
    m_outputBuffer.resize(trueChannels.iOutChannels, reportedChannels.iOutChannels, frames);
    if (KernelStatusBlock* s = status())
        if (ClientData* record = s->client(getAttachSlot()))
            std::atomic_ref<uint32_t>(record->iFrameSize).store(frames, std::memory_order_release);
    updateLatencies(m_iIORate.load(std::memory_order_relaxed));
}

void ZmOSXDevice::settlePendingFrameSize()
{
    if (onIOThread()) {
        m_iDeferred.fetch_or(kNoteSettle, std::memory_order_release);
        return;
    }
    if (m_eStreamState.load(std::memory_order_acquire) != kStreamIdle)
        return;
    const uint32_t pending = m_iPendingFrameSize.exchange(0);
    if (pending == 0)
        return;
    m_frameSize.set(pending, true);
    createIOBuffers();
}

void ZmOSXDevice::setIOProcChannels(const VkChannelSettings& settings)
{
    for (VkChannelSettings& held : m_cIOProcChannels) {
        audiosm::store(held.iFrequency, settings.iFrequency);
        audiosm::store(held.iInChannels, settings.iInChannels);
        audiosm::store(held.iInBits, settings.iInBits);
        audiosm::store(held.iOutChannels, settings.iOutChannels);
        audiosm::store(held.iOutBits, settings.iOutBits);
        audiosm::store(held.iConfiguration, settings.iConfiguration);
    }
}

VkChannelSettings ZmOSXDevice::loadIOProcChannels(int direction) const
{
    const VkChannelSettings& held = m_cIOProcChannels[direction];
    return {audiosm::load(held.iFrequency), audiosm::load(held.iInChannels),  audiosm::load(held.iInBits),
            audiosm::load(held.iOutChannels), audiosm::load(held.iOutBits), audiosm::load(held.iConfiguration)};
}

OSStatus ZmOSXDevice::getStreamConfiguration(bool input, AudioBufferList* list)
{
    if (list == nullptr)
        return kIOReturnError;
    // The published pair: the I/O thread may be resizing the buffers meanwhile.
    uint32_t channels = 0, bytes = 0;
    (input ? m_inputBuffer : m_outputBuffer).configuration(channels, bytes);
    list->mNumberBuffers = 1;
    list->mBuffers[0].mNumberChannels = channels;
    list->mBuffers[0].mDataByteSize = bytes;
    list->mBuffers[0].mData = nullptr;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Starting and stopping

bool ZmOSXDevice::attachIOProc(bool attach)
{
    if (attach) {
        const bool hasOut = ioprocHasAttachedOut();
        const bool hasIn = ioprocHasAttachedIn();
        m_bRebuildBuffers = false;
        if (m_iPendingDirection != 0) {
            const uint32_t rate = m_cRequestedChannels.iFrequency;
            if ((rate == 88200 || rate == 96000) && (status() == nullptr || !isUSB2Device())) {
                // Full speed carries one direction at these rates: the one that is used.
                if (!hasIn && m_cRequestedChannels.iOutChannels == 2) {
                    m_cRequestedChannels.iInChannels = 0;
                    m_iPendingDirection = 2;
                } else if (!hasOut && m_cRequestedChannels.iInChannels == 2) {
                    m_cRequestedChannels.iOutChannels = 0;
                    m_iPendingDirection = 1;
                }
            }
            setSettings(m_cRequestedChannels, m_iPendingDirection == 1, false);
            m_bRebuildBuffers = true;
        }
        m_iAttachedIOProcs.fetch_add(1);
    } else {
        m_iAttachedIOProcs.fetch_sub(1);
    }

    if (m_iAttachedIOProcs.load() == 0 && m_iStartCount == 0 && m_eStreamState.load() != kStreamIdle) {
        notifyRunningChanged();
        m_eStreamState.store(kStreamIdle);
        callDetach();
    } else if (m_eStreamState.load() == kStreamIdle && m_iAttachedIOProcs.load() >= 1) {
        notifyRunningChanged();
        if (m_bRebuildBuffers) {
            m_bRebuildBuffers = false;
            createIOBuffers();
        }
        // The thread attaches.
        prepareHardware();
    }
    return true;
}

void ZmOSXDevice::notifyRunningChanged()
{
    if (onIOThread()) {
        // An IOProc started or stopped a proc: HAL listeners are not called from the cycle.
        m_iDeferred.fetch_or(kNoteRunning, std::memory_order_release);
        return;
    }
    notifyDevice(false, kAudioDevicePropertyDeviceIsRunning);
    notifyDevice(true, kAudioDevicePropertyDeviceIsRunning);
}

bool ZmOSXDevice::onDeviceStart(AudioDeviceIOProc proc)
{
    if (proc == nullptr) {
        StateLock lock(*this, true);
        ++m_iStartCount;
        if (m_eStreamState.load() == kStreamIdle) {
            prepareHardware();
            notifyRunningChanged();
        }
        return true;
    }
    return withIOProc(proc, [this](IOProcEntry& entry) {
        StateLock lock(*this, true);
        entry.start();
    });
}

bool ZmOSXDevice::onDeviceStop(AudioDeviceIOProc proc)
{
    if (proc == nullptr) {
        {
            StateLock lock(*this, true);
            if (m_iStartCount > 0 && --m_iStartCount == 0 && m_eStreamState.load() != kStreamIdle) {
                m_eStreamState.store(kStreamIdle);
                callDetach();
                notifyRunningChanged();
            }
        }
        settlePendingFrameSize();
        return true;
    }
    return withIOProc(proc, [this](IOProcEntry& entry) {
        {
            StateLock lock(*this, true);
            entry.stop();
        }
        // Once this returns the proc is not called again: a cycle that saw it running ends first.
        waitForCycleEnd();
        settlePendingFrameSize();
    });
}

// ---------------------------------------------------------------------------------------------
// The IOProc list

IOProcEntry* ZmOSXDevice::findIOProc(AudioDeviceIOProc proc)
{
    std::lock_guard<std::recursive_mutex> guard(m_ioProcsMutex);
    for (long i = 0; i < m_ioProcs.count(); ++i) {
        auto* entry = static_cast<IOProcEntry*>(m_ioProcs.atPos(i));
        if (entry != nullptr && entry->hasIOProc(proc)) {
            entry->incReferences();
            return entry;
        }
    }
    return nullptr;
}

bool ZmOSXDevice::addIOProc(AudioDeviceIOProc proc, void* clientData)
{
    if (proc == nullptr)
        return false;
    std::unique_ptr<IOProcList> replaced;
    {
        // Look-up and insert are one step: two threads adding one proc make one entry.
        std::lock_guard<std::recursive_mutex> guard(m_ioProcsMutex);
        for (long i = 0; i < m_ioProcs.count(); ++i) {
            auto* existing = static_cast<IOProcEntry*>(m_ioProcs.atPos(i));
            if (existing != nullptr && existing->hasIOProc(proc)) {
                existing->setClientData(clientData);
                return true;
            }
        }
        auto* entry = new (std::nothrow) IOProcEntry(this, proc, clientData);
        if (entry == nullptr)
            return false;
        if (!m_ioProcs.add(entry)) {
            delete entry;
            return false;
        }
        replaced = publishIOProcs();
    }
    retire(std::move(replaced), nullptr);
    return true;
}

bool ZmOSXDevice::removeIOProc(AudioDeviceIOProc proc)
{
    IOProcEntry* entry = findIOProc(proc);
    if (entry == nullptr)
        return false;
    {
        // Stopping may detach the device, as a stop would.
        StateLock lock(*this, true);
        entry->stop();
    }
    settlePendingFrameSize();
    std::unique_ptr<IOProcList> replaced;
    {
        std::lock_guard<std::recursive_mutex> guard(m_ioProcsMutex);
        m_ioProcs.remove(entry);
        replaced = publishIOProcs();
    }
    // Our reference goes with the replaced array, once no cycle can still use either.
    retire(std::move(replaced), entry);
    return true;
}

void ZmOSXDevice::removeAllIOProcs()
{
    std::unique_ptr<IOProcList> replaced;
    std::vector<IOProcEntry*> entries;
    {
        std::lock_guard<std::recursive_mutex> guard(m_ioProcsMutex);
        for (long i = 0; i < m_ioProcs.count(); ++i)
            if (ZmObject* item = m_ioProcs.atPos(i)) {
                item->incReferences();
                entries.push_back(static_cast<IOProcEntry*>(item));
            }
        m_ioProcs.removeAll();
        replaced = publishIOProcs();
    }
    retire(std::move(replaced), nullptr);
    for (IOProcEntry* entry : entries)
        retire(nullptr, entry);
}

std::unique_ptr<ZmOSXDevice::IOProcList> ZmOSXDevice::publishIOProcs()
{
    auto list = std::make_unique<IOProcList>();
    const long count = m_ioProcs.count();
    if (count > 0) {
        list->entries = std::make_unique<IOProcEntry*[]>(static_cast<size_t>(count));
        for (long i = 0; i < count; ++i)
            if (auto* entry = static_cast<IOProcEntry*>(m_ioProcs.atPos(i)))
                list->entries[list->count++] = entry;
    }
    return std::unique_ptr<IOProcList>(m_pActiveProcs.exchange(list.release(), std::memory_order_seq_cst));
}

void ZmOSXDevice::retire(std::unique_ptr<IOProcList> list, IOProcEntry* entry)
{
    if (onIOThread() && (m_iCycleEpoch.load(std::memory_order_relaxed) & 1) != 0) {
        // An IOProc changed the list from inside the cycle: the cycle still walks the old one.
        std::lock_guard<std::recursive_mutex> guard(m_ioProcsMutex);
        if (list)
            m_retired.lists.push_back(std::move(list));
        if (entry != nullptr)
            m_retired.entries.push_back(entry);
        return;
    }
    Retired earlier;
    {
        std::lock_guard<std::recursive_mutex> guard(m_ioProcsMutex);
        std::swap(earlier, m_retired);
    }
    waitForCycleEnd();
    list.reset();
    if (entry != nullptr)
        entry->decReferences();
    for (IOProcEntry* old : earlier.entries)
        old->decReferences();
}

void ZmOSXDevice::waitForCycleEnd() const
{
    const uint64_t epoch = m_iCycleEpoch.load(std::memory_order_seq_cst);
    if ((epoch & 1) == 0 || onIOThread())
        return;
    while (m_iCycleEpoch.load(std::memory_order_acquire) == epoch)
        std::this_thread::yield();
}

bool ZmOSXDevice::anyIOProc(bool (IOProcEntry::*test)() const)
{
    std::lock_guard<std::recursive_mutex> guard(m_ioProcsMutex);
    for (long i = 0; i < m_ioProcs.count(); ++i)
        if (auto* entry = static_cast<IOProcEntry*>(m_ioProcs.atPos(i)); entry != nullptr && (entry->*test)())
            return true;
    return false;
}

bool ZmOSXDevice::ioprocHasAttachedIn()
{
    return anyIOProc(&IOProcEntry::hasIOProcIn);
}

bool ZmOSXDevice::ioprocHasAttachedOut()
{
    return anyIOProc(&IOProcEntry::hasIOProcOut);
}

OSStatus ZmOSXDevice::getStreamUsage(AudioHardwareIOProcStreamUsage* usage, bool input)
{
    const bool found = usage != nullptr
        && withIOProc(reinterpret_cast<AudioDeviceIOProc>(usage->mIOProc),
                      [&](IOProcEntry& entry) { entry.getStreamUsage(usage, input); });
    return found ? 0 : OSStatus(kIOReturnNoDevice);
}

OSStatus ZmOSXDevice::setStreamUsage(AudioHardwareIOProcStreamUsage* usage, bool input)
{
    const bool found = usage != nullptr
        && withIOProc(reinterpret_cast<AudioDeviceIOProc>(usage->mIOProc),
                      [&](IOProcEntry& entry) { entry.setStreamUsage(usage, input); });
    return found ? 0 : OSStatus(kIOReturnNoDevice);
}

void ZmOSXDevice::releaseIOProc(IOProcEntry* entry)
{
    entry->decReferences();
}
