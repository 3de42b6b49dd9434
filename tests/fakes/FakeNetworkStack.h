#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "fakes/FakeRouteChanges.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tw_test {

// A network stack with a table of links and an ARP table that tests set up and inspect, and
// scripted failures. Records its calls in order, since the order of flushes and requests is
// part of the passes' behaviour.
class FakeNetworkStack final : public Core_SocketARP::NetworkStack {
public:
    // A gateway's answer to an ARP request.
    struct ArpAnswer {
        std::vector<std::uint8_t> hardwareAddress;
        std::uint32_t error = 0;                     // thrown when not 0
        std::optional<std::uint32_t> lengthOverride; // the length reported instead of the size
    };

    static constexpr std::uint32_t unanswered_error = 67; // code of an address nobody answers

    // Controls.
    std::vector<std::uint32_t> interfaces;
    std::vector<Core_SocketARP::AdapterInfo> adapters;
    std::optional<std::uint32_t> interfacesError;
    std::optional<std::uint32_t> adaptersError;
    std::map<std::uint32_t, std::uint32_t> flushErrors; // by interface index
    std::map<std::string, ArpAnswer> arpAnswers;        // by address text
    std::set<std::string> createFailures;               // by address text
    std::map<std::string, std::uint32_t> setErrors;     // by address text
    std::function<void()> onSendArpRequest;             // runs before each ARP request
    std::function<void(std::uint32_t)> onFlushArpTable; // runs before each flush
    // The route changes and stop events; the two makers below, when set, take their place
    // (to put the platform's own in).
    FakeRouteChanges routeChanges;
    std::function<std::unique_ptr<Core_SocketARP::StopEvent>()> makeStopEvent;
    std::function<std::unique_ptr<Core_SocketARP::RouteChangeSubscription>()> subscribe;

    // Observations.
    std::vector<std::string> calls;
    using EntryKey = std::pair<std::uint32_t, std::string>; // interface index, address
    std::map<EntryKey, std::vector<std::uint8_t>> staticEntries;

    // Adds an interface and its adapter record in one go.
    void AddLink(std::uint32_t index, const std::string& gateway);
    void Answer(const std::string& address, std::vector<std::uint8_t> hardwareAddress);

    std::vector<std::uint32_t> ListInterfaces() override;
    std::vector<Core_SocketARP::AdapterInfo> ListAdapters() override;
    void FlushArpTable(std::uint32_t interfaceIndex) override;
    void SendArpRequest(const std::string& address,
                        Core_SocketARP::HardwareAddressBuffer& hardwareAddress,
                        std::uint32_t& length) override;
    bool CreateArpEntry(const Core_SocketARP::ArpEntry& entry) override;
    void SetArpEntry(const Core_SocketARP::ArpEntry& entry) override;
    std::unique_ptr<Core_SocketARP::StopEvent> CreateStopEvent() override;
    std::unique_ptr<Core_SocketARP::RouteChangeSubscription> SubscribeRouteChanges() override;

    // The calls whose text starts with the prefix, in order.
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
};

} // namespace tw_test
