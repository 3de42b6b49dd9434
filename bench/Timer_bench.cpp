// The timer module against the same work on a std::multimap: adding and removing one timer
// among 1,000, and one dispatch pass that fires 10,000 due timers.
#include "Core_Common/Timer.h"

#include "RuntimeBenchRatio.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace {

using Core_Common::timer_handle;

constexpr int registered = 1000;
constexpr int due_count = 10000;
constexpr int measured_seconds = registered / 2; // in the middle of the registered timers

struct MapEntry {
    void* handle_slot;
    std::function<void()> callback;
};
using TimerMap = std::multimap<std::uint64_t, MapEntry>;

std::uint64_t clock_ms() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// Time that moves only when told, so timers are due without waiting.
class SteppedTicks final : public Core_Common::TickSource {
public:
    std::uint32_t ReadTicks() override { return now; }
    std::uint32_t now = 1000;
};

void BM_TimerAddRemove(benchmark::State& state) {
    // The handles outlive the timer, whose end clears them.
    std::vector<timer_handle> handles(registered, nullptr);
    long fired = 0;
    Core_Common::Timer timer;
    for (int i = 0; i < registered; ++i) {
        timer.AddTimer(
            &handles[static_cast<std::size_t>(i)], 1 + i, [&fired] { ++fired; }, true);
    }
    timer_handle handle = nullptr;
    for (auto _ : state) {
        timer.AddTimer(
            &handle, registered / 2, [&fired] { ++fired; }, false);
        timer.RemoveTimer(&handle);
    }
    benchmark::DoNotOptimize(fired);
}
BENCHMARK(BM_TimerAddRemove);

void BM_MultimapAddRemove(benchmark::State& state) {
    TimerMap timers;
    std::vector<void*> handles(registered, nullptr);
    long fired = 0;
    const std::uint64_t start = clock_ms();
    for (int i = 0; i < registered; ++i) {
        timers.emplace(start + static_cast<std::uint64_t>(1 + i) * 1000,
                       MapEntry{&handles[static_cast<std::size_t>(i)], [&fired] { ++fired; }});
    }
    void* handle = nullptr;
    for (auto _ : state) {
        auto entry = timers.emplace(clock_ms() + std::uint64_t{measured_seconds} * 1000,
                                    MapEntry{&handle, [&fired] { ++fired; }});
        handle = &entry->second;
        timers.erase(entry);
        handle = nullptr;
    }
    benchmark::DoNotOptimize(fired);
}
BENCHMARK(BM_MultimapAddRemove);

// pool_kept:1 keeps one long timer registered, as the service always has; with 0 the pool's
// pages go back to the platform at the end of every pass.
void BM_TimerRunDue10000(benchmark::State& state) {
    SteppedTicks ticks;
    Core_Common::use_tick_source(&ticks);
    {
        long fired = 0;
        timer_handle keeper = nullptr;
        std::vector<timer_handle> handles(due_count, nullptr);
        Core_Common::Timer timer;
        if (state.range(0) != 0) {
            timer.AddTimer(
                &keeper, 3600, [&fired] { ++fired; }, true);
        }
        for (auto _ : state) {
            state.PauseTiming();
            for (auto& handle : handles) {
                timer.AddTimer(
                    &handle, 0, [&fired] { ++fired; }, false);
            }
            ++ticks.now;
            state.ResumeTiming();
            timer.RunDueTimers();
        }
        timer.RemoveTimer(&keeper);
        state.SetItemsProcessed(state.iterations() * due_count);
        benchmark::DoNotOptimize(fired);
    }
    Core_Common::use_tick_source(nullptr);
}
BENCHMARK(BM_TimerRunDue10000)->ArgName("pool_kept")->Arg(1)->Arg(0);

void BM_MultimapRunDue10000(benchmark::State& state) {
    TimerMap timers;
    long fired = 0;
    void* keeper = nullptr;
    std::uint64_t now = 1000;
    timers.emplace(now + 3600000, MapEntry{&keeper, [&fired] { ++fired; }});
    std::vector<void*> handles(due_count, nullptr);
    for (auto _ : state) {
        state.PauseTiming();
        for (auto& handle : handles) {
            handle = &timers.emplace(now, MapEntry{&handle, [&fired] { ++fired; }})->second;
        }
        ++now;
        state.ResumeTiming();
        while (!timers.empty() && timers.begin()->first < now) {
            auto first = timers.begin();
            *static_cast<void**>(first->second.handle_slot) = nullptr;
            std::function<void()> call = std::move(first->second.callback);
            timers.erase(first);
            call();
        }
    }
    state.SetItemsProcessed(state.iterations() * due_count);
    benchmark::DoNotOptimize(fired);
}
BENCHMARK(BM_MultimapRunDue10000);

} // namespace

int main(int argc, char** argv) {
    return tw_bench::RunWithRatios(
        argc, argv,
        {{"BM_TimerAddRemove", "BM_MultimapAddRemove", "<= 1.60"},
         {"BM_TimerRunDue10000/pool_kept:1", "BM_MultimapRunDue10000", "<= 1.60"},
         {"BM_TimerRunDue10000/pool_kept:0", "BM_MultimapRunDue10000", nullptr}});
}
