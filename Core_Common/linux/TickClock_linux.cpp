// The monotonic clock in milliseconds, cut to 32 bits like GetTickCount, so that the same
// wrap tracking runs on both platforms.
#include "Core_Common/TickClock.h"

#include <time.h>

namespace Core_Common {
namespace {

class MonotonicTickSource final : public TickSource {
public:
    std::uint32_t ReadTicks() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                        static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
        return static_cast<std::uint32_t>(ms);
    }
};

} // namespace

TickSource& system_tick_source() {
    static MonotonicTickSource source;
    return source;
}

} // namespace Core_Common
