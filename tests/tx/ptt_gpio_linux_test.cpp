#include "tx/ptt_gpio_linux.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/gpio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using ptt::GpioError;
using ptt_gpio_linux::LinuxGpiochip;
using Kind = GpioError::Kind;

// A GPIO chip behind the ioctl seam, opened as /dev/null: it reports `lines`
// lines, hands out a /dev/null descriptor as the line request (or fails the
// request), and records every request and every set.
struct FakeChip {
    uint32_t lines = 4;
    int request_errno = 0;
    int set_errno = 0;
    std::vector<gpio_v2_line_request> requests;
    std::vector<gpio_v2_line_values> sets;
    std::vector<unsigned long> refused;  // requests a chip does not answer
    int request_fd = -1;

    ptt::IoctlFunction ioctl() {
        return [this](int fd, unsigned long request, void* arg) {
            if (request == GPIO_GET_CHIPINFO_IOCTL) {
                auto* info = static_cast<gpiochip_info*>(arg);
                std::strcpy(info->name, "gpiochip9");
                info->lines = lines;
                return 0;
            }
            if (request == GPIO_V2_GET_LINE_IOCTL) {
                auto* line_request = static_cast<gpio_v2_line_request*>(arg);
                requests.push_back(*line_request);
                if (request_errno != 0) return fail(request_errno);
                request_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                line_request->fd = request_fd;
                return 0;
            }
            if (request == GPIO_V2_LINE_SET_VALUES_IOCTL && fd == request_fd) {
                sets.push_back(*static_cast<gpio_v2_line_values*>(arg));
                if (set_errno != 0) return fail(set_errno);
                return 0;
            }
            refused.push_back(request);
            return fail(ENOTTY);
        };
    }

    static int fail(int errnum) {
        errno = errnum;
        return -1;
    }
};

TEST(LinuxGpiochip, RequestsTheOneLineAsAnInactiveOutputAndSetsIt) {
    FakeChip fake;
    {
        auto chip = LinuxGpiochip::open("/dev/null", 3, fake.ioctl());
        ASSERT_TRUE(chip.ok()) << chip.error().text();
        ASSERT_EQ(fake.requests.size(), 1u);
        const gpio_v2_line_request& request = fake.requests[0];
        EXPECT_EQ(request.num_lines, 1u);
        EXPECT_EQ(request.offsets[0], 3u);
        EXPECT_STREQ(request.consumer, "quillmar-ptt");
        EXPECT_EQ(request.config.flags, GPIO_V2_LINE_FLAG_OUTPUT);
        ASSERT_EQ(request.config.num_attrs, 1u);
        EXPECT_EQ(request.config.attrs[0].attr.id, GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES);
        EXPECT_EQ(request.config.attrs[0].attr.values, 0u);
        EXPECT_EQ(request.config.attrs[0].mask, 1u);
        EXPECT_EQ(request.event_buffer_size, 0u);

        EXPECT_FALSE(chip.value().set_line(true).has_value());
        EXPECT_FALSE(chip.value().set_line(false).has_value());
        ASSERT_EQ(fake.sets.size(), 2u);
        EXPECT_EQ(fake.sets[0].bits, 1u);
        EXPECT_EQ(fake.sets[0].mask, 1u);
        EXPECT_EQ(fake.sets[1].bits, 0u);
        EXPECT_EQ(fake.sets[1].mask, 1u);
        EXPECT_TRUE(fake.refused.empty());
    }
    // Releasing the chip closes the request, which frees the line.
    EXPECT_EQ(::fcntl(fake.request_fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(LinuxGpiochip, LineBeyondTheChipIsRefusedBeforeTheRequest) {
    const struct {
        uint32_t lines;
        uint32_t line;
        const char* error;  // empty: the line is requested
    } cases[] = {
        {4, 4, "gpio: gpio line 4 out of range for /dev/null (chip has 4 lines, 0..3)"},
        {0, 0, "gpio: gpio line 0 out of range for /dev/null (chip has 0 lines, 0..0)"},
        {1, 4294967295u,
         "gpio: gpio line 4294967295 out of range for /dev/null (chip has 1 lines, 0..0)"},
        {4, 3, ""},
    };
    for (const auto& c : cases) {
        FakeChip fake;
        fake.lines = c.lines;
        auto chip = LinuxGpiochip::open("/dev/null", c.line, fake.ioctl());
        if (c.error[0] == '\0') {
            EXPECT_TRUE(chip.ok()) << chip.error().text();
            EXPECT_EQ(fake.requests.size(), 1u);
        } else {
            ASSERT_FALSE(chip.ok());
            EXPECT_EQ(chip.error().text(), c.error);
            EXPECT_TRUE(fake.requests.empty());
        }
    }
}

TEST(LinuxGpiochip, FailedRequestAndFailedSetsMapToTheirKinds) {
    FakeChip busy;
    busy.request_errno = EBUSY;
    auto refused = LinuxGpiochip::open("/dev/null", 2, busy.ioctl());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), Kind::Busy);
    EXPECT_EQ(refused.error().text(),
              "gpio line 2 on /dev/null: already claimed \u2014 check for kernel drivers (SPI, "
              "I2C, UART) using this pin");

    const struct {
        int errnum;
        Kind kind;
    } sets[] = {{EIO, Kind::DeviceGone}, {ENODEV, Kind::DeviceGone}, {EINVAL, Kind::Other}};
    for (const auto& c : sets) {
        FakeChip fake;
        auto chip = LinuxGpiochip::open("/dev/null", 2, fake.ioctl());
        ASSERT_TRUE(chip.ok()) << chip.error().text();
        fake.set_errno = c.errnum;
        const auto fault = chip.value().set_line(true);
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->kind, c.kind) << c.errnum;
        EXPECT_EQ(fault->errnum, c.errnum);
    }
}

