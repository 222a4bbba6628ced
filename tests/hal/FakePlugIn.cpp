// A HAL plug-in for the HAL tests: two devices with two streams each, a handful of properties,
// IOProcs called from a thread of its own, and custom properties that make it hot-plug devices
// on its run loop or report changes from another thread. Its factories answer the fourth
// interface, a null instance, or an object with no HAL interface.
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/hal/FakePlugInProbe.h"

namespace {

using Interface = AudioHardwarePlugInInterface;

struct IOProcRecord {
    AudioDeviceIOProc proc;
    void* clientData;
    bool running;
};

struct FakeStream {
    AudioStreamID id;
    bool isInput;
};

struct FakeDevice {
    AudioDeviceID id = 0;
    std::string name;
    std::vector<FakeStream> streams;
    Float64 rate = 44100.0;
    std::vector<IOProcRecord> procs;
};

struct PendingChange {
    bool add;
    UInt32 value; // layout to add, or device to remove
};

template <typename T>
OSStatus answer(const T& value, UInt32* size, void* data)
{
    if (*size < sizeof(T))
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(data, &value, sizeof(T));
    *size = sizeof(T);
    return kAudioHardwareNoError;
}

class FakePlugIn {
public:
    // Version 4 answers every interface; version 0 answers IUnknown alone.
    explicit FakePlugIn(int version);

    AudioHardwarePlugInRef ref() { return &m_record.table; }
    static FakePlugIn* from(void* self) { return reinterpret_cast<Record*>(self)->owner; }

    HRESULT queryInterface(REFIID iid, LPVOID* out)
    {
        CFUUIDRef asked = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, iid);
        bool match = CFEqual(asked, IUnknownUUID);
        for (CFUUIDRef id : {kAudioHardwarePlugInInterfaceID, kAudioHardwarePlugInInterface2ID,
                             kAudioHardwarePlugInInterface3ID, kAudioHardwarePlugInInterface4ID})
            match = match || (m_version == 4 && CFEqual(asked, id));
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

