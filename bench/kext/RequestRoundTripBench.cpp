// One request's round trip through IOConnectMethodStructureIStructureO against a private
// daemon (in this process, on its own thread, as the tests start it). Each call is timed on
// its own; the counters give the median and the 99th percentile in microseconds.
#include <IOKit/IOKitLib.h>
#include <benchmark/benchmark.h>
#include <mach/mach.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "bench/BenchDaemon.h"
#include "device/DriverRequest.h"

namespace {

void BM_RequestRoundTrip(benchmark::State& state)
{
    bench::BenchDaemon daemon;
    if (!daemon.started()) {
        state.SkipWithError("no daemon");
        return;
    }
    io_service_t service = daemon.plug("default");
    io_connect_t connect = 0;
    if (service == 0 || IOServiceOpen(service, mach_task_self(), 0, &connect) != kIOReturnSuccess) {
        state.SkipWithError("cannot open the service");
        return;
    }
    DriverRequest request{};
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        request.iCode = kReqOpen;
        IOByteCount size = sizeof request;
        auto start = std::chrono::steady_clock::now();
        kern_return_t kr = IOConnectMethodStructureIStructureO(connect, 0, sizeof request, &size, &request, &request);
        auto end = std::chrono::steady_clock::now();
        if (kr != kIOReturnSuccess) {
            state.SkipWithError("request failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    if (!micros.empty()) {
        std::sort(micros.begin(), micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
    IOServiceClose(connect);
    IOObjectRelease(service);
}
BENCHMARK(BM_RequestRoundTrip)->UseRealTime();

} // namespace
