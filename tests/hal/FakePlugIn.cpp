// A HAL plug-in for the HAL tests: two devices with two streams each, a handful of properties,
// IOProcs called from a thread of its own, and custom properties that make it hot-plug devices
// on its run loop or report changes from another thread. Its factories answer the fourth
// interface, the first one only, a null instance, or an object with no HAL interface.
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/hal/FakePlugInProbe.h"

namespace {

using Interface = AudioHardwarePlugInInterface;

uint64_t threadID()
{
    return static_cast<uint64_t>(pthread_self());
}

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

class FakePlugIn {
public:
    explicit FakePlugIn(int version);

    AudioHardwarePlugInRef ref() { return &m_record.table; }
    static FakePlugIn* from(void* self) { return reinterpret_cast<Record*>(self)->owner; }

    HRESULT queryInterface(REFIID iid, LPVOID* out);
    ULONG addRef() { return ++m_references; }
    ULONG release();

    OSStatus initialize(AudioObjectID objectID, bool withObjectID);
    OSStatus teardown();

    OSStatus addIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* data, FakeEvent event);
    OSStatus removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc, FakeEvent event);
    OSStatus startStop(AudioDeviceID device, AudioDeviceIOProc proc, bool start);

    OSStatus deviceInfo(AudioDeviceID device, Boolean isInput, AudioDevicePropertyID property, UInt32* size,
                        Boolean* writable);
    OSStatus deviceGet(AudioDeviceID device, Boolean isInput, AudioDevicePropertyID property, UInt32* size,
                       void* data);
    OSStatus deviceSet(AudioDeviceID device, Boolean isInput, AudioDevicePropertyID property, UInt32 size,
                       const void* data);
    OSStatus streamInfo(AudioStreamID stream, AudioDevicePropertyID property, UInt32* size, Boolean* writable);
    OSStatus streamGet(AudioStreamID stream, AudioDevicePropertyID property, UInt32* size, void* data);

    bool isDevice(AudioObjectID id);

private:
    struct Record {
        AudioHardwarePlugInInterface* table;
        FakePlugIn* owner;
    };

    void probe(FakeEvent event, AudioObjectID object) const;
    void publish(UInt32 layout);
    void remove(AudioDeviceID device);
    static void performPending(void* info);
    static OSStatus systemListener(AudioHardwarePropertyID, void* clientData);
    void ioLoop();
    FakeDevice* find(AudioDeviceID device);
    bool findStream(AudioStreamID stream, FakeStream& out);

    const int m_version;
    std::unique_ptr<unsigned char[]> m_tableStorage; // only as long as the interface answered
    Record m_record;
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

// --- the table entries

HRESULT fakeQueryInterface(void* self, REFIID iid, LPVOID* out) { return FakePlugIn::from(self)->queryInterface(iid, out); }
ULONG fakeAddRef(void* self) { return FakePlugIn::from(self)->addRef(); }
ULONG fakeRelease(void* self) { return FakePlugIn::from(self)->release(); }
OSStatus fakeInitialize(AudioHardwarePlugInRef self) { return FakePlugIn::from(self)->initialize(0, false); }
OSStatus fakeInitializeWithObjectID(AudioHardwarePlugInRef self, AudioObjectID id) { return FakePlugIn::from(self)->initialize(id, true); }
OSStatus fakeTeardown(AudioHardwarePlugInRef self) { return FakePlugIn::from(self)->teardown(); }

