#include "hal/HALSystem.h"

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hal/PlugInCall.h"

namespace {

using Interface = AudioHardwarePlugInInterface;

// Object IDs of this process: 1 is the system object, and none is handed out twice, not even
// after an unload.
std::atomic<AudioObjectID> gNextObjectID{2};

AudioObjectID newObjectID()
{
    return gNextObjectID.fetch_add(1, std::memory_order_relaxed);
}

UInt8 sectionOf(Boolean isInput)
{
    if (isInput == kAudioPropertyWildcardSection)
        return kAudioPropertyWildcardSection;
    return isInput ? 1 : 0;
}

// Either side's wildcard matches everything.
bool matchOrWildcard(UInt32 a, UInt32 b, UInt32 wildcard)
{
    return a == wildcard || b == wildcard || a == b;
}

bool addressMatches(const AudioObjectPropertyAddress& listening, const AudioObjectPropertyAddress& changed)
{
    return (listening.mSelector == kAudioObjectPropertySelectorWildcard ||
            listening.mSelector == changed.mSelector) &&
        (listening.mScope == kAudioObjectPropertyScopeWildcard || listening.mScope == changed.mScope) &&
        (listening.mElement == kAudioObjectPropertyElementWildcard ||
         listening.mElement == changed.mElement);
}

bool sameAddress(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b)
{
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

// A list that names an ID twice is refused.
bool hasDuplicates(UInt32 count, const AudioObjectID* ids)
{
    for (UInt32 i = 1; i < count; ++i)
        if (std::find(ids, ids + i, ids[i]) != ids + i)
            return true;
    return false;
}

// The address of a notice as object listeners see it: device changes in the scope of their
// direction, the others in the global scope.
AudioObjectPropertyAddress addressOf(const HALNotice& notice)
{
    switch (notice.kind) {
    case HALNotice::Kind::Device:
        return {notice.property,
                notice.isInput ? kAudioDevicePropertyScopeInput : kAudioDevicePropertyScopeOutput,
                notice.channel};
    case HALNotice::Kind::Stream:
        return {notice.property, kAudioObjectPropertyScopeGlobal, notice.channel};
    default:
        return {notice.property, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
    }
}

// The HAL answers the plug-ins' calls from the start; AudioHardwareAddPropertyListener, the one
// client call the platform answers, thereby loads the plug-ins like every other client call.
[[maybe_unused]] const bool gInstalled = (_AudioHALSetBackend(&HALSystem::instance()), true);

} // namespace

HALSystem& HALSystem::instance()
{
    static HALSystem* const hal = new HALSystem;
    return *hal;
}

bool HALSystem::onOwnThread() const
{
    return m_halThread.isCurrent() || m_notices.isCurrent();
}

void HALSystem::ensureLoaded()
{
    if (m_loaded.load(std::memory_order_acquire) || m_busy.load(std::memory_order_acquire) ||
        onOwnThread())
        return;
    std::lock_guard<std::mutex> life(m_lifeLock);
    if (m_loaded.load(std::memory_order_relaxed))
        return;
    load();
}

void HALSystem::load()
{
    if (!m_atExitRegistered) {
        // Plug-in threads must be gone before static objects are destroyed.
        std::atexit([] { HALSystem::instance().unloadAtExit(); });
        m_atExitRegistered = true;
    }
    m_notices.start([this](const HALNotice& notice) { deliver(notice); });
    m_halThread.start();
    const std::string folder = halPlugInFolder();
    m_halThread.runSync([this, &folder] {
        PlugInSet set = loadPlugInBundles(folder);
        m_modules = std::move(set.modules);
        std::vector<PlugInRecord> plugIns;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (const LoadedPlugIn& loaded : set.plugIns) {
                PlugInRecord record{newObjectID(), loaded.ref, loaded.interfaceVersion, true};
                m_plugIns.push_back(record);
                plugIns.push_back(record);
            }
        }
        for (const PlugInRecord& plugIn : plugIns) {
            auto withID = plugInEntry(plugIn.ref, plugIn.interfaceVersion, &Interface::InitializeWithObjectID);
            if (withID != nullptr)
                withID(plugIn.ref, plugIn.id);
            else
                callPlugIn(plugIn.ref, plugIn.interfaceVersion, &Interface::Initialize);
        }
    });
    // The stream directions asked for during initialisation wait behind it on the HAL thread.
    m_halThread.runSync([] {});
    m_loaded.store(true, std::memory_order_release);
}

OSStatus HALSystem::unload()
{
    if (onOwnThread())
        return kAudioHardwareIllegalOperationError; // it would wait for itself
    std::lock_guard<std::mutex> life(m_lifeLock);
    if (!m_loaded.load(std::memory_order_relaxed))
        return kAudioHardwareNoError;
    m_busy.store(true, std::memory_order_release);
    // Listeners hear nothing more: what they would hear of is going away, and some of them live
    // in the modules about to be closed.
    m_notices.stop();
    m_halThread.runSync([this] {
        std::vector<PlugInRecord> plugIns;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            plugIns = m_plugIns;
        }
        for (const PlugInRecord& plugIn : plugIns) {
            callPlugIn(plugIn.ref, plugIn.interfaceVersion, &Interface::Teardown);
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (PlugInRecord* record = findPlugIn(plugIn.ref))
                    record->active = false;
            }
            (*plugIn.ref)->Release(plugIn.ref);
        }
    });
    // What plug-ins left on the HAL thread's run loop is released as the thread ends, while
    // their modules are still open.
    m_halThread.stop();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_plugIns.clear();
        m_devices.clear();
        m_streams.clear();
        m_deviceOrder.clear();
        m_defaultInput = m_defaultOutput = m_defaultSystemOutput = kAudioDeviceUnknown;
        m_listeners.clear();
        m_matching.clear();
    }
    closePlugInModules(m_modules);
    m_loaded.store(false, std::memory_order_release);
    m_busy.store(false, std::memory_order_release);
    return kAudioHardwareNoError;
}

