#include "Core_SocketARP/GatewayKeeper.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/TrustText.h"

#include <algorithm>
#include <array>

namespace Core_SocketARP {

using Core_Common::tick_now;
using Core_Common::tick_value;

struct GatewayKeeper::Gateway {
    GatewayRequest request;
    std::string link; // the adapter's name, for the trust sources and the reports
    int position = 0;
    bool isGateway = true; // false: an address the administrator trusts on the link
    bool ipv6 = false;     // a router (or trusted address) resolved by Neighbor Discovery
    std::optional<std::uint32_t> address; // IPv4, in network byte order
    // A router's link's known routers when the keeper first saw it: what it is new beside.
    std::vector<std::string> knownRouters;

    Phase phase = Phase::settled;
    tick_value due = 0; // 0 only while settled

    // Where the address to pin comes from.
    std::optional<HardwareAddress> trusted;
    std::optional<HardwareAddress> remembered;
    // Another address that answered alone for a remembered gateway: challenged, then pinned
    // provisionally from candidateSince on.
    std::optional<HardwareAddress> candidate;
    tick_value candidateSince = 0;

    // The round under way: requests sent, and the distinct answers with how often each came.
    bool listening = false;
    int triesSent = 0;
    int requests = 0;
    std::vector<HardwareAddress> answers;
    std::vector<int> answerCounts;
    bool lost = false; // answers may have been lost while it listened

    std::optional<HardwareAddress> pinned; // what the keeper stands by in the table
    bool contested = false;                // a conflict that nothing known decided
    bool outOfTable = false;               // taken out of the table for a request
    int backoffSeconds = 0;