    OSStatus initialize(AudioObjectID objectID, bool withObjectID)
    {
        probe(withObjectID ? FakeEvent::InitializeWithObjectID : FakeEvent::Initialize, objectID);
        // Hot-plug is served on the run loop the plug-in was initialised on, as a notification
        // port's source would be.
        CFRunLoopSourceContext context{};
        context.info = this;
        context.perform = &FakePlugIn::performPending;
        m_source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), m_source, kCFRunLoopDefaultMode);
        AudioHardwareAddPropertyListener(kAudioHardwarePropertyDevices, &FakePlugIn::systemListener, this);
        publish(kFakeLayoutInput | kFakeLayoutOutput);
        publish(kFakeLayoutOutput);
        return kAudioHardwareNoError;
    }

    OSStatus teardown()
    {
        probe(FakeEvent::Teardown, 0);
        m_ioRunning = false;
        if (m_ioThread.joinable())
            m_ioThread.join();
        if (m_source != nullptr) {
            CFRunLoopSourceInvalidate(m_source);
            CFRelease(m_source);
            m_source = nullptr;
        }
        AudioHardwareRemovePropertyListener(kAudioHardwarePropertyDevices, &FakePlugIn::systemListener);
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

    OSStatus addIOProc(AudioDeviceID id, AudioDeviceIOProc proc, void* data, FakeEvent event)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            FakeDevice* device = find(id);
            if (device == nullptr)
                return kAudioHardwareBadDeviceError;
            device->procs.push_back({proc, data, false});
        }
        probe(event, id);
        return kAudioHardwareNoError;
    }

    OSStatus removeIOProc(AudioDeviceID id, AudioDeviceIOProc proc, FakeEvent event)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            OSStatus status = 0;
            IOProcRecord* record = findProc(id, proc, status);
            if (record == nullptr)
                return status;
            std::vector<IOProcRecord>& procs = find(id)->procs;
            procs.erase(procs.begin() + (record - procs.data()));
        }
        probe(event, id);
        return kAudioHardwareNoError;
    }

    OSStatus startStop(AudioDeviceID id, AudioDeviceIOProc proc, bool start)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        OSStatus status = 0;
        IOProcRecord* record = findProc(id, proc, status);
        if (record == nullptr)
            return status;
        record->running = start;
        if (start && !m_ioRunning.exchange(true))
            m_ioThread = std::thread([this] { ioLoop(); });
        return kAudioHardwareNoError;
    }

    OSStatus deviceInfo(AudioDeviceID id, Boolean isInput, AudioDevicePropertyID property, UInt32* size,
                        Boolean* writable)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        FakeDevice* device = find(id);
        if (device == nullptr)
            return kAudioHardwareBadDeviceError;
        *writable = false;
        switch (property) {
        case kAudioDevicePropertyDeviceName: *size = static_cast<UInt32>(device->name.size() + 1); return 0;
        case kAudioDevicePropertyDeviceUID: *size = sizeof(CFStringRef); return 0;
        case kFakePropertySystemListenerCalls: *size = sizeof(UInt32); return 0;
        case kAudioDevicePropertyStreams:
            *size = static_cast<UInt32>(streamsOf(*device, isInput).size() * sizeof(AudioStreamID));
            return 0;
        case kAudioDevicePropertyNominalSampleRate: *size = sizeof(Float64); break;
        case kFakePropertyAddDevice:
        case kFakePropertyRemoveDevice: *size = sizeof(UInt32); break;
        case kFakePropertyReport: *size = sizeof(FakeReport); break;
        default: return kAudioHardwareUnknownPropertyError;
        }
        *writable = true;
        return 0;
    }

    OSStatus deviceGet(AudioDeviceID id, Boolean isInput, AudioDevicePropertyID property, UInt32* size, void* data)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        FakeDevice* device = find(id);
        if (device == nullptr)
            return kAudioHardwareBadDeviceError;
        switch (property) {
        case kAudioDevicePropertyDeviceName: {
            if (*size < device->name.size() + 1)
                return kAudioHardwareBadPropertySizeError;
            std::memcpy(data, device->name.c_str(), device->name.size() + 1);
            *size = static_cast<UInt32>(device->name.size() + 1);
            return 0;
        }
        case kAudioDevicePropertyDeviceUID: {
            std::string uid = "fake-uid-" + device->name.substr(5);
            CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, uid.c_str(), kCFStringEncodingASCII);
            OSStatus status = answer(string, size, data);
            if (status != 0)
                CFRelease(string);
            return status;
        }
        case kAudioDevicePropertyNominalSampleRate: return answer(device->rate, size, data);
        case kFakePropertySystemListenerCalls: return answer(m_systemListenerCalls.load(), size, data);
        case kAudioDevicePropertyStreams: {
            std::vector<AudioStreamID> ids = streamsOf(*device, isInput);
            UInt32 count = std::min<UInt32>(*size / sizeof(AudioStreamID), static_cast<UInt32>(ids.size()));
            if (count != 0)
                std::memcpy(data, ids.data(), count * sizeof(AudioStreamID));
            *size = count * sizeof(AudioStreamID);
            return 0;
        }
        default: return kAudioHardwareUnknownPropertyError;
        }
    }

    OSStatus deviceSet(AudioDeviceID id, Boolean isInput, AudioDevicePropertyID property, UInt32 size,
                       const void* data)
    {
        if (!isDevice(id))
            return kAudioHardwareBadDeviceError;
        switch (property) {
        case kAudioDevicePropertyNominalSampleRate: {
            if (size != sizeof(Float64))
                return kAudioHardwareBadPropertySizeError;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                std::memcpy(&find(id)->rate, data, sizeof(Float64));
            }
            // Reported from the caller's thread.
            return AudioHardwareDevicePropertyChanged(ref(), id, 0, isInput, property);
        }
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

    // Streams know their direction only; `sizeOnly` asks for its size.
    OSStatus streamGet(AudioStreamID id, AudioDevicePropertyID property, UInt32* size, void* data, bool sizeOnly)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const FakeDevice& device : m_devices) {
            for (const FakeStream& stream : device.streams) {
                if (stream.id != id)
                    continue;
                if (property != kAudioStreamPropertyDirection)
                    return kAudioHardwareUnknownPropertyError;
                if (!sizeOnly)
                    return answer(UInt32(stream.isInput), size, data);
                *size = sizeof(UInt32);
                return kAudioHardwareNoError;
            }
        }
        return kAudioHardwareBadStreamError;
    }

    bool isDevice(AudioObjectID id)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return find(id) != nullptr;
    }

