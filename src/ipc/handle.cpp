#include "ipc/handle.h"

#include <sys/socket.h>

#include <cerrno>
#include <exception>

#include "invariant.h"
#include "ipc/framing.h"

namespace ipc {

namespace {

[[noreturn]] void broken_writer() {
    invariant::broken("quillmar-modem: ipc writer lock poisoned");
}

}  // namespace

IpcHandle::IpcHandle(UniqueFd stream) : stream_(std::make_shared<Stream>()) {
    stream_->fd = std::move(stream);
}

Status IpcHandle::send(const proto::IpcMessage& message) const {
    std::lock_guard<std::mutex> guard(stream_->lock);
    if (stream_->broken) broken_writer();
    try {
        SocketStream socket(stream_->fd.get(), stream_->give_up_fd);
        return framing::write_frame(socket, message);
    } catch (const std::exception& e) {
        // Only allocation can throw here; the frame may be cut short.
        stream_->broken = true;
        return make_error("ipc send: {}", e.what());
    }
}

void IpcHandle::give_up_when_readable(int fd) const {
    std::lock_guard<std::mutex> guard(stream_->lock);
    stream_->give_up_fd = fd;
}

void IpcHandle::mark_broken() const {
    std::lock_guard<std::mutex> guard(stream_->lock);
    stream_->broken = true;
}

Status IpcHandle::shutdown_write() const {
    std::lock_guard<std::mutex> guard(stream_->lock);
    if (stream_->broken) broken_writer();
    if (::shutdown(stream_->fd.get(), SHUT_WR) != 0) return os_error(errno);
    return Status::success();
}

}  // namespace ipc
