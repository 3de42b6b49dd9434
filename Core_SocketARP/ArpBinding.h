// The binding pass pins each adapter's first gateway as a static ARP entry; the flush pass
// clears every interface's ARP table. Both print their lines on standard output and report
// nothing to their caller; only SystemErrorCode is caught inside them.
#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Core_SocketARP {

// Passes over the platform's own network stack.
void BindGateways();
void FlushArpTables();

// Passes over a given stack.
void BindGateways(NetworkStack& stack);
void FlushArpTables(NetworkStack& stack);

// Steps of the passes; each throws SystemErrorCode on failure.

// Empties the list, then fills it with the interface table's indexes.
void EnumerateInterfaces(NetworkStack& stack, std::vector<std::uint32_t>& interfaces);

// Appends the adapters to the list.
void EnumerateAdapters(NetworkStack& stack, std::vector<AdapterInfo>& adapters);

// The hardware address of the IPv4 address given as dotted-decimal text.
std::vector<std::uint8_t> ResolveMac(NetworkStack& stack, const std::string& address);

// Writes one static ARP entry: create first, and replace when creating fails.
void SetStaticEntry(NetworkStack& stack, std::uint32_t interfaceIndex, const std::string& address,
                    const std::vector<std::uint8_t>& hardwareAddress);

// The text of a code as the passes print it: narrow, with the system's own line end.
std::string ErrorText(SystemErrorCode code);

// Write one printf-formatted message of the ARP protection, whole and flushed at once (the
// lines are read live in a console, from more than one thread): PrintMessage for what the
// protection did, PrintErrorMessage for what failed.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void PrintMessage(const char* format, ...);
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void PrintErrorMessage(const char* format, ...);

} // namespace Core_SocketARP