void HALSystem::unloadAtExit()
{
    if (!onOwnThread())
        unload();
}

// ---------------------------------------------------------------------------------------------
// The registry

HALSystem::PlugInRecord* HALSystem::findPlugIn(AudioHardwarePlugInRef ref)
{
    for (PlugInRecord& plugIn : m_plugIns)
        if (plugIn.ref == ref && plugIn.active)
            return &plugIn;
    return nullptr;
}

bool HALSystem::hasDirection(AudioDeviceID device, Direction direction) const
{
    auto it = m_devices.find(device);
    if (it == m_devices.end() || !it->second.alive)
        return false;
    for (AudioStreamID id : it->second.streams) {
        auto stream = m_streams.find(id);
        if (stream != m_streams.end() && stream->second.alive && stream->second.direction == direction)
            return true;
    }
    return false;
}

void HALSystem::refreshDefaults()
{
    auto refresh = [this](AudioDeviceID& current, Direction direction, AudioHardwarePropertyID property) {
        if (current != kAudioDeviceUnknown && hasDirection(current, direction))
            return;
        AudioDeviceID next = kAudioDeviceUnknown;
        for (AudioDeviceID id : m_deviceOrder) {
            if (hasDirection(id, direction)) {
                next = id;
                break;
            }
        }
        if (next != current) {
            current = next;
            notifySystem(property);
        }
    };
    refresh(m_defaultInput, Direction::Input, kAudioHardwarePropertyDefaultInputDevice);
    refresh(m_defaultOutput, Direction::Output, kAudioHardwarePropertyDefaultOutputDevice);
    refresh(m_defaultSystemOutput, Direction::Output, kAudioHardwarePropertyDefaultSystemOutputDevice);
}

void HALSystem::notifySystem(AudioHardwarePropertyID property)
{
    m_notices.push({HALNotice::Kind::System, false, kAudioObjectSystemObject, 0, property}, false);
}

