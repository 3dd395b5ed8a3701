#include "ipc/server.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "invariant.h"
#include "ipc/reader.h"
#include "version.h"

namespace ipc {

namespace {

// A backlog of -1 is clamped by the kernel to its maximum (somaxconn).
constexpr int kLargestBacklog = -1;

// How often a waiting accept asks whether to give up.
constexpr int kGiveUpSliceMs = 100;

void reader_thread_main(UniqueFd read_side, InboundSender inbound) {
    pthread_setname_np(pthread_self(), "ipc-reader");
    run_reader(std::move(read_side), std::move(inbound));
}

}  // namespace

Result<IpcServer> IpcServer::bind(const std::string& path) {
    sockaddr_un address{};
    // An empty path would autobind to an abstract address no parent can name.
    if (path.empty()) return make_error("socket path is empty");
    if (path.find('\0') != std::string::npos) return make_error("socket path contains a NUL byte");
    if (path.size() >= sizeof(address.sun_path)) {
        return make_error("socket path too long: {} bytes, at most {}", path.size(),
                          sizeof(address.sun_path) - 1);
    }

    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return os_error(errno);

    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return os_error(errno);
    }
    if (::listen(socket.get(), kLargestBacklog) != 0) return os_error(errno);
    return IpcServer(path, std::move(socket));
}

IpcServer::IpcServer(std::string path, UniqueFd listener)
    : path_(std::move(path)), listener_(std::move(listener)) {}

IpcServer& IpcServer::operator=(IpcServer&& other) noexcept {
    if (this != &other) {
        teardown();
        path_ = std::move(other.path_);
        listener_ = std::move(other.listener_);
        accepted_ = other.accepted_;
    }
    return *this;
}

IpcServer::~IpcServer() {
    teardown();
}

void IpcServer::close_leaving_file() {
    listener_.reset();
}

void IpcServer::teardown() {
    if (!listener_.valid()) return;
    ::unlink(path_.c_str());
    listener_.reset();
}

Result<IpcConnection> IpcServer::accept(const std::function<bool()>& give_up) {
    if (accepted_) return make_error("the connection was already accepted");
    int fd = -1;
    for (;;) {
        if (give_up && give_up()) return make_error("accept abandoned");
        pollfd waiting{listener_.get(), POLLIN, 0};
        const int ready = ::poll(&waiting, 1, kGiveUpSliceMs);
        if (ready < 0 && errno != EINTR) return os_error(errno);
        if (ready <= 0) continue;
        fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) break;
        if (errno != EINTR) return os_error(errno);
    }
    accepted_ = true;
    return finish_accept(UniqueFd(fd));
}

Result<IpcConnection> IpcServer::finish_accept(UniqueFd connection) {
    UniqueFd read_side(::fcntl(connection.get(), F_DUPFD_CLOEXEC, 0));
    if (!read_side.valid()) return os_error(errno);

    IpcHandle handle(std::move(connection));
    proto::IpcMessage greeting;
    greeting.mutable_modem_ready()->set_version(quillmar_modem::full_version());
    greeting.mutable_modem_ready()->set_pid(static_cast<uint32_t>(::getpid()));
    if (auto sent = handle.send(greeting); !sent) return sent.error();

    auto [sender, receiver] = make_inbound_queue();
    try {
        std::thread(reader_thread_main, std::move(read_side), std::move(sender)).detach();
    } catch (const std::exception&) {
        // No thread (no resources, or no memory for its start-up): fatal. The
        // unwinding reaches the process entry, and this server's teardown
        // removes the socket file on the way.
        invariant::broken("failed to spawn ipc reader thread");
    }
    return IpcConnection{std::move(receiver), std::move(handle)};
}

}  // namespace ipc
