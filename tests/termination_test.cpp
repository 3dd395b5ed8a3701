#include "termination.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

namespace {

// What a child that took the signal found, as its exit status.
enum Finding {
    kFirstNotNoted = 10,
    kCutAtTheFirst,
    kNotWoken,
    kSecondDidNotCut,
    kThirdChangedSomething,
    kRaiseAgainReturned,
};

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return fd >= 0 && ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// In a child of its own: the first signal is noted and wakes, the second asks
// for the cut, a third (of another termination signal) changes nothing, and
// raising the first again ends the child by it.
[[noreturn]] void take_signals(int signal_number) {
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    termination::install();
    std::raise(signal_number);
    if (termination::received() != signal_number) _exit(kFirstNotNoted);
    if (termination::cut_requested()) _exit(kCutAtTheFirst);
    if (!readable(termination::wake_fd())) _exit(kNotWoken);
    std::raise(signal_number);
    if (!termination::cut_requested()) _exit(kSecondDidNotCut);
    std::raise(signal_number == SIGTERM ? SIGINT : SIGTERM);
    if (termination::received() != signal_number || !termination::cut_requested()) {
        _exit(kThirdChangedSomething);
    }
    termination::raise_again(signal_number);
    _exit(kRaiseAgainReturned);
}

TEST(Termination, EachSignalIsNotedThenCutsThenChangesNothingAndEndsTheProcessWhenRaisedAgain) {
    for (int signal_number : termination::kSignals) {
        SCOPED_TRACE(termination::name(signal_number));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) take_signals(signal_number);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "exited with finding " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), signal_number);
    }
}

}  // namespace
