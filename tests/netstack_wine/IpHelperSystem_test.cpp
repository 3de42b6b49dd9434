// The IP Helper stack over the process's real IP Helper API. Under Wine the tables are real,
// while SendARP and FlushIpNetTable are stubs that answer 50 (not supported) and touch nothing.
#include "Core_Common/win/WinApi.h"

#include <iphlpapi.h>
#include <winsock2.h>

#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/IpHelperStack.h"
#include "Core_SocketARP/win/IpHelperApi_win.h"
#include "fakes/CodeThrownBy.h"
#include "fakes/ResolveMac.h"
#include "fakes/win/RunningOnWine_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Core_SocketARP::AdapterInfo;
using Core_SocketARP::SystemErrorCode;
using tw_test::CodeThrownBy;
using tw_test::RunningOnWine;

constexpr std::uint32_t error_not_supported = 50;

// The interface indexes as the platform's own IP_INTERFACE_INFO type reads them.
std::vector<std::uint32_t> InterfacesByPlatformType() {
    ULONG size = 0;
    if (GetInterfaceInfo(nullptr, &size) != ERROR_INSUFFICIENT_BUFFER) {
        return {};
    }
    std::vector<std::uint8_t> buffer(size);
    auto* table = reinterpret_cast<IP_INTERFACE_INFO*>(buffer.data());
    if (GetInterfaceInfo(table, &size) != NO_ERROR) {
        return {};
    }
    std::vector<std::uint32_t> indexes;
    for (LONG i = 0; i < table->NumAdapters; ++i) {
        indexes.push_back(table->Adapter[i].Index);
    }
    return indexes;
}

// An adapter as the platform's own IP_ADAPTER_INFO type reads it: its addresses with their
// masks, and its gateways, by following the Next of each list.
struct PlatformAdapter {
    std::uint32_t index = 0;
    std::string name;
    std::vector<std::pair<std::string, std::string>> addresses; // address, mask
    std::vector<std::string> gateways;
};

std::vector<PlatformAdapter> AdaptersByPlatformType() {
    ULONG size = 0;
    if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW) {
        return {};
    }
    std::vector<std::uint8_t> buffer(size + Core_SocketARP::adapter_record_size);
    size = static_cast<ULONG>(buffer.size());
    auto* adapter = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (GetAdaptersInfo(adapter, &size) != NO_ERROR) {
        return {};
    }
    std::vector<PlatformAdapter> adapters;
    for (; adapter != nullptr; adapter = adapter->Next) {
        PlatformAdapter read{adapter->Index, adapter->AdapterName, {}, {}};
        for (const IP_ADDR_STRING* entry = &adapter->IpAddressList; entry != nullptr;
             entry = entry->Next) {
            read.addresses.emplace_back(entry->IpAddress.String, entry->IpMask.String);
        }
        for (const IP_ADDR_STRING* entry = &adapter->GatewayList; entry != nullptr;
             entry = entry->Next) {
            read.gateways.emplace_back(entry->IpAddress.String);
        }
        adapters.push_back(std::move(read));
    }
    return adapters;
}

// The next hops of the default routes of an interface, as the platform's own type reads them.
std::vector<std::string> DefaultRoutesByPlatformType(std::uint32_t index) {
    ULONG size = 0;
    if (GetIpForwardTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) {
        return {};
    }
    std::vector<std::uint8_t> buffer(size);
    auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
    if (GetIpForwardTable(table, &size, FALSE) != NO_ERROR) {
        return {};
    }
    std::vector<std::string> hops;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table->table[i];
        if (row.dwForwardDest == 0 && row.dwForwardMask == 0 && row.dwForwardIfIndex == index) {
            in_addr hop{};
            hop.s_addr = row.dwForwardNextHop;
            hops.emplace_back(inet_ntoa(hop));
        }
    }
    return hops;
}

TEST(IpHelperSystem, InterfaceTableDecodesAsThePlatformTypeReadsIt) {
    auto& stack = Core_SocketARP::SystemNetworkStack();
    std::vector<std::uint32_t> interfaces;
    try {
        interfaces = stack.ListInterfaces();
    } catch (SystemErrorCode code) {
        GTEST_SKIP() << "no interface table here: code " << code;
    }
    EXPECT_EQ(interfaces, InterfacesByPlatformType());
}

TEST(IpHelperSystem, AdapterChainDecodesAsThePlatformTypeReadsIt) {
    auto& stack = Core_SocketARP::SystemNetworkStack();
    std::vector<AdapterInfo> adapters;
    try {
        adapters = stack.ListAdapters();
    } catch (SystemErrorCode code) {
        GTEST_SKIP() << "no adapters here: code " << code;
    }
    ASSERT_FALSE(adapters.empty());
    const std::vector<PlatformAdapter> platform = AdaptersByPlatformType();
    ASSERT_EQ(adapters.size(), platform.size());
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        const AdapterInfo& decoded = adapters[i];
        const PlatformAdapter& read = platform[i];
        EXPECT_EQ(decoded.index, read.index);
        EXPECT_EQ(decoded.name, read.name);
        ASSERT_FALSE(read.gateways.empty());
        EXPECT_EQ(decoded.gateway, read.gateways.front());
        // The source is one of the adapter's own addresses, with its mask's prefix; none only
        // when it has none but 0.0.0.0.
        const auto own = std::find_if(read.addresses.begin(), read.addresses.end(),
                                      [&](const auto& a) { return a.first == decoded.address; });
        if (decoded.address.empty()) {
            EXPECT_TRUE(std::all_of(read.addresses.begin(), read.addresses.end(),
                                    [](const auto& a) { return a.first == "0.0.0.0"; }));
        } else {
            ASSERT_NE(own, read.addresses.end()) << decoded.address;
            in_addr mask{};
            mask.s_addr = inet_addr(own->second.c_str());
            int prefix = 0;
            for (std::uint32_t bits = ntohl(mask.s_addr); (bits & 0x80000000u) != 0; bits <<= 1) {
                ++prefix;
            }
            EXPECT_EQ(decoded.prefixLength, prefix);
        }
        // The further gateways: the rest of the list, then next hops of default routes.
        const std::vector<std::string> routes = DefaultRoutesByPlatformType(read.index);
        std::size_t listed = 0;
        for (const auto& further : decoded.moreGateways) {
            while (listed + 1 < read.gateways.size() &&
                   (read.gateways[listed + 1] == "0.0.0.0" ||
                    read.gateways[listed + 1] == decoded.gateway)) {
                ++listed;
            }
            if (listed + 1 < read.gateways.size() && further.gateway == read.gateways[listed + 1]) {
                ++listed;
                continue;
            }
            EXPECT_NE(std::find(routes.begin(), routes.end(), further.gateway), routes.end())
                << further.gateway;
        }
    }
}

