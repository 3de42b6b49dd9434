// The socket filter of the monitor's link socket: neighbour notifications reach the program
// only for the entries it keeps, so that the ARP traffic of a busy LAN costs it no wake-up.
// Link and address notifications pass as before.
#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <linux/filter.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace Core_SocketARP {

// Lets through every notification that is not of a neighbour, and the new and deleted
// neighbour entries (IPv4 and IPv6) whose link and address are listed. Nothing when the list is too
// long for one filter: then every notification counts.
std::optional<std::vector<sock_filter>>
NeighbourFilter(const std::vector<WatchedNeighbour>& entries);

// Puts the filter of the entries on the socket, or none (every notification passes) for
// nothing. Returns the errno of a failure, 0 when done: a socket left unfiltered only costs
// wake-ups.
int FilterNeighbours(int fd, const std::optional<std::vector<WatchedNeighbour>>& entries);

} // namespace Core_SocketARP
