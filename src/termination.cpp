#include "termination.h"

#include <atomic>
#include <csignal>

#include <fmt/format.h>

namespace termination {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<int> noted{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free cell");

void set_default_actions() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int s : kSignals) sigaction(s, &action, nullptr);
}

void note(int signal_number) {
    int none = 0;
    noted.compare_exchange_strong(none, signal_number);
    set_default_actions();
}

}  // namespace

void install() {
    struct sigaction action {};
    action.sa_handler = note;
    // Blocking calls are interrupted (no SA_RESTART), so waits notice the flag.
    sigemptyset(&action.sa_mask);
    for (int s : kSignals) sigaddset(&action.sa_mask, s);
    for (int s : kSignals) sigaction(s, &action, nullptr);
}

int received() {
    return noted.load();
}

std::string name(int signal_number) {
    switch (signal_number) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return fmt::format("signal {}", signal_number);
    }
}

void raise_again(int signal_number) {
    std::signal(signal_number, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    std::raise(signal_number);
}

}  // namespace termination
