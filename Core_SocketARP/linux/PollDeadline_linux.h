// The time limit of a wait that polls more than once (after a signal, EINTR, or a wake-up that
// ended nothing): each poll gets what is left of it, not the whole timeout again.
#pragma once

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <span>

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

// Polls the descriptors until one is ready or the timeout (negative: none) has passed, a
// signal's interruption costing none of it: whether one is ready; false on a failure too.
inline bool PollUntilReady(std::span<pollfd> fds, std::chrono::milliseconds timeout) {
    const PollDeadline deadline(timeout);
    for (;;) {
        const int ready = ::poll(fds.data(), fds.size(), deadline.Left());
        if (ready >= 0) {
            return ready > 0;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

} // namespace Core_SocketARP
