#include "Core_SocketARP/PinStatus.h"

#include "Core_Common/Utility.h"
#include "Core_Service/CommandLine.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/GatewayMemory.h"
#include "Core_SocketARP/TrustedGateways.h"

#include <algorithm>

namespace Core_SocketARP {
namespace {

// What names a link in the trust sources, as the keeper names it.
std::string LinkKey(const AdapterInfo& adapter) {
    return adapter.name.empty() ? "#" + std::to_string(adapter.index) : adapter.name;
}

PinVerdict Judge(const AddressStatus& status) {
    if (status.tableError) {
        return PinVerdict::unreadable;
    }
    if (!status.pinned) {
        return PinVerdict::not_pinned;
    }
    const std::optional<HardwareAddress>& reference =
        status.trusted ? status.trusted : status.remembered;
    if (!reference) {
        return PinVerdict::nothing_known;
    }
    if (*status.pinned != *reference) {
        return PinVerdict::pinned_other;
    }
    return status.trusted ? PinVerdict::pinned_trusted : PinVerdict::pinned_remembered;
}

} // namespace

bool PinVerdictHolds(PinVerdict verdict) {
    return verdict == PinVerdict::pinned_trusted || verdict == PinVerdict::pinned_remembered;
}

PinStatus ReadPinStatus(Core_Service::ServiceManager& services, const std::wstring& serviceName,
                        NetworkStack& stack, StateStore* remembered,
                        const std::vector<StateStore*>& trusted) {
    PinStatus status;
    status.serviceName = serviceName;
    Core_Service::ServiceQuery query;
    Core_Service::ServiceError serviceError;
    if (services.QueryService(serviceName, query, serviceError)) {
        status.service = query;
    } else {
        status.serviceError = Core_Common::without_line_end(Core_Common::wide_to_narrow(
            Core_Common::system_error_text(serviceError.code), Core_Common::code_page_ansi));
        if (!serviceError.detail.empty()) {
            status.serviceError += ": " + Core_Common::wide_to_narrow(serviceError.detail,
                                                                      Core_Common::code_page_ansi);
        }
    }

    // What the readers cannot read becomes a note of the report, never a line of the log.
    SystemErrorCode failure = 0;
    const ArpReporter note = [&status, &failure](int /*level*/, SystemErrorCode code,
                                                 const std::string& text) {
        status.notes.push_back(text);
        failure = code;
    };
    GatewayMemory::Entries memory;
    if (remembered != nullptr) {
        if (auto read = GatewayMemory::ReadStore(*remembered, false, note)) {
            memory = std::move(*read);
        } else {
            status.rememberedRead = false;
            // The state file is root's alone (Linux), the Parameters key SYSTEM's and the
            // administrators' (Windows): a failed read is most often a user's.
            if (failure != 0) {
                status.notes.back() += ". Reading them needs root (on Windows, an "
                                       "administrator); without them no gateway can be judged "
                                       "by its remembered MAC";
            }
        }
    }
    TrustedGateways trustedGateways(trusted, note);

    NetworkSnapshot snapshot;
    try {
        snapshot = stack.Snapshot();
    } catch (SystemErrorCode code) {
        status.adaptersError = ErrorTextInLine(code);
        return status;
    }
    for (const AdapterInfo& adapter : snapshot.adapters) {
        AdapterStatus& entry = status.adapters.emplace_back();
        entry.index = adapter.index;
        entry.name = LinkKey(adapter);
        entry.address = adapter.address;
        entry.prefixLength = adapter.prefixLength;
        const auto add = [&](const std::string& address, bool isGateway) {
            AddressStatus& item = entry.addresses.emplace_back();
            item.address = address;
            item.isGateway = isGateway;
            try {
                item.pinned = stack.ReadStaticEntry(adapter.index, address);
            } catch (SystemErrorCode code) {
                item.tableError = code;
            }
            item.trusted = trustedGateways.Lookup(entry.name, address);
            if (const auto found = memory.find({entry.name, address}); found != memory.end()) {
                item.remembered = found->second.address;
                item.confirmed = found->second.confirmed;
            }
            item.verdict = Judge(item);
        };
        // Windows lists an adapter without a gateway with "0.0.0.0".
        const bool hasGateway = !adapter.gateway.empty() && adapter.gateway != "0.0.0.0";
        std::vector<std::string> seen;
        const auto once = [&](const std::string& address, bool isGateway) {
            if (std::find(seen.begin(), seen.end(), address) == seen.end()) {
                seen.push_back(address);
                add(address, isGateway);
            }
        };
        if (hasGateway) {
            once(adapter.gateway, true);
        }
        for (const FurtherGateway& further : adapter.moreGateways) {
            if (!further.gateway.empty() && further.gateway != "0.0.0.0") {
                once(further.gateway, true);
            }
        }
        for (const auto& listed :
             trustedGateways.ForLink(entry.name, adapter.address, adapter.prefixLength)) {
            once(listed.address, false);
        }
        // The link's IPv6 side: its routers, then the IPv6 addresses trusted on it.
        for (const std::string& router : adapter.routers) {
            once(router, true);
        }
        if (!adapter.linkLocal.empty() || !adapter.routers.empty()) {
            for (const auto& listed : trustedGateways.ForLinkIpv6(entry.name)) {
                once(listed.address, false);
            }
        }
    }
    return status;
}

bool AllPinsHold(const PinStatus& status) {
    if (!status.adaptersError.empty()) {
        return false;
    }
    return std::all_of(status.adapters.begin(), status.adapters.end(), [](const auto& adapter) {
        return std::all_of(adapter.addresses.begin(), adapter.addresses.end(),
                           [](const auto& item) { return PinVerdictHolds(item.verdict); });
    });
}

int StatusExitCode(const PinStatus& status) {
    return AllPinsHold(status) ? Core_Service::exit_status_pinned
                               : Core_Service::exit_status_not_pinned;
}

} // namespace Core_SocketARP
