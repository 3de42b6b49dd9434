// Alerts while pinned: ARP frames that claim a pinned address for another MAC, and Neighbor
// Advertisements that claim a pinned IPv6 router's, do the pin no harm (the table ignores them
// for a static or permanent entry), but someone sends them, and the administrator is
// told, through the keeper's limited reports. Only such frames reach the program (the watch's
// filter, rebuilt when the pins change). The first wakes the monitor; after it the frames are
// left to queue, and what came meanwhile is read once a drain interval (what found the queue
// full is only counted), so that a flood costs the program one read a second. A drain that finds
// nothing hands the watch back to the monitor's wait.
#pragma once

#include "Core_Common/TickClock.h"
#include "Core_SocketARP/GatewayKeeper.h"
#include "Core_SocketARP/NetworkStack.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace Core_SocketARP {

class ClaimAlerts {
public:
    static constexpr std::chrono::milliseconds drain_interval{1000};
    // Frames read by one drain at most; the watch's queue holds fewer.
    static constexpr std::size_t drain_limit = 1024;

    // Without a watch (the platform has none) it does nothing.
    explicit ClaimAlerts(std::unique_ptr<ClaimWatch> watch);

    // Watches the keeper's settled pins, when they are not those watched already.
    void Follow(const GatewayKeeper& keeper);
    // The watch while the monitor is to wake for its frames; null while they are left to queue.
    ClaimWatch* Armed() const;
    // Time until the next drain; nothing while none is due.
    std::optional<std::chrono::milliseconds> TimeToNextDrain() const;
    // The watch has frames (the monitor's wait said so): they are read and reported.
    void Take(GatewayKeeper& keeper);
    // The drain, when it has come due.
    void Tick(GatewayKeeper& keeper);
    // The drain at once, if frames are left to queue: before the pins change (a pass, the stop),
    // so that the frames that claimed them are counted for them.
    void Catch(GatewayKeeper& keeper);

private:
    void Drain(GatewayKeeper& keeper);
    // Reports the failure once and gives the watch up.
    void Fail(SystemErrorCode code);

    std::unique_ptr<ClaimWatch> watch_;
    std::optional<std::vector<WatchedPin>> pins_; // what the watch watches
    std::optional<Core_Common::tick_value> drain_at_;
    // The claims of the last drain that read any: frames dropped unread are theirs when a drain
    // reads none.
    std::vector<ForgedClaim> last_;
};

} // namespace Core_SocketARP
