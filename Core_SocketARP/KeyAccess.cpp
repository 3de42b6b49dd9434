#include "Core_SocketARP/KeyAccess.h"

#include <cstdio>

namespace Core_SocketARP {
namespace {

constexpr const char* local_system = "S-1-5-18";
constexpr const char* administrators = "S-1-5-32-544";
// Stand for the owner in an entry; the owner is judged on its own.
constexpr const char* creator_owner = "S-1-3-0";
constexpr const char* owner_rights = "S-1-3-4";

bool IsAdministration(const std::string& sid) {
    return sid == local_system || sid == administrators;
}

std::string Hex(std::uint32_t mask) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(mask));
    return text;
}

} // namespace

std::optional<std::string> UntrustedKey(const KeyAccess& access) {
    if (!IsAdministration(access.owner)) {
        return "is owned by " + access.owner + ", not by SYSTEM or Administrators";
    }
    if (!access.has_list) {
        return "has no access list: everyone may change it";
    }
    for (const auto& entry : access.entries) {
        if (entry.kind == KeyAccessEntry::Kind::deny || entry.inherit_only) {
            continue;
        }
        if (entry.kind == KeyAccessEntry::Kind::unknown) {
            return "has an access entry of a kind that is not read here";
        }
        const bool changes = (entry.mask & key_rights::changing) != 0;
        if (changes && !IsAdministration(entry.trustee) && entry.trustee != creator_owner &&
            entry.trustee != owner_rights) {
            return "lets " + entry.trustee + " change it (rights " + Hex(entry.mask) + ")";
        }
    }
    return std::nullopt;
}

} // namespace Core_SocketARP
