// An IPv4 address from its text, in network order, as the kernel's records carry it.
#pragma once

#include <arpa/inet.h>

#include <cstdint>

namespace tw_test {

inline std::uint32_t Ip(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

} // namespace tw_test
