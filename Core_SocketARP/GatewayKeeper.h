// Keeps every adapter's gateway pinned: resolves the gateways of a binding pass at once on
// their own links, chooses the address to pin from the answers and the remembered gateways,
// watches each answer for a conflicting one for a short window, retries a gateway left
// unpinned with a backoff, and repairs pins that something else removed or changed.
//
// The pass's resolution runs on the thread of the pass; everything after it (windows,
// retries, repairs) runs on the monitor's thread, which waits for the keeper's next deadline
// and the resolver's answers. One thread uses a keeper at a time.
#pragma once

#include "Core_Common/TickClock.h"
#include "Core_SocketARP/GatewayMemory.h"
#include "Core_SocketARP/NetworkStack.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Core_SocketARP {

class GatewayKeeper {
public:
    // After the first acceptable answer, further answers for the same gateway are listened to
    // this long; a different address among them is a conflict. Routers answer ARP from their
    // control plane, some of them milliseconds late; an attacker answers at once.
    static constexpr std::chrono::milliseconds conflict_window{100};
    // A gateway left unpinned is resolved again after 1 s, then after twice the last delay,
    // at most 60 s, until it is pinned or a later pass takes it over.
    static constexpr int first_retry_seconds = 1;
    static constexpr int last_retry_seconds = 60;

    GatewayKeeper(NetworkStack& stack, ArpResolver& resolver, GatewayMemory& memory);
    ~GatewayKeeper();
    GatewayKeeper(const GatewayKeeper&) = delete;
    GatewayKeeper& operator=(const GatewayKeeper&) = delete;

    // The resolution and pins of a binding pass, after its flush: asks every adapter's first
    // gateway at once on the adapter's own link, pins the answers as they come and prints the
    // adapters' lines in adapter order. Returns once every gateway has its line: pinned,
    // refused, or silent after its tries. What the keeper watched before is dropped.
    void ResolvePass(const std::vector<AdapterInfo>& adapters);

    // Time until the keeper has something to do (a request to send again, a window to close,
    // a retry); nothing when it has nothing pending.
    std::optional<std::chrono::milliseconds> TimeToNextDeadline() const;
    // Handles the resolver's events.
    void TakeAnswers();
    // Handles what has come due.
    void Tick();
    // Checks the pins that the reported changes may have touched, and retries at once the
    // gateways of touched links; a pin that is gone or changed is resolved again, alone.
    void Repair(const ChangeReport& report);
    // Checks every pin against the table.
    void CheckPins();
    // Drops everything the keeper watches (the protection stops).
    void Clear();
    // Waits until no resolution or window is open any more (retries are not waited for): for
    // a pass run on its own.
    void FinishWatches();

    // For tests and the monitor's tools.
    bool Pinned(std::uint32_t interfaceIndex, const std::string& gateway) const;
    std::optional<std::int64_t> RetryDelayMs(std::uint32_t interfaceIndex,
                                             const std::string& gateway) const;

private:
    struct Gateway;

    // The place in gateways_ of the gateway on that link.
    std::optional<std::size_t> Find(std::uint32_t interfaceIndex, const std::string& gateway) const;
    void StartResolution(Gateway& gateway, Core_Common::tick_value now);
    void Send(Gateway& gateway, Core_Common::tick_value now);
    void OnAnswer(Gateway& gateway, const HardwareAddress& address, Core_Common::tick_value now);
    void OnFailure(Gateway& gateway, SystemErrorCode code, Core_Common::tick_value now);
    // Its answers are no longer listened to.
    void StopResolving(Gateway& gateway);
    // The gateway's "[n]ARP Error" line for a failed step.
    void ReportError(Gateway& gateway, SystemErrorCode code);
    // Left unpinned for now: resolution stopped, the error line, settled, a retry later.
    void GiveUp(Gateway& gateway, SystemErrorCode code, Core_Common::tick_value now);
    void CloseWindow(Gateway& gateway, Core_Common::tick_value now);
    bool Pin(Gateway& gateway, const HardwareAddress& address, Core_Common::tick_value now);
    void Unpin(Gateway& gateway);
    void ScheduleRetry(Gateway& gateway, Core_Common::tick_value now);
    void Output(Gateway& gateway, std::function<void()> item);
    void Settle(Gateway& gateway);
    void PrintSettled();
    void Check(Gateway& gateway);

    NetworkStack& stack_;
    ArpResolver& resolver_;
    GatewayMemory& memory_;
    ResolverPace pace_;
    std::vector<Gateway> gateways_;
    // The pass's lines are printed in adapter order: the first position not printed yet.
    std::size_t next_to_print_ = 0;
};

} // namespace Core_SocketARP
