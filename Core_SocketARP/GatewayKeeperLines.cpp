// The keeper's lines: in adapter order within a pass, limited per gateway and kind, and the
// reports of other MAC addresses that claim a pinned address.
#include "Core_SocketARP/GatewayKeeperGateway.h"

#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/TrustText.h"

namespace Core_SocketARP {

using Core_Common::tick_now;
using Core_Common::tick_value;
using keeper::ForEachLimit;
using keeper::Hex;

// ---- lines

std::string GatewayKeeper::Name(const Gateway& gateway) {
    return (!gateway.isGateway ? "Trusted address "
            : gateway.ipv6     ? "Router "
                               : "Gateway ") +
           gateway.request.gateway + " on " + gateway.link;
}

std::string GatewayKeeper::LineAddress(const Gateway& gateway) {
    const auto address = gateway.ipv6 ? ParseIpv6(gateway.request.gateway) : std::nullopt;
    return address && IsLinkLocal(*address) ? gateway.request.gateway + "%" + gateway.link
                                            : gateway.request.gateway;
}

void GatewayKeeper::Line(Gateway& gateway, std::function<void()> item) {
    if (gateway.ofPass) {
        gateway.queue.push_back(std::move(item));
    } else {
        item();
    }
}

Core_Service::EventFields GatewayKeeper::Fields(const Gateway& gateway,
                                                Core_Service::EventKind kind,
                                                const std::optional<HardwareAddress>& about) {
    return {kind, gateway.link, gateway.request.gateway, about ? MacText(*about) : ""};
}

Core_Service::EventKind GatewayKeeper::KindOf(Report report) {
    switch (report) {
    case Report::conflict:
    case Report::lost:
        return Core_Service::EventKind::conflict;
    case Report::impostor:
        return Core_Service::EventKind::impostor;
    case Report::challenge:
    case Report::provisional:
    case Report::replacement:
        return Core_Service::EventKind::replaced;
    default:
        return Core_Service::EventKind::none;
    }
}

void GatewayKeeper::BoundLine(Gateway& gateway, const HardwareAddress& address) {
    const int position = gateway.position;
    const std::string text = LineAddress(gateway);
    const char* format = gateway.ipv6 ? "[%d]ND set static entry: IP: %s <=> MAC address %s\n"
                                      : "[%d]ARP set static entry: IP: %s <=> MAC address %s\n";
    Line(gateway, [position, text, address, format,
                   fields = Fields(gateway, Core_Service::EventKind::pinned, address)] {
        PrintMessage(fields, format, position, text.c_str(), Hex(address).c_str());
    });
    gateway.lineDone = true;
}

void GatewayKeeper::ErrorLine(Gateway& gateway, SystemErrorCode code) {
    const int position = gateway.position;
    const char* format = gateway.ipv6 ? "[%d]ND Error %s\n" : "[%d]ARP Error %s\n";
    // The text now, while the platform's words about this failure are still kept.
    Line(gateway, [position, text = ErrorText(code), format,
                   fields = Fields(gateway, Core_Service::EventKind::error, std::nullopt)] {
        PrintErrorMessage(fields, format, position, text.c_str());
    });
    gateway.lineDone = true;
}

std::vector<std::string> GatewayKeeper::KnownRouters(const std::string& link,
                                                     const std::string& router) {
    // Remembered on the link, trusted by the link's name, and the routers of the link so far
    // that are trusted wherever they route.
    std::vector<std::string> known;
    const auto add = [&](const std::string& address) {
        if (address != router && IsIpv6Text(address) &&
            std::find(known.begin(), known.end(), address) == known.end()) {
            known.push_back(address);
        }
    };
    for (const std::string& address : memory_.OnLink(link)) {
        add(address);
    }
    for (const auto& entry : trusted_.ForLinkIpv6(link)) {
        add(entry.address);
    }
    for (const Gateway& other : gateways_) {
        if (other.link == link && other.ipv6 && other.isGateway && other.trusted) {
            add(other.request.gateway);
        }
    }
    return known;
}

void GatewayKeeper::ReportNewRouter(Gateway& gateway, const HardwareAddress& address,
                                    tick_value now) {
    // Routers that come to a link together are each other's equals: only one that comes to a
    // link with known routers is new beside them.
    if (!gateway.ipv6 || !gateway.isGateway || gateway.knownRouters.empty()) {
        return;
    }
    std::string list;
    for (const std::string& router : gateway.knownRouters) {
        list += (list.empty() ? "" : ", ") + router;
    }
    Warn(gateway, Report::rogue,
         Name(gateway) + " is a router not seen before on " + gateway.link + ", at " +
             Hex(address) + ": pinned to it and remembered; the routers known there: " + list +
             ". Unless it is one of yours, a host on " + gateway.link +
             " advertises itself as a router: find it by its MAC, and have the switch drop "
             "router advertisements from hosts (RA Guard)",
         now, address);
}

void GatewayKeeper::Warn(Gateway& gateway, Report kind, const std::string& text, tick_value now,
                         const std::optional<HardwareAddress>& about) {
    Limited(
        gateway, kind, now,
        [this, &gateway, text, fields = Fields(gateway, KindOf(kind), about)] {
            Line(gateway, [text, fields] { ReportArp(Core_Service::log_warn, 0, text, fields); });
        },
        text, about);
}

void GatewayKeeper::Limited(Gateway& gateway, Report kind, tick_value now,
                            const std::function<void()>& first, const std::string& held,
                            const std::optional<HardwareAddress>& about) {
    Limit& limit = gateway.limits[static_cast<std::size_t>(kind)];
    limit.period = kind == Report::silent || kind == Report::failure
                       ? std::chrono::milliseconds{reminder_period}
                       : std::chrono::milliseconds{report_period};
    Limited(gateway, limit, now, first, held, Fields(gateway, KindOf(kind), about), 1);
}

void GatewayKeeper::Limited(Gateway& gateway, Limit& limit, tick_value now,
                            const std::function<void()>& first, const std::string& held,
                            Core_Service::EventFields fields, std::uint64_t count) {
    FlushLimits(gateway, now);
    const bool quiet =
        !limit.printed || now - *limit.printed >= static_cast<tick_value>(limit.period.count());
    if (quiet) {
        limit.printed = now;
        first();
        --count;
    }
    if (count > 0) {
        limit.held += count;
        limit.text = held;
        limit.fields = std::move(fields);
    }
}

void GatewayKeeper::FlushLimits(Gateway& gateway, tick_value now, bool all) {
    ForEachLimit(gateway, [&](Limit& limit) {
        if (limit.held == 0 || !limit.printed ||
            (!all && now - *limit.printed < static_cast<tick_value>(limit.period.count()))) {
            return;
        }
        const std::string text = limit.text + " (" + std::to_string(limit.held) +
                                 (limit.held == 1 ? " time" : " times") + " since the last report)";
        limit.printed = now;
        limit.held = 0;
        Line(gateway,
             [text, fields = limit.fields] { ReportArp(Core_Service::log_warn, 0, text, fields); });
    });
}

GatewayKeeper::Limit& GatewayKeeper::ClaimLimit(Gateway& gateway, const HardwareAddress& mac) {
    auto& claims = gateway.claimLimits;
    const auto found = std::find_if(claims.begin(), claims.end(),
                                    [&mac](const auto& claim) { return claim.first == mac; });
    if (found != claims.end()) {
        return found->second;
    }
    if (claims.size() < claim_mac_limit) {
        claims.emplace_back(mac, Limit{});
    } else if (claims.size() == claim_mac_limit) {
        claims.emplace_back(HardwareAddress{}, Limit{});
    }
    Limit& limit = claims.back().second;
    limit.period = report_period;
    return limit;
}

void GatewayKeeper::PrintReady() {
    while (next_to_print_ < gateways_.size() && gateways_[next_to_print_].lineDone) {
        Gateway& gateway = gateways_[next_to_print_];
        gateway.ofPass = false;
        for (const auto& item : gateway.queue) {
            item();
        }
        gateway.queue.clear();
        ++next_to_print_;
    }
}

// ---- claims of the pins

std::vector<WatchedPin> GatewayKeeper::WatchedPins() const {
    std::vector<WatchedPin> pins;
    for (const Gateway& gateway : gateways_) {
        if (gateway.phase == Phase::settled && gateway.pinned && !gateway.outOfTable) {
            pins.push_back(
                {gateway.request.interfaceIndex, gateway.request.gateway, *gateway.pinned});
        }
    }
    return pins;
}

void GatewayKeeper::ReportClaims(const std::vector<ForgedClaim>& claims) {
    const tick_value now = tick_now();
    for (const ForgedClaim& claim : claims) {
        const auto found = Find(claim.interfaceIndex, claim.address);
        if (!found || claim.frames == 0) {
            continue;
        }
        Gateway& gateway = gateways_[*found];
        if (gateway.phase == Phase::settled && gateway.pinned && !gateway.outOfTable &&
            *gateway.pinned != claim.mac) {
            ReportClaim(gateway, claim, now);
        }
    }
    PrintReady();
}

void GatewayKeeper::ReportClaim(Gateway& gateway, const ForgedClaim& claim, tick_value now) {
    Limit& limit = ClaimLimit(gateway, claim.mac);
    const bool further = gateway.claimLimits.size() > claim_mac_limit &&
                         &limit == &gateway.claimLimits.back().second;
    const std::string pinned = Hex(*gateway.pinned);
    const std::string claimed =
        further ? "further MAC addresses (the latest " + Hex(claim.mac) + ")" : Hex(claim.mac);
    const Core_Service::EventFields fields =
        Fields(gateway, Core_Service::EventKind::attack, claim.mac);
    // IPv4 addresses are claimed by ARP frames, IPv6 routers' by Neighbor Advertisements.
    const char* one = gateway.ipv6 ? "a Neighbor Advertisement claims" : "an ARP frame claims";
    const char* many = gateway.ipv6 ? "Neighbor Advertisements claim" : "ARP frames claim";
    const std::string first = Name(gateway) + " is pinned to " + pinned + ", and " + one +
                              " it is at " + claimed + ": forged, and dropped by the pin";
    Limited(
        gateway, limit, now,
        [this, &gateway, first, fields] {
            Line(gateway, [first, fields] { ReportArp(Core_Service::log_warn, 0, first, fields); });
        },
        Name(gateway) + ": " + many + " it is at " + claimed + ", not at the pinned " + pinned +
            ": forged, and dropped by the pin",
        fields, claim.frames);
}

} // namespace Core_SocketARP
