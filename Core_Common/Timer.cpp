#include "Core_Common/Timer.h"

#include "Core_Common/Message.h"
#include "Core_Common/Singleton.h"

#include <algorithm>
#include <new>
#include <utility>

namespace Core_Common {
namespace {

// The first position whose entry is due no later than `due`: inserting there keeps the
// descending order and puts the new entry behind (after, in firing order) its equals.
auto first_not_later(std::vector<TimerEntry*>& list, tick_value due) {
    return std::lower_bound(list.begin(), list.end(), due,
                            [](TimerEntry* entry, tick_value d) { return entry->due.value() > d; });
}

Timer& existing_timer() {
    if (InterfaceTimer::instance == nullptr) {
        throw 0;
    }
    return *InterfaceTimer::instance;
}

} // namespace

TimerEntryPool& timer_entry_pool() { return process_object_pool<sizeof(TimerEntry)>(); }

Timer::Timer() : Timer(timer_entry_pool()) {}

Timer::Timer(TimerEntryPool& pool) : pool_(pool) {}

Timer::~Timer() {
    const std::lock_guard lock(mutex_);
    for (TimerEntry* entry : list_) {
        *entry->handle_slot = nullptr;
        Release(entry);
    }
    list_.clear();
}

void Timer::AddTimer(timer_handle* handle, std::int32_t seconds, std::function<void()> callback,
                     bool repeat) {
    // Formed as a 32-bit number like every interval of the tick clock.
    const auto interval = static_cast<std::int32_t>(static_cast<std::uint32_t>(seconds) * 1000u);
    const std::int32_t period = repeat ? interval : timer_one_shot;
    const std::lock_guard lock(mutex_);
    // Room first, so that a failure leaves neither a lost entry nor a changed list.
    list_.reserve(list_.size() + 1);
    TimerEntry* entry = *handle;
    if (entry == nullptr) {
        entry = new (pool_.AllocateObject())
            TimerEntry{handle, std::move(callback), timestamp_auto(), period};
    } else {
        Unlink(entry);
        entry->due.reset();
        entry->callback = std::move(callback);
        entry->period_ms = period;
    }
    entry->due.add_milliseconds(interval);
    Insert(entry);
    *handle = entry;
}

void Timer::RemoveTimer(timer_handle* handle) {
    // The handle is read under the lock: a pass on another thread may be returning this very
    // entry as a one-shot that fired.
    const std::lock_guard lock(mutex_);
    if (handle == nullptr || *handle == nullptr) {
        return;
    }
    TimerEntry* entry = *handle;
    Unlink(entry);
    Release(entry);
    *handle = nullptr;
}

void Timer::RunDueTimers() {
    const tick_value now = tick_now();
    const std::lock_guard lock(mutex_);
    while (!list_.empty()) {
        TimerEntry* entry = list_.back();
        if (entry->due.milliseconds_to(now) <= 0) {
            break;
        }
        list_.pop_back();
        std::function<void()> call;
        if (entry->period_ms == timer_one_shot) {
            *entry->handle_slot = nullptr;
            call = std::move(entry->callback);
            Release(entry);
        } else {
            call = entry->callback;
            entry->due.add_milliseconds(entry->period_ms);
            if (entry->due.milliseconds_to(now) > 0) {
                entry->due.reset();
            }
            Insert(entry);
        }
        call();
    }
}

std::size_t Timer::TimerCount() {
    const std::lock_guard lock(mutex_);
    return list_.size();
}

void Timer::Insert(TimerEntry* entry) {
    list_.insert(first_not_later(list_, entry->due.value()), entry);
}

void Timer::Unlink(TimerEntry* entry) {
    const tick_value due = entry->due.value();
    for (auto it = first_not_later(list_, due); it != list_.end() && (*it)->due.value() == due;
         ++it) {
        if (*it == entry) {
            list_.erase(it);
            return;
        }
    }
}

void Timer::Release(TimerEntry* entry) {
    entry->~TimerEntry();
    pool_.FreeObject(entry);
}

void InterfaceTimer::Create() { create_instance(instance); }

void InterfaceTimer::Destroy() { destroy_instance(instance); }

void AddTimer(timer_handle* handle, std::int32_t seconds, std::function<void()> callback,
              bool repeat) {
    existing_timer().AddTimer(handle, seconds, std::move(callback), repeat);
}

void RemoveTimer(timer_handle* handle) { existing_timer().RemoveTimer(handle); }

void RunDueTimers() { existing_timer().RunDueTimers(); }

void DispatchPending() {
    if (InterfaceTimer::instance != nullptr) {
        InterfaceTimer::instance->RunDueTimers();
    }
    if (InterfaceMessage::instance != nullptr) {
        InterfaceMessage::instance->DeliverMessages();
    }
}

} // namespace Core_Common
