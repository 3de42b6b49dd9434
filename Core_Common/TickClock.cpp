#include "Core_Common/TickClock.h"

#include <mutex>

namespace Core_Common {
namespace {

struct TickCounter {
    std::mutex mutex;
    TickSource* source = nullptr; // null: the platform's
    bool started = false;
    std::uint32_t last_reading = 0;
    tick_value wrap_offset = 0;
};

TickCounter& tick_counter() {
    static TickCounter counter;
    return counter;
}

} // namespace

void use_tick_source(TickSource* source) {
    TickCounter& counter = tick_counter();
    const std::lock_guard lock(counter.mutex);
    counter.source = source;
    counter.started = false;
    counter.last_reading = 0;
    counter.wrap_offset = 0;
}

tick_value tick_now() {
    TickCounter& counter = tick_counter();
    const std::lock_guard lock(counter.mutex);
    TickSource& source = counter.source != nullptr ? *counter.source : system_tick_source();
    if (!counter.started) {
        counter.started = true;
        counter.last_reading = source.ReadTicks();
    }
    const std::uint32_t reading = source.ReadTicks();
    // Only a reading below the last one shows a wrap; a whole silent wrap period is lost.
    if (reading < counter.last_reading) {
        counter.wrap_offset += tick_value{1} << 32;
    }
    counter.last_reading = reading;
    return counter.wrap_offset + reading;
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
