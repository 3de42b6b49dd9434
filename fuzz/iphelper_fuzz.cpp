// The IP Helper interface table, adapter chain (with each adapter's lists of addresses and
// gateways), forwarding table and IPv6 forwarding table, from buffers as the system fills them;
// the buffer is read as each of them, its default routes going with the adapters. Input: the
// 32-bit address of the buffer's first byte, then the buffer.
#include "FuzzInput.h"

#include "Core_SocketARP/IpHelperStack.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tw_fuzz::Input input(data, size);
    const auto base = input.Take<std::uint32_t>();
    const auto buffer = input.Rest();
    try {
        const auto indexes = Core_SocketARP::DecodeInterfaceTable(buffer);
        // Every index read lies inside the buffer (the names after them are not read).
        tw_fuzz::Require(indexes.empty() ||
                         Core_SocketARP::interface_table_count_size +
                                 (indexes.size() - 1) * Core_SocketARP::interface_entry_size +
                                 sizeof(std::uint32_t) <=
                             buffer.size());
    } catch (Core_SocketARP::SystemErrorCode) { // a table that does not fit its buffer
    }
    std::vector<Core_SocketARP::IpForwardRow> routes;
    try {
        routes = Core_SocketARP::DecodeIpForwardTable(buffer);
        tw_fuzz::Require(Core_SocketARP::ip_forward_table_count_size +
                             routes.size() * Core_SocketARP::ip_forward_row_size <=
                         buffer.size());
    } catch (Core_SocketARP::SystemErrorCode) { // a table that does not fit its buffer
    }
    try {
        const auto adapters = Core_SocketARP::WalkAdapterChain(buffer, base, routes);
        tw_fuzz::Require(adapters.size() <= buffer.size() / Core_SocketARP::adapter_record_size);
        for (const auto& adapter : adapters) {
            tw_fuzz::Require(adapter.gateway.size() <= Core_SocketARP::adapter_gateway_size);
            tw_fuzz::Require(adapter.gateway.find('\0') == std::string::npos);
            for (const auto& further : adapter.moreGateways) {
                tw_fuzz::Require(further.gateway.size() <= Core_SocketARP::adapter_gateway_size &&
                                 further.gateway != adapter.gateway);
            }
        }
    } catch (Core_SocketARP::SystemErrorCode) { // a chain that leaves its buffer or loops
    }
    try {
        const auto routes = Core_SocketARP::DecodeForwardTable2(buffer);
        tw_fuzz::Require(Core_SocketARP::forward_table2_rows_offset +
                             routes.size() * Core_SocketARP::forward_row2_size <=
                         buffer.size());
        for (const auto& route : routes) {
            // Every router's text reads back as the same address.
            tw_fuzz::Require(Core_SocketARP::ParseIpv6(Core_SocketARP::Ipv6Text(route.nextHop)) ==
                             route.nextHop);
        }
    } catch (Core_SocketARP::SystemErrorCode) { // a count that runs past its buffer
    }
    return 0;
}
