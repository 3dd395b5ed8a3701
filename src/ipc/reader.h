#pragma once

// The loop of the "ipc-reader" thread: frames from the parent become events on
// the inbound queue.

#include "ipc/inbound.h"
#include "ipc/inbound_queue.h"
#include "ipc/socket_stream.h"

namespace ipc {

// Reads frames from `read_side` and queues each as IpcInbound::Message until
// the stream ends (IpcInbound::Closed), a read fails (IpcInbound::ReadError) or
// the receiver is gone. While the queue is over its bound the reader waits
// before queuing and reads nothing, so the parent's writes block in the socket. Then releases the
// queue's sending end, so the consumer sees the queue closed after the last event, and closes
// `read_side`. Owns both arguments; never writes.
void run_reader(UniqueFd read_side, InboundSender inbound);

}  // namespace ipc
