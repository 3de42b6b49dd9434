#include "Core_Common/Message.h"

#include "Core_Common/Singleton.h"

#include <optional>
#include <utility>

namespace Core_Common {

void Message::QueueMessage(std::function<void()> message, std::int32_t position) {
    if (position != message_position_back && position != message_position_front) {
        return;
    }
    const std::lock_guard lock(queue_mutex_);
    if (position == message_position_back) {
        queue_.push_back(std::move(message));
    } else {
        queue_.push_front(std::move(message));
    }
}

void Message::DeliverMessages() {
    for (;;) {
        std::optional<std::function<void()>> next;
        {
            const std::lock_guard delivery(delivery_mutex_);
            {
                const std::lock_guard queue(queue_mutex_);
                if (queue_.empty()) {
                    return;
                }
                next.emplace(std::move(queue_.front()));
                queue_.pop_front();
            }
            (*next)();
        }
        // The message is destroyed after the delivery lock is released.
    }
}

std::size_t Message::QueuedCount() {
    const std::lock_guard lock(queue_mutex_);
    return queue_.size();
}

void InterfaceMessage::Create() { create_instance(instance); }

void InterfaceMessage::Destroy() { destroy_instance(instance); }

void InterfaceMessage::Shutdown() {
    if (instance != nullptr) {
        instance->DeliverMessages();
    }
}

} // namespace Core_Common
