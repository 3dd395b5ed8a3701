#include "tx/ptt_cm108_unix.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/hex.h"
#include "support/scratch_dir.h"

namespace {

using ptt_cm108_unix::UnixCm108Gpio;
using test_support::ScratchDir;

// A regular file in place of the hidraw node: each report lands in it.
std::string report_file(const ScratchDir& dir) {
    const std::string path = dir.file("hidraw");
    test_support::write_bytes(path, {});
    return path;
}

TEST(UnixCm108Gpio, WritesOneReportWithThePinsMask) {
    const struct {
        uint8_t pin;
        bool level;
        const char* report;
    } cases[] = {
        {3, true, "0000040400"}, {3, false, "0000000400"}, {8, true, "0000808000"},
        {1, true, "0000010100"}, {8, false, "0000008000"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string path = report_file(dir);
        auto codec = UnixCm108Gpio::open(path);
        ASSERT_TRUE(codec.ok()) << codec.error_text();
        EXPECT_FALSE(codec->write_gpio(c.pin, c.level).has_value());
        EXPECT_EQ(test_support::to_hex(test_support::read_bytes(path)), c.report)
            << "pin " << int{c.pin} << " level " << c.level;
    }
}

TEST(UnixCm108Gpio, PinOutsideOneToEightIsRefusedBeforeAnyWrite) {
    for (uint8_t pin : {0, 9, 255}) {
        ScratchDir dir;
        const std::string path = report_file(dir);
        auto codec = UnixCm108Gpio::open(path);
        ASSERT_TRUE(codec.ok()) << codec.error_text();
        const ptt::WriteStatus fault = codec->write_gpio(pin, true);
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->error().text,
                  "cm108 gpio pin " + std::to_string(pin) + " out of range (1-8)");
        EXPECT_TRUE(test_support::read_bytes(path).empty());
    }
}

TEST(UnixCm108Gpio, FailedWriteIsReported) {
    auto codec = UnixCm108Gpio::open("/dev/full");
    ASSERT_TRUE(codec.ok()) << codec.error_text();
    const ptt::WriteStatus fault = codec->write_gpio(3, true);
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->error().text, "cm108 write: ENOSPC: No space left on device");
}

// The file-size limit lets 3 of the 5 bytes through. The limit holds for the
// whole process, hence the child.
TEST(UnixCm108Gpio, ShortWriteReportsTheBytesWritten) {
    ScratchDir dir;
    const std::string path = report_file(dir);
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{3, 3};
        std::string text = "setrlimit failed";
        if (::setrlimit(RLIMIT_FSIZE, &limit) == 0) {
            auto codec = UnixCm108Gpio::open(path);
            if (!codec.ok()) {
                text = codec.error_text();
            } else {
                const ptt::WriteStatus fault = codec->write_gpio(3, true);
                text = fault ? fault->error().text : "no error";
            }
        }
        (void)!::write(pipe_fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) text.append(buf, n);
    ::close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(text, "cm108 short write: 3 of 5");
    EXPECT_EQ(test_support::to_hex(test_support::read_bytes(path)), "000004");
}

TEST(UnixCm108Gpio, OpenFailuresNameThePathAndTheError) {
    using namespace std::string_literals;
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {"/nonexistent/hidraw9", "open /nonexistent/hidraw9: ENOENT: No such file or directory"},
        {"/dev/null\0raw0"s, "open /dev/null\0raw0: EINVAL: Invalid argument"s},
        {"/", "open /: EISDIR: Is a directory"},
    };
    for (const auto& c : cases) {
        auto opened = UnixCm108Gpio::open(c.path);
        ASSERT_FALSE(opened.ok()) << c.path;
        EXPECT_EQ(opened.error_text(), c.error);
    }
}

}  // namespace
