#include "Core_SocketARP/IpHelperStack.h"

#include "Core_Common/Thread.h"
#include "Core_SocketARP/ArpBinding.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>

namespace Core_SocketARP {
namespace {

// The platform writes its tables in host byte order.
std::uint32_t ReadU32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The text of a field ends at its NUL, and never runs past the field.
std::string FieldText(std::span<const std::uint8_t> record, std::size_t offset, std::size_t size) {
    const auto field = record.subspan(offset, size);
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return {field.begin(), end};
}

// The texts of one IP_ADDR_STRING.
struct AddressText {
    std::string address;
    std::string mask;
};

// The entries of the IP_ADDR_STRING chain whose first entry starts at `offset`, checked as the
// adapter chain is.
std::vector<AddressText> WalkAddressChain(std::span<const std::uint8_t> buffer, std::uint32_t base,
                                          std::size_t offset) {
    if (buffer.size() < address_string_size) {
        throw SystemErrorCode{0};
    }
    const std::size_t lastStart = buffer.size() - address_string_size;
    const std::size_t room = buffer.size() / address_string_size;
    std::vector<AddressText> entries;
    for (;;) {
        if (offset > lastStart || entries.size() == room) {
            throw SystemErrorCode{0};
        }
        const auto entry = buffer.subspan(offset, address_string_size);
        entries.push_back({FieldText(entry, address_string_address_offset, adapter_gateway_size),
                           FieldText(entry, address_string_mask_offset, adapter_gateway_size)});
        const std::uint32_t next = ReadU32(buffer, offset);
        if (next == 0) {
            return entries;
        }
        offset = static_cast<std::uint32_t>(next - base);
    }
}

int PrefixLength(const std::string& mask) {
    int length = 0;
    if (const auto bits = ParseDottedQuad(mask)) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&*bits);
        for (int i = 0; i < 4 && bytes[i] != 0; ++i) {
            length += std::popcount(bytes[i]);
        }
    }
    return length;
}

// The adapter's own address to ask the gateway from: the first whose subnet holds it, else the
// first; none when the adapter has no IPv4 address (the system shows 0.0.0.0).
const AddressText* SourceFor(const std::vector<AddressText>& own, const std::string& gateway) {
    const AddressText* first = nullptr;
    const auto peer = ParseDottedQuad(gateway);
    for (const AddressText& entry : own) {
        const auto address = ParseDottedQuad(entry.address);
        if (!address || *address == 0) {
            continue;
        }
        if (first == nullptr) {
            first = &entry;
        }
        const auto mask = ParseDottedQuad(entry.mask);
        if (peer && mask && (*address & *mask) == (*peer & *mask)) {
            return &entry;
        }
    }
    return first;
}

