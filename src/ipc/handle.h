#pragma once

// The writing side of the parent connection, shared by every thread that sends.

#include <memory>
#include <mutex>

#include "ipc/proto.h"
#include "ipc/socket_stream.h"
#include "result.h"

namespace ipc {

// A shared handle to the connected socket behind one mutex. Copies are cheap
// and share the socket and the lock; the socket closes when the last copy goes.
// Each send writes one whole frame under the lock, so frames from different
// threads never interleave. Sends never raise SIGPIPE; a vanished parent shows
// as a failed send. A send blocks while the parent reads slowly, unless the
// give-up descriptor has become readable (the process is ending).
class IpcHandle {
public:
    // Takes ownership of the connected socket `stream`.
    explicit IpcHandle(UniqueFd stream);

    // Writes `message` as one frame. Nothing is retried or buffered; after an
    // I/O error the handle stays usable (the peer may hold a partial frame).
    // A writer left broken by a holder that failed part-way is not an I/O
    // error but a broken invariant (invariant::broken), fatal for the thread
    // that meets it.
    Status send(const proto::IpcMessage& message) const;

    // Shuts down the write direction: the parent reads end of stream while the
    // read direction stays open. Later sends fail. A broken writer is a broken
    // invariant, as for send.
    Status shutdown_write() const;

    // From now on a send that has to wait for room in the socket gives up with
    // the error "terminating" once `fd` reads readable (termination::wake_fd);
    // -1 waits as long as it takes. The caller keeps `fd` open.
    void give_up_when_readable(int fd) const;

    // Leaves the writer broken, as a holder that fails part-way through a
    // frame does; for the tests of the fatal path.
    void mark_broken() const;

private:
    struct Stream {
        UniqueFd fd;
        std::mutex lock;
        int give_up_fd = -1;
        // Set when a holder of the lock failed part-way; every later use fails.
        bool broken = false;
    };

    std::shared_ptr<Stream> stream_;
};

}  // namespace ipc
