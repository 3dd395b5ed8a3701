#include "ipc/socket_stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace ipc {

Error os_error(int errnum) {
    return make_error("{} (os error {})", std::system_category().message(errnum), errnum);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    reset();
}

void UniqueFd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Result<size_t> SocketStream::read_some(std::span<uint8_t> buf) {
    for (;;) {
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) return os_error(errno);
    }
}

Result<size_t> SocketStream::write_some(std::span<const uint8_t> buf) {
    for (;;) {
        const ssize_t n = ::send(fd_, buf.data(), buf.size(), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) return os_error(errno);
    }
}

}  // namespace ipc
