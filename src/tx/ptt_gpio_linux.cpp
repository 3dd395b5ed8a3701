#include "tx/ptt_gpio_linux.h"

#include <fcntl.h>
#include <linux/gpio.h>

#include <cerrno>
#include <cstring>

namespace ptt_gpio_linux {

namespace {

using ptt::GpioError;

}  // namespace

ptt::GpioResult<LinuxGpiochip> LinuxGpiochip::open(const std::string& path, uint32_t line,
                                                   ptt::IoctlFunction ioctl) {
    if (path.empty()) return GpioError::other("chip path is empty");
    if (!ioctl) ioctl = ptt::system_ioctl();

    uint32_t line_count = 0;
    {
        ipc::UniqueFd chip = ptt::open_device(path, O_RDWR | O_CLOEXEC);
        if (!chip.valid()) return map_open_error_with_line(path, 0, errno);
        gpiochip_info info{};
        if (ioctl(chip.get(), GPIO_GET_CHIPINFO_IOCTL, &info) < 0) {
            return map_open_error_with_line(path, 0, errno);
        }
        line_count = info.lines;
    }
    if (line >= line_count) {
        return GpioError::other(
            fmt::format("gpio line {} out of range for {} (chip has {} lines, 0..{})", line, path,
                        line_count, line_count == 0 ? 0 : line_count - 1));
    }

    ipc::UniqueFd chip = ptt::open_device(path, O_RDWR | O_CLOEXEC);
    if (!chip.valid()) return map_open_error_with_line(path, line, errno);
    gpio_v2_line_request request{};
    request.offsets[0] = line;
    request.num_lines = 1;
    std::strncpy(request.consumer, kConsumer, sizeof(request.consumer) - 1);
    request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    request.config.num_attrs = 1;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    request.config.attrs[0].attr.values = 0;
    request.config.attrs[0].mask = 1;
    if (ioctl(chip.get(), GPIO_V2_GET_LINE_IOCTL, &request) < 0) {
        return map_open_error_with_line(path, line, errno);
    }
    return LinuxGpiochip(ipc::UniqueFd(request.fd), path, line, std::move(ioctl));
}

std::optional<ptt::GpioSetFault> LinuxGpiochip::set_line(bool level) noexcept {
    gpio_v2_line_values values{};
    values.bits = level ? 1 : 0;
    values.mask = 1;
    if (ioctl_(request_.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0) {
        return map_set_error(errno);
    }
    return std::nullopt;
}

void LinuxGpiochip::arm_crash_release(size_t line, bool level) noexcept {
    if (line != 0) return;
    gpio_v2_line_values values{};
    values.bits = level ? 1 : 0;
    values.mask = 1;
    (void)crash_.arm(crash_unkey::Release::ioctl(request_.get(), GPIO_V2_LINE_SET_VALUES_IOCTL,
                                                 &values, sizeof values));
}

void LinuxGpiochip::disarm_crash_release(size_t line) noexcept {
    if (line == 0) crash_.disarm();
}

GpioError map_open_error_with_line(const std::string& path, uint32_t line, int errnum) {
    switch (errnum) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return GpioError::other(
                fmt::format("open {}: no such device: {}", path, ptt::errno_text(errnum)));
        case EACCES:
            return GpioError::permission_denied(path);
        case EBUSY:
            return GpioError::busy(path, line);
        default:
            return GpioError::other(fmt::format("open {}: {}", path, ptt::errno_text(errnum)));
    }
}

ptt::GpioSetFault map_set_error(int errnum) {
    switch (errnum) {
        case EIO:
        case ENXIO:
        case ENODEV:
        case EPIPE:
            return {GpioError::Kind::DeviceGone, errnum};
        case EACCES:
            return {GpioError::Kind::PermissionDenied, errnum};
        case EBUSY:
            return {GpioError::Kind::Busy, errnum};
        default:
            return {GpioError::Kind::Other, errnum};
    }
}

}  // namespace ptt_gpio_linux
