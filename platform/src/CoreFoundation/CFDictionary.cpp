// Dictionaries: a flat array of entries with cached key hashes. The suite's dictionaries hold
// a handful of keys (IOKit matching), so a linear scan beats a hash table here.
#include "CFInternal.h"

#include <cstdio>
#include <vector>

namespace {

const void* retainType(CFAllocatorRef, const void* value) { return CFRetain(value); }
void releaseType(CFAllocatorRef, const void* value) { CFRelease(value); }
Boolean equalType(const void* a, const void* b) { return CFEqual(a, b); }
CFHashCode hashType(const void* value) { return CFHash(value); }
CFStringRef describeType(const void* value) { return CFCopyDescription(value); }

const void* copyStringKey(CFAllocatorRef allocator, const void* value)
{
    if (CFGetTypeID(value) == cf::kStringTypeID)
        return CFStringCreateCopy(allocator, static_cast<CFStringRef>(value));
    return CFRetain(value);
}

} // namespace

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, retainType, releaseType, describeType, equalType, hashType};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, copyStringKey, releaseType, describeType, equalType, hashType};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {
    0, retainType, releaseType, describeType, equalType};

struct __CFDictionary : cf::Object {
    struct Entry {
        const void* key;
        const void* value;
        CFHashCode hash;
    };

    bool isMutable;
    CFDictionaryKeyCallBacks keyCallBacks{};
    CFDictionaryValueCallBacks valueCallBacks{};
    std::vector<Entry> entries;

    __CFDictionary(bool mutableDictionary, const CFDictionaryKeyCallBacks* keys,
                   const CFDictionaryValueCallBacks* values)
        : Object(&cf::dictionaryClass, false), isMutable(mutableDictionary)
    {
        if (keys != nullptr)
            keyCallBacks = *keys;
        if (values != nullptr)
            valueCallBacks = *values;
    }

    CFHashCode hashOf(const void* key) const
    {
        return keyCallBacks.hash != nullptr ? keyCallBacks.hash(key)
                                            : static_cast<CFHashCode>(reinterpret_cast<uintptr_t>(key));
    }

    bool sameKey(const void* a, const void* b) const
    {
        return a == b || (keyCallBacks.equal != nullptr && keyCallBacks.equal(a, b));
    }

    bool sameValue(const void* a, const void* b) const
    {
        return a == b || (valueCallBacks.equal != nullptr && valueCallBacks.equal(a, b));
    }

    size_t indexOf(const void* key) const
    {
        CFHashCode hash = hashOf(key);
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].hash == hash && sameKey(entries[i].key, key))
                return i;
        }
        return entries.size();
    }

    std::vector<Entry>::iterator find(const void* key) { return entries.begin() + indexOf(key); }
    std::vector<Entry>::const_iterator find(const void* key) const { return entries.begin() + indexOf(key); }

    const void* retainKey(const void* key) const
    {
        return keyCallBacks.retain != nullptr ? keyCallBacks.retain(nullptr, key) : key;
    }

    const void* retainValue(const void* value) const
    {
        return valueCallBacks.retain != nullptr ? valueCallBacks.retain(nullptr, value) : value;
    }

    void releaseKey(const void* key) const
    {
        if (keyCallBacks.release != nullptr)
            keyCallBacks.release(nullptr, key);
    }

    void releaseValue(const void* value) const
    {
        if (valueCallBacks.release != nullptr)
            valueCallBacks.release(nullptr, value);
    }

    void add(const void* key, const void* value)
    {
        const void* storedKey = retainKey(key);
        entries.push_back({storedKey, retainValue(value), hashOf(storedKey)});
    }

    // Replaces the value of an existing entry; the new value is retained before the old one is
    // released, in case they are the same object.
    void replace(Entry& entry, const void* value)
    {
        const void* old = entry.value;
        entry.value = retainValue(value);
        releaseValue(old);
    }

    void clear()
    {
        // Emptied before releasing, so a release call-back sees a consistent dictionary.
        std::vector<Entry> old;
        old.swap(entries);
        for (const Entry& e : old) {
            releaseKey(e.key);
            releaseValue(e.value);
        }
    }
};

