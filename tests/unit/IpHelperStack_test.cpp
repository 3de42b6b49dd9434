#include "Core_SocketARP/IpHelperStack.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/GatewayKeeper.h"
#include "fakes/CodeThrownBy.h"
#include "fakes/FakeIpHelperApi.h"
#include "fakes/FakeStateStore.h"
#include "fakes/Gate.h"
#include "fakes/PassLines.h"
#include "fakes/ResolveMac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using Core_SocketARP::adapter_record_size;
using Core_SocketARP::AdapterInfo;
using Core_SocketARP::ArpEvent;
using Core_SocketARP::GatewayRequest;
using Core_SocketARP::HardwareAddress;
using Core_SocketARP::IpHelperNetworkStack;
using Core_SocketARP::IpHelperResolver;
using Core_SocketARP::IpNetRow;
using Core_SocketARP::SystemErrorCode;
using tw_test::AddressIn;
using tw_test::BoundLine;
using tw_test::CodeThrownBy;
using tw_test::ErrorLine;
using tw_test::FakeIpHelperApi;
using tw_test::FlushErrorLine;
using tw_test::Gate;
using tw_test::WriteAdapterRecord;
using tw_test::WriteAddressString;
using tw_test::WriteInterfaceTable;
using tw_test::WriteIpNetTable;

using FlushResults = std::vector<std::optional<SystemErrorCode>>;

constexpr std::uint32_t error_no_data = 232;
constexpr std::uint32_t error_not_supported = 50;
constexpr std::size_t record = adapter_record_size;

class IpHelperStackTest : public testing::Test {
protected:
    FakeIpHelperApi api;
    IpHelperNetworkStack stack{api};
};

// The interface table.

class IpHelperInterfacesTest : public IpHelperStackTest {
protected:
    void Table(std::uint32_t size, std::int32_t count, const std::vector<std::uint32_t>& indexes) {
        api.interfaceInfo.sizingResult = Core_SocketARP::error_insufficient_buffer;
        api.interfaceInfo.neededSize = size;
        api.interfaceInfo.fill = [count, indexes](std::uint8_t* buffer, std::uint32_t) {
            WriteInterfaceTable(buffer, count, indexes);
        };
    }
};

TEST_F(IpHelperInterfacesTest, EntriesComeInTableOrderFromAZeroedBufferOfTheReportedSize) {
    Table(4 + 3 * 260, 3, {5, 9, 2});
    EXPECT_EQ(stack.ListInterfaces(), (std::vector<std::uint32_t>{5, 9, 2}));
    EXPECT_EQ(api.interfaceInfo.sizingCalls, 1);
    EXPECT_EQ(api.interfaceInfo.bufferSizes, std::vector<std::uint32_t>{4 + 3 * 260});
    EXPECT_EQ(api.interfaceInfo.buffersZeroed, std::vector<bool>{true});
}

TEST_F(IpHelperInterfacesTest, SizingResultOtherThanInsufficientBufferIsThrown) {
    Table(264, 1, {1});
    api.interfaceInfo.sizingResult = 5;
    EXPECT_EQ(CodeThrownBy([&] { stack.ListInterfaces(); }), 5u);
    api.interfaceInfo.sizingResult = 0;
    EXPECT_EQ(CodeThrownBy([&] { stack.ListInterfaces(); }), 0u);
    EXPECT_TRUE(api.interfaceInfo.bufferSizes.empty());
}

TEST_F(IpHelperInterfacesTest, ReportedSizeZeroThrowsInsufficientBuffer) {
    Table(0, 1, {1});
    EXPECT_EQ(CodeThrownBy([&] { stack.ListInterfaces(); }), 122u);
    EXPECT_TRUE(api.interfaceInfo.bufferSizes.empty());
}

TEST_F(IpHelperInterfacesTest, FailingCallWithTheBufferIsThrown) {
    Table(264, 1, {1});
    api.interfaceInfo.fillResult = 122;
    EXPECT_EQ(CodeThrownBy([&] { stack.ListInterfaces(); }), 122u);
}

TEST_F(IpHelperInterfacesTest, CountNotPositiveGivesNoInterfaces) {
    Table(264, 0, {});
    EXPECT_TRUE(stack.ListInterfaces().empty());
    Table(264, -1, {});
    EXPECT_TRUE(stack.ListInterfaces().empty());
}

TEST_F(IpHelperInterfacesTest, CountBeyondTheBufferThrowsZero) {
    Table(264, 2, {1});
    EXPECT_EQ(CodeThrownBy([&] { stack.ListInterfaces(); }), 0u);
    Table(3, 0, {});
    api.interfaceInfo.fill = nullptr;
    EXPECT_EQ(CodeThrownBy([&] { stack.ListInterfaces(); }), 0u);
}

// The adapter chain.

class IpHelperAdaptersTest : public IpHelperStackTest {
protected:
    void Chain(std::uint32_t size, std::function<void(std::uint8_t*, std::uint32_t)> fill) {
        api.adaptersInfo.sizingResult = Core_SocketARP::error_buffer_overflow;
        api.adaptersInfo.neededSize = size;
        api.adaptersInfo.fill = std::move(fill);
    }
};

TEST_F(IpHelperAdaptersTest, ChainIsFollowedByNextNotByPosition) {
    Chain(3 * 648, [](std::uint8_t* buffer, std::uint32_t) {
        WriteAdapterRecord(buffer, 0, 11, "10.0.0.1", AddressIn(buffer, 2 * record));
        WriteAdapterRecord(buffer, 648, 33, "", 0);
        WriteAdapterRecord(buffer, 2 * record, 22, "192.168.100.254", AddressIn(buffer, 648));
    });
    EXPECT_EQ(stack.ListAdapters(),
              (std::vector<AdapterInfo>{
                  {11, "10.0.0.1", "", ""}, {22, "192.168.100.254", "", ""}, {33, "", "", ""}}));
}

