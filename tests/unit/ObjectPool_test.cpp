#include "Core_Common/ObjectPool.h"

#include "fakes/FailingVirtualMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <thread>
#include <vector>

namespace {

using Core_Common::ObjectPool;
using Core_Common::objects_per_block;
using Core_Common::PageAllocator;
using tw_test::FailingVirtualMemory;

TEST(ObjectsPerBlock, RoomForThirtyTwoObjectsInWholePages) {
    EXPECT_EQ(objects_per_block(40), 102u);
    EXPECT_EQ(objects_per_block(8), 512u);
    EXPECT_EQ(objects_per_block(48), 85u);
    EXPECT_EQ(objects_per_block(64), 64u);
    EXPECT_EQ(objects_per_block(200), 40u); // 6400 bytes round up to two pages
    EXPECT_EQ(objects_per_block(4096), 32u);
}

class ObjectPoolTest : public testing::Test {
protected:
    using Pool = ObjectPool<40>;

    std::vector<void*> Allocate(std::size_t count) {
        std::vector<void*> objects;
        for (std::size_t i = 0; i < count; ++i) {
            objects.push_back(pool.AllocateObject());
        }
        return objects;
    }
    void FreeAll(const std::vector<void*>& objects) {
        for (void* object : objects) {
            pool.FreeObject(object);
        }
    }

    FailingVirtualMemory memory;
    PageAllocator pages{memory};
    Pool pool{pages};
};

TEST_F(ObjectPoolTest, FirstObjectTakesOnePageThatHolds102) {
    ASSERT_EQ(Pool::per_block, 102u);
    const auto objects = Allocate(102);
    EXPECT_EQ(pool.BlockCount(), 1u);
    EXPECT_EQ(memory.commits, 1);
    EXPECT_EQ(memory.committed_bytes, 4096u);
    EXPECT_EQ(pool.LiveCount(), 102u);

    pool.AllocateObject();
    EXPECT_EQ(pool.BlockCount(), 2u);
    EXPECT_EQ(memory.commits, 2);
}

TEST_F(ObjectPoolTest, FreshBlockHandsOutSlotsInAddressOrder) {
    const auto objects = Allocate(102);
    const auto base = reinterpret_cast<std::uintptr_t>(objects[0]);
    EXPECT_EQ(base % 4096, 0u);
    for (std::size_t i = 0; i < objects.size(); ++i) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(objects[i]), base + i * 40) << i;
        std::memset(objects[i], static_cast<int>(i), 40);
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
        EXPECT_EQ(static_cast<unsigned char*>(objects[i])[39], i) << i; // no slot overlaps
    }
}

TEST_F(ObjectPoolTest, FreedSlotIsTheNextOneHandedOut) {
    const auto objects = Allocate(5);
    pool.FreeObject(objects[3]);
    pool.FreeObject(objects[1]);
    EXPECT_EQ(pool.AllocateObject(), objects[1]);
    EXPECT_EQ(pool.AllocateObject(), objects[3]);
    EXPECT_EQ(pool.AllocateObject(), static_cast<unsigned char*>(objects[4]) + 40);
}

TEST_F(ObjectPoolTest, LastObjectFreedGivesEveryBlockBack) {
    const auto objects = Allocate(103);
    FreeAll(std::vector<void*>(objects.begin(), objects.end() - 1));
    EXPECT_EQ(pool.BlockCount(), 2u);
    EXPECT_EQ(memory.decommits, 0);

    pool.FreeObject(objects.back());
    EXPECT_EQ(pool.LiveCount(), 0u);
    EXPECT_EQ(pool.BlockCount(), 0u);
    EXPECT_EQ(memory.decommits, 2);
    EXPECT_EQ(pages.RegionCount(), 0u);

    pool.AllocateObject();
    EXPECT_EQ(pool.BlockCount(), 1u);
    EXPECT_EQ(memory.commits, 3);
}

TEST_F(ObjectPoolTest, FreeingNullChangesNothing) {
    void* object = pool.AllocateObject();
    pool.FreeObject(nullptr);
    EXPECT_EQ(pool.LiveCount(), 1u);
    pool.FreeObject(object);
    EXPECT_EQ(pool.BlockCount(), 0u);
}

TEST_F(ObjectPoolTest, FailingCommitRaisesOutOfMemoryAndLeavesThePoolUsable) {
    const auto objects = Allocate(102);
    memory.commits_before_failure = 0;
    EXPECT_THROW(pool.AllocateObject(), std::bad_alloc);
    EXPECT_EQ(pool.LiveCount(), 102u);
    EXPECT_EQ(pool.BlockCount(), 1u);

    memory.commits_before_failure = FailingVirtualMemory::never;
    void* extra = pool.AllocateObject();
    EXPECT_EQ(pool.BlockCount(), 2u);
    pool.FreeObject(extra);
    FreeAll(objects);
    EXPECT_EQ(pool.BlockCount(), 0u);
    EXPECT_EQ(pages.RegionCount(), 0u);
}

TEST_F(ObjectPoolTest, FailedFirstBlockStillLetsTheBlocksGoBackLater) {
    memory.commits_before_failure = 0;
    EXPECT_THROW(pool.AllocateObject(), std::bad_alloc);
    EXPECT_EQ(pool.LiveCount(), 0u);
    memory.commits_before_failure = FailingVirtualMemory::never;
    pool.FreeObject(pool.AllocateObject());
    EXPECT_EQ(pool.BlockCount(), 0u); // the failure left no live object behind
}

TEST_F(ObjectPoolTest, ThreadsGetDistinctSlots) {
    constexpr std::size_t per_thread = 500;
    std::vector<void*> first;
    std::vector<void*> second;
    std::thread a([&] { first = Allocate(per_thread); });
    std::thread b([&] { second = Allocate(per_thread); });
    a.join();
    b.join();
    std::set<void*> distinct(first.begin(), first.end());
    distinct.insert(second.begin(), second.end());
    EXPECT_EQ(distinct.size(), 2 * per_thread);
    EXPECT_EQ(pool.LiveCount(), 2 * per_thread);
    FreeAll(first);
    FreeAll(second);
    EXPECT_EQ(pool.BlockCount(), 0u);
}

TEST(ObjectPoolSizes, LargeObjectsTakeSpansOfTheirOwn) {
    FailingVirtualMemory memory;
    PageAllocator pages(memory);
    ObjectPool<4000> pool(pages);
    EXPECT_EQ(decltype(pool)::per_block, 32u);
    void* object = pool.AllocateObject();
    EXPECT_EQ(memory.large_spans, 1); // 32 x 4000 bytes: 32 pages
    EXPECT_EQ(pages.RegionCount(), 0u);
    pool.FreeObject(object);
    EXPECT_EQ(memory.releases, 1);
}

} // namespace
