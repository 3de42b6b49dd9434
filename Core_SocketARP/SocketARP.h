// The ARP protection's module: the route-change monitor that renews the static gateway entries
// after every change of the routing table, and the module's Start and Stop.
#pragma once

#include "Core_Common/Thread.h"
#include "Core_SocketARP/NetworkStack.h"

#include <memory>

namespace Core_SocketARP {

// The module's one instance. The monitor runs on the thread of the thread_basic base.
class SocketARP : public Core_Common::thread_basic {
public:
    // Makes the stop event on the stack; a stop event that could not be made is kept and
    // reported by the monitor when it starts.
    explicit SocketARP(NetworkStack& stack);
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

    NetworkStack& Stack() { return stack_; }
    StopEvent& GetStopEvent() { return *stop_event_; }

    // A wait that fails this many times in a row ends the monitor: the failure is lasting, and
    // going on would only spin.
    static constexpr int wait_failure_limit = 3;

private:
    NetworkStack& stack_;
    std::unique_ptr<StopEvent> stop_event_;
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
    // thread, then starts the monitor. Does nothing while started.
    static void Start();
    // Stops and joins the monitor, runs the flush pass, clears the flag. Does nothing while
    // stopped.
    static void Stop();

    // The stack that Create makes the instance on, and that Stop flushes: the system's unless
    // a test gave another one. Set it while the module has no instance.
    static void UseNetworkStack(NetworkStack& stack);
    static void UseSystemNetworkStack();

private:
    static NetworkStack& CurrentStack();

    static inline NetworkStack* stack_ = nullptr;
};

} // namespace Core_SocketARP