Core_SocketARP::ForwardRow2 Route6(std::uint32_t index, const char* prefix, std::uint8_t length,
                                   const char* nextHop, std::uint32_t metric,
                                   std::uint16_t family = Core_SocketARP::address_family_inet6) {
    return {index,  family, *Core_SocketARP::ParseIpv6(prefix),
            length, family, *Core_SocketARP::ParseIpv6(nextHop),
            metric};
}

// The IPv6 default routes of the forwarding table (GetIpForwardTable2) are each adapter's
// routers, the lowest metric first; where the table cannot be had (Wine has no IPv6 rows, an
// older system no call), the adapters are listed without routers.
TEST_F(IpHelperAdaptersTest, Ipv6DefaultRoutesOfTheForwardingTableAreTheAdaptersRouters) {
    Chain(2 * 648, [](std::uint8_t* buffer, std::uint32_t) {
        WriteAdapterRecord(buffer, 0, 11, "10.0.0.1", AddressIn(buffer, 648));
        WriteAdapterRecord(buffer, 648, 22, "", 0);
    });
    api.forwardTable2 = tw_test::ForwardTable2({
        Route6(11, "::", 0, "fe80::1", 20),
        Route6(11, "2001:db8::", 64, "fe80::9", 1), // not a default route
        Route6(11, "::", 0, "::", 5),               // on the link, no router
        Route6(22, "::", 0, "fe80::2", 10), Route6(11, "::", 0, "fe80::3", 10),
        Route6(11, "::", 0, "fe80::1", 30), // the same router twice
        Route6(11, "::", 0, "::", 5, 2),    // another family
    });
    std::vector<AdapterInfo> adapters = stack.ListAdapters();
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].routers, (std::vector<std::string>{"fe80::3", "fe80::1"}));
    EXPECT_EQ(adapters[1].routers, std::vector<std::string>{"fe80::2"});
    EXPECT_EQ(api.forwardTable2Families, std::vector<std::uint16_t>{23});

    const std::vector<std::uint8_t> full = api.forwardTable2;
    for (const auto& [what, change] : std::vector<std::pair<const char*, std::function<void()>>>{
             {"missing call", [&] { api.missing = {"GetIpForwardTable2"}; }},
             {"failing call", [&] { api.forwardTable2Result = 50; }},
             {"count past the table", [&] { api.forwardTable2.resize(full.size() - 1); }}}) {
        api.missing.clear();
        api.forwardTable2Result = 0;
        api.forwardTable2 = full;
        change();
        adapters = stack.ListAdapters();
        ASSERT_EQ(adapters.size(), 2u) << what;
        EXPECT_TRUE(adapters[0].routers.empty()) << what;
    }
}

TEST_F(IpHelperAdaptersTest, SizeIsRaisedToTheNextWholeMultipleOfTheRecordSize) {
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> cases = {
        {1, 648}, {647, 648}, {648, 648}, {649, 1296}, {1296, 1296}, {1297, 1944}};
    for (const auto& [needed, allocated] : cases) {
        Chain(needed, nullptr);
        stack.ListAdapters();
        EXPECT_EQ(api.adaptersInfo.bufferSizes.back(), allocated) << needed;
        EXPECT_TRUE(api.adaptersInfo.buffersZeroed.back()) << needed;
    }
}

TEST_F(IpHelperAdaptersTest, SizingResultOtherThanBufferOverflowIsThrown) {
    Chain(648, nullptr);
    api.adaptersInfo.sizingResult = error_no_data;
    EXPECT_EQ(CodeThrownBy([&] { stack.ListAdapters(); }), error_no_data);
    EXPECT_TRUE(api.adaptersInfo.bufferSizes.empty());
}

TEST_F(IpHelperAdaptersTest, ReportedSizeZeroThrowsBufferOverflow) {
    Chain(0, nullptr);
    EXPECT_EQ(CodeThrownBy([&] { stack.ListAdapters(); }), 111u);
}

TEST_F(IpHelperAdaptersTest, FailingCallWithTheBufferIsThrown) {
    Chain(648, nullptr);
    api.adaptersInfo.fillResult = 111;
    EXPECT_EQ(CodeThrownBy([&] { stack.ListAdapters(); }), 111u);
}

TEST_F(IpHelperAdaptersTest, NextBeforeTheBufferThrowsZero) {
    Chain(2 * 648, [](std::uint8_t* buffer, std::uint32_t) {
        WriteAdapterRecord(buffer, 0, 1, "10.0.0.1", AddressIn(buffer, 0) - 648);
    });
    EXPECT_EQ(CodeThrownBy([&] { stack.ListAdapters(); }), 0u);
    Chain(2 * 648, [](std::uint8_t* buffer, std::uint32_t) {
        WriteAdapterRecord(buffer, 0, 1, "10.0.0.1", AddressIn(buffer, 0) - 1);
    });
    EXPECT_EQ(CodeThrownBy([&] { stack.ListAdapters(); }), 0u);
}

TEST_F(IpHelperAdaptersTest, RecordReachingPastTheBufferThrowsZero) {
    Chain(2 * 648, [](std::uint8_t* buffer, std::uint32_t size) {
        WriteAdapterRecord(buffer, 0, 1, "10.0.0.1", AddressIn(buffer, size));
    });
    EXPECT_EQ(CodeThrownBy([&] { stack.ListAdapters(); }), 0u);
    Chain(2 * 648, [](std::uint8_t* buffer, std::uint32_t) {
        WriteAdapterRecord(buffer, 0, 1, "10.0.0.1", AddressIn(buffer, 648 + 1));
    });
    EXPECT_EQ(CodeThrownBy([&] { stack.ListAdapters(); }), 0u);
}

