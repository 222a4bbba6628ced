#pragma once
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/APIDeviceInfo.h"
#include "device/AudioIOBuffer.h"
#include "device/DeviceManagerClient.h"
#include "device/DriverConnection.h"
#include "device/KernelEvent.h"
#include "device/PropertyItem.h"
#include "device/TimestampFilter.h"
#include "device/VIDPID.h"
#include "device/VkChannelSettings.h"
#include "foundation/IntSpinLock.h"
#include "foundation/OSXUserThread.h"
#include "foundation/Semaphore.h"
#include "foundation/ZmCollection.h"
#include "foundation/ZmObject.h"
#include "foundation/ZmString.h"

class IOProcEntry;
class OSXAsioRegistry;
class DeviceManagerLink;
class OSXDeviceManager;
struct RateLimits;

// Stream states of the device: rings mapped or not, attached to the kernel or not.
enum EStreamState : uint32_t {
    kStreamIdle = 0,     // nothing mapped for streaming
    kStreamPrepared = 1, // rings mapped, waiting for the I/O thread to attach
    kStreamAttached = 2, // attached and streaming
};

// States of the I/O thread.
enum EThreadState : uint32_t {
    kThreadNotRunning = 0,
    kThreadRemoveRequested = 1,
    kThreadRunning = 2,
};

// One attached audio interface: its kernel connection and status block, its I/O thread, its
// format state and IO buffers. Reference counted; the manager holds one reference, and every
// HAL call that names the device holds another for its duration.
//
// Lifecycle and kernel events are in ZmOSXDevice.cpp, formats, rates and configuration in
// ZmOSXDeviceFormats.cpp, the I/O thread in ZmOSXDeviceIO.cpp, the hardware controls in
// ZmOSXDeviceControls.cpp.
class ZmOSXDevice : public ZmObject, public DriverConnection, public OSXUserThread, public PropertyItemHost {
public:
    ZmOSXDevice(AudioHardwarePlugInRef pluginRef, DeviceManagerClient* client, io_service_t service,
                OSXDeviceManager* manager);
    ~ZmOSXDevice() override;

    // --- life ---
    bool init();
    bool openDevice();
    bool isDeviceOpen() const;
    bool prepareHardware();
    bool hardwareReady() const
    {
        return m_pInputRing.load(std::memory_order_acquire) != nullptr
            && m_pOutputRing.load(std::memory_order_acquire) != nullptr;
    }
    void closeDevice(bool full);
    void onRemoveEvent();
    void* mapSharedMemory(unsigned int type, unsigned long size);
    void unmapSharedMemory();
    bool deviceRequest(uint32_t direction, uint32_t level, uint32_t recipient, uint8_t request, int value,
                       int index, int length, char* data);

    static void ServiceInterestCallback(void* refCon, io_service_t service, natural_t messageType,
                                        void* argument);
    void onServiceInterestCallback(natural_t messageType, void* argument);
    void onPropertyChanged(PropertyItem* item) override;