bool HALSystem::route(AudioObjectID object, HALRoute& out)
{
    std::lock_guard<std::mutex> guard(m_lock);
    out = HALRoute{};
    out.object = object;
    if (object == kAudioObjectSystemObject) {
        out.kind = HALRoute::Kind::System;
        return true;
    }
    for (const PlugInRecord& plugIn : m_plugIns) {
        if (plugIn.active && plugIn.id == object) {
            out.kind = HALRoute::Kind::PlugIn;
            out.ref = plugIn.ref;
            out.interfaceVersion = plugIn.interfaceVersion;
            return true;
        }
    }
    AudioDeviceID device = kAudioDeviceUnknown;
    if (auto it = m_devices.find(object); it != m_devices.end() && it->second.alive) {
        out.kind = HALRoute::Kind::Device;
        device = object;
    } else if (auto stream = m_streams.find(object); stream != m_streams.end() && stream->second.alive) {
        out.kind = HALRoute::Kind::Stream;
        device = stream->second.device;
    } else {
        return false;
    }
    auto owner = m_devices.find(device);
    if (owner == m_devices.end() || !owner->second.alive)
        return false; // a stream announced before its device
    PlugInRecord* plugIn = findPlugIn(owner->second.owner);
    if (plugIn == nullptr)
        return false;
    out.ref = plugIn->ref;
    out.interfaceVersion = plugIn->interfaceVersion;
    return true;
}

OSStatus HALSystem::claimDeviceID(AudioHardwarePlugInRef owner, AudioDeviceID* outID)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (findPlugIn(owner) == nullptr)
        return kAudioHardwareIllegalOperationError;
    AudioDeviceID id = newObjectID();
    m_devices[id].owner = owner;
    *outID = id;
    return kAudioHardwareNoError;
}

OSStatus HALSystem::claimStreamID(AudioHardwarePlugInRef owner, AudioDeviceID device, AudioStreamID* outID)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (findPlugIn(owner) == nullptr)
        return kAudioHardwareIllegalOperationError;
    auto it = m_devices.find(device);
    if (it == m_devices.end() || it->second.owner != owner)
        return kAudioHardwareBadDeviceError;
    AudioStreamID id = newObjectID();
    m_streams[id].device = device;
    it->second.streams.push_back(id);
    *outID = id;
    return kAudioHardwareNoError;
}

OSStatus HALSystem::devicesCreated(AudioHardwarePlugInRef owner, UInt32 count, const AudioDeviceID* ids)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (findPlugIn(owner) == nullptr)
        return kAudioHardwareIllegalOperationError;
    for (UInt32 i = 0; i < count; ++i) {
        auto it = m_devices.find(ids[i]);
        if (it == m_devices.end() || it->second.owner != owner || it->second.alive)
            return kAudioHardwareBadDeviceError;
    }
    if (hasDuplicates(count, ids))
        return kAudioHardwareBadDeviceError;
    if (count == 0)
        return kAudioHardwareNoError;
    for (UInt32 i = 0; i < count; ++i) {
        m_devices[ids[i]].alive = true;
        m_deviceOrder.push_back(ids[i]);
    }
    notifySystem(kAudioHardwarePropertyDevices);
    refreshDefaults();
    return kAudioHardwareNoError;
}

OSStatus HALSystem::devicesDied(AudioHardwarePlugInRef owner, UInt32 count, const AudioDeviceID* ids)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (findPlugIn(owner) == nullptr)
        return kAudioHardwareIllegalOperationError;
    for (UInt32 i = 0; i < count; ++i) {
        auto it = m_devices.find(ids[i]);
        if (it == m_devices.end() || it->second.owner != owner)
            return kAudioHardwareBadDeviceError;
    }
    if (hasDuplicates(count, ids))
        return kAudioHardwareBadDeviceError;
    bool listChanged = false;
    std::vector<AudioObjectID> gone;
    for (UInt32 i = 0; i < count; ++i) {
        DeviceRecord& device = m_devices[ids[i]];
        for (AudioStreamID stream : device.streams) {
            auto it = m_streams.find(stream);
            if (it != m_streams.end() && it->second.alive)
                gone.push_back(stream);
            m_streams.erase(stream);
        }
        if (device.alive) {
            listChanged = true;
            gone.push_back(ids[i]);
            m_deviceOrder.erase(std::remove(m_deviceOrder.begin(), m_deviceOrder.end(), ids[i]),
                                m_deviceOrder.end());
        }
        m_devices.erase(ids[i]);
    }
    if (listChanged)
        notifySystem(kAudioHardwarePropertyDevices);
    refreshDefaults();
    // Their listeners go once the notices queued before have been delivered; when the queue
    // cannot take that, at once.
    for (AudioObjectID id : gone) {
        if (!m_notices.push({HALNotice::Kind::Forget, false, id, 0, 0}, false))
            std::erase_if(m_listeners, [id](const Listener& l) { return l.object == id; });
    }
    return kAudioHardwareNoError;
}

