#include "tx/ptt_unix.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace ptt_unix {

Result<UnixSerialLines> UnixSerialLines::open(const std::string& path, ptt::IoctlFunction ioctl) {
    ipc::UniqueFd fd = ptt::open_device(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (!fd.valid()) return make_error("open {}: {}", path, ptt::errno_text(errno));
    if (!ioctl) ioctl = ptt::system_ioctl();
    return UnixSerialLines(std::move(fd), std::move(ioctl));
}

ptt::WriteStatus UnixSerialLines::write_rts(bool level) noexcept {
    return level ? update(TIOCM_RTS, 0) : update(0, TIOCM_RTS);
}

ptt::WriteStatus UnixSerialLines::write_dtr(bool level) noexcept {
    return level ? update(TIOCM_DTR, 0) : update(0, TIOCM_DTR);
}

void UnixSerialLines::arm_crash_release(size_t line, bool level) noexcept {
    if (line >= crash_.size()) return;
    const int bit = line == 0 ? TIOCM_RTS : TIOCM_DTR;
    (void)crash_[line].arm(
        crash_unkey::Release::ioctl(fd_.get(), level ? TIOCMBIS : TIOCMBIC, &bit, sizeof bit));
}

void UnixSerialLines::disarm_crash_release(size_t line) noexcept {
    if (line < crash_.size()) crash_[line].disarm();
}

ptt::WriteStatus UnixSerialLines::update(int set, int clear) noexcept {
    using Step = ptt::WriteFault::Step;
    int bits = 0;
    if (ioctl_(fd_.get(), TIOCMGET, &bits) < 0) return ptt::WriteFault{Step::Tiocmget, errno};
    bits = (bits | set) & ~clear;
    if (ioctl_(fd_.get(), TIOCMSET, &bits) < 0) return ptt::WriteFault{Step::Tiocmset, errno};
    return std::nullopt;
}

}  // namespace ptt_unix
