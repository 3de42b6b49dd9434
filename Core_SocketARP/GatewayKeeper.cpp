// The keeper's phases, its passes, the table's pins and repairs, and its time; a round's
// requests and answers are GatewayKeeperRounds.cpp, the lines GatewayKeeperLines.cpp.
#include "Core_SocketARP/GatewayKeeper.h"

#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/GatewayKeeperGateway.h"
#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/TrustText.h"

namespace Core_SocketARP {

using Core_Common::tick_now;
using Core_Common::tick_value;
using keeper::ForEachLimit;
using keeper::Hex;
using keeper::MsUntil;
using keeper::Seconds;

namespace {

// What names a link in the trust sources (never empty) and in reports.
std::string LinkKey(const std::string& name, std::uint32_t index) {
    return name.empty() ? "#" + std::to_string(index) : name;
}

// An address the keeper pins on an adapter's link, with the adapter's address to ask it from.
struct Kept {
    std::string address;
    std::string source;
    bool isGateway = true;
};

// Everything the keeper pins on the adapter's link, in the order of its lines: the first
// gateway, the further ones, then the trusted addresses that are none of them.
std::vector<Kept> KeptOn(const AdapterInfo& adapter, TrustedGateways& trusted) {
    std::vector<Kept> kept;
    const auto listed = [&kept](const std::string& address) {
        return std::any_of(kept.begin(), kept.end(),
                           [&](const Kept& k) { return k.address == address; });
    };
    if (!adapter.gateway.empty()) {
        kept.push_back({adapter.gateway, adapter.address, true});
    }
    for (const FurtherGateway& further : adapter.moreGateways) {
        if (!further.gateway.empty() && !listed(further.gateway)) {
            kept.push_back({further.gateway, further.source, true});
        }
    }
    const std::string link = LinkKey(adapter.name, adapter.index);
    for (const auto& entry : trusted.ForLink(link, adapter.address, adapter.prefixLength)) {
        if (!listed(entry.address)) {
            kept.push_back({entry.address, adapter.address, false});
        }
    }
    return kept;
}

} // namespace

GatewayKeeper::GatewayKeeper(NetworkStack& stack, ArpResolver& resolver, GatewayMemory& memory,
                             TrustedGateways& trusted)
    : stack_(stack), resolver_(resolver), memory_(memory), trusted_(trusted),
      pace_(resolver.Pace()) {}

GatewayKeeper::~GatewayKeeper() = default;

std::optional<std::size_t> GatewayKeeper::Find(std::uint32_t interfaceIndex,
                                               const std::string& gateway) const {
    const auto found = std::find_if(gateways_.begin(), gateways_.end(), [&](const Gateway& g) {
        return g.request.interfaceIndex == interfaceIndex && g.request.gateway == gateway;
    });
    if (found == gateways_.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - gateways_.begin());
}

// ---- phases

bool GatewayKeeper::IsOpen(Phase phase) {
    return phase == Phase::asking || phase == Phase::window || phase == Phase::challenging;
}

void GatewayKeeper::Enter(Gateway& gateway, Phase phase, tick_value due) {
#ifndef NDEBUG
    const bool allowed = (phase != Phase::window || gateway.phase == Phase::asking) &&
                         (phase != Phase::challenging || gateway.phase == Phase::window) &&
                         (phase != Phase::provisional || gateway.candidate.has_value());
    if (!allowed) {
        throw 0; // a transition the diagram does not have: a programming error
    }
#endif
    gateway.phase = phase;
    gateway.due = phase == Phase::settled ? 0 : std::max<tick_value>(due, 1);
}

void GatewayKeeper::Verify([[maybe_unused]] const Gateway& gateway) const {
#ifndef NDEBUG
    const bool consistent =
        (gateway.due == 0) == (gateway.phase == Phase::settled) &&
        gateway.listening == IsOpen(gateway.phase) &&
        (gateway.phase != Phase::asking || gateway.answers.empty()) &&
        (gateway.phase != Phase::window || !gateway.answers.empty()) &&
        (gateway.phase != Phase::challenging ||
         (gateway.candidate && gateway.remembered && !gateway.trusted)) &&
        (gateway.phase != Phase::provisional || gateway.pinned == gateway.candidate) &&
        (!gateway.candidate || (gateway.remembered && !gateway.trusted)) &&
        gateway.answers.size() <= answer_limit;
    if (!consistent) {
        throw 0;
    }
#endif
}

// ---- the pass

bool GatewayKeeper::Holds(const AdapterInfo& adapter) {
    const std::string link = LinkKey(adapter.name, adapter.index);
    const std::vector<Kept> wanted = KeptOn(adapter, trusted_);
    if (wanted.empty()) {
        return false;
    }
    std::vector<std::pair<std::uint32_t, std::string>> entries;
    std::vector<const Gateway*> pins;
    for (const Kept& kept : wanted) {
        const auto found = Find(adapter.index, kept.address);
        if (!found) {
            return false;
        }
        const Gateway& gateway = gateways_[*found];
        if (gateway.link != link || !gateway.pinned || gateway.outOfTable) {
            return false;
        }
        entries.emplace_back(adapter.index, kept.address);
        pins.push_back(&gateway);
    }
    // A pin of a gateway the link no longer uses goes with the link's flush.
    for (const Gateway& gateway : gateways_) {
        if (gateway.request.interfaceIndex == adapter.index && gateway.pinned && !gateway.ipv6 &&
            std::none_of(wanted.begin(), wanted.end(),
                         [&](const Kept& k) { return k.address == gateway.request.gateway; })) {
            return false;
        }
    }
    try {
        const auto found = stack_.ReadStaticEntries(entries);
        for (std::size_t i = 0; i < pins.size(); ++i) {
            if (i >= found.size() || found[i] != pins[i]->pinned) {
                return false;
            }
        }
    } catch (SystemErrorCode) {
        return false;
    }
    return true;
}

void GatewayKeeper::ResolvePass(const std::vector<AdapterInfo>& adapters,
                                const std::vector<bool>& kept) {
    std::vector<Gateway> previous = std::move(gateways_);
    gateways_.clear();
    std::vector<bool> held;
    const auto take = [&](const AdapterInfo& adapter, int position, const Kept& kept,
                          bool linkHeld) {
        const std::string& address = kept.address;
        const std::string link = LinkKey(adapter.name, adapter.index);
        const auto same = std::find_if(previous.begin(), previous.end(), [&](const Gateway& g) {
            return g.request.interfaceIndex == adapter.index && g.request.gateway == address &&
                   g.link == link && !g.request.gateway.empty();
        });
        Gateway gateway;
        const bool ipv6 = IsIpv6Text(address);
        if (same != previous.end()) {
            gateway = std::move(*same);
            same->request.gateway.clear(); // taken
        } else if (ipv6 && kept.isGateway) {
            gateway.knownRouters = KnownRouters(link, address);
        }
        gateway.request =
            GatewayRequest{adapter.index, address, kept.source, adapter.linkAddress, {}};
        gateway.link = link;
        gateway.position = position;
        gateway.isGateway = kept.isGateway;
        gateway.ipv6 = ipv6;
        gateway.address = ipv6 ? std::nullopt : ParseDottedQuad(address);
        gateway.trusted = trusted_.Lookup(link, address);
        if (gateway.trusted) {
            gateway.candidate.reset();
        }
        gateway.ofPass = true;
        gateway.lineDone = false;
        gateway.queue.clear();
        // No flush touches IPv6 entries: a router's pin is left in place whatever became of
        // its link's IPv4 side, as long as it stands as the keeper chose it.
        held.push_back(gateway.pinned.has_value() && !gateway.outOfTable &&
                       (ipv6 ? Standing(gateway) : linkHeld));
        gateways_.push_back(std::move(gateway));
    };
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        const AdapterInfo& adapter = adapters[i];
        const int position = static_cast<int>(i);
        const bool linkHeld = i < kept.size() && kept[i];
        for (const Kept& kept : KeptOn(adapter, trusted_)) {
            take(adapter, position, kept, linkHeld);
        }
        // The link's IPv6 side after its IPv4 side: its routers, then the IPv6 addresses
        // trusted on it (a link without IPv6 has no link-local address to ask from).
        for (const std::string& router : adapter.routers) {
            take(adapter, position, Kept{router, adapter.linkLocal, true}, linkHeld);
        }
        if (!adapter.linkLocal.empty() || !adapter.routers.empty()) {
            for (const auto& entry : trusted_.ForLinkIpv6(LinkKey(adapter.name, adapter.index))) {
                if (std::find(adapter.routers.begin(), adapter.routers.end(), entry.address) ==
                    adapter.routers.end()) {
                    take(adapter, position, Kept{entry.address, adapter.linkLocal, false},
                         linkHeld);
                }
            }
        }
    }
    // What is gone is no longer listened to, and what its reports held back is told now. Its
    // IPv4 pins went with its link's flush; an IPv6 pin, which no flush removes, is removed here.
    for (Gateway& gone : previous) {
        if (gone.request.gateway.empty()) {
            continue;
        }
        if (gone.listening) {
            resolver_.Forget(gone.request.interfaceIndex, gone.request.gateway);
        }
        gone.ofPass = false;
        FlushLimits(gone, tick_now(), true);
        if (gone.ipv6 && gone.pinned) {
            try {
                stack_.DeleteArpEntry(gone.request.interfaceIndex, gone.request.gateway);
            } catch (SystemErrorCode) { // its link is gone, and the entry with it
            }
        }
    }
    next_to_print_ = 0;

