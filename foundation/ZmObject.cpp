#include "foundation/ZmObject.h"

int32_t ZmObject::compare(const ZmObject&) const
{
    return 0;
}

void ZmObject::onCommand(long, long) {}

ZmObject::~ZmObject() = default;

bool ZmObject::isEqual(const ZmObject&) const
{
    return true;
}

void ZmObject::incReferences()
{
    m_iReferences.fetch_add(1, std::memory_order_relaxed);
}

void ZmObject::decReferences()
{
    // acq_rel: every use of the object by other holders happens before its deletion.
    if (m_iReferences.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}
