// The network stack over the IP Helper API, in portable code: the sizing calls, the layout of
// the interface table and of the 32-bit adapter records, the bounds checks and the late-bound
// entry points. The calls themselves come through IpHelperApi, so tests can feed crafted
// buffers and failing lookups on any platform.
#pragma once

#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/NetworkStack.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace Core_SocketARP {

inline constexpr std::uint32_t error_buffer_overflow = 111;     // ERROR_BUFFER_OVERFLOW
inline constexpr std::uint32_t error_insufficient_buffer = 122; // ERROR_INSUFFICIENT_BUFFER
inline constexpr std::uint32_t error_no_data = 232;             // ERROR_NO_DATA
inline constexpr std::uint32_t error_not_found = 1168;          // ERROR_NOT_FOUND
inline constexpr std::uint32_t error_not_supported = 50;        // ERROR_NOT_SUPPORTED

// IP_INTERFACE_INFO: a signed 32-bit count, then entries of an index and a 128-character
// wide name.
inline constexpr std::size_t interface_table_count_size = 4;
inline constexpr std::size_t interface_entry_size = 260;

// IP_ADAPTER_INFO as 32-bit Windows lays it out, with 64-bit lease times. `Next` is a 32-bit
// address; the gateway text is the `IpAddress` of the first IP_ADDR_STRING of `GatewayList`.
inline constexpr std::size_t adapter_record_size = 648;
inline constexpr std::size_t adapter_next_offset = 0;
inline constexpr std::size_t adapter_name_offset = 8;
inline constexpr std::size_t adapter_name_size = 260;
inline constexpr std::size_t adapter_index_offset = 412;
// The first IP_ADDR_STRING of IpAddressList and of GatewayList, inside the record.
inline constexpr std::size_t adapter_address_list_offset = 428;
inline constexpr std::size_t adapter_gateway_list_offset = 468;
// IP_ADDR_STRING: `Next` (a 32-bit address; further entries lie elsewhere in the buffer), the
// address and mask texts, a context.
inline constexpr std::size_t address_string_size = 40;
inline constexpr std::size_t address_string_address_offset = 4;
inline constexpr std::size_t address_string_mask_offset = 20;
// The IpAddress of the first IP_ADDR_STRING of IpAddressList, and of GatewayList.
inline constexpr std::size_t adapter_address_offset =
    adapter_address_list_offset + address_string_address_offset;
inline constexpr std::size_t adapter_gateway_offset =
    adapter_gateway_list_offset + address_string_address_offset;
inline constexpr std::size_t adapter_gateway_size = 16;

// MIB_IPFORWARDTABLE: a 32-bit count, then MIB_IPFORWARDROW records of 14 32-bit fields.
inline constexpr std::size_t ip_forward_table_count_size = 4;
inline constexpr std::size_t ip_forward_row_size = 56;
inline constexpr std::uint32_t ip_forward_type_invalid = 2; // MIB_IPROUTE_TYPE_INVALID

// What the stack reads of MIB_IPFORWARDROW (addresses in network byte order).
struct IpForwardRow {
    std::uint32_t destination = 0;
    std::uint32_t mask = 0;
    std::uint32_t nextHop = 0;
    std::uint32_t interfaceIndex = 0;
    std::uint32_t type = 0;
    std::uint32_t metric = 0; // dwForwardMetric1

    bool operator==(const IpForwardRow&) const = default;
};

// MIB_IPNETTABLE: a 32-bit count, then MIB_IPNETROW records of 24 bytes (index, address
// length, 8 address bytes, address, type).
inline constexpr std::size_t ip_net_table_count_size = 4;
inline constexpr std::size_t ip_net_row_size = 24;

inline constexpr std::uint32_t ip_net_type_static = 4; // MIB_IPNET_TYPE_STATIC

