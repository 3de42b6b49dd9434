// The timer entries' pool against operator new and delete of the same size.
#include "Core_Common/ObjectPool.h"
#include "Core_Common/Timer.h"

#include "RuntimeBenchRatio.h"

#include <new>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t object_size = Core_Common::TimerEntryPool::object_size;
constexpr std::size_t batch = 1000;

// One entry stays live, as the watchdog's timer does in the service: otherwise every pair
// would give the pool's page back to the platform and fetch it again. The pool's lock is
// biased to this thread, the only one that uses it.
void BM_PoolAllocateFree(benchmark::State& state) {
    auto& pool = Core_Common::timer_entry_pool();
    void* keeper = pool.AllocateObject();
    for (auto _ : state) {
        void* object = pool.AllocateObject();
        benchmark::DoNotOptimize(object);
        pool.FreeObject(object);
    }
    pool.FreeObject(keeper);
}
BENCHMARK(BM_PoolAllocateFree);

// The same once a second thread has used the pool: its lock is no longer biased to this one,
// and each pair takes two locked instructions.
void BM_PoolAllocateFreeShared(benchmark::State& state) {
    Core_Common::ObjectPool<object_size> pool(Core_Common::process_page_allocator());
    void* keeper = pool.AllocateObject();
    std::thread([&pool] { pool.FreeObject(pool.AllocateObject()); }).join();
    for (auto _ : state) {
        void* object = pool.AllocateObject();
        benchmark::DoNotOptimize(object);
        pool.FreeObject(object);
    }
    pool.FreeObject(keeper);
}
BENCHMARK(BM_PoolAllocateFreeShared);

void BM_NewDelete(benchmark::State& state) {
    for (auto _ : state) {
        void* object = ::operator new(object_size);
        benchmark::DoNotOptimize(object);
        ::operator delete(object);
    }
}
BENCHMARK(BM_NewDelete);

void BM_PoolBatchOf1000(benchmark::State& state) {
    auto& pool = Core_Common::timer_entry_pool();
    void* keeper = pool.AllocateObject();
    std::vector<void*> objects(batch);
    for (auto _ : state) {
        for (auto& object : objects) {
            object = pool.AllocateObject();
        }
        benchmark::DoNotOptimize(objects.data());
        for (void* object : objects) {
            pool.FreeObject(object);
        }
    }
    pool.FreeObject(keeper);
}
BENCHMARK(BM_PoolBatchOf1000);

void BM_NewDeleteBatchOf1000(benchmark::State& state) {
    std::vector<void*> objects(batch);
    for (auto _ : state) {
        for (auto& object : objects) {
            object = ::operator new(object_size);
        }
        benchmark::DoNotOptimize(objects.data());
        for (void* object : objects) {
            ::operator delete(object);
        }
    }
}
BENCHMARK(BM_NewDeleteBatchOf1000);

// The pool empty between uses: each pair commits a page and decommits it again.
void BM_PoolAllocateFreeFromEmpty(benchmark::State& state) {
    auto& pool = Core_Common::timer_entry_pool();
    for (auto _ : state) {
        void* object = pool.AllocateObject();
        benchmark::DoNotOptimize(object);
        pool.FreeObject(object);
    }
}
BENCHMARK(BM_PoolAllocateFreeFromEmpty);

} // namespace

int main(int argc, char** argv) {
    return tw_bench::RunWithRatios(argc, argv,
                                   {{"BM_PoolAllocateFree", "BM_NewDelete", "<= 0.80"},
                                    {"BM_PoolAllocateFreeShared", "BM_NewDelete", nullptr},
                                    {"BM_PoolBatchOf1000", "BM_NewDeleteBatchOf1000", "<= 0.80"},
                                    {"BM_PoolAllocateFreeFromEmpty", "BM_NewDelete", nullptr}});
}
