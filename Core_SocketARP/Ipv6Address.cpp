#include "Core_SocketARP/Ipv6Address.h"

#include "Core_SocketARP/ArpBinding.h"

#include <cstring>
#include <vector>

namespace Core_SocketARP {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The 16-bit groups of one side of "::", an IPv4 tail counting as two; nothing when malformed.
std::optional<std::vector<std::uint16_t>> Groups(std::string_view text, bool tailAllowed) {
    std::vector<std::uint16_t> groups;
    if (text.empty()) {
        return groups;
    }
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = std::min(text.find(':', at), text.size());
        const std::string_view group = text.substr(at, end - at);
        if (end == text.size() && tailAllowed && group.find('.') != std::string_view::npos) {
            const auto quad = ParseDottedQuad(std::string(group));
            if (!quad) {
                return std::nullopt;
            }
            std::uint8_t bytes[4] = {};
            std::memcpy(bytes, &*quad, sizeof bytes);
            groups.push_back(static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]));
            groups.push_back(static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]));
            return groups;
        }
        if (group.empty() || group.size() > 4) {
            return std::nullopt;
        }
        unsigned value = 0;
        for (const char c : group) {
            const int digit = HexDigit(c);
            if (digit < 0) {
                return std::nullopt;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        groups.push_back(static_cast<std::uint16_t>(value));
        if (end == text.size()) {
            return groups;
        }
        at = end + 1;
    }
}

} // namespace

std::optional<Ipv6Bytes> ParseIpv6(std::string_view text) {
    std::vector<std::uint16_t> groups;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        const auto all = Groups(text, true);
        if (!all || all->size() != 8) {
            return std::nullopt;
        }
        groups = *all;
    } else {
        const std::string_view after = text.substr(gap + 2);
        if (after.find("::") != std::string_view::npos) {
            return std::nullopt;
        }
        const auto head = Groups(text.substr(0, gap), false);
        const auto tail = Groups(after, true);
        // "::" stands for at least one group.
        if (!head || !tail || head->size() + tail->size() > 7) {
            return std::nullopt;
        }
        groups = *head;
        groups.resize(8 - tail->size(), 0);
        groups.insert(groups.end(), tail->begin(), tail->end());
    }
    Ipv6Bytes address{};
    for (std::size_t i = 0; i < 8; ++i) {
        address[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        address[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xff);
    }
    return address;
}

std::string Ipv6Text(const Ipv6Bytes& address) {
    std::uint16_t groups[8] = {};
    for (std::size_t i = 0; i < 8; ++i) {
        groups[i] = static_cast<std::uint16_t>(address[2 * i] << 8 | address[2 * i + 1]);
    }
    // The longest run of two or more zero groups, the first of equal ones.
    std::size_t bestStart = 8;
    std::size_t bestLength = 1;
    for (std::size_t i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < 8 && groups[end] == 0) {
            ++end;
        }
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end;
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        bool leading = true;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const int digit = (groups[i] >> shift) & 0xf;
            if (digit == 0 && leading && shift > 0) {
                continue;
            }
            leading = false;
            text += digits[digit];
        }
    }
    return text;
}

bool IsLinkLocal(const Ipv6Bytes& address) {
    return address[0] == 0xfe && (address[1] & 0xc0) == 0x80;
}

std::optional<std::string> CanonicalAddress(std::string_view text) {
    if (IsIpv6Text(text)) {
        const auto address = ParseIpv6(text);
        if (!address) {
            return std::nullopt;
        }
        return Ipv6Text(*address);
    }
    if (!ParseDottedQuad(std::string(text))) {
        return std::nullopt;
    }
    return std::string(text);
}

} // namespace Core_SocketARP