TEST_F(IpHelperAdaptersTest, RecordAnywhereWhollyInsideTheBufferIsAccepted) {
    Chain(3 * 648, [](std::uint8_t* buffer, std::uint32_t size) {
        WriteAdapterRecord(buffer, 0, 1, "10.0.0.1", AddressIn(buffer, 1000));
        WriteAdapterRecord(buffer, 1000, 2, "10.0.0.2", AddressIn(buffer, size - 648));
        WriteAdapterRecord(buffer, size - 648, 3, "10.0.0.3", 0);
    });
    EXPECT_EQ(stack.ListAdapters(),
              (std::vector<AdapterInfo>{
                  {1, "10.0.0.1", "", ""}, {2, "10.0.0.2", "", ""}, {3, "10.0.0.3", "", ""}}));
}

TEST_F(IpHelperAdaptersTest, ChainThatLoopsThrowsZero) {
    Chain(2 * 648, [](std::uint8_t* buffer, std::uint32_t) {
        WriteAdapterRecord(buffer, 0, 1, "10.0.0.1", AddressIn(buffer, 648));
        WriteAdapterRecord(buffer, 648, 2, "10.0.0.2", AddressIn(buffer, 0));
    });
    EXPECT_EQ(CodeThrownBy([&] { stack.ListAdapters(); }), 0u);
}

// The chains of an adapter's addresses and gateways are checked as the adapter chain is.
TEST_F(IpHelperAdaptersTest, AddressEntryOutsideTheBufferOrAListThatLoopsThrowsZero) {
    using Core_SocketARP::adapter_address_list_offset;
    using Core_SocketARP::adapter_gateway_list_offset;
    const std::vector<std::function<void(std::uint8_t*, std::uint32_t)>> fills = {
        [](std::uint8_t* buffer, std::uint32_t size) { // reaching past the end
            WriteAddressString(buffer + adapter_gateway_list_offset, "10.0.0.1", "",
                               AddressIn(buffer, size - 39));
        },
        [](std::uint8_t* buffer, std::uint32_t) { // before the start
            WriteAddressString(buffer + adapter_address_list_offset, "10.0.0.2", "",
                               AddressIn(buffer, 0) - 40);
        },
        [](std::uint8_t* buffer, std::uint32_t) { // a list that loops
            WriteAddressString(buffer + adapter_gateway_list_offset, "10.0.0.1", "",
                               AddressIn(buffer, 648));
            WriteAddressString(buffer + 648, "10.0.0.3", "",
                               AddressIn(buffer, adapter_gateway_list_offset));
        },
    };
    for (const auto& fill : fills) {
        Chain(2 * 648, fill);
        EXPECT_EQ(CodeThrownBy([&] { stack.ListAdapters(); }), 0u);
    }
}

TEST_F(IpHelperAdaptersTest, GatewayTextEndsAtItsNulAndNeverRunsPastItsField) {
    Chain(648, [](std::uint8_t* buffer, std::uint32_t) {
        WriteAdapterRecord(buffer, 0, 4, "255.255.255.2551", 0);
        buffer[Core_SocketARP::adapter_gateway_offset + 16] = 'X'; // the mask's first byte
    });
    EXPECT_EQ(stack.ListAdapters(), (std::vector<AdapterInfo>{{4, "255.255.255.2551", "", ""}}));
}

TEST_F(IpHelperAdaptersTest, ZeroedBufferIsOneAdapterWithoutGateway) {
    Chain(648, nullptr);
    EXPECT_EQ(stack.ListAdapters(), (std::vector<AdapterInfo>{{0, "", "", ""}}));
}

// The late-bound entry points and the ARP rows.

TEST_F(IpHelperStackTest, FlushLooksUpItsEntryPointForEachInterfaceAndGivesEachOnesResult) {
    std::vector<std::uint32_t> flushed;
    api.flushIpNetTable = [&](std::uint32_t index) -> std::uint32_t {
        flushed.push_back(index);
        return index == 8 ? error_not_supported : 0;
    };
    EXPECT_EQ(stack.FlushArpTables({7, 8}), (FlushResults{std::nullopt, error_not_supported}));
    EXPECT_EQ(flushed, (std::vector<std::uint32_t>{7, 8}));
    EXPECT_EQ(api.flushLookups, 2);
}

TEST_F(IpHelperStackTest, MissingFlushIpNetTableIsCodeZeroForEachInterface) {
    api.hasFlushIpNetTable = false;
    EXPECT_EQ(stack.FlushArpTables({7, 9}), (FlushResults{0u, 0u}));
}

