#include "Core_Common/Message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Core_Common::InterfaceMessage;
using Core_Common::Message;
using Core_Common::message_position_back;
using Core_Common::message_position_front;
using testing::ElementsAre;

class MessageModuleTest : public testing::Test {
protected:
    void SetUp() override { InterfaceMessage::Create(); }
    void TearDown() override { InterfaceMessage::Destroy(); }

    static Message& queue() { return *InterfaceMessage::instance; }
    std::function<void()> Record(const std::string& name) {
        return [this, name] { delivered.push_back(name); };
    }

    std::vector<std::string> delivered;
};

TEST_F(MessageModuleTest, BackMessagesRunInQueueOrder) {
    queue().QueueMessage(Record("A"), message_position_back);
    queue().QueueMessage(Record("B"), message_position_back);
    queue().QueueMessage(Record("C"), message_position_back);
    queue().DeliverMessages();
    EXPECT_THAT(delivered, ElementsAre("A", "B", "C"));
    EXPECT_EQ(queue().QueuedCount(), 0u);
}

TEST_F(MessageModuleTest, FrontMessageRunsBeforeEverythingQueuedEarlier) {
    queue().QueueMessage(Record("A"), message_position_back);
    queue().QueueMessage(Record("B"), message_position_back);
    queue().QueueMessage(Record("C"), message_position_front);
    queue().DeliverMessages();
    EXPECT_THAT(delivered, ElementsAre("C", "A", "B"));
}

TEST_F(MessageModuleTest, SeveralFrontMessagesRunNewestFirst) {
    queue().QueueMessage(Record("A"), message_position_back);
    queue().QueueMessage(Record("B"), message_position_front);
    queue().QueueMessage(Record("C"), message_position_front);
    queue().DeliverMessages();
    EXPECT_THAT(delivered, ElementsAre("C", "B", "A"));
}

TEST_F(MessageModuleTest, OtherPositionsQueueNothingAndDropTheCopy) {
    auto token = std::make_shared<int>(0);
    queue().QueueMessage([token] {}, 2);
    queue().QueueMessage([token] {}, -1);
    EXPECT_EQ(queue().QueuedCount(), 0u);
    EXPECT_EQ(token.use_count(), 1);
}

TEST_F(MessageModuleTest, MessageQueuedWhileDeliveringRunsInTheSameCall) {
    queue().QueueMessage(
        [this] {
            delivered.emplace_back("A");
            queue().QueueMessage(Record("later"), message_position_back);
        },
        message_position_back);
    queue().QueueMessage(Record("B"), message_position_back);
    queue().DeliverMessages();
    EXPECT_THAT(delivered, ElementsAre("A", "B", "later"));
}

TEST_F(MessageModuleTest, MessageThatDeliversRunsTheRestFromInside) {
    queue().QueueMessage(
        [this] {
            delivered.emplace_back("A begins");
            queue().DeliverMessages();
            delivered.emplace_back("A ends");
        },
        message_position_back);
    queue().QueueMessage(Record("B"), message_position_back);
    queue().QueueMessage(Record("C"), message_position_back);
    queue().DeliverMessages();
    EXPECT_THAT(delivered, ElementsAre("A begins", "B", "C", "A ends"));
}

TEST_F(MessageModuleTest, EmptyQueueDeliversNothing) {
    queue().DeliverMessages();
    EXPECT_TRUE(delivered.empty());
}

TEST_F(MessageModuleTest, DeliveredMessageIsDestroyedAfterItRuns) {
    auto token = std::make_shared<int>(0);
    long seen_while_running = 0;
    queue().QueueMessage([token, &seen_while_running] { seen_while_running = token.use_count(); },
                         message_position_back);
    queue().DeliverMessages();
    EXPECT_EQ(seen_while_running, 2);
    EXPECT_EQ(token.use_count(), 1);
}

TEST_F(MessageModuleTest, ShutdownDeliversWhatIsLeft) {
    queue().QueueMessage(Record("A"), message_position_back);
    InterfaceMessage::Shutdown();
    EXPECT_THAT(delivered, ElementsAre("A"));
}

TEST_F(MessageModuleTest, DestroyDropsQueuedMessagesWithoutRunningThem) {
    auto token = std::make_shared<int>(0);
    queue().QueueMessage([this, token] { delivered.emplace_back("ran"); }, message_position_back);
    InterfaceMessage::Destroy();
    EXPECT_EQ(InterfaceMessage::instance, nullptr);
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_TRUE(delivered.empty());
    InterfaceMessage::Destroy(); // safe when absent
    InterfaceMessage::Shutdown();
}

TEST_F(MessageModuleTest, CreateReplacesTheInstanceWithAnEmptyQueue) {
    queue().QueueMessage(Record("A"), message_position_back);
    InterfaceMessage::Create();
    EXPECT_EQ(queue().QueuedCount(), 0u);
}

TEST_F(MessageModuleTest, ConcurrentDeliverersRunEachMessageOnceAndOneAtATime) {
    constexpr int per_thread = 300;
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> runs{0};
    auto message = [&] {
        if (running.fetch_add(1) != 0) {
            overlaps.fetch_add(1);
        }
        std::this_thread::yield();
        runs.fetch_add(1);
        running.fetch_sub(1);
    };
    std::vector<std::thread> threads;
    threads.reserve(2);
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < per_thread; ++i) {
                queue().QueueMessage(message, message_position_back);
                queue().DeliverMessages();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    queue().DeliverMessages();
    EXPECT_EQ(runs.load(), 2 * per_thread);
    EXPECT_EQ(overlaps.load(), 0);
}

} // namespace
