#include "Core_SocketARP/ArpBinding.h"

#include "Core_Common/Utility.h"
#include "Core_Service/SystemLog.h"
#include "Core_SocketARP/ErrorDetail.h"
#include "Core_SocketARP/GatewayKeeper.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Core_SocketARP {
namespace {

constexpr std::size_t hardware_address_limit = HardwareAddressBuffer{}.size();

int Position(std::size_t i) { return static_cast<int>(i); }

// The first two steps of both passes: one view of the interfaces and adapters, or nothing
// after printing why not. Lists of different lengths are printed, and `matched` then tells
// whether the interfaces are cut down to those whose adapter has their index, paired with it.
std::optional<NetworkSnapshot> TakeSnapshot(NetworkStack& stack, bool matched) {
    NetworkSnapshot snapshot;
    try {
        snapshot = stack.Snapshot();
    } catch (SystemErrorCode code) {
        PrintErrorMessage("ARP Error %s\n", ErrorText(code).c_str());
        return std::nullopt;
    }
    if (snapshot.interfaces.size() == snapshot.adapters.size()) {
        return snapshot;
    }
    PrintErrorMessage("Error: interface.size() != adapters.size()\n");
    PrintErrorMessage("interface.size()=%d\n", Position(snapshot.interfaces.size()));
    PrintErrorMessage("adapters.size()=%d\n", Position(snapshot.adapters.size()));
    if (!matched) {
        return snapshot;
    }
    // Tables out of step (an adapter coming or going between the two reads) must not leave
    // every gateway unprotected: the pass goes on with the pairs it can tell.
    NetworkSnapshot pairs;
    for (const std::uint32_t index : snapshot.interfaces) {
        const auto adapter =
            std::find_if(snapshot.adapters.begin(), snapshot.adapters.end(),
                         [index](const AdapterInfo& a) { return a.index == index; });
        if (adapter != snapshot.adapters.end()) {
            pairs.interfaces.push_back(index);
            pairs.adapters.push_back(*adapter);
        }
    }
    return pairs;
}

// An adapter whose default route's gateways could not all be made out is told of, by its name:
// its protection is missing, and nothing else would say so.
void ReportRouteProblems(const std::vector<AdapterInfo>& adapters) {
    for (const AdapterInfo& adapter : adapters) {
        if (!adapter.routeProblem.empty()) {
            const std::string link =
                adapter.name.empty() ? "#" + std::to_string(adapter.index) : adapter.name;
            ReportArp(Core_Service::log_warn, 0,
                      "The default route of " + link + " has a gateway that cannot be found out (" +
                          adapter.routeProblem + "): it is not pinned");
        }
    }
}

// Flushes each interface of the list but those marked kept, in one call, and prints each
// failure with its position.
void FlushEach(NetworkStack& stack, const std::vector<std::uint32_t>& interfaces,
               const std::vector<bool>& kept = {}) {
    std::vector<std::uint32_t> flushed;
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        if (i >= kept.size() || !kept[i]) {
            flushed.push_back(interfaces[i]);
            positions.push_back(i);
        }
    }
    if (flushed.empty()) {
        return;
    }
    const std::vector<std::optional<SystemErrorCode>> results = stack.FlushArpTables(flushed);
    for (std::size_t k = 0; k < results.size() && k < positions.size(); ++k) {
        if (results[k]) {
            PrintErrorMessage("[%d]ARP Flush Error %s\n", Position(positions[k]),
                              ErrorText(*results[k]).c_str());
        }
    }
}

void PrintFormatted(Core_Service::Severity severity, const Core_Service::EventFields& fields,
                    const char* format, va_list arguments) {
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length <= 0) {
        return;
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.pop_back();
    Core_Service::WriteLines(severity, text, fields);
}

} // namespace

void PrintMessage(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PrintFormatted(Core_Service::Severity::information, {}, format, arguments);
    va_end(arguments);
}

void PrintMessage(const Core_Service::EventFields& fields, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PrintFormatted(Core_Service::Severity::information, fields, format, arguments);
    va_end(arguments);
}

void PrintErrorMessage(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PrintFormatted(Core_Service::Severity::error, {}, format, arguments);
    va_end(arguments);
}

void PrintErrorMessage(const Core_Service::EventFields& fields, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PrintFormatted(Core_Service::Severity::error, fields, format, arguments);
    va_end(arguments);
}

void ReportArp(int level, SystemErrorCode code, const std::string& message) {
    ReportArp(level, code, message, {});
}