// MIB_IPFORWARD_TABLE2 as 32-bit Windows lays it out: a 32-bit count, then (8-byte aligned)
// MIB_IPFORWARD_ROW2 records: the interface index, the destination prefix (a SOCKADDR_INET and
// its length) and the next hop (a SOCKADDR_INET), the metric.
inline constexpr std::size_t forward_table2_rows_offset = 8;
inline constexpr std::size_t forward_row2_size = 104;
inline constexpr std::size_t forward_row2_index_offset = 8;
inline constexpr std::size_t forward_row2_prefix_offset = 12;
inline constexpr std::size_t forward_row2_prefix_length_offset = 40;
inline constexpr std::size_t forward_row2_next_hop_offset = 44;
inline constexpr std::size_t forward_row2_metric_offset = 84;
// SOCKADDR_INET: its 16-bit family first; an IPv6 address 8 bytes in.
inline constexpr std::size_t sockaddr_inet_address6_offset = 8;
inline constexpr std::uint16_t address_family_inet6 = 23; // AF_INET6 on Windows

// A route of a MIB_IPFORWARD_TABLE2 as the stack reads it.
struct ForwardRow2 {
    std::uint32_t index = 0;
    std::uint16_t family = 0; // of the destination prefix
    Ipv6Bytes prefix{};
    std::uint8_t prefixLength = 0;
    std::uint16_t nextHopFamily = 0;
    Ipv6Bytes nextHop{};
    std::uint32_t metric = 0;

    bool operator==(const ForwardRow2&) const = default;
};

// MIB_IPNET_ROW2 as the IPv6 neighbour calls take and give it.
struct IpNetRow2 {
    std::uint32_t index = 0;
    Ipv6Bytes address{};
    std::array<std::uint8_t, 32> physAddr{};
    std::uint32_t physAddrLength = 0;
    std::uint32_t state = 0; // NL_NEIGHBOR_STATE

    bool operator==(const IpNetRow2&) const = default;
};

inline constexpr std::uint32_t neighbor_state_permanent = 6; // NlnsPermanent

// MIB_IPNETROW.
struct IpNetRow {
    std::uint32_t index = 0;
    std::uint32_t physAddrLength = 0;
    std::array<std::uint8_t, 8> physAddr{};
    std::uint32_t address = 0; // network byte order, as inet_addr gives it
    std::uint32_t type = 0;

    bool operator==(const IpNetRow&) const = default;
};

// The IP Helper and Winsock calls the stack makes, with the platform's results. The calls may
// come from several threads at once (the resolver's workers call SendARP).
class IpHelperApi {
public:
    using SendArpCall = std::function<std::uint32_t(std::uint32_t destination, std::uint32_t source,
                                                    void* hardwareAddress, std::uint32_t* length)>;
    using FlushIpNetTableCall = std::function<std::uint32_t(std::uint32_t interfaceIndex)>;

    virtual ~IpHelperApi() = default;

    virtual std::uint32_t GetInterfaceInfo(std::uint8_t* buffer, std::uint32_t* size) = 0;
    virtual std::uint32_t GetAdaptersInfo(std::uint8_t* buffer, std::uint32_t* size) = 0;
    virtual std::uint32_t CreateIpNetEntry(const IpNetRow& row) = 0;
    virtual std::uint32_t SetIpNetEntry(const IpNetRow& row) = 0;
    virtual std::uint32_t DeleteIpNetEntry(const IpNetRow& row) = 0;
    // GetIpNetTable, unsorted: with a size of 0, ERROR_INSUFFICIENT_BUFFER and the size needed.
    virtual std::uint32_t GetIpNetTable(std::uint8_t* buffer, std::uint32_t* size) = 0;
    // GetIpForwardTable, unsorted, in the same way.
    virtual std::uint32_t GetIpForwardTable(std::uint8_t* buffer, std::uint32_t* size) = 0;
    virtual std::uint32_t InetAddr(const std::string& text) = 0;

