#include "Core_SocketARP/KeyAccess.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using Core_SocketARP::KeyAccess;
using Core_SocketARP::KeyAccessEntry;
using Core_SocketARP::UntrustedKey;
using Kind = KeyAccessEntry::Kind;

constexpr const char* system_sid = "S-1-5-18";
constexpr const char* administrators = "S-1-5-32-544";
constexpr const char* users = "S-1-5-32-545";
constexpr std::uint32_t full = 0x000F003F; // KEY_ALL_ACCESS
constexpr std::uint32_t read = 0x00020019; // KEY_READ

// Keys as the program, an installer, a policy and an intruder leave them.
TEST(KeyAccess, OnlySystemAndAdministratorsMayOwnOrChangeATrustedKey) {
    const KeyAccessEntry system_full{Kind::allow, false, full, system_sid};
    const KeyAccessEntry administrators_full{Kind::allow, false, full, administrators};
    const KeyAccessEntry users_read{Kind::allow, false, read, users};
    const struct {
        const char* name;
        KeyAccess access;
        std::optional<std::string> untrusted;
    } cases[] = {
        {"the program's own", {system_sid, true, {system_full, administrators_full}}, {}},
        {"an administrator's, readable by users",
         {administrators, true, {system_full, administrators_full, users_read}},
         {}},
        {"writable for the owner's sub-keys only",
         {system_sid,
          true,
          {{Kind::allow, true, full, "S-1-3-0"}, {Kind::allow, true, full, users}}},
         {}},
        {"a write denied to users", {system_sid, true, {{Kind::deny, false, full, users}}}, {}},
        {"owned by a user",
         {"S-1-5-21-1-2-3-1000", true, {system_full}},
         "is owned by S-1-5-21-1-2-3-1000, not by SYSTEM or Administrators"},
        {"without an access list",
         {system_sid, false, {}},
         "has no access list: everyone may change it"},
        {"values writable by users",
         {system_sid, true, {system_full, {Kind::allow, false, 0x00000002, users}}},
         "lets S-1-5-32-545 change it (rights 0x00000002)"},
        {"its access list writable by everyone",
         {administrators, true, {{Kind::allow, false, 0x00040000, "S-1-1-0"}}},
         "lets S-1-1-0 change it (rights 0x00040000)"},
        {"its owner changeable by a user",
         {system_sid, true, {{Kind::allow, false, 0x00080000, "S-1-5-21-1-2-3-1000"}}},
         "lets S-1-5-21-1-2-3-1000 change it (rights 0x00080000)"},
        {"generic write for users",
         {system_sid, true, {{Kind::allow, false, 0x40000000, users}}},
         "lets S-1-5-32-545 change it (rights 0x40000000)"},
        {"an entry of an unread kind",
         {system_sid, true, {{Kind::unknown, false, read, users}}},
         "has an access entry of a kind that is not read here"},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(UntrustedKey(test.access), test.untrusted) << test.name;
    }
}

} // namespace