OSStatus HALSystem::streamsCreated(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 count,
                                   const AudioStreamID* ids)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (findPlugIn(owner) == nullptr)
            return kAudioHardwareIllegalOperationError;
        auto it = m_devices.find(device);
        if (it == m_devices.end() || it->second.owner != owner)
            return kAudioHardwareBadDeviceError;
        for (UInt32 i = 0; i < count; ++i) {
            auto stream = m_streams.find(ids[i]);
            if (stream == m_streams.end() || stream->second.device != device || stream->second.alive)
                return kAudioHardwareBadStreamError;
        }
        if (hasDuplicates(count, ids))
            return kAudioHardwareBadStreamError;
        if (count == 0)
            return kAudioHardwareNoError;
        for (UInt32 i = 0; i < count; ++i)
            m_streams[ids[i]].alive = true;
    }
    // The plug-in is asked for the directions on the HAL thread once this call has returned:
    // it may well hold its own locks while announcing streams.
    m_halThread.post([this, owner, streams = std::vector<AudioStreamID>(ids, ids + count)] {
        learnDirections(owner, streams);
    });
    return kAudioHardwareNoError;
}

void HALSystem::learnDirections(AudioHardwarePlugInRef owner, std::vector<AudioStreamID> streams)
{
    int version = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        PlugInRecord* plugIn = findPlugIn(owner);
        if (plugIn == nullptr)
            return;
        version = plugIn->interfaceVersion;
    }
    std::vector<std::pair<AudioStreamID, Direction>> learnt;
    for (AudioStreamID id : streams) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = m_streams.find(id);
            if (it == m_streams.end() || !it->second.alive)
                continue;
        }
        UInt32 direction = 0;
        UInt32 size = sizeof direction;
        OSStatus status = callPlugIn(owner, version, &Interface::StreamGetProperty, id, UInt32(0),
                                     kAudioStreamPropertyDirection, &size, static_cast<void*>(&direction));
        Direction learned = Direction::Unknown;
        if (status == kAudioHardwareNoError && size == sizeof direction)
            learned = direction != 0 ? Direction::Input : Direction::Output;
        learnt.emplace_back(id, learned);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto [id, direction] : learnt) {
        auto it = m_streams.find(id);
        if (it != m_streams.end())
            it->second.direction = direction;
    }
    refreshDefaults();
}

OSStatus HALSystem::streamsDied(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 count,
                                const AudioStreamID* ids)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (findPlugIn(owner) == nullptr)
        return kAudioHardwareIllegalOperationError;
    auto it = m_devices.find(device);
    if (it == m_devices.end() || it->second.owner != owner)
        return kAudioHardwareBadDeviceError;
    for (UInt32 i = 0; i < count; ++i) {
        auto stream = m_streams.find(ids[i]);
        if (stream == m_streams.end() || stream->second.device != device)
            return kAudioHardwareBadStreamError;
    }
    if (hasDuplicates(count, ids))
        return kAudioHardwareBadStreamError;
    std::vector<AudioStreamID>& owned = it->second.streams;
    for (UInt32 i = 0; i < count; ++i) {
        AudioStreamID id = ids[i];
        bool wasAlive = m_streams[id].alive;
        m_streams.erase(id);
        owned.erase(std::remove(owned.begin(), owned.end(), id), owned.end());
        if (wasAlive && !m_notices.push({HALNotice::Kind::Forget, false, id, 0, 0}, false))
            std::erase_if(m_listeners, [id](const Listener& l) { return l.object == id; });
    }
    refreshDefaults();
    return kAudioHardwareNoError;
}

OSStatus HALSystem::devicePropertyChanged(AudioHardwarePlugInRef owner, AudioDeviceID device, UInt32 channel,
                                          Boolean isInput, AudioDevicePropertyID property)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (findPlugIn(owner) == nullptr)
            return kAudioHardwareIllegalOperationError;
        auto it = m_devices.find(device);
        if (it == m_devices.end() || it->second.owner != owner || !it->second.alive)
            return kAudioHardwareBadDeviceError;
    }
    m_notices.push({HALNotice::Kind::Device, isInput, device, channel, property}, true);
    return kAudioHardwareNoError;
}

