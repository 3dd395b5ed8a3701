#include "ipc/reader.h"

#include <exception>

#include "ipc/framing.h"

namespace ipc {

namespace {

void read_until_end(int fd, InboundSender& inbound) {
    SocketStream stream(fd);
    for (;;) {
        auto frame = framing::read_frame(stream);
        if (!frame) {
            inbound.send(IpcInbound{IpcInbound::ReadError{frame.error_text()}});
            return;
        }
        if (!frame->has_value()) {
            inbound.send(IpcInbound{IpcInbound::Closed{}});
            return;
        }
        if (!inbound.send(IpcInbound{IpcInbound::Message{std::move(**frame)}})) return;
    }
}

}  // namespace

void run_reader(UniqueFd read_side, InboundSender inbound) {
    try {
        read_until_end(read_side.get(), inbound);
    } catch (const std::exception& e) {
        // Out of memory for a frame: end like any other read failure.
        try {
            inbound.send(IpcInbound{IpcInbound::ReadError{e.what()}});
        } catch (...) {
        }
    }
    { InboundSender released = std::move(inbound); }
    read_side.reset();
}

}  // namespace ipc