namespace cf {

namespace {

void finalizeDictionary(Object* object)
{
    auto* dictionary = static_cast<__CFDictionary*>(object);
    dictionary->clear();
    delete dictionary;
}

bool equalDictionaries(const Object* a, const Object* b)
{
    auto* x = static_cast<const __CFDictionary*>(a);
    auto* y = static_cast<const __CFDictionary*>(b);
    if (x->entries.size() != y->entries.size())
        return false;
    for (const auto& entry : x->entries) {
        auto other = y->find(entry.key);
        if (other == y->entries.end() || !x->sameValue(entry.value, other->value))
            return false;
    }
    return true;
}

CFHashCode hashDictionary(const Object* object)
{
    return static_cast<const __CFDictionary*>(object)->entries.size();
}

std::string describeItem(CFDictionaryCopyDescriptionCallBack copyDescription, const void* item)
{
    if (copyDescription == nullptr) {
        char text[32];
        std::snprintf(text, sizeof text, "<%p>", item);
        return text;
    }
    CFStringRef description = copyDescription(item);
    std::string text = description != nullptr ? toUTF8(description) : "(null)";
    CFRelease(description);
    return text;
}

std::string describeDictionary(const Object* object)
{
    auto* dictionary = static_cast<const __CFDictionary*>(object);
    std::string text = addressTag("CFDictionary", object);
    text += "{type = ";
    text += dictionary->isMutable ? "mutable" : "immutable";
    text += ", count = " + std::to_string(dictionary->entries.size()) + ", entries =>\n";
    size_t index = 0;
    for (const auto& entry : dictionary->entries) {
        text += "\t" + std::to_string(index++) + " : ";
        text += describeItem(dictionary->keyCallBacks.copyDescription, entry.key);
        text += " = ";
        text += describeItem(dictionary->valueCallBacks.copyDescription, entry.value);
        text += "\n";
    }
    return text + "}";
}

} // namespace

const Class dictionaryClass = {kDictionaryTypeID, "CFDictionary", finalizeDictionary,
                               equalDictionaries, hashDictionary, describeDictionary};

} // namespace cf

namespace {

__CFDictionary* dictionary(CFDictionaryRef theDict)
{
    return cf::as<__CFDictionary>(theDict, cf::dictionaryClass);
}

__CFDictionary* mutableDictionary(CFMutableDictionaryRef theDict)
{
    __CFDictionary* d = dictionary(theDict);
    return d != nullptr && d->isMutable ? d : nullptr;
}

} // namespace

CFTypeID CFDictionaryGetTypeID(void) { return cf::kDictionaryTypeID; }

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks)
{
    return new __CFDictionary(true, keyCallBacks, valueCallBacks);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict)
{
    const __CFDictionary* d = dictionary(theDict);
    return d == nullptr ? 0 : static_cast<CFIndex>(d->entries.size());
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key)
{
    const void* value = nullptr;
    CFDictionaryGetValueIfPresent(theDict, key, &value);
    return value;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key, const void** value)
{
    __CFDictionary* d = dictionary(theDict);
    if (d == nullptr)
        return false;
    auto found = d->find(key);
    if (found == d->entries.end())
        return false;
    if (value != nullptr)
        *value = found->value;
    return true;
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value)
{
    __CFDictionary* d = mutableDictionary(theDict);
    if (d == nullptr)
        return;
    auto found = d->find(key);
    if (found != d->entries.end())
        d->replace(*found, value);
    else
        d->add(key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key)
{
    __CFDictionary* d = mutableDictionary(theDict);
    if (d == nullptr)
        return;
    auto found = d->find(key);
    if (found == d->entries.end())
        return;
    __CFDictionary::Entry removed = *found;
    d->entries.erase(found);
    d->releaseKey(removed.key);
    d->releaseValue(removed.value);
}

