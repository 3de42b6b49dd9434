// The status report's facts: whether the service is installed and running, and for each adapter
// its gateway and the addresses the administrator trusts on its link, each with what the system
// table pins for it, what the program remembers and what the administrator trusts, and the
// verdict. Everything is read (the service manager, the ARP table, the trust sources) and
// nothing is changed: no flush, no pin, no request, no lock, and the stores are never written,
// renamed or kept aside. It works while the service runs.
#pragma once

#include "Core_Service/ServiceManager.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/StateStore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Core_SocketARP {

enum class PinVerdict {
    pinned_trusted,    // the table pins the MAC the administrator trusts
    pinned_remembered, // the table pins the MAC the program remembers
    pinned_other,      // the table pins another MAC: an impostor's entry, or a replacement
                       // that the program pinned provisionally
    nothing_known,     // pinned, but neither trusted nor remembered: nothing to judge it by
    not_pinned,        // no static entry
    unreadable,        // the table could not be read
};

// Whether a verdict is what the program stands for: pinned to the trusted or remembered MAC.
bool PinVerdictHolds(PinVerdict verdict);

struct AddressStatus {
    std::string address;                   // dotted decimal
    bool isGateway = true;                 // false: an address the administrator trusts on the link
    std::optional<HardwareAddress> pinned; // the static entry of the system table
    // Why the table could not be read (verdict unreadable); 0 for a failure without a code.
    std::optional<SystemErrorCode> tableError;
    std::optional<HardwareAddress> trusted;
    std::optional<HardwareAddress> remembered;
    std::int64_t confirmed = 0; // when the remembered MAC last answered alone; 0: not known
    PinVerdict verdict = PinVerdict::not_pinned;
};

struct AdapterStatus {
    std::uint32_t index = 0;
    std::string name;    // the link's name as the trust sources know it
    std::string address; // the adapter's own IPv4 address; empty: none
    int prefixLength = 0;
    std::vector<AddressStatus> addresses; // its gateway first, then the trusted addresses
};

struct PinStatus {
    std::wstring serviceName;
    // What the service manager said; nothing when it could not tell (`serviceError` says why).
    std::optional<Core_Service::ServiceQuery> service;
    std::string serviceError;
    std::vector<AdapterStatus> adapters;
    // Why the adapters could not be listed; empty when they were.
    std::string adaptersError;
    // Whether the remembered gateways could be read (a missing store reads as none).
    bool rememberedRead = true;
    // What could not be read, one sentence each.
    std::vector<std::string> notes;
};

// Reads everything the report tells. `remembered` and `trusted` are the stores the service
// reads; `remembered` may be null (nothing is remembered).
PinStatus ReadPinStatus(Core_Service::ServiceManager& services, const std::wstring& serviceName,
                        NetworkStack& stack, StateStore* remembered,
                        const std::vector<StateStore*>& trusted);

// Whether every gateway and trusted address is pinned to its trusted or remembered MAC (and the
// adapters could be listed): what a monitoring check asks.
bool AllPinsHold(const PinStatus& status);

// The status switch's exit code: Core_Service::exit_status_pinned when all pins hold, else
// exit_status_not_pinned.
int StatusExitCode(const PinStatus& status);

} // namespace Core_SocketARP