private:
    struct Record {
        Interface* table;
        FakePlugIn* owner;
    };

    void probe(FakeEvent event, AudioObjectID object) const
    {
        if (m_probe != nullptr) {
            FakeProbeEvent e{event, object, static_cast<uint64_t>(pthread_self()), m_version};
            m_probe(&e);
        }
    }

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
        AudioDeviceID id = device.id;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            device.name = std::string("Fake ") + m_nextName++;
            m_devices.push_back(device);
        }
        AudioHardwareStreamsCreated(ref(), id, 2, streams.data());
        AudioHardwareDevicesCreated(ref(), 1, &id);
        probe(FakeEvent::DeviceAdded, id);
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

    static OSStatus systemListener(AudioHardwarePropertyID, void* clientData)
    {
        static_cast<FakePlugIn*>(clientData)->m_systemListenerCalls++;
        return kAudioHardwareNoError;
    }

    void ioLoop()
    {
        while (m_ioRunning) {
            std::vector<std::pair<AudioDeviceID, IOProcRecord>> due;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                for (const FakeDevice& device : m_devices)
                    for (const IOProcRecord& record : device.procs)
                        if (record.running)
                            due.emplace_back(device.id, record);
            }
            AudioTimeStamp now{};
            AudioBufferList input{};
            AudioBufferList output{};
            for (auto& [device, record] : due)
                record.proc(device, &now, &input, &now, &output, &now, record.clientData);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

    // Under m_lock: no record, and `status` says why.
    IOProcRecord* findProc(AudioDeviceID id, AudioDeviceIOProc proc, OSStatus& status)
    {
        FakeDevice* device = find(id);
        status = device == nullptr ? kAudioHardwareBadDeviceError : kAudioHardwareIllegalOperationError;
        if (device != nullptr)
            for (IOProcRecord& record : device->procs)
                if (record.proc == proc)
                    return &record;
        return nullptr;
    }

    static std::vector<AudioStreamID> streamsOf(const FakeDevice& device, Boolean isInput)
    {
        std::vector<AudioStreamID> ids;
        for (const FakeStream& s : device.streams)
            if (s.isInput == (isInput != 0))
                ids.push_back(s.id);
        return ids;
    }

    const int m_version;
    Interface m_table{};
    Record m_record{&m_table, this};
    std::atomic<ULONG> m_references{1};
    FakePlugInProbeFunction m_probe;

    std::mutex m_lock;
    std::vector<FakeDevice> m_devices;
    std::vector<PendingChange> m_pending;
    char m_nextName = 'A';
    CFRunLoopSourceRef m_source = nullptr;
    std::atomic<UInt32> m_systemListenerCalls{0};

    std::thread m_ioThread;
    std::atomic<bool> m_ioRunning{false};
};

