// A HAL plug-in for the HAL tests: devices of two streams each, and custom properties that make
// it hot-plug devices on its run loop or report changes from a thread of its own. One factory
// answers the fourth interface, another gives nothing.
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/hal/FakePlugInProbe.h"

namespace {

using Interface = AudioHardwarePlugInInterface;

struct FakeStream {
    AudioStreamID id;
    bool isInput;
};

struct FakeDevice {
    AudioDeviceID id = 0;
    std::vector<FakeStream> streams;
};

struct PendingChange {
    bool add;
    UInt32 value; // layout to add, or device to remove
};

class FakePlugIn {
public:
    FakePlugIn();

    AudioHardwarePlugInRef ref() { return &m_record.table; }
    static FakePlugIn* from(void* self) { return reinterpret_cast<Record*>(self)->owner; }

    HRESULT queryInterface(REFIID iid, LPVOID* out)
    {
        CFUUIDRef asked = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, iid);
        const bool match = CFEqual(asked, kAudioHardwarePlugInInterface4ID);
        CFRelease(asked);
        if (!match) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        ++m_references;
        *out = ref();
        return S_OK;
    }

    ULONG release()
    {
        ULONG left = --m_references;
        if (left == 0) {
            probe(FakeEvent::Released, 0);
            delete this;
        }
        return left;
    }

    OSStatus initialize(AudioObjectID objectID)
    {
        probe(FakeEvent::Initialize, objectID);
        // Hot-plug is served on the run loop the plug-in was initialised on, as a notification
        // port's source would be.
        CFRunLoopSourceContext context{};
        context.info = this;
        context.perform = &FakePlugIn::performPending;
        m_source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), m_source, kCFRunLoopDefaultMode);
        publish(kFakeLayoutInput | kFakeLayoutOutput);
        publish(kFakeLayoutOutput);
        return kAudioHardwareNoError;
    }

    OSStatus teardown()
    {
        probe(FakeEvent::Teardown, 0);
        if (m_source != nullptr) {
            CFRunLoopSourceInvalidate(m_source);
            CFRelease(m_source);
            m_source = nullptr;
        }
        std::vector<AudioDeviceID> ids;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (const FakeDevice& device : m_devices)
                ids.push_back(device.id);
            m_devices.clear();
        }
        if (!ids.empty())
            AudioHardwareDevicesDied(ref(), static_cast<UInt32>(ids.size()), ids.data());
        return kAudioHardwareNoError;
    }

    OSStatus deviceGet(AudioDeviceID id, Boolean isInput, AudioDevicePropertyID property, UInt32* size, void* data)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        FakeDevice* device = find(id);
        if (device == nullptr)
            return kAudioHardwareBadDeviceError;
        if (property != kAudioDevicePropertyStreams)
            return kAudioHardwareUnknownPropertyError;
        std::vector<AudioStreamID> ids;
        for (const FakeStream& s : device->streams)
            if (s.isInput == (isInput != 0))
                ids.push_back(s.id);
        UInt32 count = std::min<UInt32>(*size / sizeof(AudioStreamID), static_cast<UInt32>(ids.size()));
        if (count != 0)
            std::memcpy(data, ids.data(), count * sizeof(AudioStreamID));
        *size = count * sizeof(AudioStreamID);
        return 0;
    }

    OSStatus deviceSet(AudioDeviceID id, AudioDevicePropertyID property, UInt32 size, const void* data)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (find(id) == nullptr)
                return kAudioHardwareBadDeviceError;
        }
        switch (property) {
        case kFakePropertyAddDevice:
        case kFakePropertyRemoveDevice: {
            if (size != sizeof(UInt32))
                return kAudioHardwareBadPropertySizeError;
            UInt32 value;
            std::memcpy(&value, data, sizeof value);
            std::lock_guard<std::mutex> guard(m_lock);
            m_pending.push_back({property == kFakePropertyAddDevice, value});
            CFRunLoopSourceSignal(m_source);
            return 0;
        }
        case kFakePropertyReport: {
            if (size != sizeof(FakeReport))
                return kAudioHardwareBadPropertySizeError;
            FakeReport report;
            std::memcpy(&report, data, sizeof report);
            OSStatus status = 0;
            std::thread reporter([&] {
                probe(FakeEvent::Reported, report.stream != 0 ? report.stream : report.device);
                if (report.stream != 0)
                    status = AudioHardwareStreamPropertyChanged(ref(), report.device, report.stream, report.channel,
                                                                report.property);
                else
                    status = AudioHardwareDevicePropertyChanged(ref(), report.device, report.channel,
                                                                Boolean(report.isInput), report.property);
            });
            reporter.join();
            return status;
        }
        default: return kAudioHardwareUnknownPropertyError;
        }
    }

    // Streams know their direction only.
    OSStatus streamGet(AudioStreamID id, AudioDevicePropertyID property, UInt32* size, void* data)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const FakeDevice& device : m_devices) {
            for (const FakeStream& stream : device.streams) {
                if (stream.id != id)
                    continue;
                if (property != kAudioStreamPropertyDirection)
                    return kAudioHardwareUnknownPropertyError;
                if (*size < sizeof(UInt32))
                    return kAudioHardwareBadPropertySizeError;
                const UInt32 direction = stream.isInput;
                std::memcpy(data, &direction, sizeof direction);
                *size = sizeof direction;
                return kAudioHardwareNoError;
            }
        }
        return kAudioHardwareBadStreamError;
    }

