#pragma once
#include <atomic>
#include <cstdint>

class PropertyItem;

// Told when one of its PropertyItems changes.
class PropertyItemHost {
public:
    virtual ~PropertyItemHost() = default;
    virtual void onPropertyChanged(PropertyItem* item) = 0;
};

// Kinds of value a PropertyItem holds; only 32-bit unsigned values are in use.
enum EPropType : uint32_t {
    kPropUInt32 = 0,
};

// A 32-bit value that tells its host when it changes. The I/O thread reads values that HAL
// threads set, so the value is atomic.
class PropertyItem {
public:
    PropertyItem(PropertyItemHost* host, EPropType type = kPropUInt32) : m_pHost(host), m_eType(type) {}
    PropertyItem(const PropertyItem&) = delete;
    PropertyItem& operator=(const PropertyItem&) = delete;

    // False when `v` is the value already held (nobody is told) or the type is not 32-bit;
    // otherwise stores it, tells the host when `notify` is set, and answers true.
    bool set(uint32_t v, bool notify);
    uint32_t getUInt32() const;
    EPropType getType() const { return m_eType; }

private:
    PropertyItemHost* m_pHost;
    EPropType m_eType;
    std::atomic<uint32_t> m_iValue{0};
};
