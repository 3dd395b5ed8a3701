#include "tx/crash_unkey.h"

#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

namespace crash_unkey {

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr char kDaemonUnkey[] = "T 0\n";
constexpr size_t kDaemonUnkeySize = sizeof kDaemonUnkey - 1;
// Room for the handler's frames, which hold a few arrays of kCapacity entries.
constexpr size_t kAlternateStackBytes = 64 * 1024;

enum SlotState : uint8_t { kFree, kFilling, kArmed };

struct Slot {
    std::atomic<uint8_t> state{kFree};
    Release release;  // written only while kFilling, by the thread that took the slot
};
static_assert(std::atomic<uint8_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

Slot slots[kCapacity];
// Set by the first thread into the handler; any other one waits there.
std::atomic<bool> entered{false};
// Set before the handler's walk; a thread that changes the table after it is
// stopped before it can touch a slot's data or close a descriptor.
std::atomic<bool> crashing{false};
alignas(16) char alternate_stack[kAlternateStackBytes];

// Stops the calling thread for good once the handler runs; the handler's
// re-raised signal ends the process.
void stop_if_crashing() noexcept {
    if (!crashing.load()) return;
    for (;;) ::pause();
}

void free_slot(int slot) noexcept {
    slots[slot].state.store(kFree);
    stop_if_crashing();
}

int64_t monotonic_ms() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// A daemon being released: connecting, then waiting for the reply line.
struct DaemonUnkey {
    int fd;
    bool connected;
};

// Opens a non-blocking connection for `release`; false when it failed at once.
bool start_daemon_unkey(const Release& release, DaemonUnkey& out) noexcept {
    const int fd =
        ::socket(release.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&release.address), release.address_size) ==
        0) {
        if (::send(fd, kDaemonUnkey, kDaemonUnkeySize, MSG_NOSIGNAL | MSG_DONTWAIT) ==
            static_cast<ssize_t>(kDaemonUnkeySize)) {
            out = DaemonUnkey{fd, true};
            return true;
        }
    } else if (errno == EINPROGRESS) {
        out = DaemonUnkey{fd, false};
        return true;
    }
    ::close(fd);
    return false;
}

// One step of `unkey` after poll reported `revents`: false once it is over
// (the reply came, or the connection failed).
bool advance_daemon_unkey(DaemonUnkey& unkey, short revents) noexcept {
    if (!unkey.connected) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(unkey.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return false;
        }
        if (::send(unkey.fd, kDaemonUnkey, kDaemonUnkeySize, MSG_NOSIGNAL | MSG_DONTWAIT) !=
            static_cast<ssize_t>(kDaemonUnkeySize)) {
            return false;
        }
        unkey.connected = true;
        return true;
    }
    if ((revents & (POLLIN | POLLERR | POLLHUP)) == 0) return true;
    char reply[64];
    const ssize_t got = ::recv(unkey.fd, reply, sizeof reply, MSG_DONTWAIT);
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    return got > 0 && std::memchr(reply, '\n', static_cast<size_t>(got)) == nullptr;
}

// Carries the daemon unkeys of `unkeys` until each is over or the wait bound
// has passed, then closes their connections.
void finish_daemon_unkeys(DaemonUnkey* unkeys, size_t count) noexcept {
    const int64_t deadline = monotonic_ms() + kDaemonWait.count();
    pollfd watched[kCapacity];
    size_t open = count;
    while (open > 0) {
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0) break;
        for (size_t i = 0; i < open; ++i) {
            watched[i] =
                pollfd{unkeys[i].fd, unkeys[i].connected ? short{POLLIN} : short{POLLOUT}, 0};
        }
        const int ready = ::poll(watched, open, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        for (size_t i = open; i-- > 0;) {
            if (watched[i].revents == 0) continue;
            if (advance_daemon_unkey(unkeys[i], watched[i].revents)) continue;
            ::close(unkeys[i].fd);
            unkeys[i] = unkeys[--open];
        }
    }
    for (size_t i = 0; i < open; ++i) ::close(unkeys[i].fd);
}

