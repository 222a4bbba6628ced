#include "foundation/IntSpinLock.h"

#include <CoreServices/CoreServices.h>

namespace {

// The word is only ever touched through these atomic read-modify-writes, which also order the
// holder's work against the next holder's.
bool tryAcquire(SInt32* word)
{
    if (IncrementAtomic(word) == 0)
        return true;
    DecrementAtomic(word);
    return false;
}

} // namespace

IntSpinLock::IntSpinLock(SInt32* word) : m_pLockWord(word)
{
    if (word != nullptr)
        while (!tryAcquire(word)) {
        }
}

IntSpinLock::~IntSpinLock()
{
    unlock();
}

bool IntSpinLock::lock(SInt32* word, bool wait)
{
    if (m_pLockWord != nullptr)
        return false;
    if (word == nullptr)
        return true;
    while (!tryAcquire(word))
        if (!wait)
            return false;
    m_pLockWord = word;
    return true;
}

void IntSpinLock::unlock()
{
    if (m_pLockWord != nullptr)
        DecrementAtomic(m_pLockWord);
    m_pLockWord = nullptr;
}
