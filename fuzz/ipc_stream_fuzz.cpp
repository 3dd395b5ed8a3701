// The parent connection's reader: frames read from an in-memory stream, handed
// over in pieces of varying size, until its end or the first error. Every
// message read must encode again, decode to the same encoding, and go through
// write_frame and read_frame unchanged.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <google/protobuf/util/field_comparator.h>
#include <google/protobuf/util/message_differencer.h>

#include "fuzz_support.h"
#include "ipc/framing.h"
#include "ipc/message_codec.h"
#include "ipc/proto.h"

namespace {

// Hands out `bytes` in pieces whose sizes follow a small generator seeded by
// the input, so that every way a socket may split a frame gets tried.
class PieceReader {
public:
    PieceReader(std::span<const uint8_t> bytes, uint32_t seed) : bytes_(bytes), state_(seed | 1) {}

    Result<size_t> read_some(std::span<uint8_t> buf) {
        if (pos_ == bytes_.size() || buf.empty()) return size_t{0};
        state_ = state_ * 1103515245u + 12345u;
        const size_t piece = 1 + (state_ >> 16) % 97;
        const size_t n = std::min({piece, buf.size(), bytes_.size() - pos_});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), n, buf.begin());
        pos_ += n;
        return n;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    uint32_t state_;
};

struct MemoryWriter {
    std::vector<uint8_t> bytes;

    Result<size_t> write_some(std::span<const uint8_t> buf) {
        bytes.insert(bytes.end(), buf.begin(), buf.end());
        return buf.size();
    }
};

std::vector<uint8_t> encoding(const ipc::proto::IpcMessage& message) {
    std::vector<uint8_t> out;
    ipc::ipc_message::encode(message, out);
    FUZZ_CHECK(out.size() == ipc::ipc_message::encoded_len(message));
    return out;
}

// Field by field, an absent field equal to its default value, a NaN equal to
// a NaN and -0.0 to +0.0 (the encoder writes neither zero).
bool same_message(const ipc::proto::IpcMessage& a, const ipc::proto::IpcMessage& b) {
    google::protobuf::util::DefaultFieldComparator comparator;
    comparator.set_treat_nan_as_equal(true);
    google::protobuf::util::MessageDifferencer differencer;
    differencer.set_field_comparator(&comparator);
    differencer.set_message_field_comparison(
        google::protobuf::util::MessageDifferencer::EQUIVALENT);
    return differencer.Compare(a, b);
}

void check_round_trip(const ipc::proto::IpcMessage& message) {
    const std::vector<uint8_t> once = encoding(message);
    auto again = ipc::ipc_message::decode(once);
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(same_message(message, *again));
    FUZZ_CHECK(encoding(*again) == once);

    // A message read may encode longer than it arrived (a short varint for a
    // negative number, say); only one that fits a frame is written.
    if (once.size() > framing::MAX_FRAME_LEN) return;
    MemoryWriter writer;
    FUZZ_CHECK(framing::write_frame(writer, message).ok());
    FUZZ_CHECK(writer.bytes.size() == 4 + once.size());
    PieceReader reader(writer.bytes, static_cast<uint32_t>(once.size()));
    auto read = framing::read_frame(reader);
    FUZZ_CHECK(read.ok() && read->has_value());
    FUZZ_CHECK(encoding(**read) == once);
    auto after = framing::read_frame(reader);
    FUZZ_CHECK(after.ok() && !after->has_value());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ipc::silence_protobuf_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const uint32_t seed = input.u8();
    PieceReader reader(input.rest(), seed);
    for (;;) {
        auto frame = framing::read_frame(reader);
        if (!frame || !frame->has_value()) break;
        check_round_trip(**frame);
    }
    return 0;
}