TEST(LinuxGpiochip, OpenFailuresOfRealPaths) {
    using namespace std::string_literals;
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {"/nonexistent/gpiochip9",
         "gpio: open /nonexistent/gpiochip9: no such device: ENOENT: No such file or directory"},
        {"/dev/null", "gpio: open /dev/null: ENOTTY: Inappropriate ioctl for device"},
        {"", "gpio: chip path is empty"},
        {"/dev/null\0chip"s, "gpio: open /dev/null\0chip: EINVAL: Invalid argument"s},
    };
    for (const auto& c : cases) {
        auto chip = LinuxGpiochip::open(c.path, 0);
        ASSERT_FALSE(chip.ok()) << c.path;
        EXPECT_EQ(chip.error().kind(), Kind::Other);
        EXPECT_EQ(chip.error().text(), c.error);
    }
}

TEST(GpioMapping, OpenErrors) {
    const struct {
        int errnum;
        Kind kind;
        const char* text;
    } cases[] = {
        {ENOENT, Kind::Other,
         "gpio: open /dev/gpiochip1: no such device: ENOENT: No such file or directory"},
        {ENXIO, Kind::Other,
         "gpio: open /dev/gpiochip1: no such device: ENXIO: No such device or address"},
        {ENODEV, Kind::Other, "gpio: open /dev/gpiochip1: no such device: ENODEV: No such device"},
        {EACCES, Kind::PermissionDenied,
         "gpio /dev/gpiochip1: permission denied \u2014 add user to 'gpio' group"},
        {EBUSY, Kind::Busy,
         "gpio line 5 on /dev/gpiochip1: already claimed \u2014 check for kernel drivers (SPI, "
         "I2C, UART) using this pin"},
        {EPERM, Kind::Other, "gpio: open /dev/gpiochip1: EPERM: Operation not permitted"},
        {EIO, Kind::Other, "gpio: open /dev/gpiochip1: EIO: Input/output error"},
    };
    for (const auto& c : cases) {
        const GpioError error =
            ptt_gpio_linux::map_open_error_with_line("/dev/gpiochip1", 5, c.errnum);
        EXPECT_EQ(error.kind(), c.kind) << c.errnum;
        EXPECT_EQ(error.text(), c.text);
    }
}

TEST(GpioMapping, SetErrors) {
    const char* gone = "gpio line 5 on /dev/gpiochip1: device went away mid-operation";
    const struct {
        int errnum;
        Kind kind;
        const char* text;
    } cases[] = {
        {EIO, Kind::DeviceGone, gone},
        {ENXIO, Kind::DeviceGone, gone},
        {ENODEV, Kind::DeviceGone, gone},
        {EPIPE, Kind::DeviceGone, gone},
        {EACCES, Kind::PermissionDenied,
         "gpio /dev/gpiochip1: permission denied \u2014 add user to 'gpio' group"},
        {EBUSY, Kind::Busy,
         "gpio line 5 on /dev/gpiochip1: already claimed \u2014 check for kernel drivers (SPI, "
         "I2C, UART) using this pin"},
        {EINVAL, Kind::Other, "gpio: set_value /dev/gpiochip1:5: EINVAL: Invalid argument"},
        {ENOENT, Kind::Other,
         "gpio: set_value /dev/gpiochip1:5: ENOENT: No such file or directory"},
    };
    for (const auto& c : cases) {
        const GpioError error = ptt_gpio_linux::map_set_error(c.errnum).error("/dev/gpiochip1", 5);
        EXPECT_EQ(error.kind(), c.kind) << c.errnum;
        EXPECT_EQ(error.text(), c.text);
    }
}

}  // namespace