    // Every request goes out before the first answer is looked at: a silent gateway delays no
    // other.
    std::vector<GatewayRequest> requests;
    for (std::size_t i = 0; i < gateways_.size(); ++i) {
        if (!held[i]) {
            requests.push_back(gateways_[i].request);
        }
    }
    try {
        resolver_.Expect(requests);
    } catch (SystemErrorCode) { // each request then fails, and says why, on its own
    }
    const tick_value now = tick_now();
    for (std::size_t i = 0; i < gateways_.size(); ++i) {
        Gateway& gateway = gateways_[i];
        if (held[i]) {
            // Left in place: its line says what stands, and whatever it waited for goes on.
            BoundLine(gateway, *gateway.pinned);
        } else {
            gateway.pinned.reset(); // its link was flushed
            gateway.outOfTable = false;
            StartRound(gateway, now);
        }
        // Later requests (retries, repairs) look the link's address up afresh.
        gateway.request.linkAddress.clear();
    }
    PrintReady();
    while (next_to_print_ < gateways_.size()) {
        // Bounded: every gateway has its line within its round's tries.
        const auto wait = std::clamp(TimeToNextDeadline().value_or(pace_.interval),
                                     std::chrono::milliseconds{0}, pace_.interval);
        resolver_.Wait(wait);
        TakeAnswers();
        Tick();
    }
}

