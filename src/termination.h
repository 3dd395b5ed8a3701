#pragma once

// Termination signals of the modem process. SIGTERM, SIGINT and SIGHUP do not
// end the process where it stands: the first of them is only noted, and the
// main loop ends in order at its next turn (every transmission in hand runs to
// its unkey, the socket file is removed); the process then raises the signal
// again, so its parent sees the same wait status as for the default action.
// The first signal restores the default action of all three, so a second one
// ends the process at once.

#include <string>

namespace termination {

// Installs the handlers (async-signal-safe: they store the signal number and
// restore the default actions). Call once, on the main thread.
void install();

// The signal number noted by the handlers, or 0 while none has come.
int received();

// "SIGTERM", "SIGINT", "SIGHUP", or "signal {n}" for any other number.
std::string name(int signal_number);

// Restores the default action of `signal_number` and raises it. Returns only
// if the signal did not end the process.
void raise_again(int signal_number);

}  // namespace termination
