#pragma once

// Termination signals of the modem process: every signal whose default action
// ends the process and that can be caught (SIGPIPE and SIGXFSZ are ignored
// from the start instead). None ends the process where it stands. The first
// is noted: the main loop ends at its next turn, a write blocked on the parent
// gives up, and the transmission in hand plays on for a bounded time before it
// is cut. A second one asks for that cut at once; later ones change nothing.
// After the teardown (every PTT driver released, the socket file removed) the
// process raises the first signal again, so its parent sees the same wait
// status as for the default action.

#include <array>
#include <csignal>
#include <string>

namespace termination {

inline constexpr std::array<int, 11> kSignals = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                                                 SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                                                 SIGPROF, SIGXCPU, SIGPOLL};

// Installs the handlers of kSignals (async-signal-safe: they note the signal
// and make wake_fd() readable). Call once, on the main thread, before any
// other thread starts. Other handlers of the process (the crash handler) are
// installed beside these, by their own module.
void install();

// The first signal noted, or 0 while none has come.
int received();

// True once a second termination signal has come: the transmission in hand is
// cut at once.
bool cut_requested();

// A descriptor that reads readable from the first signal on (it is never
// drained), for waits that must give up then; -1 before install() or if it
// could not be made.
int wake_fd();

// "SIGTERM", "SIGQUIT", ... for the signals above, "signal {n}" for any other.
std::string name(int signal_number);

// Restores the default action of `signal_number` and raises it. Returns only
// if the signal did not end the process.
void raise_again(int signal_number);

}  // namespace termination
