#include "tx/ptt_rigctld.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "ipc/utf8.h"

namespace ptt_rigctld {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kSafetyRetries = 3;
constexpr milliseconds kReleasePoll{20};
constexpr std::string_view kKeepaliveThreadName = "quillmar-rigctld-keepalive";
// Linux keeps 15 bytes of a thread's name.
constexpr size_t kThreadNameBytes = 15;

void log_line(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stderr);
}

bool is_ascii_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_ascii_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_ascii_space(text.back())) text.remove_suffix(1);
    return text;
}

// Each panic-unkey's own id, the value of an owed unkey.
uint64_t next_owed_id() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

// Milliseconds left until `deadline`, rounded up; 0 once it has passed.
int poll_wait_ms(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<milliseconds>(left).count();
    return static_cast<int>(std::min<int64_t>(ms, std::numeric_limits<int>::max()));
}

// Waits until `fd` has `events` or `deadline` passes (EAGAIN, as a socket
// timeout reads, or ETIMEDOUT for `timed_out`).
Status wait_for(int fd, short events, Clock::time_point deadline, int timed_out) {
    for (;;) {
        const int wait_ms = poll_wait_ms(deadline);
        if (wait_ms == 0) return ipc::os_error(timed_out);
        pollfd watched{fd, events, 0};
        const int ready = ::poll(&watched, 1, wait_ms);
        if (ready > 0) return Status::success();
        if (ready < 0 && errno != EINTR) return ipc::os_error(errno);
    }
}

// --- Addresses and connections ----------------------------------------------

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// A decimal port 0 to 65535, or nothing.
std::optional<uint16_t> parse_port(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

// `addr` split at its last colon into host (brackets of an IPv6 literal
// removed) and port, looked up by the system resolver for TCP.
Result<AddrInfoList> resolve(const std::string& addr) {
    if (addr.find('\0') != std::string::npos) return make_error("address contains a NUL byte");
    const size_t colon = addr.rfind(':');
    if (colon == std::string::npos) return make_error("invalid socket address");
    const std::optional<uint16_t> port = parse_port(std::string_view(addr).substr(colon + 1));
    if (!port) return make_error("invalid port value");
    std::string host = addr.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(*port);
    const int failed = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (failed == EAI_SYSTEM) return ipc::os_error(errno);
    if (failed != 0) return make_error("{}", ::gai_strerror(failed));
    return AddrInfoList(list);
}

// A blocking socket connected to `address`, the connect bounded by `timeout`.
Result<ipc::UniqueFd> connect_one(const addrinfo& address, milliseconds timeout) {
    ipc::UniqueFd fd(::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              address.ai_protocol));
    if (!fd.valid()) return ipc::os_error(errno);
    if (::connect(fd.get(), address.ai_addr, address.ai_addrlen) != 0) {
        // An interrupted non-blocking connect goes on in the background.
        if (errno != EINPROGRESS && errno != EINTR) return ipc::os_error(errno);
        if (Status ready = wait_for(fd.get(), POLLOUT, Clock::now() + timeout, ETIMEDOUT);
            !ready.ok()) {
            return ready.error();
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return ipc::os_error(errno);
        }
        if (error != 0) return ipc::os_error(error);
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return ipc::os_error(errno);
    }
    return fd;
}

Status set_timeout(int fd, int option, milliseconds timeout) {
    // A zero timeval would mean no timeout at all.
    const auto us = std::max<int64_t>(std::chrono::microseconds(timeout).count(), 1);
    timeval value{};
    value.tv_sec = static_cast<time_t>(us / 1'000'000);
    value.tv_usec = static_cast<suseconds_t>(us % 1'000'000);
    if (::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) {
        return ipc::os_error(errno);
    }
    return Status::success();
}

// The steps of opening a connection, each with its own error text.
enum class OpenStep : uint8_t { Resolve, Connect, Nodelay, ReadTimeout, WriteTimeout, Clone };

struct OpenFailure {
    OpenStep step;
    std::string detail;
};