OSStatus fakeAddIOProc(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc, void* data)
{
    return FakePlugIn::from(self)->addIOProc(device, proc, data, FakeEvent::AddIOProc);
}
OSStatus fakeRemoveIOProc(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc)
{
    return FakePlugIn::from(self)->removeIOProc(device, proc, FakeEvent::RemoveIOProc);
}
OSStatus fakeCreateIOProcID(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc, void* data,
                            AudioDeviceIOProcID* outID)
{
    OSStatus status = FakePlugIn::from(self)->addIOProc(device, proc, data, FakeEvent::CreateIOProcID);
    if (status == kAudioHardwareNoError)
        *outID = proc;
    return status;
}
OSStatus fakeDestroyIOProcID(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProcID id)
{
    return FakePlugIn::from(self)->removeIOProc(device, id, FakeEvent::DestroyIOProcID);
}
OSStatus fakeStart(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc)
{
    return FakePlugIn::from(self)->startStop(device, proc, true);
}
OSStatus fakeStop(AudioHardwarePlugInRef self, AudioDeviceID device, AudioDeviceIOProc proc)
{
    return FakePlugIn::from(self)->startStop(device, proc, false);
}
OSStatus fakeGetCurrentTime(AudioHardwarePlugInRef self, AudioDeviceID device, AudioTimeStamp* out)
{
    if (!FakePlugIn::from(self)->isDevice(device))
        return kAudioHardwareBadDeviceError;
    *out = AudioTimeStamp{};
    out->mSampleTime = 1234.0;
    return kAudioHardwareNoError;
}
OSStatus fakeTranslateTime(AudioHardwarePlugInRef self, AudioDeviceID device, const AudioTimeStamp* in,
                           AudioTimeStamp* out)
{
    if (!FakePlugIn::from(self)->isDevice(device))
        return kAudioHardwareBadDeviceError;
    *out = *in;
    out->mSampleTime = in->mSampleTime * 2;
    return kAudioHardwareNoError;
}
OSStatus fakeDeviceInfo(AudioHardwarePlugInRef self, AudioDeviceID device, UInt32, Boolean isInput,
                        AudioDevicePropertyID property, UInt32* size, Boolean* writable)
{
    return FakePlugIn::from(self)->deviceInfo(device, isInput, property, size, writable);
}
OSStatus fakeDeviceGet(AudioHardwarePlugInRef self, AudioDeviceID device, UInt32, Boolean isInput,
                       AudioDevicePropertyID property, UInt32* size, void* data)
{
    return FakePlugIn::from(self)->deviceGet(device, isInput, property, size, data);
}
OSStatus fakeDeviceSet(AudioHardwarePlugInRef self, AudioDeviceID device, const AudioTimeStamp*, UInt32,
                       Boolean isInput, AudioDevicePropertyID property, UInt32 size, const void* data)
{
    return FakePlugIn::from(self)->deviceSet(device, isInput, property, size, data);
}
OSStatus fakeStreamInfo(AudioHardwarePlugInRef self, AudioStreamID stream, UInt32, AudioDevicePropertyID property,
                        UInt32* size, Boolean* writable)
{
    return FakePlugIn::from(self)->streamInfo(stream, property, size, writable);
}
OSStatus fakeStreamGet(AudioHardwarePlugInRef self, AudioStreamID stream, UInt32, AudioDevicePropertyID property,
                       UInt32* size, void* data)
{
    return FakePlugIn::from(self)->streamGet(stream, property, size, data);
}
OSStatus fakeStreamSet(AudioHardwarePlugInRef, AudioStreamID, const AudioTimeStamp*, UInt32, AudioDevicePropertyID,
                       UInt32, const void*)
{
    return kAudioHardwareUnknownPropertyError;
}