    // --- identity and small queries ---
    void setAudioIDs(AudioObjectID device, AudioObjectID inStream, AudioObjectID outStream);
    AudioObjectID getAudioDeviceID() const { return m_deviceID.load(std::memory_order_relaxed); }
    AudioObjectID getInAudioStreamID() const { return m_inStreamID.load(std::memory_order_relaxed); }
    AudioObjectID getOutAudioStreamID() const { return m_outStreamID.load(std::memory_order_relaxed); }
    io_object_t* interestNotification() { return &m_interestNotification; }
    const ZmString& getManufacturer() const { return m_sManufacturer; }
    const ZmString& getDeviceName() const { return m_sDeviceName; }
    const ZmString& getModelUID() const { return m_sModelUID; }
    const APIDeviceInfo& getDeviceInfo() const { return m_deviceInfo; }
    VIDPID getVIDPID() const { return {m_deviceInfo.iVendorId, m_deviceInfo.iProductId}; }
    UInt32 getFrequency() const { return m_cTrueChannels.iFrequency; }
    const VkChannelSettings& getTrueChannels() const { return m_cTrueChannels; }
    const VkChannelSettings& getReportedChannels() const { return m_cReportedChannels; }
    // A deferred request: its settings, and 1 (input-led) or 2 (output-led); 0 for none.
    const VkChannelSettings& getRequestedChannels() const { return m_cRequestedChannels; }
    uint32_t getPendingDirection() const { return m_iPendingDirection; }
    uint32_t getOutputWriteAhead() const { return m_iOutputWriteAhead.load(std::memory_order_relaxed); }
    bool isDevice(UInt16 vid, UInt16 pid) const;
    bool isUSB2Device() const;
    bool isQuentaBulkDevice() const;
    bool isQuentaBulkInIsocOutDevice() const;
    bool isMarlowCompatible() const;
    UInt32 getVersionUSB();
    UInt32 getVersionHAL();
    bool isRunningSomewhere() const;
    bool checkRunningSomewhere();
    bool isRunningStream() const;
    void checkRunningStream();
    static void updateChannelsToReport(VkChannelSettings& report, const VkChannelSettings& settings,
                                       ZmOSXDevice* device);
    OSStatus doTranslateTime(const AudioTimeStamp& in, AudioTimeStamp& out);
    EStreamState getStreamState() const { return m_eStreamState.load(std::memory_order_acquire); }
    // The manager the device belongs to; null once the manager is gone. Only for comparing.
    OSXDeviceManager* getManager() const;

    // --- formats, rates and configuration ---
    void usbConfigureDevice();
    bool usbFindConfiguration(bool inputLed, APIDeviceInfoScanResult& in, APIDeviceInfoScanResult& out,
                              VkChannelSettings& cs);
    void getCaps(XsDeviceCapabilitiesEx& caps);
    bool canSampleRate(unsigned long rate);
    unsigned getSampleRates(AudioValueRange* list, unsigned max);
    OSStatus getStreamFormat(bool input, AudioStreamBasicDescription* format, bool physical,
                             unsigned long maxChannels);
    int getStreamFormatNum(bool input, bool physical);
    OSStatus getStreamFormats(bool input, AudioStreamBasicDescription* list, int count, bool physical,
                              unsigned long maxChannels);
    OSStatus getAvailableFormats(bool input, AudioStreamRangedDescription* list, int count, bool physical,
                                 unsigned long maxChannels);
    void preprocessSetStreamFormat(AudioStreamBasicDescription*, bool, bool) {}
    OSStatus setStreamFormat(bool input, const AudioStreamBasicDescription* format, bool skipUsbCheck);
    bool setFrequency(bool input, unsigned rate);
    bool setSampleRate(bool input, unsigned rate, bool& changed, VkChannelSettings& result);
    OSStatus setSettings(VkChannelSettings cs, bool inputLed, bool deferred);
    // Answers whether anything changed (and was reported).
    bool checkReportFormatChange(AudioStreamBasicDescription& oldInVirtual, AudioStreamBasicDescription& oldOutVirtual,
                                 AudioStreamBasicDescription& oldInPhysical,
                                 AudioStreamBasicDescription& oldOutPhysical);
    unsigned setFrameSize(unsigned long frames, bool unused, bool force);
    unsigned getFrameSize() const;
    unsigned getFrameSizeBytes(bool input) const;
    void getFrameSizeRange(unsigned rate, unsigned& min, unsigned& max) const;
    void getFrameSizeRange(double& min, double& max) const;
    void getFrameSizeRangeInt(unsigned& min, unsigned& max) const;
    void getFrameSizeRangeBytes(bool input, double& min, double& max) const;
    unsigned validateMinMaxFrameSize(unsigned long frames) const;
    void updateLatencies();
    // With the rate given: the I/O thread passes the one its buffers were made for.
    void updateLatencies(uint32_t rate);
    UInt32 getLatency(bool input) const;

