// The keeper's rounds: a gateway asked, its answers taken, and how its round closes (first use,
// against what is trusted or remembered, a challenge, silence, the retry).
#include "Core_SocketARP/GatewayKeeperGateway.h"

#include "Core_SocketARP/ArpBinding.h"

namespace Core_SocketARP {

using Core_Common::tick_now;
using Core_Common::tick_value;
using keeper::Hex;
using keeper::Later;
using keeper::Seconds;

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

} // namespace Core_SocketARP
