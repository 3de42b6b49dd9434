#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "fakes/FakeRouteChanges.h"
#include "fakes/FakeTickSource.h"

#include <cstdint>
#include <deque>
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
// scripted failures and answers. Records its calls in order, since the order of flushes,
// requests and writes is part of the passes' behaviour.
//
// Time in a test with this stack is the stack's fake clock (put behind tick_now while the
// stack lives): a resolver's wait moves it to the next scripted answer or to the end of the
// wait, so silent gateways and retries cost no real time.
class FakeNetworkStack final : public Core_SocketARP::NetworkStack {
public:
    // What answers each ARP request for an address: every entry, `delayMs` after the request.
    struct ArpAnswer {
        std::vector<std::uint8_t> hardwareAddress;
        std::uint32_t error = 0; // the platform's failure of the request, when not 0
        std::uint32_t delayMs = 0;
        bool notRouter = false; // a Neighbor Advertisement without the Router flag
    };

    // Code of a request that no answer ends.
    static constexpr std::uint32_t unanswered_error = 67;

    FakeNetworkStack();
    ~FakeNetworkStack() override;

    // Controls.
    FakeTickSource clock;
    std::vector<std::uint32_t> interfaces;
    std::vector<Core_SocketARP::AdapterInfo> adapters;
    std::optional<std::uint32_t> interfacesError;
    std::optional<std::uint32_t> adaptersError;
    std::map<std::uint32_t, std::uint32_t> flushErrors;       // by interface index
    std::map<std::string, std::vector<ArpAnswer>> arpAnswers; // by gateway address
    bool loseAnswers = false; // the next Collect reports lost answers
    // The resolver answers from the static entries where there is one, one request a try, as
    // Windows' SendARP does.
    bool answersFromTable = false;
    std::optional<std::uint32_t> readError;             // every ReadStaticEntry fails with it
    std::set<std::string> createFailures;               // by address text
    std::map<std::string, std::uint32_t> setErrors;     // by address text
    std::function<void()> onSendArpRequest;             // runs before each request
    std::function<void(std::uint32_t)> onFlushArpTable; // runs before each link's flush
    std::chrono::seconds pinCheckPeriod{0};
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
    // The gateway's answer, replacing any other; AddAnswer adds one more.
    void Answer(const std::string& address, std::vector<std::uint8_t> hardwareAddress);
    void AddAnswer(const std::string& address, std::vector<std::uint8_t> hardwareAddress,
                   std::uint32_t delayMs);
    // Every request for the address fails with the code.
    void Fail(const std::string& address, std::uint32_t error);

    std::vector<std::uint32_t> ListInterfaces() override;
    std::vector<Core_SocketARP::AdapterInfo> ListAdapters() override;
    std::vector<std::optional<Core_SocketARP::SystemErrorCode>>
    FlushArpTables(const std::vector<std::uint32_t>& interfaces) override;
    std::unique_ptr<Core_SocketARP::ArpResolver> CreateResolver() override;
    bool CreateArpEntry(const Core_SocketARP::ArpEntry& entry) override;
    void SetArpEntry(const Core_SocketARP::ArpEntry& entry) override;
    void DeleteArpEntry(std::uint32_t interfaceIndex, const std::string& address) override;
    std::optional<Core_SocketARP::HardwareAddress>
    ReadStaticEntry(std::uint32_t interfaceIndex, const std::string& address) override;
    std::chrono::seconds PinCheckPeriod() const override { return pinCheckPeriod; }
    std::unique_ptr<Core_SocketARP::StopEvent> CreateStopEvent() override;
    std::unique_ptr<Core_SocketARP::RouteChangeSubscription> SubscribeRouteChanges() override;

    // The calls whose text starts with the prefix, in order.
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const;

private:
    class Resolver;

    ScopedTickSource use_clock_{clock};
};

} // namespace tw_test
