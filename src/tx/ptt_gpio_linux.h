#pragma once

// GPIO-line PTT on Linux: one line of a GPIO character device, requested as an
// output through the kernel's line-request ioctls and set to key the radio.

#include <cstdint>
#include <string>

#include "ipc/socket_stream.h"
#include "tx/crash_unkey.h"
#include "tx/ptt_device.h"

namespace ptt_gpio_linux {

// The consumer label a requested line carries in the kernel.
inline constexpr const char* kConsumer = "quillmar-ptt";

// One requested output line. Move-only; the destructor closes the request,
// which frees the line. Not thread-safe: its owner serialises the writes.
class LinuxGpiochip final : public ptt::GpiochipControl {
public:
    // Opens the chip at `path`, reads its line count, closes it, and requests
    // line `line` of the chip at `path` as an output with initial value 0 under
    // the consumer "quillmar-ptt". `ioctl` carries the chip and line requests
    // (an empty function means the system's).
    static ptt::GpioResult<LinuxGpiochip> open(const std::string& path, uint32_t line,
                                               ptt::IoctlFunction ioctl = ptt::system_ioctl());

    // Sets the line to 1 (level true) or 0.
    std::optional<ptt::GpioSetFault> set_line(bool level) noexcept override;

    // A crash sets the line to `level` through the request.
    void arm_crash_release(size_t line, bool level) noexcept override;
    void disarm_crash_release(size_t line) noexcept override;

    const std::string& path() const { return path_; }
    uint32_t line() const { return line_; }

private:
    LinuxGpiochip(ipc::UniqueFd request, std::string path, uint32_t line, ptt::IoctlFunction ioctl)
        : request_(std::move(request)),
          path_(std::move(path)),
          line_(line),
          ioctl_(std::move(ioctl)) {}

    ipc::UniqueFd request_;  // the line request; closing it frees the line
    std::string path_;
    uint32_t line_;
    ptt::IoctlFunction ioctl_;
    crash_unkey::ArmedLine crash_;  // dropped before request_ closes
};

// The GpioError of a failed chip open, chip query or line request for line
// `line` of `path` with error number `errnum`: ENOENT, ENXIO and ENODEV read
// "open {path}: no such device: {error}", EACCES is PermissionDenied, EBUSY is
// Busy, any other number "open {path}: {error}".
ptt::GpioError map_open_error_with_line(const std::string& path, uint32_t line, int errnum);

// The fault of a failed set with error number `errnum`: EIO, ENXIO, ENODEV and
// EPIPE mean the device went away, EACCES is PermissionDenied, EBUSY is Busy,
// any other number is Other.
ptt::GpioSetFault map_set_error(int errnum);

}  // namespace ptt_gpio_linux
