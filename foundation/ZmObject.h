#pragma once
#include <atomic>
#include <cstdint>

// Root of the library's classes: an intrusively reference-counted, comparable object.
// A new object has count 0; whoever adds the first reference shares ownership from then on.
class ZmObject {
public:
    ZmObject() = default;
    ZmObject(const ZmObject&) : m_iReferences(0) {}
    ZmObject& operator=(const ZmObject&) { return *this; } // the count belongs to the object

    virtual int32_t compare(const ZmObject& other) const;
    virtual void onCommand(long command, long argument);
    virtual ~ZmObject();
    virtual bool isEqual(const ZmObject& other) const;

    void incReferences();
    // Deletes the object when the count reaches 0.
    void decReferences();
    int32_t getReferences() const { return m_iReferences.load(std::memory_order_acquire); }

    bool operator==(const ZmObject& other) const { return isEqual(other); }

private:
    std::atomic<int32_t> m_iReferences{0};
};
