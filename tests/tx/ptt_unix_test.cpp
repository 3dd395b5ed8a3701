#include "tx/ptt_unix.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "support/fake_modem_port.h"
#include "support/pseudo_terminal.h"

namespace {

using ptt_unix::UnixSerialLines;
using test_support::FakeModemPort;
using test_support::kTiocmget;
using test_support::kTiocmset;

TEST(UnixSerialLines, OpenFailuresNameThePathAndTheError) {
    using namespace std::string_literals;
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {"/nonexistent/ttyUSB9", "open /nonexistent/ttyUSB9: ENOENT: No such file or directory"},
        {"/dev/tty\0S0"s, "open /dev/tty\0S0: EINVAL: Invalid argument"s},
        {"/", "open /: EISDIR: Is a directory"},
    };
    for (const auto& c : cases) {
        FakeModemPort port;
        auto opened = UnixSerialLines::open(c.path, port.ioctl());
        ASSERT_FALSE(opened.ok()) << c.path;
        EXPECT_EQ(opened.error_text(), c.error);
        EXPECT_TRUE(port.calls.empty());
    }
}

// A pseudo-terminal has no modem-control lines: the read of the bits fails.
TEST(UnixSerialLines, PseudoTerminalRefusesTheModemControlRead) {
    test_support::PseudoTerminal pty;
    auto opened = UnixSerialLines::open(pty.slave_path());
    ASSERT_TRUE(opened.ok()) << opened.error_text();
    const ptt::WriteStatus fault = opened->write_rts(true);
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->error().text, "TIOCMGET: ENOTTY: Inappropriate ioctl for device");
}

TEST(UnixSerialLines, FailedReadWritesNothingAndFailedWriteIsReported) {
    FakeModemPort port;
    port.word = 0x6022;
    auto lines = UnixSerialLines::open("/dev/null", port.ioctl());
    ASSERT_TRUE(lines.ok()) << lines.error_text();

    port.get_errno = EIO;
    ptt::WriteStatus fault = lines->write_rts(true);
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->error().text, "TIOCMGET: EIO: Input/output error");
    EXPECT_EQ(port.calls, (std::vector<FakeModemPort::Call>{{kTiocmget, 0x6022}}));

    port.get_errno = 0;
    port.set_errno = EPERM;
    port.calls.clear();
    fault = lines->write_dtr(false);
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->error().text, "TIOCMSET: EPERM: Operation not permitted");
    EXPECT_EQ(port.calls,
              (std::vector<FakeModemPort::Call>{{kTiocmget, 0x6022}, {kTiocmset, 0x6020}}));
    EXPECT_EQ(port.word, 0x6022);
}

}  // namespace
