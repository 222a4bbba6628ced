#include "device/OSXAsioRegistry.h"

#include <Carbon/Carbon.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr OSType kCreatorText = 0x74747874; // "ttxt"
constexpr OSType kTypeText = 0x54455854;    // "TEXT"

// Attribute values are unsigned long (64 bits here); the record's fields are 32-bit. A value
// too big for them saturates, as it would on a 32-bit system, so that validate() sees it as
// out of range instead of seeing whatever its low word happens to be.
uint32_t readField(XML::Node& node, const char* name)
{
    unsigned long value = 0;
    node.getAttributeValue(name, value, 0UL);
    return value > UINT32_MAX ? UINT32_MAX : uint32_t(value);
}

ZmString codecKey(unsigned long group, unsigned long index)
{
    ZmString key;
    key.printf("Reg_%lu_%lu", group, index);
    return key;
}

} // namespace

SInt16 getStorageFile(const ZmString& name, bool create, bool write)
{
    Str255 fileName;
    name.toStr255(fileName);

    FSVolumeRefNum volume = 0;
    SInt32 folder = 0;
    FSSpec file{};
    OSErr lookupErr =
        FindFolder(kOnSystemDisk, kPreferencesFolderType, kDontCreateFolder, &volume, &folder);
    const bool haveFolder = lookupErr == noErr;
    if (haveFolder)
        lookupErr = FSMakeFSSpec(volume, folder, fileName, &file);

    const SInt8 permission = write ? fsRdWrPerm : fsRdPerm;
    FSIORefNum ref = -1;
    if (haveFolder && lookupErr == noErr && FSpOpenDF(&file, permission, &ref) != noErr)
        ref = -1;

    // The FSSpec is only filled for a missing file (fnfErr); anything else has nothing
    // to create.
    if (ref == -1 && create && haveFolder && lookupErr == fnfErr) {
        OSErr err = FSpCreate(&file, kCreatorText, kTypeText, smSystemScript);
        if ((err == noErr || err == fnfErr) && FSpOpenDF(&file, permission, &ref) != noErr)
            ref = -1;
    }
    return ref;
}

OSXAsioRegistry::OSXAsioRegistry(const char* name)
    : m_sFileName(name)
{
    m_sFileName += ".xml";

    std::string text;
    SInt16 ref = name != nullptr && name[0] != '\0' ? getStorageFile(m_sFileName, true, false) : -1;
    if (ref != -1) {
        char chunk[kChunkSize + 1];
        long total = 0;
        while (total < kMaxFileSize) {
            const long left = kMaxFileSize - total;
            const ByteCount wanted = ByteCount(left < kChunkSize ? left : kChunkSize);
            ByteCount got = 0;
            FSReadFork(ref, fsAtMark, 0, wanted, chunk, &got);
            if (got == 0 || got > wanted)
                break;
            chunk[got] = '\0';
            text.append(chunk, std::strlen(chunk)); // a NUL byte ends this chunk's text
            total += long(got);
        }
        FSCloseFork(ref);
    }

    load(ZmString(text.c_str()));
    getOrCreateNode("Settings");
}

OSXAsioRegistry::~OSXAsioRegistry() = default;

XML::Node* OSXAsioRegistry::getSettingNode(const char* name, bool create)
{
    if (name == nullptr)
        return nullptr;
    XML::Node* settings = getOrCreateNode("Settings");
    if (settings == nullptr)
        return nullptr;
    XML::Node* node = settings->getNode(name);
    if (node == nullptr && create)
        node = settings->addNode(name);
    return node;
}

void OSXAsioRegistry::loadAjExt(VkAjExtData& data)
{
    data.setDefaults();
    if (XML::Node* ajExt = getSettingNode("AjExt", true)) {
        data.iClockSource = readField(*ajExt, "ClockSource");
        data.iUSB1Mode = readField(*ajExt, "USB1Mode");
        data.iDigitalOutMode = readField(*ajExt, "DigitalOutMode");
        data.iDigitalOutSel = readField(*ajExt, "DigitalOutSel");
    }
    data.validate();
}

bool OSXAsioRegistry::getCodecRegister(unsigned long group, unsigned long index, unsigned long& value)
{
    XML::Node* codec = getSettingNode("Codec", false);
    XML::Attribute* held = codec != nullptr ? codec->getAttribute(codecKey(group, index), false) : nullptr;
    if (held == nullptr)
        return false;
    const unsigned long stored = held->getValueULong();
    if (stored > 0xFFFF)
        return false;
    value = stored;
    return true;
}

void OSXAsioRegistry::setCodecRegister(unsigned long group, unsigned long index, unsigned long value)
{
    if (XML::Node* codec = getSettingNode("Codec", true))
        if (XML::Attribute* held = codec->getAttribute(codecKey(group, index), true))
            held->setValue(value);
}
