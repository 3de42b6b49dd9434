// The network-stack seam of the ARP protection: the platform operations that the binding and
// flush passes build on. The passes hold the behaviour (order of steps, messages, error
// handling); an implementation holds only the platform calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace Core_SocketARP {

// A failing platform operation throws its system error code as this type: a Win32 code on
// Windows, an errno value on Linux, 0 for failures that have no system code of their own.
using SystemErrorCode = std::uint32_t;

// What the passes read of one adapter: the interface index for the ARP row and the text of
// the adapter's first gateway (dotted decimal; empty when the adapter has none).
struct AdapterInfo {
    std::uint32_t index = 0;
    std::string gateway;

    bool operator==(const AdapterInfo&) const = default;
};

// One static ARP entry as the passes ask for it.
struct ArpEntry {
    std::uint32_t interfaceIndex = 0;
    std::string address; // dotted decimal, as the adapter record holds it
    std::vector<std::uint8_t> hardwareAddress;
};

// The hardware address buffer of an ARP request: never more than 8 bytes.
using HardwareAddressBuffer = std::array<std::uint8_t, 8>;

// Every operation throws SystemErrorCode on failure, unless its comment says otherwise.
// Route-change subscription joins this interface when the monitor needs it.
class NetworkStack {
public:
    virtual ~NetworkStack() = default;

    // Interface indexes of the interface table, in table order.
    virtual std::vector<std::uint32_t> ListInterfaces() = 0;

    // The adapters, in the order of the platform's adapter list.
    virtual std::vector<AdapterInfo> ListAdapters() = 0;

    // Deletes every ARP entry of the interface, static ones included.
    virtual void FlushArpTable(std::uint32_t interfaceIndex) = 0;

    // Sends an ARP request for the address and waits for the answer. On entry `length` is the
    // length the caller expects; on return it is the length of the address the platform wrote
    // into `hardwareAddress`.
    virtual void SendArpRequest(const std::string& address, HardwareAddressBuffer& hardwareAddress,
                                std::uint32_t& length) = 0;

    // Adds a static entry. Returns false when the entry was not added; never throws a code, as
    // that failure is never reported.
    virtual bool CreateArpEntry(const ArpEntry& entry) = 0;

    // Adds or replaces a static entry.
    virtual void SetArpEntry(const ArpEntry& entry) = 0;

protected:
    NetworkStack() = default;
    NetworkStack(const NetworkStack&) = default;
    NetworkStack& operator=(const NetworkStack&) = default;
};

// The platform's own network stack (IP Helper on Windows, rtnetlink and AF_PACKET on Linux).
NetworkStack& SystemNetworkStack();

} // namespace Core_SocketARP
