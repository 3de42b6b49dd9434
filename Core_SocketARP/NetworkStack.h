// The network-stack seam of the ARP protection: the platform operations that the binding and
// flush passes build on. The passes hold the behaviour (order of steps, messages, error
// handling); an implementation holds only the platform calls.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Core_SocketARP {

// A failing platform operation throws its system error code as this type: a Win32 code on
// Windows, an errno value on Linux, 0 for failures that have no system code of their own.
using SystemErrorCode = std::uint32_t;

using HardwareAddress = std::vector<std::uint8_t>;

// A further gateway of an adapter.
struct FurtherGateway {
    std::string gateway; // dotted decimal
    // The adapter's own address on the gateway's subnet (dotted decimal), its requests' sender;
    // empty when it has none.
    std::string source{};

    bool operator==(const FurtherGateway&) const = default;
};

// What the passes read of one adapter: the interface index for the ARP row and the text of
// the adapter's first gateway (dotted decimal; empty when the adapter has none).
struct AdapterInfo {
    std::uint32_t index = 0;
    std::string gateway{};
    // The adapter's own IPv4 address on the gateway's link (dotted decimal), which its ARP
    // requests carry as sender; empty when it has none.
    std::string address{};
    // What names the adapter across restarts: the link's name on Linux, the adapter's name on
    // Windows. The remembered gateways are kept under it.
    std::string name{};
    // The adapter's own hardware address, where the platform lists it with the adapter.
    HardwareAddress linkAddress{};
    // The prefix length of `address`'s subnet; 0 when not known.
    int prefixLength = 0;
    // Every further gateway the adapter's off-link traffic may take (the other next hops of a
    // multipath route or nexthop group, the gateway that a policy rule or a backup route
    // chooses), after `gateway`; no address twice.
    std::vector<FurtherGateway> moreGateways{};
    // What could not be made out of the adapter's default route, whose gateways then miss from
    // the lists (a form this program does not know, a nexthop that cannot be read); empty when
    // nothing.
    std::string routeProblem{};
    // The link's IPv6 default routers (their addresses in one text, Ipv6Text, usually
    // link-local: meaningful on this link only), the one the system uses now first; empty when
    // the link has none.
    std::vector<std::string> routers{};
    // The link's own IPv6 link-local address, which its Neighbor Solicitations carry as source;
    // empty when it has none, or where the platform chooses it.
    std::string linkLocal{};

    bool operator==(const AdapterInfo&) const = default;
};

// The interface table and the adapter list of one pass, from one consistent view where the
// platform has one.
struct NetworkSnapshot {
    std::vector<std::uint32_t> interfaces;
    std::vector<AdapterInfo> adapters;
};

// A gateway asked for its hardware address on its adapter's own link: by ARP for an IPv4
// address, by Neighbor Discovery for an IPv6 one (a router).
struct GatewayRequest {
    std::uint32_t interfaceIndex = 0;
    std::string gateway; // dotted decimal, or IPv6 text (Ipv6Text)
    // The adapter's own address of the gateway's family as the request's sender (its IPv4
    // address, or its IPv6 link-local one); empty: none (Linux sends an ARP probe, sender
    // 0.0.0.0, and looks the link-local address up for Neighbor Discovery).
    std::string source{};
    // The adapter's hardware address as the pass found it a moment ago; empty: the resolver
    // looks it up (it may have changed since).
    HardwareAddress linkAddress{};
    // Where the request goes: empty for everyone (broadcast), or the hardware address of the
    // one gateway asked directly (a remembered gateway that must answer for itself). A platform
    // that cannot address a request asks as usual.
    HardwareAddress destination{};

    bool operator==(const GatewayRequest&) const = default;
};

// What came of a request: one answer that passed every check (its address, never empty), or
// the platform's failure of the request (no address; `error` its code, 0 for a failure
// without a code of its own).
struct ArpEvent {
    std::uint32_t interfaceIndex = 0;
    std::string gateway;
    HardwareAddress hardwareAddress;
    std::uint32_t error = 0;
    // The answer was a Neighbor Advertisement without the Router flag: the address answers,
    // but not as a router.
    bool notRouter = false;
};

