#pragma once

// A strict walk over an encoded protobuf message, driven by its descriptor, run
// before the message is parsed. libprotobuf keeps a known field sent with the
// wrong wire type as an unknown field; the parent connection must refuse such a
// body instead. The walk also names where a failure occurred, which libprotobuf
// does not.

#include <cstdint>
#include <span>

#include <google/protobuf/descriptor.h>

#include "result.h"

namespace ipc::wire_check {

// Nested messages (and groups of unknown fields) allowed below the outermost one.
inline constexpr int MAX_NESTING = 100;

// Checks that `body` is one well-formed encoding of a message of `type`: every
// key valid, every known field with the wire type of its declared type, every
// length inside its enclosing message, every text valid UTF-8, nested messages
// checked alike, unknown fields skippable. The error text names the failure and
// the path of enclosing messages and fields, outermost first, e.g.
// "text is not valid UTF-8 (in IpcMessage.payload > ConfigureAudio.device_name)".
Status check(const google::protobuf::Descriptor& type, std::span<const uint8_t> body);

}  // namespace ipc::wire_check
