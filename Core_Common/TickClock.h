#pragma once

#include <cstdint>

namespace Core_Common {

// Milliseconds since the system tick origin, plus every 32-bit wrap seen so far.
using tick_value = std::uint64_t;

// The platform's 32-bit millisecond tick count (GetTickCount, or the monotonic clock cut to
// 32 bits). It wraps about every 49.7 days; tick_now turns it into a growing value.
class TickSource {
public:
    virtual ~TickSource() = default;
    virtual std::uint32_t ReadTicks() = 0;
};

// The platform's tick source; defined in the OS part.
TickSource& system_tick_source();

// Replaces the source behind tick_now (null: the platform's) and starts the wrap tracking
// afresh, as on the first call. For tests; the source must outlive its use.
void use_tick_source(TickSource* source);

// The current tick value. Serialised, so concurrent callers see non-decreasing values as long
// as no whole wrap period passes between two calls.
tick_value tick_now();

// A point in time on the process tick counter, set to tick_now() when made. The differences
// are taken on the low 32 bits, so they are exact only within about 24.8 days.
class timestamp_auto {
public:
    timestamp_auto() : value_(tick_now()) {}
    explicit timestamp_auto(tick_value value) : value_(value) {}
    timestamp_auto(const timestamp_auto&) = default;
    timestamp_auto& operator=(const timestamp_auto&) = default;

    virtual void reset();
    // n * 1000 is formed as a 32-bit number: callers keep n within +-2,147,483.
    virtual void add_seconds(int n);
    virtual void add_milliseconds(int n);
    // Truncated toward zero: 1999 ms is 1 second, -1999 ms is -1.
    virtual int seconds_to(const tick_value& other);
    virtual int elapsed_seconds();
    virtual int milliseconds_to(const tick_value& other);
    // Negative for a point in the future.
    virtual int elapsed_milliseconds();
    virtual ~timestamp_auto() = default;

    tick_value value() const { return value_; }

private:
    tick_value value_;
};

} // namespace Core_Common