std::string DottedText(std::uint32_t address) {
    std::uint8_t bytes[4] = {};
    std::memcpy(bytes, &address, sizeof bytes); // network byte order
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

AdapterInfo DecodeAdapterRecord(std::span<const std::uint8_t> buffer, std::uint32_t base,
                                std::size_t offset, const std::vector<IpForwardRow>& routes) {
    const auto record = buffer.subspan(offset, adapter_record_size);
    AdapterInfo adapter;
    adapter.index = ReadU32(record, adapter_index_offset);
    adapter.name = FieldText(record, adapter_name_offset, adapter_name_size);
    const std::vector<AddressText> own =
        WalkAddressChain(buffer, base, offset + adapter_address_list_offset);
    const std::vector<AddressText> gateways =
        WalkAddressChain(buffer, base, offset + adapter_gateway_list_offset);
    adapter.gateway = gateways.front().address;
    if (const AddressText* source = SourceFor(own, adapter.gateway)) {
        adapter.address = source->address;
        adapter.prefixLength = PrefixLength(source->mask);
    }
    // The further gateways: the rest of the list, then the interface's default routes by metric.
    std::vector<std::string> further;
    for (std::size_t i = 1; i < gateways.size(); ++i) {
        further.push_back(gateways[i].address);
    }
    std::vector<IpForwardRow> defaults;
    std::copy_if(routes.begin(), routes.end(), std::back_inserter(defaults),
                 [&adapter](const IpForwardRow& row) {
                     return row.destination == 0 && row.mask == 0 && row.nextHop != 0 &&
                            row.interfaceIndex == adapter.index &&
                            row.type != ip_forward_type_invalid;
                 });
    std::stable_sort(
        defaults.begin(), defaults.end(),
        [](const IpForwardRow& a, const IpForwardRow& b) { return a.metric < b.metric; });
    for (const IpForwardRow& row : defaults) {
        further.push_back(DottedText(row.nextHop));
    }
    for (const std::string& gateway : further) {
        const auto address = ParseDottedQuad(gateway);
        const bool own_address = std::any_of(
            own.begin(), own.end(), [&](const AddressText& a) { return a.address == gateway; });
        const bool listed =
            gateway == adapter.gateway ||
            std::any_of(adapter.moreGateways.begin(), adapter.moreGateways.end(),
                        [&](const FurtherGateway& g) { return g.gateway == gateway; });
        // "0.0.0.0" stands for no gateway; an on-link route names the adapter's own address.
        if (!address || *address == 0 || own_address || listed) {
            continue;
        }
        const AddressText* source = SourceFor(own, gateway);
        adapter.moreGateways.push_back({gateway, source != nullptr ? source->address : ""});
    }
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

std::vector<AdapterInfo> WalkAdapterChain(std::span<const std::uint8_t> buffer, std::uint32_t base,
                                          const std::vector<IpForwardRow>& routes) {
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
        adapters.push_back(DecodeAdapterRecord(buffer, base, offset, routes));
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

std::vector<ForwardRow2> DecodeForwardTable2(std::span<const std::uint8_t> table) {
    if (table.size() < forward_table2_rows_offset) {
        throw SystemErrorCode{0};
    }
    const std::uint32_t count = ReadU32(table, 0);
    if (count > (table.size() - forward_table2_rows_offset) / forward_row2_size) {
        throw SystemErrorCode{0};
    }
    const auto family = [&](std::size_t at) {
        std::uint16_t value = 0;
        std::memcpy(&value, table.data() + at, sizeof value);
        return value;
    };
    std::vector<ForwardRow2> rows;
    rows.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = forward_table2_rows_offset + std::size_t{i} * forward_row2_size;
        ForwardRow2 row;
        row.index = ReadU32(table, at + forward_row2_index_offset);
        row.family = family(at + forward_row2_prefix_offset);
        std::copy_n(table.begin() + static_cast<std::ptrdiff_t>(at + forward_row2_prefix_offset +
                                                                sockaddr_inet_address6_offset),
                    row.prefix.size(), row.prefix.begin());
        row.prefixLength = table[at + forward_row2_prefix_length_offset];
        row.nextHopFamily = family(at + forward_row2_next_hop_offset);
        std::copy_n(table.begin() + static_cast<std::ptrdiff_t>(at + forward_row2_next_hop_offset +
                                                                sockaddr_inet_address6_offset),
                    row.nextHop.size(), row.nextHop.begin());
        row.metric = ReadU32(table, at + forward_row2_metric_offset);
        rows.push_back(row);
    }
    return rows;
}

IpNetRow2 NeighbourRow(std::uint32_t interfaceIndex, const std::string& address) {
    const auto bytes = ParseIpv6(address);
    if (!bytes) {
        throw SystemErrorCode{0};
    }
    IpNetRow2 row;
    row.index = interfaceIndex;
    row.address = *bytes;
    return row;
}

void IpHelperNetworkStack::AddRouters(std::vector<AdapterInfo>& adapters) {
    const IpHelperApi::GetIpForwardTable2Call getTable = api_.FindGetIpForwardTable2();
    std::vector<std::uint8_t> table;
    if (!getTable || getTable(address_family_inet6, table) != 0) {
        return; // the IPv4 protection goes on without the IPv6 one
    }
    std::vector<ForwardRow2> defaults;
    try {
        for (const ForwardRow2& row : DecodeForwardTable2(table)) {
            if (row.family == address_family_inet6 && row.prefixLength == 0 &&
                row.nextHopFamily == address_family_inet6 && row.nextHop != Ipv6Bytes{}) {
                defaults.push_back(row);
            }
        }
    } catch (SystemErrorCode) {
        return;
    }
    // The one the system prefers first: the lowest metric.
    std::stable_sort(
        defaults.begin(), defaults.end(),
        [](const ForwardRow2& a, const ForwardRow2& b) { return a.metric < b.metric; });
    for (AdapterInfo& adapter : adapters) {
        for (const ForwardRow2& row : defaults) {
            const std::string router = Ipv6Text(row.nextHop);
            if (row.index == adapter.index &&
                std::find(adapter.routers.begin(), adapter.routers.end(), router) ==
                    adapter.routers.end()) {
                adapter.routers.push_back(router);
            }
        }
    }
}

std::uint32_t IpHelperNetworkStack::CallNeighbour(IpHelperApi::NeighbourCall call, IpNetRow2& row) {
    const IpHelperApi::IpNetEntry2Call function = api_.FindIpNetEntry2(call);
    return function ? function(row) : error_not_supported;
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
    std::vector<AdapterInfo> adapters =
        WalkAdapterChain(buffer, AdapterBufferAddress(buffer.data()), ReadIpForwardTable());
    AddRouters(adapters);
    return adapters;
}

std::vector<IpForwardRow> IpHelperNetworkStack::ReadIpForwardTable() {
    // The table may grow between the sizing call and the read: a few tries. A table that cannot
    // be read leaves the adapters their own lists of gateways.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::uint32_t size = 0;
        if (api_.GetIpForwardTable(nullptr, &size) != error_insufficient_buffer || size == 0) {
            return {};
        }
        std::vector<std::uint8_t> buffer(size, 0);
        const std::uint32_t result = api_.GetIpForwardTable(buffer.data(), &size);
        if (result == error_insufficient_buffer) {
            continue;
        }
        if (result != 0) {
            return {};
        }
        try {
            return DecodeIpForwardTable(buffer);
        } catch (SystemErrorCode) {
            return {};
        }
    }
    return {};
}

std::vector<IpForwardRow> DecodeIpForwardTable(std::span<const std::uint8_t> table) {
    if (table.size() < ip_forward_table_count_size) {
        throw SystemErrorCode{0};
    }
    const std::uint32_t count = ReadU32(table, 0);
    if (count > (table.size() - ip_forward_table_count_size) / ip_forward_row_size) {
        throw SystemErrorCode{0};
    }
    std::vector<IpForwardRow> rows;
    rows.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = ip_forward_table_count_size + std::size_t{i} * ip_forward_row_size;
        IpForwardRow row;
        row.destination = ReadU32(table, at);
        row.mask = ReadU32(table, at + 4);
        row.nextHop = ReadU32(table, at + 12);
        row.interfaceIndex = ReadU32(table, at + 16);
        row.type = ReadU32(table, at + 20);
        row.metric = ReadU32(table, at + 36);
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::optional<SystemErrorCode>>
IpHelperNetworkStack::FlushArpTables(const std::vector<std::uint32_t>& interfaces) {
    std::vector<std::optional<SystemErrorCode>> results;
    results.reserve(interfaces.size());
    for (const std::uint32_t index : interfaces) {
        const IpHelperApi::FlushIpNetTableCall flush = api_.FindFlushIpNetTable();
        if (!flush) {
            results.emplace_back(SystemErrorCode{0});
            continue;
        }
        const std::uint32_t result = flush(index);
        results.push_back(result != 0 ? std::optional<SystemErrorCode>{result} : std::nullopt);
    }
    return results;
}

std::unique_ptr<ArpResolver> IpHelperNetworkStack::CreateResolver() {
    return std::make_unique<IpHelperResolver>(api_, api_.CreateStopEvent());
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

namespace {

IpNetRow2 PermanentRow(const ArpEntry& entry) {
    IpNetRow2 row = NeighbourRow(entry.interfaceIndex, entry.address);
    const std::size_t length = std::min(entry.hardwareAddress.size(), row.physAddr.size());
    row.physAddrLength = static_cast<std::uint32_t>(length);
    std::copy_n(entry.hardwareAddress.begin(), length, row.physAddr.begin());
    row.state = neighbor_state_permanent;
    return row;
}

} // namespace

bool IpHelperNetworkStack::CreateArpEntry(const ArpEntry& entry) {
    if (IsIpv6Text(entry.address)) {
        IpNetRow2 row = PermanentRow(entry);
        return CallNeighbour(IpHelperApi::NeighbourCall::create, row) == 0;
    }
    return api_.CreateIpNetEntry(StaticRow(entry)) == 0;
}

void IpHelperNetworkStack::SetArpEntry(const ArpEntry& entry) {
    std::uint32_t result = 0;
    if (IsIpv6Text(entry.address)) {
        IpNetRow2 row = PermanentRow(entry);
        result = CallNeighbour(IpHelperApi::NeighbourCall::set, row);
    } else {
        result = api_.SetIpNetEntry(StaticRow(entry));
    }
    if (result != 0) {
        throw SystemErrorCode{result};
    }
}

void IpHelperNetworkStack::DeleteArpEntry(std::uint32_t interfaceIndex,
                                          const std::string& address) {
    if (IsIpv6Text(address)) {
        IpNetRow2 row = NeighbourRow(interfaceIndex, address);
        const std::uint32_t result = CallNeighbour(IpHelperApi::NeighbourCall::remove, row);
        if (result != 0 && result != error_not_found) {
            throw SystemErrorCode{result};
        }
        return;
    }
    IpNetRow row;
    row.index = interfaceIndex;
    row.address = api_.InetAddr(address);
    const std::uint32_t result = api_.DeleteIpNetEntry(row);
    if (result != 0 && result != error_not_found) {
        throw SystemErrorCode{result};
    }
}

std::optional<HardwareAddress> IpHelperNetworkStack::ReadStaticEntry(std::uint32_t interfaceIndex,
                                                                     const std::string& address) {
    return ReadStaticEntries({{interfaceIndex, address}}).front();
}

std::vector<std::optional<HardwareAddress>> IpHelperNetworkStack::ReadStaticEntries(
    const std::vector<std::pair<std::uint32_t, std::string>>& entries) {
    // The ARP table is read once for every IPv4 entry, and only when there is one; an IPv6 entry
    // is the neighbour row of its own call.
    const bool anyIpv4 = std::any_of(entries.begin(), entries.end(),
                                     [](const auto& entry) { return !IsIpv6Text(entry.second); });
    const std::vector<IpNetRow> rows = anyIpv4 ? ReadIpNetTable() : std::vector<IpNetRow>{};
    std::vector<std::optional<HardwareAddress>> found;
    found.reserve(entries.size());
    for (const auto& entry : entries) {
        if (IsIpv6Text(entry.second)) {
            found.push_back(ReadNeighbourEntry(entry.first, entry.second));
            continue;
        }
        const std::uint32_t wanted = api_.InetAddr(entry.second);
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const IpNetRow& r) {
            return r.index == entry.first && r.address == wanted && r.type == ip_net_type_static;
        });
        if (row == rows.end()) {
            found.emplace_back();
            continue;
        }
        const std::size_t length = std::min<std::size_t>(row->physAddrLength, 8);
        found.emplace_back(HardwareAddress(row->physAddr.begin(), row->physAddr.begin() + length));
    }
    return found;
}

std::optional<HardwareAddress>
IpHelperNetworkStack::ReadNeighbourEntry(std::uint32_t interfaceIndex, const std::string& address) {
    IpNetRow2 row = NeighbourRow(interfaceIndex, address);
    const std::uint32_t result = CallNeighbour(IpHelperApi::NeighbourCall::get, row);
    if (result == error_not_found) {
        return std::nullopt;
    }
    if (result != 0) {
        throw SystemErrorCode{result};
    }
    if (row.state != neighbor_state_permanent) {
        return std::nullopt;
    }
    const std::size_t length = std::min<std::size_t>(row.physAddrLength, 8);
    return HardwareAddress(row.physAddr.begin(), row.physAddr.begin() + length);
}

std::vector<IpNetRow> IpHelperNetworkStack::ReadIpNetTable() {
    // The table may grow between the sizing call and the read: a few tries.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::uint32_t size = 0;
        std::uint32_t result = api_.GetIpNetTable(nullptr, &size);
        if (result == error_no_data) {
            return {};
        }
        if (result != error_insufficient_buffer) {
            throw SystemErrorCode{result};
        }
        std::vector<std::uint8_t> buffer(size, 0);
        result = api_.GetIpNetTable(buffer.data(), &size);
        if (result == error_insufficient_buffer) {
            continue;
        }
        if (result == error_no_data) {
            return {};
        }
        if (result != 0) {
            throw SystemErrorCode{result};
        }
        return DecodeIpNetTable(buffer);
    }
    throw SystemErrorCode{error_insufficient_buffer};
}