// The object entries answer the device and stream properties, plus one of their own.
OSStatus fakeObjectInfo(AudioHardwarePlugInRef self, AudioObjectID object, const AudioObjectPropertyAddress* address,
                        UInt32* size, Boolean* writable)
{
    FakePlugIn* plugIn = FakePlugIn::from(self);
    if (address->mSelector == kFakePropertyObjectOnly && plugIn->isDevice(object)) {
        *size = sizeof(UInt32);
        *writable = false;
        return kAudioHardwareNoError;
    }
    if (plugIn->isDevice(object))
        return plugIn->deviceInfo(object, address->mScope == kAudioDevicePropertyScopeInput, address->mSelector,
                                  size, writable);
    return plugIn->streamInfo(object, address->mSelector, size, writable);
}
void fakeObjectShow(AudioHardwarePlugInRef, AudioObjectID) {}
Boolean fakeObjectHas(AudioHardwarePlugInRef self, AudioObjectID object, const AudioObjectPropertyAddress* address)
{
    UInt32 size = 0;
    Boolean writable = false;
    return fakeObjectInfo(self, object, address, &size, &writable) == kAudioHardwareNoError;
}
OSStatus fakeObjectSettable(AudioHardwarePlugInRef self, AudioObjectID object,
                            const AudioObjectPropertyAddress* address, Boolean* settable)
{
    UInt32 size = 0;
    return fakeObjectInfo(self, object, address, &size, settable);
}
OSStatus fakeObjectSize(AudioHardwarePlugInRef self, AudioObjectID object, const AudioObjectPropertyAddress* address,
                        UInt32, const void*, UInt32* size)
{
    Boolean writable = false;
    return fakeObjectInfo(self, object, address, size, &writable);
}
OSStatus fakeObjectGet(AudioHardwarePlugInRef self, AudioObjectID object, const AudioObjectPropertyAddress* address,
                       UInt32, const void*, UInt32* size, void* data)
{
    FakePlugIn* plugIn = FakePlugIn::from(self);
    if (address->mSelector == kFakePropertyObjectOnly && plugIn->isDevice(object)) {
        if (*size < sizeof(UInt32))
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(data, &kFakeObjectOnlyValue, sizeof(UInt32));
        *size = sizeof(UInt32);
        return kAudioHardwareNoError;
    }
    if (plugIn->isDevice(object))
        return plugIn->deviceGet(object, address->mScope == kAudioDevicePropertyScopeInput, address->mSelector, size,
                                 data);
    return plugIn->streamGet(object, address->mSelector, size, data);
}
OSStatus fakeObjectSet(AudioHardwarePlugInRef self, AudioObjectID object, const AudioObjectPropertyAddress* address,
                       UInt32, const void*, UInt32 size, const void* data)
{
    FakePlugIn* plugIn = FakePlugIn::from(self);
    if (!plugIn->isDevice(object))
        return kAudioHardwareUnknownPropertyError;
    return plugIn->deviceSet(object, address->mScope == kAudioDevicePropertyScopeInput, address->mSelector, size,
                             data);
}

std::size_t tableSize(int version)
{
    switch (version) {
    case 1: return offsetof(Interface, DeviceStartAtTime);
    case 2: return offsetof(Interface, InitializeWithObjectID);
    case 3: return offsetof(Interface, DeviceCreateIOProcID);
    case 4: return sizeof(Interface);
    default: return offsetof(Interface, Initialize); // IUnknown alone
    }
}

FakePlugIn::FakePlugIn(int version)
    : m_version(version)
    , m_probe(reinterpret_cast<FakePlugInProbeFunction>(dlsym(RTLD_DEFAULT, "fakePlugInProbe")))
{
    Interface full{};
    full.QueryInterface = fakeQueryInterface;
    full.AddRef = fakeAddRef;
    full.Release = fakeRelease;
    full.Initialize = fakeInitialize;
    full.Teardown = fakeTeardown;
    full.DeviceAddIOProc = fakeAddIOProc;
    full.DeviceRemoveIOProc = fakeRemoveIOProc;
    full.DeviceStart = fakeStart;
    full.DeviceStop = fakeStop;
    full.DeviceGetCurrentTime = fakeGetCurrentTime;
    full.DeviceTranslateTime = fakeTranslateTime;
    full.DeviceGetPropertyInfo = fakeDeviceInfo;
    full.DeviceGetProperty = fakeDeviceGet;
    full.DeviceSetProperty = fakeDeviceSet;
    full.StreamGetPropertyInfo = fakeStreamInfo;
    full.StreamGetProperty = fakeStreamGet;
    full.StreamSetProperty = fakeStreamSet;
    full.InitializeWithObjectID = fakeInitializeWithObjectID;
    full.ObjectShow = fakeObjectShow;
    full.ObjectHasProperty = fakeObjectHas;
    full.ObjectIsPropertySettable = fakeObjectSettable;
    full.ObjectGetPropertyDataSize = fakeObjectSize;
    full.ObjectGetPropertyData = fakeObjectGet;
    full.ObjectSetPropertyData = fakeObjectSet;
    full.DeviceCreateIOProcID = fakeCreateIOProcID;
    full.DeviceDestroyIOProcID = fakeDestroyIOProcID;
    std::size_t size = tableSize(version);
    m_tableStorage.reset(new unsigned char[size]);
    std::memcpy(m_tableStorage.get(), &full, size);
    m_record.table = reinterpret_cast<Interface*>(m_tableStorage.get());
    m_record.owner = this;
}

