// The pieces of text the trust sources are written in: hardware addresses as an administrator
// types them, link names that survive any byte, times of confirmation, and the reading of a
// stored text line by line with the reasons a line is refused.
#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Core_SocketARP {

// A unicast Ethernet address that is not all zero, written "aa:bb:cc:dd:ee:ff",
// "aa-bb-cc-dd-ee-ff" or as 12 hexadecimal digits, in either case; nothing for anything else.
std::optional<HardwareAddress> ParseMac(std::string_view text);

// "aa:bb:cc:dd:ee:ff": how the files write a hardware address.
std::string MacText(const HardwareAddress& address);

// A link name with every byte outside the printable ASCII range, the blank and '%' written as
// "%XX", so that a name of any bytes is one field of a line and reads back the same.
std::string EncodeLinkName(std::string_view name);
// Nothing for a text that EncodeLinkName cannot have written.
std::optional<std::string> DecodeLinkName(std::string_view text);

// Seconds since 1970 in UTC as "YYYY-MM-DDTHH:MM:SSZ", and back (nothing for any other form).
std::string UtcText(std::int64_t seconds);
std::optional<std::int64_t> ParseUtc(std::string_view text);

// The fields of a line, split at blanks, tabs and commas, without a trailing "\r" and without a
// comment from "#" on. At most `limit` fields: a line with more gives limit + 1.
std::vector<std::string_view> LineFields(std::string_view line, std::size_t limit);

} // namespace Core_SocketARP
