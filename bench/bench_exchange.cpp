// How close the exchange and its busy waits come to their minimum times on the
// real monotonic clock, with a driver that costs nothing. Every sample is timed
// on its own, so the figures are medians and 99th percentiles rather than the
// mean that the benchmark library reports by default.
#include "comport.h"
#include "shiftlink.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// The sum of the exchange's waits: two RTS pulses of 20 us, eight bits of 10 + 10 us.
const double ExchangeFloorNs = 200000.0;

int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The value below which `fraction` of the samples lie (nearest rank).
double Quantile(std::vector<int64_t> samples, double fraction) {
    if (samples.empty()) return 0.0;
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(samples.size()) + 0.999999);
    rank = std::min(std::max<size_t>(rank, 1), samples.size());
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(rank - 1), samples.end());
    return static_cast<double>(samples[rank - 1]);
}

// Enough room that no sample is taken while the vector grows.
const size_t MaxSamples = 1 << 20;

void BM_ShiftExchange(benchmark::State& state) {
    PortHandle = ComOpen("Com3:9600,n,8,1", HandshakeNone, 0, 0);
    OutputByte = 0xA5;
    std::vector<int64_t> samples;
    samples.reserve(MaxSamples);
    for (auto _ : state) {
        const int64_t start = NowNs();
        ShiftExchange();
        const int64_t elapsed = NowNs() - start;
        if (samples.size() < MaxSamples) samples.push_back(elapsed);
    }
    ComClose(PortHandle);
    PortHandle = 0;
    const double median = Quantile(samples, 0.5);
    const double p99 = Quantile(samples, 0.99);
    state.counters["median_us"] = median / 1000.0;
    state.counters["p99_us"] = p99 / 1000.0;
    state.counters["median_floor_ratio"] = median / ExchangeFloorNs;
    state.counters["p99_floor_ratio"] = p99 / ExchangeFloorNs;
}
BENCHMARK(BM_ShiftExchange)->MinTime(2.0)->Unit(benchmark::kMicrosecond);

// The overshoot is what the caller loses past the requested wait: the time
// from before the call to after its return, less the microseconds asked for.
void BM_DelayMicroseconds(benchmark::State& state) {
    const int32_t wait = static_cast<int32_t>(state.range(0));
    std::vector<int64_t> overshoots;
    overshoots.reserve(MaxSamples);
    for (auto _ : state) {
        const int64_t start = NowNs();
        DelayMicroseconds(wait);
        const int64_t elapsed = NowNs() - start;
        if (overshoots.size() < MaxSamples) overshoots.push_back(elapsed - int64_t{wait} * 1000);
    }
    state.counters["overshoot_median_ns"] = Quantile(overshoots, 0.5);
    state.counters["overshoot_p99_ns"] = Quantile(overshoots, 0.99);
    // A pre-emption shows here, in the worst sample, not in the median.
    state.counters["overshoot_max_us"] =
        static_cast<double>(*std::max_element(overshoots.begin(), overshoots.end())) / 1000.0;
    state.counters["short_waits"] = static_cast<double>(
        std::count_if(overshoots.begin(), overshoots.end(), [](int64_t o) { return o < 0; }));
}
BENCHMARK(BM_DelayMicroseconds)->Arg(10)->Arg(20)->MinTime(2.0)->Unit(benchmark::kMicrosecond);

}  // namespace