struct Connection {
    ipc::UniqueFd stream;  // commands are written here
    LineReader reader;     // over a duplicate of `stream`
};

// Sets both socket timeouts of `fd` to `timeout`.
std::optional<OpenFailure> set_timeouts(int fd, milliseconds timeout) {
    if (Status set = set_timeout(fd, SO_RCVTIMEO, timeout); !set.ok()) {
        return OpenFailure{OpenStep::ReadTimeout, set.error_text()};
    }
    if (Status set = set_timeout(fd, SO_SNDTIMEO, timeout); !set.ok()) {
        return OpenFailure{OpenStep::WriteTimeout, set.error_text()};
    }
    return std::nullopt;
}

// A new connection to the daemon at `addr`: each resolved address in order
// with `connect_timeout`, then no send coalescing, read and write timeouts
// `io_timeout`, and a reader over a duplicate of the descriptor.
std::variant<Connection, OpenFailure> open_connection(const std::string& addr,
                                                      milliseconds connect_timeout,
                                                      milliseconds io_timeout) {
    Result<AddrInfoList> addresses = resolve(addr);
    if (!addresses.ok()) return OpenFailure{OpenStep::Resolve, addresses.error_text()};
    std::optional<Error> last_error;
    ipc::UniqueFd stream;
    for (const addrinfo* address = addresses->get(); address != nullptr;
         address = address->ai_next) {
        Result<ipc::UniqueFd> connected = connect_one(*address, connect_timeout);
        if (connected.ok()) {
            stream = std::move(connected).value();
            break;
        }
        last_error = connected.error();
    }
    if (!stream.valid()) {
        return OpenFailure{OpenStep::Connect,
                           last_error ? last_error->text : std::string("no addresses resolved")};
    }
    const int on = 1;
    if (::setsockopt(stream.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        return OpenFailure{OpenStep::Nodelay, ipc::os_error(errno).text};
    }
    if (auto failed = set_timeouts(stream.get(), io_timeout)) return *std::move(failed);
    ipc::UniqueFd duplicate(::fcntl(stream.get(), F_DUPFD_CLOEXEC, 0));
    if (!duplicate.valid()) return OpenFailure{OpenStep::Clone, ipc::os_error(errno).text};
    return Connection{std::move(stream), LineReader(std::move(duplicate), io_timeout)};
}

// Whose text a failed open becomes: the driver's own or its keepalive's.
enum class Opener : uint8_t { Driver, Keepalive };

// The text of a failed open, e.g. "rigctld ptt: connect '{addr}': {detail}"
// for the driver and "connect '{addr}': {detail}" for the keepalive.
Error open_error(const OpenFailure& failure, const std::string& addr, Opener opener) {
    struct Names {
        std::string_view driver;
        std::string_view keepalive;
        bool names_addr;
    };
    static constexpr Names kNames[] = {
        // in OpenStep order
        {"resolve", "resolve", true},
        {"connect", "connect", true},
        {"set nodelay", "nodelay", false},
        {"set read timeout", "set read timeout", false},
        {"set write timeout", "set write timeout", false},
        {"clone stream", "clone", false},
    };
    const Names& names = kNames[static_cast<size_t>(failure.step)];
    const bool driver = opener == Opener::Driver;
    std::string text = driver ? "rigctld ptt: " : "";
    text += driver ? names.driver : names.keepalive;
    if (names.names_addr) text += fmt::format(" '{}'", addr);
    return make_error("{}: {}", text, failure.detail);
}

// Writes all of `bytes`; the socket's write timeout bounds each call.
Status write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return ipc::os_error(errno);
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return Status::success();
}

// --- Keepalive --------------------------------------------------------------

