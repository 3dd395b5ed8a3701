#pragma once

// A pseudo-terminal pair for tests: a serial-like device that opens as a tty
// but has no modem-control lines. The master side closes with the object.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace test_support {

class PseudoTerminal {
public:
    PseudoTerminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            if (master_ >= 0) ::close(master_);
            throw std::runtime_error("no pseudo-terminal");
        }
        slave_path_ = ::ptsname(master_);
    }
    ~PseudoTerminal() { ::close(master_); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // The path of the slave side, for opening as a serial port.
    const std::string& slave_path() const { return slave_path_; }

private:
    int master_;
    std::string slave_path_;
};

}  // namespace test_support
