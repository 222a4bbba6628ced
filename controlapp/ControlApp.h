#pragma once
#include <Carbon/Carbon.h>
#include <CoreAudio/AudioHardware.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "device/DeviceManagerClient.h"
#include "device/KernelStatusBlock.h"
#include "foundation/ZmString.h"

class OSXDeviceManager;
class ZmOSXDevice;

// The control window: the device list, the pages that show and change the current interface's
// settings, its status and client list, and a test stream of our own with a latency test, a
// test tone, input meters and a software thru.
//
// Everything runs on the main thread's event loop except the device callbacks (which only set
// flags) and the test stream's IOProc (which shares only the atomics marked below).
// The shell is in ControlApp.cpp, the settings pages in ControlAppPages.cpp, status, clients
// and the tests in ControlAppStatus.cpp.
class ControlApp : public DeviceManagerClient {
public:
    ControlApp();
    ~ControlApp() override;
    ControlApp(const ControlApp&) = delete;
    ControlApp& operator=(const ControlApp&) = delete;

    // --- device callbacks: flags and changedMask bits only, from any thread ---
    void deviceRemoved(ZmOSXDevice* device) override;
    void deviceAdded(ZmOSXDevice* device) override;
    void onFramesizeChanged(ZmOSXDevice* device) override;
    void onLatencyChanged(ZmOSXDevice* device) override;
    void onFormatChanged(ZmOSXDevice* device) override;
    void onFrequencyChanged(ZmOSXDevice* device) override;
    void onVolumeChanged(ZmOSXDevice* device) override;
    void onMuteChanged(ZmOSXDevice* device) override;
    void onMonitorChanged(ZmOSXDevice* device) override;
    void onDataSourceChanged(ZmOSXDevice* device) override;
    void onDeviceStopped(ZmOSXDevice* device) override;
    void onOtherClientAttached(ZmOSXDevice* device, long slot, long processID) override;
    void onOtherClientDetached(ZmOSXDevice* device, long slot) override;
    void onVK_StateChange(ZmOSXDevice* device, VK_StateChange* change) override;

    // Start-up and the event loop until the window closes.
    void main();
    // Start-up without the loop (steps before it); false when the nib, its menu bar or its
    // window is missing. The program and the tests share it.
    bool start();

    // --- event and timer entry points ---
    void SetupAppWindowHandlers();
    static OSStatus mainWindowControlEventHandler(EventHandlerCallRef callRef, EventRef event, void* userData);
    static OSStatus mainWindowClosedHandler(EventHandlerCallRef callRef, EventRef event, void* userData);
    OSStatus onMainEvent(EventHandlerCallRef callRef, EventRef event);
    static void windowRedrawTimerProc(EventLoopTimerRef timer, void* userData);
    static void driverUpdateProc(EventLoopTimerRef timer, void* userData);
    static void LevelUpdateProc(EventLoopTimerRef timer, void* userData);
    void onWindowRedrawTimer();
    void onDriverUpdateTimer();
    void onLevelTimer();

    // --- device list and pages ---
    void doBuildDeviceList();
    void selectDriver(int32_t index);
    void onSelectTab(int32_t page);

    // --- control accessors: a control the window lacks is skipped ---
    int32_t GetControlAndValue(ControlRef& control, uint32_t signature, int32_t id);
    ControlRef setCtrlValue(uint32_t signature, int32_t id, int16_t value);
    void setStaticText(int32_t id, const ZmString& text);
    void enableButton(int32_t id, bool enable);
    void enablePopupButton(int32_t id, bool enable);
    static void SetStaticTextControlColor(ControlRef control, uint8_t red, uint8_t green, uint8_t blue);
    ControlRef control(uint32_t signature, int32_t id) const;
    WindowRef window() const { return mainWindow; }

    // --- format, frame-size, source and volume pages (ControlAppPages.cpp) ---
    void onSelectInput() { applyFormat(true); }
    void onSelectOutput() { applyFormat(false); }
    void fillFrameSizeList();
    void selectFrameSize();
    void onFrameSizeChosen(); // "tefs"
    void fillStreamSource();
    void onDataSourceChosen(bool isInput); // "dsis", "dsos"
    void fillVolumes();
    void fillIOVolumes(bool isInput);
    void fillVolumChannel(bool isInput, int32_t channel);
    void onVolumeChannel(bool isInput, int32_t channel);
    void onMuteChannel(bool isInput, int32_t channel);
    void fillThru();
    void onThruChannel(int32_t channel);

