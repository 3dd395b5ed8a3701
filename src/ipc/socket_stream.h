#pragma once

// Blocking byte streams over socket descriptors, as the frame reader and writer
// take them, and the owned descriptor that closes itself.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "result.h"

namespace ipc {

// The text of an operating-system error number, e.g. "Broken pipe (os error 32)".
Error os_error(int errnum);

// An owned file descriptor, closed when the owner is destroyed. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

// A blocking stream over a connected socket; does not own the descriptor.
// Interrupted calls are retried; writes never raise SIGPIPE. Given a
// `give_up_fd`, a write that has to wait for room gives up with the error
// "terminating" once that descriptor reads readable; a write that finds room
// goes ahead whatever it reads.
class SocketStream {
public:
    explicit SocketStream(int fd, int give_up_fd = -1) : fd_(fd), give_up_fd_(give_up_fd) {}

    // Reads up to buf.size() bytes; 0 means end of stream.
    Result<size_t> read_some(std::span<uint8_t> buf);

    // Writes up to buf.size() bytes; returns how many were taken (at least 1 for
    // a non-empty buffer).
    Result<size_t> write_some(std::span<const uint8_t> buf);

private:
    int fd_;
    int give_up_fd_;
};

}  // namespace ipc
