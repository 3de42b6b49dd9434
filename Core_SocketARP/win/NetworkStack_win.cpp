#include "Core_Common/win/WinApi.h"

#include <winsock2.h>
#include <ws2ipdef.h>

// After ws2ipdef.h, which the interface-change types of netioapi.h need.
#include <iphlpapi.h>

#include "Core_SocketARP/IpHelperStack.h"
#include "Core_SocketARP/win/IpHelperApi_win.h"
#include "Core_SocketARP/win/RouteChanges_win.h"

#include <algorithm>
#include <cstddef>

namespace Core_SocketARP {
namespace {

// The portable decoding relies on these offsets of the platform's records.
static_assert(offsetof(IP_INTERFACE_INFO, Adapter) == interface_table_count_size);
static_assert(sizeof(IP_ADAPTER_INDEX_MAP) == interface_entry_size);
static_assert(offsetof(IP_ADAPTER_INFO, Next) == adapter_next_offset);
static_assert(offsetof(IP_ADAPTER_INFO, AdapterName) == adapter_name_offset);
static_assert(sizeof(IP_ADAPTER_INFO::AdapterName) == adapter_name_size);
static_assert(offsetof(IP_ADAPTER_INFO, Index) == adapter_index_offset);
static_assert(offsetof(IP_ADAPTER_INFO, IpAddressList) + offsetof(IP_ADDR_STRING, IpAddress) ==
              adapter_address_offset);
static_assert(offsetof(IP_ADAPTER_INFO, GatewayList) + offsetof(IP_ADDR_STRING, IpAddress) ==
              adapter_gateway_offset);
static_assert(sizeof(IP_ADDRESS_STRING) == adapter_gateway_size);
static_assert(offsetof(IP_ADAPTER_INFO, IpAddressList) == adapter_address_list_offset);
static_assert(offsetof(IP_ADAPTER_INFO, GatewayList) == adapter_gateway_list_offset);
static_assert(sizeof(IP_ADDR_STRING) == address_string_size &&
              offsetof(IP_ADDR_STRING, Next) == 0 &&
              offsetof(IP_ADDR_STRING, IpAddress) == address_string_address_offset &&
              offsetof(IP_ADDR_STRING, IpMask) == address_string_mask_offset);
static_assert(offsetof(MIB_IPFORWARDTABLE, table) == ip_forward_table_count_size);
static_assert(sizeof(MIB_IPFORWARDROW) == ip_forward_row_size);
static_assert(offsetof(MIB_IPFORWARDROW, dwForwardDest) == 0 &&
              offsetof(MIB_IPFORWARDROW, dwForwardMask) == 4 &&
              offsetof(MIB_IPFORWARDROW, dwForwardNextHop) == 12 &&
              offsetof(MIB_IPFORWARDROW, dwForwardIfIndex) == 16 &&
              offsetof(MIB_IPFORWARDROW, dwForwardType) == 20 &&
              offsetof(MIB_IPFORWARDROW, dwForwardMetric1) == 36);
static_assert(MIB_IPROUTE_TYPE_INVALID == ip_forward_type_invalid);
static_assert(offsetof(MIB_IPNETTABLE, table) == ip_net_table_count_size);
static_assert(sizeof(MIB_IPNETROW) == ip_net_row_size);
static_assert(offsetof(MIB_IPNETROW, dwIndex) == 0 && offsetof(MIB_IPNETROW, dwPhysAddrLen) == 4 &&
              offsetof(MIB_IPNETROW, bPhysAddr) == 8 && offsetof(MIB_IPNETROW, dwAddr) == 16 &&
              offsetof(MIB_IPNETROW, dwType) == 20);
static_assert(sizeof(void*) == 4, "the adapter records link by 32-bit addresses");
static_assert(offsetof(MIB_IPFORWARD_TABLE2, Table) == forward_table2_rows_offset);
static_assert(sizeof(MIB_IPFORWARD_ROW2) == forward_row2_size);
static_assert(offsetof(MIB_IPFORWARD_ROW2, InterfaceIndex) == forward_row2_index_offset);
static_assert(offsetof(MIB_IPFORWARD_ROW2, DestinationPrefix) +
                  offsetof(IP_ADDRESS_PREFIX, Prefix) ==
              forward_row2_prefix_offset);
static_assert(offsetof(MIB_IPFORWARD_ROW2, DestinationPrefix) +
                  offsetof(IP_ADDRESS_PREFIX, PrefixLength) ==
              forward_row2_prefix_length_offset);
static_assert(offsetof(MIB_IPFORWARD_ROW2, NextHop) == forward_row2_next_hop_offset);
static_assert(offsetof(MIB_IPFORWARD_ROW2, Metric) == forward_row2_metric_offset);
static_assert(offsetof(SOCKADDR_INET, Ipv6) + offsetof(SOCKADDR_IN6, sin6_addr) ==
              sockaddr_inet_address6_offset);
static_assert(AF_INET6 == address_family_inet6);
static_assert(NlnsPermanent == neighbor_state_permanent);
// MinGW's IP_ADAPTER_INFO has 32-bit lease times (640 bytes); the system writes the 648-byte
// layout with 64-bit ones, which is why the records are decoded by offset, not by this type.

using SendArpFunction = DWORD(WINAPI*)(IPAddr, IPAddr, PVOID, PULONG);
using FlushIpNetTableFunction = DWORD(WINAPI*)(DWORD);
using GetIpForwardTable2Function = DWORD(WINAPI*)(ADDRESS_FAMILY, PMIB_IPFORWARD_TABLE2*);
using FreeMibTableFunction = VOID(WINAPI*)(PVOID);
using IpNetEntry2Function = DWORD(WINAPI*)(PMIB_IPNET_ROW2);
using ResolveIpNetEntry2Function = DWORD(WINAPI*)(PMIB_IPNET_ROW2, const SOCKADDR_INET*);

template <class Function> Function FindIpHelperEntryPoint(const char* name) {
    HMODULE module = GetModuleHandleW(L"Iphlpapi.dll");
    if (module == nullptr) {
        return nullptr;
    }
    FARPROC entry = GetProcAddress(module, name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(entry));
}

MIB_IPNETROW NativeRow(const IpNetRow& row) {
    MIB_IPNETROW native{};
    native.dwIndex = row.index;
    native.dwPhysAddrLen = row.physAddrLength;
    std::copy(row.physAddr.begin(), row.physAddr.end(), native.bPhysAddr);
    native.dwAddr = row.address;
    native.dwType = row.type;
    return native;
}

MIB_IPNET_ROW2 NativeRow2(const IpNetRow2& row) {
    MIB_IPNET_ROW2 native{};
    native.Address.Ipv6.sin6_family = AF_INET6;
    std::copy(row.address.begin(), row.address.end(), native.Address.Ipv6.sin6_addr.s6_addr);
    native.Address.Ipv6.sin6_scope_id = row.index; // a link-local address's zone
    native.InterfaceIndex = row.index;
    native.PhysicalAddressLength = row.physAddrLength;
    std::copy(row.physAddr.begin(), row.physAddr.end(), native.PhysicalAddress);
    native.State = static_cast<NL_NEIGHBOR_STATE>(row.state);
    return native;
}

void TakeRow2(const MIB_IPNET_ROW2& native, IpNetRow2& row) {
    row.physAddrLength =
        std::min<ULONG>(native.PhysicalAddressLength, static_cast<ULONG>(row.physAddr.size()));
    std::copy_n(native.PhysicalAddress, row.physAddr.size(), row.physAddr.begin());
    row.state = static_cast<std::uint32_t>(native.State);
}

class WindowsIpHelperApi final : public IpHelperApi {
public:
    std::uint32_t GetInterfaceInfo(std::uint8_t* buffer, std::uint32_t* size) override {
        ULONG length = *size;
        const DWORD result =
            ::GetInterfaceInfo(reinterpret_cast<PIP_INTERFACE_INFO>(buffer), &length);
        *size = length;
        return result;
    }

