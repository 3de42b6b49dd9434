#pragma once

#include "Core_SocketARP/IpHelperStack.h"
#include "fakes/FakeRouteChanges.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tw_test {

// IP Helper entry points with scripted results. A table call answers the sizing call (a null
// buffer) with `sizingResult` and `neededSize`, and the call with a buffer by running `fill`
// and returning `fillResult`. Records what the stack passed.
class FakeIpHelperApi final : public Core_SocketARP::IpHelperApi {
public:
    struct TableCall {
        std::uint32_t sizingResult = 0;
        std::uint32_t neededSize = 0;
        std::uint32_t fillResult = 0;
        std::function<void(std::uint8_t* buffer, std::uint32_t size)> fill;

        // Observations: the size of every call with a buffer, and whether that buffer was all
        // zero when it arrived.
        std::vector<std::uint32_t> bufferSizes;
        std::vector<bool> buffersZeroed;
        int sizingCalls = 0;
    };

    TableCall interfaceInfo;
    TableCall adaptersInfo;
    TableCall ipNetTable;
    TableCall ipForwardTable; // by default, no table: its sizing call answers 0

    bool hasSendArp = true;
    bool hasFlushIpNetTable = true;
    SendArpCall sendArp;                 // when empty, SendARP succeeds without writing
    FlushIpNetTableCall flushIpNetTable; // when empty, flushes succeed
    std::uint32_t createResult = 0;
    std::uint32_t setResult = 0;

    int sendArpLookups = 0;
    int flushLookups = 0;
    std::uint32_t deleteResult = 0;
    std::vector<Core_SocketARP::IpNetRow> createdRows;
    std::vector<Core_SocketARP::IpNetRow> setRows;
    std::vector<Core_SocketARP::IpNetRow> deletedRows;
    FakeRouteChanges routeChanges;

    // The calls of Windows Vista and later, present unless listed as missing (as under Wine).
    std::set<std::string> missing; // "GetIpForwardTable2", "CreateIpNetEntry2", ...
    std::uint32_t forwardTable2Result = 0;
    std::vector<std::uint8_t> forwardTable2; // the bytes GetIpForwardTable2 gives
    std::vector<std::uint16_t> forwardTable2Families;
    // The neighbour table the stand-ins of the IPv6 calls keep: create, set, delete and get work
    // on it as the system's calls do; resolve answers from `resolveAnswers` (by address text),
    // else fails with ERROR_NOT_FOUND. `neighbourResults` makes a call fail with its code.
    using NeighbourCall = Core_SocketARP::IpHelperApi::NeighbourCall;
    std::map<std::pair<std::uint32_t, std::string>, Core_SocketARP::IpNetRow2> neighbourTable;
    std::map<std::string, std::vector<std::uint8_t>> resolveAnswers;
    std::map<NeighbourCall, std::uint32_t> neighbourResults;
    std::vector<std::string> neighbourCalls; // "create 7 fe80::1", in order

    std::uint32_t GetInterfaceInfo(std::uint8_t* buffer, std::uint32_t* size) override;
    std::uint32_t GetAdaptersInfo(std::uint8_t* buffer, std::uint32_t* size) override;
    std::uint32_t CreateIpNetEntry(const Core_SocketARP::IpNetRow& row) override;
    std::uint32_t SetIpNetEntry(const Core_SocketARP::IpNetRow& row) override;
    std::uint32_t DeleteIpNetEntry(const Core_SocketARP::IpNetRow& row) override;
    std::uint32_t GetIpNetTable(std::uint8_t* buffer, std::uint32_t* size) override;
    std::uint32_t GetIpForwardTable(std::uint8_t* buffer, std::uint32_t* size) override;
    // Dotted quad only; anything else gives 0xFFFFFFFF, as inet_addr does.
    std::uint32_t InetAddr(const std::string& text) override;
    SendArpCall FindSendArp() override;
    FlushIpNetTableCall FindFlushIpNetTable() override;
    GetIpForwardTable2Call FindGetIpForwardTable2() override;
    IpNetEntry2Call FindIpNetEntry2(NeighbourCall call) override;
    std::unique_ptr<Core_SocketARP::StopEvent> CreateStopEvent() override {
        return routeChanges.MakeStopEvent();
    }
    std::unique_ptr<Core_SocketARP::RouteChangeSubscription> SubscribeRouteChanges() override {
        return routeChanges.Subscribe();
    }
};

// Writers of crafted buffers in the platform's layouts.
void WriteInterfaceTable(std::uint8_t* buffer, std::int32_t count,
                         const std::vector<std::uint32_t>& indexes);
// `next` is the 32-bit address of the next record; AddressIn gives one inside a buffer.
void WriteAdapterRecord(std::uint8_t* buffer, std::size_t offset, std::uint32_t index,
                        const std::string& gateway, std::uint32_t next);
std::uint32_t AddressIn(const std::uint8_t* buffer, std::size_t offset);
// An IP_ADDR_STRING at `at` (the first of a record's lists, or one elsewhere in the buffer).
void WriteAddressString(std::uint8_t* at, const std::string& address, const std::string& mask,
                        std::uint32_t next);
// A forwarding table of these rows; the buffer has room for them.
void WriteIpForwardTable(std::uint8_t* buffer,
                         const std::vector<Core_SocketARP::IpForwardRow>& rows);
// An ARP table of these rows; the buffer has room for them.
void WriteIpNetTable(std::uint8_t* buffer, const std::vector<Core_SocketARP::IpNetRow>& rows);
// A MIB_IPFORWARD_TABLE2 of these routes.
std::vector<std::uint8_t> ForwardTable2(const std::vector<Core_SocketARP::ForwardRow2>& rows);

} // namespace tw_test