void on_crash(int signal_number) {
    if (entered.exchange(true)) {
        for (;;) ::pause();
    }
    crashing.store(true);
    release_armed();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal_number);
    ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(signal_number);
}

}  // namespace

Release Release::ioctl(int fd, unsigned long request, const void* argument, size_t size) noexcept {
    Release release;
    release.kind = Kind::Ioctl;
    release.fd = fd;
    release.request = request;
    release.size = static_cast<uint8_t>(std::min(size, kMaxBytes));
    std::memcpy(release.bytes, argument, release.size);
    return release;
}

Release Release::write(int fd, const void* bytes, size_t size) noexcept {
    Release release;
    release.kind = Kind::Write;
    release.fd = fd;
    release.size = static_cast<uint8_t>(std::min(size, kMaxBytes));
    std::memcpy(release.bytes, bytes, release.size);
    return release;
}

Release Release::daemon(const sockaddr* address, socklen_t size) noexcept {
    Release release;
    release.kind = Kind::Daemon;
    release.address_size = std::min<socklen_t>(size, sizeof release.address);
    std::memcpy(&release.address, address, release.address_size);
    return release;
}

ArmedLine::ArmedLine(ArmedLine&& other) noexcept : slot_(std::exchange(other.slot_, -1)) {}

ArmedLine& ArmedLine::operator=(ArmedLine&& other) noexcept {
    if (this != &other) {
        disarm();
        slot_ = std::exchange(other.slot_, -1);
    }
    return *this;
}

bool ArmedLine::arm(const Release& release) noexcept {
    for (size_t i = 0; i < kCapacity; ++i) {
        uint8_t free = kFree;
        if (!slots[i].state.compare_exchange_strong(free, kFilling)) continue;
        stop_if_crashing();
        slots[i].release = release;
        slots[i].state.store(kArmed);
        stop_if_crashing();
        const int before = std::exchange(slot_, static_cast<int>(i));
        if (before >= 0) free_slot(before);
        return true;
    }
    return false;
}

void ArmedLine::disarm() noexcept {
    if (slot_ >= 0) free_slot(std::exchange(slot_, -1));
}

void install() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
        stack_t stack{};
        stack.ss_sp = alternate_stack;
        stack.ss_size = sizeof alternate_stack;
        ::sigaltstack(&stack, nullptr);
    }
    struct sigaction action {};
    action.sa_handler = on_crash;
    action.sa_flags = SA_ONSTACK;
    sigfillset(&action.sa_mask);
    for (int s : kCrashSignals) ::sigaction(s, &action, nullptr);
}

ThreadStack::ThreadStack() noexcept {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
    void* memory = ::mmap(nullptr, kAlternateStackBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED) return;
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = kAlternateStackBytes;
    if (::sigaltstack(&stack, nullptr) != 0) {
        ::munmap(memory, kAlternateStackBytes);
        return;
    }
    memory_ = memory;
}

ThreadStack::~ThreadStack() {
    if (memory_ == nullptr) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    ::munmap(memory_, kAlternateStackBytes);
}

void release_armed() noexcept {
    DaemonUnkey daemons[kCapacity];
    size_t daemon_count = 0;
    for (Slot& slot : slots) {
        if (slot.state.load() != kArmed) continue;
        const Release release = slot.release;
        switch (release.kind) {
            case Release::Kind::Ioctl: {
                alignas(8) uint8_t argument[kMaxBytes];
                std::memcpy(argument, release.bytes, sizeof argument);
                ::ioctl(release.fd, release.request, argument);
                break;
            }
            case Release::Kind::Write:
                (void)!::write(release.fd, release.bytes, release.size);
                break;
            case Release::Kind::Daemon:
                if (start_daemon_unkey(release, daemons[daemon_count])) ++daemon_count;
                break;
        }
    }
    finish_daemon_unkeys(daemons, daemon_count);
}

size_t armed_count() noexcept {
    return static_cast<size_t>(std::count_if(std::begin(slots), std::end(slots), [](const Slot& s) {
        return s.state.load() == kArmed;
    }));
}

}  // namespace crash_unkey
