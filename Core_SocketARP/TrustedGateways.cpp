#include "Core_SocketARP/TrustedGateways.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/TrustText.h"

#include <algorithm>

namespace Core_SocketARP {
namespace {

constexpr std::size_t reported_line_limit = 5;

bool InSubnet(std::uint32_t address, std::uint32_t own, int prefixLength) {
    if (prefixLength <= 0 || prefixLength > 32) {
        return false;
    }
    // Network byte order: the mask is built on the bytes as they travel.
    std::uint32_t mask = 0;
    auto* bytes = reinterpret_cast<std::uint8_t*>(&mask);
    for (int bit = 0; bit < prefixLength; ++bit) {
        bytes[bit / 8] = static_cast<std::uint8_t>(bytes[bit / 8] | (0x80 >> (bit % 8)));
    }
    return (address & mask) == (own & mask);
}

} // namespace

TrustedGateways::TrustedGateways(std::vector<StateStore*> stores, ArpReporter report)
    : stores_(std::move(stores)), report_(std::move(report)) {
    if (!report_) {
        report_ = [](int level, SystemErrorCode code, const std::string& text) {
            ReportArp(level, code, text);
        };
    }
}

void TrustedGateways::Reader::Line(std::string_view line) {
    ++line_;
    const auto problem = [&](std::string reason) {
        problems_.push_back({line_, std::move(reason)});
    };
    if (line.size() > StateStore::line_limit) {
        problem("longer than " + std::to_string(StateStore::line_limit) + " bytes");
        return;
    }
    const std::vector<std::string_view> fields = LineFields(line, 3);
    if (fields.empty()) {
        return;
    }
    if (fields.size() < 2 || fields.size() > 3) {
        problem("an entry is an address, a MAC and an optional link");
        return;
    }
    // An IPv6 address is kept in its one text, whatever text the administrator wrote.
    const auto canonical = CanonicalAddress(fields[0]);
    if (!canonical) {
        problem("\"" + std::string(fields[0]) + "\" is not an IPv4 or IPv6 address");
        return;
    }
    const std::string& address = *canonical;
    const auto mac = ParseMac(fields[1]);
    if (!mac) {
        problem("\"" + std::string(fields[1]) +
                "\" is not a unicast MAC address (aa:bb:cc:dd:ee:ff, aa-bb-cc-dd-ee-ff or 12 "
                "hexadecimal digits)");
        return;
    }
    std::string link;
    if (fields.size() == 3) {
        const auto name = DecodeLinkName(fields[2]);
        if (!name) {
            problem("\"" + std::string(fields[2]) + "\" is not a link's name");
            return;
        }
        link = *name;
    }
    if (entries_.size() >= entry_limit) {
        problem("more than " + std::to_string(entry_limit) + " entries");
        return;
    }
    const auto same = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
        return e.address == address && e.link == link;
    });
    if (same != entries_.end()) {
        if (same->mac != *mac) {
            problem(address + " is listed before with another MAC address; the later one is used");
        }
        same->mac = *mac;
        return;
    }
    entries_.push_back(Entry{address, *mac, link});
}

std::string TrustedGateways::Where() const {
    std::string where;
    for (const StateStore* store : stores_) {
        where += (where.empty() ? "" : ", ") + store->Where();
    }
    return where;
}

void TrustedGateways::Load() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    for (StateStore* store : stores_) {
        const std::string where = store->Where();
        Reader reader;
        try {
            const StateStore::ReadResult read =
                store->ReadLines([&](std::string_view line) { reader.Line(line); });
            if (!read.found) {
                continue;
            }
            if (read.truncated) {
                report_(Core_Service::log_warn, 0,
                        "The trusted gateways in " + where + " are larger than " +
                            std::to_string(StateStore::size_limit >> 20) +
                            " MiB: the rest was not read");
            }
        } catch (SystemErrorCode code) {
            report_(Core_Service::log_warn, code,
                    "The trusted gateways in " + where + " could not be read; they are not used: " +
                        Core_Common::without_line_end(ErrorText(code)));
            continue;
        } catch (const StoreRefused& refused) {
            report_(Core_Service::log_warn, 0,
                    "The trusted gateways in " + where + " are not used: it " + refused.reason +
                        " (it must belong to root and be writable by its owner only)");
            continue;
        }
        const auto& problems = reader.Problems();
        for (std::size_t i = 0; i < problems.size() && i < reported_line_limit; ++i) {
            report_(Core_Service::log_warn, 0,
                    "The trusted gateways in " + where + ": line " +
                        std::to_string(problems[i].line) + " skipped: " + problems[i].reason);
        }
        if (problems.size() > reported_line_limit) {
            report_(Core_Service::log_warn, 0,
                    "The trusted gateways in " + where + ": " +
                        std::to_string(problems.size() - reported_line_limit) +
                        " more lines skipped");
        }
        for (Entry& entry : reader.Result()) {
            const auto same = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
                return e.address == entry.address && e.link == entry.link;
            });
            if (same != entries_.end()) {
                *same = std::move(entry);
            } else {
                entries_.push_back(std::move(entry));
            }
        }
    }
}

std::optional<HardwareAddress> TrustedGateways::Lookup(const std::string& link,
                                                       const std::string& address) {
    Load();
    std::optional<HardwareAddress> any;
    for (const Entry& entry : entries_) {
        if (entry.address != address) {
            continue;
        }
        if (entry.link == link) {
            return entry.mac;
        }
        if (entry.link.empty()) {
            any = entry.mac;
        }
    }
    return any;
}

std::vector<TrustedGateways::Entry>
TrustedGateways::ForLink(const std::string& link, const std::string& own, int prefixLength) {
    Load();
    const auto ownAddress = ParseDottedQuad(own);
    std::vector<Entry> found;
    for (const Entry& entry : entries_) {
        const auto address = ParseDottedQuad(entry.address);
        if (!address) {
            continue; // IPv6: ForLinkIpv6
        }
        const bool named = entry.link == link;
        const bool onSubnet =
            entry.link.empty() && ownAddress && InSubnet(*address, *ownAddress, prefixLength);
        if (!named && !onSubnet) {
            continue;
        }
        // The entry naming the link wins over one naming none for the same address.
        const auto same = std::find_if(found.begin(), found.end(),
                                       [&](const Entry& e) { return e.address == entry.address; });
        if (same == found.end()) {
            found.push_back(entry);
        } else if (named) {
            *same = entry;
        }
    }
    return found;
}

std::vector<TrustedGateways::Entry> TrustedGateways::ForLinkIpv6(const std::string& link) {
    Load();
    std::vector<Entry> found;
    for (const Entry& entry : entries_) {
        if (entry.link == link && IsIpv6Text(entry.address)) {
            found.push_back(entry);
        }
    }
    return found;
}

} // namespace Core_SocketARP
