#include "device/AudioConvert.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

// One I/O cycle's worth of samples, 256 frames of 2 channels (2 KiB per buffer), so every
// buffer stays in L1. Each function is measured next to a memcpy of the same bytes.
namespace {

constexpr unsigned kFrames = 256;
constexpr unsigned kChannels = 2;
constexpr int kSamples = static_cast<int>(kFrames * kChannels);
constexpr std::size_t kBytes = kFrames * kChannels * sizeof(int32_t);

std::vector<int32_t> intSamples()
{
    std::vector<int32_t> v(kSamples);
    for (int i = 0; i < kSamples; ++i)
        v[static_cast<std::size_t>(i)] =
            static_cast<int32_t>(static_cast<uint32_t>(i) * 2654435761u); // spread over the range
    return v;
}

std::vector<float> floatSamples()
{
    std::vector<float> v(kSamples);
    for (int i = 0; i < kSamples; ++i)
        v[static_cast<std::size_t>(i)] = static_cast<float>(i % 200 - 100) / 101.0f;
    return v;
}

void setBytes(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBytes));
}

} // namespace

static void BM_Memcpy(benchmark::State& state)
{
    std::vector<int32_t> source = intSamples();
    std::vector<int32_t> destination(kSamples);
    // A size the compiler cannot see, so this is the library's memcpy, as in the ring copy.
    std::size_t bytes = kBytes;
    benchmark::DoNotOptimize(bytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_Memcpy);

static void BM_ConvertIntToFloat(benchmark::State& state)
{
    std::vector<int32_t> source = intSamples();
    std::vector<float> destination(kSamples);
    for (auto _ : state) {
        convertIntToFloat(source.data(), kChannels, destination.data(), kChannels, kFrames);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_ConvertIntToFloat);

// In place, so each pass starts from a fresh copy of the floats; the copy is the memcpy
// measured above, to be subtracted.
static void BM_AudioConvertFloatToSInt32WithRefill(benchmark::State& state)
{
    const std::vector<float> original = floatSamples();
    std::vector<float> buffer(kSamples);
    for (auto _ : state) {
        std::memcpy(buffer.data(), original.data(), kBytes);
        audioConvertFloatToSInt32(buffer.data(), kFrames, kChannels);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_AudioConvertFloatToSInt32WithRefill);

static void BM_AudioMapChannelsSet(benchmark::State& state)
{
    std::vector<int32_t> source = intSamples();
    std::vector<int32_t> destination(kSamples);
    for (auto _ : state) {
        audioMapChannelsSet(source.data(), kChannels, destination.data(), kChannels, kFrames);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_AudioMapChannelsSet);

static void BM_AudioMapChannelsAdd(benchmark::State& state)
{
    std::vector<int32_t> source = intSamples();
    std::vector<int32_t> destination(kSamples);
    for (auto _ : state) {
        audioMapChannelsAdd(source.data(), kChannels, destination.data(), kChannels, kFrames);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_AudioMapChannelsAdd);

// The uncommon layouts take the per-frame loops: 4 IOProc channels into 2 ring channels.
static void BM_AudioMapChannelsSetFourToTwo(benchmark::State& state)
{
    std::vector<int32_t> source(kFrames * 4, 12345);
    std::vector<int32_t> destination(kSamples);
    for (auto _ : state) {
        audioMapChannelsSet(source.data(), 4, destination.data(), kChannels, kFrames);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_AudioMapChannelsSetFourToTwo);

static void BM_AudioMapChannelsAddFourToTwo(benchmark::State& state)
{
    std::vector<int32_t> source(kFrames * 4, 12345);
    std::vector<int32_t> destination(kSamples);
    for (auto _ : state) {
        audioMapChannelsAdd(source.data(), 4, destination.data(), kChannels, kFrames);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_AudioMapChannelsAddFourToTwo);

static void BM_ConvertIntToFloatFourToTwo(benchmark::State& state)
{
    std::vector<int32_t> source(kFrames * 4, 12345);
    std::vector<float> destination(kSamples);
    for (auto _ : state) {
        convertIntToFloat(source.data(), 4, destination.data(), kChannels, kFrames);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_ConvertIntToFloatFourToTwo);

// A layout without a fixed-count form: 10 ring channels into 12 IOProc channels.
static void BM_AudioMapChannelsAddTenToTwelve(benchmark::State& state)
{
    std::vector<int32_t> source(kFrames * 10, 12345);
    std::vector<int32_t> destination(kFrames * 12);
    for (auto _ : state) {
        audioMapChannelsAdd(source.data(), 10, destination.data(), 12, kFrames);
        benchmark::ClobberMemory();
    }
    // Bytes written: 10 of every 12 channels.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrames * 10 * 4);
}
BENCHMARK(BM_AudioMapChannelsAddTenToTwelve);

static void BM_AudioInt32CopySet(benchmark::State& state)
{
    std::vector<int> source = intSamples();
    std::vector<int> destination(kSamples);
    for (auto _ : state) {
        audioInt32CopySet(destination.data(), source.data(), kSamples);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_AudioInt32CopySet);

static void BM_AudioInt32CopyAdd(benchmark::State& state)
{
    std::vector<int> source = intSamples();
    std::vector<int> destination(kSamples);
    for (auto _ : state) {
        audioInt32CopyAdd(destination.data(), source.data(), kSamples);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_AudioInt32CopyAdd);

static void BM_AudioInt32Clear(benchmark::State& state)
{
    std::vector<int> buffer(kSamples, 1);
    for (auto _ : state) {
        audioInt32Clear(buffer.data(), kSamples);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_AudioInt32Clear);

// Saturating a buffer twice would see already-shifted values, so each pass refills it; the
// refill is the memcpy measured above.
static void BM_AudioInt32SaturateWithRefill(benchmark::State& state)
{
    std::vector<int> original(kSamples);
    for (int i = 0; i < kSamples; ++i)
        original[static_cast<std::size_t>(i)] = (i * 40009) % 20000000 - 10000000;
    std::vector<int> buffer(kSamples);
    for (auto _ : state) {
        std::memcpy(buffer.data(), original.data(), kBytes);
        audioInt32Saturate(buffer.data(), kSamples);
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_AudioInt32SaturateWithRefill);
