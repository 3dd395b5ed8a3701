#pragma once

// PTT through a rig-control daemon (rigctld) over TCP: a small client of its
// line protocol ("t" reads the PTT state, "T 1" and "T 0" key and unkey), with
// a probe before the driver is accepted, a keepalive thread that watches the
// link on a connection of its own, and an unkey that retries over fresh
// connections and says loudly when the radio may still be keyed.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ipc/socket_stream.h"
#include "ipc/unbounded_queue.h"
#include "result.h"
#include "tx/crash_unkey.h"
#include "tx/ptt.h"

namespace ptt_rigctld {

// What parse_rprt gives for a line that is no report.
inline constexpr int32_t kMalformedReport = -9999;

// The longest reply line, newline excluded, is one byte shorter than this.
inline constexpr size_t kMaxLineBytes = 8192;

// Every wait of the client. The defaults are the station's; tests shorten them.
struct Timings {
    std::chrono::milliseconds connect{3000};         // per resolved address
    std::chrono::milliseconds probe{2000};           // connect probe and keepalive connection I/O
    std::chrono::milliseconds io{500};               // command connection after the probe
    std::chrono::milliseconds keepalive_up{30000};   // between probes while the link is up
    std::chrono::milliseconds keepalive_down{5000};  // while down, or while an unkey is owed
    std::chrono::milliseconds retry_pause{150};      // before each safety retry of an unkey
    std::chrono::milliseconds release_wait{500};     // for the keepalive thread at release
};

// The code of a report line "RPRT <code>": after trimming ASCII whitespace,
// exactly "RPRT", one blank, an optional sign and one or more digits within
// the signed 32-bit range. 0 is success; anything malformed gives
// kMalformedReport.
int32_t parse_rprt(std::string_view line);

// The message on a keepalive thread's stop channel.
struct StopSignal {};

// What a driver shares with its keepalive thread, which may outlive it.
struct LinkFlags {
    // Raised by the keepalive when the link goes down, cleared when it comes
    // back; the driver's next command reconnects first when it was raised.
    std::atomic<bool> reconnect{false};
    // Non-zero while an unkey is owed: the id of the failed unkey that left the
    // radio possibly keyed. Cleared by every command the driver sends.
    std::atomic<uint64_t> unkey_owed{0};
};

// The keepalive thread's body: probes the daemon at `addr` ("t") on a
// connection of its own after each wait (timings.keepalive_up while the link
// is up and nothing is owed, otherwise timings.keepalive_down), logs the
// changes of the link, raises and clears flags->reconnect, and pays an owed
// unkey ("T 0") when a probe finds the radio keyed. Returns on a stop message
// or when the stop channel closes.
void keepalive_loop(const std::string& addr, const Timings& timings,
                    ipc::QueueReceiver<StopSignal>& stop, const std::shared_ptr<LinkFlags>& flags);

// Reads reply lines from a connected socket through an 8192-byte buffer. One
// deadline, the timeout, bounds each whole line. Owns its descriptor.
class LineReader {
public:
    LineReader(ipc::UniqueFd fd, std::chrono::milliseconds timeout);

    void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // The next line with its newline (without one when the stream ends in
    // the middle of it); an empty text when the stream ends before any byte.
    // Errors: the OS error (a timeout reads as EAGAIN), "line longer than 8192
    // bytes", "stream did not contain valid UTF-8". After an error the reader
    // is of no further use.
    Result<std::string> read_line();

private:
    ipc::UniqueFd fd_;
    std::chrono::milliseconds timeout_;
    std::vector<char> buffer_;
    size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
    size_t end_ = 0;
};

// The keepalive thread of one driver. The destructor sends the stop message,
// waits up to `release_wait` for the thread to finish (joining it), and lets it
// go after that; a let-go thread owns everything it touches.
class KeepaliveHandle {
public:
    KeepaliveHandle(ipc::QueueSender<StopSignal> stop, std::optional<std::thread> join,
                    std::shared_ptr<std::atomic<bool>> finished,
                    std::chrono::milliseconds release_wait);
    KeepaliveHandle(const KeepaliveHandle&) = delete;
    KeepaliveHandle& operator=(const KeepaliveHandle&) = delete;
    ~KeepaliveHandle();

private:
    ipc::QueueSender<StopSignal> stop_;
    std::optional<std::thread> join_;              // absent when the thread failed to start
    std::shared_ptr<std::atomic<bool>> finished_;  // set by the thread as its last act
    std::chrono::milliseconds release_wait_;
};

// The "rigctld" PTT driver: key is set_ptt(true), unkey is
// unkey_with_safety_retries. Built on one thread and used from one thread at
// a time; the destructor (release) stops the keepalive thread, then unkeys
// with the safety retries (a driver whose connect failed sends nothing).
class RigctldPtt final : public ptt::PttDriver {
public:
    // Connects to the daemon at `addr` ("host:port", the host a name, an IPv4
    // address or a bracketed IPv6 address), probes it ("t" must read 0 or 1),
    // unkeys it and starts the keepalive thread. A failure sends nothing more:
    // the half-built driver has keyed nothing and is discarded without an
    // unkey.
    static Result<std::unique_ptr<RigctldPtt>> connect(const std::string& addr);
    static Result<std::unique_ptr<RigctldPtt>> connect(const std::string& addr,
                                                       const Timings& timings);

    RigctldPtt(const RigctldPtt&) = delete;
    RigctldPtt& operator=(const RigctldPtt&) = delete;
    ~RigctldPtt() override;

    Status key() override { return set_ptt(true); }
    Status unkey() override { return unkey_with_safety_retries(); }

    // Sends "T 1" or "T 0" and reads its report; a transport failure is tried
    // once more over a new connection, a daemon error code never. From before
    // a key until an unkey is confirmed, a crash sends "T 0" to the daemon's
    // last connected address.
    Status set_ptt(bool keyed);

    // set_ptt(false), then up to three more tries, each over a new connection
    // after a pause, logging each failure. When all fail the radio may still be
    // keyed: that is logged (PANIC-UNKEY), and an unkey is owed for the
    // keepalive thread to pay.
    Status unkey_with_safety_retries();

private:
    RigctldPtt(std::string addr, const Timings& timings);

    // Opens a new command connection with read and write timeouts `timeout`,
    // replacing the old one only on success.
    Status open_stream(std::chrono::milliseconds timeout);
    Status write_line(std::string_view bytes);
    Result<std::string> read_line();
    // Reconnects when the keepalive saw the link go down, or when there is no
    // connection.
    Status ensure_connected();
    // One command: the report's code (0 on success), or a transport error.
    Result<int32_t> try_set_ptt_once(std::string_view command);
    // set_ptt without the crash release.
    Status send_ptt(bool keyed);
    // Arms the crash release with the address last connected to, if any.
    void arm_crash_release() noexcept;
    void close_stream();
    void spawn_keepalive();

    std::optional<KeepaliveHandle> keepalive_;
    std::string addr_;
    Timings timings_;
    std::optional<LineReader> reader_;
    std::shared_ptr<LinkFlags> flags_;
    ipc::UniqueFd stream_;
    bool built_ = false;  // connect succeeded: the release unkeys
    sockaddr_storage peer_{};  // the daemon's address of the last connection
    socklen_t peer_size_ = 0;  // 0 before the first
    crash_unkey::ArmedLine crash_;
};

}  // namespace ptt_rigctld
