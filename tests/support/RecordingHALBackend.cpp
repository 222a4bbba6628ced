#include "tests/support/RecordingHALBackend.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

namespace {

class RecordingBackend final : public HALBackend {
public:
    OSStatus claimDeviceID(AudioHardwarePlugInRef owner, AudioDeviceID* outID) override
    {
        *outID = nextID();
        record({.call = HALCall::ClaimDeviceID, .owner = owner, .device = *outID});
        return kAudioHardwareNoError;
    }

    OSStatus claimStreamID(AudioHardwarePlugInRef owner, AudioDeviceID device, AudioStreamID* outID) override
    {
        *outID = nextID();
        record({.call = HALCall::ClaimStreamID, .owner = owner, .device = device, .stream = *outID});
        return kAudioHardwareNoError;
    }

    OSStatus devicesCreated(AudioHardwarePlugInRef owner, UInt32 count, const AudioDeviceID* ids) override
    {
        recordList(HALCall::DevicesCreated, owner, kAudioDeviceUnknown, count, ids);
        if (count > 0)
            hardwarePropertyChanged(kAudioHardwarePropertyDevices);
        return kAudioHardwareNoError;
    }

    OSStatus devicesDied(AudioHardwarePlugInRef owner, UInt32 count, const AudioDeviceID* ids) override
    {
        recordList(HALCall::DevicesDied, owner, kAudioDeviceUnknown, count, ids);
        if (count > 0)
            hardwarePropertyChanged(kAudioHardwarePropertyDevices);
        return kAudioHardwareNoError;
    }

    OSStatus streamsCreated(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 count,
                            const AudioStreamID* ids) override
    {
        recordList(HALCall::StreamsCreated, owner, device, count, ids);
        return kAudioHardwareNoError;
    }

    OSStatus streamsDied(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 count,
                         const AudioStreamID* ids) override
    {
        recordList(HALCall::StreamsDied, owner, device, count, ids);
        return kAudioHardwareNoError;
    }

    OSStatus devicePropertyChanged(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 channel,
                                   Boolean isInput, AudioDevicePropertyID property) override
    {
        record({.call = HALCall::DevicePropertyChanged, .owner = owner, .device = device, .channel = channel,
                .isInput = isInput != 0, .property = property});
        return kAudioHardwareNoError;
    }

    OSStatus streamPropertyChanged(AudioHardwarePlugInRef owner, AudioDeviceID device, AudioStreamID stream,
                                   UInt32 channel, AudioDevicePropertyID property) override
    {
        record({.call = HALCall::StreamPropertyChanged, .owner = owner, .device = device, .stream = stream,
                .channel = channel, .property = property});
        return kAudioHardwareNoError;
    }

    OSStatus addPropertyListener(AudioHardwarePropertyID property, AudioHardwarePropertyListenerProc proc,
                                 void* clientData) override
    {
        std::lock_guard lock(m_mutex);
        for (Listener& l : m_listeners) {
            if (l.property == property && l.proc == proc) {
                l.clientData = clientData;
                return kAudioHardwareNoError;
            }
        }
        m_listeners.push_back({property, proc, clientData});
        return kAudioHardwareNoError;
    }

    OSStatus removePropertyListener(AudioHardwarePropertyID property, AudioHardwarePropertyListenerProc proc) override
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_listeners.begin(); it != m_listeners.end(); ++it) {
            if (it->property == property && it->proc == proc) {
                m_listeners.erase(it);
                return kAudioHardwareNoError;
            }
        }
        return kAudioHardwareIllegalOperationError;
    }

    void hardwarePropertyChanged(AudioHardwarePropertyID property) override
    {
        // Called from a copy with the lock released, so a listener may add or remove
        // listeners (itself included) or make HAL calls of its own.
        std::vector<Listener> due;
        {
            std::lock_guard lock(m_mutex);
            for (const Listener& l : m_listeners)
                if (l.property == property || l.property == kAudioPropertyWildcardPropertyID)
                    due.push_back(l);
        }
        for (const Listener& l : due)
            l.proc(property, l.clientData);
    }

    std::vector<HALNotification> recorded()
    {
        std::lock_guard lock(m_mutex);
        return {m_record.begin(), m_record.end()};
    }

    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_record.clear();
    }

private:
    struct Listener {
        AudioHardwarePropertyID property;
        AudioHardwarePropertyListenerProc proc;
        void* clientData;
    };

    AudioObjectID nextID()
    {
        // Skips 0 (no object) and 1 (the system object) should the counter ever wrap.
        AudioObjectID id;
        do
            id = m_nextID.fetch_add(1, std::memory_order_relaxed);
        while (id == kAudioObjectUnknown || id == kAudioObjectSystemObject);
        return id;
    }

    void record(HALNotification&& n)
    {
        std::lock_guard lock(m_mutex);
        if (m_record.size() >= kHALRecordedNotificationLimit)
            m_record.pop_front();
        m_record.push_back(std::move(n));
    }

    void recordList(HALCall call, AudioHardwarePlugInRef owner, AudioDeviceID device,
                    UInt32 count, const AudioObjectID* ids)
    {
        record({.call = call, .owner = owner, .device = device,
                .objects = count > 0 ? std::vector<AudioObjectID>(ids, ids + count) : std::vector<AudioObjectID>()});
    }

    std::atomic<AudioObjectID> m_nextID{kAudioObjectSystemObject + 1};
    std::mutex m_mutex; // guards the record and the listeners
    std::deque<HALNotification> m_record;
    std::vector<Listener> m_listeners;
};

// Never destroyed, so calls made while the process exits still find it.
RecordingBackend& recorder()
{
    static RecordingBackend* backend = new RecordingBackend;
    return *backend;
}

// Installed before main() so every device object a test makes reports here.
const bool g_installed = [] {
    _AudioHALSetBackend(&recorder());
    return true;
}();

} // namespace

std::vector<HALNotification> recordedHALCalls()
{
    return recorder().recorded();
}

void clearRecordedHALCalls()
{
    recorder().clear();
}