    // --- I/O thread and IOProcs ---
    SInt32 threadRun() override;
    // One cycle: reads the waiting input buffers, calls the IOProcs (when callProcs), writes
    // the output ahead; answers the nanoseconds to sleep.
    unsigned long onUSBProc(bool callProcs);
    // Sleeps `nanos`, or less when the kernel driver tells that the awaited frames are in.
    void waitForInput(unsigned long nanos);
    void callIOProcs(unsigned long long hostTime, unsigned long frames);
    bool createIOBuffers();
    bool attachIOProc(bool attach);
    bool onDeviceStart(AudioDeviceIOProc proc);
    bool onDeviceStop(AudioDeviceIOProc proc);
    bool addIOProc(AudioDeviceIOProc proc, void* clientData);
    bool removeIOProc(AudioDeviceIOProc proc);
    bool ioprocHasAttachedIn();
    bool ioprocHasAttachedOut();
    OSStatus getStreamUsage(AudioHardwareIOProcStreamUsage* usage, bool input);
    OSStatus setStreamUsage(AudioHardwareIOProcStreamUsage* usage, bool input);
    OSStatus getStreamConfiguration(bool input, AudioBufferList* list);
    bool isSystemOverload() const { return false; }
    int32_t getAttachedIOProcs() const { return m_iAttachedIOProcs.load(); }
    // The I/O thread's filter; read it from elsewhere only while the thread is not cycling,
    // except for its counters.
    const TimestampFilter& getTimestampFilter() const { return m_timestampFilter; }
    // Delivers what the I/O thread left for others (property changes, latencies, diagnostic
    // texts) and applies a frame size still pending on an idle stream. Runs on the run loop of
    // the thread that initialised the device; call it on no other.
    void drainNotifications();

    // --- Hardware controls ---
    // Data sources, mute and volume live in the status block's controls region; a change copies
    // the region to its shadow, edits the live region and sends the request. `channel` 0 is the
    // master channel. Monitoring (input only), exclusive routing and the codec registers go
    // through requests alone.
    int getNumDataSources(bool input);
    void getDataSourcesName(bool input, int id, ZmString& name);
    int getDataSourceID(bool input);
    OSStatus setDataSource(bool input, unsigned long id);
    bool canMute(bool input, int channel);
    int getMute(bool input, int channel);
    bool setMute(bool input, int channel, unsigned int value);
    bool canVolume(bool input, int channel);
    bool getVolumeDB(bool input, int channel, float& dB);
    bool getVolumeScalar(bool input, int channel, float& scalar);
    bool setVolumeScalar(bool input, int channel, float scalar);
    bool setVolumeDB(bool input, int channel, float dB);
    // The channel's range in dB, for converting between dB and the scalar.
    bool getVolumeRangeDB(bool input, int channel, float& minDB, float& maxDB);
    bool canMonitor(bool input, int channel);
    OSStatus getMonitor(bool input, int channel, unsigned long& on);
    bool setMonitor(bool input, int channel, unsigned int on);
    unsigned long getInputsExclusive();
    unsigned long getOutputsExclusive();
    bool setInputsExclusive(long value);
    bool setOutputsExclusive(long value);
    // 0xFFFFFFFF when the kernel does not answer; a register that was written successfully is
    // kept in the settings registry, where getStoredWolfsonRegister finds it.
    unsigned long getWolfsonRegister(unsigned long group, unsigned long index);
    bool setWolfsonRegister(unsigned long group, unsigned long index, unsigned long value);
    bool getStoredWolfsonRegister(unsigned long group, unsigned long index, unsigned long& value);

protected:
    // One format change at a time; the thread that holds the turn may take it again.
    class FormatTurn {
    public:
        explicit FormatTurn(ZmOSXDevice& device);
        ~FormatTurn();
        FormatTurn(const FormatTurn&) = delete;
        FormatTurn& operator=(const FormatTurn&) = delete;

