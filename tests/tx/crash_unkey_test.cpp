#include "tx/crash_unkey.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "ipc/socket_stream.h"
#include "support/hex.h"
#include "support/loopback_tcp.h"
#include "support/scratch_dir.h"
#include "tx/ptt.h"

namespace {

using crash_unkey::ArmedLine;
using crash_unkey::Release;

struct Pipe {
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2");
        read_end = ipc::UniqueFd(fds[0]);
        write_end = ipc::UniqueFd(fds[1]);
    }
    // Everything written so far.
    std::string drain() const {
        std::string got;
        char buffer[256];
        for (ssize_t n; (n = ::read(read_end.get(), buffer, sizeof buffer)) > 0;) {
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    ipc::UniqueFd read_end;
    ipc::UniqueFd write_end;
};

Release write_of(const Pipe& pipe, std::string_view bytes) {
    return Release::write(pipe.write_end.get(), bytes.data(), bytes.size());
}

std::string hex_of(const std::string& bytes) {
    return test_support::to_hex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

bool blocking(int fd) {
    return (::fcntl(fd, F_GETFL) & O_NONBLOCK) == 0;
}

TEST(CrashUnkeyTable, TheWalkCarriesOutWhatIsArmedNowAndNothingElse) {
    Pipe written, replaced, disarmed;
    // FIONBIO on a blocking descriptor stands in for a modem-line ioctl: its
    // effect is visible afterwards.
    Pipe ioctl_target;
    ASSERT_EQ(::fcntl(ioctl_target.read_end.get(), F_SETFL, 0), 0);
    const int on = 1;

    const size_t before = crash_unkey::armed_count();
    ArmedLine write_line, replaced_line, disarmed_line, ioctl_line;
    ASSERT_TRUE(write_line.arm(write_of(written, std::string_view("\0\0\0\4\0", 5))));
    ASSERT_TRUE(replaced_line.arm(write_of(replaced, "first")));
    ASSERT_TRUE(replaced_line.arm(write_of(replaced, "second")));
    ASSERT_TRUE(disarmed_line.arm(write_of(disarmed, "never")));
    disarmed_line.disarm();
    ASSERT_TRUE(
        ioctl_line.arm(Release::ioctl(ioctl_target.read_end.get(), FIONBIO, &on, sizeof on)));
    EXPECT_EQ(crash_unkey::armed_count(), before + 3);

    crash_unkey::release_armed();
    EXPECT_EQ(hex_of(written.drain()), "0000000400");
    EXPECT_EQ(replaced.drain(), "second");
    EXPECT_EQ(disarmed.drain(), "");
    EXPECT_FALSE(blocking(ioctl_target.read_end.get()));

    // A line handed on stays armed once; a line that goes disarms.
    ArmedLine moved = std::move(write_line);
    EXPECT_FALSE(write_line.armed());
    EXPECT_EQ(crash_unkey::armed_count(), before + 3);
    { ArmedLine gone = std::move(replaced_line); }
    EXPECT_EQ(crash_unkey::armed_count(), before + 2);
    crash_unkey::release_armed();
    EXPECT_EQ(written.drain().size(), 5u);
    EXPECT_EQ(replaced.drain(), "");
}

TEST(CrashUnkeyTable, AFullTableRefusesANewLineAndKeepsTheReleaseHeldBefore) {
    Pipe old_release, new_release;
    std::vector<ArmedLine> lines;
    const auto fill = [&] {
        for (;;) {
            ArmedLine line;
            if (!line.arm(write_of(old_release, "x"))) return;
            lines.push_back(std::move(line));
        }
    };
    fill();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(crash_unkey::armed_count(), crash_unkey::kCapacity);
    ArmedLine refused;
    EXPECT_FALSE(refused.arm(write_of(new_release, "y")));
    EXPECT_FALSE(refused.armed());
    // Re-arming needs a free slot first, so the old release stays.
    EXPECT_FALSE(lines.front().arm(write_of(new_release, "y")));
    EXPECT_TRUE(lines.front().armed());

    lines.pop_back();
    EXPECT_TRUE(lines.front().arm(write_of(new_release, "y")));
    old_release.drain();
    crash_unkey::release_armed();
    EXPECT_EQ(new_release.drain(), "y");
    EXPECT_EQ(old_release.drain().size(), lines.size() - 1);
}

// A loopback daemon that completes connections in its backlog and never
// answers: the walk waits for it no longer than its bound.
TEST(CrashUnkeyTable, EachArmedDaemonIsSentTheUnkeyOverAConnectionOfItsOwn) {
    const ipc::UniqueFd first = test_support::bind_loopback(0, 4);
    const ipc::UniqueFd second = test_support::bind_loopback(0, 4, /*ipv6=*/true);
    // Bound, not listening: the connection is refused.
    const ipc::UniqueFd refusing = test_support::bind_loopback(0, -1);
    ASSERT_TRUE(first.valid() && refusing.valid());

    std::vector<ArmedLine> lines;
    for (const ipc::UniqueFd* daemon : {&first, &second, &refusing}) {
        if (!daemon->valid()) continue;  // no IPv6 loopback here
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        ASSERT_EQ(::getsockname(daemon->get(), reinterpret_cast<sockaddr*>(&address), &size), 0);
        lines.emplace_back();
        ASSERT_TRUE(lines.back().arm(Release::daemon(reinterpret_cast<sockaddr*>(&address), size)));
    }

    crash_unkey::release_armed();
    for (const ipc::UniqueFd* daemon : {&first, &second}) {
        if (!daemon->valid()) continue;
        const ipc::UniqueFd accepted(::accept4(daemon->get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(accepted.valid());
        char got[16] = {};
        EXPECT_EQ(::recv(accepted.get(), got, sizeof got, MSG_DONTWAIT), 4);
        EXPECT_STREQ(got, "T 0\n");
    }
}

// --- the drivers' hooks ------------------------------------------------------

// A device of every kind that records the crash release each of its lines
// holds and can fail its next write.
class CrashRecordingDevice final : public ptt::ModemControlLines,
                                   public ptt::Cm108GpioControl,
                                   public ptt::GpiochipControl {
public:
    struct State {
        std::map<size_t, bool> armed;  // line -> the level a crash writes
        bool fail_next = false;
    };
    explicit CrashRecordingDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}

    ptt::WriteStatus write_rts(bool) noexcept override { return serial_write(); }
    ptt::WriteStatus write_dtr(bool) noexcept override { return serial_write(); }
    ptt::WriteStatus write_gpio(uint8_t, bool) noexcept override {
        if (!std::exchange(state_->fail_next, false)) return std::nullopt;
        return ptt::WriteFault{ptt::WriteFault::Step::Cm108Write, EIO};
    }
    std::optional<ptt::GpioSetFault> set_line(bool) noexcept override {
        if (!std::exchange(state_->fail_next, false)) return std::nullopt;
        return ptt::GpioSetFault{ptt::GpioError::Kind::Other, EIO};
    }
    void arm_crash_release(size_t line, bool level) noexcept override {
        state_->armed[line] = level;
    }
    void disarm_crash_release(size_t line) noexcept override { state_->armed.erase(line); }

private:
    ptt::WriteStatus serial_write() {
        if (!std::exchange(state_->fail_next, false)) return std::nullopt;
        return ptt::WriteFault{ptt::WriteFault::Step::Tiocmset, EIO};
    }
    std::shared_ptr<State> state_;
};

struct DriverKind {
    const char* name;
    size_t line;  // the device's line the driver keys
    std::function<std::unique_ptr<ptt::PttDriver>(std::shared_ptr<CrashRecordingDevice::State>,
                                                  bool invert)>
        build;
};

// A serial or CM108 driver on a handle of a table whose one device records.
template <class Driver, class Table, class Device>
std::unique_ptr<ptt::PttDriver> shared_driver(std::shared_ptr<CrashRecordingDevice::State> state,
                                              uint8_t line, bool invert) {
    auto table =
        std::make_shared<Table>([state](const std::string&) -> Result<std::unique_ptr<Device>> {
            return std::unique_ptr<Device>(std::make_unique<CrashRecordingDevice>(state));
        });
    auto handle = table->share("/dev/fake");
    if (!handle.ok()) throw std::runtime_error(handle.error_text());
    if constexpr (std::is_same_v<Driver, ptt::SerialLinePtt>) {
        return std::make_unique<Driver>(table, "/dev/fake", std::move(handle).value(),
                                        static_cast<ptt::SerialLine>(line), invert);
    } else {
        return std::make_unique<Driver>(table, "/dev/fake", std::move(handle).value(), line,
                                        invert);
    }
}

std::vector<DriverKind> driver_kinds() {
    using State = std::shared_ptr<CrashRecordingDevice::State>;
    using Serial = ptt::SerialPortTable;
    using Cm108 = ptt::Cm108Table;
    return {
        {"serial rts", 0,
         [](State s, bool invert) {
             return shared_driver<ptt::SerialLinePtt, Serial, ptt::ModemControlLines>(s, 0, invert);
         }},
        {"serial dtr", 1,
         [](State s, bool invert) {
             return shared_driver<ptt::SerialLinePtt, Serial, ptt::ModemControlLines>(s, 1, invert);
         }},
        {"cm108 pin 5", 4,
         [](State s, bool invert) {
             return shared_driver<ptt::Cm108Ptt, Cm108, ptt::Cm108GpioControl>(s, 5, invert);
         }},
        {"gpio", 0,
         [](State s, bool invert) {
             return std::make_unique<ptt::GpioPtt>(
                 "/dev/gpiochip9",
                 std::make_shared<ptt::SharedGpioLine>(std::make_unique<CrashRecordingDevice>(s)),
                 std::weak_ptr<ptt::GpioLineTable>(), 0, invert);
         }},
    };
}

// A line is covered from before its key until an unkey is confirmed, with the
// unkeyed level of its driver; a failed write leaves it covered.
TEST(CrashUnkeyHooks, EveryDriverKeepsItsLineCoveredWhileItMayBeKeyed) {
    enum Step { Key, Unkey, FailedKey, FailedUnkey, Release };
    const struct {
        const char* name;
        std::vector<Step> steps;
        bool covered;
    } cases[] = {
        {"keyed", {Key}, true},
        {"keyed then unkeyed", {Key, Unkey}, false},
        {"keyed, the unkey failing", {Key, FailedUnkey}, true},
        {"the key failing", {FailedKey}, true},
        {"a failed unkey confirmed by the next", {Key, FailedUnkey, Unkey}, false},
        {"keyed, then released", {Key, Release}, false},
        {"unkeyed only", {Unkey}, false},
        {"the unkey failing without a key", {FailedUnkey}, true},
    };
    for (const DriverKind& kind : driver_kinds()) {
        for (const bool invert : {false, true}) {
            for (const auto& c : cases) {
                SCOPED_TRACE(std::string(kind.name) + (invert ? " inverted, " : ", ") + c.name);
                auto state = std::make_shared<CrashRecordingDevice::State>();
                auto driver = kind.build(state, invert);
                for (Step step : c.steps) {
                    if (step == Release) {
                        driver.reset();
                        continue;
                    }
                    const bool fails = step == FailedKey || step == FailedUnkey;
                    state->fail_next = fails;
                    const bool keyed = step == Key || step == FailedKey;
                    EXPECT_EQ((keyed ? driver->key() : driver->unkey()).ok(), !fails);
                }
                if (c.covered) {
                    ASSERT_EQ(state->armed.size(), 1u);
                    EXPECT_EQ(state->armed.begin()->first, kind.line);
                    EXPECT_EQ(state->armed.begin()->second, invert) << "the unkeyed level";
                } else {
                    EXPECT_TRUE(state->armed.empty());
                }
            }
        }
    }
}

// The CM108 codec on a regular file in place of its node: the walk writes
// the prepared report at the unkeyed level while the pin may be keyed.
TEST(CrashUnkeyHooks, AKeyedCm108PinIsWrittenUnkeyedByTheWalk) {
    for (const bool invert : {false, true}) {
        SCOPED_TRACE(invert ? "inverted" : "plain");
        test_support::ScratchDir dir;
        const std::string node = dir.file("hidraw");
        test_support::write_bytes(node, {});
        ptt::PortRegistry registry;
        ipc::proto::ConfigurePtt config;
        config.set_method("cm108");
        config.set_device(node);
        config.set_invert(invert);
        auto driver = registry.build_driver(config);
        ASSERT_TRUE(driver.ok()) << driver.error_text();
        const std::string unkeyed = invert ? "0000040400" : "0000000400";
        const std::string keyed = invert ? "0000000400" : "0000040400";

        ASSERT_TRUE((*driver)->key().ok());
        crash_unkey::release_armed();
        EXPECT_EQ(test_support::to_hex(test_support::read_bytes(node)), unkeyed + keyed + unkeyed);

        ASSERT_TRUE((*driver)->unkey().ok());
        crash_unkey::release_armed();
        EXPECT_EQ(test_support::to_hex(test_support::read_bytes(node)),
                  unkeyed + keyed + unkeyed + unkeyed);
    }
}

}  // namespace
