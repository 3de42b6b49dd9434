#include "fakes/FakeNetworkStack.h"

#include "Core_Common/Utility.h"

#include <algorithm>

namespace tw_test {

using Core_SocketARP::AdapterInfo;
using Core_SocketARP::ArpEntry;
using Core_SocketARP::SystemErrorCode;

void FakeNetworkStack::AddLink(std::uint32_t index, const std::string& gateway) {
    interfaces.push_back(index);
    adapters.push_back(AdapterInfo{index, gateway});
}

void FakeNetworkStack::Answer(const std::string& address,
                              std::vector<std::uint8_t> hardwareAddress) {
    arpAnswers[address] = ArpAnswer{std::move(hardwareAddress), 0, std::nullopt};
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

void FakeNetworkStack::FlushArpTable(std::uint32_t interfaceIndex) {
    calls.push_back("Flush " + std::to_string(interfaceIndex));
    if (onFlushArpTable) {
        onFlushArpTable(interfaceIndex);
    }
    if (const auto error = flushErrors.find(interfaceIndex); error != flushErrors.end()) {
        throw SystemErrorCode{error->second};
    }
    std::erase_if(staticEntries, [interfaceIndex](const auto& entry) {
        return entry.first.first == interfaceIndex;
    });
}

void FakeNetworkStack::SendArpRequest(const std::string& address,
                                      Core_SocketARP::HardwareAddressBuffer& hardwareAddress,
                                      std::uint32_t& length) {
    calls.push_back("SendArp " + address + " " + std::to_string(length) + " " +
                    Core_Common::bytes_to_hex(hardwareAddress));
    if (onSendArpRequest) {
        onSendArpRequest();
    }
    const auto answer = arpAnswers.find(address);
    if (answer == arpAnswers.end()) {
        throw SystemErrorCode{unanswered_error};
    }
    if (answer->second.error != 0) {
        throw SystemErrorCode{answer->second.error};
    }
    const std::vector<std::uint8_t>& bytes = answer->second.hardwareAddress;
    std::copy_n(bytes.begin(), std::min(bytes.size(), hardwareAddress.size()),
                hardwareAddress.begin());
    length = answer->second.lengthOverride.value_or(static_cast<std::uint32_t>(bytes.size()));
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