private:
    struct Record {
        Interface* table;
        FakePlugIn* owner;
    };

    void probe(FakeEvent event, AudioObjectID object) const
    {
        if (m_probe != nullptr) {
            FakeProbeEvent e{event, object, static_cast<uint64_t>(pthread_self())};
            m_probe(&e);
        }
    }

    // In the order the suite's plug-in announces: the device, then its streams.
    void publish(UInt32 layout)
    {
        FakeDevice device;
        AudioHardwareClaimAudioDeviceID(ref(), &device.id);
        std::vector<AudioStreamID> streams;
        for (int i = 0; i < 2; ++i) {
            FakeStream stream{0, i == 0 && (layout & kFakeLayoutInput) != 0};
            AudioHardwareClaimAudioStreamID(ref(), device.id, &stream.id);
            device.streams.push_back(stream);
            streams.push_back(stream.id);
        }
        const AudioDeviceID id = device.id;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_devices.push_back(device);
        }
        AudioHardwareDevicesCreated(ref(), 1, &id);
        AudioHardwareStreamsCreated(ref(), id, 2, streams.data());
    }

    void remove(AudioDeviceID id)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = std::find_if(m_devices.begin(), m_devices.end(), [id](const FakeDevice& d) { return d.id == id; });
            if (it == m_devices.end())
                return;
            m_devices.erase(it);
        }
        AudioHardwareDevicesDied(ref(), 1, &id);
    }

    static void performPending(void* info)
    {
        auto* self = static_cast<FakePlugIn*>(info);
        std::vector<PendingChange> pending;
        {
            std::lock_guard<std::mutex> guard(self->m_lock);
            pending.swap(self->m_pending);
        }
        for (const PendingChange& change : pending) {
            if (change.add)
                self->publish(change.value);
            else
                self->remove(change.value);
        }
    }

    // Under m_lock.
    FakeDevice* find(AudioDeviceID id)
    {
        for (FakeDevice& device : m_devices)
            if (device.id == id)
                return &device;
        return nullptr;
    }

    Interface m_table{};
    Record m_record{&m_table, this};
    std::atomic<ULONG> m_references{1};
    FakePlugInProbeFunction m_probe;

    std::mutex m_lock;
    std::vector<FakeDevice> m_devices;
    std::vector<PendingChange> m_pending;
    CFRunLoopSourceRef m_source = nullptr;
};

FakePlugIn::FakePlugIn() : m_probe(reinterpret_cast<FakePlugInProbeFunction>(dlsym(RTLD_DEFAULT, "fakePlugInProbe")))
{
    using Ref = AudioHardwarePlugInRef;
    Interface& t = m_table;
    t.QueryInterface = [](void* self, REFIID iid, LPVOID* out) { return from(self)->queryInterface(iid, out); };
    t.AddRef = [](void* self) -> ULONG { return ++from(self)->m_references; };
    t.Release = [](void* self) { return from(self)->release(); };
    t.InitializeWithObjectID = [](Ref self, AudioObjectID id) { return from(self)->initialize(id); };
    t.Teardown = [](Ref self) { return from(self)->teardown(); };
    t.DeviceGetProperty = [](Ref self, AudioDeviceID device, UInt32, Boolean isInput, AudioDevicePropertyID property,
                             UInt32* size, void* data) {
        return from(self)->deviceGet(device, isInput, property, size, data);
    };
    t.DeviceSetProperty = [](Ref self, AudioDeviceID device, const AudioTimeStamp*, UInt32, Boolean,
                             AudioDevicePropertyID property, UInt32 size, const void* data) {
        return from(self)->deviceSet(device, property, size, data);
    };
    t.StreamGetProperty = [](Ref self, AudioStreamID stream, UInt32, AudioDevicePropertyID property, UInt32* size,
                             void* data) { return from(self)->streamGet(stream, property, size, data); };
}

} // namespace

extern "C" __attribute__((visibility("default"))) void* FakePlugInFactory(CFAllocatorRef, CFUUIDRef typeID)
{
    if (!CFEqual(typeID, kAudioHardwarePlugInTypeID))
        return nullptr;
    return (new FakePlugIn())->ref();
}

extern "C" __attribute__((visibility("default"))) void* FakePlugInNullFactory(CFAllocatorRef, CFUUIDRef)
{
    return nullptr;
}
