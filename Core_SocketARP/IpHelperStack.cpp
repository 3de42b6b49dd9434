#include "Core_SocketARP/IpHelperStack.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Core_SocketARP {
namespace {

// The platform writes its tables in host byte order.
std::uint32_t ReadU32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

AdapterInfo DecodeAdapterRecord(std::span<const std::uint8_t> record) {
    AdapterInfo adapter;
    adapter.index = ReadU32(record, adapter_index_offset);
    // The text ends at its NUL, and never runs past its 16-byte field.
    const auto field = record.subspan(adapter_gateway_offset, adapter_gateway_size);
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    adapter.gateway.assign(field.begin(), end);
    return adapter;
}

} // namespace

std::vector<std::uint32_t> DecodeInterfaceTable(std::span<const std::uint8_t> table) {
    if (table.size() < interface_table_count_size) {
        throw SystemErrorCode{0};
    }
    const auto count = static_cast<std::int32_t>(ReadU32(table, 0));
    std::vector<std::uint32_t> indexes;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::size_t offset =
            interface_table_count_size + static_cast<std::size_t>(i) * interface_entry_size;
        if (offset + sizeof(std::uint32_t) > table.size()) {
            throw SystemErrorCode{0};
        }
        indexes.push_back(ReadU32(table, offset));
    }
    return indexes;
}

std::vector<AdapterInfo> WalkAdapterChain(std::span<const std::uint8_t> buffer,
                                          std::uint32_t base) {
    if (buffer.size() < adapter_record_size) {
        throw SystemErrorCode{0};
    }
    const std::size_t lastStart = buffer.size() - adapter_record_size;
    const std::size_t room = buffer.size() / adapter_record_size;
    std::vector<AdapterInfo> adapters;
    std::size_t offset = 0;
    for (;;) {
        if (offset > lastStart || adapters.size() == room) {
            throw SystemErrorCode{0};
        }
        adapters.push_back(DecodeAdapterRecord(buffer.subspan(offset, adapter_record_size)));
        const std::uint32_t next = ReadU32(buffer, offset + adapter_next_offset);
        if (next == 0) {
            return adapters;
        }
        // Modulo 2^32: an address before the buffer's start becomes a huge offset.
        offset = static_cast<std::uint32_t>(next - base);
    }
}

std::uint32_t AdapterBufferAddress(const std::uint8_t* buffer) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(buffer));
}

std::vector<std::uint32_t> IpHelperNetworkStack::ListInterfaces() {
    std::uint32_t size = 0;
    std::uint32_t result = api_.GetInterfaceInfo(nullptr, &size);
    if (result != error_insufficient_buffer) {
        throw SystemErrorCode{result};
    }
    if (size == 0) {
        throw SystemErrorCode{error_insufficient_buffer};
    }
    std::vector<std::uint8_t> buffer(size, 0);
    result = api_.GetInterfaceInfo(buffer.data(), &size);
    if (result != 0) {
        throw SystemErrorCode{result};
    }
    return DecodeInterfaceTable(buffer);
}

std::vector<AdapterInfo> IpHelperNetworkStack::ListAdapters() {
    std::uint32_t size = 0;
    std::uint32_t result = api_.GetAdaptersInfo(nullptr, &size);
    if (result != error_buffer_overflow) {
        throw SystemErrorCode{result};
    }
    if (size == 0) {
        throw SystemErrorCode{error_buffer_overflow};
    }
    const std::uint64_t rounded =
        (std::uint64_t{size} + adapter_record_size - 1) / adapter_record_size * adapter_record_size;
    if (rounded > std::numeric_limits<std::uint32_t>::max()) {
        throw SystemErrorCode{error_buffer_overflow};
    }
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(rounded), 0);
    size = static_cast<std::uint32_t>(rounded);
    result = api_.GetAdaptersInfo(buffer.data(), &size);
    if (result != 0) {
        throw SystemErrorCode{result};
    }
    return WalkAdapterChain(buffer, AdapterBufferAddress(buffer.data()));
}

void IpHelperNetworkStack::FlushArpTable(std::uint32_t interfaceIndex) {
    const IpHelperApi::FlushIpNetTableCall flush = api_.FindFlushIpNetTable();
    if (!flush) {
        throw SystemErrorCode{0};
    }
    const std::uint32_t result = flush(interfaceIndex);
    if (result != 0) {
        throw SystemErrorCode{result};
    }
}

void IpHelperNetworkStack::SendArpRequest(const std::string& address,
                                          HardwareAddressBuffer& hardwareAddress,
                                          std::uint32_t& length) {
    const std::uint32_t destination = api_.InetAddr(address);
    const IpHelperApi::SendArpCall sendArp = api_.FindSendArp();
    if (!sendArp) {
        throw SystemErrorCode{0};
    }
    const std::uint32_t result = sendArp(destination, 0, hardwareAddress.data(), &length);
    if (result != 0) {
        throw SystemErrorCode{result};
    }
}

IpNetRow IpHelperNetworkStack::StaticRow(const ArpEntry& entry) {
    IpNetRow row;
    row.index = entry.interfaceIndex;
    const std::size_t length = std::min(entry.hardwareAddress.size(), row.physAddr.size());
    row.physAddrLength = static_cast<std::uint32_t>(length);
    std::copy_n(entry.hardwareAddress.begin(), length, row.physAddr.begin());
    row.address = api_.InetAddr(entry.address);
    row.type = ip_net_type_static;
    return row;
}

bool IpHelperNetworkStack::CreateArpEntry(const ArpEntry& entry) {
    return api_.CreateIpNetEntry(StaticRow(entry)) == 0;
}

void IpHelperNetworkStack::SetArpEntry(const ArpEntry& entry) {
    const std::uint32_t result = api_.SetIpNetEntry(StaticRow(entry));
    if (result != 0) {
        throw SystemErrorCode{result};
    }
}

} // namespace Core_SocketARP
