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

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using Core_SocketARP::AdapterInfo;
using Core_SocketARP::SystemErrorCode;
using tw_test::CodeThrownBy;

constexpr std::uint32_t error_not_supported = 50;

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

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

// The adapters as the platform's own IP_ADAPTER_INFO type reads them, by following Next.
std::vector<AdapterInfo> AdaptersByPlatformType() {
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
    std::vector<AdapterInfo> adapters;
    for (; adapter != nullptr; adapter = adapter->Next) {
        std::string address = adapter->IpAddressList.IpAddress.String;
        if (address == "0.0.0.0") {
            address.clear();
        }
        AdapterInfo info{adapter->Index, adapter->GatewayList.IpAddress.String, address,
                         adapter->AdapterName};
        unsigned parts[4] = {};
        if (std::sscanf(adapter->IpAddressList.IpMask.String, "%u.%u.%u.%u", &parts[0], &parts[1],
                        &parts[2], &parts[3]) == 4) {
            for (const unsigned part : parts) {
                info.prefixLength += std::popcount(part & 0xffu);
            }
        }
        adapters.push_back(info);
    }
    return adapters;
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
    EXPECT_EQ(adapters, AdaptersByPlatformType());
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
                  tw_test::ResolveMac(Core_SocketARP::SystemNetworkStack(), {1, "127.0.0.1", ""});
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
    } else {
        const std::string text = Core_SocketARP::ErrorText(error_not_supported);
        for (std::size_t i = 0; i < interfaces.size(); ++i) {
            expected += "[" + std::to_string(i) + "]ARP Flush Error " + text + "\n";
        }
    }
    testing::internal::CaptureStdout();
    Core_SocketARP::FlushArpTables();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(Core_SocketARP::ErrorText(error_not_supported).substr(0, 5), "[50] ");
}

} // namespace
