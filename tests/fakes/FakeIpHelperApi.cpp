#include "fakes/FakeIpHelperApi.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace tw_test {
namespace {

using Core_SocketARP::IpNetRow;

std::uint32_t RunTableCall(FakeIpHelperApi::TableCall& call, std::uint8_t* buffer,
                           std::uint32_t* size) {
    if (buffer == nullptr) {
        ++call.sizingCalls;
        *size = call.neededSize;
        return call.sizingResult;
    }
    call.bufferSizes.push_back(*size);
    call.buffersZeroed.push_back(
        std::all_of(buffer, buffer + *size, [](std::uint8_t byte) { return byte == 0; }));
    if (call.fill) {
        call.fill(buffer, *size);
    }
    return call.fillResult;
}

void WriteU32(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, sizeof value); }

} // namespace

std::uint32_t FakeIpHelperApi::GetInterfaceInfo(std::uint8_t* buffer, std::uint32_t* size) {
    return RunTableCall(interfaceInfo, buffer, size);
}

std::uint32_t FakeIpHelperApi::GetAdaptersInfo(std::uint8_t* buffer, std::uint32_t* size) {
    return RunTableCall(adaptersInfo, buffer, size);
}

std::uint32_t FakeIpHelperApi::CreateIpNetEntry(const IpNetRow& row) {
    createdRows.push_back(row);
    return createResult;
}

std::uint32_t FakeIpHelperApi::SetIpNetEntry(const IpNetRow& row) {
    setRows.push_back(row);
    return setResult;
}

std::uint32_t FakeIpHelperApi::DeleteIpNetEntry(const IpNetRow& row) {
    deletedRows.push_back(row);
    return deleteResult;
}

std::uint32_t FakeIpHelperApi::GetIpNetTable(std::uint8_t* buffer, std::uint32_t* size) {
    return RunTableCall(ipNetTable, buffer, size);
}

std::uint32_t FakeIpHelperApi::GetIpForwardTable(std::uint8_t* buffer, std::uint32_t* size) {
    return RunTableCall(ipForwardTable, buffer, size);
}

std::uint32_t FakeIpHelperApi::InetAddr(const std::string& text) {
    std::istringstream input(text);
    std::uint8_t bytes[4] = {};
    for (int i = 0; i < 4; ++i) {
        unsigned part = 256;
        char dot = '.';
        if (i > 0 && !(input >> dot)) {
            return 0xFFFFFFFFu;
        }
        if (dot != '.' || !(input >> part) || part > 255) {
            return 0xFFFFFFFFu;
        }
        bytes[i] = static_cast<std::uint8_t>(part);
    }
    if (input.peek() != std::char_traits<char>::eof()) {
        return 0xFFFFFFFFu;
    }
    std::uint32_t address = 0;
    std::memcpy(&address, bytes, sizeof address); // network byte order in memory
    return address;
}

FakeIpHelperApi::SendArpCall FakeIpHelperApi::FindSendArp() {
    ++sendArpLookups;
    if (!hasSendArp) {
        return {};
    }
    if (sendArp) {
        return sendArp;
    }
    return [](std::uint32_t, std::uint32_t, void*, std::uint32_t*) -> std::uint32_t { return 0; };
}

FakeIpHelperApi::FlushIpNetTableCall FakeIpHelperApi::FindFlushIpNetTable() {
    ++flushLookups;
    if (!hasFlushIpNetTable) {
        return {};
    }
    if (flushIpNetTable) {
        return flushIpNetTable;
    }
    return [](std::uint32_t) -> std::uint32_t { return 0; };
}

FakeIpHelperApi::GetIpForwardTable2Call FakeIpHelperApi::FindGetIpForwardTable2() {
    if (missing.contains("GetIpForwardTable2")) {
        return {};
    }
    return [this](std::uint16_t family, std::vector<std::uint8_t>& table) {
        forwardTable2Families.push_back(family);
        if (forwardTable2Result == 0) {
            table = forwardTable2;
        }
        return forwardTable2Result;
    };
}

FakeIpHelperApi::IpNetEntry2Call FakeIpHelperApi::FindIpNetEntry2(NeighbourCall call) {
    static const std::map<NeighbourCall, std::string> names = {
        {NeighbourCall::create, "CreateIpNetEntry2"},
        {NeighbourCall::set, "SetIpNetEntry2"},
        {NeighbourCall::remove, "DeleteIpNetEntry2"},
        {NeighbourCall::get, "GetIpNetEntry2"},
        {NeighbourCall::resolve, "ResolveIpNetEntry2"}};
    if (missing.contains(names.at(call))) {
        return {};
    }
    return [this, call](Core_SocketARP::IpNetRow2& row) -> std::uint32_t {
        static const std::map<NeighbourCall, std::string> verbs = {
            {NeighbourCall::create, "create"},
            {NeighbourCall::set, "set"},
            {NeighbourCall::remove, "delete"},
            {NeighbourCall::get, "get"},
            {NeighbourCall::resolve, "resolve"}};
        const std::string address = Core_SocketARP::Ipv6Text(row.address);
        neighbourCalls.push_back(verbs.at(call) + " " + std::to_string(row.index) + " " + address);
        if (const auto result = neighbourResults.find(call); result != neighbourResults.end()) {
            return result->second;
        }
        const auto key = std::make_pair(row.index, address);
        const auto entry = neighbourTable.find(key);
        switch (call) {
        case NeighbourCall::create:
            if (entry != neighbourTable.end()) {
                return 5010; // ERROR_OBJECT_ALREADY_EXISTS
            }
            neighbourTable[key] = row;
            return 0;
        case NeighbourCall::set:
            neighbourTable[key] = row;
            return 0;
        case NeighbourCall::remove:
            if (entry == neighbourTable.end()) {
                return Core_SocketARP::error_not_found;
            }
            neighbourTable.erase(entry);
            return 0;
        case NeighbourCall::get:
            if (entry == neighbourTable.end()) {
                return Core_SocketARP::error_not_found;
            }
            row = entry->second;
            return 0;
        case NeighbourCall::resolve: {
            const auto answer = resolveAnswers.find(address);
            if (answer == resolveAnswers.end()) {
                return Core_SocketARP::error_not_found;
            }
            row.physAddrLength = static_cast<std::uint32_t>(answer->second.size());
            std::copy(answer->second.begin(), answer->second.end(), row.physAddr.begin());
            row.state = 5; // NlnsReachable
            return 0;
        }
        }
        return 0;
    };
}

