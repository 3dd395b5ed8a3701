#include "ipc/unbounded_queue.h"

#include <pthread.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/allocation_failure.h"

namespace {

using namespace std::chrono_literals;

template <class T>
std::optional<T> item_of(ipc::Received<T> r) {
    if (auto* item = std::get_if<0>(&r)) return std::move(*item);
    return std::nullopt;
}

TEST(UnboundedQueue, FifoThenClosedOnceSenderGoneAndDrained) {
    auto [tx, rx] = ipc::make_unbounded_queue<std::unique_ptr<int>>();
    EXPECT_TRUE(std::holds_alternative<ipc::QueueEmpty>(rx.try_recv()));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(tx.send(std::make_unique<int>(i)));
    { auto gone = std::move(tx); }

    for (int i = 0; i < 3; ++i) {
        auto item = item_of(rx.try_recv());
        ASSERT_TRUE(item.has_value());
        EXPECT_EQ(**item, i);
    }
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(rx.try_recv()));
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(rx.recv_timeout(10s)));
}

TEST(UnboundedQueue, TimedWaitReturnsEmptyOrWakesForAnItem) {
    auto [tx, rx] = ipc::make_unbounded_queue<int>();
    EXPECT_TRUE(std::holds_alternative<ipc::QueueEmpty>(rx.recv_timeout(1ms)));

    std::thread producer([&tx] { EXPECT_TRUE(tx.send(42)); });
    auto item = item_of(rx.recv_timeout(10s));
    producer.join();
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(*item, 42);
}

TEST(UnboundedQueue, TimedWaitWakesWhenSenderGoes) {
    auto [tx, rx] = ipc::make_unbounded_queue<int>();
    std::thread producer([sender = std::move(tx)]() mutable { auto gone = std::move(sender); });
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(rx.recv_timeout(10s)));
    producer.join();
}

TEST(UnboundedQueue, SendFailsOnceReceiverGone) {
    auto [tx, rx] = ipc::make_unbounded_queue<int>();
    EXPECT_TRUE(tx.send(1));
    { auto gone = std::move(rx); }
    EXPECT_FALSE(tx.send(2));
}

TEST(UnboundedQueue, AClosedReceiverRefusesSendsAndStillHandsOutWhatWasQueued) {
    auto [tx, rx] = ipc::make_unbounded_queue<int>();
    EXPECT_TRUE(tx.send(1));
    rx.close();
    EXPECT_FALSE(tx.send(2));
    EXPECT_EQ(item_of(rx.try_recv()), std::optional<int>(1));
    EXPECT_TRUE(std::holds_alternative<ipc::QueueEmpty>(rx.try_recv()));
}

TEST(UnboundedQueue, DroppingTheReceiverDropsWhatIsQueuedWithoutNeedingMemory) {
    // Receivers are dropped in destructors and at threads' ends, where a
    // failed allocation would end the process.
    auto [tx, rx] = ipc::make_unbounded_queue<std::shared_ptr<int>>();
    auto item = std::make_shared<int>(7);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(tx.send(item));
    EXPECT_EQ(item.use_count(), 4);
    std::thread dropper([&rx = rx] {
        pthread_setname_np(pthread_self(), "queue-dropper");
        test_support::fail_allocations("queue-dropper", -1);
        { auto gone = std::move(rx); }
        test_support::disarm_allocation_failures();
    });
    dropper.join();
    EXPECT_EQ(item.use_count(), 1);
    EXPECT_FALSE(tx.send(item));
}

}  // namespace
