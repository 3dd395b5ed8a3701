#pragma once

// The modem process proper: the socket bring-up, the one parent connection,
// the Modem's main loop, and the way out.

#include <string>

namespace quillmar_modem {

// Removes a stale socket at `socket_path` (one that refuses a connection) and
// refuses, before touching anything, a file of another kind or a socket that
// another process serves; then binds and listens there, writes the
// readiness byte "\n" to standard output, accepts the parent, builds the Modem
// and runs its loop until the connection ends; then removes the socket file.
// Returns 0 after the loop and 1 for a start-up failure, each reported on
// standard error. After a termination signal the modem is torn down as after
// a peer close and the signal is raised again, so the process ends by it. A
// broken invariant unwinds out of here once the modem is torn down and the
// socket file removed.
int run_socket_mode(const std::string& socket_path);

}  // namespace quillmar_modem
