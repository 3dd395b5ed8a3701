#include "audio/sample_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <variant>

#include "support/allocation_failure.h"

namespace {

using audio::CaptureReceiver;
using audio::CaptureSender;
using audio::SampleBlock;
using audio::SendResult;
using Clock = std::chrono::steady_clock;

int16_t first_sample(ipc::Received<SampleBlock> received) {
    EXPECT_EQ(received.index(), 0u);
    if (received.index() != 0) return -1;
    return std::get<0>(received).at(0);
}

TEST(CaptureQueue, TrySendStopsAtCapacityAndOneTakeFreesOneSlot) {
    auto [sender, receiver] = audio::make_capture_queue();
    for (int16_t i = 0; i < 64; ++i) ASSERT_TRUE(sender.try_send(SampleBlock{i}));
    EXPECT_FALSE(sender.try_send(SampleBlock{64}));
    EXPECT_EQ(first_sample(receiver.try_recv()), 0);
    EXPECT_TRUE(sender.try_send(SampleBlock{65}));
    EXPECT_FALSE(sender.try_send(SampleBlock{66}));
    for (int16_t i = 1; i < 64; ++i) EXPECT_EQ(first_sample(receiver.try_recv()), i);
    EXPECT_EQ(first_sample(receiver.try_recv()), 65);
    EXPECT_TRUE(std::holds_alternative<ipc::QueueEmpty>(receiver.try_recv()));
}

TEST(CaptureQueue, ClosedOnlyAfterTheLastSenderAndTheLastBlock) {
    auto [sender, receiver] = audio::make_capture_queue(4);
    {
        CaptureSender copy = sender;
        ASSERT_TRUE(copy.try_send(SampleBlock{1}));
        { CaptureSender gone = std::move(sender); }
        EXPECT_EQ(first_sample(receiver.try_recv()), 1);
        EXPECT_TRUE(std::holds_alternative<ipc::QueueEmpty>(receiver.try_recv()));
        ASSERT_TRUE(copy.try_send(SampleBlock{2}));
    }
    EXPECT_EQ(first_sample(receiver.recv_timeout(std::chrono::milliseconds(10))), 2);
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(receiver.try_recv()));
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(
        receiver.recv_timeout(std::chrono::seconds(10))));
}

TEST(CaptureQueue, SendsFailOnceTheReceiverIsGone) {
    auto [sender, receiver] = audio::make_capture_queue(1);
    { CaptureReceiver gone = std::move(receiver); }
    std::atomic<bool> stop{false};
    EXPECT_FALSE(sender.try_send(SampleBlock{1}));
    EXPECT_EQ(sender.send(SampleBlock{1}, stop), SendResult::Closed);
}

TEST(CaptureQueueThreads, WaitingSendEndsByStopFlagReceiverOrRoom) {
    std::atomic<bool> stop{false};

    // Stopped: the flag is seen within a slice while the queue stays full.
    {
        auto [sender, receiver] = audio::make_capture_queue(1);
        ASSERT_TRUE(sender.try_send(SampleBlock{1}));
        Clock::time_point set_at;
        std::thread setter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            set_at = Clock::now();
            stop = true;
        });
        EXPECT_EQ(sender.send(SampleBlock{2}, stop), SendResult::Stopped);
        setter.join();
        EXPECT_LT(Clock::now() - set_at, std::chrono::seconds(5));  // hang guard
        stop = false;
    }
    // Closed: the receiver going wakes the sender.
    {
        auto [sender, receiver] = audio::make_capture_queue(1);
        ASSERT_TRUE(sender.try_send(SampleBlock{1}));
        std::thread dropper([r = std::move(receiver)]() mutable {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            CaptureReceiver gone = std::move(r);
        });
        EXPECT_EQ(sender.send(SampleBlock{2}, stop), SendResult::Closed);
        dropper.join();
    }
    // Sent: a take makes room, and the block arrives after the one before it.
    {
        auto [sender, receiver] = audio::make_capture_queue(1);
        ASSERT_TRUE(sender.try_send(SampleBlock{1}));
        std::thread taker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(first_sample(receiver.try_recv()), 1);
        });
        EXPECT_EQ(sender.send(SampleBlock{2}, stop), SendResult::Sent);
        taker.join();
        EXPECT_EQ(first_sample(receiver.try_recv()), 2);
    }
}

TEST(AudioSourceThreads, StopAndJoinEndsTheThreadAndADroppedSourceLetsItGo) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> ended{false};
    {
        audio::AudioSource source(stop, std::thread([stop, &ended] {
                                      while (!stop->load()) std::this_thread::yield();
                                      ended = true;
                                  }),
                                  8000);
        audio::stop_and_join(source);
        EXPECT_TRUE(ended);
        EXPECT_FALSE(source.thread.joinable());
    }
    // Dropping a running source detaches its thread, which goes on by itself.
    auto let_go = std::make_shared<std::atomic<bool>>(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    {
        audio::AudioSource source(let_go, std::thread([let_go, finished] {
                                      while (!let_go->load()) std::this_thread::yield();
                                      finished->store(true);
                                  }),
                                  8000);
    }
    let_go->store(true);
    for (int i = 0; i < 5000 && !finished->load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(finished->load());
}

}  // namespace

namespace {

TEST(CaptureQueueThreads, DroppingTheReceiverDropsQueuedBlocksWithoutNeedingMemory) {
    // Receivers are dropped in destructors (a pipeline's teardown), where a
    // failed allocation would end the process.
    auto [sender, receiver] = audio::make_capture_queue(4);
    for (int16_t i = 0; i < 3; ++i) ASSERT_TRUE(sender.try_send(SampleBlock(960, i)));
    std::thread dropper([&receiver = receiver] {
        pthread_setname_np(pthread_self(), "capture-dropper");
        test_support::fail_allocations("capture-dropper", -1);
        { CaptureReceiver gone = std::move(receiver); }
        test_support::disarm_allocation_failures();
    });
    dropper.join();
    EXPECT_FALSE(sender.try_send(SampleBlock{1}));
}

}  // namespace
