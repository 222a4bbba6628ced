// Per-factory instance counts: a plug-in stays in use while one of its factories has live
// instances.
#include "CFPlugInPrivate.h"

#include <array>
#include <cstring>
#include <map>
#include <mutex>

namespace {

using Key = std::array<UInt8, 16>;

struct InstanceTable {
    std::mutex lock;
    std::map<Key, CFIndex> counts;
};

InstanceTable& table()
{
    // Never destroyed: instances may be removed from static destructors.
    static InstanceTable* instance = new InstanceTable;
    return *instance;
}

bool keyOf(CFUUIDRef factoryID, Key& key)
{
    if (CFGetTypeID(factoryID) != CFUUIDGetTypeID())
        return false;
    CFUUIDBytes bytes = CFUUIDGetUUIDBytes(factoryID);
    std::memcpy(key.data(), &bytes, key.size());
    return true;
}

} // namespace

void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID)
{
    Key key;
    if (!keyOf(factoryID, key))
        return;
    InstanceTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    ++t.counts[key];
}

void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID)
{
    Key key;
    if (!keyOf(factoryID, key))
        return;
    InstanceTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto found = t.counts.find(key);
    if (found == t.counts.end())
        return;
    if (--found->second == 0)
        t.counts.erase(found);
}

CFIndex _CFPlugInInstanceCount(CFUUIDRef factoryID)
{
    Key key;
    if (!keyOf(factoryID, key))
        return 0;
    InstanceTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto found = t.counts.find(key);
    return found == t.counts.end() ? 0 : found->second;
}
