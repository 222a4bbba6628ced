#include <CoreServices/CoreServices.h>

extern "C" SInt32 AddAtomic(SInt32 amount, SInt32* address)
{
    if (address == nullptr)
        return 0;
    return __atomic_fetch_add(address, amount, __ATOMIC_SEQ_CST);
}

extern "C" SInt32 IncrementAtomic(SInt32* address)
{
    return AddAtomic(1, address);
}

extern "C" SInt32 DecrementAtomic(SInt32* address)
{
    return AddAtomic(-1, address);
}
