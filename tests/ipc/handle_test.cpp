#include "ipc/handle.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ipc/framing.h"
#include "ipc/socket_stream.h"

namespace {

using ipc::proto::IpcMessage;
using namespace std::chrono_literals;

constexpr auto kHangGuard = 20s;
constexpr size_t kBody = 60000;

struct Connection {
    ipc::UniqueFd modem;
    ipc::UniqueFd parent;
    ipc::UniqueFd wake_read;
    ipc::UniqueFd wake_write;

    Connection() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair failed";
            return;
        }
        modem = ipc::UniqueFd(fds[0]);
        parent = ipc::UniqueFd(fds[1]);
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return;
        }
        wake_read = ipc::UniqueFd(fds[0]);
        wake_write = ipc::UniqueFd(fds[1]);
    }
};

IpcMessage frame(uint64_t id) {
    IpcMessage m;
    m.mutable_transmit_frame()->set_frame_id(id);
    m.mutable_transmit_frame()->set_data(std::string(kBody, 'q'));
    return m;
}

// Reads `count` frames from the parent's end and checks each is whole and in
// order.
void expect_frames(int fd, uint64_t count) {
    ipc::SocketStream reader(fd);
    for (uint64_t i = 0; i < count; ++i) {
        auto read = framing::read_frame(reader);
        ASSERT_TRUE(read.ok() && read->has_value()) << "frame " << i;
        EXPECT_EQ((*read)->transmit_frame().frame_id(), i);
        EXPECT_EQ((*read)->transmit_frame().data().size(), kBody);
    }
}

TEST(IpcHandle, ASlowParentMakesSendsWaitAndLosesNothing) {
    Connection c;
    const ipc::IpcHandle handle(std::move(c.modem));
    handle.give_up_when_readable(c.wake_read.get());
    constexpr uint64_t kFrames = 100;  // several times what the socket holds
    std::atomic<uint64_t> sent{0};
    auto writer = std::async(std::launch::async, [&] {
        for (uint64_t i = 0; i < kFrames; ++i) {
            Status s = handle.send(frame(i));
            if (!s) return s;
            sent.store(i + 1);
        }
        return Status::success();
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(sent.load(), kFrames) << "the socket never filled";
    expect_frames(c.parent.get(), kFrames);
    ASSERT_EQ(writer.wait_for(kHangGuard), std::future_status::ready);
    Status outcome = writer.get();
    EXPECT_TRUE(outcome.ok()) << outcome.error_text();
}

TEST(IpcHandle, ASendWaitingForRoomGivesUpOnceTheGiveUpDescriptorIsReadable) {
    Connection c;
    const ipc::IpcHandle handle(std::move(c.modem));
    handle.give_up_when_readable(c.wake_read.get());
    std::atomic<uint64_t> sent{0};
    auto writer = std::async(std::launch::async, [&] {
        for (uint64_t i = 0;; ++i) {
            Status s = handle.send(frame(i));
            if (!s) return s;
            sent.store(i + 1);
        }
    });
    // Wait until the writer is stuck: no frame completes for 300 ms.
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    for (uint64_t before = ~uint64_t{0}; before != sent.load();) {
        before = sent.load();
        std::this_thread::sleep_for(300ms);
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    }
    EXPECT_EQ(writer.wait_for(0ms), std::future_status::timeout);
    const char byte = 1;
    ASSERT_EQ(::write(c.wake_write.get(), &byte, 1), 1);
    if (writer.wait_for(kHangGuard) != std::future_status::ready) {
        ::shutdown(c.parent.get(), SHUT_RDWR);  // let the writer go before failing
        FAIL() << "the blocked send did not give up";
    }
    Status outcome = writer.get();
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error_text(), "terminating");
    // Every frame sent before is whole.
    expect_frames(c.parent.get(), sent.load());
    // A send that finds room still goes ahead.
    std::vector<uint8_t> rest(1 << 20);
    while (::recv(c.parent.get(), rest.data(), rest.size(), MSG_DONTWAIT) > 0) {
    }
    IpcMessage small;
    small.mutable_start_audio();
    EXPECT_TRUE(handle.send(small).ok());
}

}  // namespace
