#pragma once

// The last-resort unkey of a crashing process. When the process takes SIGSEGV,
// SIGBUS, SIGFPE, SIGILL or SIGABRT (std::terminate included), a handler writes
// the unkeyed level to every PTT line that may be keyed, then lets the signal's
// default action (a core dump) end the process with the signal's wait status.
//
// The handler can call only async-signal-safe functions on data it finds ready,
// so every line is prepared when it may become keyed: a driver puts a Release
// (the descriptor and ioctl request, the bytes to write, or the daemon's
// address) into a fixed table of slots before it keys, and takes it out once
// an unkey is confirmed. A failed unkey leaves its slot armed. The table is
// lock-free: atomics only, nothing allocated, usable from any thread.
//
// The handler runs once, on an alternate signal stack where the thread has one
// (the installing thread gets one, and so does a thread holding a ThreadStack,
// so a stack overflow there still unkeys),
// with every signal blocked: a fault inside it goes straight to the default
// action. It writes each armed local line (ioctl or write(2)), then connects to
// every armed daemon without blocking and sends "T 0\n", waiting at most
// kDaemonWait in all for the connects and the replies. A second thread that
// crashes meanwhile waits for the first to end the process; a thread that
// touches the table once the handler runs is stopped there for good, so that
// nothing the handler reads changes or closes under it.

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace crash_unkey {

// Slots in the table; an arm beyond them is refused (the line then has no
// crash release).
inline constexpr size_t kCapacity = 64;
// The handler's bound on waiting for the daemons, all together.
inline constexpr std::chrono::milliseconds kDaemonWait{500};
// The longest ioctl argument or written report a Release carries.
inline constexpr size_t kMaxBytes = 16;

// What the handler does to release one line. Plain data, copied into a slot.
struct Release {
    enum class Kind : uint8_t {
        Ioctl,   // ioctl(fd, request, argument), e.g. TIOCMBIC with the RTS bit
        Write,   // write(fd, bytes), e.g. a CM108 report with the pin low
        Daemon,  // "T 0\n" to the rig-control daemon at `address`
    };

    // ioctl(2) of `request` on `fd` with a copy of the `size` bytes at
    // `argument` (at most kMaxBytes) as its argument.
    static Release ioctl(int fd, unsigned long request, const void* argument, size_t size) noexcept;
    // One write(2) of the `size` bytes at `bytes` (at most kMaxBytes) to `fd`.
    static Release write(int fd, const void* bytes, size_t size) noexcept;
    // "T 0\n" over a new TCP connection to `address` (at most a
    // sockaddr_storage).
    static Release daemon(const sockaddr* address, socklen_t size) noexcept;

    Kind kind = Kind::Write;
    int fd = -1;
    unsigned long request = 0;
    uint8_t size = 0;  // bytes used of `bytes`
    alignas(8) uint8_t bytes[kMaxBytes] = {};
    socklen_t address_size = 0;
    sockaddr_storage address = {};
};

// One slot of the table, armed with a Release for as long as the object holds
// it; the destructor disarms it. Move-only. The owner of a descriptor that a
// Release names must disarm before closing it (declare the ArmedLine after the
// descriptor).
class ArmedLine {
public:
    ArmedLine() = default;
    ArmedLine(ArmedLine&& other) noexcept;
    ArmedLine& operator=(ArmedLine&& other) noexcept;
    ArmedLine(const ArmedLine&) = delete;
    ArmedLine& operator=(const ArmedLine&) = delete;
    ~ArmedLine() { disarm(); }

    // Arms a free slot with `release`, then lets go of the slot held before
    // (so the line is covered all the way through). With the table full the
    // slot held before stays, and false comes back.
    bool arm(const Release& release) noexcept;
    // Frees the slot, if any: a crash from now on leaves the line alone.
    void disarm() noexcept;

    bool armed() const { return slot_ >= 0; }

private:
    int slot_ = -1;
};

// Installs the handlers for the five crash signals and an alternate signal
// stack for the calling thread (unless it has one already). Call once, on the
// main thread, before other threads start.
void install();

// An alternate signal stack for the thread that makes it, so that a stack
// overflow there still reaches the handler; given back when the object goes.
// A thread that already has one keeps it. Make it at the top of a thread's
// body, on that thread.
class ThreadStack {
public:
    ThreadStack() noexcept;
    ThreadStack(const ThreadStack&) = delete;
    ThreadStack& operator=(const ThreadStack&) = delete;
    ~ThreadStack();

private:
    void* memory_ = nullptr;  // mapped here, or nullptr
};

// The handler's walk over the table: every armed Release is carried out once,
// the daemons within kDaemonWait. For tests; the handler calls it itself.
void release_armed() noexcept;

// The number of armed slots.
size_t armed_count() noexcept;

}  // namespace crash_unkey
