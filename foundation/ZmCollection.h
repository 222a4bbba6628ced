#pragma once
#include <cstdint>

#include "foundation/ZmObject.h"

// Ordered, growable array of ZmObject pointers holding one reference per item. Items are
// looked up by address or position; the collection has no lock of its own.
class ZmCollection : public ZmObject {
public:
    ZmCollection();
    ZmCollection(const ZmCollection&) = delete;
    ZmCollection& operator=(const ZmCollection&) = delete;
    ~ZmCollection() override;

    virtual long count() const;
    virtual void reset();
    virtual bool add(ZmObject* item);
    virtual void remove(ZmObject* item);
    virtual void removeAll();
    virtual long findIndex(ZmObject* item);
    virtual ZmObject* find(ZmObject* item);
    virtual bool findSame(ZmObject* item);
    virtual long findSameIndex(ZmObject* item);

    ZmObject* atPos(long index) const;
    void forEach(int command, long argument);
    void expand(long wanted);
    int32_t getCapacity() const { return m_iCapacity; }

    // Largest count at which a full collection may still grow (so it holds at most 40960).
    static constexpr int32_t kMaxGrowCount = 0x7FFE;

private:
    int32_t m_iCapacity;
    int32_t m_iCount;
    ZmObject** m_pItems;
};
