#pragma once

// The message types of the parent connection, generated from proto/quillmar.proto
// (package `quillmar`). Code refers to them as ipc::proto::IpcMessage and so on.

#include "proto/quillmar.pb.h"

namespace ipc {

namespace proto = ::quillmar;

// Discards libprotobuf's own log records (for example on invalid UTF-8), so that
// standard error carries only the modem's lines. Call once at process start.
void silence_protobuf_logs();

}  // namespace ipc