// Waits for the next probe: keepalive_up while the link is up and no unkey is
// owed, otherwise keepalive_down; a mark raised during a long wait shortens
// it. False when the thread is to end.
bool wait_for_probe(ipc::QueueReceiver<StopSignal>& stop, const Timings& timings, bool up,
                    const LinkFlags& flags) {
    const auto start = Clock::now();
    for (;;) {
        const bool owed = flags.unkey_owed.load(std::memory_order_relaxed) != 0;
        const Clock::duration wait = up && !owed ? timings.keepalive_up : timings.keepalive_down;
        const Clock::duration waited = Clock::now() - start;
        if (waited >= wait) return true;
        Clock::duration slice = wait - waited;
        if (timings.keepalive_down > milliseconds::zero()) {
            slice = std::min<Clock::duration>(slice, timings.keepalive_down);
        }
        if (!std::holds_alternative<ipc::QueueEmpty>(stop.recv_timeout(slice))) return false;
    }
}

// One probe over the keepalive's connection, opened first if there is none:
// the state the daemon reads, '0' or '1'.
Result<char> probe(std::optional<Connection>& connection, const std::string& addr,
                   const Timings& timings) {
    if (!connection) {
        auto opened = open_connection(addr, timings.connect, timings.probe);
        if (auto* failure = std::get_if<OpenFailure>(&opened)) {
            return open_error(*failure, addr, Opener::Keepalive);
        }
        connection.emplace(std::get<Connection>(std::move(opened)));
    }
    if (Status written = write_all(connection->stream.get(), "t\n"); !written.ok()) {
        return make_error("write: {}", written.error_text());
    }
    Result<std::string> line = connection->reader.read_line();
    if (!line.ok()) return make_error("read state: {}", line.error_text());
    if (line->empty()) return make_error("peer closed connection");
    const std::string_view state = trim(*line);
    if (state == "0" || state == "1") return state.front();
    const int32_t code = parse_rprt(state);
    if (code != kMalformedReport && code != 0) return make_error("hamlib error code {}", code);
    return make_error("unexpected state line '{}'", state);
}

// Sends the owed unkey over the keepalive's connection, if one is still owed.
// When the daemon does not confirm it, the mark goes back, unless a new one
// came meanwhile.
void pay_owed_unkey(std::optional<Connection>& connection, const std::string& addr,
                    LinkFlags& flags) {
    const uint64_t owed = flags.unkey_owed.exchange(0, std::memory_order_relaxed);
    if (owed == 0) return;
    bool confirmed = false;
    if (write_all(connection->stream.get(), "T 0\n").ok()) {
        Result<std::string> line = connection->reader.read_line();
        if (line.ok() && !line->empty()) {
            confirmed = parse_rprt(*line) == 0;
        } else {
            connection.reset();
        }
    } else {
        connection.reset();
    }
    if (confirmed) {
        log_line(fmt::format("quillmar-modem: rigctld keepalive: owed unkey sent for '{}'", addr));
        return;
    }
    uint64_t none = 0;
    flags.unkey_owed.compare_exchange_strong(none, owed, std::memory_order_relaxed);
}

void keepalive_thread_main(const std::string& addr, const Timings& timings,
                           ipc::QueueReceiver<StopSignal>& stop,
                           const std::shared_ptr<LinkFlags>& flags) noexcept {
    const std::string name(kKeepaliveThreadName.substr(0, kThreadNameBytes));
    (void)pthread_setname_np(pthread_self(), name.c_str());
    // Without memory to write the line of an abnormal end, the line is lost;
    // the thread still ends alone, never the process.
    auto report_stop = [](const char* what) noexcept {
        try {
            log_line(fmt::format("quillmar-modem: rigctld keepalive stopped: {}", what));
        } catch (...) {
        }
    };
    try {
        keepalive_loop(addr, timings, stop, flags);
    } catch (const std::exception& e) {
        report_stop(e.what());
    } catch (...) {
        report_stop("unknown exception");
    }
}

}  // namespace

int32_t parse_rprt(std::string_view line) {
    std::string_view text = trim(line);
    constexpr std::string_view kPrefix = "RPRT ";
    if (!text.starts_with(kPrefix)) return kMalformedReport;
    text.remove_prefix(kPrefix.size());
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return kMalformedReport;
    // Accumulated as a magnitude; the negative range reaches one further.
    const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
    int64_t magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return kMalformedReport;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit) return kMalformedReport;
    }
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

