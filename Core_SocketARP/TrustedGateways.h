// The administrator's trusted gateways: addresses whose MAC the administrator gives, one entry a
// line, for fleets where nothing is to be learnt from the network:
//
//     # address      mac                 link (optional: any link whose subnet holds it)
//     10.80.0.1      00:11:22:33:44:55   eth0
//     10.80.0.53,    00-11-22-33-44-66
//     fe80::1        00:11:22:33:44:77   eth0
//
// Fields are separated by blanks, tabs or commas; "#" starts a comment; a MAC is written
// aa:bb:cc:dd:ee:ff, aa-bb-cc-dd-ee-ff or as 12 hexadecimal digits. A trusted address is pinned
// from the list before anyone is asked, never replaced and never forgotten, and any other MAC
// that answers for it is an impostor. An entry need not be a gateway: any address on a
// connected link is pinned and kept the same way. A line that cannot be read is reported with
// its number and skipped; the rest is used. An IPv6 address (a router's, usually link-local)
// names its link to be pinned on it; without one it is trusted wherever it is a router.
#pragma once

#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/StateStore.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Core_SocketARP {

class TrustedGateways {
public:
    struct Entry {
        std::string address; // dotted decimal, or Ipv6Text
        HardwareAddress mac;
        std::string link; // empty: any link whose subnet holds the address
        bool operator==(const Entry&) const = default;
    };

    // Entries the list may hold; the rest is reported and skipped.
    static constexpr std::size_t entry_limit = 1024;

    // The stores are read in order at the first use; a later store's entry for the same
    // address and link replaces an earlier one. What could not be read is told to `report`
    // (none: ReportArp).
    explicit TrustedGateways(std::vector<StateStore*> stores = {}, ArpReporter report = {});

    // The trusted MAC of the address on the link: the entry that names the link, else one
    // that names none.
    std::optional<HardwareAddress> Lookup(const std::string& link, const std::string& address);

    // The IPv4 entries that apply to a link: those naming it, and those naming no link whose
    // address lies in the subnet of `own`/`prefixLength` (the link's own address).
    std::vector<Entry> ForLink(const std::string& link, const std::string& own, int prefixLength);

    // The IPv6 entries that name the link. (One naming no link applies to a router of that
    // address on any link: Lookup.)
    std::vector<Entry> ForLinkIpv6(const std::string& link);

    // Where the list is kept, for reports ("a, b").
    std::string Where() const;

    // Reads one stored list line by line; `Problems` tells what was skipped.
    class Reader {
    public:
        void Line(std::string_view line);

        struct Problem {
            std::size_t line = 0;
            std::string reason;
        };
        const std::vector<Problem>& Problems() const { return problems_; }
        std::vector<Entry>& Result() { return entries_; }

    private:
        std::size_t line_ = 0;
        std::vector<Problem> problems_;
        std::vector<Entry> entries_;
    };

private:
    void Load();

    std::vector<StateStore*> stores_;
    ArpReporter report_;
    bool loaded_ = false;
    std::vector<Entry> entries_;
};

} // namespace Core_SocketARP
