#include "device/PropertyItem.h"

#include <cstdio>

bool PropertyItem::set(uint32_t v, bool notify)
{
    if (m_eType != kPropUInt32) {
        std::printf("PropertyItem::set(UInt32 v) invalid type %d\n", int(m_eType));
        return false;
    }
    if (m_iValue.exchange(v, std::memory_order_acq_rel) == v)
        return false;
    if (notify && m_pHost != nullptr)
        m_pHost->onPropertyChanged(this);
    return true;
}

uint32_t PropertyItem::getUInt32() const
{
    if (m_eType != kPropUInt32) {
        std::printf("PropertyItem::getUInt32 invalid type %d\n", int(m_eType));
        return 0;
    }
    return m_iValue.load(std::memory_order_acquire);
}
