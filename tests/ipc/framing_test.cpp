#include "ipc/framing.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/socket_stream.h"
#include "support/hex.h"

namespace {

using ipc::proto::IpcMessage;
using test_support::from_hex;

// A connected socket pair; `a` and `b` are the two ends.
struct SocketPair {
    ipc::UniqueFd a;
    ipc::UniqueFd b;

    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair failed";
            return;
        }
        a = ipc::UniqueFd(fds[0]);
        b = ipc::UniqueFd(fds[1]);
    }
};

void send_raw(int fd, const std::vector<uint8_t>& bytes) {
    ipc::SocketStream stream(fd);
    ASSERT_TRUE(framing::write_all(stream, std::span<const uint8_t>(bytes)).ok());
}

// Bytes waiting unread on `fd`, without blocking.
size_t pending_bytes(int fd) {
    std::vector<uint8_t> buf(1 << 17);
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    return n < 0 ? 0 : static_cast<size_t>(n);
}

// A TransmitFrame whose envelope encodes to exactly `body_len` bytes (for
// 16392 bytes and more, up to 2 MiB: both lengths then take 3 bytes).
IpcMessage message_of_size(size_t body_len) {
    IpcMessage m;
    m.mutable_transmit_frame()->set_data(std::string(body_len - 8, 'x'));
    return m;
}

TEST(Framing, LargestFramePassesAndOneMoreByteFailsUntouched) {
    SocketPair pair;
    ipc::SocketStream writer(pair.a.get());
    ipc::SocketStream reader(pair.b.get());

    const IpcMessage largest = message_of_size(framing::MAX_FRAME_LEN);
    ASSERT_EQ(ipc::ipc_message::encoded_len(largest), 65536u);
    std::thread write_thread([&] { EXPECT_TRUE(framing::write_frame(writer, largest).ok()); });
    auto read = framing::read_frame(reader);
    write_thread.join();
    ASSERT_TRUE(read.ok()) << read.error_text();
    ASSERT_TRUE(read->has_value());
    EXPECT_EQ((*read)->transmit_frame().data(), largest.transmit_frame().data());

    const auto too_large = framing::write_frame(writer, message_of_size(65537));
    ASSERT_FALSE(too_large.ok());
    EXPECT_EQ(too_large.error_text(), "frame too large: 65537 > 65536");
    EXPECT_EQ(pending_bytes(pair.b.get()), 0u);
}

TEST(Framing, OversizedLengthFailsBeforeTheBodyIsRead) {
    SocketPair pair;
    send_raw(pair.a.get(), from_hex("00010001 deadbeef"));
    ipc::SocketStream reader(pair.b.get());
    const auto read = framing::read_frame(reader);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error_text(), "frame too large: 65537 > 65536");
    EXPECT_EQ(pending_bytes(pair.b.get()), 4u);
}

TEST(Framing, EndOfStreamInsideTheLengthIsACleanEnd) {
    for (size_t n = 0; n <= 3; ++n) {
        SocketPair pair;
        send_raw(pair.a.get(), std::vector<uint8_t>(n, 0));
        pair.a.reset();
        ipc::SocketStream reader(pair.b.get());
        const auto read = framing::read_frame(reader);
        ASSERT_TRUE(read.ok()) << n << " length bytes: " << read.error_text();
        EXPECT_FALSE(read->has_value()) << n << " length bytes";
    }
}

TEST(Framing, EndOfStreamInsideTheBodyIsAnError) {
    SocketPair pair;
    send_raw(pair.a.get(), from_hex("00000005 7200"));
    pair.a.reset();
    ipc::SocketStream reader(pair.b.get());
    const auto read = framing::read_frame(reader);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error_text(), "failed to fill whole buffer");
}

TEST(Framing, FramesInSequenceIncludingEmptyAndUndecodable) {
    SocketPair pair;
    // StartAudio, an empty frame, then a body with a wire-type mismatch.
    send_raw(pair.a.get(), from_hex("00000002 7200 00000000 00000002 7000"));
    ipc::SocketStream reader(pair.b.get());

    auto first = framing::read_frame(reader);
    ASSERT_TRUE(first.ok() && first->has_value());
    EXPECT_TRUE((*first)->has_start_audio());

    auto empty = framing::read_frame(reader);
    ASSERT_TRUE(empty.ok() && empty->has_value());
    EXPECT_EQ((*empty)->payload_case(), IpcMessage::PAYLOAD_NOT_SET);

    auto bad = framing::read_frame(reader);
    ASSERT_FALSE(bad.ok());
    EXPECT_NE(bad.error_text().find("IpcMessage.payload"), std::string::npos) << bad.error_text();
}

