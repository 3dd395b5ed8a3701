#include "ipc/reader.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/eventually.h"

#include "ipc/framing.h"

namespace {

using namespace std::chrono_literals;
using ipc::IpcInbound;
using ipc::proto::IpcMessage;

using test_support::eventually;

// A kind of frame the parent floods with: message number i, the largest
// decoded size of one, and how many make a flood that cannot fit in the
// queue's bound and the socket buffers together.
struct Flood {
    const char* name;
    std::function<IpcMessage(uint32_t)> make;
    uint32_t frames;
    std::function<uint32_t(const IpcMessage&)> number;
};

void PrintTo(const Flood& f, std::ostream* os) {
    *os << f.name;
}

IpcMessage transmit_frame(uint32_t i) {
    IpcMessage m;
    m.mutable_transmit_frame()->set_channel(i);
    m.mutable_transmit_frame()->set_data(std::string(2000, static_cast<char>('a' + i % 26)));
    return m;
}

// 4 KB on the wire that decode to about 240 KB: 2000 empty records.
IpcMessage empty_records(uint32_t i) {
    IpcMessage m;
    m.mutable_audio_device_list()->set_request_id(i);
    for (int k = 0; k < 2000; ++k) m.mutable_audio_device_list()->add_devices();
    return m;
}

const Flood kFloods[] = {
    {"frames_to_transmit", transmit_frame, 2000,
     [](const IpcMessage& m) { return m.transmit_frame().channel(); }},
    {"empty_repeated_records", empty_records, 300,
     [](const IpcMessage& m) { return m.audio_device_list().request_id(); }},
};

// The reader on one end of a connected socket pair, with a queue bounded at
// `limit`; the parent writes on the other end from its own thread.
struct ReaderOverSocket {
    explicit ReaderOverSocket(std::size_t limit) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair failed";
            return;
        }
        parent = ipc::UniqueFd(fds[1]);
        auto [sender, receiver] = ipc::make_inbound_queue(limit);
        inbound.emplace(std::move(receiver));
        reader = std::thread([fd = ipc::UniqueFd(fds[0]), s = std::move(sender), this]() mutable {
            ipc::run_reader(std::move(fd), std::move(s));
            reader_done.set_value();
        });
    }

    // Drops the receiver first, so that a reader still waiting ends and a write
    // still blocked fails, whatever a failed check left behind.
    ~ReaderOverSocket() {
        inbound.reset();
        if (writer.joinable()) writer.join();
        if (reader.joinable()) reader.join();
    }

    // Encodes messages 0 .. n-1, then writes them as frames from a thread
    // (encoded beforehand, so that the writes themselves go as fast as the
    // socket lets them), counting those fully written, and half-closes; stops
    // at the first failed write.
    void flood(const Flood& f) {
        for (uint32_t i = 0; i < f.frames; ++i) bodies.push_back(f.make(i).SerializeAsString());
        writer = std::thread([this] {
            ipc::SocketStream stream(parent.get());
            for (const std::string& body : bodies) {
                const auto length = framing::encode_length(static_cast<uint32_t>(body.size()));
                const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
                if (!framing::write_all(stream, std::span<const uint8_t>(length)).ok() ||
                    !framing::write_all(stream, std::span(bytes, body.size())).ok()) {
                    write_failed = true;
                    return;
                }
                written.fetch_add(1);
            }
            ::shutdown(parent.get(), SHUT_WR);
        });
    }

    ipc::UniqueFd parent;
    std::vector<std::string> bodies;
    std::optional<ipc::InboundReceiver> inbound;
    std::promise<void> reader_done;
    std::thread reader;
    std::thread writer;
    std::atomic<uint32_t> written{0};
    std::atomic<bool> write_failed{false};
};

class ReaderFlood : public ::testing::TestWithParam<Flood> {};