    std::uint32_t GetAdaptersInfo(std::uint8_t* buffer, std::uint32_t* size) override {
        ULONG length = *size;
        const DWORD result = ::GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer), &length);
        *size = length;
        return result;
    }

    std::uint32_t CreateIpNetEntry(const IpNetRow& row) override {
        MIB_IPNETROW native = NativeRow(row);
        return ::CreateIpNetEntry(&native);
    }

    std::uint32_t SetIpNetEntry(const IpNetRow& row) override {
        MIB_IPNETROW native = NativeRow(row);
        return ::SetIpNetEntry(&native);
    }

    std::uint32_t DeleteIpNetEntry(const IpNetRow& row) override {
        MIB_IPNETROW native = NativeRow(row);
        return ::DeleteIpNetEntry(&native);
    }

    std::uint32_t GetIpNetTable(std::uint8_t* buffer, std::uint32_t* size) override {
        ULONG length = *size;
        const DWORD result =
            ::GetIpNetTable(reinterpret_cast<PMIB_IPNETTABLE>(buffer), &length, FALSE);
        *size = length;
        return result;
    }

    std::uint32_t GetIpForwardTable(std::uint8_t* buffer, std::uint32_t* size) override {
        ULONG length = *size;
        const DWORD result =
            ::GetIpForwardTable(reinterpret_cast<PMIB_IPFORWARDTABLE>(buffer), &length, FALSE);
        *size = length;
        return result;
    }

