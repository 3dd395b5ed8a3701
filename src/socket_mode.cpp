#include "socket_mode.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// Everything from the bind to the end of the loop. The server's teardown at
// the end of this scope removes the socket file, on every way out after the
// readiness byte is out (a broken invariant's unwinding included).
int serve(const std::string& socket_path) {
    ::unlink(socket_path.c_str());
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
