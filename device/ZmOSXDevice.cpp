// The device object's life: construction, initialisation with the configuration hand-shake
// between processes, opening, hardware preparation, closing and removal, kernel events, the
// observable properties and the small queries.
#include "device/ZmOSXDevice.h"
#include "device/IOProcEntry.h"

#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "device/OSXAsioRegistry.h"
#include "device/OSXDeviceManager.h"
#include "foundation/IntSpinLock.h"
#include "foundation/OSSharedMemory.h"

namespace {

constexpr const char* kSettingsName = "com.quenta.tarsel.usbsettings";
constexpr uint32_t kHandshakeTries = 10;        // times 500 ms: how long others may take to configure
constexpr useconds_t kHandshakePause = 500000;

// Words of the status block that the kernel and other processes change while we look.
template <typename T>
T sharedLoad(const T& word)
{
    return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_acquire);
}

template <typename T>
void sharedStore(T& word, T value)
{
    std::atomic_ref<T>(word).store(value, std::memory_order_release);
}

// A text field of the status block, never read past its 256 bytes.
void copyStatusText(ZmString& out, const char (&field)[kStatusTextSize])
{
    char copy[kStatusTextSize];
    std::memcpy(copy, field, sizeof copy);
    const std::string text(statusText(copy));
    out.assign(text.c_str());
}