TEST_P(ReaderFlood, ParentBlocksAtTheBoundThenEveryMessageArrivesInOrder) {
    const Flood& f = GetParam();
    constexpr std::size_t kLimit = std::size_t{1} << 20;
    std::size_t largest = 0;
    for (uint32_t i : {0u, f.frames - 1}) {
        largest = std::max(largest, ipc::inbound_size(IpcInbound{IpcInbound::Message{f.make(i)}}));
    }
    ReaderOverSocket s(kLimit);
    s.flood(f);

    // The main loop is held: nothing is taken. The reader fills the queue just
    // past the bound and stops reading, and the parent's writes then block.
    ASSERT_TRUE(eventually([&] { return s.inbound->queued_bytes() > kLimit; }));
    const std::size_t held = s.inbound->queued_bytes();
    std::this_thread::sleep_for(200ms);  // room for a reader that does not wait to show
    EXPECT_EQ(s.inbound->queued_bytes(), held);
    EXPECT_GT(held, kLimit);
    EXPECT_LE(held, kLimit + largest);
    EXPECT_LT(s.written.load(), f.frames);

    // Released: every message comes, in order, and the queue stays near its bound.
    for (uint32_t i = 0; i < f.frames; ++i) {
        auto received = s.inbound->recv_timeout(20s);
        auto* event = std::get_if<IpcInbound>(&received);
        ASSERT_NE(event, nullptr) << "message " << i;
        auto* message = std::get_if<IpcInbound::Message>(&event->event);
        ASSERT_NE(message, nullptr) << "message " << i;
        ASSERT_EQ(f.number(message->message), i);
        ASSERT_EQ(message->message.SerializeAsString(), s.bodies[i]);
        ASSERT_LE(s.inbound->queued_bytes(), kLimit + largest);
    }
    auto end = s.inbound->recv_timeout(20s);
    ASSERT_TRUE(std::holds_alternative<IpcInbound>(end));
    EXPECT_TRUE(std::holds_alternative<IpcInbound::Closed>(std::get<IpcInbound>(end).event));
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(s.inbound->recv_timeout(20s)));
    EXPECT_FALSE(s.write_failed.load());
}

TEST_P(ReaderFlood, ReceiverGoneEndsAWaitingReader) {
    const Flood& f = GetParam();
    constexpr std::size_t kLimit = std::size_t{1} << 20;
    ReaderOverSocket s(kLimit);
    auto done = s.reader_done.get_future();
    s.flood(f);
    ASSERT_TRUE(eventually([&] { return s.inbound->queued_bytes() > kLimit; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(done.wait_for(0s), std::future_status::timeout);

    // The main loop ends: the reader stops and closes its side, and the
    // parent's blocked write fails instead of waiting for ever.
    s.inbound.reset();
    EXPECT_EQ(done.wait_for(20s), std::future_status::ready);
    s.writer.join();
    EXPECT_TRUE(s.write_failed.load());
    EXPECT_LT(s.written.load(), f.frames);
}

INSTANTIATE_TEST_SUITE_P(Floods, ReaderFlood, ::testing::ValuesIn(kFloods),
                         [](const auto& info) { return std::string(info.param.name); });

// This process's resident memory, in bytes.
std::size_t resident_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) return std::stoul(line.substr(6)) * 1024;
    }
    return 0;
}

TEST(ReaderFloodOfEmptyFrames, ResidentMemoryStaysNearTheBoundWhileTheMainLoopIsHeld) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators add their own cost to every item";
#endif
    // Empty frames are the cheapest items a parent can send: four bytes each
    // on the wire, almost nothing decoded, so their queue slots are most of
    // what they cost.
    constexpr std::size_t kLimit = std::size_t{64} << 20;
    ReaderOverSocket s(kLimit);
    const std::size_t before = resident_bytes();
    std::atomic<bool> stop_writing{false};
    s.writer = std::thread([&] {
        const std::vector<uint8_t> zeros(std::size_t{1} << 16, 0);  // 16384 empty frames
        ipc::SocketStream stream(s.parent.get());
        while (!stop_writing.load()) {
            if (!framing::write_all(stream, std::span<const uint8_t>(zeros)).ok()) return;
        }
    });
    // Nothing is taken: the reader fills the queue past its bound and waits.
    ASSERT_TRUE(eventually([&] { return s.inbound->queued_bytes() > kLimit; }, 120s));
    std::this_thread::sleep_for(200ms);
    const std::size_t held = resident_bytes() - before;
    const std::size_t items = s.inbound->queued_bytes() /
                              ipc::inbound_size(IpcInbound{IpcInbound::Message{IpcMessage()}});
    std::printf("%zu empty frames held %zu bytes: %.1f bytes each\n", items, held,
                static_cast<double>(held) / static_cast<double>(items));
    EXPECT_LE(held, kLimit + kLimit / 4);
    stop_writing = true;
    // The fixture's teardown drops the receiver: the reader ends, and the
    // write blocked in the socket fails.
}

}  // namespace
