#include "socket_mode.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include <fmt/format.h>

#include "audio/soundcard_stream.h"
#include "ipc/server.h"
#include "ipc/socket_stream.h"
#include "modem/modem.h"
#include "quillmar_modem.h"
#include "termination.h"

namespace quillmar_modem {

namespace {

using soundcard::log_to_stderr;

// The readiness signal: one newline on standard output, flushed.
Status signal_readiness() {
    if (std::fputc('\n', stdout) == EOF || std::fflush(stdout) != 0) {
        return ipc::os_error(errno);
    }
    return Status::success();
}

void log_termination(int signal_number) {
    log_to_stderr(
        fmt::format("quillmar-modem: {} received, exiting", termination::name(signal_number)));
}

// What is at the socket path before the bind.
enum class PathState {
    Free,       // nothing there, or a stale socket now removed: the bind may go ahead
    Kept,       // a socket whose state cannot be told: left for the bind to report
    NotSocket,  // a file of another kind (symbolic links included): refused
    InUse,      // a socket that takes connections: another process serves it
};

// Tries a connection to the socket at `path`. Only a refusal proves the socket
// stale; a connection taken, or a full backlog (EAGAIN), shows a listener.
PathState probe_socket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos) {
        return PathState::Kept;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return PathState::Kept;
    const int connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int err = connected == 0 ? 0 : errno;
    ::close(fd);
    if (err == 0 || err == EAGAIN || err == EINPROGRESS) return PathState::InUse;
    if (err == ECONNREFUSED) {
        ::unlink(path.c_str());
        return PathState::Free;
    }
    if (err == ENOENT) return PathState::Free;  // gone meanwhile
    return PathState::Kept;
}

// Clears the way for the bind without destroying anything that may matter: a
// stale socket is removed, anything else stays where it is.
PathState prepare_socket_path(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return PathState::Free;  // the bind reports the rest
    if (!S_ISSOCK(st.st_mode)) return PathState::NotSocket;
    return probe_socket(path);
}

// Everything from the bind to the end of the loop. The server's teardown at
// the end of this scope removes the socket file, on every way out after the
// readiness byte is out (a broken invariant's unwinding included).
int serve(const std::string& socket_path) {
    switch (prepare_socket_path(socket_path)) {
        case PathState::Free:
        case PathState::Kept:
            break;
        case PathState::NotSocket:
            log_to_stderr(
                fmt::format("quillmar-modem: bind: {} exists and is not a socket", socket_path));
            return kExitFailure;
        case PathState::InUse:
            log_to_stderr(fmt::format("quillmar-modem: bind: {} is in use by another process",
                                      socket_path));
            return kExitFailure;
    }
    Result<ipc::IpcServer> server = ipc::IpcServer::bind(socket_path);
    if (!server) {
        log_to_stderr(fmt::format("quillmar-modem: bind: {}", server.error_text()));
        return kExitFailure;
    }
    if (Status ready = signal_readiness(); !ready) {
        log_to_stderr(fmt::format("quillmar-modem: bind: {}", ready.error_text()));
        server->close_leaving_file();
        return kExitFailure;
    }

    Result<ipc::IpcConnection> connection =
        server->accept([] { return termination::received() != 0; });
    if (!connection) {
        if (const int signal_number = termination::received(); signal_number != 0) {
            log_termination(signal_number);
            return kExitSuccess;
        }
        log_to_stderr(fmt::format("quillmar-modem: accept failed: {}", connection.error_text()));
        return kExitFailure;
    }

    // A termination signal ends a write blocked on a parent that stopped
    // reading, so the loop can end.
    connection->handle.give_up_when_readable(termination::wake_fd());

    Result<std::unique_ptr<modem::Modem>> modem =
        modem::Modem::create(std::move(connection->handle), std::move(connection->inbound));
    if (!modem) {
        log_to_stderr(fmt::format("quillmar-modem: init failed: {}", modem.error_text()));
        return kExitFailure;
    }
    modem::Modem::run(std::move(*modem));
    return kExitSuccess;
}

}  // namespace

int run_socket_mode(const std::string& socket_path) {
    termination::install();
    const int status = serve(socket_path);
    if (const int signal_number = termination::received(); signal_number != 0) {
        termination::raise_again(signal_number);
    }
    return status;
}

}  // namespace quillmar_modem
