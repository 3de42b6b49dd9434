// Keeps every adapter's gateway and IPv6 routers pinned, and every address the administrator
// trusts: resolves
// them at once on their own links, chooses the address to pin from the answers and from what is
// trusted or remembered, and keeps the pins through conflicts, replaced gateways, retries and
// repairs.
//
// Where a MAC address comes from decides how far it is trusted:
//   - trusted by the administrator: pinned before anyone is asked, never replaced; any other
//     MAC that answers is an impostor;
//   - remembered (it answered alone before): pinned before anyone is asked and wins every
//     conflict; a different MAC answering alone has to earn its place: the remembered one is
//     asked directly, and only while it stays silent is the other pinned, provisionally, and
//     remembered only after a quarantine in which it answered alone every time;
//   - first use (nothing known): the first answer is pinned at once and remembered once its
//     window closed without a conflict; after a conflict the keeper keeps one answer pinned
//     (never removing the pin, which would hand the kernel's own entry to the flood) and asks
//     again on the retry schedule until one address answers alone.
//
// Each gateway is in one phase, with one deadline:
//
//        pass, retry, repair, check
//                 |
//                 v          answer             window closes
//   +-------->  asking  ---------------->  window  ----------->  settled
//   |             |                          |  |
//   |             | silent after its tries   |  | another MAC alone, the remembered one not
//   |             v                          |  | among the answers
//   +-------  waiting  <---------------------+  v
//   | retry       conflict, lost answers      challenging  --(the remembered answers)-->  settled
//   |                                             |
//   |                                             | the remembered one silent
//   |                                             v
//   +---------------------------------------  provisional  --(quarantine over)-->  settled
//     check due: asking, the remembered one asked directly as well
//
// IPv4 addresses are asked by ARP and pinned as static ARP entries; IPv6 ones (a link's default
// routers) by Neighbor Discovery and pinned as permanent neighbour entries, under the same
// rules. A router that comes to a link with a known router is reported (a host may be
// announcing itself as a router).
//
// The pass's resolution runs on the thread of the pass; everything after it (windows,
// challenges, checks, retries, repairs) runs on the monitor's thread, which waits for the
// keeper's next deadline and the resolver's answers. One thread uses a keeper at a time.
#pragma once

#include "Core_Common/TickClock.h"
#include "Core_Service/SystemLog.h"
#include "Core_SocketARP/GatewayMemory.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/TrustedGateways.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Core_SocketARP {

class GatewayKeeper {
public:
    // After the first acceptable answer, further answers for the same gateway are listened to
    // this long; a different address among them is a conflict. Routers answer ARP from their
    // control plane, some of them milliseconds late; an attacker answers at once.
    static constexpr std::chrono::milliseconds conflict_window{100};
    // A gateway left unpinned, unconfirmed or in conflict is asked again after 1 s, then after
    // twice the last delay, at most 60 s, until it answers alone or a later pass takes it over.
    static constexpr int first_retry_seconds = 1;
    static constexpr int last_retry_seconds = 60;
    // A remembered gateway that another MAC replaced is asked directly this many times, one
    // resolver interval apart, before the other is pinned provisionally.
    static constexpr int challenge_tries = 3;
    // While a replacement is pinned provisionally, both are asked this often: the remembered
    // gateway is pinned again within seconds of answering.
    static constexpr std::chrono::seconds provisional_check{5};
    // A replacement is remembered once it has answered alone, with the remembered gateway
    // silent, for this long.
    static constexpr std::chrono::hours quarantine{6};
    // Reports about one gateway of one kind: the first at once, then at most one a period,
    // with the count of what happened since.
    static constexpr std::chrono::seconds report_period{60};
    // A gateway that keeps failing says so again no more often than this.
    static constexpr std::chrono::minutes reminder_period{10};
    // Distinct addresses kept of one round's answers; more are only counted.
    static constexpr std::size_t answer_limit = 8;
    // Distinct MACs whose claims of one pin are reported each on its own; the claims of further
    // MACs share one report, so that a flood of made-up MACs costs no more memory.
    static constexpr std::size_t claim_mac_limit = 8;

    GatewayKeeper(NetworkStack& stack, ArpResolver& resolver, GatewayMemory& memory,
                  TrustedGateways& trusted);
    ~GatewayKeeper();
    GatewayKeeper(const GatewayKeeper&) = delete;
    GatewayKeeper& operator=(const GatewayKeeper&) = delete;