OSStatus HALSystem::streamPropertyChanged(AudioHardwarePlugInRef owner, AudioDeviceID device,
                                          AudioStreamID stream, UInt32 channel, AudioDevicePropertyID property)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (findPlugIn(owner) == nullptr)
            return kAudioHardwareIllegalOperationError;
        auto it = m_devices.find(device);
        if (it == m_devices.end() || it->second.owner != owner || !it->second.alive)
            return kAudioHardwareBadDeviceError;
        auto s = m_streams.find(stream);
        if (s == m_streams.end() || s->second.device != device || !s->second.alive)
            return kAudioHardwareBadStreamError;
    }
    m_notices.push({HALNotice::Kind::Stream, false, stream, channel, property}, true);
    return kAudioHardwareNoError;
}

void HALSystem::hardwarePropertyChanged(AudioHardwarePropertyID property)
{
    m_notices.push({HALNotice::Kind::System, false, kAudioObjectSystemObject, 0, property}, true);
}

// ---------------------------------------------------------------------------------------------
// System properties

OSStatus HALSystem::systemPropertyInfo(AudioHardwarePropertyID property, UInt32* outSize, Boolean* outWritable)
{
    UInt32 size = 0;
    Boolean writable = false;
    switch (property) {
    case kAudioHardwarePropertyDevices: {
        std::lock_guard<std::mutex> guard(m_lock);
        size = static_cast<UInt32>(m_deviceOrder.size() * sizeof(AudioDeviceID));
        break;
    }
    case kAudioHardwarePropertyDefaultInputDevice:
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultSystemOutputDevice:
        size = sizeof(AudioDeviceID);
        writable = true;
        break;
    case kAudioHardwarePropertyDeviceForUID:
        size = sizeof(AudioValueTranslation);
        break;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
    if (outSize != nullptr)
        *outSize = size;
    if (outWritable != nullptr)
        *outWritable = writable;
    return kAudioHardwareNoError;
}

OSStatus HALSystem::getSystemProperty(AudioHardwarePropertyID property, UInt32* ioSize, void* outData)
{
    // An empty buffer may come without storage (the devices of a system that has none).
    if (ioSize == nullptr || (outData == nullptr && *ioSize != 0))
        return kAudioHardwareIllegalOperationError;
    AudioDeviceID value = kAudioDeviceUnknown;
    switch (property) {
    case kAudioHardwarePropertyDevices: {
        std::lock_guard<std::mutex> guard(m_lock);
        std::size_t count = std::min<std::size_t>(*ioSize / sizeof(AudioDeviceID), m_deviceOrder.size());
        if (count != 0)
            std::memcpy(outData, m_deviceOrder.data(), count * sizeof(AudioDeviceID));
        *ioSize = static_cast<UInt32>(count * sizeof(AudioDeviceID));
        return kAudioHardwareNoError;
    }
    case kAudioHardwarePropertyDeviceForUID:
        return translateUID(ioSize, outData);
    case kAudioHardwarePropertyDefaultInputDevice:
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultSystemOutputDevice: {
        std::lock_guard<std::mutex> guard(m_lock);
        value = property == kAudioHardwarePropertyDefaultInputDevice ? m_defaultInput
            : property == kAudioHardwarePropertyDefaultOutputDevice  ? m_defaultOutput
                                                                     : m_defaultSystemOutput;
        break;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
    if (*ioSize < sizeof value)
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(outData, &value, sizeof value);
    *ioSize = sizeof value;
    return kAudioHardwareNoError;
}

OSStatus HALSystem::setSystemProperty(AudioHardwarePropertyID property, UInt32 size, const void* data)
{
    switch (property) {
    case kAudioHardwarePropertyDefaultInputDevice:
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultSystemOutputDevice:
        break;
    case kAudioHardwarePropertyDevices:
    case kAudioHardwarePropertyDeviceForUID:
        return kAudioHardwareIllegalOperationError;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
    if (data == nullptr)
        return kAudioHardwareIllegalOperationError;
    if (size != sizeof(AudioDeviceID))
        return kAudioHardwareBadPropertySizeError;
    AudioDeviceID device;
    std::memcpy(&device, data, sizeof device);
    bool input = property == kAudioHardwarePropertyDefaultInputDevice;
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_devices.find(device);
    if (it == m_devices.end() || !it->second.alive)
        return kAudioHardwareBadDeviceError;
    if (!hasDirection(device, input ? Direction::Input : Direction::Output))
        return kAudioHardwareIllegalOperationError;
    AudioDeviceID& current = input ? m_defaultInput
        : property == kAudioHardwarePropertyDefaultOutputDevice ? m_defaultOutput
                                                                : m_defaultSystemOutput;
    if (current != device) {
        current = device;
        notifySystem(property);
    }
    return kAudioHardwareNoError;
}

OSStatus HALSystem::translateUID(UInt32* ioSize, void* data)
{
    AudioValueTranslation translation;
    if (data == nullptr || *ioSize < sizeof translation)
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(&translation, data, sizeof translation);
    if (translation.mInputData == nullptr || translation.mInputDataSize != sizeof(CFStringRef) ||
        translation.mOutputData == nullptr || translation.mOutputDataSize < sizeof(AudioDeviceID))
        return kAudioHardwareBadPropertySizeError;
    CFStringRef wanted;
    std::memcpy(&wanted, translation.mInputData, sizeof wanted);
    std::vector<HALRoute> devices;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (AudioDeviceID id : m_deviceOrder) {
            PlugInRecord* plugIn = findPlugIn(m_devices[id].owner);
            if (plugIn != nullptr)
                devices.push_back({HALRoute::Kind::Device, id, plugIn->ref, plugIn->interfaceVersion});
        }
    }
    AudioDeviceID found = kAudioDeviceUnknown;
    for (const HALRoute& device : devices) {
        if (wanted == nullptr)
            break;
        CFStringRef uid = nullptr;
        UInt32 size = sizeof uid;
        OSStatus status = callPlugIn(device.ref, device.interfaceVersion, &Interface::DeviceGetProperty,
                                     device.object, UInt32(0), Boolean(false), kAudioDevicePropertyDeviceUID,
                                     &size, static_cast<void*>(&uid));
        if (status != kAudioHardwareNoError || size != sizeof uid || uid == nullptr)
            continue;
        bool same = CFEqual(uid, wanted);
        CFRelease(uid); // the caller owns a string property it was given
        if (same) {
            found = device.object;
            break;
        }
    }
    std::memcpy(translation.mOutputData, &found, sizeof found);
    translation.mOutputDataSize = sizeof found;
    std::memcpy(data, &translation, sizeof translation);
    *ioSize = sizeof translation;
    return kAudioHardwareNoError;
}

// ---------------------------------------------------------------------------------------------
// Listeners

uint64_t HALSystem::addListener(const Listener& listener)
{
    Listener added = listener;
    added.serial = m_nextSerial++;
    m_listeners.push_back(added);
    return added.serial;
}

OSStatus HALSystem::addPropertyListener(AudioHardwarePropertyID property, AudioHardwarePropertyListenerProc proc,
                                        void* clientData)
{
    ensureLoaded();
    auto generic = reinterpret_cast<void (*)()>(proc);
    std::lock_guard<std::mutex> guard(m_lock);
    for (Listener& l : m_listeners) {
        if (l.kind == Listener::Kind::System && l.address.mSelector == property && l.proc == generic) {
            l.clientData = clientData;
            return kAudioHardwareNoError;
        }
    }
    Listener l;
    l.kind = Listener::Kind::System;
    l.object = kAudioObjectSystemObject;
    l.address = {property, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
    l.proc = generic;
    l.clientData = clientData;
    addListener(l);
    return kAudioHardwareNoError;
}

OSStatus HALSystem::removePropertyListener(AudioHardwarePropertyID property, AudioHardwarePropertyListenerProc proc)
{
    auto generic = reinterpret_cast<void (*)()>(proc);
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = std::find_if(m_listeners.begin(), m_listeners.end(), [&](const Listener& l) {
        return l.kind == Listener::Kind::System && l.address.mSelector == property && l.proc == generic;
    });
    if (it == m_listeners.end())
        return kAudioHardwareIllegalOperationError;
    m_listeners.erase(it);
    return kAudioHardwareNoError;
}

OSStatus HALSystem::addDeviceListener(AudioDeviceID device, UInt32 channel, Boolean isInput,
                                      AudioDevicePropertyID property, AudioDevicePropertyListenerProc proc,
                                      void* clientData)
{
    auto generic = reinterpret_cast<void (*)()>(proc);
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_devices.find(device);
    if (it == m_devices.end() || !it->second.alive)
        return kAudioHardwareBadDeviceError;
    UInt8 section = sectionOf(isInput);
    for (Listener& l : m_listeners) {
        if (l.kind == Listener::Kind::Device && l.object == device && l.address.mElement == channel &&
            l.section == section && l.address.mSelector == property && l.proc == generic) {
            l.clientData = clientData;
            return kAudioHardwareNoError;
        }
    }
    Listener l;
    l.kind = Listener::Kind::Device;
    l.object = device;
    l.section = section;
    l.address = {property, kAudioObjectPropertyScopeGlobal, channel};
    l.proc = generic;
    l.clientData = clientData;
    addListener(l);
    return kAudioHardwareNoError;
}

OSStatus HALSystem::removeDeviceListener(AudioDeviceID device, UInt32 channel, Boolean isInput,
                                         AudioDevicePropertyID property, AudioDevicePropertyListenerProc proc)
{
    auto generic = reinterpret_cast<void (*)()>(proc);
    std::lock_guard<std::mutex> guard(m_lock);
    auto dev = m_devices.find(device);
    if (dev == m_devices.end() || !dev->second.alive)
        return kAudioHardwareBadDeviceError;
    UInt8 section = sectionOf(isInput);
    auto it = std::find_if(m_listeners.begin(), m_listeners.end(), [&](const Listener& l) {
        return l.kind == Listener::Kind::Device && l.object == device && l.address.mElement == channel &&
            l.section == section && l.address.mSelector == property && l.proc == generic;
    });
    if (it == m_listeners.end())
        return kAudioHardwareIllegalOperationError;
    m_listeners.erase(it);
    return kAudioHardwareNoError;
}

OSStatus HALSystem::addStreamListener(AudioStreamID stream, UInt32 channel, AudioDevicePropertyID property,
                                      AudioStreamPropertyListenerProc proc, void* clientData)
{
    auto generic = reinterpret_cast<void (*)()>(proc);
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_streams.find(stream);
    if (it == m_streams.end() || !it->second.alive)
        return kAudioHardwareBadStreamError;
    for (Listener& l : m_listeners) {
        if (l.kind == Listener::Kind::Stream && l.object == stream && l.address.mElement == channel &&
            l.address.mSelector == property && l.proc == generic) {
            l.clientData = clientData;
            return kAudioHardwareNoError;
        }
    }
    Listener l;
    l.kind = Listener::Kind::Stream;
    l.object = stream;
    l.address = {property, kAudioObjectPropertyScopeGlobal, channel};
    l.proc = generic;
    l.clientData = clientData;
    addListener(l);
    return kAudioHardwareNoError;
}

OSStatus HALSystem::removeStreamListener(AudioStreamID stream, UInt32 channel, AudioDevicePropertyID property,
                                         AudioStreamPropertyListenerProc proc)
{
    auto generic = reinterpret_cast<void (*)()>(proc);
    std::lock_guard<std::mutex> guard(m_lock);
    auto s = m_streams.find(stream);
    if (s == m_streams.end() || !s->second.alive)
        return kAudioHardwareBadStreamError;
    auto it = std::find_if(m_listeners.begin(), m_listeners.end(), [&](const Listener& l) {
        return l.kind == Listener::Kind::Stream && l.object == stream && l.address.mElement == channel &&
            l.address.mSelector == property && l.proc == generic;
    });
    if (it == m_listeners.end())
        return kAudioHardwareIllegalOperationError;
    m_listeners.erase(it);
    return kAudioHardwareNoError;
}

OSStatus HALSystem::addObjectListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      AudioObjectPropertyListenerProc proc, void* clientData)
{
    HALRoute route;
    if (!this->route(object, route))
        return kAudioHardwareBadObjectError;
    auto generic = reinterpret_cast<void (*)()>(proc);
    std::lock_guard<std::mutex> guard(m_lock);
    for (const Listener& l : m_listeners) {
        if (l.kind == Listener::Kind::Object && l.object == object && sameAddress(l.address, address) &&
            l.proc == generic && l.clientData == clientData)
            return kAudioHardwareNoError;
    }
    Listener l;
    l.kind = Listener::Kind::Object;
    l.object = object;
    l.address = address;
    l.proc = generic;
    l.clientData = clientData;
    addListener(l);
    return kAudioHardwareNoError;
}

OSStatus HALSystem::removeObjectListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         AudioObjectPropertyListenerProc proc, void* clientData)
{
    HALRoute route;
    if (!this->route(object, route))
        return kAudioHardwareBadObjectError;
    auto generic = reinterpret_cast<void (*)()>(proc);
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = std::find_if(m_listeners.begin(), m_listeners.end(), [&](const Listener& l) {
        return l.kind == Listener::Kind::Object && l.object == object && sameAddress(l.address, address) &&
            l.proc == generic && l.clientData == clientData;
    });
    if (it == m_listeners.end())
        return kAudioHardwareIllegalOperationError;
    m_listeners.erase(it);
    return kAudioHardwareNoError;
}

// ---------------------------------------------------------------------------------------------
// Delivery, on the notification thread

void HALSystem::deliver(const HALNotice& notice)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (notice.kind == HALNotice::Kind::Forget) {
            std::erase_if(m_listeners, [&](const Listener& l) { return l.object == notice.object; });
            return;
        }
        const AudioObjectPropertyAddress changed = addressOf(notice);
        m_matching.clear();
        for (const Listener& l : m_listeners) {
            if (l.object != notice.object)
                continue;
            bool match = false;
            switch (l.kind) {
            case Listener::Kind::Object:
                match = addressMatches(l.address, changed);
                break;
            case Listener::Kind::System:
                match = notice.kind == HALNotice::Kind::System &&
                    (l.address.mSelector == kAudioPropertyWildcardPropertyID ||
                     l.address.mSelector == notice.property);
                break;
            case Listener::Kind::Device:
                match = notice.kind == HALNotice::Kind::Device &&
                    matchOrWildcard(l.address.mSelector, notice.property, kAudioPropertyWildcardPropertyID) &&
                    matchOrWildcard(l.address.mElement, notice.channel, kAudioPropertyWildcardChannel) &&
                    (l.section == kAudioPropertyWildcardSection ||
                     sectionOf(notice.isInput) == kAudioPropertyWildcardSection ||
                     l.section == sectionOf(notice.isInput));
                break;
            case Listener::Kind::Stream:
                match = notice.kind == HALNotice::Kind::Stream &&
                    matchOrWildcard(l.address.mSelector, notice.property, kAudioPropertyWildcardPropertyID) &&
                    matchOrWildcard(l.address.mElement, notice.channel, kAudioPropertyWildcardChannel);
                break;
            }
            if (match)
                m_matching.push_back(l);
        }
    }
    // A listener may add or remove listeners: each one is looked up again before it is called,
    // so one removed by an earlier listener is not called.
    for (std::size_t i = 0;; ++i) {
        Listener listener;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (i >= m_matching.size())
                break;
            uint64_t serial = m_matching[i].serial;
            auto it = std::find_if(m_listeners.begin(), m_listeners.end(),
                                   [serial](const Listener& l) { return l.serial == serial; });
            if (it == m_listeners.end())
                continue;
            listener = *it;
        }
        callListener(listener, notice);
    }
}

void HALSystem::callListener(const Listener& listener, const HALNotice& notice)
{
    switch (listener.kind) {
    case Listener::Kind::System:
        reinterpret_cast<AudioHardwarePropertyListenerProc>(listener.proc)(notice.property, listener.clientData);
        break;
    case Listener::Kind::Device:
        reinterpret_cast<AudioDevicePropertyListenerProc>(listener.proc)(
            notice.object, notice.channel, notice.isInput, notice.property, listener.clientData);
        break;
    case Listener::Kind::Stream:
        reinterpret_cast<AudioStreamPropertyListenerProc>(listener.proc)(notice.object, notice.channel,
                                                                         notice.property, listener.clientData);
        break;
    case Listener::Kind::Object: {
        const AudioObjectPropertyAddress changed = addressOf(notice);
        reinterpret_cast<AudioObjectPropertyListenerProc>(listener.proc)(notice.object, 1, &changed,
                                                                         listener.clientData);
        break;
    }
    }
}