void FakePlugIn::probe(FakeEvent event, AudioObjectID object) const
{
    if (m_probe != nullptr) {
        FakeProbeEvent e{event, object, threadID(), m_version};
        m_probe(&e);
    }
}

HRESULT FakePlugIn::queryInterface(REFIID iid, LPVOID* out)
{
    CFUUIDRef asked = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, iid);
    const CFUUIDRef answered[] = {IUnknownUUID, kAudioHardwarePlugInInterfaceID, kAudioHardwarePlugInInterface2ID,
                                  kAudioHardwarePlugInInterface3ID, kAudioHardwarePlugInInterface4ID};
    bool match = false;
    for (int i = 0; i <= m_version && i < 5; ++i)
        match = match || CFEqual(asked, answered[i]);
    CFRelease(asked);
    if (!match) {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    addRef();
    *out = ref();
    return S_OK;
}

ULONG FakePlugIn::release()
{
    ULONG left = --m_references;
    if (left == 0) {
        probe(FakeEvent::Released, 0);
        delete this;
    }
    return left;
}

OSStatus FakePlugIn::initialize(AudioObjectID objectID, bool withObjectID)
{
    probe(withObjectID ? FakeEvent::InitializeWithObjectID : FakeEvent::Initialize, objectID);
    // Hot-plug is served on the run loop the plug-in was initialised on, as a notification port's
    // source would be.
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

OSStatus FakePlugIn::teardown()
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
    }
    if (!ids.empty())
        AudioHardwareDevicesDied(ref(), static_cast<UInt32>(ids.size()), ids.data());
    std::lock_guard<std::mutex> guard(m_lock);
    m_devices.clear();
    return kAudioHardwareNoError;
}

OSStatus FakePlugIn::systemListener(AudioHardwarePropertyID, void* clientData)
{
    static_cast<FakePlugIn*>(clientData)->m_systemListenerCalls++;
    return kAudioHardwareNoError;
}

// The first interface's plug-ins announce the device before its streams, the others after.
void FakePlugIn::publish(UInt32 layout)
{
    FakeDevice device;
    AudioHardwareClaimAudioDeviceID(ref(), &device.id);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        device.name = std::string("Fake ") + m_nextName++;
    }
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
        m_devices.push_back(device);
    }
    if (m_version == 1)
        AudioHardwareDevicesCreated(ref(), 1, &id);
    AudioHardwareStreamsCreated(ref(), id, 2, streams.data());
    if (m_version != 1)
        AudioHardwareDevicesCreated(ref(), 1, &id);
    probe(FakeEvent::DeviceAdded, id);
}

void FakePlugIn::remove(AudioDeviceID id)
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

void FakePlugIn::performPending(void* info)
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

FakeDevice* FakePlugIn::find(AudioDeviceID id)
{
    for (FakeDevice& device : m_devices)
        if (device.id == id)
            return &device;
    return nullptr;
}

bool FakePlugIn::isDevice(AudioObjectID id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return find(id) != nullptr;
}

bool FakePlugIn::findStream(AudioStreamID id, FakeStream& out)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const FakeDevice& device : m_devices) {
        for (const FakeStream& stream : device.streams) {
            if (stream.id == id) {
                out = stream;
                return true;
            }
        }
    }
    return false;
}

