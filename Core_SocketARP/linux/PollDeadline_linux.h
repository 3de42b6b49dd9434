// The time limit of a wait that polls more than once (after a signal, EINTR, or a wake-up that
// ended nothing): each poll gets what is left of it, not the whole timeout again.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace Core_SocketARP {

class PollDeadline {
public:
    // Negative: no limit.
    explicit PollDeadline(std::chrono::milliseconds timeout)
        : limited_(timeout.count() >= 0), deadline_(std::chrono::steady_clock::now() + timeout) {}

    // poll's timeout: -1 without a limit, else the milliseconds left, rounded up.
    int Left() const {
        if (!limited_) {
            return -1;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1 << 30));
    }

    bool Passed() const { return limited_ && std::chrono::steady_clock::now() >= deadline_; }

private:
    bool limited_;
    std::chrono::steady_clock::time_point deadline_;
};

} // namespace Core_SocketARP
