// Queueing and delivering 100,000 messages against a mutex-guarded std::deque.
#include "Core_Common/Message.h"

#include "RuntimeBenchRatio.h"

#include <deque>
#include <functional>
#include <mutex>

namespace {

constexpr int messages = 100000;

void BM_QueueDeliver100k(benchmark::State& state) {
    Core_Common::Message queue;
    long delivered = 0;
    for (auto _ : state) {
        for (int i = 0; i < messages; ++i) {
            queue.QueueMessage([&delivered] { ++delivered; }, Core_Common::message_position_back);
        }
        queue.DeliverMessages();
    }
    benchmark::DoNotOptimize(delivered);
    state.SetItemsProcessed(state.iterations() * messages);
}
BENCHMARK(BM_QueueDeliver100k)->Unit(benchmark::kMillisecond);

void BM_MutexDeque100k(benchmark::State& state) {
    std::mutex mutex;
    std::deque<std::function<void()>> queue;
    long delivered = 0;
    for (auto _ : state) {
        for (int i = 0; i < messages; ++i) {
            const std::lock_guard lock(mutex);
            queue.emplace_back([&delivered] { ++delivered; });
        }
        for (;;) {
            std::function<void()> next;
            {
                const std::lock_guard lock(mutex);
                if (queue.empty()) {
                    break;
                }
                next = std::move(queue.front());
                queue.pop_front();
            }
            next();
        }
    }
    benchmark::DoNotOptimize(delivered);
    state.SetItemsProcessed(state.iterations() * messages);
}
BENCHMARK(BM_MutexDeque100k)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return tw_bench::RunWithRatios(argc, argv,
                                   {{"BM_QueueDeliver100k", "BM_MutexDeque100k", nullptr}});
}
