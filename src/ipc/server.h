#pragma once

// The Unix-domain socket server of the parent connection: it owns the listening
// socket and its file, and accepts exactly one connection.

#include <functional>
#include <string>

#include "ipc/handle.h"
#include "ipc/inbound.h"
#include "ipc/inbound_queue.h"
#include "ipc/socket_stream.h"
#include "result.h"

namespace ipc {

// What accepting the parent gives: the main loop's end of the inbound queue and
// the shared writer. The reader thread runs detached and owns its own side.
struct IpcConnection {
    InboundReceiver inbound;
    IpcHandle handle;
};

class IpcServer {
public:
    // Creates the socket, binds it to `path` (creating the socket file) and
    // listens with the largest backlog the system allows. The caller has removed
    // any file at `path` first. An empty path, a path of 108 bytes or more and a
    // path holding a NUL byte are refused before anything is created; on a
    // later failure the socket is closed and a file the bind created stays.
    static Result<IpcServer> bind(const std::string& path);

    // Waits for the one connection, sends the ModemReady greeting (version
    // text, process id) as its first frame, then starts the detached
    // "ipc-reader" thread. Never accepts a second connection: later clients wait
    // unserved until the teardown. If the thread cannot be started the process
    // ends with status 101 after removing the socket file. While it waits,
    // `give_up` (when given) is asked at least every 100 ms; once it returns
    // true the wait ends with the error "accept abandoned".
    Result<IpcConnection> accept(const std::function<bool()>& give_up = {});

    const std::string& path() const { return path_; }

    // Closes the listening socket and leaves the socket file in place (for a
    // start-up that fails before the parent was told to connect). The teardown
    // then does nothing.
    void close_leaving_file();

    IpcServer(IpcServer&& other) noexcept = default;
    IpcServer& operator=(IpcServer&& other) noexcept;
    IpcServer(const IpcServer&) = delete;
    IpcServer& operator=(const IpcServer&) = delete;

    // Teardown: removes the socket file (ignoring errors), then closes the
    // listening socket.
    ~IpcServer();

private:
    IpcServer(std::string path, UniqueFd listener);

    // The greeting and the reader for an accepted connection.
    Result<IpcConnection> finish_accept(UniqueFd connection);
    void teardown();

    std::string path_;
    UniqueFd listener_;
    bool accepted_ = false;
};

}  // namespace ipc
