#pragma once

// The device layer under the PTT drivers: one interface per kind of PTT
// hardware (serial modem-control lines, a GPIO character-device line, the GPIO
// pins of a CM108-type USB codec), implemented for Linux in ptt_unix,
// ptt_gpio_linux and ptt_cm108_unix. A device is owned by the shared handle
// that holds it and is only used under that handle's lock, so its writes
// neither throw nor allocate: a failure comes back as a small fault value that
// the driver turns into text once the lock is released.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "ipc/socket_stream.h"
#include "result.h"

namespace ptt {

// An operating-system error number as the C library names and describes it:
// "ENOENT: No such file or directory". A number without a name gives
// "4095: Unknown error 4095".
std::string errno_text(int errnum);

// open(2) of `path` with `flags` and mode 0. A path holding a NUL byte fails
// with EINVAL before any system call. On failure the descriptor is invalid and
// errno holds the error number.
ipc::UniqueFd open_device(const std::string& path, int flags);

// The ioctl(2) through which the serial and GPIO devices reach their kernel
// drivers; tests put a fake device behind it. Returns -1 with errno set on
// failure, as ioctl(2) does.
using IoctlFunction = std::function<int(int fd, unsigned long request, void* arg)>;

// The system's ioctl(2).
IoctlFunction system_ioctl();

// A failed serial-line or CM108 write: the step that failed and its number.
struct WriteFault {
    enum class Step : uint8_t {
        Tiocmget,         // reading the modem-control bits; number: error number
        Tiocmset,         // writing them back; number: error number
        Cm108Pin,         // a pin outside 1 to 8; number: the pin
        Cm108Write,       // write(2) of the report; number: error number
        Cm108ShortWrite,  // number: the bytes written of the 5
        Gone,             // the handle was closed when its device went away
    };
    Step step;
    int64_t number;

    // The error text, e.g. "TIOCMGET: ENOTTY: Inappropriate ioctl for device".
    Error error() const;
};

// The outcome of one serial-line or CM108 write: nothing on success.
using WriteStatus = std::optional<WriteFault>;

// A device whose lines a crash can still release (tx/crash_unkey.h). A line is
// the device's own: 0 for RTS and 1 for DTR of a serial port, pin - 1 of a
// CM108 codec, 0 for a GPIO line. A device on a system descriptor keeps a
// release ready from the arm to the disarm and drops it before it closes the
// descriptor; the defaults keep none (devices without one).
class CrashReleasable {
public:
    virtual ~CrashReleasable() = default;

    // From now on a crash writes `level` to `line`.
    virtual void arm_crash_release(size_t line, bool level) noexcept {
        (void)line;
        (void)level;
    }
    // From now on a crash leaves `line` alone.
    virtual void disarm_crash_release(size_t line) noexcept { (void)line; }
};

// Drives the RTS and DTR lines of one serial port. The destructor closes the
// port.
class ModemControlLines : public CrashReleasable {
public:
    // Asserts RTS (level true) or clears it, leaving every other
    // modem-control line as it was.
    virtual WriteStatus write_rts(bool level) noexcept = 0;
    // The same for DTR.
    virtual WriteStatus write_dtr(bool level) noexcept = 0;
};

// Drives the GPIO pins of one CM108-type codec through its HID node. The
// destructor closes the node.
class Cm108GpioControl : public CrashReleasable {
public:
    // Sets pin `pin` (1 to 8) high (level true) or low; the other pins are
    // left as they are. A pin outside 1 to 8 is refused before any write.
    virtual WriteStatus write_gpio(uint8_t pin, bool level) noexcept = 0;
};

// The error of the GPIO layer, of four kinds.
class GpioError {
public:
    enum class Kind : uint8_t { DeviceGone, PermissionDenied, Busy, Other };

    // The chip of `path` vanished under line `line` (a USB adapter unplugged).
    static GpioError device_gone(std::string path, uint32_t line);
    // The chip at `path` may not be opened by this user.
    static GpioError permission_denied(std::string path);
    // Line `line` of `path` is held by another consumer.
    static GpioError busy(std::string path, uint32_t line);
    // Anything else; `text` says what.
    static GpioError other(std::string text);

    Kind kind() const { return kind_; }

    // The text the user sees, e.g. "gpio: chip path is empty".
    std::string text() const;

private:
    GpioError(Kind kind, std::string detail, uint32_t line)
        : kind_(kind), detail_(std::move(detail)), line_(line) {}

    Kind kind_;
    std::string detail_;  // the path, or the text of Other
    uint32_t line_;
};

// A failed set of a requested GPIO line: the kind of error and the error
// number behind it (the number matters to Other only).
struct GpioSetFault {
    GpioError::Kind kind;
    int errnum;

    // The GpioError of this fault for line `line` of the chip at `path`; Other
    // reads "set_value {path}:{line}: {error number}".
    GpioError error(const std::string& path, uint32_t line) const;
};

// Drives one requested GPIO line. The destructor releases the request, which
// frees the line in the kernel.
class GpiochipControl : public CrashReleasable {
public:
    // Sets the line active (level true) or inactive.
    virtual std::optional<GpioSetFault> set_line(bool level) noexcept = 0;
};

// A value, or the GpioError that prevented it.
template <class T>
class [[nodiscard]] GpioResult {
public:
    GpioResult(T value) : v_(std::move(value)) {}
    GpioResult(GpioError error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const GpioError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, GpioError> v_;
};

}  // namespace ptt