TEST_F(IpHelperStackTest, SendArpGetsTheAddressTheSourceAnAllOnesBufferAndLengthSix) {
    std::uint32_t seenDestination = 0;
    std::uint32_t seenSource = 1;
    std::uint32_t seenLength = 0;
    std::vector<std::uint8_t> seenBuffer;
    api.sendArp = [&](std::uint32_t destination, std::uint32_t source, void* buffer,
                      std::uint32_t* length) -> std::uint32_t {
        seenDestination = destination;
        seenSource = source;
        seenLength = *length;
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        seenBuffer.assign(bytes, bytes + 8);
        const std::uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
        std::memcpy(buffer, mac, sizeof mac);
        *length = 6;
        return 0;
    };
    // With the adapter's own address as source, the system asks on that adapter.
    EXPECT_EQ(tw_test::ResolveMac(stack, {7, "192.168.1.1", "192.168.1.20"}),
              (std::vector<std::uint8_t>{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
    EXPECT_EQ(seenDestination, api.InetAddr("192.168.1.1"));
    EXPECT_EQ(seenSource, api.InetAddr("192.168.1.20"));
    EXPECT_EQ(seenLength, 6u);
    EXPECT_EQ(seenBuffer, std::vector<std::uint8_t>(8, 0xFF));
    // Without one it would ask on whatever adapter the system chose: it is not asked at all.
    EXPECT_EQ(CodeThrownBy([&] {
                  tw_test::ResolveMac(stack, {8, "10.0.0.1", ""});
              }),
              IpHelperNetworkStack::error_no_source);
    EXPECT_EQ(api.sendArpLookups, 1);
}

TEST_F(IpHelperStackTest, SendArpFailuresAreThrown) {
    api.sendArp = [](std::uint32_t, std::uint32_t, void*, std::uint32_t*) -> std::uint32_t {
        return 67;
    };
    const Core_SocketARP::GatewayRequest request{7, "10.0.0.1", "10.0.0.2"};
    EXPECT_EQ(CodeThrownBy([&] { tw_test::ResolveMac(stack, request); }), 67u);
    // A reported length of 0, or one beyond the buffer, is a failure without a code.
    for (const std::uint32_t reported : {0u, 9u}) {
        api.sendArp = [reported](std::uint32_t, std::uint32_t, void*, std::uint32_t* length) {
            *length = reported;
            return std::uint32_t{0};
        };
        EXPECT_EQ(CodeThrownBy([&] { tw_test::ResolveMac(stack, request); }), 0u);
    }
    api.hasSendArp = false;
    EXPECT_EQ(CodeThrownBy([&] { tw_test::ResolveMac(stack, request); }), 0u);
    EXPECT_EQ(api.sendArpLookups, 4);
}

TEST_F(IpHelperStackTest, StaticEntryIsCreatedAsAStaticRow) {
    const std::vector<std::uint8_t> mac = {0x02, 0xab, 0xcd, 0xef, 0x10, 0x99};
    Core_SocketARP::SetStaticEntry(stack, 7, "10.1.2.3", mac);
    ASSERT_EQ(api.createdRows.size(), 1u);
    const IpNetRow& row = api.createdRows[0];
    EXPECT_EQ(row.index, 7u);
    EXPECT_EQ(row.physAddrLength, 6u);
    EXPECT_TRUE(std::equal(mac.begin(), mac.end(), row.physAddr.begin()));
    EXPECT_EQ(row.address, api.InetAddr("10.1.2.3"));
    EXPECT_EQ(row.type, 4u);
    EXPECT_TRUE(api.setRows.empty());
}

TEST_F(IpHelperStackTest, FailedCreateFallsBackToSetWithTheSameRowAndThrowsOnlySetsResult) {
    const std::vector<std::uint8_t> mac = {1, 2, 3, 4, 5, 6};
    api.createResult = 5010;
    Core_SocketARP::SetStaticEntry(stack, 7, "10.1.2.3", mac);
    ASSERT_EQ(api.setRows.size(), 1u);
    EXPECT_EQ(api.setRows[0], api.createdRows[0]);

    api.setResult = 87;
    EXPECT_EQ(CodeThrownBy([&] { Core_SocketARP::SetStaticEntry(stack, 7, "10.1.2.3", mac); }),
              87u);
}

TEST_F(IpHelperStackTest, DeletedEntryIsTheAddressOnTheInterfaceAndOneNotThereIsNoFailure) {
    api.deleteResult = Core_SocketARP::error_not_found;
    stack.DeleteArpEntry(7, "10.1.2.3");
    ASSERT_EQ(api.deletedRows.size(), 1u);
    EXPECT_EQ(api.deletedRows[0].index, 7u);
    EXPECT_EQ(api.deletedRows[0].address, api.InetAddr("10.1.2.3"));
    api.deleteResult = 5;
    EXPECT_EQ(CodeThrownBy([&] { stack.DeleteArpEntry(7, "10.1.2.3"); }), 5u);
}

// An IPv6 address's entry is a permanent neighbour row of the Vista calls: created, replaced
// when it is there, read back only while permanent, deleted; where the calls are missing (Wine)
// each fails with ERROR_NOT_SUPPORTED instead of keeping the program from loading.
TEST_F(IpHelperStackTest, Ipv6EntriesAreNeighbourRowsOfTheLateBoundCalls) {
    const HardwareAddress mac = {0x02, 0, 0, 0, 0, 0xa1};
    Core_SocketARP::SetStaticEntry(stack, 7, "fe80::1", mac);
    Core_SocketARP::SetStaticEntry(stack, 7, "fe80::1", mac);
    EXPECT_EQ(api.neighbourCalls,
              (std::vector<std::string>{"create 7 fe80::1", "create 7 fe80::1", "set 7 fe80::1"}));
    const Core_SocketARP::IpNetRow2& row = api.neighbourTable.at({7, "fe80::1"});
    EXPECT_EQ(row.state, Core_SocketARP::neighbor_state_permanent);
    EXPECT_EQ(row.physAddrLength, 6u);
    EXPECT_EQ(stack.ReadStaticEntry(7, "fe80::1"), mac);
    EXPECT_EQ(stack.ReadStaticEntry(8, "fe80::1"), std::nullopt);
    api.neighbourTable.at({7, "fe80::1"}).state = 5; // reachable: the system's own, not a pin
    EXPECT_EQ(stack.ReadStaticEntry(7, "fe80::1"), std::nullopt);
    stack.DeleteArpEntry(7, "fe80::1");
    stack.DeleteArpEntry(7, "fe80::1"); // not there: no failure
    EXPECT_TRUE(api.neighbourTable.empty());
    EXPECT_TRUE(api.createdRows.empty());

    api.missing = {"CreateIpNetEntry2", "SetIpNetEntry2", "DeleteIpNetEntry2", "GetIpNetEntry2"};
    EXPECT_EQ(CodeThrownBy([&] { Core_SocketARP::SetStaticEntry(stack, 7, "fe80::1", mac); }),
              Core_SocketARP::error_not_supported);
    EXPECT_EQ(CodeThrownBy([&] { stack.ReadStaticEntry(7, "fe80::1"); }),
              Core_SocketARP::error_not_supported);
    EXPECT_EQ(CodeThrownBy([&] { stack.DeleteArpEntry(7, "fe80::1"); }),
              Core_SocketARP::error_not_supported);
}

// The ARP table, read for the pin check.

class IpHelperArpTableTest : public IpHelperStackTest {
protected:
    static constexpr std::uint32_t dynamic = 3;
    static constexpr std::uint32_t static_entry = 4;

    IpNetRow Row(std::uint32_t index, const std::string& address, std::uint8_t last,
                 std::uint32_t type) {
        IpNetRow row;
        row.index = index;
        row.physAddrLength = 6;
        row.physAddr = {0x02, 0, 0, 0, 0, last, 0xEE, 0xEE};
        row.address = api.InetAddr(address);
        row.type = type;
        return row;
    }

    static std::uint32_t SizeOf(std::size_t rows) {
        return static_cast<std::uint32_t>(4 + rows * Core_SocketARP::ip_net_row_size);
    }

    void Table(const std::vector<IpNetRow>& rows) {
        api.ipNetTable.sizingResult = Core_SocketARP::error_insufficient_buffer;
        api.ipNetTable.neededSize = SizeOf(rows.size());
        api.ipNetTable.fill = [rows](std::uint8_t* buffer, std::uint32_t) {
            WriteIpNetTable(buffer, rows);
        };
    }
};

TEST_F(IpHelperArpTableTest, OnlyAStaticRowOfTheAddressOnTheInterfaceIsRead) {
    Table({Row(7, "10.0.0.1", 0x11, dynamic), Row(8, "10.0.0.1", 0x22, static_entry),
           Row(7, "10.0.0.2", 0x33, static_entry)});
    EXPECT_EQ(stack.ReadStaticEntry(7, "10.0.0.1"), std::nullopt);
    EXPECT_EQ(stack.ReadStaticEntry(8, "10.0.0.1"), (HardwareAddress{0x02, 0, 0, 0, 0, 0x22}));
    EXPECT_EQ(stack.ReadStaticEntry(7, "10.0.0.2"), (HardwareAddress{0x02, 0, 0, 0, 0, 0x33}));
    EXPECT_EQ(stack.ReadStaticEntry(7, "10.0.0.3"), std::nullopt);
    api.ipNetTable.sizingResult = error_no_data; // an empty table
    EXPECT_EQ(stack.ReadStaticEntry(8, "10.0.0.1"), std::nullopt);
    api.ipNetTable.sizingResult = 5;
    EXPECT_EQ(CodeThrownBy([&] { stack.ReadStaticEntry(8, "10.0.0.1"); }), 5u);
}

// The pins are checked against one read of the table, however many there are.
TEST_F(IpHelperArpTableTest, ManyEntriesAreReadFromOneReadOfTheTable) {
    Table({Row(7, "10.0.0.1", 0x11, static_entry), Row(8, "10.0.0.1", 0x22, static_entry),
           Row(7, "10.0.0.2", 0x33, dynamic)});
    EXPECT_EQ(stack.ReadStaticEntries({{7, "10.0.0.1"}, {7, "10.0.0.2"}, {8, "10.0.0.1"}}),
              (std::vector<std::optional<HardwareAddress>>{HardwareAddress{2, 0, 0, 0, 0, 0x11},
                                                           std::nullopt,
                                                           HardwareAddress{2, 0, 0, 0, 0, 0x22}}));
    EXPECT_EQ(api.ipNetTable.sizingCalls, 1);
    EXPECT_EQ(api.ipNetTable.bufferSizes.size(), 1u);
}

TEST_F(IpHelperArpTableTest, TableThatGrowsBetweenSizingAndReadIsSizedAgain) {
    const std::vector<IpNetRow> grown = {Row(7, "10.0.0.1", 0x11, dynamic),
                                         Row(7, "10.0.0.2", 0x33, static_entry)};
    Table({grown[0]});
    int reads = 0;
    api.ipNetTable.fill = [&](std::uint8_t* buffer, std::uint32_t) {
        if (++reads == 1) {
            api.ipNetTable.fillResult = Core_SocketARP::error_insufficient_buffer;
            api.ipNetTable.neededSize = SizeOf(grown.size());
            return;
        }
        api.ipNetTable.fillResult = 0;
        WriteIpNetTable(buffer, grown);
    };
    EXPECT_EQ(stack.ReadStaticEntry(7, "10.0.0.2"), (HardwareAddress{0x02, 0, 0, 0, 0, 0x33}));
    EXPECT_EQ(api.ipNetTable.bufferSizes, (std::vector<std::uint32_t>{SizeOf(1), SizeOf(2)}));

    // A table that never stops growing is a failure, not a loop.
    api.ipNetTable.fill = nullptr;
    api.ipNetTable.fillResult = Core_SocketARP::error_insufficient_buffer;
    EXPECT_EQ(CodeThrownBy([&] { stack.ReadStaticEntry(7, "10.0.0.2"); }),
              Core_SocketARP::error_insufficient_buffer);
}

// The resolver: a worker per request, each in SendARP until the stand-in lets it go.

constexpr auto deadline = std::chrono::seconds(20);

// Answers 02:00:00:00:00:<the gateway address's last byte> once `gate` opens.
FakeIpHelperApi::SendArpCall SendArpBehind(Gate& gate) {
    return [&gate](std::uint32_t destination, std::uint32_t, void* buffer,
                   std::uint32_t* length) -> std::uint32_t {
        gate.Enter();
        std::uint8_t address[4] = {};
        std::memcpy(address, &destination, sizeof address); // network byte order
        const std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, address[3]};
        std::memcpy(buffer, mac, sizeof mac);
        *length = 6;
        return 0;
    };
}

// The resolver's event, counting its signals: one per event that is kept for Collect.
class CountingEvent final : public Core_SocketARP::StopEvent {
public:
    explicit CountingEvent(std::atomic<int>& signals) : signals_(signals) {}
    SystemErrorCode CreationError() const override { return 0; }
    void Signal() override { ++signals_; }
    void Reset() override {}
    std::intptr_t NativeHandle() const override { return 0; }

private:
    std::atomic<int>& signals_;
};

class IpHelperResolverTest : public IpHelperStackTest {
protected:
    void SetUp() override { api.sendArp = SendArpBehind(sendArp); }
    // The workers must leave SendARP before the resolver can join them.
    void TearDown() override { sendArp.Open(); }

    std::vector<ArpEvent> CollectEvents(std::size_t count) {
        std::vector<ArpEvent> events;
        while (events.size() < count && resolver->Wait(deadline)) {
            bool lost = true;
            for (ArpEvent& event : resolver->Collect(lost)) {
                events.push_back(std::move(event));
            }
            EXPECT_FALSE(lost);
        }
        return events;
    }

    const GatewayRequest first{7, "10.0.0.1", "10.0.0.20"};
    const GatewayRequest second{8, "10.0.1.2", "10.0.1.20"};
    Gate sendArp;
    std::atomic<int> signals{0};
    std::unique_ptr<IpHelperResolver> resolver =
        std::make_unique<IpHelperResolver>(api, std::make_unique<CountingEvent>(signals));
};

TEST_F(IpHelperResolverTest, EveryGatewayIsInSendArpAtOnceAndItsAnswerComesAsItsEvent) {
    resolver->Ask(first);
    resolver->Ask(second);
    ASSERT_TRUE(sendArp.AwaitEntered(2)); // neither waits for the other

    sendArp.Open();
    std::vector<ArpEvent> events = CollectEvents(2);
    ASSERT_EQ(events.size(), 2u);
    std::sort(events.begin(), events.end(), [](const ArpEvent& a, const ArpEvent& b) {
        return a.interfaceIndex < b.interfaceIndex;
    });
    EXPECT_EQ(events[0].gateway, first.gateway);
    EXPECT_EQ(events[0].hardwareAddress, (HardwareAddress{0x02, 0, 0, 0, 0, 1}));
    EXPECT_EQ(events[1].interfaceIndex, second.interfaceIndex);
    EXPECT_EQ(events[1].hardwareAddress, (HardwareAddress{0x02, 0, 0, 0, 0, 2}));
}

TEST_F(IpHelperResolverTest, AskInFlightSendsNothingMoreAndAForgottenRequestsLateResultIsDropped) {
    resolver->Ask(first);
    resolver->Ask(second);
    ASSERT_TRUE(sendArp.AwaitEntered(2));
    // Asked again while in flight: the answer under way counts, even after a Forget.
    resolver->Forget(first.interfaceIndex, first.gateway);
    resolver->Ask(first);
    resolver->Forget(second.interfaceIndex, second.gateway);

    sendArp.Open();
    const std::vector<ArpEvent> events = CollectEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].gateway, first.gateway);
    resolver.reset(); // joins every worker: the forgotten result has come and gone by now
    EXPECT_EQ(signals, 1);
    EXPECT_EQ(sendArp.Entered(), 2);
}

