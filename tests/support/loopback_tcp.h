#pragma once

// TCP on the loopback interface for tests: listeners on ports the kernel
// picks, bounded connects, a line client, and a look at the connects still in
// progress. Tests never use fixed ports: other test runs share the machine.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ipc/socket_stream.h"

namespace test_support {

// A TCP socket bound to `port` on 127.0.0.1 (or ::1 when `ipv6`), 0 picking a
// free one; listening with `backlog` unless `backlog` is negative. Invalid on
// failure.
inline ipc::UniqueFd bind_loopback(uint16_t port, int backlog, bool ipv6 = false) {
    ipc::UniqueFd fd(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fd;
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int bound;
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        address.sin6_port = htons(port);
        bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    if (bound != 0 || (backlog >= 0 && ::listen(fd.get(), backlog) != 0)) return ipc::UniqueFd();
    return fd;
}

// The local port of a bound socket.
inline uint16_t port_of(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// A port on 127.0.0.1 that was free a moment ago (a program to be started
// binds it; callers retry with another when it was taken meanwhile).
inline uint16_t free_loopback_port() {
    ipc::UniqueFd probe = bind_loopback(0, -1);
    if (!probe.valid()) throw std::runtime_error("cannot bind a loopback port");
    return port_of(probe.get());
}

// A blocking connection to 127.0.0.1:`port`, given up after `timeout`.
inline ipc::UniqueFd connect_loopback(uint16_t port, std::chrono::milliseconds timeout) {
    ipc::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return fd;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return ipc::UniqueFd();
        pollfd watched{fd.get(), POLLOUT, 0};
        if (::poll(&watched, 1, static_cast<int>(timeout.count())) != 1) return ipc::UniqueFd();
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return ipc::UniqueFd();
        }
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// True when a connect from this machine to 127.0.0.1:`port` is still waiting
// for its handshake (SYN_SENT in /proc/net/tcp).
inline bool connect_in_progress_to(uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the header
    char remote[16];
    std::snprintf(remote, sizeof remote, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        // "  sl  local_address rem_address   st ..."
        char local_field[64], remote_field[64], state[8];
        if (std::sscanf(line.c_str(), "%*s %63s %63s %7s", local_field, remote_field, state) != 3) {
            continue;
        }
        if (std::string_view(remote_field) == remote && std::string_view(state) == "02") {
            return true;
        }
    }
    return false;
}

// One side of a line protocol: sends a command, reads one reply line.
class LineClient {
public:
    // Connected to 127.0.0.1:`port`, or not (see connected()).
    explicit LineClient(uint16_t port) : fd_(connect_loopback(port, std::chrono::seconds(5))) {}

    bool connected() const { return fd_.valid(); }

    // Sends `command` and returns the reply line without its newline; empty
    // when the peer closed, failed or stayed silent for `timeout`.
    std::string command(std::string_view command,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        if (!fd_.valid()) return {};
        if (::send(fd_.get(), command.data(), command.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(command.size())) {
            return {};
        }
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd watched{fd_.get(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&watched, 1, static_cast<int>(left.count())) != 1) {
                return {};
            }
            char c;
            if (::recv(fd_.get(), &c, 1, 0) != 1) return {};
            if (c == '\n') return line;
            line.push_back(c);
        }
    }

private:
    ipc::UniqueFd fd_;
};

}  // namespace test_support
