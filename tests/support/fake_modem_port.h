#pragma once

// A serial port's modem-control word behind the ioctl seam of the serial PTT
// lines. It answers only TIOCMGET (0x5415) and TIOCMSET (0x5418), records every
// call with the word it carried, and can fail either request; any other
// request is recorded and refused with EINVAL.

#include <cerrno>
#include <vector>

#include "tx/ptt_device.h"

namespace test_support {

inline constexpr unsigned long kTiocmget = 0x5415;
inline constexpr unsigned long kTiocmset = 0x5418;

struct FakeModemPort {
    struct Call {
        unsigned long request;
        int word;  // the word read or written
        bool operator==(const Call&) const = default;
    };

    int word = 0;
    int get_errno = 0;  // when non-zero, TIOCMGET fails with it
    int set_errno = 0;  // when non-zero, TIOCMSET fails with it
    std::vector<Call> calls;

    // The seam; the port must outlive every device using it.
    ptt::IoctlFunction ioctl() {
        return [this](int, unsigned long request, void* arg) {
            int* bits = static_cast<int*>(arg);
            if (request == kTiocmget) {
                calls.push_back({request, word});
                if (get_errno != 0) return fail(get_errno);
                *bits = word;
                return 0;
            }
            if (request == kTiocmset) {
                calls.push_back({request, *bits});
                if (set_errno != 0) return fail(set_errno);
                word = *bits;
                return 0;
            }
            calls.push_back({request, 0});
            return fail(EINVAL);
        };
    }

private:
    static int fail(int errnum) {
        errno = errnum;
        return -1;
    }
};

}  // namespace test_support
