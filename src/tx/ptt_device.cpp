#include "tx/ptt_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace ptt {

std::string errno_text(int errnum) {
    const char* name = ::strerrorname_np(errnum);
    const char* description = ::strerrordesc_np(errnum);
    if (name == nullptr || description == nullptr) {
        return fmt::format("{}: Unknown error {}", errnum, errnum);
    }
    return fmt::format("{}: {}", name, description);
}

ipc::UniqueFd open_device(const std::string& path, int flags) {
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return ipc::UniqueFd();
    }
    return ipc::UniqueFd(::open(path.c_str(), flags, 0));
}

IoctlFunction system_ioctl() {
    return [](int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); };
}

Error WriteFault::error() const {
    switch (step) {
        case Step::Tiocmget:
            return make_error("TIOCMGET: {}", errno_text(static_cast<int>(number)));
        case Step::Tiocmset:
            return make_error("TIOCMSET: {}", errno_text(static_cast<int>(number)));
        case Step::Cm108Pin:
            return make_error("cm108 gpio pin {} out of range (1-8)", number);
        case Step::Cm108Write:
            return make_error("cm108 write: {}", errno_text(static_cast<int>(number)));
        case Step::Cm108ShortWrite:
            return make_error("cm108 short write: {} of {}", number, 5);
        case Step::Gone:
            return make_error("device went away");
    }
    return make_error("device write failed");
}

GpioError GpioError::device_gone(std::string path, uint32_t line) {
    return GpioError(Kind::DeviceGone, std::move(path), line);
}

GpioError GpioError::permission_denied(std::string path) {
    return GpioError(Kind::PermissionDenied, std::move(path), 0);
}

GpioError GpioError::busy(std::string path, uint32_t line) {
    return GpioError(Kind::Busy, std::move(path), line);
}

GpioError GpioError::other(std::string text) {
    return GpioError(Kind::Other, std::move(text), 0);
}

std::string GpioError::text() const {
    switch (kind_) {
        case Kind::DeviceGone:
            return fmt::format("gpio line {} on {}: device went away mid-operation", line_,
                               detail_);
        case Kind::PermissionDenied:
            return fmt::format("gpio {}: permission denied \u2014 add user to 'gpio' group",
                               detail_);
        case Kind::Busy:
            return fmt::format(
                "gpio line {} on {}: already claimed \u2014 check for kernel drivers (SPI, I2C, "
                "UART) using this pin",
                line_, detail_);
        case Kind::Other:
            return fmt::format("gpio: {}", detail_);
    }
    return fmt::format("gpio: {}", detail_);
}

GpioError GpioSetFault::error(const std::string& path, uint32_t line) const {
    switch (kind) {
        case GpioError::Kind::DeviceGone:
            return GpioError::device_gone(path, line);
        case GpioError::Kind::PermissionDenied:
            return GpioError::permission_denied(path);
        case GpioError::Kind::Busy:
            return GpioError::busy(path, line);
        case GpioError::Kind::Other:
            break;
    }
    return GpioError::other(fmt::format("set_value {}:{}: {}", path, line, errno_text(errnum)));
}

}  // namespace ptt
