// The binding pass pins each adapter's first gateway as a static ARP entry; the flush pass
// clears every interface's ARP table. Both print their lines on standard output and report
// nothing to their caller; only SystemErrorCode is caught inside them.
#pragma once

#include "Core_Service/LogHelper.h"
#include "Core_SocketARP/NetworkStack.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Core_SocketARP {

class GatewayKeeper;
class StateStore;

// Passes over the platform's own network stack.
void BindGateways();
void FlushArpTables();

// Passes over a given stack. The binding pass on its own makes a resolver for itself, keeps
// its remembered gateways in the store when one is given, reads the administrator's trusted
// gateways from `trusted`, and waits for the conflict windows of its answers before it
// returns.
void BindGateways(NetworkStack& stack, StateStore* store = nullptr,
                  const std::vector<StateStore*>& trusted = {});
void FlushArpTables(NetworkStack& stack);

// The binding pass of a keeper that goes on watching after it: the pass returns once every
// gateway has its line. A link on which the keeper holds every pin as it chose is left in
// place: neither flushed nor asked again.
void BindGateways(NetworkStack& stack, GatewayKeeper& keeper);

// Steps of the passes; each throws SystemErrorCode on failure.

// Writes one static ARP entry: create first, and replace when creating fails.
void SetStaticEntry(NetworkStack& stack, std::uint32_t interfaceIndex, const std::string& address,
                    const std::vector<std::uint8_t>& hardwareAddress);

// The text of a code as the passes print it: narrow, with the system's own line end, and the
// platform's own words kept for that code (ErrorDetail.h) in parentheses after the system text.
std::string ErrorText(SystemErrorCode code);
// The same text inside a report's own line: without the system's line end.
std::string ErrorTextInLine(SystemErrorCode code);

// An IPv4 address in dotted-decimal text as it travels (network byte order); nothing for a
// text that is not exactly four decimal parts of 0 to 255.
std::optional<std::uint32_t> ParseDottedQuad(const std::string& text);

// Write one printf-formatted message of the ARP protection, whole and flushed at once (the
// lines are read live in a console, from more than one thread): PrintMessage for what the
// protection did, PrintErrorMessage for what failed; with `fields`, what the line is about for
// the system log's identifiers.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void PrintMessage(const char* format, ...);
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void PrintMessage(const Core_Service::EventFields& fields, const char* format, ...);
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void PrintErrorMessage(const char* format, ...);
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void PrintErrorMessage(const Core_Service::EventFields& fields, const char* format, ...);

// A report of the ARP protection in the service host's form ("[WARN][SocketARP]..."), for
// what an administrator must look at: conflicting answers, replaced gateways, the remembered
// gateways' file.
void ReportArp(int level, SystemErrorCode code, const std::string& message);
void ReportArp(int level, SystemErrorCode code, const std::string& message,
               const Core_Service::EventFields& fields);

// Where the readers of the trust sources tell what they could not read: ReportArp, unless a
// caller collects the reports itself (the status report).
using ArpReporter = std::function<void(int level, SystemErrorCode code, const std::string&)>;

} // namespace Core_SocketARP