    std::uint32_t InetAddr(const std::string& text) override { return ::inet_addr(text.c_str()); }

    SendArpCall FindSendArp() override {
        const auto sendArp = FindIpHelperEntryPoint<SendArpFunction>("SendARP");
        if (sendArp == nullptr) {
            return {};
        }
        return [sendArp](std::uint32_t destination, std::uint32_t source, void* hardwareAddress,
                         std::uint32_t* length) -> std::uint32_t {
            ULONG native = *length;
            const DWORD result = sendArp(destination, source, hardwareAddress, &native);
            *length = native;
            return result;
        };
    }

    FlushIpNetTableCall FindFlushIpNetTable() override {
        const auto flush = FindIpHelperEntryPoint<FlushIpNetTableFunction>("FlushIpNetTable");
        if (flush == nullptr) {
            return {};
        }
        return [flush](std::uint32_t interfaceIndex) -> std::uint32_t {
            return flush(interfaceIndex);
        };
    }

    GetIpForwardTable2Call FindGetIpForwardTable2() override {
        const auto get = FindIpHelperEntryPoint<GetIpForwardTable2Function>("GetIpForwardTable2");
        const auto free = FindIpHelperEntryPoint<FreeMibTableFunction>("FreeMibTable");
        if (get == nullptr || free == nullptr) {
            return {};
        }
        return [get, free](std::uint16_t family,
                           std::vector<std::uint8_t>& table) -> std::uint32_t {
            PMIB_IPFORWARD_TABLE2 native = nullptr;
            const DWORD result = get(family, &native);
            if (result != NO_ERROR || native == nullptr) {
                return result != NO_ERROR ? result : ERROR_NOT_FOUND;
            }
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(native);
            table.assign(bytes, bytes + offsetof(MIB_IPFORWARD_TABLE2, Table) +
                                    std::size_t{native->NumEntries} * sizeof(MIB_IPFORWARD_ROW2));
            free(native);
            return NO_ERROR;
        };
    }

    IpNetEntry2Call FindIpNetEntry2(NeighbourCall call) override {
        if (call == NeighbourCall::resolve) {
            const auto resolve =
                FindIpHelperEntryPoint<ResolveIpNetEntry2Function>("ResolveIpNetEntry2");
            if (resolve == nullptr) {
                return {};
            }
            return [resolve](IpNetRow2& row) -> std::uint32_t {
                MIB_IPNET_ROW2 native = NativeRow2(row);
                const DWORD result = resolve(&native, nullptr);
                TakeRow2(native, row);
                return result;
            };
        }
        const char* name = call == NeighbourCall::create ? "CreateIpNetEntry2"
                           : call == NeighbourCall::set  ? "SetIpNetEntry2"
                           : call == NeighbourCall::get  ? "GetIpNetEntry2"
                                                         : "DeleteIpNetEntry2";
        const auto function = FindIpHelperEntryPoint<IpNetEntry2Function>(name);
        if (function == nullptr) {
            return {};
        }
        return [function](IpNetRow2& row) -> std::uint32_t {
            MIB_IPNET_ROW2 native = NativeRow2(row);
            const DWORD result = function(&native);
            TakeRow2(native, row);
            return result;
        };
    }

    std::unique_ptr<StopEvent> CreateStopEvent() override { return CreateKernelStopEvent(); }

    std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() override {
        return std::make_unique<IpHelperRouteChanges>(SystemRouteChangeEntryPoints());
    }
};

} // namespace

RouteChangeEntryPoints SystemRouteChangeEntryPoints() {
    return {
        [] { return FindIpHelperEntryPoint<NotifyRouteChangeFunction>("NotifyRouteChange"); },
        [] { return FindIpHelperEntryPoint<CancelIpChangeNotifyFunction>("CancelIPChangeNotify"); },
        [] {
            return FindIpHelperEntryPoint<NotifyIpInterfaceChangeFunction>(
                "NotifyIpInterfaceChange");
        },
        [] {
            return FindIpHelperEntryPoint<CancelMibChangeNotify2Function>("CancelMibChangeNotify2");
        },
        [] { return FindIpHelperEntryPoint<NotifyRouteChange2Function>("NotifyRouteChange2"); }};
}

IpHelperApi& SystemIpHelperApi() {
    static WindowsIpHelperApi api;
    return api;
}

NetworkStack& SystemNetworkStack() {
    static IpHelperNetworkStack stack(SystemIpHelperApi());
    return stack;
}

} // namespace Core_SocketARP
