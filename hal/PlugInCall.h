#pragma once
// Calling a plug-in's table entry safely: a table is only as long as the interface the plug-in
// answered, and a plug-in may leave entries it does not offer empty.
#include <CoreAudio/AudioHardwarePlugIn.h>

#include <cstddef>

// The oldest interface that has the entry at `offset` in the table.
constexpr int interfaceVersionOfEntry(std::size_t offset)
{
    if (offset <= offsetof(AudioHardwarePlugInInterface, StreamSetProperty))
        return 1;
    if (offset <= offsetof(AudioHardwarePlugInInterface, DeviceGetNearestStartTime))
        return 2;
    if (offset <= offsetof(AudioHardwarePlugInInterface, ObjectSetPropertyData))
        return 3;
    return 4;
}

// The entry, or null when the plug-in's interface is older than it or left it empty.
template <typename Entry>
Entry plugInEntry(AudioHardwarePlugInRef ref, int interfaceVersion,
                  Entry AudioHardwarePlugInInterface::*member)
{
    static const AudioHardwarePlugInInterface layout{};
    auto offset = static_cast<std::size_t>(reinterpret_cast<const char*>(&(layout.*member)) -
                                           reinterpret_cast<const char*>(&layout));
    if (ref == nullptr || *ref == nullptr || interfaceVersionOfEntry(offset) > interfaceVersion)
        return nullptr;
    return (*ref)->*member;
}

// Calls the entry; kAudioHardwareUnsupportedOperationError when there is none.
template <typename Entry, typename... Args>
OSStatus callPlugIn(AudioHardwarePlugInRef ref, int interfaceVersion,
                    Entry AudioHardwarePlugInInterface::*member, Args... args)
{
    Entry entry = plugInEntry(ref, interfaceVersion, member);
    if (entry == nullptr)
        return kAudioHardwareUnsupportedOperationError;
    return entry(ref, args...);
}