// How the portable resolution paces the requests of a platform, and what it reports when a
// gateway stays silent.
struct ResolverPace {
    int tries = 3;
    std::chrono::milliseconds interval{1000};
    std::uint32_t noAnswerError = 0;
    // The platform's request answers from the ARP table when the table holds the address
    // (Windows' SendARP): the entry has to go for the moment of a request that must reach the
    // network. Such a platform also sees one answer a request.
    bool answersFromTable = false;
};

// ARP requests in flight on the adapters' own links, their answers taken as they come. One
// thread drives a resolver at a time.
class ArpResolver {
public:
    virtual ~ArpResolver() = default;
    ArpResolver(const ArpResolver&) = delete;
    ArpResolver& operator=(const ArpResolver&) = delete;

    virtual ResolverPace Pace() const = 0;

    // The gateways about to be asked, so that a platform can prepare for all of them at once.
    virtual void Expect(const std::vector<GatewayRequest>& requests) { (void)requests; }

    // Sends one request for the gateway on its link, and takes its answers from now on, until
    // Forget. Asking again while a request is in flight sends it again where the platform
    // can. Throws the platform's code when the request cannot be sent.
    virtual void Ask(const GatewayRequest& request) = 0;

    // Takes no further answers of the gateway on that link.
    virtual void Forget(std::uint32_t interfaceIndex, const std::string& gateway) = 0;

    // What has come since the last call, in order of arrival; never waits. `lost` is set when
    // the platform dropped answers for lack of room since the last call (a flood): the events
    // may then be incomplete.
    virtual std::vector<ArpEvent> Collect(bool& lost) = 0;

    // Waits until Collect has something, at most `timeout` (negative: no limit). False when
    // the time ran out.
    virtual bool Wait(std::chrono::milliseconds timeout) = 0;

    // What the monitor's wait watches to learn that events are waiting: an fd on Linux, an
    // event HANDLE on Windows.
    virtual std::intptr_t NativeHandle() const = 0;

protected:
    ArpResolver() = default;
};

// One static ARP entry as the passes ask for it, or for an IPv6 address a permanent neighbour
// entry.
struct ArpEntry {
    std::uint32_t interfaceIndex = 0;
    std::string address; // dotted decimal, as the adapter record holds it, or Ipv6Text
    std::vector<std::uint8_t> hardwareAddress;
};

// The hardware address buffer of an ARP request: never more than 8 bytes.
using HardwareAddressBuffer = std::array<std::uint8_t, 8>;

// The monitor's stop event: auto-reset, not signalled when made. A signal given while the
// monitor is busy stays until its next wait, which takes it.
class StopEvent {
public:
    virtual ~StopEvent() = default;
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    // 0 when the event was made; otherwise the platform's code of the failure, and the event
    // is unusable: signals do nothing and a wait on it fails.
    virtual SystemErrorCode CreationError() const = 0;
    virtual void Signal() = 0;
    // Takes back a signal that no wait has taken.
    virtual void Reset() = 0;
    // What the platform's wait takes: a HANDLE on Windows, an eventfd on Linux.
    virtual std::intptr_t NativeHandle() const = 0;

protected:
    StopEvent() = default;
};

// A pin whose address another MAC must not claim.
struct WatchedPin {
    std::uint32_t interfaceIndex = 0;
    std::string address; // dotted decimal or Ipv6Text
    HardwareAddress mac;

    bool operator==(const WatchedPin&) const = default;
};

// Frames that claimed a watched pin's address for another MAC, counted.
struct ForgedClaim {
    std::uint32_t interfaceIndex = 0;
    std::string address; // dotted decimal or Ipv6Text
    HardwareAddress mac;
    std::uint64_t frames = 0;
};

