#pragma once

// The parent's side of a modem run inside a test: a real server bound in a
// scratch directory, the test's client connected to it, and the accepted
// connection (the greeting already read) for the Modem under test. Reads wait
// at most 10 s, so a fault fails the test instead of hanging it.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "ipc/framing.h"
#include "ipc/server.h"
#include "ipc/socket_stream.h"
#include "support/scratch_dir.h"

namespace test_support {

class TestParent {
public:
    TestParent() {
        auto bound = ipc::IpcServer::bind(dir_.file("modem.sock"));
        if (!bound) throw std::runtime_error("bind: " + bound.error_text());
        server_.emplace(std::move(*bound));

        client_ = ipc::UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        timeval timeout{10, 0};
        ::setsockopt(client_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        server_->path().copy(address.sun_path, sizeof(address.sun_path) - 1);
        if (::connect(client_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0) {
            throw std::runtime_error("connect failed");
        }
        auto accepted = server_->accept();
        if (!accepted) throw std::runtime_error("accept: " + accepted.error_text());
        connection_.emplace(std::move(*accepted));
        auto greeting = read();
        if (!greeting || !greeting->has_modem_ready()) throw std::runtime_error("no greeting");
    }

    // The accepted connection, for the Modem; once.
    ipc::IpcConnection take_connection() {
        ipc::IpcConnection taken = std::move(*connection_);
        connection_.reset();
        return taken;
    }

    void send(const ipc::proto::IpcMessage& message) {
        ipc::SocketStream stream(client_.get());
        if (!framing::write_frame(stream, message)) throw std::runtime_error("parent send failed");
    }

    void send_raw(std::span<const uint8_t> bytes) {
        ipc::SocketStream stream(client_.get());
        if (!framing::write_all(stream, bytes)) throw std::runtime_error("parent send failed");
    }

    // The next message; nothing at end of stream (or after 10 s).
    std::optional<ipc::proto::IpcMessage> read() {
        ipc::SocketStream stream(client_.get());
        auto frame = framing::read_frame(stream);
        if (!frame || !frame->has_value()) return std::nullopt;
        return std::move(**frame);
    }

    // Every message the modem has written so far: whatever a call of the
    // modem wrote is complete in the socket once the call has returned.
    std::vector<ipc::proto::IpcMessage> available() {
        std::vector<ipc::proto::IpcMessage> out;
        for (;;) {
            pollfd ready{client_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 0) != 1 || (ready.revents & POLLIN) == 0) return out;
            auto message = read();
            if (!message) return out;
            out.push_back(std::move(*message));
        }
    }

    // Every message up to the end of the stream (the modem's writer released).
    std::vector<ipc::proto::IpcMessage> read_to_end() {
        std::vector<ipc::proto::IpcMessage> out;
        while (auto message = read()) out.push_back(std::move(*message));
        return out;
    }

    // Closes the parent's side: the modem's reader sees the end of stream.
    void close() { client_.reset(); }

private:
    ScratchDir dir_;
    std::optional<ipc::IpcServer> server_;
    ipc::UniqueFd client_;
    std::optional<ipc::IpcConnection> connection_;
};

}  // namespace test_support
