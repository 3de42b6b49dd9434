// The network stack over the IP Helper API, in portable code: the sizing calls, the layout of
// the interface table and of the 32-bit adapter records, the bounds checks and the late-bound
// entry points. The calls themselves come through IpHelperApi, so tests can feed crafted
// buffers and failing lookups on any platform.
#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace Core_SocketARP {

inline constexpr std::uint32_t error_buffer_overflow = 111;     // ERROR_BUFFER_OVERFLOW
inline constexpr std::uint32_t error_insufficient_buffer = 122; // ERROR_INSUFFICIENT_BUFFER

// IP_INTERFACE_INFO: a signed 32-bit count, then entries of an index and a 128-character
// wide name.
inline constexpr std::size_t interface_table_count_size = 4;
inline constexpr std::size_t interface_entry_size = 260;

// IP_ADAPTER_INFO as 32-bit Windows lays it out, with 64-bit lease times. `Next` is a 32-bit
// address; the gateway text is the `IpAddress` of the first IP_ADDR_STRING of `GatewayList`.
inline constexpr std::size_t adapter_record_size = 648;
inline constexpr std::size_t adapter_next_offset = 0;
inline constexpr std::size_t adapter_index_offset = 412;
inline constexpr std::size_t adapter_gateway_offset = 468 + 4;
inline constexpr std::size_t adapter_gateway_size = 16;

inline constexpr std::uint32_t ip_net_type_static = 4; // MIB_IPNET_TYPE_STATIC

// MIB_IPNETROW.
struct IpNetRow {
    std::uint32_t index = 0;
    std::uint32_t physAddrLength = 0;
    std::array<std::uint8_t, 8> physAddr{};
    std::uint32_t address = 0; // network byte order, as inet_addr gives it
    std::uint32_t type = 0;

    bool operator==(const IpNetRow&) const = default;
};

// The IP Helper and Winsock calls the stack makes, with the platform's results.
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
    virtual std::uint32_t InetAddr(const std::string& text) = 0;

    // Looked up by name in the loaded "Iphlpapi.dll" each time one is about to be called;
    // empty when the lookup finds nothing.
    virtual SendArpCall FindSendArp() = 0;
    virtual FlushIpNetTableCall FindFlushIpNetTable() = 0;

    // The monitor's kernel event (CreateEventW) and the route-change subscription over the
    // late-bound "NotifyRouteChange".
    virtual std::unique_ptr<StopEvent> CreateStopEvent() = 0;
    virtual std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() = 0;

protected:
    IpHelperApi() = default;
    IpHelperApi(const IpHelperApi&) = default;
    IpHelperApi& operator=(const IpHelperApi&) = default;
};

class IpHelperNetworkStack final : public NetworkStack {
public:
    explicit IpHelperNetworkStack(IpHelperApi& api) : api_(api) {}

    std::vector<std::uint32_t> ListInterfaces() override;
    std::vector<AdapterInfo> ListAdapters() override;
    void FlushArpTable(std::uint32_t interfaceIndex) override;
    void SendArpRequest(const std::string& address, HardwareAddressBuffer& hardwareAddress,
                        std::uint32_t& length) override;
    bool CreateArpEntry(const ArpEntry& entry) override;
    void SetArpEntry(const ArpEntry& entry) override;
    std::unique_ptr<StopEvent> CreateStopEvent() override { return api_.CreateStopEvent(); }
    std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() override {
        return api_.SubscribeRouteChanges();
    }

private:
    IpNetRow StaticRow(const ArpEntry& entry);

    IpHelperApi& api_;
};

// The indexes of an interface table. Throws 0 when the table's count or an entry's index
// lies outside the table.
std::vector<std::uint32_t> DecodeInterfaceTable(std::span<const std::uint8_t> table);

// Walks the adapter chain of a buffer whose first byte has the 32-bit address `base`. Throws 0
// when a record does not lie wholly inside the buffer, or when the chain holds more records
// than the buffer has room for (it loops).
std::vector<AdapterInfo> WalkAdapterChain(std::span<const std::uint8_t> buffer, std::uint32_t base);

// The 32-bit address by which the adapter records of a buffer refer to it.
std::uint32_t AdapterBufferAddress(const std::uint8_t* buffer);

} // namespace Core_SocketARP