// ARP frames that claim a pinned address for another MAC than the pinned one (forged replies and
// requests, gratuitous ARP), and Neighbor Advertisements that do so for a pinned IPv6 router. The
// system's table ignores them for a static or permanent entry: the watch lets
// them be told. Only such frames reach it (Linux: a socket filter in the kernel); what comes
// while nobody reads waits in a queue of bounded size, and what finds the queue full is only
// counted.
class ClaimWatch {
public:
    virtual ~ClaimWatch() = default;
    ClaimWatch(const ClaimWatch&) = delete;
    ClaimWatch& operator=(const ClaimWatch&) = delete;

    // Watches these pins from now on, in place of the earlier ones. Throws the platform's code.
    virtual void Watch(const std::vector<WatchedPin>& pins) = 0;

    // The claims of the frames queued since the last call, by link, address and MAC, at most
    // `limit` frames read; `dropped` is set to the frames dropped unread for lack of room since
    // the last call. Never waits. Throws the platform's code.
    virtual std::vector<ForgedClaim> Collect(std::size_t limit, std::uint64_t& dropped) = 0;

    // What the monitor's wait watches to learn that frames are queued: an fd on Linux.
    virtual std::intptr_t NativeHandle() const = 0;

protected:
    ClaimWatch() = default;
};

enum class RouteRegistration {
    registered,  // the next change of the routing tables ends the next wait
    unsupported, // the platform has no route-change notification ("NotifyRouteChange")
    failed,      // the registration failed; the code says why
};

enum class RouteWait {
    stopped,  // the stop event was signalled (it wins over everything else)
    changed,  // the routing table changed since the registration
    repair,   // links, addresses or neighbour entries changed (the report says which)
    kicked,   // the kick event was signalled
    answers,  // the resolver has events to collect
    claims,   // the claim watch has frames queued
    timedOut, // the time given ran out
    failed,   // the wait failed; the code says why
};

// What changed besides the routing table, for the repair of pins.
struct ChangeReport {
    // Notifications were lost (the platform's queue overran): anything may have changed.
    bool overrun = false;
    // Neighbour entries touched: interface index and address, in the text the adapter records
    // hold (dotted decimal, or Ipv6Text).
    std::vector<std::pair<std::uint32_t, std::string>> neighbours;
    // Links whose state, hardware address or addresses changed.
    std::vector<std::uint32_t> links;
};

// A neighbour entry whose changes matter to the monitor: its link, and its address as it
// travels (4 bytes for IPv4, 16 for IPv6).
struct WatchedNeighbour {
    std::uint32_t interfaceIndex = 0;
    std::vector<std::uint8_t> address;
    bool operator==(const WatchedNeighbour&) const = default;
};

// What a monitor's wait watches besides the subscription itself.
struct WaitSet {
    StopEvent& stop;
    StopEvent* kick = nullptr;
    ArpResolver* resolver = nullptr;
    // Negative: no limit.
    std::chrono::milliseconds timeout{-1};
    // Watched only when set: between its reads the claims are left to queue.
    ClaimWatch* claims = nullptr;
};

// The platform's notification of IPv4 routing-table changes, and where it has them of link,
// address and neighbour changes. Neither operation throws: their failures are results, with
// the code in `error`.
class RouteChangeSubscription {
public:
    virtual ~RouteChangeSubscription() = default;
    RouteChangeSubscription(const RouteChangeSubscription&) = delete;
    RouteChangeSubscription& operator=(const RouteChangeSubscription&) = delete;

    // Registers for the next change. Changes from here on end the next wait, however many
    // they are.
    virtual RouteRegistration Register(SystemErrorCode& error) = 0;

    // The neighbour entries whose changes matter from now on: changes of others need not end a
    // wait, and a platform that can drops them before they reach the program. Nothing: every
    // neighbour change matters. Never fails: a platform that cannot filter reports every change, as
    // before.
    virtual void WatchNeighbours(const std::optional<std::vector<WatchedNeighbour>>& entries) {
        (void)entries;
    }

