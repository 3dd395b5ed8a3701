#pragma once

// A loopback TCP server that answers each command line by a script, for the
// replies a real daemon cannot be made to give: error codes, malformed or
// invalid text, endless or trickled replies, silence, early close. It numbers
// its connections from 1 in the order it accepts them and records every
// command line with its connection.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_tcp.h"

namespace test_support {

class ScriptedLineServer {
public:
    // What the server does with one command line.
    struct Reply {
        enum class Kind {
            Line,     // sends `text` and a newline
            Close,    // closes the connection
            Silence,  // sends nothing and keeps reading
            Endless,  // sends bytes without a newline until the peer goes
            Trickle,  // sends `text` and a newline one byte every 100 ms
            Late,     // sends `text` and a newline after 400 ms
        };
        Kind kind = Kind::Line;
        std::string text;
    };
    static Reply line(std::string text) { return {Reply::Kind::Line, std::move(text)}; }
    static Reply close() { return {Reply::Kind::Close, {}}; }
    static Reply silence() { return {Reply::Kind::Silence, {}}; }
    static Reply endless() { return {Reply::Kind::Endless, {}}; }
    static Reply trickle(std::string text) { return {Reply::Kind::Trickle, std::move(text)}; }
    static Reply late(std::string text) { return {Reply::Kind::Late, std::move(text)}; }

    // Called on the connection's own thread, with the connection's number and
    // the command line without its newline.
    using Script = std::function<Reply(int connection, const std::string& command)>;

    struct Command {
        int connection;
        std::string text;
        bool operator==(const Command&) const = default;
    };

    struct Options {
        int backlog = 16;
        // Connections accepted at most; later ones stay queued in the backlog.
        int accept_limit = std::numeric_limits<int>::max();
        bool ipv6 = false;
    };

    explicit ScriptedLineServer(Script script) : ScriptedLineServer(std::move(script), Options{}) {}
    ScriptedLineServer(Script script, Options options)
        : script_(std::move(script)), options_(options) {
        listener_ = bind_loopback(0, options_.backlog, options_.ipv6);
        if (!listener_.valid()) throw std::runtime_error("scripted server: cannot listen");
        port_ = port_of(listener_.get());
        int wake[2];
        if (::pipe2(wake, O_CLOEXEC) != 0) throw std::runtime_error("scripted server: pipe");
        wake_read_ = ipc::UniqueFd(wake[0]);
        wake_write_ = ipc::UniqueFd(wake[1]);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ScriptedLineServer(const ScriptedLineServer&) = delete;
    ScriptedLineServer& operator=(const ScriptedLineServer&) = delete;

    ~ScriptedLineServer() {
        stopping_ = true;
        char byte = 0;
        (void)!::write(wake_write_.get(), &byte, 1);
        acceptor_.join();
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> guard(lock_);
            threads.swap(threads_);
        }
        for (auto& thread : threads) thread.join();
    }

    uint16_t port() const { return port_; }
    // "127.0.0.1:{port}" (or "[::1]:{port}").
    std::string address() const {
        return (options_.ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
    }

    std::vector<Command> commands() const {
        std::lock_guard<std::mutex> guard(lock_);
        return commands_;
    }
    int connections() const {
        std::lock_guard<std::mutex> guard(lock_);
        return accepted_;
    }
    // Connections accepted and not yet closed by either side.
    int open_connections() const {
        std::lock_guard<std::mutex> guard(lock_);
        return open_;
    }

    // Waits up to `timeout` until `done(commands)` holds; returns whether it did.
    template <class Predicate>
    bool wait_until(Predicate done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, timeout, [&] { return done(commands_); });
    }
    // Waits until every accepted connection has closed.
    bool wait_all_closed(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, timeout, [&] { return open_ == 0; });
    }

private:
    void accept_loop() {
        pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
        int accepted = 0;
        while (!stopping_) {
            fds[0].fd = accepted < options_.accept_limit ? listener_.get() : -1;
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            if (fds[0].revents == 0) continue;
            ipc::UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!fd.valid()) continue;
            ++accepted;
            std::lock_guard<std::mutex> guard(lock_);
            const int number = ++accepted_;
            ++open_;
            threads_.emplace_back(
                [this, number, fd = std::make_shared<ipc::UniqueFd>(std::move(fd))] {
                    serve(number, *fd);
                });
        }
    }

    void serve(int number, ipc::UniqueFd& fd) {
        std::string pending;
        bool open = true;
        while (open && !stopping_) {
            pollfd fds[2] = {{fd.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) break;
            char buf[4096];
            const ssize_t got = ::recv(fd.get(), buf, sizeof buf, 0);
            if (got <= 0) break;
            pending.append(buf, static_cast<size_t>(got));
            for (size_t end; open && (end = pending.find('\n')) != std::string::npos;) {
                std::string command = pending.substr(0, end);
                pending.erase(0, end + 1);
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    commands_.push_back({number, command});
                }
                changed_.notify_all();
                open = act(fd.get(), script_(number, command));
            }
        }
        fd.reset();
        {
            std::lock_guard<std::mutex> guard(lock_);
            --open_;
        }
        changed_.notify_all();
    }

    // Carries out `reply`; false when the connection is to close.
    bool act(int fd, const Reply& reply) {
        // Never blocks past the server's end: a peer that stops reading
        // leaves the send waiting on the stop flag only.
        const auto send_all = [this, fd](std::string_view bytes) {
            while (!bytes.empty()) {
                if (stopping_) return false;
                pollfd writable{fd, POLLOUT, 0};
                if (::poll(&writable, 1, 100) <= 0) continue;
                const ssize_t sent =
                    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (sent <= 0) return false;
                bytes.remove_prefix(static_cast<size_t>(sent));
            }
            return true;
        };
        switch (reply.kind) {
            case Reply::Kind::Line:
                return send_all(reply.text + "\n");
            case Reply::Kind::Close:
                return false;
            case Reply::Kind::Silence:
                return true;
            case Reply::Kind::Endless: {
                const std::string chunk(4096, 'x');
                while (!stopping_ && send_all(chunk)) {
                }
                return false;
            }
            case Reply::Kind::Trickle:
                for (char c : reply.text + "\n") {
                    if (stopping_ || !send_all(std::string_view(&c, 1))) return false;
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                return true;
            case Reply::Kind::Late:
                for (int waited = 0; waited < 400; waited += 10) {
                    if (stopping_) return false;
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                return send_all(reply.text + "\n");
        }
        return false;
    }

    Script script_;
    Options options_;
    ipc::UniqueFd listener_;
    uint16_t port_ = 0;
    ipc::UniqueFd wake_read_;
    ipc::UniqueFd wake_write_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Command> commands_;     // guarded by lock_
    std::vector<std::thread> threads_;  // guarded by lock_
    int accepted_ = 0;                  // guarded by lock_
    int open_ = 0;                      // guarded by lock_
};

}  // namespace test_support