// A whole pass over crafted tables.

class IpHelperPassTest : public IpHelperStackTest {
protected:
    void OneLink(std::uint32_t index, const std::string& gateway) {
        api.interfaceInfo.sizingResult = 122;
        api.interfaceInfo.neededSize = 264;
        api.interfaceInfo.fill = [index](std::uint8_t* buffer, std::uint32_t) {
            WriteInterfaceTable(buffer, 1, {index});
        };
        api.adaptersInfo.sizingResult = 111;
        api.adaptersInfo.neededSize = 640;
        api.adaptersInfo.fill = [index, gateway](std::uint8_t* buffer, std::uint32_t) {
            WriteAdapterRecord(buffer, 0, index, gateway, 0);
            WriteAddressString(buffer + Core_SocketARP::adapter_address_list_offset, "10.0.0.2",
                               "255.255.255.0", 0);
        };
    }

    std::string Bind() {
        testing::internal::CaptureStdout();
        Core_SocketARP::BindGateways(stack);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(IpHelperPassTest, MissingEntryPointsPrintCodeZero) {
    OneLink(7, "10.0.0.1");
    api.hasFlushIpNetTable = false;
    api.hasSendArp = false;
    EXPECT_EQ(Bind(), FlushErrorLine(0, 0) + ErrorLine(0, 0));
}

TEST_F(IpHelperPassTest, AnsweredGatewayIsWrittenAsStaticRow) {
    OneLink(7, "10.0.0.1");
    api.sendArp = [](std::uint32_t, std::uint32_t, void* buffer, std::uint32_t* length) {
        const std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
        std::memcpy(buffer, mac, sizeof mac);
        *length = 6;
        return std::uint32_t{0};
    };
    EXPECT_EQ(Bind(), BoundLine(0, "10.0.0.1", "020000000001"));
    ASSERT_EQ(api.createdRows.size(), 1u);
    EXPECT_EQ(api.createdRows[0].index, 7u);
}

// Over SendARP, which answers from the table: the remembered address is written before the
// request, leaves the table for the moment of each request, and a different answer is
// challenged: one try that finds the remembered address again makes the other an impostor,
// never written.
TEST_F(IpHelperPassTest, RememberedGatewayIsWrittenFirstAndAnotherAnswerIsChallenged) {
    OneLink(7, "10.0.0.1");
    tw_test::FakeStateStore store;
    store.text = "tarnwick-antiarp gateways 2\n%237 ipv4 10.0.0.1 02:00:00:00:00:01 "
                 "2026-01-01T00:00:00Z\n";
    std::vector<std::string> order;
    int calls = 0;
    api.sendArp = [&](std::uint32_t, std::uint32_t, void* buffer, std::uint32_t* length) {
        order.push_back("SendARP with " + std::to_string(api.createdRows.size()) + " created, " +
                        std::to_string(api.deletedRows.size()) + " deleted");
        const std::uint8_t mac[6] = {
            0x02, 0, 0, 0, 0, ++calls == 1 ? std::uint8_t{0x66} : std::uint8_t{0x01}};
        std::memcpy(buffer, mac, sizeof mac);
        *length = 6;
        return std::uint32_t{0};
    };
    testing::internal::CaptureStdout();
    Core_SocketARP::BindGateways(stack, &store);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(order, (std::vector<std::string>{"SendARP with 1 created, 1 deleted",
                                               "SendARP with 2 created, 2 deleted"}));
    EXPECT_NE(output.find("is an impostor"), std::string::npos) << output;
    for (const auto& rows : {api.createdRows, api.setRows}) {
        for (const IpNetRow& row : rows) {
            EXPECT_EQ(row.physAddr[5], 0x01) << "the impostor was written";
        }
    }
    EXPECT_EQ(api.createdRows.size(), 3u);
}

// A router of the forwarding table is resolved by ResolveIpNetEntry2 on its interface, pinned
// as a permanent neighbour row after the adapter's gateway, and removed at the stop; without
// ResolveIpNetEntry2 it fails with ERROR_NOT_SUPPORTED and the gateway is pinned all the same.
TEST_F(IpHelperPassTest, RouterIsResolvedAndPinnedAfterTheGatewayAndRemovedAtTheStop) {
    OneLink(7, "10.0.0.1");
    api.forwardTable2 = tw_test::ForwardTable2({Route6(7, "::", 0, "fe80::1", 10)});
    api.sendArp = [](std::uint32_t, std::uint32_t, void* buffer, std::uint32_t* length) {
        const std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
        std::memcpy(buffer, mac, sizeof mac);
        *length = 6;
        return std::uint32_t{0};
    };
    api.resolveAnswers["fe80::1"] = {0x02, 0, 0, 0, 0, 0xa1};
    const std::unique_ptr<Core_SocketARP::ArpResolver> resolver = stack.CreateResolver();
    Core_SocketARP::GatewayMemory memory;
    Core_SocketARP::TrustedGateways trusted;
    Core_SocketARP::GatewayKeeper keeper(stack, *resolver, memory, trusted);
    testing::internal::CaptureStdout();
    Core_SocketARP::BindGateways(stack, keeper);
    keeper.FinishWatches();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              BoundLine(0, "10.0.0.1", "020000000001") +
                  tw_test::NdBoundLine(0, "fe80::1%#7", "0200000000a1"));
    EXPECT_EQ(api.neighbourTable.at({7, "fe80::1"}).state,
              Core_SocketARP::neighbor_state_permanent);

    testing::internal::CaptureStdout();
    keeper.RemoveIpv6Pins();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), tw_test::NdRemovedLine(0, "fe80::1%#7"));
    EXPECT_TRUE(api.neighbourTable.empty());

    api.missing = {"ResolveIpNetEntry2"};
    Core_SocketARP::GatewayMemory nothingKnown;
    Core_SocketARP::GatewayKeeper again(stack, *resolver, nothingKnown, trusted);
    testing::internal::CaptureStdout();
    Core_SocketARP::BindGateways(stack, again);
    again.FinishWatches();
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(
        output.find("[0]ND Error " + tw_test::SystemText(Core_SocketARP::error_not_supported)),
        std::string::npos)
        << output;
    EXPECT_NE(output.find(BoundLine(0, "10.0.0.1", "020000000001")), std::string::npos);
}

