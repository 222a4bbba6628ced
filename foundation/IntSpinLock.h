#pragma once
#include <MacTypes.h>

// A scoped busy-wait lock over a shared 32-bit word that is 0 when free. The holder has added 1
// to it; a contender adds 1 and at once takes it away again. Not recursive, no owner identity;
// hold it only around short steps, since contenders spin without pause.
class IntSpinLock {
public:
    // Acquires `word`, spinning until it is free; a null word acquires nothing.
    explicit IntSpinLock(SInt32* word);
    IntSpinLock(const IntSpinLock&) = delete;
    IntSpinLock& operator=(const IntSpinLock&) = delete;
    // Releases the word if this object holds it.
    ~IntSpinLock();

    // False if this object holds a lock already, or if `word` is taken and `wait` is false.
    // A null word gives true and holds nothing.
    bool lock(SInt32* word, bool wait);
    void unlock();

private:
    SInt32* m_pLockWord;
};