    // Looked up by name in the loaded "Iphlpapi.dll" each time one is about to be called;
    // empty when the lookup finds nothing.
    virtual SendArpCall FindSendArp() = 0;
    virtual FlushIpNetTableCall FindFlushIpNetTable() = 0;

    // The calls of Windows Vista and later that IPv6 needs, looked up by name in the same way:
    // systems without them (Wine lacks the neighbour calls) still run the IPv4 protection.
    // GetIpForwardTable2 for one family: the table's bytes, copied out of the system's buffer
    // (which FreeMibTable frees).
    using GetIpForwardTable2Call =
        std::function<std::uint32_t(std::uint16_t family, std::vector<std::uint8_t>& table)>;
    virtual GetIpForwardTable2Call FindGetIpForwardTable2() = 0;
    enum class NeighbourCall { create, set, remove, get, resolve };
    // CreateIpNetEntry2, SetIpNetEntry2, DeleteIpNetEntry2, GetIpNetEntry2, ResolveIpNetEntry2
    // (without a source address: the system chooses it on the interface).
    using IpNetEntry2Call = std::function<std::uint32_t(IpNetRow2& row)>;
    virtual IpNetEntry2Call FindIpNetEntry2(NeighbourCall call) = 0;

    // The monitor's kernel event (CreateEventW) and the route-change subscription over the
    // late-bound "NotifyRouteChange".
    virtual std::unique_ptr<StopEvent> CreateStopEvent() = 0;
    virtual std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() = 0;

protected:
    IpHelperApi() = default;
    IpHelperApi(const IpHelperApi&) = default;
    IpHelperApi& operator=(const IpHelperApi&) = default;
};

// An adapter's gateways are every entry of its GatewayList and the next hop of every default
// route of its interface in the forwarding table (backup routes of higher metrics included, in
// the order of their metrics), the first entry of GatewayList first; each is asked from the
// adapter's address on its subnet.
class IpHelperNetworkStack final : public NetworkStack {
public:
    // What an adapter without an IPv4 address answers for its gateways: they are not asked,
    // since SendARP without a source would ask on whatever adapter the system chooses.
    static constexpr std::uint32_t error_no_source = 10049; // WSAEADDRNOTAVAIL

    explicit IpHelperNetworkStack(IpHelperApi& api) : api_(api) {}

    // Pins are checked against the table this often: the platform tells of no change to it.
    static constexpr std::chrono::seconds pin_check_period{10};

    std::vector<std::uint32_t> ListInterfaces() override;
    std::vector<AdapterInfo> ListAdapters() override;
    std::vector<std::optional<SystemErrorCode>>
    FlushArpTables(const std::vector<std::uint32_t>& interfaces) override;
    std::unique_ptr<ArpResolver> CreateResolver() override;
    bool CreateArpEntry(const ArpEntry& entry) override;
    void SetArpEntry(const ArpEntry& entry) override;
    void DeleteArpEntry(std::uint32_t interfaceIndex, const std::string& address) override;
    std::optional<HardwareAddress> ReadStaticEntry(std::uint32_t interfaceIndex,
                                                   const std::string& address) override;
    // One read of the table for all of them (a large table takes long to read).
    std::vector<std::optional<HardwareAddress>>
    ReadStaticEntries(const std::vector<std::pair<std::uint32_t, std::string>>& entries) override;
    std::chrono::seconds PinCheckPeriod() const override { return pin_check_period; }
    std::unique_ptr<StopEvent> CreateStopEvent() override { return api_.CreateStopEvent(); }
    std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() override {
        return api_.SubscribeRouteChanges();
    }

private:
    IpNetRow StaticRow(const ArpEntry& entry);
    // The ARP table's rows; nothing for an empty table.
    std::vector<IpNetRow> ReadIpNetTable();
    // The permanent IPv6 neighbour row of the address on the interface; nothing when there is
    // none.
    std::optional<HardwareAddress> ReadNeighbourEntry(std::uint32_t interfaceIndex,
                                                      const std::string& address);
    // The forwarding table's rows; nothing when it cannot be read.
    std::vector<IpForwardRow> ReadIpForwardTable();
    // The IPv6 default routers of each adapter from the forwarding table, where the platform
    // has one; without it, or when it fails, none.
    void AddRouters(std::vector<AdapterInfo>& adapters);
    // An IPv6 neighbour call on the entry of the address; ERROR_NOT_SUPPORTED where the
    // platform lacks it.
    std::uint32_t CallNeighbour(IpHelperApi::NeighbourCall call, IpNetRow2& row);

