#include "Core_Common/TickClock.h"

#include <atomic>

namespace Core_Common {
namespace {

// The wrap tracking in one word, so that one atomic step reads or changes all of it: the count
// of wraps seen (upper 31 bits), whether the first reading was taken (bit 32) and the last
// reading (low 32 bits). A reading equal to the last one changes nothing and is not stored, so
// a call costs no locked instruction unless the millisecond has moved on.
constexpr std::uint64_t started_bit = std::uint64_t{1} << 32;
constexpr unsigned wraps_shift = 33;

struct TickCounter {
    std::atomic<TickSource*> source{nullptr}; // null: the platform's
    std::atomic<std::uint64_t> state{0};
};

TickCounter& tick_counter() {
    static TickCounter counter;
    return counter;
}

} // namespace

void use_tick_source(TickSource* source) {
    TickCounter& counter = tick_counter();
    counter.source = source;
    counter.state = 0;
}

tick_value tick_now() {
    TickCounter& counter = tick_counter();
    TickSource* chosen = counter.source.load(std::memory_order_acquire);
    TickSource& source = chosen != nullptr ? *chosen : system_tick_source();
    std::uint64_t state = counter.state.load(std::memory_order_acquire);
    for (;;) {
        std::uint64_t last = state;
        if ((last & started_bit) == 0) {
            last = started_bit | source.ReadTicks();
        }
        const std::uint32_t reading = source.ReadTicks();
        std::uint64_t wraps = last >> wraps_shift;
        // Only a reading below the last one shows a wrap; a whole silent wrap period is lost.
        if (reading < static_cast<std::uint32_t>(last)) {
            ++wraps;
        }
        const std::uint64_t next = (wraps << wraps_shift) | started_bit | reading;
        // A reading taken after another caller stored a later one is taken again.
        if (next == state ||
            counter.state.compare_exchange_weak(state, next, std::memory_order_acq_rel,
                                                std::memory_order_acquire)) {
            return (wraps << 32) + reading;
        }
    }
}

void timestamp_auto::reset() { value_ = tick_now(); }

void timestamp_auto::add_seconds(int n) {
    // The product wraps as a 32-bit number (no undefined overflow), then is sign-extended.
    const auto product = static_cast<std::int32_t>(static_cast<std::uint32_t>(n) * 1000u);
    value_ += static_cast<tick_value>(static_cast<std::int64_t>(product));
}

void timestamp_auto::add_milliseconds(int n) {
    value_ += static_cast<tick_value>(static_cast<std::int64_t>(n));
}

int timestamp_auto::seconds_to(const tick_value& other) { return milliseconds_to(other) / 1000; }

int timestamp_auto::elapsed_seconds() { return elapsed_milliseconds() / 1000; }

int timestamp_auto::milliseconds_to(const tick_value& other) {
    const auto difference = static_cast<std::uint32_t>(other) - static_cast<std::uint32_t>(value_);
    return static_cast<std::int32_t>(difference);
}

int timestamp_auto::elapsed_milliseconds() { return milliseconds_to(tick_now()); }

} // namespace Core_Common
