#pragma once

// The frame format of the parent connection: a 4-byte big-endian body length,
// then the body, one encoded IpcMessage of at most MAX_FRAME_LEN bytes. Frames
// follow one another with nothing in between.
//
// The operations work on any blocking stream: a reader offers
//   Result<size_t> read_some(std::span<uint8_t>)   (0 at end of stream)
// and a writer
//   Result<size_t> write_some(std::span<const uint8_t>)
// both retrying interrupted calls themselves (ipc::SocketStream does). Neither
// operation locks or keeps state; callers that share a stream for writing hold
// one lock around each write_frame.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ipc/message_codec.h"
#include "ipc/proto.h"
#include "result.h"

namespace framing {

inline constexpr size_t MAX_FRAME_LEN = 65536;

template <class S>
concept ByteReader = requires(S& s, std::span<uint8_t> buf) {
    { s.read_some(buf) } -> std::same_as<Result<size_t>>;
};

template <class S>
concept ByteWriter = requires(S& s, std::span<const uint8_t> buf) {
    { s.write_some(buf) } -> std::same_as<Result<size_t>>;
};

// A frame read: its message, or nothing for a clean end of stream.
using ReadOutcome = std::optional<ipc::proto::IpcMessage>;

std::array<uint8_t, 4> encode_length(uint32_t length);
uint32_t decode_length(const std::array<uint8_t, 4>& bytes);

// Reads until `buf` is full or the stream ends; returns the bytes read.
template <ByteReader R>
Result<size_t> read_full(R& reader, std::span<uint8_t> buf) {
    size_t filled = 0;
    while (filled < buf.size()) {
        auto n = reader.read_some(buf.subspan(filled));
        if (!n) return n.error();
        if (*n == 0) break;
        filled += *n;
    }
    return filled;
}

// Writes all of `buf`, continuing short writes.
template <ByteWriter W>
Status write_all(W& writer, std::span<const uint8_t> buf) {
    size_t done = 0;
    while (done < buf.size()) {
        auto n = writer.write_some(buf.subspan(done));
        if (!n) return n.error();
        if (*n == 0) return make_error("failed to write whole buffer");
        done += *n;
    }
    return Status::success();
}

// Reads one frame. End of stream before the 4 length bytes are complete (after
// 0 to 3 of them) is a clean end. A length above MAX_FRAME_LEN fails before any
// body byte is read ("frame too large: {} > {}"); end of stream inside the body
// fails with "failed to fill whole buffer"; a body that does not decode fails
// with the decoder's description.
template <ByteReader R>
Result<ReadOutcome> read_frame(R& reader) {
    std::array<uint8_t, 4> length_bytes{};
    auto got = read_full(reader, std::span<uint8_t>(length_bytes));
    if (!got) return got.error();
    if (*got < length_bytes.size()) return Result<ReadOutcome>(ReadOutcome{});

    const uint32_t length = decode_length(length_bytes);
    if (length > MAX_FRAME_LEN)
        return make_error("frame too large: {} > {}", length, MAX_FRAME_LEN);

    std::vector<uint8_t> body(length);
    got = read_full(reader, std::span<uint8_t>(body));
    if (!got) return got.error();
    if (*got < body.size()) return make_error("failed to fill whole buffer");

    auto message = ipc::ipc_message::decode(body);
    if (!message) return message.error();
    return Result<ReadOutcome>(ReadOutcome(std::move(*message)));
}

// Writes `message` as one frame, the length and the body from one buffer with
// one write-all (so a slow peer holds one pending write per frame). A body
// above MAX_FRAME_LEN fails with "frame too large: {} > {}" before anything is
// written. After a failure part-way the peer holds a partial frame; that is
// left to the caller.
template <ByteWriter W>
Status write_frame(W& writer, const ipc::proto::IpcMessage& message) {
    const size_t length = ipc::ipc_message::encoded_len(message);
    if (length > MAX_FRAME_LEN)
        return make_error("frame too large: {} > {}", length, MAX_FRAME_LEN);

    const auto header = encode_length(static_cast<uint32_t>(length));
    std::vector<uint8_t> frame;
    frame.reserve(header.size() + length);
    frame.insert(frame.end(), header.begin(), header.end());
    ipc::ipc_message::encode(message, frame);
    return write_all(writer, std::span<const uint8_t>(frame));
}

}  // namespace framing
