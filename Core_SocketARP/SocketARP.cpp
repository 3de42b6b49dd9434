#include "Core_SocketARP/SocketARP.h"

#include "Core_Common/Singleton.h"
#include "Core_SocketARP/ArpBinding.h"

namespace Core_SocketARP {
namespace {

int Code(SystemErrorCode code) { return static_cast<int>(code); }

// True when the registration took; otherwise prints why not.
bool Registered(RouteRegistration registration, SystemErrorCode error) {
    switch (registration) {
    case RouteRegistration::registered:
        return true;
    case RouteRegistration::unsupported:
        PrintErrorMessage("pNotifyRouteChange not supported.\n");
        return false;
    case RouteRegistration::failed:
        break;
    }
    PrintErrorMessage("NotifyRouteChange error...%d\n", Code(error));
    return false;
}

} // namespace

SocketARP::SocketARP(NetworkStack& stack, StateStore* store,
                     const std::vector<StateStore*>& trusted)
    : stack_(stack), stop_event_(stack.CreateStopEvent()),
      kick_event_(stack.PinCheckPeriod().count() > 0 ? stack.CreateStopEvent() : nullptr),
      resolver_(stack.CreateResolver()), memory_(store), trusted_(trusted),
      keeper_(stack, *resolver_, memory_, trusted_), claims_(stack.CreateClaimWatch()) {}

SocketARP::~SocketARP() { StopMonitor(); }

void SocketARP::StartMonitor() {
    start([this] { MonitorRouteChanges(); }, "SocketARP_Monitor",
          Core_Common::thread_helper::priority_normal);
}

void SocketARP::KickMonitor() {
    if (kick_event_) {
        kick_event_->Signal();
    }
}

void SocketARP::PrepareMonitor() {
    subscription_ = stack_.SubscribeRouteChanges();
    registration_error_ = 0;
    registration_ = subscription_->Register(registration_error_);
}

void SocketARP::StopMonitor() {
    stop_event_->Signal();
    join();
    // A monitor that ended on its own left the signal untaken; the next one must not find it.
    stop_event_->Reset();
}

void SocketARP::MonitorRouteChanges() {
    if (!subscription_) {
        PrepareMonitor();
    }
    const std::unique_ptr<RouteChangeSubscription> changes = std::move(subscription_);
    if (const SystemErrorCode error = stop_event_->CreationError(); error != 0) {
        // Every wait would fail at once, and nothing could end the monitor.
        PrintErrorMessage("Route-change monitor ended: no stop event, error...%d\n", Code(error));
        return;
    }
    SystemErrorCode error = registration_error_;
    RouteRegistration registration = registration_;
    if (!Registered(registration, error)) {
        return;
    }
    // Only the neighbour entries of what the keeper keeps can cost a pin.
    changes->WatchNeighbours(keeper_.Watched());
    int failedWaits = 0;
    for (;;) {
        ChangeReport report;
        // Before every wait, whatever ended the last: a drain that has come due, then the pins
        // as they stand now.
        claims_.Tick(keeper_);
        claims_.Follow(keeper_);
        std::optional<std::chrono::milliseconds> due = keeper_.TimeToNextDeadline();
        if (const auto drain = claims_.TimeToNextDrain(); drain && (!due || *drain < *due)) {
            due = drain;
        }
        const WaitSet set{*stop_event_, kick_event_.get(), resolver_.get(),
                          due.value_or(std::chrono::milliseconds{-1}), claims_.Armed()};
        const RouteWait result = changes->Wait(set, report, error);
        if (result != RouteWait::failed) {
            failedWaits = 0;
        }
        switch (result) {
        case RouteWait::stopped:
            claims_.Catch(keeper_); // told by the stop's summaries
            return;
        case RouteWait::changed: {
            // The next registration comes before the pass, so that a change during the pass
            // leads to one more pass instead of being lost until some later change.
            SystemErrorCode nextError = 0;
            const RouteRegistration next = changes->Register(nextError);
            PrintMessage("Routing table changed..\n");
            // Every neighbour change counts during the pass: its new pins are not watched yet.
            changes->WatchNeighbours(std::nullopt);
            claims_.Catch(keeper_);
            BindGateways(stack_, keeper_);
            changes->WatchNeighbours(keeper_.Watched());
            if (!Registered(next, nextError)) {
                return;
            }
            break;
        }
        case RouteWait::repair:
            keeper_.TakeAnswers();
            keeper_.Repair(report);
            break;
        case RouteWait::kicked:
            keeper_.CheckPins();
            break;
        case RouteWait::claims:
            claims_.Take(keeper_);
            break;
        case RouteWait::answers:
        case RouteWait::timedOut:
            keeper_.TakeAnswers();
            keeper_.Tick();
            break;
        case RouteWait::failed:
            if (++failedWaits == wait_failure_limit) {
                PrintErrorMessage("Route-change monitor ended: wait failed %d times, error...%d\n",
                                  failedWaits, Code(error));
                return;
            }
            registration = changes->Register(error);
            if (!Registered(registration, error)) {
                return;
            }
            break;
        }
    }
}

NetworkStack& InterfaceSocketARP::CurrentStack() {
    return stack_ != nullptr ? *stack_ : SystemNetworkStack();
}

void InterfaceSocketARP::UseNetworkStack(NetworkStack& stack) { stack_ = &stack; }

void InterfaceSocketARP::UseSystemNetworkStack() { stack_ = nullptr; }

void InterfaceSocketARP::Create() {
    Core_Common::create_instance(instance, CurrentStack(), store_, trusted_);
}

void InterfaceSocketARP::Destroy() { Core_Common::destroy_instance(instance); }

void InterfaceSocketARP::Shutdown() { Stop(); }

void InterfaceSocketARP::Start() {
    if (started) {
        return;
    }
    if (instance == nullptr) {
        throw 0; // the module is used before Create: a programming error
    }
    // The flag comes first and the monitor last: its passes never overlap the first one. The
    // registration comes before the first pass, so that a change during it is not lost.
    started = true;
    instance->PrepareMonitor();
    BindGateways(instance->Stack(), instance->Keeper());
    instance->StartMonitor();
    // The check runs from the timer module on the thread that services it, and only wakes the
    // monitor, which owns the pins.
    const auto period = instance->Stack().PinCheckPeriod();
    if (period.count() > 0 && Core_Common::InterfaceTimer::instance != nullptr) {
        Core_Common::AddTimer(
            &pin_check_timer_, static_cast<std::int32_t>(period.count()),
            [] {
                if (instance != nullptr) {
                    instance->KickMonitor();
                }
            },
            true);
    }
}

void InterfaceSocketARP::Stop() {
    if (!started) {
        return;
    }
    if (pin_check_timer_ != nullptr && Core_Common::InterfaceTimer::instance != nullptr) {
        Core_Common::RemoveTimer(&pin_check_timer_);
    }
    // The monitor is joined before the flush, so the flush is the last word on the tables. The
    // IPv6 neighbour caches are not flushed: exactly the program's own IPv6 pins go.
    if (instance != nullptr) {
        instance->StopMonitor();
        instance->Keeper().RemoveIpv6Pins();
        instance->Keeper().Clear();
    }
    FlushArpTables(instance != nullptr ? instance->Stack() : CurrentStack());
    started = false;
}

} // namespace Core_SocketARP
