#pragma once

#include "Core_Common/TickClock.h"

#include <atomic>
#include <cstdint>

namespace tw_test {

// A tick source that moves only when told, so tests can cross the 32-bit wrap and make
// timers due without waiting.
class FakeTickSource final : public Core_Common::TickSource {
public:
    explicit FakeTickSource(std::uint32_t start = 1000) : ticks_(start) {}

    std::uint32_t ReadTicks() override;
    void Set(std::uint32_t ticks) { ticks_ = ticks; }
    void Advance(std::uint32_t ms) { ticks_ += ms; }
    std::uint32_t Ticks() const { return ticks_; }

private:
    std::atomic<std::uint32_t> ticks_;
};

// Puts a fake tick source behind tick_now for its lifetime and restores the platform's.
class ScopedTickSource {
public:
    explicit ScopedTickSource(Core_Common::TickSource& source) {
        Core_Common::use_tick_source(&source);
    }
    ~ScopedTickSource() { Core_Common::use_tick_source(nullptr); }
    ScopedTickSource(const ScopedTickSource&) = delete;
    ScopedTickSource& operator=(const ScopedTickSource&) = delete;
};

} // namespace tw_test
