#include "Core_SocketARP/Ipv6Address.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Core_SocketARP::CanonicalAddress;

// Whatever text an address comes in, it has one text (lower case, no leading zeros, the
// longest run of two or more zero groups as "::", the first of equal runs); texts that are no
// address have none.
TEST(Ipv6Address, EveryTextOfAnAddressGivesItsOneTextAndOthersNone) {
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"fe80::1", "fe80::1"},
        {"FE80:0000:0000:0000:0000:0000:0000:0001", "fe80::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"2001:0db8::0001", "2001:db8::1"},
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        {"::ffff:10.0.0.1", "::ffff:a00:1"},
        {"10.0.0.1", "10.0.0.1"},
    };
    for (const auto& [text, canonical] : texts) {
        EXPECT_EQ(CanonicalAddress(text), canonical) << text;
    }
    for (const char* text : {"", ":", ":::", "fe80::1::2", "fe80:::1", ":fe80::1",
                             "fe80::1:", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7", "12345::1",
                             "fe80::g", "fe80::1%eth0", "::10.0.0.256", "1.2.3.4::", "10.0.0"}) {
        EXPECT_FALSE(CanonicalAddress(text)) << text;
    }
}

} // namespace
