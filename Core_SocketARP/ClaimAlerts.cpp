#include "Core_SocketARP/ClaimAlerts.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"

#include <algorithm>

namespace Core_SocketARP {
namespace {

// Adds the frames dropped unread to the claims read in the same interval, in proportion (the
// rest of the division to the most frequent).
void Share(std::vector<ForgedClaim>& claims, std::uint64_t dropped) {
    if (claims.empty() || dropped == 0) {
        return;
    }
    std::uint64_t read = 0;
    for (const ForgedClaim& claim : claims) {
        read += claim.frames;
    }
    const auto largest = std::max_element(
        claims.begin(), claims.end(),
        [](const ForgedClaim& a, const ForgedClaim& b) { return a.frames < b.frames; });
    std::uint64_t shared = 0;
    if (read != 0) {
        for (ForgedClaim& claim : claims) {
            const std::uint64_t share =
                dropped / read * claim.frames + dropped % read * claim.frames / read;
            claim.frames += share;
            shared += share;
        }
    }
    largest->frames += dropped - shared;
}

} // namespace

ClaimAlerts::ClaimAlerts(std::unique_ptr<ClaimWatch> watch) : watch_(std::move(watch)) {}

void ClaimAlerts::Follow(const GatewayKeeper& keeper) {
    if (!watch_) {
        return;
    }
    std::vector<WatchedPin> pins = keeper.WatchedPins();
    if (pins_ == pins) {
        return;
    }
    try {
        watch_->Watch(pins);
    } catch (SystemErrorCode code) {
        Fail(code);
        return;
    }
    pins_ = std::move(pins);
}

ClaimWatch* ClaimAlerts::Armed() const {
    return watch_ && pins_ && !pins_->empty() && !drain_at_ ? watch_.get() : nullptr;
}

std::optional<std::chrono::milliseconds> ClaimAlerts::TimeToNextDrain() const {
    if (!drain_at_) {
        return std::nullopt;
    }
    const Core_Common::tick_value now = Core_Common::tick_now();
    return std::chrono::milliseconds{*drain_at_ > now ? *drain_at_ - now : 0};
}

void ClaimAlerts::Take(GatewayKeeper& keeper) { Drain(keeper); }

void ClaimAlerts::Tick(GatewayKeeper& keeper) {
    if (drain_at_ && Core_Common::tick_now() >= *drain_at_) {
        Drain(keeper);
    }
}

void ClaimAlerts::Catch(GatewayKeeper& keeper) {
    if (drain_at_) {
        Drain(keeper);
    }
}

void ClaimAlerts::Drain(GatewayKeeper& keeper) {
    if (!watch_) {
        return;
    }
    std::uint64_t dropped = 0;
    std::vector<ForgedClaim> claims;
    try {
        claims = watch_->Collect(drain_limit, dropped);
    } catch (SystemErrorCode code) {
        Fail(code);
        return;
    }
    if (claims.empty() && dropped == 0) {
        drain_at_.reset(); // quiet again: the next frame wakes the monitor
        return;
    }
    if (claims.empty()) {
        claims = last_;
        for (ForgedClaim& claim : claims) {
            claim.frames = 0;
        }
    }
    Share(claims, dropped);
    last_ = claims;
    keeper.ReportClaims(claims);
    drain_at_ =
        Core_Common::tick_now() + static_cast<Core_Common::tick_value>(drain_interval.count());
}

void ClaimAlerts::Fail(SystemErrorCode code) {
    ReportArp(Core_Service::log_warn, code,
              "ARP frames that claim a pinned address for another MAC are not watched: " +
                  Core_Common::without_line_end(ErrorText(code)));
    watch_.reset();
    pins_.reset();
    drain_at_.reset();
}

} // namespace Core_SocketARP