std::vector<IpNetRow> DecodeIpNetTable(std::span<const std::uint8_t> table) {
    if (table.size() < ip_net_table_count_size) {
        throw SystemErrorCode{0};
    }
    const std::uint32_t count = ReadU32(table, 0);
    if (count > (table.size() - ip_net_table_count_size) / ip_net_row_size) {
        throw SystemErrorCode{0};
    }
    std::vector<IpNetRow> rows;
    rows.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = ip_net_table_count_size + std::size_t{i} * ip_net_row_size;
        IpNetRow row;
        row.index = ReadU32(table, at);
        row.physAddrLength = ReadU32(table, at + 4);
        std::copy_n(table.begin() + static_cast<std::ptrdiff_t>(at + 8), row.physAddr.size(),
                    row.physAddr.begin());
        row.address = ReadU32(table, at + 16);
        row.type = ReadU32(table, at + 20);
        rows.push_back(row);
    }
    return rows;
}

struct IpHelperResolver::Worker {
    std::uint32_t interfaceIndex = 0;
    std::string gateway;
    bool forgotten = false; // under the resolver's lock
    bool done = false;      // under the resolver's lock
    Core_Common::thread_basic thread;
};

IpHelperResolver::IpHelperResolver(IpHelperApi& api, std::unique_ptr<StopEvent> ready)
    : api_(api), ready_(std::move(ready)) {}

