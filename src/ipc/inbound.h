#pragma once

// One event of the inbound queue, from the reader thread to the main loop.

#include <string>
#include <variant>

#include "ipc/proto.h"

namespace ipc {

struct IpcInbound {
    // One decoded frame; its payload may be absent (an empty frame).
    struct Message {
        proto::IpcMessage message;
    };
    // The parent ended the stream before a frame's 4-byte length was complete.
    struct Closed {};
    // Reading failed (I/O error, end of stream inside a body, oversized length,
    // undecodable body); the reader has stopped.
    struct ReadError {
        std::string text;
    };

    std::variant<Message, Closed, ReadError> event;
};

}  // namespace ipc
