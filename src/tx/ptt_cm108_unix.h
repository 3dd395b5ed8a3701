#pragma once

// CM108-type codec PTT on Unix: a GPIO pin of the USB audio codec, driven by
// writing one HID output report to its hidraw node.

#include <array>
#include <string>

#include "ipc/socket_stream.h"
#include "result.h"
#include "tx/crash_unkey.h"
#include "tx/ptt_device.h"

namespace ptt_cm108_unix {

// One open hidraw node of a CM108-type codec. Move-only; the destructor closes
// the node. Not thread-safe: its owner serialises the writes.
class UnixCm108Gpio final : public ptt::Cm108GpioControl {
public:
    // Opens `path` read-write, non-blocking and close-on-exec. Failure:
    // "open {path}: {error number}".
    static Result<UnixCm108Gpio> open(const std::string& path);

    // Writes the 5-byte report 00 00 {mask or 00} {mask} 00, mask = 1 << (pin - 1),
    // in one write(2).
    ptt::WriteStatus write_gpio(uint8_t pin, bool level) noexcept override;

    // A crash writes the report of pin `line` + 1 at `level`.
    void arm_crash_release(size_t line, bool level) noexcept override;
    void disarm_crash_release(size_t line) noexcept override;

private:
    explicit UnixCm108Gpio(ipc::UniqueFd fd) : fd_(std::move(fd)) {}

    ipc::UniqueFd fd_;
    std::array<crash_unkey::ArmedLine, 8> crash_;  // pins 1 to 8; dropped before fd_ closes
};

}  // namespace ptt_cm108_unix
