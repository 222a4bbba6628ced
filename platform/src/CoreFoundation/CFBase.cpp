// The calls every CF object answers, dispatched through its class record.
#include "CFInternal.h"

#include <climits>
#include <cstdio>

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = nullptr;

namespace cf {

namespace {

const Class* const kClasses[kTypeIDCount] = {
    nullptr,           &stringClass,  &dictionaryClass,    nullptr,        &uuidClass,
    &urlClass,         &runLoopClass, &runLoopSourceClass, &runLoopTimerClass,
};

} // namespace

bool tryRetain(CFTypeRef cf)
{
    const Object* object = header(cf);
    if (object == nullptr)
        return false;
    if (object->immortal)
        return true;
    auto& count = const_cast<Object*>(object)->retainCount;
    CFIndex current = count.load(std::memory_order_relaxed);
    while (current > 0) {
        if (count.compare_exchange_weak(current, current + 1, std::memory_order_relaxed))
            return true;
    }
    return false;
}

std::string addressTag(const char* name, const void* object)
{
    char text[96];
    std::snprintf(text, sizeof text, "<%s %p>", name, object);
    return text;
}

std::string describe(CFTypeRef cf)
{
    const Object* object = header(cf);
    if (object == nullptr)
        return "(null)";
    if (object->cfClass->describe != nullptr)
        return object->cfClass->describe(object);
    return addressTag(object->cfClass->name, object);
}

CFHashCode hashBytes(const void* data, size_t length)
{
    // FNV-1a: cheap and good enough for the small tables CF objects land in.
    const auto* bytes = static_cast<const unsigned char*>(data);
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ull;
    }
    return static_cast<CFHashCode>(hash);
}

} // namespace cf

using cf::header;
using cf::Object;

CFTypeRef CFRetain(CFTypeRef cf)
{
    const Object* object = header(cf);
    if (object != nullptr && !object->immortal)
        const_cast<Object*>(object)->retainCount.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf)
{
    Object* object = const_cast<Object*>(header(cf));
    if (object == nullptr || object->immortal)
        return;
    if (object->retainCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        object->cfClass->finalize(object);
}

CFIndex CFGetRetainCount(CFTypeRef cf)
{
    const Object* object = header(cf);
    if (object == nullptr)
        return 0;
    if (object->immortal)
        return LONG_MAX;
    return object->retainCount.load(std::memory_order_relaxed);
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2)
{
    const Object* a = header(cf1);
    const Object* b = header(cf2);
    if (a == nullptr || b == nullptr)
        return false;
    if (a == b)
        return true;
    if (a->cfClass != b->cfClass || a->cfClass->equal == nullptr)
        return false;
    return a->cfClass->equal(a, b);
}

CFHashCode CFHash(CFTypeRef cf)
{
    const Object* object = header(cf);
    if (object == nullptr)
        return 0;
    if (object->cfClass->hash == nullptr)
        return static_cast<CFHashCode>(reinterpret_cast<uintptr_t>(object));
    return object->cfClass->hash(object);
}

CFTypeID CFGetTypeID(CFTypeRef cf)
{
    const Object* object = header(cf);
    return object == nullptr ? 0 : object->cfClass->typeID;
}

CFStringRef CFCopyDescription(CFTypeRef cf)
{
    if (cf == nullptr)
        return nullptr;
    if (CFGetTypeID(cf) == cf::kStringTypeID)
        return static_cast<CFStringRef>(CFRetain(cf));
    std::u16string chars;
    if (!cf::decodeUTF8(cf::describe(cf), chars))
        return nullptr;
    return cf::makeString(chars);
}

CFStringRef CFCopyTypeIDDescription(CFTypeID typeID)
{
    if (typeID == 0 || typeID >= cf::kTypeIDCount)
        return nullptr;
    return CFStringCreateWithCString(nullptr, cf::kClasses[typeID]->name, kCFStringEncodingASCII);
}

void CFShow(CFTypeRef obj)
{
    std::string text = CFGetTypeID(obj) == cf::kStringTypeID
        ? cf::toUTF8(static_cast<CFStringRef>(obj))
        : cf::describe(obj);
    std::fprintf(stderr, "%s\n", text.c_str());
}
