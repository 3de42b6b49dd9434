// The ARP protection's module: the route-change monitor that renews the static gateway entries
// after every change of the routing table, and the module's Start and Stop.
#pragma once

#include "Core_Common/Thread.h"
#include "Core_Common/Timer.h"
#include "Core_SocketARP/ClaimAlerts.h"
#include "Core_SocketARP/GatewayKeeper.h"
#include "Core_SocketARP/GatewayMemory.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/TrustedGateways.h"

#include <memory>
#include <string>
#include <vector>

namespace Core_SocketARP {

// The module's one instance. The monitor runs on the thread of the thread_basic base: it waits
// for route changes, for the changes that may cost a pin (links, addresses, neighbour
// entries), for the resolver's answers, for frames that claim a pinned address (where the
// platform shows them) and for the keeper's next deadline.
class SocketARP : public Core_Common::thread_basic {
public:
    // Makes the stop event on the stack; a stop event that could not be made is kept and
    // reported by the monitor when it starts. The remembered gateways are kept in `store`
    // (none: only for the process's life); the administrator's trusted gateways are read from
    // `trusted`.
    SocketARP(NetworkStack& stack, StateStore* store, const std::vector<StateStore*>& trusted = {});
    // Ends a monitor that still runs before the instance goes: a thread must not outlive the
    // object it runs on.
    ~SocketARP();
    SocketARP(const SocketARP&) = delete;
    SocketARP& operator=(const SocketARP&) = delete;

    // Makes the monitor's subscription and registers it on the calling thread, so that no
    // change from here on is lost; the monitor reports the result when it starts. Start calls
    // it before its binding pass. A monitor started without it does this itself.
    void PrepareMonitor();
    // Starts the monitor thread "SocketARP_Monitor" and returns without waiting for it.
    void StartMonitor();
    // Signals the stop event and waits until the monitor thread has ended. Not from the
    // monitor thread itself.
    void StopMonitor();
    // The monitor thread's body.
    void MonitorRouteChanges();

    // Wakes the monitor to check every pin against the table (the periodic check of the
    // platforms that do not tell of changes to it).
    void KickMonitor();

    NetworkStack& Stack() { return stack_; }
    StopEvent& GetStopEvent() { return *stop_event_; }
    GatewayKeeper& Keeper() { return keeper_; }

    // A wait that fails this many times in a row ends the monitor: the failure is lasting, and
    // going on would only spin.
    static constexpr int wait_failure_limit = 3;

private:
    NetworkStack& stack_;
    std::unique_ptr<StopEvent> stop_event_;
    // Only where pins are checked periodically.
    std::unique_ptr<StopEvent> kick_event_;
    std::unique_ptr<ArpResolver> resolver_;
    GatewayMemory memory_;
    TrustedGateways trusted_;
    GatewayKeeper keeper_;
    ClaimAlerts claims_;
    // Handed from PrepareMonitor to the monitor thread, which owns it from its start.
    std::unique_ptr<RouteChangeSubscription> subscription_;
    RouteRegistration registration_ = RouteRegistration::registered;
    SystemErrorCode registration_error_ = 0;
};

// The module as the registry and the application handler see it.
class InterfaceSocketARP {
public:
    static inline SocketARP* instance = nullptr;
    // True from Start until Stop; independent of the instance.
    static inline bool started = false;

    static void Create();
    static void Destroy();
    static void Startup() {}
    // The same as Stop.
    static void Shutdown();

    // Sets the flag, registers for route changes, runs the first binding pass on the calling
    // thread, then starts the monitor (and the periodic pin check where the platform needs
    // one). Does nothing while started.
    static void Start();
    // Stops the pin check, stops and joins the monitor, removes the IPv6 pins, runs the flush
    // pass, clears the flag.
    // Does nothing while stopped.
    static void Stop();

    // The stack that Create makes the instance on, and that Stop flushes: the system's unless
    // a test gave another one. Set it while the module has no instance.
    static void UseNetworkStack(NetworkStack& stack);
    static void UseSystemNetworkStack();
    // Where the instances made from now on keep the remembered gateways (null: nowhere), and
    // read the administrator's trusted gateways.
    static void UseStateStore(StateStore* store) { store_ = store; }
    static StateStore* CurrentStateStore() { return store_; }
    static void UseTrustedStores(std::vector<StateStore*> stores) { trusted_ = std::move(stores); }

private:
    static NetworkStack& CurrentStack();

    static inline NetworkStack* stack_ = nullptr;
    static inline StateStore* store_ = nullptr;
    static inline std::vector<StateStore*> trusted_;
    static inline Core_Common::timer_handle pin_check_timer_ = nullptr;
};

} // namespace Core_SocketARP
