#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace Core_Common {

// Where QueueMessage puts a message; any other position queues nothing.
inline constexpr std::int32_t message_position_back = 1;
inline constexpr std::int32_t message_position_front = 0;

// A process-wide queue of deferred calls, run in queue order by the thread that delivers them.
class Message {
public:
    // Any thread. Position 1 appends, 0 makes the message the next one delivered; any other
    // value drops it. Never waits for a delivery.
    void QueueMessage(std::function<void()> message, std::int32_t position);

    // Runs every queued message, including those queued meanwhile, one at a time on the
    // calling thread. The queue lock is never held while a message runs, so a message may
    // queue more or deliver the rest itself.
    void DeliverMessages();

    std::size_t QueuedCount();

private:
    std::recursive_mutex delivery_mutex_;
    std::deque<std::function<void()>> queue_;
    std::recursive_mutex queue_mutex_;
};

class InterfaceMessage {
public:
    static inline Message* instance = nullptr;

    static void Create();
    // Messages still queued are dropped without running.
    static void Destroy();
    static void Startup() {}
    // Delivers what is still queued.
    static void Shutdown();
};

} // namespace Core_Common