    // Blocks until the stop event, a registered change, a repair notification, the kick
    // event or the resolver's events, or until the timeout; the stop wins when several are
    // ready, then a routing change. Takes the stop's and the kick's signals when it returns
    // them. A registration stays in force across waits that end for other reasons than a
    // routing change; one used up by a change must be registered again.
    virtual RouteWait Wait(const WaitSet& set, ChangeReport& report, SystemErrorCode& error) = 0;

protected:
    RouteChangeSubscription() = default;
};

// Every operation throws SystemErrorCode on failure, unless its comment says otherwise.
class NetworkStack {
public:
    virtual ~NetworkStack() = default;

    // Interface indexes of the interface table, in table order.
    virtual std::vector<std::uint32_t> ListInterfaces() = 0;

    // The adapters, in the order of the platform's adapter list.
    virtual std::vector<AdapterInfo> ListAdapters() = 0;

    // Both lists for one pass: the interfaces, then the adapters (not listed when the
    // interfaces fail). A platform that can take both from one view does so.
    virtual NetworkSnapshot Snapshot();

    // Deletes every ARP entry of each interface, static ones included, and returns each
    // interface's result in the same order: nothing when its table was flushed, else the code
    // of its failure (0 for one without a code of its own). Never throws: a failure that
    // concerns every interface is each one's result.
    virtual std::vector<std::optional<SystemErrorCode>>
    FlushArpTables(const std::vector<std::uint32_t>& interfaces) = 0;

    // The resolver of the passes; made once per module instance and kept.
    virtual std::unique_ptr<ArpResolver> CreateResolver() = 0;

    // The entry calls below take addresses of either family: an IPv6 address's entry is a
    // permanent neighbour entry of the interface (the IPv6 neighbour cache is never flushed).

    // Adds a static entry. Returns false when the entry was not added; never throws a code, as
    // that failure is never reported.
    virtual bool CreateArpEntry(const ArpEntry& entry) = 0;

    // Adds or replaces a static entry.
    virtual void SetArpEntry(const ArpEntry& entry) = 0;

    // Removes the entry of the address on the interface; one that is not there is no failure.
    virtual void DeleteArpEntry(std::uint32_t interfaceIndex, const std::string& address) = 0;

    // The hardware address of the static entry of the address on the interface; nothing when
    // the table holds none, or only a dynamic one.
    virtual std::optional<HardwareAddress> ReadStaticEntry(std::uint32_t interfaceIndex,
                                                           const std::string& address) = 0;

    // The same for many entries (interface index, address) at once, in their order. A platform
    // that reads its whole table for one entry reads it once for all of them.
    virtual std::vector<std::optional<HardwareAddress>>
    ReadStaticEntries(const std::vector<std::pair<std::uint32_t, std::string>>& entries);

    // How often the pins are checked against the table, where the platform does not tell of
    // changes to it (Windows); 0: never, the subscription reports them.
    virtual std::chrono::seconds PinCheckPeriod() const { return std::chrono::seconds{0}; }

    // A new stop event for the monitor. Never throws: a failure is kept in the event.
    virtual std::unique_ptr<StopEvent> CreateStopEvent() = 0;

    // A subscription to route changes, not yet registered. Never throws; it makes no system
    // call before its first registration.
    virtual std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() = 0;

    // The watch of frames that claim a pinned address for another MAC; none where the platform
    // shows the program no link-layer frames (Windows, without a capture driver). Never throws:
    // a watch that cannot be made throws from its first Watch.
    virtual std::unique_ptr<ClaimWatch> CreateClaimWatch() { return nullptr; }

protected:
    NetworkStack() = default;
    NetworkStack(const NetworkStack&) = default;
    NetworkStack& operator=(const NetworkStack&) = default;
};

// The platform's own network stack (IP Helper on Windows, rtnetlink and AF_PACKET on Linux).
NetworkStack& SystemNetworkStack();

} // namespace Core_SocketARP