// ---- the table

bool GatewayKeeper::Pin(Gateway& gateway, const HardwareAddress& address, tick_value now) {
    if (gateway.pinned == address && !gateway.outOfTable) {
        if (!gateway.lineDone) {
            BoundLine(gateway, address);
        }
        return true;
    }
    const bool changed = gateway.pinned != address;
    try {
        SetStaticEntry(stack_, gateway.request.interfaceIndex, gateway.request.gateway, address);
    } catch (SystemErrorCode code) {
        gateway.pinned.reset();
        gateway.outOfTable = false;
        StopListening(gateway);
        if (!gateway.lineDone) {
            ErrorLine(gateway, code);
        } else {
            Warn(gateway, Report::failure,
                 Name(gateway) + " could not be pinned to " + Hex(address) + ": " +
                     Core_Common::without_line_end(ErrorText(code)) + "; asking again in " +
                     Seconds(NextBackoff(gateway)),
                 now, address);
        }
        Retry(gateway, now);
        return false;
    }
    gateway.pinned = address;
    gateway.outOfTable = false;
    if (changed || !gateway.lineDone) {
        BoundLine(gateway, address);
    }
    return true;
}

void GatewayKeeper::Restore(Gateway& gateway, tick_value now, bool report) {
    const HardwareAddress address = *gateway.pinned;
    try {
        SetStaticEntry(stack_, gateway.request.interfaceIndex, gateway.request.gateway, address);
    } catch (SystemErrorCode code) {
        gateway.pinned.reset();
        gateway.outOfTable = false;
        Warn(gateway, Report::failure,
             Name(gateway) + " could not be pinned again to " + Hex(address) + ": " +
                 Core_Common::without_line_end(ErrorText(code)) + "; asking again in " +
                 Seconds(NextBackoff(gateway)),
             now, address);
        Retry(gateway, now);
        return;
    }
    gateway.outOfTable = false;
    if (report) {
        Limited(
            gateway, Report::restored, now,
            [this, &gateway, address] { BoundLine(gateway, address); },
            Name(gateway) + ": its entry was removed or changed and was pinned again to " +
                Hex(address),
            address);
    }
}