FakePlugIn::FakePlugIn(int version)
    : m_version(version)
    , m_probe(reinterpret_cast<FakePlugInProbeFunction>(dlsym(RTLD_DEFAULT, "fakePlugInProbe")))
{
    using Ref = AudioHardwarePlugInRef;
    Interface& t = m_table;
    t.QueryInterface = [](void* self, REFIID iid, LPVOID* out) { return from(self)->queryInterface(iid, out); };
    t.AddRef = [](void* self) -> ULONG { return ++from(self)->m_references; };
    t.Release = [](void* self) { return from(self)->release(); };
    t.Initialize = [](Ref self) { return from(self)->initialize(0, false); };
    t.InitializeWithObjectID = [](Ref self, AudioObjectID id) { return from(self)->initialize(id, true); };
    t.Teardown = [](Ref self) { return from(self)->teardown(); };
    t.DeviceAddIOProc = [](Ref self, AudioDeviceID device, AudioDeviceIOProc proc, void* data) {
        return from(self)->addIOProc(device, proc, data, FakeEvent::AddIOProc);
    };
    t.DeviceRemoveIOProc = [](Ref self, AudioDeviceID device, AudioDeviceIOProc proc) {
        return from(self)->removeIOProc(device, proc, FakeEvent::RemoveIOProc);
    };
    t.DeviceCreateIOProcID = [](Ref self, AudioDeviceID device, AudioDeviceIOProc proc, void* data,
                                AudioDeviceIOProcID* outID) {
        OSStatus status = from(self)->addIOProc(device, proc, data, FakeEvent::CreateIOProcID);
        if (status == kAudioHardwareNoError)
            *outID = proc;
        return status;
    };
    t.DeviceDestroyIOProcID = [](Ref self, AudioDeviceID device, AudioDeviceIOProcID id) {
        return from(self)->removeIOProc(device, id, FakeEvent::DestroyIOProcID);
    };
    t.DeviceStart = [](Ref self, AudioDeviceID device, AudioDeviceIOProc proc) {
        return from(self)->startStop(device, proc, true);
    };
    t.DeviceStop = [](Ref self, AudioDeviceID device, AudioDeviceIOProc proc) {
        return from(self)->startStop(device, proc, false);
    };
    t.DeviceGetPropertyInfo = [](Ref self, AudioDeviceID device, UInt32, Boolean isInput,
                                 AudioDevicePropertyID property, UInt32* size, Boolean* writable) {
        return from(self)->deviceInfo(device, isInput, property, size, writable);
    };
    t.DeviceGetProperty = [](Ref self, AudioDeviceID device, UInt32, Boolean isInput, AudioDevicePropertyID property,
                             UInt32* size, void* data) {
        return from(self)->deviceGet(device, isInput, property, size, data);
    };
    t.DeviceSetProperty = [](Ref self, AudioDeviceID device, const AudioTimeStamp*, UInt32, Boolean isInput,
                             AudioDevicePropertyID property, UInt32 size, const void* data) {
        return from(self)->deviceSet(device, isInput, property, size, data);
    };
    t.StreamGetPropertyInfo = [](Ref self, AudioStreamID stream, UInt32, AudioDevicePropertyID property, UInt32* size,
                                 Boolean* writable) {
        *writable = false;
        return from(self)->streamGet(stream, property, size, nullptr, true);
    };
    t.StreamGetProperty = [](Ref self, AudioStreamID stream, UInt32, AudioDevicePropertyID property, UInt32* size,
                             void* data) { return from(self)->streamGet(stream, property, size, data, false); };
    // The object calls answer one property of their own, which the device calls do not know.
    t.ObjectHasProperty = [](Ref self, AudioObjectID object, const AudioObjectPropertyAddress* address) -> Boolean {
        return address->mSelector == kFakePropertyObjectOnly && from(self)->isDevice(object);
    };
    t.ObjectGetPropertyData = [](Ref self, AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32,
                                 const void*, UInt32* size, void* data) {
        if (address->mSelector != kFakePropertyObjectOnly || !from(self)->isDevice(object))
            return OSStatus(kAudioHardwareUnknownPropertyError);
        return answer(kFakeObjectOnlyValue, size, data);
    };
}

void* makeInstance(CFUUIDRef typeID, int version)
{
    if (!CFEqual(typeID, kAudioHardwarePlugInTypeID))
        return nullptr;
    return (new FakePlugIn(version))->ref();
}

} // namespace

extern "C" __attribute__((visibility("default"))) void* FakePlugInFactory(CFAllocatorRef, CFUUIDRef typeID)
{
    return makeInstance(typeID, 4);
}

extern "C" __attribute__((visibility("default"))) void* FakePlugInNullFactory(CFAllocatorRef, CFUUIDRef)
{
    return nullptr;
}

extern "C" __attribute__((visibility("default"))) void* FakePlugInNoInterfaceFactory(CFAllocatorRef,
                                                                                      CFUUIDRef typeID)
{
    return makeInstance(typeID, 0);
}
