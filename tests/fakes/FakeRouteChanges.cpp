#include "fakes/FakeRouteChanges.h"

namespace tw_test {

using Core_SocketARP::RouteChangeSubscription;
using Core_SocketARP::RouteWait;
using Core_SocketARP::StopEvent;

class FakeRouteChanges::FakeStopEvent final : public StopEvent {
public:
    FakeStopEvent(FakeRouteChanges& owner, SystemErrorCode error) : owner_(owner), error_(error) {}

    SystemErrorCode CreationError() const override { return error_; }

    void Signal() override {
        const std::lock_guard lock(owner_.mutex_);
        ++owner_.stop_signals_;
        if (error_ == 0) {
            signalled_ = true;
        }
        owner_.state_changed_.notify_all();
    }

    void Reset() override {
        const std::lock_guard lock(owner_.mutex_);
        signalled_ = false;
    }

    std::intptr_t NativeHandle() const override { return error_ == 0 ? 1 : -1; }

    // Under the owner's lock.
    bool signalled_ = false;

private:
    FakeRouteChanges& owner_;
    SystemErrorCode error_;
};

class FakeRouteChanges::FakeSubscription final : public RouteChangeSubscription {
public:
    explicit FakeSubscription(FakeRouteChanges& owner) : owner_(owner) {}
    ~FakeSubscription() override { owner_.SubscriptionEnded(); }

    Registration Register(SystemErrorCode& error) override {
        return owner_.NextRegistration(error);
    }

    RouteWait Wait(const Core_SocketARP::WaitSet& set, Core_SocketARP::ChangeReport& report,
                   SystemErrorCode& error) override {
        return owner_.NextWait(set, report, error);
    }

