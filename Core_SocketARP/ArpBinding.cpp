#include "Core_SocketARP/ArpBinding.h"

#include "Core_Common/Utility.h"
#include "Core_Service/SystemLog.h"

#include <cstdarg>
#include <cstdio>

namespace Core_SocketARP {
namespace {

constexpr std::size_t hardware_address_limit = HardwareAddressBuffer{}.size();
constexpr std::uint32_t ethernet_address_length = 6;

int Position(std::size_t i) { return static_cast<int>(i); }

void PrintFormatted(Core_Service::Severity severity, const char* format, va_list arguments) {
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
    Core_Service::WriteLines(severity, text);
}

// Steps 1 and 2 of both passes: fresh lists, or false after printing why not.
bool EnumerateBoth(NetworkStack& stack, std::vector<std::uint32_t>& interfaces,
                   std::vector<AdapterInfo>& adapters) {
    try {
        EnumerateInterfaces(stack, interfaces);
        EnumerateAdapters(stack, adapters);
    } catch (SystemErrorCode code) {
        PrintErrorMessage("ARP Error %s\n", ErrorText(code).c_str());
        return false;
    }
    if (interfaces.size() != adapters.size()) {
        PrintErrorMessage("Error: interface.size() != adapters.size()\n");
        PrintErrorMessage("interface.size()=%d\n", Position(interfaces.size()));
        PrintErrorMessage("adapters.size()=%d\n", Position(adapters.size()));
        return false;
    }
    return true;
}

void FlushEach(NetworkStack& stack, const std::vector<std::uint32_t>& interfaces) {
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        try {
            stack.FlushArpTable(interfaces[i]);
        } catch (SystemErrorCode code) {
            PrintErrorMessage("[%d]ARP Flush Error %s\n", Position(i), ErrorText(code).c_str());
        }
    }
}

} // namespace

void PrintMessage(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PrintFormatted(Core_Service::Severity::information, format, arguments);
    va_end(arguments);
}

void PrintErrorMessage(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PrintFormatted(Core_Service::Severity::error, format, arguments);
    va_end(arguments);
}

std::string ErrorText(SystemErrorCode code) {
    return Core_Common::wide_to_narrow(Core_Common::system_error_text(code),
                                       Core_Common::code_page_ansi);
}

void EnumerateInterfaces(NetworkStack& stack, std::vector<std::uint32_t>& interfaces) {
    interfaces.clear();
    interfaces = stack.ListInterfaces();
}

void EnumerateAdapters(NetworkStack& stack, std::vector<AdapterInfo>& adapters) {
    std::vector<AdapterInfo> listed = stack.ListAdapters();
    adapters.insert(adapters.end(), listed.begin(), listed.end());
}

std::vector<std::uint8_t> ResolveMac(NetworkStack& stack, const std::string& address) {
    HardwareAddressBuffer buffer;
    buffer.fill(0xFF);
    std::uint32_t length = ethernet_address_length;
    stack.SendArpRequest(address, buffer, length);
    // A length beyond the buffer would read past it: no usable address either.
    if (length == 0 || length > buffer.size()) {
        throw SystemErrorCode{0};
    }
    return {buffer.begin(), buffer.begin() + length};
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

void BindGateways(NetworkStack& stack) {
    std::vector<std::uint32_t> interfaces;
    std::vector<AdapterInfo> adapters;
    if (!EnumerateBoth(stack, interfaces, adapters)) {
        return;
    }
    // Every flush comes before the first ARP request: a request must not find a forged
    // entry that the flush would have removed.
    FlushEach(stack, interfaces);
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        const AdapterInfo& adapter = adapters[i];
        if (adapter.gateway.empty()) {
            continue;
        }
        try {
            const std::vector<std::uint8_t> mac = ResolveMac(stack, adapter.gateway);
            SetStaticEntry(stack, adapter.index, adapter.gateway, mac);
            PrintMessage("[%d]ARP set static entry: IP: %s <=> MAC address %s\n", Position(i),
                         adapter.gateway.c_str(), Core_Common::bytes_to_hex(mac).c_str());
        } catch (SystemErrorCode code) {
            PrintErrorMessage("[%d]ARP Error %s\n", Position(i), ErrorText(code).c_str());
        }
    }
}

void FlushArpTables(NetworkStack& stack) {
    std::vector<std::uint32_t> interfaces;
    std::vector<AdapterInfo> adapters;
    if (!EnumerateBoth(stack, interfaces, adapters)) {
        return;
    }
    FlushEach(stack, interfaces);
}

void BindGateways() { BindGateways(SystemNetworkStack()); }

void FlushArpTables() { FlushArpTables(SystemNetworkStack()); }

} // namespace Core_SocketARP
