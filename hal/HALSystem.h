#pragma once
// The HAL of a client process: its plug-ins, the devices and streams they announce, the
// defaults, the listeners, and the backend that answers the plug-ins' HAL calls.
//
// Locks: m_lifeLock serialises loading and unloading; m_lock guards the registry and the
// listeners and is never held while a plug-in or a listener is called.
#include <CoreAudio/AudioHardwarePlugIn.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "hal/NotificationQueue.h"
#include "hal/PlugInLoader.h"
#include "hal/RunLoopThread.h"
#include "platform/src/CoreAudio/HALBackend.h"

// How a client call reaches the plug-in behind an object.
struct HALRoute {
    enum class Kind { System, PlugIn, Device, Stream };
    Kind kind = Kind::System;
    AudioObjectID object = kAudioObjectUnknown;
    AudioHardwarePlugInRef ref = nullptr;
    int interfaceVersion = 0;
};

class HALSystem final : public HALBackend {
public:
    // The process's HAL; installed as the backend from the start (it refuses plug-in calls
    // until plug-ins are loaded) and never destroyed, so plug-in threads that outlive main()
    // still find it.
    static HALSystem& instance();

    // Loads and initialises the plug-ins unless they are; returns when they are ready. On the
    // HAL's own threads, and while unloading, it returns at once.
    void ensureLoaded();
    OSStatus unload();
    // Called at process exit.
    void unloadAtExit();

    // The route to a live object; false when the ID names none.
    bool route(AudioObjectID object, HALRoute& out);

    // System properties.
    OSStatus systemPropertyInfo(AudioHardwarePropertyID property, UInt32* outSize, Boolean* outWritable);
    OSStatus getSystemProperty(AudioHardwarePropertyID property, UInt32* ioSize, void* outData);
    OSStatus setSystemProperty(AudioHardwarePropertyID property, UInt32 size, const void* data);

    // Listeners of devices, streams and objects (the system's come through the backend).
    OSStatus addDeviceListener(AudioDeviceID device, UInt32 channel, Boolean isInput,
                               AudioDevicePropertyID property, AudioDevicePropertyListenerProc proc,
                               void* clientData);
    OSStatus removeDeviceListener(AudioDeviceID device, UInt32 channel, Boolean isInput,
                                  AudioDevicePropertyID property, AudioDevicePropertyListenerProc proc);
    OSStatus addStreamListener(AudioStreamID stream, UInt32 channel, AudioDevicePropertyID property,
                               AudioStreamPropertyListenerProc proc, void* clientData);
    OSStatus removeStreamListener(AudioStreamID stream, UInt32 channel, AudioDevicePropertyID property,
                                  AudioStreamPropertyListenerProc proc);
    OSStatus addObjectListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               AudioObjectPropertyListenerProc proc, void* clientData);
    OSStatus removeObjectListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  AudioObjectPropertyListenerProc proc, void* clientData);

    // HALBackend.
    OSStatus claimDeviceID(AudioHardwarePlugInRef owner, AudioDeviceID* outID) override;
    OSStatus claimStreamID(AudioHardwarePlugInRef owner, AudioDeviceID device, AudioStreamID* outID) override;
    OSStatus devicesCreated(AudioHardwarePlugInRef owner, UInt32 count, const AudioDeviceID* ids) override;
    OSStatus devicesDied(AudioHardwarePlugInRef owner, UInt32 count, const AudioDeviceID* ids) override;
    OSStatus streamsCreated(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 count,
                            const AudioStreamID* ids) override;
    OSStatus streamsDied(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 count,
                         const AudioStreamID* ids) override;
    OSStatus devicePropertyChanged(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 channel,
                                   Boolean isInput, AudioDevicePropertyID property) override;
    OSStatus streamPropertyChanged(AudioHardwarePlugInRef owner, AudioDeviceID device, AudioStreamID stream,
                                   UInt32 channel, AudioDevicePropertyID property) override;
    OSStatus addPropertyListener(AudioHardwarePropertyID property, AudioHardwarePropertyListenerProc proc,
                                 void* clientData) override;
    OSStatus removePropertyListener(AudioHardwarePropertyID property,
                                    AudioHardwarePropertyListenerProc proc) override;
    void hardwarePropertyChanged(AudioHardwarePropertyID property) override;

private:
    HALSystem() = default;

    enum class Direction : uint8_t { Unknown, Output, Input };

    struct PlugInRecord {
        AudioObjectID id = kAudioObjectUnknown;
        AudioHardwarePlugInRef ref = nullptr;
        int interfaceVersion = 0;
        bool active = false; // between registration and release
    };
    struct DeviceRecord {
        AudioHardwarePlugInRef owner = nullptr;
        bool alive = false; // after DevicesCreated
        std::vector<AudioStreamID> streams;
    };
    struct StreamRecord {
        AudioDeviceID device = kAudioDeviceUnknown;
        bool alive = false; // after StreamsCreated
        Direction direction = Direction::Unknown;
    };
    struct Listener {
        enum class Kind : uint8_t { System, Device, Stream, Object };
        uint64_t serial = 0;
        Kind kind = Kind::System;
        AudioObjectID object = kAudioObjectUnknown;
        UInt32 channel = 0;
        UInt8 section = 0; // 0 output, 1 input, kAudioPropertyWildcardSection both
        AudioObjectPropertyAddress address{};
        void (*proc)() = nullptr; // the typed proc, cast back by kind
        void* clientData = nullptr;
    };

    bool onOwnThread() const;
    void load();
    void learnDirections(AudioHardwarePlugInRef owner, std::vector<AudioStreamID> streams);
    OSStatus translateUID(UInt32* ioSize, void* data);
    void deliver(const HALNotice& notice);
    void callListener(const Listener& listener, const HALNotice& notice);

    // With m_lock held.
    PlugInRecord* findPlugIn(AudioHardwarePlugInRef ref);
    bool hasDirection(AudioDeviceID device, Direction direction) const;
    void refreshDefaults();
    void notifySystem(AudioHardwarePropertyID property);
    uint64_t addListener(const Listener& listener);

    std::mutex m_lifeLock;
    std::atomic<bool> m_loaded{false};
    std::atomic<bool> m_busy{false}; // loading or unloading
    bool m_atExitRegistered = false;

    RunLoopThread m_halThread;
    NotificationQueue m_notices;
    std::vector<void*> m_modules;

    std::mutex m_lock;
    std::vector<PlugInRecord> m_plugIns;
    std::map<AudioDeviceID, DeviceRecord> m_devices;
    std::map<AudioStreamID, StreamRecord> m_streams;
    std::vector<AudioDeviceID> m_deviceOrder; // live devices, oldest first
    AudioDeviceID m_defaultInput = kAudioDeviceUnknown;
    AudioDeviceID m_defaultOutput = kAudioDeviceUnknown;
    AudioDeviceID m_defaultSystemOutput = kAudioDeviceUnknown;
    std::vector<Listener> m_listeners;
    uint64_t m_nextSerial = 1;
    std::vector<Listener> m_matching; // the notification thread's scratch list
};