// Whether a process of this number is there (perhaps another user's).
bool processExists(uint32_t pid)
{
    return pid != 0 && pid <= uint32_t(INT32_MAX) && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

uint64_t recordInUse(const ClientData& record)
{
    return uint64_t(sharedLoad(record.iInUse[1])) << 32 | sharedLoad(record.iInUse[0]);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

ZmOSXDevice::ZmOSXDevice(AudioHardwarePlugInRef pluginRef, DeviceManagerClient* client, io_service_t service,
                         OSXDeviceManager* manager)
    : DriverConnection(service),
      OSXUserThread(63),
      m_iDefaultFrameSize(manager != nullptr && manager->getClientAppType() == kClientITunes ? 1024 : 256),
      m_pluginRef(pluginRef),
      m_pClient(client),
      m_pManager(manager != nullptr ? manager->link() : nullptr),
      m_iClientAppType(manager != nullptr ? manager->getClientAppType() : kClientOther),
      m_inputLatency(this),
      m_outputLatency(this),
      m_frameSize(this)
{
    m_frameSize.set(0, false);
    // Room for the mappings a few re-preparations from inside the cycle leave behind.
    m_retiredRings.reserve(8);
    // The timestamp filter gets its placeholders (44100 Hz, default frame size) here once the
    // audio path brings it; prepareHardware arms it for real.
}

ZmOSXDevice::~ZmOSXDevice()
{
    closeDevice(true);
    // closeDevice gives up on the thread after 3 s; freeing the object must not.
    joinThread();
    releaseRetiredRings();
    delete m_pActiveProcs.exchange(nullptr);
    for (IOProcEntry* entry : m_retired.entries)
        entry->decReferences();
    releaseInterestNotification();
    delete m_pRegistry;
    m_pRegistry = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Initialisation

bool ZmOSXDevice::init()
{
    // 1. Settings and the device.
    if (m_pRegistry == nullptr)
        m_pRegistry = new (std::nothrow) OSXAsioRegistry(kSettingsName);
    if (m_pRegistry == nullptr || !openDevice())
        return false;

    // 2. A firmware update in progress owns the interface.
    if (fwUpdaterActive()) {
        puts("firmware updater is active - exit");
        return false;
    }

    // 3. The I/O thread; it signals once it runs.
    if (!m_startSemaphore.isValid() && !m_startSemaphore.create())
        return false;
    if (!threadStart())
        return false;
    m_bThreadStarted = true;
    m_startSemaphore.wait();

    KernelStatusBlock* s = status();
    if (s == nullptr) {
        closeDevice(true);
        return false;
    }

    // 4. Only the interface version this build speaks.
    const uint32_t version = sharedLoad(s->iVersion);
    if (version != kInterfaceVersion) {
        if (version < kInterfaceVersion)
            puts("There is a old USB driver installed. Please install the corresponding new USB driver.");
        else
            puts("There is a newer USB driver installed. Please install the corresponding new ASIO driver.");
        closeDevice(true);
        return false;
    }

    // 5. Texts.
    copyStatusText(m_sManufacturer, s->sManufacturer);
    copyStatusText(m_sDeviceName, s->sDeviceName);
    copyStatusText(m_sModelUID, s->sModelUID);

    // 6. The device information block, in chunks of up to 256 bytes.
    m_deviceInfo = APIDeviceInfo{};
    auto* info = reinterpret_cast<uint8_t*>(&m_deviceInfo);
    size_t filled = 0;
    for (uint32_t chunk = 0;; ++chunk) {
        DriverRequest request{};
        request.setWord(0, chunk);
        if (!callDriver(kReqDeviceInfo, request)) {
            closeDevice(true);
            return false;
        }
        const uint32_t length = request.iCode;
        if (length >= 1 && length <= sizeof request.data) {
            if (length > sizeof m_deviceInfo - filled)
                return false;
            std::memcpy(info + filled, request.data, length);
            filled += length;
        }
        if (length != sizeof request.data || filled >= sizeof m_deviceInfo)
            break;
    }

    // 7. A few models show their alternative name.
    if (m_deviceInfo.iVendorId == 0x7E0B
        && (m_deviceInfo.iProductId == 0x0420 || m_deviceInfo.iProductId == 0x0223
            || m_deviceInfo.iProductId == 0x07AF))
        copyStatusText(m_sDeviceName, s->sAltDeviceName);

    // 8. Who streams now.
    m_bRunningSomewhere = isRunningSomewhere();
    m_bEngineRunning = false;

    // 9. Request 24 with its fixed argument; the answer is not needed.
    DriverRequest initialise{};
    initialise.setWord(0, 0x02000200);
    callDriver(kReqInitialise, initialise);

    // 10. One process configures the interface; the others wait for the configured flag.
    if (sharedLoad(s->bConfigured) == 0) {
        bool owner = claimConfiguration(*s);
        if (!owner) {
            const uint32_t claimer = sharedLoad(s->iClaimOwner);
            waitForConfiguration(*s);
            // A claimer that died before releasing the counter would block every later process
            // until the interface is plugged again: its claim is taken over. When another
            // process took it over meanwhile, that one configures: it gets its time too.
            if (sharedLoad(s->bConfigured) == 0) {
                owner = takeOverAbandonedClaim(*s);
                if (!owner && sharedLoad(s->iClaimOwner) != claimer)
                    waitForConfiguration(*s);
            }
            if (!owner && sharedLoad(s->bConfigured) == 0)
                return false;
        }
        if (owner) {
            VkAjExtData ajExt;
            std::memcpy(&ajExt, &s->ajExt, sizeof ajExt);
            m_pRegistry->loadAjExt(ajExt);
            std::memcpy(&s->ajExt, &ajExt, sizeof ajExt);
            usbConfigureDevice();
            releaseConfigurationClaim(*s);
            if (sharedLoad(s->bConfigured) == 0)
                return false;
        }
    }

    // 11. The settings in force.
    const VkChannelSettings current = statusChannels();
    m_cTrueChannels = current;
    updateChannelsToReport(m_cReportedChannels, current, this);
    m_cRequestedChannels = current;
    setIOProcChannels(current);
    m_iPendingDirection = 0;

    // 12. Latencies are worked out with the frame size below.
    m_inputLatency.set(0, true);
    m_outputLatency.set(0, true);
    m_iOutputWriteAhead = 880;
    m_iPendingFrameSize = 0;

    // 13. Forced, so that the buffers and latencies are set up even at the default size.
    setFrameSize(m_iDefaultFrameSize, false, true);

    // 14. Fresh IO buffers for the settings in force.
    m_inputBuffer.term();
    m_outputBuffer.term();
    createIOBuffers();

    m_iFormatGuard = 0;
    startNotifications();
    return true;
}

bool ZmOSXDevice::claimConfiguration(KernelStatusBlock& s)
{
    std::atomic_ref<int32_t> claim(s.iClaimCounter);
    bool owner = false;
    if (claim.load() < 1) {
        if (claim.fetch_add(1) + 1 == 1) {
            owner = true;
        } else {
            // Someone else got in first; if they have gone again, take it over.
            int32_t expected = 0;
            owner = claim.fetch_sub(1) - 1 == 0 && claim.compare_exchange_strong(expected, 1);
        }
    }
    // Waiters learn from this who holds the claim.
    if (owner)
        sharedStore(s.iClaimOwner, uint32_t(getpid()));
    return owner;
}

void ZmOSXDevice::waitForConfiguration(const KernelStatusBlock& s)
{
    for (uint32_t i = 0; i < kHandshakeTries && sharedLoad(s.bConfigured) == 0; ++i)
        usleep(kHandshakePause);
}

bool ZmOSXDevice::takeOverAbandonedClaim(KernelStatusBlock& s)
{
    // A claim without a recorded claimer may be a live one: it is left alone.
    uint32_t claimer = sharedLoad(s.iClaimOwner);
    if (std::atomic_ref<int32_t>(s.iClaimCounter).load() < 1 || claimer == 0 || processExists(claimer))
        return false;
    // The counter keeps the dead claim, which becomes ours; one waiter wins it.
    return std::atomic_ref<uint32_t>(s.iClaimOwner).compare_exchange_strong(claimer, uint32_t(getpid()));
}

void ZmOSXDevice::releaseConfigurationClaim(KernelStatusBlock& s)
{
    uint32_t ours = uint32_t(getpid());
    std::atomic_ref<uint32_t>(s.iClaimOwner).compare_exchange_strong(ours, 0);
    std::atomic_ref<int32_t>(s.iClaimCounter).fetch_sub(1);
}

// ---------------------------------------------------------------------------------------------
// What the I/O thread leaves for the run loop

namespace {
constexpr CFTimeInterval kNotificationInterval = 0.02;
}

void ZmOSXDevice::startNotifications()
{
    m_timestampFilter.setDeferredTexts(true);
    if (m_notifyTimer != nullptr)
        return;
    CFRunLoopTimerContext context{0, this, nullptr, nullptr, nullptr};
    m_notifyTimer = CFRunLoopTimerCreate(nullptr, CFAbsoluteTimeGetCurrent() + kNotificationInterval,
                                         kNotificationInterval, 0, 0, NotificationTimerCallback, &context);
    if (m_notifyTimer != nullptr)
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), m_notifyTimer, kCFRunLoopDefaultMode);
}

void ZmOSXDevice::stopNotifications()
{
    if (m_notifyTimer == nullptr)
        return;
    // Waits for a drain running on the run loop's thread.
    CFRunLoopTimerInvalidate(m_notifyTimer);
    CFRelease(m_notifyTimer);
    m_notifyTimer = nullptr;
}

void ZmOSXDevice::NotificationTimerCallback(CFRunLoopTimerRef, void* info)
{
    static_cast<ZmOSXDevice*>(info)->drainNotifications();
}

void ZmOSXDevice::drainNotifications()
{
    m_timestampFilter.flushTexts();
    const uint32_t notes = m_iDeferred.exchange(0, std::memory_order_acquire);
    if ((notes & kNoteFrameSize) != 0)
        onPropertyChanged(&m_frameSize);
    if ((notes & kNoteLatency) != 0)
        notifyLatencies();
    if ((notes & kNoteRunning) != 0)
        notifyRunningChanged();
    if (m_iPendingFrameSize.load(std::memory_order_relaxed) != 0)
        settlePendingFrameSize();
}

bool ZmOSXDevice::openDevice()
{
    if (ioIsOpen() && m_bOpened)
        return true;
    if (status() == nullptr)
        return false;
    m_bOpened = true;
    return ioIsOpen();
}

bool ZmOSXDevice::isDeviceOpen() const
{
    return ioIsOpen() && m_bOpened;
}

// ---------------------------------------------------------------------------------------------
// Streaming preparation and closing

void* ZmOSXDevice::mapSharedMemory(unsigned int type, unsigned long size)
{
    return ioMapMemory(type, size);
}

void ZmOSXDevice::unmapSharedMemory()
{
    void* input = m_pInputRing.exchange(nullptr, std::memory_order_seq_cst);
    void* output = m_pOutputRing.exchange(nullptr, std::memory_order_seq_cst);
    // A cycle that took the pointers before they went may still read them: they are unmapped
    // once it has ended, at once where waiting for it is allowed, otherwise later.
    if (input != nullptr || output != nullptr) {
        std::lock_guard<std::mutex> guard(m_retiredRingsMutex);
        if (input != nullptr)
            m_retiredRings.push_back({kMemoryInputRing, input});
        if (output != nullptr)
            m_retiredRings.push_back({kMemoryOutputRing, output});
        m_bRingsRetired.store(true, std::memory_order_release);
    }
    releaseRetiredRings();
}

bool ZmOSXDevice::prepareHardware()
{
    unmapSharedMemory();
    m_pInputRing = mapSharedMemory(kMemoryInputRing, kAudioRingSize);
    m_pOutputRing = mapSharedMemory(kMemoryOutputRing, kAudioRingSize);
    if (!hardwareReady()) {
        unmapSharedMemory();
        return false;
    }
    if (m_frameSize.getUInt32() == 0) {
        m_frameSize.set(m_iDefaultFrameSize, true);
        m_iPendingFrameSize = 0;
    }
    // Time stamps start over: the I/O thread re-arms its filter before the next buffer.
    m_iFilterRequests.fetch_add(1, std::memory_order_release);
    m_eStreamState = kStreamPrepared;
    return true;
}

void ZmOSXDevice::closeDevice(bool full)
{
    {
        // Serialised against the attach step, so that no attach lands after this detach.
        StateLock lock(*this, true);
        m_eStreamState = kStreamIdle;
        callDetach();
    }
    usleep(50000);
    {
        StateLock lock(*this, true);
        m_eStreamState = kStreamIdle;
    }
    if (full) {
        stopNotifications();
        stopThread();
        removeAllIOProcs();
    }
    {
        std::lock_guard<std::recursive_mutex> guard(m_buffersMutex);
        waitForCycleEnd(); // the state is idle: no cycle starts after this one
        m_inputBuffer.term();
        m_outputBuffer.term();
    }
    // A size asked for while streaming is the size from now on; the buffers are gone anyway.
    if (const uint32_t pending = m_iPendingFrameSize.exchange(0))
        m_frameSize.set(pending, false);
    unmapSharedMemory();
    StateLock lock(*this, true);
    m_iAttachedIOProcs = 0;
    m_iStartCount = 0;
    m_eStreamState = kStreamIdle;
}

void ZmOSXDevice::releaseInterestNotification()
{
    if (m_interestNotification != 0)
        IOObjectRelease(m_interestNotification);
    m_interestNotification = 0;
}

void ZmOSXDevice::onRemoveEvent()
{
    // Removal may drop the manager's reference: keep the object alive until we are done here.
    const bool counted = getReferences() > 0;
    if (counted)
        incReferences();
    releaseInterestNotification();
    EThreadState state = m_iThreadState.load();
    for (;;) {
        if (state == kThreadNotRunning) {
            callManager(&OSXDeviceManager::doRemoveDevice);
            break;
        }
        if (state == kThreadRemoveRequested
            || m_iThreadState.compare_exchange_weak(state, kThreadRemoveRequested)) {
            // The thread removes the device as it ends.
            threadStop();
            break;
        }
    }
    if (counted)
        decReferences();
}

bool ZmOSXDevice::deviceRequest(uint32_t direction, uint32_t level, uint32_t recipient, uint8_t request,
                                int value, int index, int length, char* data)
{
    if (!ioIsOpen() || !isDeviceOpen() || length > int(kUsbControlMaxLength))
        return false;
    return callUsbControl(direction, level, recipient, request, uint16_t(value), uint16_t(index), length, data);
}

// ---------------------------------------------------------------------------------------------
// Kernel events

void ZmOSXDevice::ServiceInterestCallback(void* refCon, io_service_t, natural_t messageType, void* argument)
{
    auto* device = static_cast<ZmOSXDevice*>(refCon);
    if (device == nullptr)
        return;
    KernelEvent event{};
    if (readKernelEvent(messageType, argument, event) && event.iCode == kEventDeviceGone) {
        device->callManager(&OSXDeviceManager::removeDevice);
        return;
    }
    device->onServiceInterestCallback(messageType, argument);
}

void ZmOSXDevice::onServiceInterestCallback(natural_t messageType, void* argument)
{
    KernelEvent event{};
    if (!readKernelEvent(messageType, argument, event))
        return;
    auto reset = [this] {
        if (callDriver(kReqReset)) {
            usleep(100000);
            callDriver(kReqResetComplete);
        }
    };
    const auto& pair = getConnectionInfo();
    const bool ours = event.word(3) == pair[0] && event.word(4) == pair[1];
    switch (event.iCode) {
    case kEventReset:
        reset();
        break;
    case kEventFormatChanged:
        onFormatEvent();
        break;
    case kEventVolumeChanged:
        if (m_pClient != nullptr)
            m_pClient->onVolumeChanged(this);
        break;
    case kEventMuteChanged:
        if (m_pClient != nullptr)
            m_pClient->onMuteChanged(this);
        break;
    case kEventMonitorChanged:
        if (m_pClient != nullptr)
            m_pClient->onMonitorChanged(this);
        break;
    case kEventDiagnostic: {
        // The phono switches, bit 1 of the codec's register 41.
        int phono[2];
        for (int& value : phono) {
            DriverRequest request{};
            request.setWord(0, kCodecGetRegister);
            request.setHalf(4, 0);
            request.setHalf(6, 41);
            value = callDriver(kReqCodec, request) ? (request.half(8) >> 1 & 1) : -1;
        }
        printf("phono12=%d, phono34=%d\n", phono[0], phono[1]);
        break;
    }
    case kEventDataSourceChanged:
        if (StateLock lock(*this, true); m_eStreamState.exchange(kStreamIdle) != kStreamIdle) {
            callDetach();
            prepareHardware();
        }
        if (m_pClient != nullptr)
            m_pClient->onDataSourceChanged(this);
        break;
    case kEventClientAttached:
        checkRunningSomewhere();
        checkRunningStream();
        if (!ours && m_pClient != nullptr)
            m_pClient->onOtherClientAttached(this, long(event.word(2)), long(event.word(5)));
        break;
    case kEventClientDetached:
        checkRunningSomewhere();
        checkRunningStream();
        if (!ours && m_pClient != nullptr)
            m_pClient->onOtherClientDetached(this, long(event.word(2)));
        break;
    case kEventResetDelayed:
        sleep(3);
        reset();
        break;
    case kEventStateChange:
        if (m_pClient != nullptr)
            m_pClient->onVK_StateChange(this, &event);
        break;
    default:
        break;
    }
}

void ZmOSXDevice::onFormatEvent()
{
    // The settings in force change here as in the format calls of HAL threads: one at a time.
    FormatTurn turn(*this);
    AudioStreamBasicDescription inVirtual{}, outVirtual{}, inPhysical{}, outPhysical{};
    currentFormats(inVirtual, outVirtual, inPhysical, outPhysical);
    const VkChannelSettings old = m_cTrueChannels;
    if (status() == nullptr)
        return;
    const VkChannelSettings now = statusChannels();
    m_cTrueChannels = now;
    if (!hostIsControlPanelOrAudioSetup() && now == old)
        return;
    if (now.iFrequency != old.iFrequency && now.iInChannels == old.iInChannels && now.iOutChannels == old.iOutChannels
        && now.iInBits == old.iInBits && now.iOutBits == old.iOutBits) {
        // Only the rate changed: re-attach at the new rate.
        bool streaming = false;
        {
            StateLock lock(*this, true);
            streaming = m_eStreamState.exchange(kStreamIdle) != kStreamIdle;
            if (streaming)
                callDetach();
        }
        m_cTrueChannels = statusChannels();
        updateChannelsToReport(m_cReportedChannels, m_cTrueChannels, this);
        if (m_pClient != nullptr)
            m_pClient->onFormatChanged(this);
        if (streaming) {
            // Not across the report: a client may start or stop from there.
            StateLock lock(*this, true);
            prepareHardware();
        }
    } else if (now.iInChannels != old.iInChannels || now.iOutChannels != old.iOutChannels
               || now.iInBits != old.iInBits || now.iOutBits != old.iOutBits) {
        // Another layout: the buffers are made anew here, off the I/O thread, between a detach
        // and a fresh attach, and IOProcs are told the new channels.
        bool streaming = false;
        {
            StateLock lock(*this, true);
            streaming = m_eStreamState.exchange(kStreamIdle) != kStreamIdle;
            if (streaming)
                callDetach();
        }
        if (m_iPendingDirection == 0) {
            m_cRequestedChannels = now;
            setIOProcChannels(now);
        }
        createIOBuffers(); // reloads the true and reported settings
        if (streaming) {
            StateLock lock(*this, true);
            prepareHardware();
        }
    }
    checkReportFormatChange(inVirtual, outVirtual, inPhysical, outPhysical);
}

// ---------------------------------------------------------------------------------------------
// Properties and HAL notifications

void ZmOSXDevice::notifyDevice(bool input, AudioDevicePropertyID property, UInt32 channel)
{
    if (m_pluginRef != nullptr && getAudioDeviceID() != 0)
        AudioHardwareDevicePropertyChanged(m_pluginRef, getAudioDeviceID(), channel, input, property);
}

void ZmOSXDevice::notifyStream(AudioStreamID stream, AudioDevicePropertyID property)
{
    if (m_pluginRef != nullptr && getAudioDeviceID() != 0 && stream != 0)
        AudioHardwareStreamPropertyChanged(m_pluginRef, getAudioDeviceID(), stream, 0, property);
}

void ZmOSXDevice::onPropertyChanged(PropertyItem* item)
{
    if (item == &m_inputLatency || item == &m_outputLatency) {
        const bool input = item == &m_inputLatency;
        if (m_pClient != nullptr)
            m_pClient->onLatencyChanged(this);
        notifyDevice(input, kAudioDevicePropertyLatency);
        notifyDevice(input, kAudioDevicePropertySafetyOffset);
        const AudioStreamID stream = input ? getInAudioStreamID() : getOutAudioStreamID();
        notifyStream(stream, kAudioDevicePropertyLatency);
        notifyStream(stream, kAudioDevicePropertySafetyOffset);
    } else if (item == &m_frameSize) {
        if (m_pClient != nullptr)
            m_pClient->onFramesizeChanged(this);
        notifyDevice(true, kAudioDevicePropertyBufferSize);
        notifyDevice(false, kAudioDevicePropertyBufferSize);
        notifyDevice(true, kAudioDevicePropertyBufferFrameSize);
        notifyDevice(false, kAudioDevicePropertyBufferFrameSize);
        for (AudioStreamID stream : {getInAudioStreamID(), getOutAudioStreamID()}) {
            notifyStream(stream, kAudioDevicePropertyBufferSize);
            notifyStream(stream, kAudioDevicePropertyBufferFrameSize);
        }
    } else {
        puts("ZmOSXDevice::onPropertyChanged unhandled property change");
    }
}

bool ZmOSXDevice::checkRunningSomewhere()
{
    const bool running = isRunningSomewhere();
    if (running != m_bRunningSomewhere) {
        m_bRunningSomewhere = running;
        if (m_pluginRef != nullptr) {
            notifyDevice(false, kAudioDevicePropertyDeviceIsRunningSomewhere);
            notifyDevice(true, kAudioDevicePropertyDeviceIsRunningSomewhere);
        }
    }
    return running;
}

void ZmOSXDevice::checkRunningStream()
{
    const bool running = isRunningStream();
    if (running != m_bEngineRunning) {
        m_bEngineRunning = running;
        if (m_pluginRef != nullptr) {
            usleep(10000);
            notifyDevice(true, kAudioDevicePropertyDeviceIsRunning);
            notifyDevice(false, kAudioDevicePropertyDeviceIsRunning);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Small queries

void ZmOSXDevice::setAudioIDs(AudioObjectID device, AudioObjectID inStream, AudioObjectID outStream)
{
    m_deviceID.store(device, std::memory_order_relaxed);
    m_inStreamID.store(inStream, std::memory_order_relaxed);
    m_outStreamID.store(outStream, std::memory_order_relaxed);
}

bool ZmOSXDevice::isDevice(UInt16 vid, UInt16 pid) const
{
    return getVIDPID().isDevice(vid, pid);
}

bool ZmOSXDevice::isUSB2Device() const
{
    const KernelStatusBlock* s = status();
    return s != nullptr && sharedLoad(s->bHighSpeed) != 0;
}

bool ZmOSXDevice::isQuentaBulkDevice() const
{
    return getVIDPID().isQuentaBulkDevice(isUSB2Device());
}

bool ZmOSXDevice::isQuentaBulkInIsocOutDevice() const
{
    return getVIDPID().isQuentaBulkInIsocOutDevice(isUSB2Device());
}

bool ZmOSXDevice::isMarlowCompatible() const
{
    return getVIDPID().isMarlowCompatible();
}

UInt32 ZmOSXDevice::getVersionUSB()
{
    DriverRequest request{};
    return callDriver(kReqVersionUSB, request) ? request.word(0) : 0;
}

UInt32 ZmOSXDevice::getVersionHAL()
{
    DriverRequest request{};
    return callDriver(kReqVersionHAL, request) ? request.word(0) : 0;
}

bool ZmOSXDevice::isRunningSomewhere() const
{
    const KernelStatusBlock* s = status();
    return s != nullptr && sharedLoad(s->clientBlock.iStreamingCount) != 0;
}

bool ZmOSXDevice::isRunningStream() const
{
    const KernelStatusBlock* s = status();
    if (s == nullptr)
        return false;
    const auto& pair = getConnectionInfo();
    for (size_t slot = 0; slot < kClientRecords; ++slot) {
        const ClientData& record = *s->client(int64_t(slot));
        if (recordInUse(record) != 0 && sharedLoad(record.iOwner[0]) == pair[0]
            && sharedLoad(record.iOwner[1]) == pair[1])
            return true;
    }
    return false;
}

void ZmOSXDevice::updateChannelsToReport(VkChannelSettings& report, const VkChannelSettings& settings, ZmOSXDevice*)
{
    report = settings;
}

OSStatus ZmOSXDevice::doTranslateTime(const AudioTimeStamp& in, AudioTimeStamp&)
{
    if ((in.mFlags & (kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid)) == 0) {
        puts("ZmOSXDevice::doTranslateTime the input time stamp has to have at least one of the sample or host "
             "time valid");
        return kAudioHardwareIllegalOperationError;
    }
    if (!m_bEngineRunning) {
        puts("ZmOSXDevice::doTranslateTime can't because the engine isn't running");
        return kAudioHardwareNotRunningError;
    }
    if (m_cTrueChannels.iFrequency == 0) {
        puts("ZmOSXDevice::doTranslateTime m_cTrueChannels.iFrequency == 0");
        return kAudioHardwareNotRunningError;
    }
    return kAudioHardwareIllegalOperationError;
}

bool ZmOSXDevice::hostIsControlPanelOrAudioSetup() const
{
    return m_iClientAppType == kClientControlPanel || m_iClientAppType == kClientAudioSetup;
}

OSXDeviceManager* ZmOSXDevice::getManager() const
{
    return m_pManager != nullptr ? m_pManager->current() : nullptr;
}

void ZmOSXDevice::callManager(void (OSXDeviceManager::*step)(ZmOSXDevice*))
{
    if (m_pManager == nullptr)
        return;
    if (OSXDeviceManager* manager = m_pManager->enter()) {
        (manager->*step)(this);
        m_pManager->leave();
    }
}

VkChannelSettings ZmOSXDevice::statusChannels() const
{
    const KernelStatusBlock* s = status();
    if (s == nullptr)
        return {};
    const VkChannelSettings& c = s->channels;
    return {sharedLoad(c.iFrequency), sharedLoad(c.iInChannels),  sharedLoad(c.iInBits),
            sharedLoad(c.iOutChannels), sharedLoad(c.iOutBits), sharedLoad(c.iConfiguration)};
}
