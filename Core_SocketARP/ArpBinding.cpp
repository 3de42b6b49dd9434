#include "Core_SocketARP/ArpBinding.h"

#include "Core_Common/Utility.h"
#include "Core_Service/SystemLog.h"
#include "Core_SocketARP/ErrorDetail.h"
#include "Core_SocketARP/GatewayKeeper.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Core_SocketARP {
namespace {

constexpr std::size_t hardware_address_limit = HardwareAddressBuffer{}.size();

int Position(std::size_t i) { return static_cast<int>(i); }

// The first two steps of both passes: one view of the interfaces and adapters, or nothing
// after printing why not.
std::optional<NetworkSnapshot> TakeSnapshot(NetworkStack& stack) {
    NetworkSnapshot snapshot;
    try {
        snapshot = stack.Snapshot();
    } catch (SystemErrorCode code) {
        PrintErrorMessage("ARP Error %s\n", ErrorText(code).c_str());
        return std::nullopt;
    }
    if (snapshot.interfaces.size() != snapshot.adapters.size()) {
        PrintErrorMessage("Error: interface.size() != adapters.size()\n");
        PrintErrorMessage("interface.size()=%d\n", Position(snapshot.interfaces.size()));
        PrintErrorMessage("adapters.size()=%d\n", Position(snapshot.adapters.size()));
        return std::nullopt;
    }
    return snapshot;
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
    const auto snapshot = TakeSnapshot(stack);
    if (!snapshot) {
        return;
    }
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
    if (const auto snapshot = TakeSnapshot(stack)) {
        FlushEach(stack, snapshot->interfaces);
    }
}

void BindGateways() { BindGateways(SystemNetworkStack()); }

void FlushArpTables() { FlushArpTables(SystemNetworkStack()); }

NetworkSnapshot NetworkStack::Snapshot() {
    NetworkSnapshot snapshot;
    snapshot.interfaces = ListInterfaces();
    snapshot.adapters = ListAdapters();
    return snapshot;
}

} // namespace Core_SocketARP
