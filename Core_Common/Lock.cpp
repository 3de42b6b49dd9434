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

} // namespace Core_Common