void ReportArp(int level, SystemErrorCode code, const std::string& message,
               const Core_Service::EventFields& fields) {
    static const Core_Service::LogHelper reports(L"SocketARP");
    reports.WriteLog(level, code, Core_Common::narrow_to_wide(message, Core_Common::code_page_ansi),
                     fields);
}

std::string ErrorText(SystemErrorCode code) {
    std::string text = Core_Common::wide_to_narrow(Core_Common::system_error_text(code),
                                                   Core_Common::code_page_ansi);
    if (const std::string detail = TakeErrorDetail(code); !detail.empty()) {
        // Before the system text's own line end, where it has one.
        const std::size_t end = text.find_last_not_of("\r\n");
        text.insert(end == std::string::npos ? 0 : end + 1, " (" + detail + ")");
    }
    return text;
}

std::string ErrorTextInLine(SystemErrorCode code) {
    return Core_Common::without_line_end(ErrorText(code));
}

std::optional<std::uint32_t> ParseDottedQuad(const std::string& text) {
    std::array<std::uint8_t, 4> bytes{};
    std::size_t part = 0;
    unsigned value = 0;
    std::size_t digits = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(c - '0');
            ++digits;
        } else if (c == '.' && digits > 0 && part < 3 && value <= 255) {
            bytes[part++] = static_cast<std::uint8_t>(value);
            value = 0;
            digits = 0;
        } else {
            return std::nullopt;
        }
    }
    if (part != 3 || digits == 0 || value > 255) {
        return std::nullopt;
    }
    bytes[3] = static_cast<std::uint8_t>(value);
    std::uint32_t address = 0;
    std::memcpy(&address, bytes.data(), sizeof address);
    return address;
}

void SetStaticEntry(NetworkStack& stack, std::uint32_t interfaceIndex, const std::string& address,
                    const std::vector<std::uint8_t>& hardwareAddress) {
    if (hardwareAddress.size() > hardware_address_limit) {
        throw SystemErrorCode{0};
    }
    const ArpEntry entry{interfaceIndex, address, hardwareAddress};
    // Creating fails when the table already holds the address; replacing covers that case,
    // so only the replacement's failure counts.
    if (!stack.CreateArpEntry(entry)) {
        stack.SetArpEntry(entry);
    }
}

void BindGateways(NetworkStack& stack, GatewayKeeper& keeper) {
    const auto snapshot = TakeSnapshot(stack, true);
    if (!snapshot) {
        return;
    }
    ReportRouteProblems(snapshot->adapters);
    // A link whose pins all stand as the keeper chose them keeps them: flushing it would only
    // open a moment in which its gateway is unpinned.
    std::vector<bool> kept;
    kept.reserve(snapshot->adapters.size());
    for (const AdapterInfo& adapter : snapshot->adapters) {
        kept.push_back(keeper.Holds(adapter));
    }
    // Every flush comes before the first ARP request: a request must not find a forged
    // entry that the flush would have removed.
    FlushEach(stack, snapshot->interfaces, kept);
    keeper.ResolvePass(snapshot->adapters, kept);
}

void BindGateways(NetworkStack& stack, StateStore* store, const std::vector<StateStore*>& trusted) {
    const std::unique_ptr<ArpResolver> resolver = stack.CreateResolver();
    GatewayMemory memory(store);
    TrustedGateways trustedGateways(trusted);
    GatewayKeeper keeper(stack, *resolver, memory, trustedGateways);
    BindGateways(stack, keeper);
    keeper.FinishWatches();
}

void FlushArpTables(NetworkStack& stack) {
    // Every interface of the table, whatever the adapters: nothing pinned may stay.
    if (const auto snapshot = TakeSnapshot(stack, false)) {
        FlushEach(stack, snapshot->interfaces);
    }
}

void BindGateways() { BindGateways(SystemNetworkStack()); }

void FlushArpTables() { FlushArpTables(SystemNetworkStack()); }

std::vector<std::optional<HardwareAddress>>
NetworkStack::ReadStaticEntries(const std::vector<std::pair<std::uint32_t, std::string>>& entries) {
    std::vector<std::optional<HardwareAddress>> found;
    found.reserve(entries.size());
    for (const auto& [interfaceIndex, address] : entries) {
        found.push_back(ReadStaticEntry(interfaceIndex, address));
    }
    return found;
}

NetworkSnapshot NetworkStack::Snapshot() {
    NetworkSnapshot snapshot;
    snapshot.interfaces = ListInterfaces();
    snapshot.adapters = ListAdapters();
    return snapshot;
}

} // namespace Core_SocketARP