void GatewayKeeper::Check(std::vector<Gateway*> gateways, tick_value now) {
    std::erase_if(gateways, [](const Gateway* g) { return !g->pinned || g->outOfTable; });
    if (gateways.empty()) {
        return;
    }
    std::vector<std::pair<std::uint32_t, std::string>> entries;
    entries.reserve(gateways.size());
    for (const Gateway* gateway : gateways) {
        entries.emplace_back(gateway->request.interfaceIndex, gateway->request.gateway);
    }
    std::vector<std::optional<HardwareAddress>> found;
    try {
        found = stack_.ReadStaticEntries(entries);
    } catch (SystemErrorCode) {
        return; // the table cannot be read now; the next check will tell
    }
    for (std::size_t i = 0; i < gateways.size() && i < found.size(); ++i) {
        if (found[i] != gateways[i]->pinned) {
            Restore(*gateways[i], now, true);
        }
    }
}

bool GatewayKeeper::Standing(const Gateway& gateway) {
    try {
        return stack_.ReadStaticEntry(gateway.request.interfaceIndex, gateway.request.gateway) ==
               gateway.pinned;
    } catch (SystemErrorCode) {
        return false;
    }
}

void GatewayKeeper::RemoveIpv6Pins() {
    for (Gateway& gateway : gateways_) {
        if (!gateway.ipv6 || !gateway.pinned) {
            continue;
        }
        StopListening(gateway);
        const std::string text = LineAddress(gateway);
        try {
            stack_.DeleteArpEntry(gateway.request.interfaceIndex, gateway.request.gateway);
        } catch (SystemErrorCode code) {
            PrintErrorMessage("[%d]ND Error %s\n", gateway.position, ErrorText(code).c_str());
            continue;
        }
        gateway.pinned.reset();
        gateway.outOfTable = false;
        PrintMessage("[%d]ND removed static entry: IP: %s\n", gateway.position, text.c_str());
    }
}

void GatewayKeeper::Repair(const ChangeReport& report) {
    const tick_value now = tick_now();
    std::vector<Gateway*> touched;
    for (Gateway& gateway : gateways_) {
        const std::uint32_t index = gateway.request.interfaceIndex;
        const bool linkTouched =
            report.overrun ||
            std::find(report.links.begin(), report.links.end(), index) != report.links.end();
        const bool entryTouched =
            std::find(report.neighbours.begin(), report.neighbours.end(),
                      std::make_pair(index, gateway.request.gateway)) != report.neighbours.end();
        if (!linkTouched && !entryTouched) {
            continue;
        }
        if (gateway.pinned) {
            touched.push_back(&gateway);
        } else if (linkTouched && gateway.phase == Phase::waiting) {
            gateway.due = std::max<tick_value>(now, 1); // the link changed: it may answer now
        }
    }
    Check(std::move(touched), now);
    Tick();
}

void GatewayKeeper::CheckPins() {
    std::vector<Gateway*> all;
    all.reserve(gateways_.size());
    for (Gateway& gateway : gateways_) {
        all.push_back(&gateway);
    }
    Check(std::move(all), tick_now());
    PrintReady();
}

// ---- time

void GatewayKeeper::Tick() { Advance(false); }