    private:
        ZmOSXDevice& m_device;
    };

public:
    // Holds the format turn for a caller on a HAL thread that reads the settings in force
    // (rate, channels, formats, latencies) or changes them: no format change, of another HAL
    // thread or of a kernel event on the run loop, lands in the middle. Never on the I/O thread.
    class SettingsTurn {
    public:
        explicit SettingsTurn(ZmOSXDevice& device) : m_turn(device) {}

    private:
        FormatTurn m_turn;
    };

protected:
    bool formatTurnIsOurs() const { return m_formatThread.load() == std::this_thread::get_id(); }

    // The status block, or null when the connection has none.
    KernelStatusBlock* status() const { return getDriverSM(); }
    // The four current formats (virtual and physical, both directions, up to 128 channels).
    void currentFormats(AudioStreamBasicDescription& inVirtual, AudioStreamBasicDescription& outVirtual,
                        AudioStreamBasicDescription& inPhysical, AudioStreamBasicDescription& outPhysical);
    bool hostIsControlPanelOrAudioSetup() const;
    // Runs `step` on the manager unless it is gone; its destructor waits for the step to end.
    void callManager(void (OSXDeviceManager::*step)(ZmOSXDevice*));
    // The configuration hand-shake of init: claims the counter, or takes over one whose claimer
    // died; answers whether this process configures.
    bool claimConfiguration(KernelStatusBlock& s);
    bool takeOverAbandonedClaim(KernelStatusBlock& s);
    void waitForConfiguration(const KernelStatusBlock& s);
    void releaseConfigurationClaim(KernelStatusBlock& s);
    // The host process only takes the rate in force (and its kernel limits), for FormatRules.
    RateLimits rateLimits() const;
    // Requests 15 and 16 added up; a failed one counts 0.
    unsigned kernelBandwidth();
    // The settings in force as the status block holds them (all 0 without one).
    VkChannelSettings statusChannels() const;
    // Asks the I/O thread to stop and, unless called on it, waits for it to end (at most 3 s).
    void stopThread();
    // The same without a time limit: the destructor never frees the object under the thread.
    void joinThread();
    void removeAllIOProcs();
    void releaseInterestNotification();
    // HAL notifications; sent only inside the plug-in, once the device is published.
    void notifyDevice(bool input, AudioDevicePropertyID property, UInt32 channel = 0);
    void notifyStream(AudioStreamID stream, AudioDevicePropertyID property);
    void onFormatEvent();
    // The I/O thread has ended: called on its way out.
    void onThreadExit();
    // The thread's attach step: buffers, request 2, state 2 (or 0 when refused). False when a
    // HAL thread held the lock: the thread does not spin for it and comes back later.
    bool attachStream();
    // Re-arms the filter when prepareHardware asked for it; on the I/O thread.
    void armTimestampFilter();
    // A frame size still pending once the stream is idle is applied (off the I/O thread).
    void settlePendingFrameSize();
    // Builds the IO buffers from the settings in force; the buffers' lock is held.
    bool buildIOBuffers(uint32_t& rate);
    // The cycle's own rebuild after a frame-size change or a note: sizes only, never allocates.
    void resizeIOBuffersInCycle();
    void notifyLatencies();
    // The controls block of a direction, or null without a status block.
    ControlsBlock* controlsBlock(bool input) const;
    // The entry whose mute and volume are live for `input`, or null; only while the direction
    // has channels in force.
    ControlsEntry* getControlsEndpoint(bool input) const;
    // The volume slot of `channel` when canVolume holds, else null.
    ControlsVolume* volumeControl(bool input, int channel);
    // Request 31 with `sub-command` and the words after it; false when the kernel refuses.
    bool callCodec(uint32_t subCommand, DriverRequest& record);
    // The input channels in force, as the monitoring of paired inputs counts them.
    uint32_t monitorInputs() const { return m_cTrueChannels.iInChannels; }
    bool monitorsByPairs() const;

