// The network-stack seam of the ARP protection: the platform operations that the binding and
// flush passes build on. The passes hold the behaviour (order of steps, messages, error
// handling); an implementation holds only the platform calls.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Core_SocketARP {

// A failing platform operation throws its system error code as this type: a Win32 code on
// Windows, an errno value on Linux, 0 for failures that have no system code of their own.
using SystemErrorCode = std::uint32_t;

// What the passes read of one adapter: the interface index for the ARP row and the text of
// the adapter's first gateway (dotted decimal; empty when the adapter has none).
struct AdapterInfo {
    std::uint32_t index = 0;
    std::string gateway;

    bool operator==(const AdapterInfo&) const = default;
};

// One static ARP entry as the passes ask for it.
struct ArpEntry {
    std::uint32_t interfaceIndex = 0;
    std::string address; // dotted decimal, as the adapter record holds it
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

enum class RouteRegistration {
    registered,  // the next change of the IPv4 routing table ends the next wait
    unsupported, // the platform has no route-change notification ("NotifyRouteChange")
    failed,      // the registration failed; the code says why
};

enum class RouteWait {
    stopped, // the stop event was signalled (it wins when both were)
    changed, // the routing table changed since the registration
    failed,  // the wait failed; the code says why
};

// The platform's notification of IPv4 routing-table changes, one registration at a time.
// Neither operation throws: their failures are results, with the code in `error`.
class RouteChangeSubscription {
public:
    virtual ~RouteChangeSubscription() = default;
    RouteChangeSubscription(const RouteChangeSubscription&) = delete;
    RouteChangeSubscription& operator=(const RouteChangeSubscription&) = delete;

    // Registers for the next change. Changes from here on end the next wait, however many
    // they are.
    virtual RouteRegistration Register(SystemErrorCode& error) = 0;

    // Blocks without a time limit until the stop event or a registered change is signalled.
    // Takes the stop event's signal when it returns `stopped`; a registration that has not
    // been used up stays in force only where the platform keeps it (Linux).
    virtual RouteWait Wait(StopEvent& stop, SystemErrorCode& error) = 0;

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

    // Deletes every ARP entry of the interface, static ones included.
    virtual void FlushArpTable(std::uint32_t interfaceIndex) = 0;

    // Sends an ARP request for the address and waits for the answer. On entry `length` is the
    // length the caller expects; on return it is the length of the address the platform wrote
    // into `hardwareAddress`.
    virtual void SendArpRequest(const std::string& address, HardwareAddressBuffer& hardwareAddress,
                                std::uint32_t& length) = 0;

    // Adds a static entry. Returns false when the entry was not added; never throws a code, as
    // that failure is never reported.
    virtual bool CreateArpEntry(const ArpEntry& entry) = 0;

    // Adds or replaces a static entry.
    virtual void SetArpEntry(const ArpEntry& entry) = 0;

    // A new stop event for the monitor. Never throws: a failure is kept in the event.
    virtual std::unique_ptr<StopEvent> CreateStopEvent() = 0;

    // A subscription to route changes, not yet registered. Never throws; it makes no system
    // call before its first registration.
    virtual std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() = 0;

protected:
    NetworkStack() = default;
    NetworkStack(const NetworkStack&) = default;
    NetworkStack& operator=(const NetworkStack&) = default;
};

// The platform's own network stack (IP Helper on Windows, rtnetlink and AF_PACKET on Linux).
NetworkStack& SystemNetworkStack();

} // namespace Core_SocketARP