    // --- status, clients and tests (ControlAppStatus.cpp) ---
    void updateGeneralInfo();
    void fillClientList();
    void drawClientInfo(int32_t id, int32_t minimum, int32_t average, int32_t maximum, int32_t underruns,
                        const char* name, int32_t pid, int32_t frameSize, int32_t ioCycles);
    void showLatencyInfo();
    void showLatencyResult();
    void testOpen();
    void testClose();
    void testLatency();
    void testTone();
    void testCPULoad(ControlRef control);
    void switchLevelMeters();  // "levl"
    void switchThru(const HICommand& command); // "moni"
    OSStatus AudioDeviceIOProc(AudioDeviceID device, const AudioTimeStamp* now, const AudioBufferList* inputData,
                               const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                               const AudioTimeStamp* outputTime);

    // The most samples a test tone may hold (128 MB of floats); a longer one is not played.
    static constexpr uint64_t kMaxToneSamples = uint64_t(1) << 25;

    // changedMask bits: the refreshes the next redraw tick runs.
    enum : uint32_t {
        kChangedFrameSize = 2,
        kChangedLatency = 4,
        kChangedVolumes = 8,
        kChangedSources = 16,
        kChangedFormats = 32,
    };

protected:
    void applyFormat(bool isInput);
    void markChanged(ZmOSXDevice* device, uint32_t bits);
    ZmOSXDevice* current() const { return currentDevice.load(std::memory_order_relaxed); }
    void removeTimer(EventLoopTimerRef& timer);
    void clearLevels();

    // Shared with the IOProc (I/O thread). The hand-over flags tonePlaying, latencyActive and
    // latencyDone are stored with release and loaded with acquire: what the main thread writes
    // before setting tonePlaying (toneSamples, toneLength) or latencyActive is in place when the
    // IOProc sees it set, and latencyFrames is in place when the main thread sees latencyDone.
    std::array<std::atomic<float>, 8> levels{};
    std::atomic<bool> levelCaptureOn{false};
    int32_t currentTab = 0;
    // Set by callbacks on any thread, consumed by the redraw tick.
    std::atomic<uint32_t> changedMask{0};
    uint32_t sampleRate = 0;
    std::atomic<bool> deviceListChanged{false};
    int32_t cpuLoadPercent = 0;
    std::atomic<bool> thruOn{false};
    std::atomic<bool> latencyDone{false};
    uint32_t frameSizeTable[256] = {};
    uint32_t toneLength = 0;
    std::atomic<uint32_t> tonePosition{0};
    ClientBlock clientSnapshot{};
    IBNibRef nibRef = nullptr;
    WindowRef mainWindow = nullptr;
    std::unique_ptr<OSXDeviceManager> deviceManager;
    std::atomic<bool> tonePlaying{false};
    std::unique_ptr<float[]> toneSamples;
    std::atomic<bool> latencyActive{false};
    std::atomic<int32_t> latencyOutChannels{0};
    std::atomic<int32_t> latencyInChannels{0};
    std::atomic<int32_t> latencyMaxFrames{0};
    std::atomic<int32_t> latencyFrames{0};
    // Written on the main thread only; atomic because callbacks compare against it.
    std::atomic<ZmOSXDevice*> currentDevice{nullptr};
    EventLoopTimerRef driverUpdateTimer = nullptr;
    EventLoopTimerRef redrawTimer = nullptr;
    EventLoopTimerRef levelTimer = nullptr;
    bool redrawNeeded = false;
    // The test stream's IOProc is registered and started on the current device.
    bool streamOpen = false;
    EventHandlerRef commandHandler = nullptr;
    EventHandlerRef closedHandler = nullptr;
};

// The free function registered with the device: the ControlApp is the client data.
OSStatus ControlApp__AudioDeviceIOProc(AudioDeviceID device, const AudioTimeStamp* now,
                                       const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                                       AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                                       void* clientData);