// --- LineReader -------------------------------------------------------------

LineReader::LineReader(ipc::UniqueFd fd, milliseconds timeout)
    : fd_(std::move(fd)), timeout_(timeout), buffer_(kMaxLineBytes) {}

Result<std::string> LineReader::read_line() {
    const auto deadline = Clock::now() + timeout_;
    std::string line;
    for (;;) {
        if (begin_ < end_) {
            const char* start = buffer_.data() + begin_;
            const size_t available = end_ - begin_;
            const auto* newline = static_cast<const char*>(std::memchr(start, '\n', available));
            const size_t content =
                newline != nullptr ? static_cast<size_t>(newline - start) : available;
            if (line.size() + content >= kMaxLineBytes) {
                return make_error("line longer than {} bytes", kMaxLineBytes);
            }
            const size_t taken = newline != nullptr ? content + 1 : content;
            line.append(start, taken);
            begin_ += taken;
            if (newline != nullptr) break;
            continue;
        }
        begin_ = end_ = 0;
        if (Status ready = wait_for(fd_.get(), POLLIN, deadline, EAGAIN); !ready.ok()) {
            return ready.error();
        }
        const ssize_t got = ::recv(fd_.get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return ipc::os_error(errno);
        }
        if (got == 0) break;
        end_ = static_cast<size_t>(got);
    }
    if (!ipc::utf8::is_valid(line)) return make_error("stream did not contain valid UTF-8");
    return line;
}

// --- Keepalive --------------------------------------------------------------

void keepalive_loop(const std::string& addr, const Timings& timings,
                    ipc::QueueReceiver<StopSignal>& stop, const std::shared_ptr<LinkFlags>& flags) {
    bool up = true;  // the connect probe has just succeeded
    std::optional<Connection> connection;
    while (wait_for_probe(stop, timings, up, *flags)) {
        uint64_t owed_before = flags->unkey_owed.load(std::memory_order_relaxed);
        Result<char> state = probe(connection, addr, timings);
        if (!state.ok()) {
            if (up) {
                flags->reconnect.store(true, std::memory_order_relaxed);
                log_line(
                    fmt::format("quillmar-modem: rigctld keepalive: up \u2192 down for '{}': {}",
                                addr, state.error_text()));
                up = false;
            }
            connection.reset();
            continue;
        }
        if (!up) {
            flags->reconnect.store(false, std::memory_order_relaxed);
            log_line(
                fmt::format("quillmar-modem: rigctld keepalive: down \u2192 up for '{}'", addr));
            up = true;
        }
        if (*state == '1') {
            pay_owed_unkey(connection, addr, *flags);
        } else if (owed_before != 0) {
            // Unkeyed: the mark seen before this probe is paid; a newer one stays.
            flags->unkey_owed.compare_exchange_strong(owed_before, 0, std::memory_order_relaxed);
        }
    }
}

KeepaliveHandle::KeepaliveHandle(ipc::QueueSender<StopSignal> stop, std::optional<std::thread> join,
                                 std::shared_ptr<std::atomic<bool>> finished,
                                 milliseconds release_wait)
    : stop_(std::move(stop)),
      join_(std::move(join)),
      finished_(std::move(finished)),
      release_wait_(release_wait) {}

KeepaliveHandle::~KeepaliveHandle() {
    try {
        (void)stop_.send(StopSignal{});
    } catch (...) {
        // The stop sender's release below closes the channel, which ends the thread too.
    }
    if (!join_ || !join_->joinable()) return;
    const auto start = Clock::now();
    try {
        for (;;) {
            if (finished_->load(std::memory_order_acquire)) {
                join_->join();
                return;
            }
            if (Clock::now() - start >= release_wait_) {
                join_->detach();
                return;
            }
            std::this_thread::sleep_for(kReleasePoll);
        }
    } catch (...) {
        if (join_->joinable()) join_->detach();
    }
}

// --- RigctldPtt -------------------------------------------------------------