    // Whether everything the keeper pins on the adapter's link (its gateways and trusted
    // addresses) is pinned as the keeper chose and still in the table, and nothing else is
    // pinned there: a later pass leaves such a link alone instead of flushing it and asking
    // again.
    bool Holds(const AdapterInfo& adapter);

    // The resolution and pins of a binding pass, after its flush: takes over what the keeper
    // knows of gateways that stay, pins what is trusted or remembered at once, asks every
    // adapter's gateways and trusted addresses at once on the adapter's own link, pins the
    // answers as they come and prints one line a pinned address in adapter order (an adapter's
    // first gateway, its further ones, then its trusted addresses). "0.0.0.0" is asked, but
    // never pinned nor asked again before the next pass. `kept` tells,
    // by adapter, the links that the pass left in place (not flushed): what the keeper holds
    // there stays as it is. Returns once every address has its line: pinned or failed.
    // Gateways that are gone are dropped.
    void ResolvePass(const std::vector<AdapterInfo>& adapters, const std::vector<bool>& kept = {});

    // Time until the keeper has something to do; nothing when it has nothing pending.
    std::optional<std::chrono::milliseconds> TimeToNextDeadline() const;
    // Handles the resolver's events.
    void TakeAnswers();
    // Handles what has come due.
    void Tick();
    // Checks the pins that the reported changes may have touched, restores at once a pin that
    // is gone or changed, and retries at once the waiting gateways of touched links.
    void Repair(const ChangeReport& report);
    // Checks every pin against the table.
    void CheckPins();
    // Removes the IPv6 pins, which no flush removes, and prints a line for each (the protection
    // stops; Clear follows).
    void RemoveIpv6Pins();
    // Drops everything the keeper watches (the protection stops).
    void Clear();
    // Waits until no resolution, window or challenge is open any more (retries and checks are
    // not waited for): for a pass run on its own.
    void FinishWatches();

    // The neighbour entries of everything the keeper keeps, pinned or still to be pinned: the
    // changes that matter to it.
    std::vector<WatchedNeighbour> Watched() const;
    // The pins that stand settled (no round under way judges the answers of their address): a
    // frame that claims one of their addresses for another MAC is forged.
    std::vector<WatchedPin> WatchedPins() const;
    // Frames that claimed a settled pin's address for another MAC: of each link, gateway and MAC
    // the first is reported at once, then at most one line a report period with the count of
    // the frames since. Claims of other addresses, of the pinned MAC, or of a gateway that is no
    // longer settled are left out.
    void ReportClaims(const std::vector<ForgedClaim>& claims);

    // For tests and the monitor's tools.
    bool Pinned(std::uint32_t interfaceIndex, const std::string& gateway) const;
    std::optional<std::int64_t> RetryDelayMs(std::uint32_t interfaceIndex,
                                             const std::string& gateway) const;

private:
    enum class Phase {
        asking,      // requests out, no acceptable answer yet; due: the next request, or silence
        window,      // an answer came, further ones are listened to; due: the window's end
        challenging, // the remembered gateway asked directly; due: the next request, or silence
        provisional, // a replacement pinned provisionally; due: the next check
        waiting,     // asked again when due (a retry)
        settled,     // nothing due
    };
    // Kinds of reports, each limited on its own.
    enum class Report {
        conflict,
        impostor,
        challenge,
        provisional,
        replacement,
        silent,
        lost,
        restored,
        failure,
        rogue, // a router not seen before on a link with known routers
        role,  // a router answered without the Router flag
        count
    };
    struct Limit {
        std::optional<Core_Common::tick_value> printed; // the last line printed
        std::uint64_t held = 0;                         // held back since
        std::string text;                               // the last one held back
        Core_Service::EventFields fields;               // and what it is about
        std::chrono::milliseconds period{0};
    };
    struct Gateway;

    static bool IsOpen(Phase phase);
    static std::string Name(const Gateway& gateway);
    // The address as the lines write it: a link-local one with the link as its zone.
    static std::string LineAddress(const Gateway& gateway);
    static int NextBackoff(const Gateway& gateway);

    std::optional<std::size_t> Find(std::uint32_t interfaceIndex, const std::string& gateway) const;
    // The one place where a phase changes: asserts (in debug builds) where it may come from.
    void Enter(Gateway& gateway, Phase phase, Core_Common::tick_value due);
    // What every phase implies, checked (in debug builds) after each operation.
    void Verify(const Gateway& gateway) const;

