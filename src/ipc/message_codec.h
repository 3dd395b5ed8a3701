#pragma once

// Encoding and decoding of IpcMessage bodies, on top of the generated code.
//
// Decoding is strict: besides what libprotobuf refuses, a known field sent with
// the wrong wire type fails the whole body, and the error names where the
// failure lies. Unknown fields are skipped and not kept. Encoding never writes a
// float equal to zero, of either sign.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ipc/proto.h"
#include "result.h"

namespace ipc::ipc_message {

// Decodes `body`, which holds exactly one IpcMessage (an empty body is an
// envelope without payload). The error text describes the failure and the
// enclosing messages and fields, e.g.
// "wire type 2 does not match field type uint32 (in IpcMessage.payload > ManualPtt.channel)".
Result<proto::IpcMessage> decode(std::span<const uint8_t> body);

// Exact number of bytes encode() appends for `message`, computed without encoding.
size_t encoded_len(const proto::IpcMessage& message);

// Appends the encoding of `message` to `out`. An envelope without payload
// appends nothing. A float of -0.0 is written as +0.0 is, that is not at all.
// `message` must encode to less than 2 GiB (the library's limit).
void encode(const proto::IpcMessage& message, std::vector<uint8_t>& out);

}  // namespace ipc::ipc_message
