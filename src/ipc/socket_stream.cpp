#include "ipc/socket_stream.h"

#include <poll.h>
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
    // With a give-up descriptor each attempt is non-blocking (the socket itself
    // stays blocking: its reading duplicate shares the file's flags), and the
    // wait for room watches both.
    const int flags = MSG_NOSIGNAL | (give_up_fd_ >= 0 ? MSG_DONTWAIT : 0);
    for (;;) {
        const ssize_t n = ::send(fd_, buf.data(), buf.size(), flags);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        if (give_up_fd_ < 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return os_error(errno);
        pollfd waits[2] = {{fd_, POLLOUT, 0}, {give_up_fd_, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0 && errno != EINTR) return os_error(errno);
        if (waits[1].revents != 0) return make_error("terminating");
    }
}

}  // namespace ipc
