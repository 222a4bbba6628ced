// UUIDs: sixteen bytes compared by value. Constant UUIDs are interned and never freed.
#include "CFInternal.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

struct __CFUUID : cf::Object {
    CFUUIDBytes bytes;

    __CFUUID(const CFUUIDBytes& b, bool immortal) : Object(&cf::uuidClass, immortal), bytes(b) {}
};

namespace cf {

namespace {

static_assert(sizeof(CFUUIDBytes) == 16, "CFUUIDBytes is sixteen bytes");

using Key = std::array<UInt8, 16>;

Key keyOf(const CFUUIDBytes& bytes)
{
    Key key;
    std::memcpy(key.data(), &bytes, key.size());
    return key;
}

void finalizeUUID(Object* object) { deleteAs<__CFUUID>(object); }

bool equalUUIDs(const Object* a, const Object* b)
{
    return std::memcmp(&static_cast<const __CFUUID*>(a)->bytes, &static_cast<const __CFUUID*>(b)->bytes,
                       sizeof(CFUUIDBytes)) == 0;
}

CFHashCode hashUUID(const Object* object)
{
    return hashBytes(&static_cast<const __CFUUID*>(object)->bytes, sizeof(CFUUIDBytes));
}

std::string text(const CFUUIDBytes& b)
{
    char out[37];
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  b.byte0, b.byte1, b.byte2, b.byte3, b.byte4, b.byte5, b.byte6, b.byte7, b.byte8,
                  b.byte9, b.byte10, b.byte11, b.byte12, b.byte13, b.byte14, b.byte15);
    return out;
}

std::string describeUUID(const Object* object)
{
    return addressTag("CFUUID", object) + " " + text(static_cast<const __CFUUID*>(object)->bytes);
}

int hexValue(char16_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse(std::u16string_view s, CFUUIDBytes& out)
{
    if (s.size() == 38 && s.front() == u'{' && s.back() == u'}')
        s = s.substr(1, 36);
    if (s.size() != 36)
        return false;
    UInt8 bytes[16];
    size_t pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
            if (s[pos] != u'-')
                return false;
            ++pos;
        }
        int high = hexValue(s[pos]);
        int low = hexValue(s[pos + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<UInt8>(high << 4 | low);
        pos += 2;
    }
    std::memcpy(&out, bytes, sizeof bytes);
    return true;
}

CFUUIDBytes makeBytes(UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7,
                      UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15)
{
    return CFUUIDBytes{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
}

} // namespace

const Class uuidClass = {kUUIDTypeID, "CFUUID", finalizeUUID, equalUUIDs, hashUUID, describeUUID};

} // namespace cf

CFTypeID CFUUIDGetTypeID(void) { return cf::kUUIDTypeID; }

CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8,
                                UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                UInt8 byte14, UInt8 byte15)
{
    return new __CFUUID(cf::makeBytes(byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7, byte8,
                                      byte9, byte10, byte11, byte12, byte13, byte14, byte15),
                        false);
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) { return new __CFUUID(bytes, false); }

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef, CFStringRef uuidStr)
{
    CFUUIDBytes bytes;
    if (CFGetTypeID(uuidStr) != cf::kStringTypeID || !cf::parse(cf::stringChars(uuidStr), bytes))
        return nullptr;
    return new __CFUUID(bytes, false);
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid)
{
    const auto* u = cf::as<const __CFUUID>(uuid, cf::uuidClass);
    if (u == nullptr)
        return nullptr;
    return CFStringCreateWithCString(nullptr, cf::text(u->bytes).c_str(), kCFStringEncodingASCII);
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6,
                                         UInt8 byte7, UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                         UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15)
{
    struct Table {
        std::mutex lock;
        std::map<cf::Key, CFUUIDRef> byBytes;
    };
    // Never destroyed: constant UUIDs stay valid through static destruction.
    static Table* table = new Table;
    CFUUIDBytes bytes = cf::makeBytes(byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7, byte8,
                                      byte9, byte10, byte11, byte12, byte13, byte14, byte15);
    std::lock_guard<std::mutex> guard(table->lock);
    auto [entry, inserted] = table->byBytes.try_emplace(cf::keyOf(bytes), nullptr);
    if (inserted)
        entry->second = new __CFUUID(bytes, true);
    return entry->second;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid)
{
    const auto* u = cf::as<const __CFUUID>(uuid, cf::uuidClass);
    return u == nullptr ? CFUUIDBytes{} : u->bytes;
}