Result<std::unique_ptr<RigctldPtt>> RigctldPtt::connect(const std::string& addr) {
    return connect(addr, Timings{});
}

Result<std::unique_ptr<RigctldPtt>> RigctldPtt::connect(const std::string& addr,
                                                        const Timings& timings) {
    if (addr.empty()) return make_error("rigctld ptt: address is empty");
    // A failure from here on discards the client: nothing was keyed, so its
    // release sends nothing.
    std::unique_ptr<RigctldPtt> client(new RigctldPtt(addr, timings));
    if (Status opened = client->open_stream(timings.probe); !opened.ok()) return opened.error();
    if (Status written = client->write_line("t\n"); !written.ok()) return written.error();
    Result<std::string> reply = client->read_line();
    if (!reply.ok()) return reply.error();
    const std::string_view state = trim(*reply);
    if (state != "0" && state != "1") {
        const int32_t code = parse_rprt(state);
        if (code != kMalformedReport && code != 0) {
            return make_error("rigctld ptt: probe: hamlib error code {} (see `rigctl --list`)",
                              code);
        }
        return make_error("rigctld ptt: probe: expected '0' or '1', got '{}'", state);
    }
    if (client->stream_.valid()) {
        if (auto failed = set_timeouts(client->stream_.get(), timings.io)) {
            return open_error(*failed, addr, Opener::Driver);
        }
        if (client->reader_) client->reader_->set_timeout(timings.io);
    }
    if (Status unkeyed = client->set_ptt(false); !unkeyed.ok()) return unkeyed.error();
    client->spawn_keepalive();
    client->built_ = true;
    return client;
}

RigctldPtt::RigctldPtt(std::string addr, const Timings& timings)
    : addr_(std::move(addr)), timings_(timings), flags_(std::make_shared<LinkFlags>()) {}

RigctldPtt::~RigctldPtt() {
    keepalive_.reset();
    if (!built_) {
        close_stream();
        return;
    }
    try {
        (void)unkey_with_safety_retries();
    } catch (...) {
        // Only allocation can throw here; the release has nothing left to try.
    }
    close_stream();
}

Status RigctldPtt::set_ptt(bool keyed) {
    if (keyed) arm_crash_release();
    Status sent = send_ptt(keyed);
    // A reconnection may have reached another of the daemon's addresses.
    if (keyed || !sent.ok()) {
        arm_crash_release();
    } else {
        crash_.disarm();
    }
    return sent;
}

void RigctldPtt::arm_crash_release() noexcept {
    if (peer_size_ == 0) return;
    (void)crash_.arm(
        crash_unkey::Release::daemon(reinterpret_cast<const sockaddr*>(&peer_), peer_size_));
}

Status RigctldPtt::send_ptt(bool keyed) {
    flags_->unkey_owed.store(0, std::memory_order_relaxed);
    const std::string_view command = keyed ? "T 1\n" : "T 0\n";
    const auto report = [](int32_t code) -> Status {
        if (code == 0) return Status::success();
        return make_error("rigctld ptt: hamlib error code {}", code);
    };
    Result<int32_t> first = try_set_ptt_once(command);
    if (first.ok()) return report(*first);
    close_stream();
    if (Status reconnected = ensure_connected(); !reconnected.ok()) {
        return make_error("{}; reconnect: {}", first.error_text(), reconnected.error_text());
    }
    Result<int32_t> second = try_set_ptt_once(command);
    if (second.ok()) return report(*second);
    return make_error("rigctld ptt: {}", second.error_text());
}

