#pragma once

// Serial-port PTT lines on Unix: RTS and DTR switched through the tty
// modem-control ioctls.

#include <array>
#include <string>

#include "ipc/socket_stream.h"
#include "result.h"
#include "tx/crash_unkey.h"
#include "tx/ptt_device.h"

namespace ptt_unix {

// One open serial port whose RTS and DTR lines key a radio. Nothing else of the
// port is touched: no termios settings, no speed, no flush, no initial levels.
// Move-only; the destructor closes the port. Not thread-safe: its owner
// serialises the writes.
class UnixSerialLines final : public ptt::ModemControlLines {
public:
    // Opens `path` read-write, without a controlling terminal, non-blocking and
    // close-on-exec. `ioctl` carries the modem-control requests (an empty
    // function means the system's). Failure: "open {path}: {error number}".
    static Result<UnixSerialLines> open(const std::string& path,
                                        ptt::IoctlFunction ioctl = ptt::system_ioctl());

    ptt::WriteStatus write_rts(bool level) noexcept override;
    ptt::WriteStatus write_dtr(bool level) noexcept override;

    // A crash sets (level true) or clears line `line`'s bit with TIOCMBIS or
    // TIOCMBIC, leaving the other lines alone.
    void arm_crash_release(size_t line, bool level) noexcept override;
    void disarm_crash_release(size_t line) noexcept override;

    // Reads the modem-control bits (TIOCMGET), sets the bits of `set`, clears
    // those of `clear` and writes the word back (TIOCMSET). Nothing is written
    // after a failed read.
    ptt::WriteStatus update(int set, int clear) noexcept;

private:
    UnixSerialLines(ipc::UniqueFd fd, ptt::IoctlFunction ioctl)
        : fd_(std::move(fd)), ioctl_(std::move(ioctl)) {}

    ipc::UniqueFd fd_;
    ptt::IoctlFunction ioctl_;
    std::array<crash_unkey::ArmedLine, 2> crash_;  // RTS, DTR; dropped before fd_ closes
};

}  // namespace ptt_unix
