#pragma once
#include <CoreAudio/AudioHardware.h>

#include <atomic>

#include "device/VkChannelSettings.h"
#include "foundation/ZmObject.h"

class ZmOSXDevice;

// One IOProc a HAL client registered on a device. The device's I/O thread calls it while HAL
// threads start, stop and re-register it, so the flags it shares are atomic.
class IOProcEntry : public ZmObject {
public:
    IOProcEntry(ZmOSXDevice* device, AudioDeviceIOProc proc, void* clientData);

    bool hasIOProc(AudioDeviceIOProc proc) const { return m_proc == proc; }
    AudioDeviceIOProc getIOProc() const { return m_proc; }
    void setClientData(void* clientData) { m_clientData.store(clientData, std::memory_order_release); }
    void* getClientData() const { return m_clientData.load(std::memory_order_acquire); }
    bool isRunning() const { return m_bRunning.load(std::memory_order_acquire); }

    // running = the device accepted the attach.
    void start();
    // Clears running first, so the I/O thread stops calling the proc before the device detaches.
    void stop();

    void setStreamUsage(const AudioHardwareIOProcStreamUsage* usage, bool input);
    void getStreamUsage(AudioHardwareIOProcStreamUsage* usage, bool input) const;
    bool hasIOProcIn() const { return m_proc != nullptr && m_bInputOn.load(std::memory_order_relaxed); }
    bool hasIOProcOut() const { return m_proc != nullptr && m_bOutputOn.load(std::memory_order_relaxed); }

    // Calls the proc with the cycle's buffers; true when it produced output the device should
    // take (it answered 0 and had output buffers).
    bool callIOProc(AudioDeviceID device, const AudioTimeStamp* now, const AudioBufferList* inputData,
                    const AudioTimeStamp* inputTime, AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                    VkChannelSettings& inSettings, VkChannelSettings& outSettings);

private:
    ZmOSXDevice* m_pDevice;
    const AudioDeviceIOProc m_proc;
    std::atomic<void*> m_clientData;
    std::atomic<bool> m_bInputOn{true};
    std::atomic<bool> m_bOutputOn{true};
    std::atomic<bool> m_bRunning{false};
};
