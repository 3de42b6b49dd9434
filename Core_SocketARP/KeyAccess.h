// Whether a registry key may be trusted with the program's texts: who owns it and whom its
// access list lets change it. The Windows store reads the key's security descriptor into these
// stand-ins; the judgement is here, so that it is tested on every platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Core_SocketARP {

// The access rights that change a key, its values or its security, as the Win32 headers
// number them (the Windows store checks that they agree).
namespace key_rights {
inline constexpr std::uint32_t set_value = 0x0002;
inline constexpr std::uint32_t create_sub_key = 0x0004;
inline constexpr std::uint32_t create_link = 0x0020;
inline constexpr std::uint32_t remove = 0x00010000;      // DELETE
inline constexpr std::uint32_t write_dac = 0x00040000;   // WRITE_DAC
inline constexpr std::uint32_t write_owner = 0x00080000; // WRITE_OWNER
inline constexpr std::uint32_t generic_all = 0x10000000;
inline constexpr std::uint32_t generic_write = 0x40000000;
inline constexpr std::uint32_t changing = set_value | create_sub_key | create_link | remove |
                                          write_dac | write_owner | generic_all | generic_write;
} // namespace key_rights

// One entry of a key's access list; the trustee as a SID string ("S-1-5-18").
struct KeyAccessEntry {
    enum class Kind { allow, deny, unknown }; // unknown: a kind the program does not read
    Kind kind = Kind::allow;
    bool inherit_only = false; // for the sub-keys only, not for the key itself
    std::uint32_t mask = 0;
    std::string trustee;
};

struct KeyAccess {
    std::string owner;    // SID string
    bool has_list = true; // no access list at all lets everyone do everything
    std::vector<KeyAccessEntry> entries;
};

// Why the key must not be trusted, in words for a report ("is owned by S-1-5-32-545, not by
// SYSTEM or Administrators"); nothing when only SYSTEM and Administrators may change it.
// Denying entries are not weighed: a key is trusted only when nobody else is allowed at all.
std::optional<std::string> UntrustedKey(const KeyAccess& access);

} // namespace Core_SocketARP