    IpHelperApi& api_;
};

// The routes of a MIB_IPFORWARD_TABLE2's bytes. Throws 0 when the count runs past the table.
std::vector<ForwardRow2> DecodeForwardTable2(std::span<const std::uint8_t> table);

// The IPv6 neighbour row of an entry's address on an interface (no hardware address); throws 0
// for a text that is no IPv6 address.
IpNetRow2 NeighbourRow(std::uint32_t interfaceIndex, const std::string& address);

// The indexes of an interface table. Throws 0 when the table's count or an entry's index
// lies outside the table.
std::vector<std::uint32_t> DecodeInterfaceTable(std::span<const std::uint8_t> table);

// Walks the adapter chain of a buffer whose first byte has the 32-bit address `base`, and each
// adapter's chains of addresses and of gateways. Throws 0 when a record or an address entry
// does not lie wholly inside the buffer, or when a chain holds more entries than the buffer has
// room for (it loops).
// The next hops of each adapter's default routes in `routes` that it does not list yet are its
// further gateways after those of its own list, in the order of their metrics.
std::vector<AdapterInfo> WalkAdapterChain(std::span<const std::uint8_t> buffer, std::uint32_t base,
                                          const std::vector<IpForwardRow>& routes = {});

// The rows of a forwarding table. Throws 0 when the count runs past the table.
std::vector<IpForwardRow> DecodeIpForwardTable(std::span<const std::uint8_t> table);

// The 32-bit address by which the adapter records of a buffer refer to it.
std::uint32_t AdapterBufferAddress(const std::uint8_t* buffer);

// The rows of an ARP table. Throws 0 when the count runs past the table.
std::vector<IpNetRow> DecodeIpNetTable(std::span<const std::uint8_t> table);

// The ARP requests of the passes, one SendARP at a time per gateway, each on a worker of its
// own so that every adapter is asked at once; SendARP is given the adapter's own address as
// source, so the system asks on that adapter. A request without a source is not sent: it
// fails with IpHelperNetworkStack::error_no_source. An IPv6 router is asked with
// ResolveIpNetEntry2 on its interface in the same way (the system sends its Neighbor
// Solicitations). SendARP does its own tries: the pace is one request, and a gateway whose
// SendARP has not returned after `interval` counts as silent.
class IpHelperResolver final : public ArpResolver {
public:
    static constexpr std::uint32_t error_timeout = 1460; // ERROR_TIMEOUT
    static constexpr std::chrono::milliseconds interval{5000};

    IpHelperResolver(IpHelperApi& api, std::unique_ptr<StopEvent> ready);
    // Waits for the workers still in SendARP.
    ~IpHelperResolver() override;

    ResolverPace Pace() const override { return {1, interval, error_timeout, true}; }
    void Ask(const GatewayRequest& request) override;
    void Forget(std::uint32_t interfaceIndex, const std::string& gateway) override;
    std::vector<ArpEvent> Collect(bool& lost) override;
    bool Wait(std::chrono::milliseconds timeout) override;
    std::intptr_t NativeHandle() const override { return ready_->NativeHandle(); }

private:
    struct Worker;

    void Reap();

    IpHelperApi& api_;
    // Signalled while events wait, for the monitor's wait on the platform's handles.
    std::unique_ptr<StopEvent> ready_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<ArpEvent> events_;
    std::vector<std::unique_ptr<Worker>> workers_;
};

} // namespace Core_SocketARP