std::vector<std::uint8_t> ForwardTable2(const std::vector<Core_SocketARP::ForwardRow2>& rows) {
    using namespace Core_SocketARP;
    std::vector<std::uint8_t> table(forward_table2_rows_offset + rows.size() * forward_row2_size,
                                    0);
    WriteU32(table.data(), static_cast<std::uint32_t>(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::uint8_t* at = table.data() + forward_table2_rows_offset + i * forward_row2_size;
        const ForwardRow2& row = rows[i];
        WriteU32(at + forward_row2_index_offset, row.index);
        std::memcpy(at + forward_row2_prefix_offset, &row.family, sizeof row.family);
        std::copy(row.prefix.begin(), row.prefix.end(),
                  at + forward_row2_prefix_offset + sockaddr_inet_address6_offset);
        at[forward_row2_prefix_length_offset] = row.prefixLength;
        std::memcpy(at + forward_row2_next_hop_offset, &row.nextHopFamily,
                    sizeof row.nextHopFamily);
        std::copy(row.nextHop.begin(), row.nextHop.end(),
                  at + forward_row2_next_hop_offset + sockaddr_inet_address6_offset);
        WriteU32(at + forward_row2_metric_offset, row.metric);
    }
    return table;
}

void WriteInterfaceTable(std::uint8_t* buffer, std::int32_t count,
                         const std::vector<std::uint32_t>& indexes) {
    WriteU32(buffer, static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        WriteU32(buffer + Core_SocketARP::interface_table_count_size +
                     i * Core_SocketARP::interface_entry_size,
                 indexes[i]);
    }
}

void WriteAdapterRecord(std::uint8_t* buffer, std::size_t offset, std::uint32_t index,
                        const std::string& gateway, std::uint32_t next) {
    std::uint8_t* record = buffer + offset;
    WriteU32(record + Core_SocketARP::adapter_next_offset, next);
    WriteU32(record + Core_SocketARP::adapter_index_offset, index);
    // The field holds no terminating NUL when the text fills it.
    std::copy_n(gateway.begin(), std::min(gateway.size(), Core_SocketARP::adapter_gateway_size),
                record + Core_SocketARP::adapter_gateway_offset);
}

void WriteIpNetTable(std::uint8_t* buffer, const std::vector<IpNetRow>& rows) {
    WriteU32(buffer, static_cast<std::uint32_t>(rows.size()));
    std::uint8_t* at = buffer + Core_SocketARP::ip_net_table_count_size;
    for (const IpNetRow& row : rows) {
        WriteU32(at, row.index);
        WriteU32(at + 4, row.physAddrLength);
        std::copy(row.physAddr.begin(), row.physAddr.end(), at + 8);
        WriteU32(at + 16, row.address);
        WriteU32(at + 20, row.type);
        at += Core_SocketARP::ip_net_row_size;
    }
}

void WriteAddressString(std::uint8_t* at, const std::string& address, const std::string& mask,
                        std::uint32_t next) {
    WriteU32(at, next);
    std::copy_n(address.begin(), std::min<std::size_t>(address.size(), 15),
                at + Core_SocketARP::address_string_address_offset);
    std::copy_n(mask.begin(), std::min<std::size_t>(mask.size(), 15),
                at + Core_SocketARP::address_string_mask_offset);
}

void WriteIpForwardTable(std::uint8_t* buffer,
                         const std::vector<Core_SocketARP::IpForwardRow>& rows) {
    WriteU32(buffer, static_cast<std::uint32_t>(rows.size()));
    std::uint8_t* at = buffer + Core_SocketARP::ip_forward_table_count_size;
    for (const Core_SocketARP::IpForwardRow& row : rows) {
        WriteU32(at, row.destination);
        WriteU32(at + 4, row.mask);
        WriteU32(at + 12, row.nextHop);
        WriteU32(at + 16, row.interfaceIndex);
        WriteU32(at + 20, row.type);
        WriteU32(at + 36, row.metric);
        at += Core_SocketARP::ip_forward_row_size;
    }
}

std::uint32_t AddressIn(const std::uint8_t* buffer, std::size_t offset) {
    return Core_SocketARP::AdapterBufferAddress(buffer) + static_cast<std::uint32_t>(offset);
}

} // namespace tw_test
