// Reads a fuzzer's input as the harnesses lay it out: fixed fields first, then chunks with a
// 16-bit length in front, then the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

namespace tw_fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    // A field read from the input, zero where the input has run out.
    template <class Value> Value Take() {
        Value value{};
        const std::size_t count = bytes_.size() < sizeof value ? bytes_.size() : sizeof value;
        if (count > 0) {
            std::memcpy(&value, bytes_.data(), count);
        }
        bytes_ = bytes_.subspan(count);
        return value;
    }

    // The next chunk: a 16-bit length, then that many bytes (fewer where the input ends).
    std::span<const std::uint8_t> TakeChunk() {
        const auto length = Take<std::uint16_t>();
        const std::size_t count = length < bytes_.size() ? length : bytes_.size();
        const auto chunk = bytes_.first(count);
        bytes_ = bytes_.subspan(count);
        return chunk;
    }

    std::span<const std::uint8_t> Rest() const { return bytes_; }
    bool Empty() const { return bytes_.empty(); }

private:
    std::span<const std::uint8_t> bytes_;
};

// A property of the code under test does not hold: libFuzzer keeps the input as a crash.
inline void Require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

} // namespace tw_fuzz