TEST(Framing, WritesLengthThenBody) {
    SocketPair pair;
    ipc::SocketStream writer(pair.a.get());
    IpcMessage start;
    start.mutable_start_audio();
    ASSERT_TRUE(framing::write_frame(writer, IpcMessage()).ok());
    ASSERT_TRUE(framing::write_frame(writer, start).ok());
    pair.a.reset();

    std::vector<uint8_t> got(16);
    ipc::SocketStream reader(pair.b.get());
    auto n = framing::read_full(reader, std::span<uint8_t>(got));
    ASSERT_TRUE(n.ok());
    got.resize(*n);
    EXPECT_EQ(test_support::to_hex(got), "00000000000000027200");
}

// A writer that takes everything and keeps each call's bytes.
struct RecordingWriter {
    std::vector<std::string> calls;

    Result<size_t> write_some(std::span<const uint8_t> buf) {
        calls.push_back(test_support::to_hex(std::vector<uint8_t>(buf.begin(), buf.end())));
        return buf.size();
    }
};

TEST(Framing, EachFrameIsOneWriteOfLengthAndBody) {
    RecordingWriter writer;
    IpcMessage start;
    start.mutable_start_audio();
    ASSERT_TRUE(framing::write_frame(writer, IpcMessage()).ok());
    ASSERT_TRUE(framing::write_frame(writer, start).ok());
    EXPECT_EQ(writer.calls, (std::vector<std::string>{"00000000", "000000027200"}));
}

// A reader that hands out one byte per call, as a slow peer would.
struct TrickleReader {
    std::vector<uint8_t> data;
    size_t pos = 0;

    Result<size_t> read_some(std::span<uint8_t> buf) {
        if (pos == data.size() || buf.empty()) return size_t{0};
        buf[0] = data[pos++];
        return size_t{1};
    }
};

TEST(Framing, ShortReadsAreContinued) {
    TrickleReader reader{from_hex("00000005 8201020810")};
    auto read = framing::read_frame(reader);
    ASSERT_TRUE(read.ok() && read->has_value());
    EXPECT_EQ((*read)->shutdown().timeout_ms(), 16u);
}

TEST(Framing, WritersSharingALockNeverInterleave) {
    SocketPair pair;
    ipc::SocketStream writer(pair.a.get());
    std::mutex lock;
    constexpr int kFrames = 200;

    // Thread t sends frames of channel t with bodies large enough to need
    // several socket writes.
    auto run = [&](uint32_t channel, size_t size) {
        for (int i = 0; i < kFrames; ++i) {
            IpcMessage m;
            m.mutable_transmit_frame()->set_channel(channel);
            m.mutable_transmit_frame()->set_frame_id(static_cast<uint64_t>(i));
            m.mutable_transmit_frame()->set_data(
                std::string(size, static_cast<char>('a' + channel)));
            std::lock_guard<std::mutex> guard(lock);
            ASSERT_TRUE(framing::write_frame(writer, m).ok());
        }
    };
    std::thread one(run, 1u, 30000u);
    std::thread two(run, 2u, 50000u);

    ipc::SocketStream reader(pair.b.get());
    uint64_t next_id[3] = {0, 0, 0};
    for (int i = 0; i < 2 * kFrames; ++i) {
        auto read = framing::read_frame(reader);
        ASSERT_TRUE(read.ok() && read->has_value()) << "frame " << i;
        const auto& frame = (*read)->transmit_frame();
        ASSERT_TRUE(frame.channel() == 1 || frame.channel() == 2);
        EXPECT_EQ(frame.frame_id(), next_id[frame.channel()]++);
        EXPECT_EQ(frame.data(), std::string(frame.channel() == 1 ? 30000 : 50000,
                                            static_cast<char>('a' + frame.channel())));
    }
    one.join();
    two.join();
}

}  // namespace