IpHelperResolver::~IpHelperResolver() {
    for (const auto& worker : workers_) {
        worker->thread.join();
    }
}

void IpHelperResolver::Reap() {
    std::vector<std::unique_ptr<Worker>> finished;
    {
        const std::lock_guard lock(mutex_);
        for (auto& worker : workers_) {
            if (worker->done) {
                finished.push_back(std::move(worker));
            }
        }
        std::erase(workers_, nullptr);
    }
    for (const auto& worker : finished) {
        worker->thread.join();
    }
}

void IpHelperResolver::Ask(const GatewayRequest& request) {
    Reap();
    {
        const std::lock_guard lock(mutex_);
        const auto inFlight = std::find_if(workers_.begin(), workers_.end(), [&](const auto& w) {
            return w->interfaceIndex == request.interfaceIndex && w->gateway == request.gateway;
        });
        if (inFlight != workers_.end()) {
            (*inFlight)->forgotten = false; // SendARP cannot be sent again: its answer counts
            return;
        }
    }
    // Looked up by name at each use, in the already loaded "Iphlpapi.dll".
    std::function<ArpEvent()> resolve;
    if (IsIpv6Text(request.gateway)) {
        const IpHelperApi::IpNetEntry2Call resolveEntry =
            api_.FindIpNetEntry2(IpHelperApi::NeighbourCall::resolve);
        if (!resolveEntry) {
            throw SystemErrorCode{error_not_supported};
        }
        resolve = [resolveEntry, row = NeighbourRow(request.interfaceIndex, request.gateway),
                   request]() mutable {
            const std::uint32_t result = resolveEntry(row);
            ArpEvent event{request.interfaceIndex, request.gateway, {}, result};
            if (result == 0 && row.physAddrLength != 0 &&
                row.physAddrLength <= HardwareAddressBuffer{}.size()) {
                event.hardwareAddress.assign(row.physAddr.begin(),
                                             row.physAddr.begin() + row.physAddrLength);
            }
            return event;
        };
    } else {
        // Without a source the system would ask on whatever adapter its routes choose, and the
        // answer would be pinned on this one. (ResolveIpNetEntry2 asks on the row's interface.)
        if (request.source.empty()) {
            throw SystemErrorCode{IpHelperNetworkStack::error_no_source};
        }
        const IpHelperApi::SendArpCall sendArp = api_.FindSendArp();
        if (!sendArp) {
            throw SystemErrorCode{0};
        }
        const std::uint32_t destination = api_.InetAddr(request.gateway);
        const std::uint32_t source = api_.InetAddr(request.source);
        resolve = [sendArp, destination, source, request] {
            HardwareAddressBuffer buffer;
            buffer.fill(0xFF);
            std::uint32_t length = 6;
            const std::uint32_t result = sendArp(destination, source, buffer.data(), &length);
            ArpEvent event{request.interfaceIndex, request.gateway, {}, result};
            // A length of 0, or beyond the buffer (reading it would run past), is a failure
            // without a code of its own.
            if (result == 0 && length != 0 && length <= buffer.size()) {
                event.hardwareAddress.assign(buffer.begin(), buffer.begin() + length);
            }
            return event;
        };
    }
    auto worker = std::make_unique<Worker>();
    worker->interfaceIndex = request.interfaceIndex;
    worker->gateway = request.gateway;
    Worker* self = worker.get();
    {
        const std::lock_guard lock(mutex_);
        workers_.push_back(std::move(worker));
    }
    self->thread.start(
        [this, self, resolve] {
            ArpEvent event = resolve();
            const std::lock_guard lock(mutex_);
            self->done = true;
            if (self->forgotten) {
                return;
            }
            events_.push_back(std::move(event));
            ready_->Signal();
            arrived_.notify_all();
        },
        "SocketARP_Resolver", Core_Common::thread_helper::priority_normal);
}

void IpHelperResolver::Forget(std::uint32_t interfaceIndex, const std::string& gateway) {
    const std::lock_guard lock(mutex_);
    for (const auto& worker : workers_) {
        if (worker->interfaceIndex == interfaceIndex && worker->gateway == gateway) {
            worker->forgotten = true;
        }
    }
    std::erase_if(events_, [&](const ArpEvent& e) {
        return e.interfaceIndex == interfaceIndex && e.gateway == gateway;
    });
}

std::vector<ArpEvent> IpHelperResolver::Collect(bool& lost) {
    lost = false;
    Reap();
    const std::lock_guard lock(mutex_);
    ready_->Reset();
    return std::exchange(events_, {});
}

bool IpHelperResolver::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (timeout.count() < 0) {
        arrived_.wait(lock, [this] { return !events_.empty(); });
        return true;
    }
    return arrived_.wait_for(lock, timeout, [this] { return !events_.empty(); });
}

} // namespace Core_SocketARP
