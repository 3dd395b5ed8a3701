#include "tx/ptt_device.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(ErrnoText, NamesAndDescribesTheNumberAsTheCLibraryDoes) {
    const struct {
        int errnum;
        const char* text;
    } cases[] = {
        {ENOENT, "ENOENT: No such file or directory"},
        {EINVAL, "EINVAL: Invalid argument"},
        {ENOTTY, "ENOTTY: Inappropriate ioctl for device"},
        {ENOSPC, "ENOSPC: No space left on device"},
        {4095, "4095: Unknown error 4095"},
        {-1, "-1: Unknown error -1"},
    };
    for (const auto& c : cases) EXPECT_EQ(ptt::errno_text(c.errnum), c.text) << c.errnum;
}

TEST(GpioError, PermissionAndBusyTextsCarryAnEmDash) {
    EXPECT_EQ(ptt::GpioError::permission_denied("/dev/gpiochip0").text(),
              "gpio /dev/gpiochip0: permission denied \xE2\x80\x94 add user to 'gpio' group");
    EXPECT_EQ(ptt::GpioError::busy("/dev/gpiochip0", 17).text(),
              "gpio line 17 on /dev/gpiochip0: already claimed \xE2\x80\x94 check for kernel "
              "drivers (SPI, I2C, UART) using this pin");
}

}  // namespace
