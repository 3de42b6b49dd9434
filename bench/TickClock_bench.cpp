// tick_now against a bare read of the monotonic clock it is built on.
#include "Core_Common/TickClock.h"

#include "RuntimeBenchRatio.h"

#include <time.h>

namespace {

void BM_TickNow(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(Core_Common::tick_now());
    }
}
BENCHMARK(BM_TickNow);

void BM_MonotonicClockRead(benchmark::State& state) {
    for (auto _ : state) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        benchmark::DoNotOptimize(now);
    }
}
BENCHMARK(BM_MonotonicClockRead);

} // namespace

int main(int argc, char** argv) {
    return tw_bench::RunWithRatios(argc, argv, {{"BM_TickNow", "BM_MonotonicClockRead", nullptr}});
}
