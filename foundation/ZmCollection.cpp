#include "foundation/ZmCollection.h"

#include <cstring>

ZmCollection::ZmCollection()
    : m_iCapacity(5), m_iCount(0), m_pItems(new ZmObject*[5]())
{
}

ZmCollection::~ZmCollection()
{
    removeAll();
    delete[] m_pItems;
}

long ZmCollection::count() const
{
    return m_iCount;
}

void ZmCollection::reset() {}

bool ZmCollection::add(ZmObject* item)
{
    if (item == nullptr)
        return false;
    if (m_iCount == m_iCapacity) {
        if (m_iCount > kMaxGrowCount)
            return false;
        expand(2L * m_iCount);
    }
    m_pItems[m_iCount++] = item;
    item->incReferences();
    return true;
}

void ZmCollection::remove(ZmObject* item)
{
    long index = findSameIndex(item);
    if (index < 0)
        return;
    // Take the item out before releasing it: its destructor may look at this collection.
    std::memmove(m_pItems + index, m_pItems + index + 1, sizeof(ZmObject*) * size_t(m_iCount - index - 1));
    m_pItems[--m_iCount] = nullptr;
    item->decReferences();
}

void ZmCollection::removeAll()
{
    for (int32_t i = 0; i < m_iCount; ++i) {
        ZmObject* item = m_pItems[i];
        m_pItems[i] = nullptr;
        item->decReferences();
    }
    m_iCount = 0;
}

long ZmCollection::findIndex(ZmObject* item)
{
    if (item == nullptr)
        return -1;
    for (int32_t i = 0; i < m_iCount; ++i)
        if (m_pItems[i]->isEqual(*item))
            return i;
    return -1;
}

ZmObject* ZmCollection::find(ZmObject* item)
{
    return atPos(findIndex(item));
}

bool ZmCollection::findSame(ZmObject* item)
{
    return findSameIndex(item) >= 0;
}

long ZmCollection::findSameIndex(ZmObject* item)
{
    if (item == nullptr)
        return -1;
    for (int32_t i = 0; i < m_iCount; ++i)
        if (m_pItems[i] == item)
            return i;
    return -1;
}

ZmObject* ZmCollection::atPos(long index) const
{
    if (index < 0 || index >= m_iCount)
        return nullptr;
    return m_pItems[index];
}

void ZmCollection::forEach(int command, long argument)
{
    for (int32_t i = 0; i < m_iCount; ++i)
        if (m_pItems[i] != nullptr)
            m_pItems[i]->onCommand(command, argument);
}

void ZmCollection::expand(long wanted)
{
    long capacity = (wanted != 0 && wanted > m_iCapacity) ? wanted : long(m_iCapacity) + 5;
    ZmObject** fresh = new ZmObject*[size_t(capacity)]();
    std::memcpy(fresh, m_pItems, sizeof(ZmObject*) * size_t(m_iCount));
    delete[] m_pItems;
    m_pItems = fresh;
    m_iCapacity = int32_t(capacity);
}
