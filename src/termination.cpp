#include "termination.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <fmt/format.h>

namespace termination {

namespace {

std::atomic<int> noted{0};
std::atomic<bool> cut{false};
std::atomic<int> wake_read{-1};
std::atomic<int> wake_write{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free cells");
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs lock-free cells");

// Async-signal-safe: atomics on lock-free cells and one write(2).
void note(int signal_number) {
    const int saved_errno = errno;
    int none = 0;
    if (noted.compare_exchange_strong(none, signal_number)) {
        // The pipe is non-blocking; its one byte is never read.
        const int fd = wake_write.load();
        if (fd >= 0) {
            const char byte = 1;
            const ssize_t ignored = ::write(fd, &byte, 1);
            (void)ignored;
        }
    } else {
        cut.store(true);
    }
    errno = saved_errno;
}

}  // namespace

void install() {
    if (wake_read.load() < 0) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            wake_read.store(fds[0]);
            wake_write.store(fds[1]);
        }
    }
    struct sigaction action {};
    action.sa_handler = note;
    // Blocking calls are interrupted (no SA_RESTART), so waits notice the flag;
    // the handler never runs nested in itself.
    sigemptyset(&action.sa_mask);
    for (int s : kSignals) sigaddset(&action.sa_mask, s);
    for (int s : kSignals) sigaction(s, &action, nullptr);
}

int received() {
    return noted.load();
}

bool cut_requested() {
    return cut.load();
}

int wake_fd() {
    return wake_read.load();
}

std::string name(int signal_number) {
    switch (signal_number) {
        case SIGHUP:
            return "SIGHUP";
        case SIGINT:
            return "SIGINT";
        case SIGQUIT:
            return "SIGQUIT";
        case SIGTERM:
            return "SIGTERM";
        case SIGUSR1:
            return "SIGUSR1";
        case SIGUSR2:
            return "SIGUSR2";
        case SIGALRM:
            return "SIGALRM";
        case SIGVTALRM:
            return "SIGVTALRM";
        case SIGPROF:
            return "SIGPROF";
        case SIGXCPU:
            return "SIGXCPU";
        case SIGPOLL:
            return "SIGPOLL";
        default:
            return fmt::format("signal {}", signal_number);
    }
}

void raise_again(int signal_number) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    std::raise(signal_number);
}

}  // namespace termination