    void startNotifications();
    void stopNotifications();
    static void NotificationTimerCallback(CFRunLoopTimerRef timer, void* info);
    // What the I/O thread leaves for the run loop, as bits of m_iDeferred.
    enum : uint32_t { kNoteFrameSize = 1, kNoteLatency = 2, kNoteSettle = 4, kNoteRunning = 8 };

    // The I/O thread walks a published array of the registered entries; HAL threads replace
    // it under m_ioProcsMutex and, before freeing what they replaced (or returning from a
    // stop), wait until a cycle that might still use it has ended. The thread itself never
    // waits and never frees: an IOProc that removes itself leaves the old array for the next
    // HAL caller, or the destructor, to free.
    struct IOProcList {
        uint32_t count = 0;
        std::unique_ptr<IOProcEntry*[]> entries;
    };
    struct Retired {
        std::vector<std::unique_ptr<IOProcList>> lists;
        std::vector<IOProcEntry*> entries; // one reference each
    };
    IOProcEntry* findIOProc(AudioDeviceIOProc proc); // with a reference, or null
    // Runs `action` on the entry of `proc` (held meanwhile); false when there is none.
    template <typename Action>
    bool withIOProc(AudioDeviceIOProc proc, Action action)
    {
        IOProcEntry* entry = findIOProc(proc);
        if (entry == nullptr)
            return false;
        action(*entry);
        releaseIOProc(entry);
        return true;
    }
    static void releaseIOProc(IOProcEntry* entry);
    bool anyIOProc(bool (IOProcEntry::*test)() const);
    void notifyRunningChanged(); // "goin", output then input
    // The channel layout IOProcs are told about; HAL threads set it while the I/O thread reads.
    void setIOProcChannels(const VkChannelSettings& settings);
    VkChannelSettings loadIOProcChannels(int direction) const;
    // Publishes m_ioProcs (mutex held); answers what it replaced.
    std::unique_ptr<IOProcList> publishIOProcs();
    // Frees replaced arrays and entries once no cycle can use them (mutex not held).
    void retire(std::unique_ptr<IOProcList> list, IOProcEntry* entry);
    void waitForCycleEnd() const;
    bool onIOThread() const;

    // The start/stop/attach lock on m_iLock. Whoever holds it never waits for the I/O cycle (an
    // IOProc in that cycle may be spinning for it): ring mappings taken out of use meanwhile
    // are unmapped once it is released. So an IOProc that starts or stops from inside the
    // cycle spins only for a short step; the thread's own attach step merely tries it.
    class StateLock {
    public:
        StateLock(ZmOSXDevice& device, bool wait);
        StateLock(const StateLock&) = delete;
        StateLock& operator=(const StateLock&) = delete;
        ~StateLock();
        bool held() const { return m_bHeld; }

    private:
        ZmOSXDevice& m_device;
        IntSpinLock m_lock{nullptr};
        const ZmOSXDevice* m_pOuter;
        bool m_bHeld;
    };
    bool holdsStateLock() const;
    // Unmaps the ring mappings taken out of use, once no cycle can still read them; leaves them
    // for later when that would mean waiting where one must not.
    void releaseRetiredRings();