Status RigctldPtt::unkey_with_safety_retries() {
    Status initial = set_ptt(false);
    if (initial.ok()) return initial;
    log_line(fmt::format(
        "quillmar-modem: rigctld: unkey failed (initial+reconnect): {}; starting {}-attempt "
        "safety retry at {}ms spacing",
        initial.error_text(), kSafetyRetries, timings_.retry_pause.count()));
    Error last = initial.error();
    for (int attempt = 1; attempt <= kSafetyRetries; ++attempt) {
        std::this_thread::sleep_for(timings_.retry_pause);
        close_stream();
        Status retried = set_ptt(false);
        if (retried.ok()) {
            log_line(fmt::format("quillmar-modem: rigctld: unkey recovered on safety retry {}",
                                 attempt));
            return retried;
        }
        log_line(fmt::format("quillmar-modem: rigctld: unkey safety retry {}/{} failed: {}",
                             attempt, kSafetyRetries, retried.error_text()));
        last = retried.error();
    }
    close_stream();
    flags_->unkey_owed.store(next_owed_id(), std::memory_order_relaxed);
    log_line(fmt::format(
        "quillmar-modem: rigctld: PANIC-UNKEY for '{}' \u2014 closed socket after {} safety "
        "retries; radio may still be keyed, last error: {}",
        addr_, kSafetyRetries, last.text));
    return make_error("rigctld ptt: panic-unkey, socket closed after {} retries: {}",
                      kSafetyRetries, last.text);
}

Status RigctldPtt::open_stream(milliseconds timeout) {
    auto opened = open_connection(addr_, timings_.connect, timeout);
    if (auto* failure = std::get_if<OpenFailure>(&opened)) {
        return open_error(*failure, addr_, Opener::Driver);
    }
    Connection& connection = std::get<Connection>(opened);
    sockaddr_storage peer{};
    socklen_t peer_size = sizeof peer;
    if (::getpeername(connection.stream.get(), reinterpret_cast<sockaddr*>(&peer), &peer_size) ==
        0) {
        peer_ = peer;
        peer_size_ = peer_size;
    }
    stream_ = std::move(connection.stream);
    reader_.emplace(std::move(connection.reader));
    return Status::success();
}

// A connection whose write or read failed is closed at once, so that no late
// reply on it is ever taken for a later command's.
Status RigctldPtt::write_line(std::string_view bytes) {
    if (!stream_.valid()) return make_error("rigctld ptt: stream not connected");
    if (Status written = write_all(stream_.get(), bytes); !written.ok()) {
        close_stream();
        return make_error("write: {}", written.error_text());
    }
    return Status::success();
}

Result<std::string> RigctldPtt::read_line() {
    if (!reader_) return make_error("rigctld ptt: reader not connected");
    Result<std::string> line = reader_->read_line();
    if (line.ok() && !line->empty()) return line;
    close_stream();
    if (!line.ok()) return make_error("read: {}", line.error_text());
    return make_error("read: peer closed connection");
}

Status RigctldPtt::ensure_connected() {
    if (flags_->reconnect.exchange(false, std::memory_order_relaxed)) {
        close_stream();
        return open_stream(timings_.io);
    }
    if (!stream_.valid() || !reader_) return open_stream(timings_.io);
    return Status::success();
}

Result<int32_t> RigctldPtt::try_set_ptt_once(std::string_view command) {
    if (Status connected = ensure_connected(); !connected.ok()) return connected.error();
    if (Status written = write_line(command); !written.ok()) return written.error();
    Result<std::string> line = read_line();
    if (!line.ok()) return line.error();
    return parse_rprt(*line);
}

void RigctldPtt::close_stream() {
    stream_.reset();
    reader_.reset();
}

void RigctldPtt::spawn_keepalive() {
    auto [stop_sender, stop_receiver] = ipc::make_unbounded_queue<StopSignal>();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::optional<std::thread> join;
    try {
        // The thread owns its copies and shares only the flags, so that it
        // stays safe when the release lets it go.
        join.emplace([addr = addr_, timings = timings_, stop = std::move(stop_receiver),
                      flags = flags_, finished]() mutable {
            keepalive_thread_main(addr, timings, stop, flags);
            finished->store(true, std::memory_order_release);
        });
    } catch (...) {
        // The driver goes on without link monitoring.
        join.reset();
    }
    keepalive_.reset();
    keepalive_.emplace(std::move(stop_sender), std::move(join), std::move(finished),
                       timings_.release_wait);
}

}  // namespace ptt_rigctld
