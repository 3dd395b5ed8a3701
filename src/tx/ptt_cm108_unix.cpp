#include "tx/ptt_cm108_unix.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace ptt_cm108_unix {

namespace {

constexpr size_t kReportSize = 5;

// Report 0; byte 2 holds the pin levels, byte 3 selects the pins they apply to.
std::array<uint8_t, kReportSize> report_for(uint8_t pin, bool level) {
    const auto mask = static_cast<uint8_t>(1u << (pin - 1));
    return {0x00, 0x00, level ? mask : uint8_t{0}, mask, 0x00};
}

}  // namespace

Result<UnixCm108Gpio> UnixCm108Gpio::open(const std::string& path) {
    ipc::UniqueFd fd = ptt::open_device(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (!fd.valid()) return make_error("open {}: {}", path, ptt::errno_text(errno));
    return UnixCm108Gpio(std::move(fd));
}

ptt::WriteStatus UnixCm108Gpio::write_gpio(uint8_t pin, bool level) noexcept {
    using Step = ptt::WriteFault::Step;
    if (pin < 1 || pin > 8) return ptt::WriteFault{Step::Cm108Pin, pin};
    const std::array<uint8_t, kReportSize> report = report_for(pin, level);
    const ssize_t written = ::write(fd_.get(), report.data(), report.size());
    if (written < 0) return ptt::WriteFault{Step::Cm108Write, errno};
    if (static_cast<size_t>(written) < kReportSize) {
        return ptt::WriteFault{Step::Cm108ShortWrite, written};
    }
    return std::nullopt;
}

void UnixCm108Gpio::arm_crash_release(size_t line, bool level) noexcept {
    if (line >= crash_.size()) return;
    const std::array<uint8_t, kReportSize> report =
        report_for(static_cast<uint8_t>(line + 1), level);
    (void)crash_[line].arm(crash_unkey::Release::write(fd_.get(), report.data(), report.size()));
}

void UnixCm108Gpio::disarm_crash_release(size_t line) noexcept {
    if (line < crash_.size()) crash_[line].disarm();
}

}  // namespace ptt_cm108_unix
