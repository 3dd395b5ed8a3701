#pragma once

// Captures this process's standard error for a test: while the object lives,
// descriptor 2 is a pipe whose lines a reader thread collects; the old
// descriptor comes back when it ends. Child processes started meanwhile
// inherit the pipe; their lines are collected too, and a child still holding
// it never delays the end. One capture at a time per process.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace test_support {

class StderrCapture {
public:
    using Clock = std::chrono::steady_clock;

    StderrCapture() {
        int data[2];
        int wake[2];
        if (::pipe2(data, O_CLOEXEC) != 0) throw std::runtime_error("stderr capture: pipe failed");
        if (::pipe2(wake, O_CLOEXEC) != 0) {
            ::close(data[0]);
            ::close(data[1]);
            throw std::runtime_error("stderr capture: pipe failed");
        }
        std::fflush(stderr);
        saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (saved_ < 0 || ::dup2(data[1], STDERR_FILENO) < 0) {
            for (int fd : {data[0], data[1], wake[0], wake[1], saved_}) {
                if (fd >= 0) ::close(fd);
            }
            throw std::runtime_error("stderr capture: cannot redirect descriptor 2");
        }
        ::close(data[1]);
        read_fd_ = data[0];
        wake_read_ = wake[0];
        wake_write_ = wake[1];
        reader_ = std::thread([this] { collect(); });
    }

    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    ~StderrCapture() { stop(); }

    // Gives descriptor 2 back and returns every line collected; what was
    // written before the call is all there. Later calls return the same lines.
    std::vector<std::string> stop() {
        if (reader_.joinable()) {
            std::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            char byte = 0;
            while (::write(wake_write_, &byte, 1) < 0 && errno == EINTR) {
            }
            reader_.join();
            ::close(read_fd_);
            ::close(wake_read_);
            ::close(wake_write_);
        }
        return lines();
    }

    // Every complete line written to descriptor 2 before the call, without
    // the newlines: a marker line written after them is waited for (and left
    // out), so nothing written before is still on its way.
    std::vector<std::string> flushed_lines(
        std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::fflush(stderr);
        const std::string marker = "\x01stderr-capture-sync-" + std::to_string(++syncs_);
        const std::string text = marker + "\n";
        if (::write(STDERR_FILENO, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error("stderr capture: cannot write a marker");
        }
        std::unique_lock<std::mutex> guard(lock_);
        const auto found = [&] { return std::find(lines_.begin(), lines_.end(), marker); };
        if (!changed_.wait_for(guard, timeout, [&] { return found() != lines_.end(); })) {
            throw std::runtime_error("stderr capture: marker never arrived");
        }
        lines_.erase(found());
        return lines_;
    }

    // The complete lines so far, without their newlines.
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

    // Waits until `done(lines)` holds or `deadline` passes; returns whether it held.
    template <class Predicate>
    bool wait_until(Predicate done, Clock::time_point deadline) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_until(guard, deadline, [&] { return done(lines_); });
    }

    // Waits up to `timeout` for at least `count` lines; returns the lines then.
    std::vector<std::string> wait_for_lines(
        size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        wait_until([count](const std::vector<std::string>& l) { return l.size() >= count; },
                   Clock::now() + timeout);
        return lines();
    }

    // Waits up to `timeout` for a line equal to `line`.
    bool wait_for_line(std::string_view line,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return wait_until(
            [line](const std::vector<std::string>& l) {
                return std::find(l.begin(), l.end(), line) != l.end();
            },
            Clock::now() + timeout);
    }

    // Waits up to `timeout` for a line that starts with `prefix`; returns the
    // first such line, or nothing.
    std::optional<std::string> wait_for_line_starting(
        std::string_view prefix,
        std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        std::optional<std::string> found;
        wait_until(
            [&](const std::vector<std::string>& l) {
                for (const std::string& line : l) {
                    if (std::string_view(line).starts_with(prefix)) {
                        found = line;
                        return true;
                    }
                }
                return false;
            },
            Clock::now() + timeout);
        return found;
    }

private:
    void collect() {
        pollfd fds[2] = {{read_fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents != 0 && !read_some()) return;
            if (fds[1].revents != 0) {
                // Descriptor 2 is restored: take what is left without waiting
                // for writers in other processes to close the pipe.
                ::fcntl(read_fd_, F_SETFL, O_NONBLOCK);
                while (read_some()) {
                }
                return;
            }
        }
    }

    // Reads once; false at the end of the pipe or when nothing is there.
    bool read_some() {
        char buf[4096];
        ssize_t n = ::read(read_fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) return false;
        std::lock_guard<std::mutex> guard(lock_);
        partial_.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
            lines_.push_back(partial_.substr(start, end - start));
        }
        partial_.erase(0, start);
        changed_.notify_all();
        return true;
    }

    int syncs_ = 0;
    int saved_ = -1;
    int read_fd_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::string partial_;
    std::vector<std::string> lines_;
    std::thread reader_;
};

}  // namespace test_support
