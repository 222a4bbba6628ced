#pragma once
// Private to the CoreFoundation stand-in: the object header every CF object starts with, the
// class record behind CFGetTypeID, CFEqual, CFHash and CFShow, and helpers shared by the types.
#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <string>
#include <string_view>

namespace cf {

enum TypeID : CFTypeID {
    kStringTypeID = 1,
    kDictionaryTypeID,
    kNumberTypeID, // kept free so the other type IDs stay as they were
    kUUIDTypeID,
    kURLTypeID,
    kRunLoopTypeID,
    kRunLoopSourceTypeID,
    kRunLoopTimerTypeID,
    kTypeIDCount
};

struct Object;

struct Class {
    CFTypeID typeID;
    const char* name;
    void (*finalize)(Object* object);                // frees the object
    bool (*equal)(const Object* a, const Object* b); // NULL: identity
    CFHashCode (*hash)(const Object* object);        // NULL: the address
    std::string (*describe)(const Object* object);   // NULL: "<Name 0x...>"
};

// Every CF object derives from Object (single, non-virtual inheritance, so the header sits at
// the object's address and a CFTypeRef converts to it directly).
struct Object {
    const Class* cfClass;
    std::atomic<CFIndex> retainCount;
    bool immortal;

    constexpr Object(const Class* c, bool isImmortal) : cfClass(c), retainCount(1), immortal(isImmortal) {}
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
};

inline const Object* header(CFTypeRef cf) { return static_cast<const Object*>(cf); }

// The object as T when it is of `cls`, NULL otherwise: every entry point checks its arguments,
// so a NULL reference or a CF object of another type is refused rather than misread.
template <class T>
T* as(CFTypeRef cf, const Class& cls)
{
    const Object* object = header(cf);
    if (object == nullptr || object->cfClass != &cls)
        return nullptr;
    return const_cast<T*>(static_cast<const T*>(object));
}

template <class T>
void deleteAs(Object* object)
{
    delete static_cast<T*>(object);
}

// CFRetain for an object that may concurrently be on its way to being freed: succeeds only
// while the count is above zero.
bool tryRetain(CFTypeRef cf);

std::string describe(CFTypeRef cf);
std::string addressTag(const char* name, const void* object);
CFHashCode hashBytes(const void* data, size_t length);

// The class of each type, defined beside the type.
extern const Class stringClass;
extern const Class dictionaryClass;
extern const Class uuidClass;
extern const Class urlClass;
extern const Class runLoopClass;
extern const Class runLoopSourceClass;
extern const Class runLoopTimerClass;

// Strings.
CFStringRef makeString(std::u16string_view chars);
std::u16string_view stringChars(CFStringRef string);
// UTF-8 bytes of the string (lone surrogates become U+FFFD).
std::string toUTF8(CFStringRef string);
// UTF-8 bytes of the string; false when it holds a lone surrogate.
bool toUTF8Strict(CFStringRef string, std::string& out);
// Decodes `bytes`; false when they are not valid in `encoding`.
bool decode(std::string_view bytes, CFStringEncoding encoding, std::u16string& out);
bool decodeUTF8(std::string_view bytes, std::u16string& out);

} // namespace cf

// A string: UTF-16 units, plus the same text as NUL-terminated ASCII when it is pure ASCII (what
// CFStringGetCStringPtr hands out). Constant strings point at static storage and are never
// freed; the others own both arrays.
struct __CFString : cf::Object {
    const char16_t* chars;
    CFIndex length;
    const char* ascii;

    constexpr __CFString(const char16_t* c, CFIndex n, const char* a, bool immortal)
        : Object(&cf::stringClass, immortal), chars(c), length(n), ascii(a)
    {
    }
};
