// A zero-terminated text in a fixed buffer, wide or narrow. It never allocates and calls no
// library function, so a signal handler or an exception filter may build texts with it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Core_Common {

// At most N-1 units; what does not fit is cut off.
template <class Unit, std::size_t N> class basic_fixed_text {
public:
    static_assert(N > 1);

    basic_fixed_text() { units_[0] = Unit{}; }
    explicit basic_fixed_text(const Unit* text) : basic_fixed_text() { append(text); }

    basic_fixed_text& append(const Unit* text) {
        for (; text != nullptr && *text != Unit{} && length_ + 1 < N; ++text) {
            units_[length_++] = *text;
        }
        units_[length_] = Unit{};
        return *this;
    }
    basic_fixed_text& append(const Unit* text, std::size_t count) {
        for (std::size_t i = 0; i < count && length_ + 1 < N; ++i) {
            units_[length_++] = text[i];
        }
        units_[length_] = Unit{};
        return *this;
    }
    // The value in `base` (at most 16, lower-case digits), zero-padded to `digits`.
    basic_fixed_text& append_unsigned(std::uint64_t value, unsigned base = 10,
                                      unsigned digits = 1) {
        Unit reversed[64];
        unsigned count = 0;
        do {
            reversed[count++] = static_cast<Unit>("0123456789abcdef"[value % base]);
            value /= base;
        } while (value != 0);
        const Unit zero = static_cast<Unit>('0');
        for (unsigned i = count; i < digits; ++i) {
            append(&zero, 1);
        }
        while (count > 0) {
            append(&reversed[--count], 1);
        }
        return *this;
    }
    // "0x" and the value in `digits` lower-case hexadecimal digits.
    basic_fixed_text& append_hex(std::uint64_t value, unsigned digits) {
        const Unit prefix[] = {static_cast<Unit>('0'), static_cast<Unit>('x')};
        return append(prefix, 2).append_unsigned(value, 16, digits);
    }
    void truncate(std::size_t length) {
        if (length < length_) {
            length_ = length;
            units_[length_] = Unit{};
        }
    }
    void clear() { truncate(0); }

    const Unit* c_str() const { return units_; }
    Unit* data() { return units_; }
    std::size_t size() const { return length_; }
    static constexpr std::size_t capacity() { return N - 1; }
    // After the caller wrote into data() directly: takes the length up to the first zero.
    void resync() {
        units_[N - 1] = Unit{};
        length_ = 0;
        while (units_[length_] != Unit{}) {
            ++length_;
        }
    }

private:
    Unit units_[N];
    std::size_t length_ = 0;
};

template <std::size_t N> using fixed_text = basic_fixed_text<wchar_t, N>;
template <std::size_t N> using narrow_text = basic_fixed_text<char, N>;

} // namespace Core_Common
