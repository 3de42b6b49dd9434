#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "fakes/FakeTickSource.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tw_test {

// A scripted source of route changes, repair reports and the stop events that go with it, by
// the stricter platform's rules: a change ends the next wait only while a registration is in
// place, and the wait that a change ends uses its registration up (as does a failed wait). A
// wait sees its stop event, the changes, the kick event, the resolver and the fake clock
// under one lock, so the stop wins when several are ready, then a change. Every operation may
// be called from any thread; the Await operations block the test, never longer than
// `deadline`.
class FakeRouteChanges {
public:
    using Registration = Core_SocketARP::RouteRegistration;
    using SystemErrorCode = Core_SocketARP::SystemErrorCode;

    static constexpr std::chrono::seconds deadline{20};
    static constexpr SystemErrorCode invalid_handle_error = 6; // a wait on an unusable event

    // Controls.
    // The next registrations give these results (registered once the script is used up).
    void ScriptRegistration(Registration result, SystemErrorCode error = 0);
    // The next `count` waits fail with the code; -1 for every wait from now on.
    void ScriptFailedWaits(int count, SystemErrorCode error);
    // Stop events made from now on could not be made, with this code (0: they can).
    void FailStopEvents(SystemErrorCode error);
    // A change of the routing table.
    void Change();
    // A change of links, addresses or neighbours, reported to the next wait.
    void Repair(Core_SocketARP::ChangeReport report);
    // The clock that a wait's timeout runs on; Elapse moves it and wakes the wait.
    void UseClock(FakeTickSource& clock);
    void Elapse(std::uint32_t ms);
    // Runs `action` whenever a wait begins, on the waiting thread, without the lock.
    void OnWait(std::function<void(int wait)> action);

    // Observations.
    int Registrations() const;
    int Waits() const;
    int Changes() const;
    int LostChanges() const; // changes that came while nothing was registered
    int StopSignals() const;
    int EndedSubscriptions() const;
    // What the subscriptions were told to watch of the neighbour entries, call by call.
    using Watched = std::optional<std::vector<Core_SocketARP::WatchedNeighbour>>;
    std::vector<Watched> WatchedNeighbours() const;

    // Block until the monitor has begun `count` waits in all, until `count` subscriptions have
    // ended, or until `count` stop signals were given; false at the deadline.
    bool AwaitWaits(int count) const;
    bool AwaitEndedSubscriptions(int count) const;
    bool AwaitStopSignals(int count) const;

    std::unique_ptr<Core_SocketARP::StopEvent> MakeStopEvent();
    std::unique_ptr<Core_SocketARP::RouteChangeSubscription> Subscribe();

private:
    class FakeStopEvent;
    class FakeSubscription;

    Registration NextRegistration(SystemErrorCode& error);
    Core_SocketARP::RouteWait NextWait(const Core_SocketARP::WaitSet& set,
                                       Core_SocketARP::ChangeReport& report,
                                       SystemErrorCode& error);
    void SubscriptionEnded();

    mutable std::mutex mutex_;
    mutable std::condition_variable state_changed_;
    std::deque<std::pair<Registration, SystemErrorCode>> registration_script_;
    int failed_waits_left_ = 0;
    SystemErrorCode failed_wait_error_ = 0;
    SystemErrorCode stop_event_error_ = 0;
    std::function<void(int)> on_wait_;
    FakeTickSource* clock_ = nullptr;
    std::deque<Core_SocketARP::ChangeReport> repairs_;
    bool registered_ = false;
    bool changed_ = false;
    int registrations_ = 0;
    int waits_ = 0;
    int changes_ = 0;
    int lost_changes_ = 0;
    int stop_signals_ = 0;
    std::vector<Watched> watched_;
    int live_subscriptions_ = 0;
    int ended_subscriptions_ = 0;
};

} // namespace tw_test
