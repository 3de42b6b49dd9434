#include "fakes/FakeNetworkStack.h"

#include "Core_Common/TickClock.h"
#include "Core_Common/Utility.h"

#include <algorithm>

namespace tw_test {

using Core_SocketARP::AdapterInfo;
using Core_SocketARP::ArpEntry;
using Core_SocketARP::ArpEvent;
using Core_SocketARP::GatewayRequest;
using Core_SocketARP::SystemErrorCode;

// Answers come from the stack's script; each request schedules them on the fake clock.
class FakeNetworkStack::Resolver final : public Core_SocketARP::ArpResolver {
public:
    explicit Resolver(FakeNetworkStack& stack) : stack_(stack) {}

    Core_SocketARP::ResolverPace Pace() const override {
        if (stack_.answersFromTable) {
            return {1, std::chrono::milliseconds{5000}, unanswered_error, true};
        }
        return {3, std::chrono::milliseconds{1000}, unanswered_error};
    }

    // A request addressed to one hardware address is answered only by that one's script; on a
    // platform that answers from the table, an entry for the address answers at once.
    void Ask(const GatewayRequest& request) override {
        stack_.calls.push_back("Ask " + std::to_string(request.interfaceIndex) + " " +
                               request.gateway + " from " +
                               (request.source.empty() ? "none" : request.source) +
                               (request.destination.empty()
                                    ? ""
                                    : " to " + Core_Common::bytes_to_hex(request.destination)));
        if (stack_.onSendArpRequest) {
            stack_.onSendArpRequest();
        }
        const Core_Common::tick_value now = Core_Common::tick_now();
        if (stack_.answersFromTable) {
            const auto entry = stack_.staticEntries.find({request.interfaceIndex, request.gateway});
            if (entry != stack_.staticEntries.end()) {
                pending_.emplace_front(
                    now, ArpEvent{request.interfaceIndex, request.gateway, entry->second, 0});
                return;
            }
        }
        const auto script = stack_.arpAnswers.find(request.gateway);
        if (script == stack_.arpAnswers.end()) {
            return;
        }
        for (const ArpAnswer& answer : script->second) {
            if (!request.destination.empty() && answer.hardwareAddress != request.destination) {
                continue;
            }
            pending_.emplace_back(now + answer.delayMs,
                                  ArpEvent{request.interfaceIndex, request.gateway,
                                           answer.hardwareAddress, answer.error, answer.notRouter});
        }
        std::stable_sort(pending_.begin(), pending_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }

    void Forget(std::uint32_t interfaceIndex, const std::string& gateway) override {
        std::erase_if(pending_, [&](const auto& p) {
            return p.second.interfaceIndex == interfaceIndex && p.second.gateway == gateway;
        });
    }

    std::vector<ArpEvent> Collect(bool& lost) override {
        lost = std::exchange(stack_.loseAnswers, false);
        std::vector<ArpEvent> due;
        const Core_Common::tick_value now = Core_Common::tick_now();
        while (!pending_.empty() && pending_.front().first <= now) {
            due.push_back(std::move(pending_.front().second));
            pending_.pop_front();
        }
        return due;
    }

    bool Wait(std::chrono::milliseconds timeout) override {
        const Core_Common::tick_value now = Core_Common::tick_now();
        if (!pending_.empty() && pending_.front().first <= now) {
            return true;
        }
        Core_Common::tick_value until =
            now + static_cast<Core_Common::tick_value>(std::max<std::int64_t>(timeout.count(), 0));
        if (!pending_.empty() && (timeout.count() < 0 || pending_.front().first < until)) {
            until = pending_.front().first;
        } else if (timeout.count() < 0) {
            return false; // nothing will ever come
        }
        stack_.clock.Advance(static_cast<std::uint32_t>(until - now));
        return !pending_.empty() && pending_.front().first <= until;
    }

    std::intptr_t NativeHandle() const override { return 0; }

private:
    FakeNetworkStack& stack_;
    std::deque<std::pair<Core_Common::tick_value, ArpEvent>> pending_;
};

FakeNetworkStack::FakeNetworkStack() { routeChanges.UseClock(clock); }

FakeNetworkStack::~FakeNetworkStack() = default;

void FakeNetworkStack::AddLink(std::uint32_t index, const std::string& gateway) {
    interfaces.push_back(index);
    adapters.push_back(AdapterInfo{index, gateway, {}, {}});
}

void FakeNetworkStack::Answer(const std::string& address,
                              std::vector<std::uint8_t> hardwareAddress) {
    arpAnswers[address] = {ArpAnswer{std::move(hardwareAddress), 0, 0}};
}

void FakeNetworkStack::AddAnswer(const std::string& address,
                                 std::vector<std::uint8_t> hardwareAddress, std::uint32_t delayMs) {
    arpAnswers[address].push_back(ArpAnswer{std::move(hardwareAddress), 0, delayMs});
}

void FakeNetworkStack::Fail(const std::string& address, std::uint32_t error) {
    arpAnswers[address] = {ArpAnswer{{}, error, 0}};
}

std::vector<std::uint32_t> FakeNetworkStack::ListInterfaces() {
    calls.emplace_back("ListInterfaces");
    if (interfacesError) {
        throw SystemErrorCode{*interfacesError};
    }
    return interfaces;
}

std::vector<AdapterInfo> FakeNetworkStack::ListAdapters() {
    calls.emplace_back("ListAdapters");
    if (adaptersError) {
        throw SystemErrorCode{*adaptersError};
    }
    return adapters;
}

std::vector<std::optional<SystemErrorCode>>
FakeNetworkStack::FlushArpTables(const std::vector<std::uint32_t>& interfaces) {
    std::vector<std::optional<SystemErrorCode>> results;
    for (const std::uint32_t index : interfaces) {
        calls.push_back("Flush " + std::to_string(index));
        if (onFlushArpTable) {
            onFlushArpTable(index);
        }
        if (const auto error = flushErrors.find(index); error != flushErrors.end()) {
            results.emplace_back(error->second);
            continue;
        }
        // As the platforms' flushes: the IPv6 neighbour entries stay.
        std::erase_if(staticEntries, [index](const auto& entry) {
            return entry.first.first == index && entry.first.second.find(':') == std::string::npos;
        });
        results.emplace_back();
    }
    return results;
}

std::unique_ptr<Core_SocketARP::ArpResolver> FakeNetworkStack::CreateResolver() {
    return std::make_unique<Resolver>(*this);
}

bool FakeNetworkStack::CreateArpEntry(const ArpEntry& entry) {
    calls.push_back("Create " + std::to_string(entry.interfaceIndex) + " " + entry.address + " " +
                    Core_Common::bytes_to_hex(entry.hardwareAddress));
    if (createFailures.contains(entry.address)) {
        return false;
    }
    staticEntries[{entry.interfaceIndex, entry.address}] = entry.hardwareAddress;
    return true;
}

void FakeNetworkStack::SetArpEntry(const ArpEntry& entry) {
    calls.push_back("Set " + std::to_string(entry.interfaceIndex) + " " + entry.address + " " +
                    Core_Common::bytes_to_hex(entry.hardwareAddress));
    if (const auto error = setErrors.find(entry.address); error != setErrors.end()) {
        throw SystemErrorCode{error->second};
    }
    staticEntries[{entry.interfaceIndex, entry.address}] = entry.hardwareAddress;
}

void FakeNetworkStack::DeleteArpEntry(std::uint32_t interfaceIndex, const std::string& address) {
    calls.push_back("Delete " + std::to_string(interfaceIndex) + " " + address);
    staticEntries.erase({interfaceIndex, address});
}

std::optional<Core_SocketARP::HardwareAddress>
FakeNetworkStack::ReadStaticEntry(std::uint32_t interfaceIndex, const std::string& address) {
    calls.push_back("Read " + std::to_string(interfaceIndex) + " " + address);
    if (readError) {
        throw SystemErrorCode{*readError};
    }
    const auto entry = staticEntries.find({interfaceIndex, address});
    if (entry == staticEntries.end()) {
        return std::nullopt;
    }
    return entry->second;
}

std::unique_ptr<Core_SocketARP::StopEvent> FakeNetworkStack::CreateStopEvent() {
    return makeStopEvent ? makeStopEvent() : routeChanges.MakeStopEvent();
}

std::unique_ptr<Core_SocketARP::RouteChangeSubscription> FakeNetworkStack::SubscribeRouteChanges() {
    return subscribe ? subscribe() : routeChanges.Subscribe();
}

std::vector<std::string> FakeNetworkStack::CallsStartingWith(const std::string& prefix) const {
    std::vector<std::string> matching;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(matching),
                 [&prefix](const std::string& call) { return call.starts_with(prefix); });
    return matching;
}

} // namespace tw_test