// The interface table and the adapter chain out of step: the three lines, then the adapter
// that an interface's index finds is still protected.
TEST_F(IpHelperPassTest, InterfaceTableAndAdapterChainOfDifferentLengths) {
    OneLink(7, "10.0.0.1");
    api.interfaceInfo.neededSize = 4 + 2 * 260;
    api.interfaceInfo.fill = [](std::uint8_t* buffer, std::uint32_t) {
        WriteInterfaceTable(buffer, 2, {8, 7});
    };
    api.sendArp = [](std::uint32_t, std::uint32_t, void* buffer, std::uint32_t* length) {
        const std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
        std::memcpy(buffer, mac, sizeof mac);
        *length = 6;
        return std::uint32_t{0};
    };
    EXPECT_EQ(Bind(), "Error: interface.size() != adapters.size()\n"
                      "interface.size()=2\n"
                      "adapters.size()=1\n" +
                          BoundLine(0, "10.0.0.1", "020000000001"));
    EXPECT_EQ(api.flushLookups, 1);
    ASSERT_EQ(api.createdRows.size(), 1u);
    EXPECT_EQ(api.createdRows[0].index, 7u);
}

// Every gateway of an adapter: its list and its interface's default routes (a backup of a higher
// metric included), each asked from the adapter's address on its subnet and pinned, their lines
// in that order; "0.0.0.0" (no gateway) is asked as before but never pinned, and an adapter
// without an address of its own is not asked through another one.
TEST_F(IpHelperPassTest, EveryGatewayOfAnAdapterIsAskedFromItsOwnSubnetAndPinned) {
    api.interfaceInfo.sizingResult = 122;
    api.interfaceInfo.neededSize = 4 + 3 * 260;
    api.interfaceInfo.fill = [](std::uint8_t* buffer, std::uint32_t) {
        WriteInterfaceTable(buffer, 3, {7, 8, 9});
    };
    api.adaptersInfo.sizingResult = 111;
    api.adaptersInfo.neededSize = 4 * 648;
    api.adaptersInfo.fill = [](std::uint8_t* buffer, std::uint32_t) {
        using Core_SocketARP::adapter_address_list_offset;
        using Core_SocketARP::adapter_gateway_list_offset;
        const std::size_t extra = 3 * record; // further list entries, after the records
        WriteAdapterRecord(buffer, 0, 7, "10.0.0.1", AddressIn(buffer, record));
        WriteAddressString(buffer + adapter_address_list_offset, "192.168.5.2", "255.255.255.0",
                           AddressIn(buffer, extra));
        WriteAddressString(buffer + extra, "10.0.0.2", "255.255.255.0", 0);
        WriteAddressString(buffer + adapter_gateway_list_offset, "10.0.0.1", "",
                           AddressIn(buffer, extra + 40));
        WriteAddressString(buffer + extra + 40, "192.168.5.1", "", 0);
        WriteAdapterRecord(buffer, record, 8, "0.0.0.0", AddressIn(buffer, 2 * record));
        WriteAddressString(buffer + record + adapter_address_list_offset, "10.1.0.2", "255.255.0.0",
                           0);
        WriteAdapterRecord(buffer, 2 * record, 9, "10.2.0.1", 0);
        WriteAddressString(buffer + 2 * record + adapter_address_list_offset, "0.0.0.0", "0.0.0.0",
                           0);
    };
    const auto route = [this](const char* destination, const char* nextHop, std::uint32_t index,
                              std::uint32_t metric, std::uint32_t type = 4) {
        return Core_SocketARP::IpForwardRow{
            api.InetAddr(destination), 0, api.InetAddr(nextHop), index, type, metric};
    };
    const std::vector<Core_SocketARP::IpForwardRow> routes = {
        route("0.0.0.0", "10.0.0.254", 7, 50), // the backup
        route("0.0.0.0", "10.0.0.1", 7, 10),
        route("0.0.0.0", "10.0.0.253", 7, 20),
        route("0.0.0.0", "10.0.0.2", 7, 5), // on-link: the adapter's own address
        route("0.0.0.0", "10.0.0.9", 7, 1, Core_SocketARP::ip_forward_type_invalid),
        route("10.5.0.0", "10.0.0.7", 7, 1), // not a default route
        route("0.0.0.0", "10.1.0.1", 8, 10),
    };
    api.ipForwardTable.sizingResult = Core_SocketARP::error_insufficient_buffer;
    api.ipForwardTable.neededSize = static_cast<std::uint32_t>(4 + routes.size() * 56);
    api.ipForwardTable.fill = [routes](std::uint8_t* buffer, std::uint32_t) {
        tw_test::WriteIpForwardTable(buffer, routes);
    };

    EXPECT_EQ(stack.ListAdapters()[0].moreGateways,
              (std::vector<Core_SocketARP::FurtherGateway>{{"192.168.5.1", "192.168.5.2"},
                                                           {"10.0.0.253", "10.0.0.2"},
                                                           {"10.0.0.254", "10.0.0.2"}}));
    std::vector<std::pair<std::string, std::string>> asked; // gateway, source
    std::mutex mutex;
    api.sendArp = [&](std::uint32_t destination, std::uint32_t source, void* buffer,
                      std::uint32_t* length) -> std::uint32_t {
        std::uint8_t bytes[4] = {};
        std::memcpy(bytes, &destination, sizeof bytes);
        const auto text = [](std::uint32_t address) {
            std::uint8_t b[4] = {};
            std::memcpy(b, &address, sizeof b);
            return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) +
                   "." + std::to_string(b[3]);
        };
        {
            const std::lock_guard lock(mutex);
            asked.emplace_back(text(destination), text(source));
        }
        const std::uint8_t mac[6] = {0x02, 0, 0, 0, bytes[2], bytes[3]};
        std::memcpy(buffer, mac, sizeof mac);
        *length = 6;
        return 0;
    };
    EXPECT_EQ(Bind(), BoundLine(0, "10.0.0.1", "020000000001") +
                          BoundLine(0, "192.168.5.1", "020000000501") +
                          BoundLine(0, "10.0.0.253", "0200000000fd") +
                          BoundLine(0, "10.0.0.254", "0200000000fe") + ErrorLine(1, 0) +
                          BoundLine(1, "10.1.0.1", "020000000001") +
                          ErrorLine(2, IpHelperNetworkStack::error_no_source));
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked,
              (std::vector<std::pair<std::string, std::string>>{{"0.0.0.0", "10.1.0.2"},
                                                                {"10.0.0.1", "10.0.0.2"},
                                                                {"10.0.0.253", "10.0.0.2"},
                                                                {"10.0.0.254", "10.0.0.2"},
                                                                {"10.1.0.1", "10.1.0.2"},
                                                                {"192.168.5.1", "192.168.5.2"}}));
    std::vector<std::string> written;
    for (const IpNetRow& row : api.createdRows) {
        written.push_back(std::to_string(row.index) + " " + std::to_string(row.physAddr[5]));
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"7 1", "7 1", "7 253", "7 254", "8 1"}));
}

} // namespace