void GatewayKeeper::Advance(bool openOnly) {
    const tick_value now = tick_now();
    for (Gateway& gateway : gateways_) {
        FlushLimits(gateway, now);
        if (gateway.phase == Phase::settled || gateway.due > now) {
            continue;
        }
        if (gateway.outOfTable) {
            Restore(gateway, now, false); // its request went unanswered
            if (gateway.phase == Phase::waiting) {
                continue;
            }
        }
        switch (gateway.phase) {
        case Phase::asking:
            if (gateway.triesSent < pace_.tries) {
                Send(gateway, now);
            } else {
                Silent(gateway, pace_.noAnswerError, now);
            }
            break;
        case Phase::window:
            CloseRound(gateway, now);
            break;
        case Phase::challenging:
            if (gateway.triesSent < std::max(challenge_tries, pace_.tries)) {
                Send(gateway, now);
            } else {
                EndChallenge(gateway, now);
            }
            break;
        case Phase::provisional:
        case Phase::waiting:
            if (!openOnly) {
                StartRound(gateway, now);
            }
            break;
        case Phase::settled:
            break;
        }
    }
    for (const Gateway& gateway : gateways_) {
        Verify(gateway);
    }
    PrintReady();
}

std::optional<std::chrono::milliseconds> GatewayKeeper::TimeToNextDeadline() const {
    std::optional<tick_value> next;
    const auto consider = [&next](tick_value due) {
        if (!next || due < *next) {
            next = due;
        }
    };
    for (const Gateway& gateway : gateways_) {
        if (gateway.phase != Phase::settled) {
            consider(gateway.due);
        }
        ForEachLimit(gateway, [&consider](const Limit& limit) {
            if (limit.held > 0 && limit.printed) {
                consider(*limit.printed + static_cast<tick_value>(limit.period.count()));
            }
        });
    }
    if (!next) {
        return std::nullopt;
    }
    return std::chrono::milliseconds{MsUntil(*next, tick_now())};
}

void GatewayKeeper::Clear() {
    const tick_value now = tick_now();
    for (Gateway& gateway : gateways_) {
        StopListening(gateway);
        // What was held back for the next summary is told now: it would be lost otherwise.
        gateway.ofPass = false;
        FlushLimits(gateway, now, true);
    }
    gateways_.clear();
    next_to_print_ = 0;
}

void GatewayKeeper::FinishWatches() {
    const auto open = [this]() -> std::optional<tick_value> {
        std::optional<tick_value> due;
        for (const Gateway& gateway : gateways_) {
            if (IsOpen(gateway.phase) && (!due || gateway.due < *due)) {
                due = gateway.due;
            }
        }
        return due;
    };
    while (const auto due = open()) {
        resolver_.Wait(std::chrono::milliseconds{MsUntil(*due, tick_now())});
        TakeAnswers();
        Advance(true); // only what is open is finished: no retry or check starts here
    }
    PrintReady();
}

// ---- queries

std::vector<WatchedNeighbour> GatewayKeeper::Watched() const {
    std::vector<WatchedNeighbour> entries;
    for (const Gateway& gateway : gateways_) {
        if (gateway.address) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&*gateway.address);
            entries.push_back({gateway.request.interfaceIndex, {bytes, bytes + 4}});
        } else if (const auto ipv6 =
                       gateway.ipv6 ? ParseIpv6(gateway.request.gateway) : std::nullopt) {
            entries.push_back({gateway.request.interfaceIndex, {ipv6->begin(), ipv6->end()}});
        }
    }
    return entries;
}

bool GatewayKeeper::Pinned(std::uint32_t interfaceIndex, const std::string& gateway) const {
    const auto found = Find(interfaceIndex, gateway);
    return found && gateways_[*found].pinned.has_value();
}

std::optional<std::int64_t> GatewayKeeper::RetryDelayMs(std::uint32_t interfaceIndex,
                                                        const std::string& gateway) const {
    const auto found = Find(interfaceIndex, gateway);
    if (!found || gateways_[*found].phase != Phase::waiting) {
        return std::nullopt;
    }
    return MsUntil(gateways_[*found].due, tick_now());
}

} // namespace Core_SocketARP
