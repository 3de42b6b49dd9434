#include "Core_Common/DeadLoopDectector.h"

#include "Core_Common/Singleton.h"

namespace Core_Common {

DeadLoopDectector::~DeadLoopDectector() {
    if (timer_handle != nullptr && InterfaceTimer::instance != nullptr) {
        RemoveTimer(&timer_handle);
    }
}

void DeadLoopDectector::start() {
    AddTimer(
        &timer_handle, tick_seconds_, [this] { tick(); }, true);
    on_timeout = [this] { on_dead_loop(); };
    timeout_ms = silence_ms_;
    thread_advanced::start(thread_name, thread_helper::priority_normal);
}

void DeadLoopDectector::stop() {
    // The removal waits for a dispatch pass in progress; no tick can be posted afterwards.
    if (timer_handle != nullptr) {
        RemoveTimer(&timer_handle);
    }
    thread_advanced::stop();
}

void DeadLoopDectector::tick() {
    post([] {});
}

void DeadLoopDectector::on_dead_loop() { throw 0; }

void InterfaceDeadLoopDectector::Create() { create_instance(instance); }

void InterfaceDeadLoopDectector::Destroy() { destroy_instance(instance); }

void InterfaceDeadLoopDectector::Startup() { instance->start(); }

void InterfaceDeadLoopDectector::Shutdown() { instance->stop(); }

} // namespace Core_Common
