// The drain of the route-change socket, on any sequence of what reading it can give. Input: one
// byte per read: below 200 a datagram of that length, then EINTR, ENOBUFS, EAGAIN and EIO in
// turn; where the input ends, EAGAIN.
#include "FuzzInput.h"

#include "Core_SocketARP/linux/RouteChanges_linux.h"

#include <cerrno>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static constexpr int failures[] = {EINTR, ENOBUFS, EAGAIN, EIO};
    tw_fuzz::Input input(data, size);
    bool ended = false;
    const Core_SocketARP::DrainResult result = Core_SocketARP::DrainNotifications([&]() -> ssize_t {
        tw_fuzz::Require(!ended); // it stops at the first EAGAIN
        ended = input.Empty();
        const auto next = ended ? std::uint8_t{202} : input.Take<std::uint8_t>();
        if (next < 200) {
            return next;
        }
        errno = failures[(next - 200) % 4];
        return -1;
    });
    tw_fuzz::Require(result.error == 0 || result.error == EIO);
    return 0;
}