OSStatus FakePlugIn::addIOProc(AudioDeviceID id, AudioDeviceIOProc proc, void* data, FakeEvent event)
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

OSStatus FakePlugIn::removeIOProc(AudioDeviceID id, AudioDeviceIOProc proc, FakeEvent event)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        FakeDevice* device = find(id);
        if (device == nullptr)
            return kAudioHardwareBadDeviceError;
        auto it = std::find_if(device->procs.begin(), device->procs.end(),
                               [proc](const IOProcRecord& r) { return r.proc == proc; });
        if (it == device->procs.end())
            return kAudioHardwareIllegalOperationError;
        device->procs.erase(it);
    }
    probe(event, id);
    return kAudioHardwareNoError;
}

OSStatus FakePlugIn::startStop(AudioDeviceID id, AudioDeviceIOProc proc, bool start)
{
    std::lock_guard<std::mutex> guard(m_lock);
    FakeDevice* device = find(id);
    if (device == nullptr)
        return kAudioHardwareBadDeviceError;
    auto it = std::find_if(device->procs.begin(), device->procs.end(),
                           [proc](const IOProcRecord& r) { return r.proc == proc; });
    if (it == device->procs.end())
        return kAudioHardwareIllegalOperationError;
    it->running = start;
    if (start && !m_ioRunning.exchange(true))
        m_ioThread = std::thread([this] { ioLoop(); });
    return kAudioHardwareNoError;
}

void FakePlugIn::ioLoop()
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

template <typename T>
OSStatus answer(const T& value, UInt32* size, void* data)
{
    if (*size < sizeof(T))
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(data, &value, sizeof(T));
    *size = sizeof(T);
    return kAudioHardwareNoError;
}

OSStatus FakePlugIn::deviceInfo(AudioDeviceID id, Boolean isInput, AudioDevicePropertyID property, UInt32* size,
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
    case kAudioDevicePropertyStreams: {
        UInt32 count = 0;
        for (const FakeStream& s : device->streams)
            count += s.isInput == (isInput != 0);
        *size = count * sizeof(AudioStreamID);
        return 0;
    }
    case kAudioDevicePropertyNominalSampleRate:
        *size = sizeof(Float64);
        *writable = true;
        return 0;
    case kFakePropertyAddDevice:
    case kFakePropertyRemoveDevice:
        *size = sizeof(UInt32);
        *writable = true;
        return 0;
    case kFakePropertyReport:
        *size = sizeof(FakeReport);
        *writable = true;
        return 0;
    default: return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus FakePlugIn::deviceGet(AudioDeviceID id, Boolean isInput, AudioDevicePropertyID property, UInt32* size,
                               void* data)
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
    default: return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus FakePlugIn::deviceSet(AudioDeviceID id, Boolean isInput, AudioDevicePropertyID property, UInt32 size,
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

OSStatus FakePlugIn::streamInfo(AudioStreamID id, AudioDevicePropertyID property, UInt32* size, Boolean* writable)
{
    FakeStream stream;
    if (!findStream(id, stream))
        return kAudioHardwareBadStreamError;
    if (property != kAudioStreamPropertyDirection)
        return kAudioHardwareUnknownPropertyError;
    *size = sizeof(UInt32);
    *writable = false;
    return 0;
}

OSStatus FakePlugIn::streamGet(AudioStreamID id, AudioDevicePropertyID property, UInt32* size, void* data)
{
    FakeStream stream;
    if (!findStream(id, stream))
        return kAudioHardwareBadStreamError;
    if (property != kAudioStreamPropertyDirection)
        return kAudioHardwareUnknownPropertyError;
    return answer(UInt32(stream.isInput ? 1 : 0), size, data);
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

extern "C" __attribute__((visibility("default"))) void* FakePlugInFactoryV1(CFAllocatorRef, CFUUIDRef typeID)
{
    return makeInstance(typeID, 1);
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
