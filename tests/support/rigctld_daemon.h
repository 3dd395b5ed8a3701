#pragma once

// The real rig-control daemon as a test peer: Debian's rigctld with its dummy
// rig (-m 1) on a free loopback port, PTT kept by the rig (-P RIG). It can be
// killed, stopped, continued and restarted on the same port; the destructor
// kills and reaps it. Its output goes to /dev/null, so it never mixes with a
// test's standard-error capture.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_tcp.h"

extern char** environ;

namespace test_support {

class RigctldDaemon {
public:
    static constexpr const char* kProgram = "/usr/bin/rigctld";

    // Started on a free port and accepting connections.
    RigctldDaemon() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            port_ = free_loopback_port();
            if (start()) return;  // otherwise the port was taken meanwhile
        }
        throw std::runtime_error("rigctld did not start on any free port");
    }
    RigctldDaemon(const RigctldDaemon&) = delete;
    RigctldDaemon& operator=(const RigctldDaemon&) = delete;
    ~RigctldDaemon() { kill(SIGKILL); }

    uint16_t port() const { return port_; }
    // "127.0.0.1:{port}", as a driver is configured.
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    // Sends `signal` and reaps the daemon (it exits at once on SIGTERM and SIGKILL).
    void kill(int signal = SIGTERM) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        if (signal != SIGKILL) ::kill(pid_, SIGCONT);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    // The hung daemon: stopped, it neither accepts nor answers.
    void stop() { ::kill(pid_, SIGSTOP); }
    // Runs again, and answers what queued up meanwhile.
    void cont() { ::kill(pid_, SIGCONT); }

    // A new daemon on the same port after the old one was killed.
    void restart() {
        kill(SIGKILL);
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (start()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        throw std::runtime_error("rigctld did not restart on port " + std::to_string(port_));
    }

private:
    // Spawns the daemon on port_ and waits until a connect succeeds; false
    // when it exits first (the port was taken).
    bool start() {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args = {
            kProgram, "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", std::to_string(port_)};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, kProgram, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) throw std::runtime_error("cannot start rigctld");
        pid_ = pid;

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            if (connect_loopback(port_, std::chrono::milliseconds(200)).valid()) {
                // Whoever accepted must be this daemon, not a service that
                // took the port first.
                const std::string state = LineClient(port_).command("t\n");
                if ((state == "0" || state == "1") && ::waitpid(pid_, &status, WNOHANG) == 0) {
                    return true;
                }
                kill(SIGKILL);
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        kill(SIGKILL);
        throw std::runtime_error("rigctld never accepted a connection");
    }

    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace test_support