    void StartRound(Gateway& gateway, Core_Common::tick_value now);
    void Send(Gateway& gateway, Core_Common::tick_value now);
    void Ask(Gateway& gateway, const GatewayRequest& request, Core_Common::tick_value now);
    void StopListening(Gateway& gateway);
    void OnAnswer(Gateway& gateway, const HardwareAddress& address, Core_Common::tick_value now);
    void OnFailure(Gateway& gateway, SystemErrorCode code, Core_Common::tick_value now);
    void CloseRound(Gateway& gateway, Core_Common::tick_value now);
    void CloseWithReference(Gateway& gateway, Core_Common::tick_value now);
    void CloseFirstUse(Gateway& gateway, Core_Common::tick_value now);
    void EndChallenge(Gateway& gateway, Core_Common::tick_value now);
    void Silent(Gateway& gateway, SystemErrorCode code, Core_Common::tick_value now);
    void Retry(Gateway& gateway, Core_Common::tick_value now);
    void Settle(Gateway& gateway);
    // What has come due; `openOnly`: only rounds under way, no retry or check starts.
    void Advance(bool openOnly);

    // Writes the entry and prints its line when it is the gateway's first or a change; false
    // (after reporting) when the table refused it.
    bool Pin(Gateway& gateway, const HardwareAddress& address, Core_Common::tick_value now);
    // Writes the pinned address back: after something else removed or changed it (`report`),
    // or after a request that had to find the table without it.
    void Restore(Gateway& gateway, Core_Common::tick_value now, bool report);
    // Checks the pins of these gateways against the table, read once for all of them.
    void Check(std::vector<Gateway*> gateways, Core_Common::tick_value now);
    // Whether the table holds the pin as the keeper chose it.
    bool Standing(const Gateway& gateway);

    // The gateway's lines, held back while earlier positions of the pass have not printed.
    void Line(Gateway& gateway, std::function<void()> item);
    void BoundLine(Gateway& gateway, const HardwareAddress& address);
    void ErrorLine(Gateway& gateway, SystemErrorCode code);
    // The IPv6 routers known on the link besides `router`: remembered or trusted.
    std::vector<std::string> KnownRouters(const std::string& link, const std::string& router);
    // A router pinned for the first time on a link that had other known routers.
    void ReportNewRouter(Gateway& gateway, const HardwareAddress& address,
                         Core_Common::tick_value now);
    // `about`: the MAC the line is about (the impostor, the replacement, ...), for the log's
    // fields.
    void Warn(Gateway& gateway, Report kind, const std::string& text, Core_Common::tick_value now,
              const std::optional<HardwareAddress>& about = std::nullopt);
    // `first` when the kind may print now, else `held` is counted for the next summary.
    void Limited(Gateway& gateway, Report kind, Core_Common::tick_value now,
                 const std::function<void()>& first, const std::string& held,
                 const std::optional<HardwareAddress>& about);
    // The same for one limit: `count` events, of which the first may print now.
    void Limited(Gateway& gateway, Limit& limit, Core_Common::tick_value now,
                 const std::function<void()>& first, const std::string& held,
                 Core_Service::EventFields fields, std::uint64_t count);
    // The limit of the claims of `mac` for the gateway's pin.
    static Limit& ClaimLimit(Gateway& gateway, const HardwareAddress& mac);
    void ReportClaim(Gateway& gateway, const ForgedClaim& claim, Core_Common::tick_value now);
    static Core_Service::EventFields Fields(const Gateway& gateway, Core_Service::EventKind kind,
                                            const std::optional<HardwareAddress>& about);
    static Core_Service::EventKind KindOf(Report report);
    // The summaries that are due (`all`: every one held back).
    void FlushLimits(Gateway& gateway, Core_Common::tick_value now, bool all = false);
    void PrintReady();

    NetworkStack& stack_;
    ArpResolver& resolver_;
    GatewayMemory& memory_;
    TrustedGateways& trusted_;
    ResolverPace pace_;
    std::vector<Gateway> gateways_;
    // The pass's lines are printed in adapter order: the first gateway not printed yet.
    std::size_t next_to_print_ = 0;
};

} // namespace Core_SocketARP
