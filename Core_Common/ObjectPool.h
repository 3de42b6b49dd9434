#pragma once

#include "Core_Common/Lock.h"
#include "Core_Common/PageAllocator.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

namespace Core_Common {

// Objects per block of a size class: room for 32 objects, at least one page, whole pages.
constexpr std::size_t objects_per_block(std::size_t object_size) {
    std::size_t bytes = 32 * object_size;
    if (bytes < page_size) {
        bytes = page_size;
    }
    bytes = (bytes + page_size - 1) / page_size * page_size;
    return bytes / object_size;
}

// Storage for objects of one size, in blocks from the page allocator. Free slots are linked
// through their first word. All blocks go back at once when the last live object is freed.
template <std::size_t ObjectSize> class ObjectPool {
    static_assert(ObjectSize >= sizeof(void*), "a free slot holds the link to the next one");

public:
    static constexpr std::size_t object_size = ObjectSize;
    static constexpr std::size_t per_block = objects_per_block(ObjectSize);

    explicit ObjectPool(PageAllocator& pages) : pages_(pages) {}
    ObjectPool(const ObjectPool&) = delete;
    ObjectPool& operator=(const ObjectPool&) = delete;
    // Objects still live keep their blocks: someone may still use them.
    ~ObjectPool() = default;

    // Uninitialised storage for one object. A block that cannot be obtained raises
    // std::bad_alloc and leaves the pool as it was.
    void* AllocateObject() {
        const std::lock_guard lock(mutex_);
        if (free_ == nullptr) {
            AddBlock();
        }
        FreeSlot* slot = free_;
        free_ = slot->next;
        ++live_;
        return slot;
    }

    void FreeObject(void* object) {
        if (object == nullptr) {
            return;
        }
        const std::lock_guard lock(mutex_);
        if (--live_ == 0) {
            free_ = nullptr;
            for (const Block& block : blocks_) {
                pages_.FreePages(block.base, block.size);
            }
            blocks_.clear();
            return;
        }
        auto* slot = static_cast<FreeSlot*>(object);
        slot->next = free_;
        free_ = slot;
    }

    std::uint32_t LiveCount() {
        const std::lock_guard lock(mutex_);
        return live_;
    }
    std::size_t BlockCount() {
        const std::lock_guard lock(mutex_);
        return blocks_.size();
    }

private:
    struct FreeSlot {
        FreeSlot* next;
    };
    struct Block {
        void* base;
        std::size_t size;
    };

    void AddBlock() {
        if (per_block < 32 || per_block > 4096) {
            throw std::runtime_error("crash");
        }
        const std::size_t size = (per_block * ObjectSize + page_size - 1) / page_size * page_size;
        blocks_.reserve(blocks_.size() + 1);
        auto* base = static_cast<unsigned char*>(pages_.AllocatePages(size));
        blocks_.push_back(Block{base, size});
        FreeSlot* next = nullptr;
        for (std::size_t i = per_block; i-- > 0;) {
            next = new (base + i * ObjectSize) FreeSlot{next};
        }
        free_ = next;
    }

    PageAllocator& pages_;
    biased_lock mutex_;
    FreeSlot* free_ = nullptr;
    std::uint32_t live_ = 0;
    std::vector<Block> blocks_;
};

// The process-wide pool of a size class, over the process page allocator.
template <std::size_t ObjectSize> ObjectPool<ObjectSize>& process_object_pool() {
    static ObjectPool<ObjectSize> pool(process_page_allocator());
    return pool;
}

} // namespace Core_Common
