#include "ipc/inbound_queue.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/eventually.h"

namespace {

using namespace std::chrono_literals;
using ipc::IpcInbound;

IpcInbound frame_message(uint32_t channel, std::size_t data_bytes) {
    IpcInbound event{IpcInbound::Message{}};
    auto* frame = std::get<IpcInbound::Message>(event.event).message.mutable_transmit_frame();
    frame->set_channel(channel);
    frame->set_data(std::string(data_bytes, 'x'));
    return event;
}

std::optional<uint32_t> channel_of(ipc::Received<IpcInbound> r) {
    auto* event = std::get_if<IpcInbound>(&r);
    if (event == nullptr) return std::nullopt;
    auto* message = std::get_if<IpcInbound::Message>(&event->event);
    if (message == nullptr) return std::nullopt;
    return message->message.transmit_frame().channel();
}

using test_support::eventually;

TEST(InboundQueue, CountsDecodedSizeInOnQueuingAndOutOnTaking) {
    auto [tx, rx] = ipc::make_inbound_queue();
    const IpcInbound small = frame_message(1, 10);
    const IpcInbound large = frame_message(2, 5000);
    const std::size_t small_size = ipc::inbound_size(small);
    const std::size_t large_size = ipc::inbound_size(large);
    EXPECT_GT(large_size, 5000u);
    EXPECT_EQ(ipc::inbound_size(IpcInbound{IpcInbound::Closed{}}), 0u);
    EXPECT_EQ(ipc::inbound_size(IpcInbound{IpcInbound::ReadError{"text"}}), 0u);

    EXPECT_TRUE(std::holds_alternative<ipc::QueueEmpty>(rx.try_recv()));
    ASSERT_TRUE(tx.send(small));
    ASSERT_TRUE(tx.send(large));
    ASSERT_TRUE(tx.send(IpcInbound{IpcInbound::Closed{}}));
    EXPECT_EQ(rx.queued_bytes(), small_size + large_size);
    { auto gone = std::move(tx); }

    EXPECT_EQ(channel_of(rx.try_recv()), 1u);
    EXPECT_EQ(rx.queued_bytes(), large_size);
    EXPECT_EQ(channel_of(rx.recv_timeout(10s)), 2u);
    EXPECT_EQ(rx.queued_bytes(), 0u);
    auto end = rx.try_recv();
    ASSERT_TRUE(std::holds_alternative<IpcInbound>(end));
    EXPECT_TRUE(std::holds_alternative<IpcInbound::Closed>(std::get<IpcInbound>(end).event));
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(rx.try_recv()));
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(rx.recv_timeout(10s)));
}

// A producer thread sending on a queue's sender; on every way out of the test
// the receiver goes first (a waiting send then fails) and the thread is joined.
struct Producer {
    std::optional<ipc::InboundReceiver> rx;
    std::thread thread;

    ~Producer() {
        rx.reset();
        if (thread.joinable()) thread.join();
    }
};

TEST(InboundQueue, SenderWaitsWhileMoreThanTheLimitIsQueued) {
    // Each message counts `size`; with a limit of 3.5 sizes the fourth is the
    // first to go over, so four are queued before the sender waits, and each one
    // taken lets exactly one more in.
    const std::size_t size = ipc::inbound_size(frame_message(0, 1000));
    auto [tx, receiver] = ipc::make_inbound_queue(size * 7 / 2);
    constexpr uint32_t kMessages = 10;
    std::atomic<uint32_t> sent{0};
    Producer p{std::move(receiver), {}};
    p.thread = std::thread([sender = std::move(tx), &sent]() mutable {
        for (uint32_t i = 0; i < kMessages; ++i) {
            if (!sender.send(frame_message(i, 1000))) return;
            sent.fetch_add(1);
        }
    });
    ASSERT_TRUE(eventually([&] { return sent.load() == 4; }));
    std::this_thread::sleep_for(50ms);  // room for a wrong fifth send to show
    EXPECT_EQ(sent.load(), 4u);
    EXPECT_EQ(p.rx->queued_bytes(), 4 * size);

    for (uint32_t i = 0; i < kMessages; ++i) {
        ASSERT_EQ(channel_of(p.rx->recv_timeout(10s)), i);
        if (i + 5 <= kMessages) {
            ASSERT_TRUE(eventually([&] { return sent.load() == i + 5; })) << i;
            EXPECT_LE(p.rx->queued_bytes(), 4 * size);
        }
    }
    p.thread.join();
    EXPECT_EQ(sent.load(), kMessages);
    EXPECT_EQ(p.rx->queued_bytes(), 0u);
}

TEST(InboundQueue, AnEventLargerThanTheLimitStillGoesIntoAnEmptyQueue) {
    auto [tx, rx] = ipc::make_inbound_queue(16);
    ASSERT_TRUE(tx.send(frame_message(7, 100000)));  // no wait: nothing was queued
    EXPECT_GT(rx.queued_bytes(), 100000u);
    EXPECT_EQ(channel_of(rx.try_recv()), 7u);
    ASSERT_TRUE(tx.send(frame_message(8, 100000)));
    EXPECT_EQ(channel_of(rx.try_recv()), 8u);
}

TEST(InboundQueue, ReceiverGoneWakesAWaitingSenderAndFailsLaterSends) {
    auto [tx, rx] = ipc::make_inbound_queue(16);
    ASSERT_TRUE(tx.send(frame_message(0, 1000)));
    std::atomic<bool> returned{false};
    bool outcome = true;
    std::thread producer([&] {
        outcome = tx.send(frame_message(1, 1000));
        returned = true;
    });
    std::this_thread::sleep_for(50ms);  // room for the send to wait
    EXPECT_FALSE(returned.load());
    { auto gone = std::move(rx); }
    producer.join();
    EXPECT_FALSE(outcome);
    EXPECT_FALSE(tx.send(IpcInbound{IpcInbound::Closed{}}));
}

}  // namespace
