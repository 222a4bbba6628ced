#include "foundation/IntSpinLock.h"

#include <benchmark/benchmark.h>

// Uncontended acquire and release: the cost the I/O thread pays on every attach step.
static void BM_IntSpinLockScope(benchmark::State& state)
{
    SInt32 word = 0;
    for (auto _ : state) {
        IntSpinLock lock(&word);
        benchmark::DoNotOptimize(word);
    }
}
BENCHMARK(BM_IntSpinLockScope);

static void BM_IntSpinLockLockUnlock(benchmark::State& state)
{
    SInt32 word = 0;
    IntSpinLock lock(nullptr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(lock.lock(&word, false));
        lock.unlock();
    }
}
BENCHMARK(BM_IntSpinLockLockUnlock);