    void WatchNeighbours(const Watched& entries) override {
        const std::lock_guard lock(owner_.mutex_);
        owner_.watched_.push_back(entries);
    }

private:
    FakeRouteChanges& owner_;
};

void FakeRouteChanges::ScriptRegistration(Registration result, SystemErrorCode error) {
    const std::lock_guard lock(mutex_);
    registration_script_.emplace_back(result, error);
}

void FakeRouteChanges::ScriptFailedWaits(int count, SystemErrorCode error) {
    const std::lock_guard lock(mutex_);
    failed_waits_left_ = count;
    failed_wait_error_ = error;
}

void FakeRouteChanges::FailStopEvents(SystemErrorCode error) {
    const std::lock_guard lock(mutex_);
    stop_event_error_ = error;
}

void FakeRouteChanges::Change() {
    const std::lock_guard lock(mutex_);
    ++changes_;
    if (registered_) {
        changed_ = true;
    } else {
        ++lost_changes_;
    }
    state_changed_.notify_all();
}

void FakeRouteChanges::Repair(Core_SocketARP::ChangeReport report) {
    const std::lock_guard lock(mutex_);
    repairs_.push_back(std::move(report));
    state_changed_.notify_all();
}

void FakeRouteChanges::UseClock(FakeTickSource& clock) {
    const std::lock_guard lock(mutex_);
    clock_ = &clock;
}

void FakeRouteChanges::Elapse(std::uint32_t ms) {
    const std::lock_guard lock(mutex_);
    if (clock_ != nullptr) {
        clock_->Advance(ms);
    }
    state_changed_.notify_all();
}

void FakeRouteChanges::OnWait(std::function<void(int)> action) {
    const std::lock_guard lock(mutex_);
    on_wait_ = std::move(action);
}

int FakeRouteChanges::Registrations() const {
    const std::lock_guard lock(mutex_);
    return registrations_;
}

std::vector<FakeRouteChanges::Watched> FakeRouteChanges::WatchedNeighbours() const {
    const std::lock_guard lock(mutex_);
    return watched_;
}

int FakeRouteChanges::Waits() const {
    const std::lock_guard lock(mutex_);
    return waits_;
}

int FakeRouteChanges::Changes() const {
    const std::lock_guard lock(mutex_);
    return changes_;
}

int FakeRouteChanges::LostChanges() const {
    const std::lock_guard lock(mutex_);
    return lost_changes_;
}

int FakeRouteChanges::StopSignals() const {
    const std::lock_guard lock(mutex_);
    return stop_signals_;
}

int FakeRouteChanges::EndedSubscriptions() const {
    const std::lock_guard lock(mutex_);
    return ended_subscriptions_;
}

bool FakeRouteChanges::AwaitWaits(int count) const {
    std::unique_lock lock(mutex_);
    return state_changed_.wait_for(lock, deadline, [&] { return waits_ >= count; });
}

bool FakeRouteChanges::AwaitEndedSubscriptions(int count) const {
    std::unique_lock lock(mutex_);
    return state_changed_.wait_for(lock, deadline, [&] { return ended_subscriptions_ >= count; });
}

bool FakeRouteChanges::AwaitStopSignals(int count) const {
    std::unique_lock lock(mutex_);
    return state_changed_.wait_for(lock, deadline, [&] { return stop_signals_ >= count; });
}

std::unique_ptr<StopEvent> FakeRouteChanges::MakeStopEvent() {
    const std::lock_guard lock(mutex_);
    return std::make_unique<FakeStopEvent>(*this, stop_event_error_);
}

std::unique_ptr<RouteChangeSubscription> FakeRouteChanges::Subscribe() {
    const std::lock_guard lock(mutex_);
    ++live_subscriptions_;
    return std::make_unique<FakeSubscription>(*this);
}

FakeRouteChanges::Registration FakeRouteChanges::NextRegistration(SystemErrorCode& error) {
    const std::lock_guard lock(mutex_);
    ++registrations_;
    Registration result = Registration::registered;
    if (!registration_script_.empty()) {
        result = registration_script_.front().first;
        error = registration_script_.front().second;
        registration_script_.pop_front();
    }
    registered_ = result == Registration::registered;
    changed_ = false;
    state_changed_.notify_all();
    return result;
}

RouteWait FakeRouteChanges::NextWait(const Core_SocketARP::WaitSet& set,
                                     Core_SocketARP::ChangeReport& report, SystemErrorCode& error) {
    std::function<void(int)> onWait;
    int wait = 0;
    // The timeout runs from the wait's start as the test sees it (AwaitWaits), so that time
    // the test lets pass after that counts.
    std::uint32_t start = 0;
    {
        const std::lock_guard lock(mutex_);
        wait = ++waits_;
        onWait = on_wait_;
        start = clock_ != nullptr ? clock_->Ticks() : 0;
        state_changed_.notify_all();
    }
    if (onWait) {
        onWait(wait);
    }
    auto* stop = dynamic_cast<FakeStopEvent*>(&set.stop);
    auto* kick = dynamic_cast<FakeStopEvent*>(set.kick);
    std::unique_lock lock(mutex_);
    const bool unusableStop = stop == nullptr || stop->CreationError() != 0;
    if (unusableStop || failed_waits_left_ != 0) {
        error = unusableStop ? invalid_handle_error : failed_wait_error_;
        if (!unusableStop && failed_waits_left_ > 0) {
            --failed_waits_left_;
        }
        registered_ = false;
        return RouteWait::failed;
    }
    const auto timedOut = [&] {
        return set.timeout.count() >= 0 && clock_ != nullptr &&
               clock_->Ticks() - start >= static_cast<std::uint32_t>(set.timeout.count());
    };
    // The resolver belongs to the waiting thread: looking at it here is safe.
    const auto answers = [&] {
        return set.resolver != nullptr && set.resolver->Wait(std::chrono::milliseconds{0});
    };
    RouteWait result = RouteWait::failed;
    state_changed_.wait(lock, [&] {
        if (stop->signalled_) {
            result = RouteWait::stopped;
        } else if (changed_) {
            result = RouteWait::changed;
        } else if (!repairs_.empty()) {
            result = RouteWait::repair;
        } else if (kick != nullptr && kick->signalled_) {
            result = RouteWait::kicked;
        } else if (answers()) {
            result = RouteWait::answers;
        } else if (timedOut()) {
            result = RouteWait::timedOut;
        } else {
            return false;
        }
        return true;
    });
    switch (result) {
    case RouteWait::stopped:
        stop->signalled_ = false;
        break;
    case RouteWait::changed:
        changed_ = false;
        registered_ = false;
        break;
    case RouteWait::repair:
        report = std::move(repairs_.front());
        repairs_.pop_front();
        break;
    case RouteWait::kicked:
        kick->signalled_ = false;
        break;
    default:
        break;
    }
    return result;
}

void FakeRouteChanges::SubscriptionEnded() {
    const std::lock_guard lock(mutex_);
    --live_subscriptions_;
    ++ended_subscriptions_;
    state_changed_.notify_all();
}

} // namespace tw_test