    ZmString m_sManufacturer;
    ZmString m_sDeviceName;
    ZmString m_sModelUID;
    io_object_t m_interestNotification = 0;
    bool m_bRunningSomewhere = false;
    bool m_bEngineRunning = false;
    bool m_bOpened = false;
    uint32_t m_iDefaultFrameSize;
    std::atomic<uint32_t> m_iPendingFrameSize{0};
    std::atomic<int32_t> m_iAttachedIOProcs{0};
    int32_t m_iStartCount = 0;
    std::atomic<EStreamState> m_eStreamState{kStreamIdle};
    int32_t m_iLock = 0; // IntSpinLock word: start, stop and attach
    VkChannelSettings m_cRequestedChannels{};
    VkChannelSettings m_cIOProcChannels[2]{};
    uint32_t m_iPendingDirection = 0; // 0 none, 1 input-led, 2 output-led deferred request
    // Set by the plug-in as it publishes and withdraws the device, read by every thread.
    std::atomic<AudioObjectID> m_deviceID{0};
    std::atomic<AudioObjectID> m_inStreamID{0};
    std::atomic<AudioObjectID> m_outStreamID{0};
    Semaphore m_startSemaphore;
    std::atomic<EThreadState> m_iThreadState{kThreadNotRunning};
    // The thread was started, and its exit signal has been taken by a closer.
    std::atomic<bool> m_bThreadStarted{false};
    std::atomic<bool> m_bThreadJoined{false};
    bool m_bRebuildBuffers = false;
    AudioHardwarePlugInRef m_pluginRef;
    AudioIOBuffer m_inputBuffer;
    AudioIOBuffer m_outputBuffer;
    DeviceManagerClient* m_pClient;
    // Our way to the owning manager, which may go before we do; the host kind is kept apart
    // because HAL threads ask for it at any time.
    std::shared_ptr<DeviceManagerLink> m_pManager;
    uint32_t m_iClientAppType;
    ZmCollection m_ioProcs;
    OSXAsioRegistry* m_pRegistry = nullptr;
    APIDeviceInfo m_deviceInfo{};
    VkChannelSettings m_cTrueChannels{};
    VkChannelSettings m_cReportedChannels{};
    std::atomic<void*> m_pInputRing{nullptr};  // kernel memory type 4
    std::atomic<void*> m_pOutputRing{nullptr}; // kernel memory type 5
    std::atomic<uint32_t> m_iOutputWriteAhead{880};
    PropertyItem m_inputLatency;
    PropertyItem m_outputLatency;
    PropertyItem m_frameSize;
    // Format changes come from any HAL thread: one at a time, and a setStreamFormat nested on
    // the thread that runs one (through its own notifications) does nothing.
    std::recursive_mutex m_formatMutex;
    std::atomic<std::thread::id> m_formatThread{};
    uint32_t m_iFormatDepth = 0;              // under m_formatMutex
    std::atomic<int32_t> m_iFormatGuard{0}; // nesting of setStreamFormat, on the thread that holds the turn
    TimestampFilter m_timestampFilter;         // the I/O thread's
    std::atomic<uint32_t> m_iFilterRequests{0}; // prepareHardware asks the thread to re-arm
    uint32_t m_iFilterArmed = 0;                // the thread's count of requests served
    std::recursive_mutex m_ioProcsMutex;        // HAL threads' side of the IOProc list
    std::atomic<IOProcList*> m_pActiveProcs{nullptr};
    std::atomic<uint64_t> m_iCycleEpoch{0};     // odd while a cycle runs
    // The I/O thread's own: the word its next sleep may be cut short on, and the value it saw.
    uint32_t* m_pWakeWord = nullptr;
    uint32_t m_iWakeCount = 0;
    std::atomic<bool> m_bBuffersStale{false};   // rebuild the IO buffers on the I/O thread
    std::atomic<uint32_t> m_iIORate{0};         // the rate the IO buffers were made for
    Retired m_retired;                          // under m_ioProcsMutex
    struct RetiredRing {
        uint32_t type;
        void* address;
    };
    std::mutex m_retiredRingsMutex;
    std::vector<RetiredRing> m_retiredRings;    // under m_retiredRingsMutex
    std::atomic<bool> m_bRingsRetired{false};   // m_retiredRings is not empty
    // HAL threads and the attach step build the IO buffers under it; the I/O cycle never takes
    // it, and others build only while the stream is not attached (after the last cycle ended).
    std::recursive_mutex m_buffersMutex;
    std::atomic<uint32_t> m_iDeferred{0};       // kNote... bits set by the I/O thread
    CFRunLoopTimerRef m_notifyTimer = nullptr;  // drains them on the initialising run loop
    // This process's control changes one at a time, so the shadow holds the region as it was
    // before the change being requested; the codec values of the registry are kept under it.
    std::mutex m_controlsMutex;
};
