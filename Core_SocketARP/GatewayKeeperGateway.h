// One gateway's state in the keeper, and the small helpers that the keeper's sources share:
// GatewayKeeper.cpp (phases, the pass, the table, time), GatewayKeeperRounds.cpp (a round's
// requests and answers and how it closes) and GatewayKeeperLines.cpp (the lines, their order and
// limits, the claims of the pins). Not for other users of the keeper.
#pragma once

#include "Core_Common/Utility.h"
#include "Core_SocketARP/GatewayKeeper.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Core_SocketARP {

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
    Core_Common::tick_value due = 0; // 0 only while settled

    // Where the address to pin comes from.
    std::optional<HardwareAddress> trusted;
    std::optional<HardwareAddress> remembered;
    // Another address that answered alone for a remembered gateway: challenged, then pinned
    // provisionally from candidateSince on.
    std::optional<HardwareAddress> candidate;
    Core_Common::tick_value candidateSince = 0;

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

namespace keeper {

using Core_Common::tick_value;

inline std::string Hex(const HardwareAddress& address) {
    return Core_Common::bytes_to_hex(address);
}

inline tick_value Later(tick_value now, std::chrono::milliseconds delay) {
    return now + static_cast<tick_value>(std::max<std::int64_t>(delay.count(), 0));
}

// Milliseconds from now until due: 0 once it is due.
inline std::int64_t MsUntil(tick_value due, tick_value now) {
    return due > now ? static_cast<std::int64_t>(due - now) : 0;
}

inline std::string Seconds(int seconds) { return std::to_string(seconds) + " s"; }

// Every report limit of a gateway (const or not): its kinds', then its claims'.
template <class AnyGateway, class Each> void ForEachLimit(AnyGateway& gateway, Each each) {
    for (auto& limit : gateway.limits) {
        each(limit);
    }
    for (auto& claim : gateway.claimLimits) {
        each(claim.second);
    }
}

} // namespace keeper

} // namespace Core_SocketARP
