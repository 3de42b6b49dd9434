#include "Core_Common/Lock.h"

#include <algorithm>
#include <chrono>

namespace Core_Common {
namespace {

constexpr unsigned spin_rounds = 64;
constexpr unsigned yield_rounds = 64;
constexpr std::chrono::microseconds first_nap{50};
constexpr std::chrono::microseconds longest_nap{1000};

void cpu_relax() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

} // namespace

void spin_lock::wait() noexcept {
    std::chrono::microseconds nap = first_nap;
    for (unsigned round = 0; !try_lock(); ++round) {
        if (round < spin_rounds) {
            cpu_relax();
        } else if (round < spin_rounds + yield_rounds) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(nap);
            nap = std::min(nap * 2, longest_nap);
        }
    }
}

void biased_lock::lock_slowly() noexcept {
    lock_.lock();
    if (revoked_.load(std::memory_order_relaxed)) {
        return;
    }
    if (owner_.load(std::memory_order_relaxed) == nullptr) {
        if (process_barrier_ready()) {
            owner_.store(this_thread_tag(), std::memory_order_relaxed);
        } else {
            revoked_.store(true, std::memory_order_relaxed);
        }
        return;
    }
    // Another thread than the biased one: the bias ends, once the biased thread is out.
    revoked_.store(true, std::memory_order_relaxed);
    process_barrier();
    while (busy_.load(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
}

} // namespace Core_Common