    // The pass's lines of this gateway wait for those of earlier positions.
    bool ofPass = false;
    bool lineDone = false;
    std::vector<std::function<void()>> queue;
    std::array<Limit, static_cast<std::size_t>(Report::count)> limits{};
    // Of the claims of other MACs for the pin, by MAC; the last entry, with no MAC, once the
    // list is full, stands for every further one.
    std::vector<std::pair<HardwareAddress, Limit>> claimLimits;
};

namespace {

std::string Hex(const HardwareAddress& address) { return Core_Common::bytes_to_hex(address); }

tick_value Later(tick_value now, std::chrono::milliseconds delay) {
    return now + static_cast<tick_value>(std::max<std::int64_t>(delay.count(), 0));
}

// Milliseconds from now until due: 0 once it is due.
std::int64_t MsUntil(tick_value due, tick_value now) {
    return due > now ? static_cast<std::int64_t>(due - now) : 0;
}

// What names a link in the trust sources (never empty) and in reports.
std::string LinkKey(const std::string& name, std::uint32_t index) {
    return name.empty() ? "#" + std::to_string(index) : name;
}

std::string Seconds(int seconds) { return std::to_string(seconds) + " s"; }

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

// Every report limit of a gateway (const or not): its kinds', then its claims'.
template <class AnyGateway, class Each> void ForEachLimit(AnyGateway& gateway, Each each) {
    for (auto& limit : gateway.limits) {
        each(limit);
    }
    for (auto& claim : gateway.claimLimits) {
        each(claim.second);
    }
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

// ---- rounds

void GatewayKeeper::StartRound(Gateway& gateway, tick_value now) {
    StopListening(gateway);
    gateway.triesSent = 0;
    gateway.requests = 0;
    gateway.answers.clear();
    gateway.answerCounts.clear();
    gateway.lost = false;
    if (!gateway.trusted) {
        gateway.remembered = memory_.Recall(gateway.link, gateway.request.gateway);
        if (gateway.candidate && !gateway.remembered) {
            gateway.candidate.reset();
        }
    }
    // What the keeper stands by is in the table before anyone is asked.
    const std::optional<HardwareAddress> choice =
        gateway.candidate ? gateway.candidate
                          : (gateway.trusted ? gateway.trusted : gateway.remembered);
    if (choice && gateway.pinned != choice && !Pin(gateway, *choice, now)) {
        return;
    }
    Enter(gateway, Phase::asking, now);
    Send(gateway, now);
}

void GatewayKeeper::Send(Gateway& gateway, tick_value now) {
    ++gateway.triesSent;
    gateway.due = Later(now, pace_.interval);
    GatewayRequest request = gateway.request;
    const Phase phase = gateway.phase;
    if (phase == Phase::challenging) {
        request.destination = *gateway.remembered;
    } else {
        ++gateway.requests;
    }
    Ask(gateway, request, now);
    if (phase == Phase::asking && gateway.phase == Phase::asking && gateway.candidate &&
        !pace_.answersFromTable) {
        // A check of a provisional replacement asks the remembered gateway directly as well.
        request.destination = *gateway.remembered;
        Ask(gateway, request, now);
    }
}

void GatewayKeeper::Ask(Gateway& gateway, const GatewayRequest& request, tick_value now) {
    if (pace_.answersFromTable && gateway.pinned && !gateway.outOfTable) {
        try {
            stack_.DeleteArpEntry(gateway.request.interfaceIndex, gateway.request.gateway);
            gateway.outOfTable = true;
        } catch (SystemErrorCode) { // the request answers from the table: it proves nothing
        }
    }
    gateway.listening = true;
    try {
        resolver_.Ask(request);
    } catch (SystemErrorCode code) {
        OnFailure(gateway, code, now);
    }
}

void GatewayKeeper::StopListening(Gateway& gateway) {
    if (gateway.listening) {
        resolver_.Forget(gateway.request.interfaceIndex, gateway.request.gateway);
        gateway.listening = false;
    }
}

void GatewayKeeper::TakeAnswers() {
    bool lost = false;
    const std::vector<ArpEvent> events = resolver_.Collect(lost);
    const tick_value now = tick_now();
    if (lost) {
        for (Gateway& gateway : gateways_) {
            gateway.lost = gateway.lost || gateway.listening;
        }
    }
    for (const ArpEvent& event : events) {
        const auto found = Find(event.interfaceIndex, event.gateway);
        if (!found || !gateways_[*found].listening) {
            continue;
        }
        Gateway& gateway = gateways_[*found];
        if (event.hardwareAddress.empty()) {
            OnFailure(gateway, event.error, now);
            continue;
        }
        OnAnswer(gateway, event.hardwareAddress, now);
        if (event.notRouter && gateway.isGateway) {
            Warn(gateway, Report::role,
                 Name(gateway) + " answered from " + Hex(event.hardwareAddress) +
                     " without the Router flag: it says it routes no more, or another host "
                     "answers for it",
                 now);
        }
    }
    for (const Gateway& gateway : gateways_) {
        Verify(gateway);
    }
    PrintReady();
}

void GatewayKeeper::OnFailure(Gateway& gateway, SystemErrorCode code, tick_value now) {
    if (gateway.outOfTable) {
        Restore(gateway, now, false);
        if (!gateway.listening) {
            return; // the table refused it: the retry is under way
        }
    }
    if (gateway.phase == Phase::asking && gateway.answers.empty()) {
        Silent(gateway, code, now); // a failed request ends its round at once
    }
    // In a window an answer came: the window decides. A failed direct request counts as a
    // silent try of the challenge.
}

void GatewayKeeper::OnAnswer(Gateway& gateway, const HardwareAddress& address, tick_value now) {
    if (gateway.address == std::uint32_t{0}) {
        OnFailure(gateway, 0, now); // what names no gateway is never pinned
        return;
    }
    if (gateway.outOfTable) {
        Restore(gateway, now, false);
        if (!gateway.listening) {
            return;
        }
    }
    if (gateway.phase == Phase::challenging) {
        if (address == *gateway.remembered) {
            const HardwareAddress other = *gateway.candidate;
            StopListening(gateway);
            gateway.candidate.reset();
            Warn(gateway, Report::impostor,
                 Name(gateway) + ": the remembered " + Hex(address) +
                     " answered when asked directly: kept it pinned; " + Hex(other) +
                     ", which answered alone before, is an impostor",
                 now, other);
            memory_.Remember(gateway.link, gateway.request.gateway, address);
            if (Pin(gateway, address, now)) {
                Settle(gateway);
            }
        }
        return;
    }
    const auto known = std::find(gateway.answers.begin(), gateway.answers.end(), address);
    if (known != gateway.answers.end()) {
        ++gateway.answerCounts[static_cast<std::size_t>(known - gateway.answers.begin())];
        return;
    }
    if (gateway.answers.size() == answer_limit) {
        return; // counted as a conflict already; more addresses tell nothing new
    }
    gateway.answers.push_back(address);
    gateway.answerCounts.push_back(1);
    if (gateway.answers.size() == 1) {
        Enter(gateway, Phase::window, Later(now, conflict_window));
        // Nothing known and nothing pinned: the first answer is pinned at once, so that the
        // start stays fast; what else answers within the window may still change that.
        if (!gateway.trusted && !gateway.remembered && !gateway.pinned) {
            Pin(gateway, address, now);
        }
    }
}

void GatewayKeeper::CloseRound(Gateway& gateway, tick_value now) {
    StopListening(gateway);
    if (gateway.trusted || gateway.remembered) {
        CloseWithReference(gateway, now);
    } else {
        CloseFirstUse(gateway, now);
    }
}

void GatewayKeeper::CloseWithReference(Gateway& gateway, tick_value now) {
    const bool trusted = gateway.trusted.has_value();
    const HardwareAddress reference = trusted ? *gateway.trusted : *gateway.remembered;
    const std::string which = (trusted ? "the trusted " : "the remembered ") + Hex(reference);
    const auto& answers = gateway.answers;
    const bool answered = std::find(answers.begin(), answers.end(), reference) != answers.end();
    if (answered) {
        if (gateway.candidate) {
            Warn(gateway, Report::impostor,
                 Name(gateway) + ": " + which + " answers again: pinned again; " +
                     Hex(*gateway.candidate) + ", pinned provisionally, was an impostor",
                 now, gateway.candidate);
            gateway.candidate.reset();
        }
        if (answers.size() > 1) {
            // In the order they came: the remembered one first, or the first other one.
            const HardwareAddress& second =
                answers[0] == reference
                    ? *std::find_if(answers.begin(), answers.end(),
                                    [&](const HardwareAddress& a) { return a != reference; })
                    : reference;
            Warn(gateway, Report::conflict,
                 Name(gateway) + " answered with two MAC addresses, " + Hex(answers[0]) + " and " +
                     Hex(second) + ": kept " + which,
                 now, answers[0] == reference ? second : answers[0]);
        }
        if (!trusted) {
            memory_.Remember(gateway.link, gateway.request.gateway, reference);
        }
        if (Pin(gateway, reference, now)) {
            Settle(gateway);
        }
        return;
    }
    if (trusted) {
        Warn(gateway, Report::impostor,
             Name(gateway) + " answered with " + Hex(answers[0]) + ", not with " + which +
                 ": kept the trusted one pinned; " + Hex(answers[0]) + " is an impostor",
             now, answers[0]);
        if (Pin(gateway, reference, now)) {
            Settle(gateway);
        }
        return;
    }
    const bool alone = answers.size() == 1 && !gateway.lost;
    if (gateway.candidate) {
        // A check of the provisional replacement, the remembered gateway silent again.
        if (alone && answers[0] == *gateway.candidate) {
            if (now - gateway.candidateSince <
                static_cast<tick_value>(std::chrono::milliseconds{quarantine}.count())) {
                Enter(gateway, Phase::provisional, Later(now, provisional_check));
                return;
            }
            const HardwareAddress replacement = *gateway.candidate;
            Warn(gateway, Report::replacement,
                 Name(gateway) + ": " + Hex(replacement) + " has answered alone for " +
                     std::to_string(quarantine.count()) + " h, and " + which +
                     " not once: remembered in its place in " + memory_.Where(),
                 now, replacement);
            memory_.Remember(gateway.link, gateway.request.gateway, replacement);
            gateway.remembered = replacement;
            gateway.candidate.reset();
            Settle(gateway);
            return;
        }
        const HardwareAddress kept = alone ? answers[0] : *gateway.candidate;
        Warn(gateway, Report::provisional,
             Name(gateway) + " answered with " + Hex(answers[0]) +
                 (answers.size() > 1 ? " and " + Hex(answers[1]) : std::string()) +
                 (gateway.lost ? " (answers were lost in a flood)" : "") + " while " +
                 Hex(*gateway.candidate) + " was pinned provisionally: " + Hex(kept) +
                 " pinned provisionally; the quarantine starts over",
             now, kept);
        gateway.candidate = kept;
        gateway.candidateSince = now;
        if (Pin(gateway, kept, now)) {
            Enter(gateway, Phase::provisional, Later(now, provisional_check));
        }
        return;
    }
    if (alone) {
        gateway.candidate = answers[0];
        Warn(gateway, Report::challenge,
             Name(gateway) + " answered with " + Hex(answers[0]) + " alone, not with " + which +
                 " (" + memory_.Where() + "): asking " + Hex(reference) + " directly",
             now, answers[0]);
        Enter(gateway, Phase::challenging, now);
        gateway.triesSent = 0;
        Send(gateway, now);
        return;
    }
    const int next = NextBackoff(gateway);
    Warn(gateway, answers.size() > 1 ? Report::conflict : Report::lost,
         Name(gateway) + " answered with " +
             (answers.size() > 1 ? "two MAC addresses, " + Hex(answers[0]) + " and " +
                                       Hex(answers[1]) + ", neither"
                                 : Hex(answers[0]) + " while answers were lost in a flood, not") +
             " " + which + ": kept the remembered one pinned; asking again in " + Seconds(next),
         now, answers[0]);
    Retry(gateway, now);
}

void GatewayKeeper::CloseFirstUse(Gateway& gateway, tick_value now) {
    const auto& answers = gateway.answers;
    if (answers.size() == 1 && !gateway.lost) {
        const bool settledConflict = gateway.pinned && *gateway.pinned != answers[0];
        if (!Pin(gateway, answers[0], now)) {
            return;
        }
        if (settledConflict || gateway.contested) {
            Warn(gateway, Report::conflict,
                 Name(gateway) + " answered with " + Hex(answers[0]) +
                     " alone: pinned and remembered; the conflict is over",
                 now, answers[0]);
        }
        ReportNewRouter(gateway, answers[0], now);
        memory_.Remember(gateway.link, gateway.request.gateway, answers[0]);
        gateway.remembered = answers[0];
        gateway.contested = false;
        Settle(gateway);
        return;
    }
    gateway.contested = true;
    const int next = NextBackoff(gateway);
    if (answers.size() == 1) {
        // A flood took answers away: the one that came alone proves nothing.
        Warn(gateway, Report::lost,
             Name(gateway) + ": answers were lost in a flood, only " + Hex(answers[0]) +
                 " was seen: kept it pinned, not remembered; asking again in " + Seconds(next),
             now, answers[0]);
        if (Pin(gateway, answers[0], now)) {
            Retry(gateway, now);
        }
        return;
    }
    // A conflict that nothing known decides. Removing the pin would hand the kernel's own entry
    // to whoever floods: one answer stays pinned. A gateway answers once a request, from its
    // control plane, often milliseconds after an attacker who answers at once; an address that
    // answered more often than it was asked is flooding. So the last to come of the addresses
    // that answered no more often than asked is kept (measured in the lab's races: against an
    // instant attacker and a router 1 or 10 ms late, keeping the first answer gave the attacker
    // every frame, keeping this one none).
    std::optional<std::size_t> latest;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        if (gateway.answerCounts[i] <= gateway.requests) {
            latest = i;
        }
    }
    HardwareAddress kept = gateway.pinned.value_or(answers[0]);
    if (latest) {
        kept = answers[*latest];
    } else if (std::find(answers.begin(), answers.end(), kept) == answers.end()) {
        kept = answers[0];
    }
    const bool flooded = std::any_of(gateway.answerCounts.begin(), gateway.answerCounts.end(),
                                     [&](int count) { return count > gateway.requests; });
    std::string why;
    if (latest && flooded) {
        why = " (it answered once a request, the other more often)";
    } else if (latest && *latest > 0) {
        why = " (the later answer: an attacker answers at once)";
    }
    Warn(gateway, Report::conflict,
         Name(gateway) + " answered with two MAC addresses, " + Hex(answers[0]) + " and " +
             Hex(answers[1]) + ": kept " + Hex(kept) + " pinned" + why +
             ", not remembered; asking again in " + Seconds(next),
         now, answers[0] != kept ? answers[0] : answers[1]);
    if (Pin(gateway, kept, now)) {
        Retry(gateway, now);
    }
}

void GatewayKeeper::EndChallenge(Gateway& gateway, tick_value now) {
    StopListening(gateway);
    const HardwareAddress replacement = *gateway.candidate;
    const std::string remembered = Hex(*gateway.remembered);
    const std::string where = memory_.Where();
    Warn(gateway, Report::provisional,
         Name(gateway) + " has a new MAC address " + Hex(replacement) + " (was " + remembered +
             "), and " + remembered + " does not answer when asked directly: " + Hex(replacement) +
             " pinned provisionally, not remembered; " + remembered + " stays remembered" +
             (where.empty() ? "" : " in " + where) + " and is asked every " +
             Seconds(static_cast<int>(provisional_check.count())) + ". " + Hex(replacement) +
             " is remembered once it has answered alone for " + std::to_string(quarantine.count()) +
             " h; to accept it at once, delete the gateway's line there and restart the service",
         now, replacement);
    gateway.candidateSince = now;
    if (Pin(gateway, replacement, now)) {
        Enter(gateway, Phase::provisional, Later(now, provisional_check));
    }
}

void GatewayKeeper::Silent(Gateway& gateway, SystemErrorCode code, tick_value now) {
    StopListening(gateway);
    if (gateway.candidate && gateway.pinned == gateway.candidate) {
        Warn(gateway, Report::silent,
             Name(gateway) + " did not answer: kept " + Hex(*gateway.candidate) +
                 " pinned provisionally; the quarantine starts over",
             now, gateway.candidate);
        gateway.candidateSince = now;
        Enter(gateway, Phase::provisional, Later(now, provisional_check));
        return;
    }
    const int next = NextBackoff(gateway);
    if (gateway.pinned) {
        const bool known = gateway.trusted || gateway.remembered;
        Warn(gateway, Report::silent,
             Name(gateway) + " did not answer: kept " +
                 (gateway.trusted      ? "the trusted "
                  : gateway.remembered ? "the remembered "
                                       : "") +
                 Hex(*gateway.pinned) + " pinned" + (known ? "" : ", not remembered") +
                 "; asking again in " + Seconds(next),
             now, gateway.pinned);
    } else if (!gateway.lineDone) {
        ErrorLine(gateway, code);
    } else {
        Warn(gateway, Report::failure,
             Name(gateway) +
                 " still cannot be pinned: " + Core_Common::without_line_end(ErrorText(code)) +
                 "; asking again in " + Seconds(next),
             now);
    }
    Retry(gateway, now);
}

int GatewayKeeper::NextBackoff(const Gateway& gateway) {
    return gateway.backoffSeconds == 0 ? first_retry_seconds
                                       : std::min(gateway.backoffSeconds * 2, last_retry_seconds);
}

void GatewayKeeper::Retry(Gateway& gateway, tick_value now) {
    if (gateway.address == std::uint32_t{0}) {
        // "0.0.0.0", the system's word for no gateway: asked once a pass, never again.
        Settle(gateway);
        return;
    }
    StopListening(gateway);
    gateway.backoffSeconds = NextBackoff(gateway);
    Enter(gateway, Phase::waiting, Later(now, std::chrono::seconds{gateway.backoffSeconds}));
}

void GatewayKeeper::Settle(Gateway& gateway) {
    StopListening(gateway);
    gateway.backoffSeconds = 0;
    Enter(gateway, Phase::settled, 0);
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
