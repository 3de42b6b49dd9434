// IPv6 addresses as the protection keeps them: 16 bytes as they travel, and one text for each
// address (RFC 5952: lower case, the longest run of zero groups as "::"), so that an address
// read from a file, from the kernel or from IP Helper names the same gateway.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Core_SocketARP {

using Ipv6Bytes = std::array<std::uint8_t, 16>;

// An IPv6 address in any of its texts (groups of 1 to 4 hexadecimal digits, one "::", an IPv4
// tail), without a zone; nothing for anything else.
std::optional<Ipv6Bytes> ParseIpv6(std::string_view text);

// The address's one text.
std::string Ipv6Text(const Ipv6Bytes& address);

// Whether the text names an IPv6 address rather than an IPv4 one: the address family of a
// gateway's text, as the tables and files hold it.
inline bool IsIpv6Text(std::string_view text) { return text.find(':') != std::string_view::npos; }

// fe80::/10: meaningful on one link only, written with the link as its zone.
bool IsLinkLocal(const Ipv6Bytes& address);

// The text a table or a file keeps for an address of either family: the IPv6 one text, a dotted
// quad as it is; nothing for a text that is neither.
std::optional<std::string> CanonicalAddress(std::string_view text);

} // namespace Core_SocketARP
