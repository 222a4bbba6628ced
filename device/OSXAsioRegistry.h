#pragma once
#include <MacTypes.h>

#include "device/VkAjExtData.h"
#include "foundation/XML.h"
#include "foundation/ZmString.h"

// Opens the file `name` in the Preferences folder: read-only, or for reading and writing with
// `write`. With `create`, a missing file is created empty first. The data fork's reference
// (close it with FSCloseFork), or -1 when no file could be opened.
SInt16 getStorageFile(const ZmString& name, bool create, bool write);

// The settings file, read once into memory. Changes made in memory are never written back.
class OSXAsioRegistry : public XML::Doc {
public:
    // The file is read in pieces of this size; each piece ends at its first NUL byte.
    static constexpr long kChunkSize = 1024;
    // The settings file comes from outside: bytes beyond this are not read.
    static constexpr long kMaxFileSize = 1L << 20;

    // Reads `name` + ".xml", creating the file empty when it is missing. Whatever cannot be
    // read leaves an empty document; a top-level "Settings" element always exists afterwards.
    explicit OSXAsioRegistry(const char* name);
    ~OSXAsioRegistry() override;

    const ZmString& getFileName() const { return m_sFileName; }

    // The child `name` of "Settings" (ignoring ASCII case); made empty when missing and
    // `create`, else null.
    XML::Node* getSettingNode(const char* name, bool create);
    // Defaults, then the "AjExt" attributes of the file, then the range checks.
    void loadAjExt(VkAjExtData& data);

    // Codec register values per (group, index), as attributes "Reg_<group>_<index>" of the
    // "Codec" element. Registers are 16-bit: a value beyond that (from the file) is not one.
    bool getCodecRegister(unsigned long group, unsigned long index, unsigned long& value);
    void setCodecRegister(unsigned long group, unsigned long index, unsigned long value);

private:
    ZmString m_sFileName;
};