TEST(IpHelperSystem, LateBoundEntryPointsAreFoundInTheLoadedLibrary) {
    auto& api = Core_SocketARP::SystemIpHelperApi();
    EXPECT_TRUE(api.FindSendArp());
    EXPECT_TRUE(api.FindFlushIpNetTable());
}

// Only read: the table as the platform lays it out, whatever it holds.
TEST(IpHelperSystem, ArpTableIsReadAndDecoded) {
    EXPECT_EQ(Core_SocketARP::SystemNetworkStack().ReadStaticEntry(1, "192.0.2.1"), // TEST-NET-1
              std::nullopt);
}

TEST(IpHelperSystem, InetAddrGivesNetworkByteOrder) {
    const std::uint32_t address = Core_SocketARP::SystemIpHelperApi().InetAddr("10.1.2.3");
    std::uint8_t bytes[4] = {};
    std::memcpy(bytes, &address, sizeof bytes);
    EXPECT_EQ(bytes[0], 10);
    EXPECT_EQ(bytes[3], 3);
    EXPECT_EQ(Core_SocketARP::SystemIpHelperApi().InetAddr("not an address"), INADDR_NONE);
}

TEST(IpHelperSystem, UnderWineSendArpIsNotSupported) {
    if (!RunningOnWine()) {
        GTEST_SKIP() << "only Wine's stub answers 50";
    }
    EXPECT_EQ(CodeThrownBy([] {
                  tw_test::ResolveMac(Core_SocketARP::SystemNetworkStack(),
                                      {1, "127.0.0.1", "127.0.0.1"});
              }),
              error_not_supported);
}

// Wine has the IPv6 forwarding table's call, without IPv6 rows, and none of the neighbour calls
// of Windows Vista: the program loads all the same (they are looked up, never imported), the
// adapters have no routers, and an IPv6 entry fails with ERROR_NOT_SUPPORTED.
TEST(IpHelperSystem, UnderWineTheIpv6NeighbourCallsAreMissingAndNoAdapterHasRouters) {
    if (!RunningOnWine()) {
        GTEST_SKIP() << "Windows has the calls";
    }
    auto& api = Core_SocketARP::SystemIpHelperApi();
    using Call = Core_SocketARP::IpHelperApi::NeighbourCall;
    for (const Call call : {Call::create, Call::set, Call::remove, Call::get, Call::resolve}) {
        EXPECT_FALSE(api.FindIpNetEntry2(call)) << static_cast<int>(call);
    }
    const auto getTable = api.FindGetIpForwardTable2();
    ASSERT_TRUE(getTable);
    std::vector<std::uint8_t> table;
    if (getTable(Core_SocketARP::address_family_inet6, table) == NO_ERROR) {
        for (const auto& route : Core_SocketARP::DecodeForwardTable2(table)) {
            EXPECT_FALSE(route.family == Core_SocketARP::address_family_inet6 &&
                         route.prefixLength == 0);
        }
    }
    auto& stack = Core_SocketARP::SystemNetworkStack();
    try {
        for (const AdapterInfo& adapter : stack.ListAdapters()) {
            EXPECT_TRUE(adapter.routers.empty()) << adapter.index;
        }
    } catch (SystemErrorCode code) {
        GTEST_SKIP() << "no adapters here: code " << code;
    }
    EXPECT_EQ(CodeThrownBy([&] { stack.ReadStaticEntry(1, "fe80::1"); }), error_not_supported);
}

TEST(IpHelperSystem, UnderWineTheFlushPassReportsEveryInterface) {
    if (!RunningOnWine()) {
        GTEST_SKIP() << "a real flush pass would clear this machine's ARP tables";
    }
    auto& stack = Core_SocketARP::SystemNetworkStack();
    std::vector<std::uint32_t> interfaces;
    std::vector<AdapterInfo> adapters;
    try {
        interfaces = stack.ListInterfaces();
        adapters = stack.ListAdapters();
    } catch (SystemErrorCode code) {
        GTEST_SKIP() << "no tables here: code " << code;
    }
    std::string expected;
    if (interfaces.size() != adapters.size()) {
        expected = "Error: interface.size() != adapters.size()\ninterface.size()=" +
                   std::to_string(interfaces.size()) +
                   "\nadapters.size()=" + std::to_string(adapters.size()) + "\n";
    }
    // Every interface of the table, whatever the adapters.
    const std::string text = Core_SocketARP::ErrorText(error_not_supported);
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        expected += "[" + std::to_string(i) + "]ARP Flush Error " + text + "\n";
    }
    testing::internal::CaptureStdout();
    Core_SocketARP::FlushArpTables();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(Core_SocketARP::ErrorText(error_not_supported).substr(0, 5), "[50] ");
}

} // namespace
