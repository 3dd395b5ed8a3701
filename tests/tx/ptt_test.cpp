#include "tx/ptt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "support/fake_modem_port.h"
#include "support/pseudo_terminal.h"
#include "tx/ptt_unix.h"

namespace {

using ptt::DeviceOpeners;
using ptt::GpioError;
using ptt::PortRegistry;
using ptt::PttDriver;
using Kind = GpioError::Kind;

// One write a fake device saw: its kind ("serial", "cm108", "gpio"), path, line
// (0 RTS and 1 DTR, the CM108 pin, the GPIO line) and level.
struct Write {
    std::string kind;
    std::string path;
    uint32_t line;
    bool level;
    bool operator==(const Write&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Write& w) {
    return out << w.kind << " " << w.path << " line " << w.line << " level " << w.level;
}

// The devices behind a registry: counting openers of fake serial ports, CM108
// codecs and GPIO lines that record their writes. A fake GPIO line holds its
// line until it is released or its chip is unplugged; a second request for a
// held line is refused as busy, as the kernel does.
class Bench {
public:
    DeviceOpeners openers();

    // The next `count` writes fail with error number `errnum` (GPIO writes
    // with a fault of `kind`).
    void fail_writes(int count, Kind kind = Kind::Other, int errnum = EACCES) {
        std::lock_guard hold(lock_);
        failures_ = count;
        failure_kind_ = kind;
        failure_errno_ = errnum;
    }
    // The next open of any device fails.
    void fail_next_open() { fail_open_ = true; }
    // Every line requested so far on the chip at `path` is gone: their writes
    // fail with DeviceGone and they no longer hold their lines.
    void unplug(const std::string& path);

    int opens(const std::string& kind, const std::string& path) {
        std::lock_guard hold(lock_);
        return opens_[kind + " " + path];
    }
    std::vector<Write> writes() {
        std::lock_guard hold(lock_);
        return writes_;
    }
    std::vector<Write> writes_on(const std::string& kind, const std::string& path, uint32_t line) {
        std::vector<Write> found;
        for (const Write& w : writes()) {
            if (w.kind == kind && w.path == path && w.line == line) found.push_back(w);
        }
        return found;
    }

    // Records a write; false when it is to fail.
    bool write(Write w) {
        std::lock_guard hold(lock_);
        writes_.push_back(std::move(w));
        if (failures_ == 0) return true;
        --failures_;
        return false;
    }
    Kind failure_kind() {
        std::lock_guard hold(lock_);
        return failure_kind_;
    }
    int failure_errno() {
        std::lock_guard hold(lock_);
        return failure_errno_;
    }
    // Serial ports and CM108 codecs closed so far.
    int closes(const std::string& kind, const std::string& path) {
        std::lock_guard hold(lock_);
        return closes_[kind + " " + path];
    }
    void closed(const std::string& kind, const std::string& path) {
        std::lock_guard hold(lock_);
        ++closes_[kind + " " + path];
    }

private:
    struct GpioState {
        std::atomic<bool> present{true};
        bool holds_line = true;  // guarded by the bench's lock
    };
    class Serial;
    class Cm108;
    class Gpio;

    std::mutex lock_;
    std::vector<Write> writes_;
    std::map<std::string, int> opens_;
    std::map<std::string, int> closes_;
    std::map<std::string, std::vector<std::shared_ptr<GpioState>>> gpio_lines_;  // "path:line"
    int failures_ = 0;
    Kind failure_kind_ = Kind::Other;
    int failure_errno_ = EACCES;
    bool fail_open_ = false;
};

class Bench::Serial final : public ptt::ModemControlLines {
public:
    Serial(Bench& bench, std::string path) : bench_(bench), path_(std::move(path)) {}
    ~Serial() override { bench_.closed("serial", path_); }
    ptt::WriteStatus write_rts(bool level) noexcept override { return write(0, level); }
    ptt::WriteStatus write_dtr(bool level) noexcept override { return write(1, level); }

private:
    ptt::WriteStatus write(uint32_t line, bool level) {
        if (bench_.write({"serial", path_, line, level})) return std::nullopt;
        return ptt::WriteFault{ptt::WriteFault::Step::Tiocmset, bench_.failure_errno()};
    }
    Bench& bench_;
    std::string path_;
};

class Bench::Cm108 final : public ptt::Cm108GpioControl {
public:
    Cm108(Bench& bench, std::string path) : bench_(bench), path_(std::move(path)) {}
    ~Cm108() override { bench_.closed("cm108", path_); }
    ptt::WriteStatus write_gpio(uint8_t pin, bool level) noexcept override {
        if (bench_.write({"cm108", path_, pin, level})) return std::nullopt;
        return ptt::WriteFault{ptt::WriteFault::Step::Cm108Write, bench_.failure_errno()};
    }

private:
    Bench& bench_;
    std::string path_;
};

class Bench::Gpio final : public ptt::GpiochipControl {
public:
    Gpio(Bench& bench, std::string path, uint32_t line, std::shared_ptr<GpioState> state)
        : bench_(bench), path_(std::move(path)), line_(line), state_(std::move(state)) {}
    ~Gpio() override {
        std::lock_guard hold(bench_.lock_);
        state_->holds_line = false;
    }
    std::optional<ptt::GpioSetFault> set_line(bool level) noexcept override {
        const bool ok = bench_.write({"gpio", path_, line_, level});
        if (!state_->present) return ptt::GpioSetFault{Kind::DeviceGone, ENODEV};
        if (ok) return std::nullopt;
        return ptt::GpioSetFault{bench_.failure_kind(), bench_.failure_errno()};
    }

private:
    Bench& bench_;
    std::string path_;
    uint32_t line_;
    std::shared_ptr<GpioState> state_;
};

DeviceOpeners Bench::openers() {
    DeviceOpeners openers;
    openers.serial =
        [this](const std::string& path) -> Result<std::unique_ptr<ptt::ModemControlLines>> {
        std::lock_guard hold(lock_);
        ++opens_["serial " + path];
        if (std::exchange(fail_open_, false)) return make_error("open {}: EACCES", path);
        return std::unique_ptr<ptt::ModemControlLines>(std::make_unique<Serial>(*this, path));
    };
    openers.cm108 =
        [this](const std::string& path) -> Result<std::unique_ptr<ptt::Cm108GpioControl>> {
        std::lock_guard hold(lock_);
        ++opens_["cm108 " + path];
        if (std::exchange(fail_open_, false)) return make_error("open {}: EACCES", path);
        return std::unique_ptr<ptt::Cm108GpioControl>(std::make_unique<Cm108>(*this, path));
    };
    openers.gpio = [this](const std::string& path,
                          uint32_t line) -> ptt::GpioResult<std::unique_ptr<ptt::GpiochipControl>> {
        std::lock_guard hold(lock_);
        ++opens_["gpio " + path];
        if (std::exchange(fail_open_, false)) return GpioError::permission_denied(path);
        auto& states = gpio_lines_[path + ":" + std::to_string(line)];
        for (const auto& state : states) {
            if (state->holds_line) return GpioError::busy(path, line);
        }
        states.push_back(std::make_shared<GpioState>());
        return std::unique_ptr<ptt::GpiochipControl>(
            std::make_unique<Gpio>(*this, path, line, states.back()));
    };
    return openers;
}

void Bench::unplug(const std::string& path) {
    std::lock_guard hold(lock_);
    for (auto& [key, states] : gpio_lines_) {
        if (key.rfind(path + ":", 0) != 0) continue;
        for (auto& state : states) {
            state->present = false;
            state->holds_line = false;
        }
    }
}

ipc::proto::ConfigurePtt ptt_config(const std::string& method, const std::string& device,
                                    bool invert = false) {
    ipc::proto::ConfigurePtt config;
    config.set_method(method);
    config.set_device(device);
    config.set_invert(invert);
    return config;
}

ipc::proto::ConfigurePtt gpio_config(uint32_t line, bool invert = false) {
    auto config = ptt_config("gpio", "/dev/gpiochip0", invert);
    config.set_gpio_line(line);
    return config;
}

ipc::proto::ConfigurePtt cm108_config(uint32_t pin, bool invert = false) {
    auto config = ptt_config("cm108", "/dev/hidraw0", invert);
    config.set_gpio_pin(pin);
    return config;
}

std::unique_ptr<PttDriver> build(PortRegistry& registry, const ipc::proto::ConfigurePtt& config) {
    auto built = registry.build_driver(config);
    EXPECT_TRUE(built.ok()) << built.error_text();
    return built.ok() ? std::move(built).value() : nullptr;
}

// --- Method selection ------------------------------------------------------

TEST(PortRegistry, MethodIsComparedExactly) {
    const struct {
        std::string method;
        std::string device;
        std::string error;          // empty: built
        std::vector<Write> writes;  // by the build
    } cases[] = {
        {"", "/dev/ttyS0", "", {}},
        {"none", "/dev/ttyS0", "", {}},
        {"vox", "/dev/ttyS0", "", {}},
        {"digirig_tone", "/dev/ttyS0", "", {}},
        {"serial_rts", "/dev/ttyS0", "", {{"serial", "/dev/ttyS0", 0, false}}},
        {"serial_dtr", "/dev/ttyS0", "", {{"serial", "/dev/ttyS0", 1, false}}},
        {"cm108", "/dev/ttyS0", "", {{"cm108", "/dev/ttyS0", 3, false}}},
        {"gpio", "/dev/ttyS0", "", {{"gpio", "/dev/ttyS0", 0, false}}},
        {"rigctld", "", "rigctld ptt: device (host:port) is empty", {}},
        {"android", "/dev/ttyS0", "android ptt method is only valid on Android targets", {}},
        {"VOX", "", "unknown ptt method 'VOX'", {}},
        {"Serial_rts", "/dev/ttyS0", "unknown ptt method 'Serial_rts'", {}},
        {" vox", "", "unknown ptt method ' vox'", {}},
        {"gpio ", "/dev/ttyS0", "unknown ptt method 'gpio '", {}},
        {"serial", "/dev/ttyS0", "unknown ptt method 'serial'", {}},
        {"serial_rts", "", "serial ptt: device path is empty", {}},
        {"serial_dtr", "", "serial ptt: device path is empty", {}},
        {"cm108", "", "cm108 ptt: device path is empty", {}},
        {"gpio", "", "gpio ptt: device path is empty", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("method '" + c.method + "' device '" + c.device + "'");
        Bench bench;
        PortRegistry registry(bench.openers());
        auto built = registry.build_driver(ptt_config(c.method, c.device));
        if (!c.error.empty()) {
            ASSERT_FALSE(built.ok());
            EXPECT_EQ(built.error_text(), c.error);
        } else {
            ASSERT_TRUE(built.ok()) << built.error_text();
        }
        EXPECT_EQ(bench.writes(), c.writes);
        const int opened = bench.opens("serial", c.device) + bench.opens("cm108", c.device) +
                           bench.opens("gpio", c.device);
        EXPECT_EQ(opened, c.writes.empty() ? 0 : 1);
    }
}

TEST(PortRegistry, NoKeyingDriverTouchesNothing) {
    Bench bench;
    PortRegistry registry(bench.openers());
    for (const char* method : {"", "none", "vox", "digirig_tone"}) {
        auto driver = build(registry, ptt_config(method, "/dev/ttyS0"));
        ASSERT_NE(driver, nullptr);
        EXPECT_TRUE(driver->key().ok());
        EXPECT_TRUE(driver->unkey().ok());
    }
    EXPECT_TRUE(bench.writes().empty());
}

TEST(PortRegistry, Cm108PinZeroMeansThreeAndNineIsRefusedFirst) {
    const struct {
        uint32_t gpio_pin;
        std::string device;
        std::string error;
        uint32_t pin;  // written by the build
    } cases[] = {
        {0, "/dev/hidraw0", "", 3},
        {1, "/dev/hidraw0", "", 1},
        {8, "/dev/hidraw0", "", 8},
        {9, "/dev/hidraw0", "cm108 gpio_pin 9 out of range (1-8)", 0},
        {9, "", "cm108 gpio_pin 9 out of range (1-8)", 0},
        {4294967295u, "", "cm108 gpio_pin 4294967295 out of range (1-8)", 0},
        {0, "", "cm108 ptt: device path is empty", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("gpio_pin " + std::to_string(c.gpio_pin) + " device '" + c.device + "'");
        Bench bench;
        PortRegistry registry(bench.openers());
        auto config = ptt_config("cm108", c.device);
        config.set_gpio_pin(c.gpio_pin);
        auto built = registry.build_driver(config);
        if (c.error.empty()) {
            ASSERT_TRUE(built.ok()) << built.error_text();
            EXPECT_EQ(bench.writes(), (std::vector<Write>{{"cm108", c.device, c.pin, false}}));
            ASSERT_TRUE(built.value()->key().ok());
            EXPECT_EQ(bench.writes().back(), (Write{"cm108", c.device, c.pin, true}));
        } else {
            ASSERT_FALSE(built.ok());
            EXPECT_EQ(built.error_text(), c.error);
            EXPECT_EQ(bench.opens("cm108", c.device), 0);
            EXPECT_TRUE(bench.writes().empty());
        }
    }
}

// --- One handle per device -------------------------------------------------

TEST(PortRegistry, ChannelsShareOneHandlePerDevice) {
    Bench bench;
    PortRegistry registry(bench.openers());
    auto rts = build(registry, ptt_config("serial_rts", "/dev/ttyS0"));
    auto dtr = build(registry, ptt_config("serial_dtr", "/dev/ttyS0", true));
    auto other_port = build(registry, ptt_config("serial_rts", "/dev/ttyS1"));
    auto pin3 = build(registry, cm108_config(3));
    auto pin5 = build(registry, cm108_config(5));
    auto line17 = build(registry, gpio_config(17));
    auto line17_again = build(registry, gpio_config(17));
    auto line18 = build(registry, gpio_config(18));

    EXPECT_EQ(bench.opens("serial", "/dev/ttyS0"), 1);
    EXPECT_EQ(bench.opens("serial", "/dev/ttyS1"), 1);
    EXPECT_EQ(bench.opens("cm108", "/dev/hidraw0"), 1);
    EXPECT_EQ(bench.opens("gpio", "/dev/gpiochip0"), 2);
    // Each build wrote its own line's unkeyed level, nothing else.
    EXPECT_EQ(bench.writes(), (std::vector<Write>{
                                  {"serial", "/dev/ttyS0", 0, false},
                                  {"serial", "/dev/ttyS0", 1, true},
                                  {"serial", "/dev/ttyS1", 0, false},
                                  {"cm108", "/dev/hidraw0", 3, false},
                                  {"cm108", "/dev/hidraw0", 5, false},
                                  {"gpio", "/dev/gpiochip0", 17, false},
                                  {"gpio", "/dev/gpiochip0", 17, false},
                                  {"gpio", "/dev/gpiochip0", 18, false},
                              }));
    ASSERT_TRUE(line17_again->key().ok());
    EXPECT_EQ(bench.writes().back(), (Write{"gpio", "/dev/gpiochip0", 17, true}));
}

TEST(PortRegistry, FailedInitialUnkeyKeepsTheDeviceForTheNextBuild) {
    const struct {
        ipc::proto::ConfigurePtt config;
        Write unkeyed;
        std::string error;
    } cases[] = {
        {ptt_config("serial_dtr", "/dev/ttyS0", true),
         {"serial", "/dev/ttyS0", 1, true},
         "TIOCMSET: EACCES: Permission denied"},
        {cm108_config(2),
         {"cm108", "/dev/hidraw0", 2, false},
         "cm108 write: EACCES: Permission denied"},
        {gpio_config(17, true),
         {"gpio", "/dev/gpiochip0", 17, true},
         "gpio: set_value /dev/gpiochip0:17: EACCES: Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config.method());
        Bench bench;
        PortRegistry registry(bench.openers());
        bench.fail_writes(1);
        auto failed = registry.build_driver(c.config);
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.error_text(), c.error);
        // The discarded driver wrote its unkeyed level once more.
        EXPECT_EQ(bench.writes(), (std::vector<Write>{c.unkeyed, c.unkeyed}));

        auto built = registry.build_driver(c.config);
        EXPECT_TRUE(built.ok()) << built.error_text();
        EXPECT_EQ(bench.opens(c.unkeyed.kind, c.unkeyed.path), 1);
    }
}

TEST(PortRegistry, FailedOpenIsReturnedUnchangedAndTriedAgainNextTime) {
    const struct {
        ipc::proto::ConfigurePtt config;
        std::string kind;
        std::string path;
        std::string error;
    } cases[] = {
        {ptt_config("serial_rts", "/dev/ttyS0"), "serial", "/dev/ttyS0", "open /dev/ttyS0: EACCES"},
        {cm108_config(3), "cm108", "/dev/hidraw0", "open /dev/hidraw0: EACCES"},
        {gpio_config(4), "gpio", "/dev/gpiochip0",
         "gpio /dev/gpiochip0: permission denied \u2014 add user to 'gpio' group"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        Bench bench;
        PortRegistry registry(bench.openers());
        bench.fail_next_open();
        auto failed = registry.build_driver(c.config);
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.error_text(), c.error);
        EXPECT_TRUE(registry.build_driver(c.config).ok());
        EXPECT_EQ(bench.opens(c.kind, c.path), 2);
    }
}

TEST(PortRegistry, SystemDevicesReportTheirOpenErrors) {
    PortRegistry registry;
    const struct {
        ipc::proto::ConfigurePtt config;
        std::string error;
    } cases[] = {
        {ptt_config("serial_rts", "/nonexistent/ttyUSB0"),
         "open /nonexistent/ttyUSB0: ENOENT: No such file or directory"},
        {ptt_config("cm108", "/nonexistent/hidraw0"),
         "open /nonexistent/hidraw0: ENOENT: No such file or directory"},
        {ptt_config("gpio", "/nonexistent/gpiochip0"),
         "gpio: open /nonexistent/gpiochip0: no such device: ENOENT: No such file or directory"},
    };
    for (const auto& c : cases) {
        auto built = registry.build_driver(c.config);
        ASSERT_FALSE(built.ok()) << c.config.method();
        EXPECT_EQ(built.error_text(), c.error);
    }
}

// A pseudo-terminal opens as a serial port but has no modem-control lines.
TEST(PortRegistry, SerialPortWhoseLinesFailStaysOpenForLaterBuilds) {
    test_support::PseudoTerminal pty;
    const std::string& slave = pty.slave_path();

    DeviceOpeners openers = DeviceOpeners::system();
    int opens = 0;
    openers.serial = [&opens, real = openers.serial](const std::string& path) {
        ++opens;
        return real(path);
    };
    PortRegistry registry(std::move(openers));
    for (const char* method : {"serial_rts", "serial_dtr", "serial_rts"}) {
        auto built = registry.build_driver(ptt_config(method, slave));
        ASSERT_FALSE(built.ok());
        EXPECT_EQ(built.error_text(), "TIOCMGET: ENOTTY: Inappropriate ioctl for device");
    }
    EXPECT_EQ(opens, 1);
}

// --- Serial read-modify-write ------------------------------------------------

TEST(SerialLinePtt, WritesOnlyItsOwnLineOfTheModemControlWord) {
    using test_support::FakeModemPort;
    using test_support::kTiocmget;
    using test_support::kTiocmset;
    constexpr int kDtr = 0x002, kRts = 0x004, kCts = 0x020, kOut1 = 0x2000, kOut2 = 0x4000;
    constexpr int kStart = kDtr | kOut1 | kOut2 | kCts;
    const struct {
        int start;
        const char* method;
        bool invert;
        bool keyed;
        int word;
    } cases[] = {
        {kStart, "serial_rts", false, true, kStart | kRts},
        {kStart | kRts, "serial_rts", false, false, kStart},
        {kStart | kRts, "serial_rts", true, true, kStart},
        {kStart, "serial_rts", true, false, kStart | kRts},
        {kStart, "serial_dtr", false, false, kStart & ~kDtr},
        {kStart & ~kDtr, "serial_dtr", false, true, kStart},
        {kStart, "serial_dtr", true, true, kStart & ~kDtr},
        {kStart & ~kDtr, "serial_dtr", true, false, kStart},
        {kStart | kRts, "serial_dtr", false, false, (kStart | kRts) & ~kDtr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.method << " invert " << c.invert << " keyed "
                                          << c.keyed << " from " << std::hex << c.start);
        FakeModemPort port;
        DeviceOpeners openers;
        openers.serial =
            [&port](const std::string& path) -> Result<std::unique_ptr<ptt::ModemControlLines>> {
            auto lines = ptt_unix::UnixSerialLines::open(path, port.ioctl());
            if (!lines.ok()) return lines.error();
            return std::unique_ptr<ptt::ModemControlLines>(
                std::make_unique<ptt_unix::UnixSerialLines>(std::move(lines).value()));
        };
        PortRegistry registry(std::move(openers));
        auto driver = build(registry, ptt_config(c.method, "/dev/null", c.invert));
        ASSERT_NE(driver, nullptr);
        port.word = c.start;
        port.calls.clear();
        ASSERT_TRUE((c.keyed ? driver->key() : driver->unkey()).ok());
        EXPECT_EQ(port.calls,
                  (std::vector<FakeModemPort::Call>{{kTiocmget, c.start}, {kTiocmset, c.word}}));
        EXPECT_EQ(port.word, c.word);
    }
}

// --- Release ---------------------------------------------------------------

enum class DeviceKind { Serial, Cm108, Gpio };

const char* name_of(DeviceKind kind) {
    switch (kind) {
        case DeviceKind::Serial:
            return "serial";
        case DeviceKind::Cm108:
            return "cm108";
        case DeviceKind::Gpio:
            return "gpio";
    }
    return "?";
}

// Line 0 or 1 of one device of `kind`: RTS or DTR, CM108 pin 3 or 5, GPIO
// line 17 or 18 of one chip.
ipc::proto::ConfigurePtt line_config(DeviceKind kind, int which, bool invert) {
    switch (kind) {
        case DeviceKind::Serial:
            return ptt_config(which == 0 ? "serial_rts" : "serial_dtr", "/dev/ttyS0", invert);
        case DeviceKind::Cm108:
            return cm108_config(which == 0 ? 3 : 5, invert);
        case DeviceKind::Gpio:
            return gpio_config(which == 0 ? 17 : 18, invert);
    }
    return {};
}

std::vector<Write> writes_on_line(Bench& bench, DeviceKind kind, int which) {
    switch (kind) {
        case DeviceKind::Serial:
            return bench.writes_on("serial", "/dev/ttyS0", which);
        case DeviceKind::Cm108:
            return bench.writes_on("cm108", "/dev/hidraw0", which == 0 ? 3 : 5);
        case DeviceKind::Gpio:
            return bench.writes_on("gpio", "/dev/gpiochip0", which == 0 ? 17 : 18);
    }
    return {};
}

constexpr DeviceKind kDeviceKinds[] = {DeviceKind::Serial, DeviceKind::Cm108, DeviceKind::Gpio};

// --- Vanished devices ---------------------------------------------------------

Write write_on(DeviceKind kind, int which, bool level) {
    if (kind == DeviceKind::Serial) return {"serial", "/dev/ttyS0", static_cast<uint32_t>(which), level};
    return {"cm108", "/dev/hidraw0", which == 0 ? 3u : 5u, level};
}

// A serial port or CM108 codec whose write fails because its adapter went
// away (ENODEV, ENXIO, EIO) is closed at once for every driver sharing it; the
// next write or build on its path opens it afresh, the lines its drivers used
// set to their unkeyed levels first. Any other error keeps the handle.
TEST(PortRegistry, VanishedDeviceIsClosedAndOpenedAfreshByTheNextWriteOrBuild) {
    const struct {
        int errnum;
        const char* name;
        bool vanished;
    } errors[] = {
        {ENODEV, "ENODEV: No such device", true},
        {ENXIO, "ENXIO: No such device or address", true},
        {EIO, "EIO: Input/output error", true},
        {EACCES, "EACCES: Permission denied", false},
    };
    for (DeviceKind kind : {DeviceKind::Serial, DeviceKind::Cm108}) {
        for (const auto& e : errors) {
            for (bool next_is_build : {false, true}) {
                SCOPED_TRACE(fmt::format("{} {} then a {}", name_of(kind), e.name,
                                         next_is_build ? "build" : "frame"));
                const std::string path = kind == DeviceKind::Serial ? "/dev/ttyS0" : "/dev/hidraw0";
                Bench bench;
                PortRegistry registry(bench.openers());
                auto driver = build(registry, line_config(kind, 0, false));
                // The other line, inverted: its unkeyed level is the asserted one.
                auto sharing = build(registry, line_config(kind, 1, true));
                ASSERT_TRUE(driver && sharing);
                ASSERT_TRUE(driver->key().ok());

                // The transmission meets the fault at its unkey.
                bench.fail_writes(1, Kind::Other, e.errnum);
                const std::string prefix =
                    kind == DeviceKind::Serial ? "TIOCMSET: " : "cm108 write: ";
                EXPECT_EQ(driver->unkey().error_text(), prefix + e.name);
                EXPECT_EQ(bench.closes(name_of(kind), path), e.vanished ? 1 : 0);

                const size_t before = bench.writes().size();
                std::unique_ptr<PttDriver> rebuilt;
                if (next_is_build) {
                    rebuilt = build(registry, line_config(kind, 0, false));
                    ASSERT_NE(rebuilt, nullptr);
                }
                PttDriver& next = next_is_build ? *rebuilt : *driver;
                ASSERT_TRUE(next.key().ok());
                ASSERT_TRUE(next.unkey().ok());
                ASSERT_TRUE(sharing->key().ok());
                EXPECT_EQ(bench.opens(name_of(kind), path), e.vanished ? 2 : 1);

                std::vector<Write> expected;
                if (e.vanished) {
                    expected = {write_on(kind, 0, false), write_on(kind, 1, true)};
                }
                if (next_is_build) expected.push_back(write_on(kind, 0, false));
                for (const Write& w :
                     {write_on(kind, 0, true), write_on(kind, 0, false), write_on(kind, 1, false)}) {
                    expected.push_back(w);
                }
                const std::vector<Write> all = bench.writes();
                EXPECT_EQ(std::vector<Write>(all.begin() + static_cast<ptrdiff_t>(before), all.end()),
                          expected);
            }
        }
    }
}

// A device still gone when the transmission unkeys: the unkey reports why,
// and the next frame opens it once it is back.
TEST(PortRegistry, DeviceStillGoneFailsTheUnkeyWithItsOpenError) {
    Bench bench;
    PortRegistry registry(bench.openers());
    auto driver = build(registry, ptt_config("serial_rts", "/dev/ttyUSB0"));
    ASSERT_NE(driver, nullptr);
    bench.fail_writes(1, Kind::Other, ENODEV);
    EXPECT_EQ(driver->key().error_text(), "TIOCMSET: ENODEV: No such device");
    bench.fail_next_open();
    EXPECT_EQ(driver->unkey().error_text(), "open /dev/ttyUSB0: EACCES");
    ASSERT_TRUE(driver->key().ok());
    ASSERT_TRUE(driver->unkey().ok());
    EXPECT_EQ(bench.opens("serial", "/dev/ttyUSB0"), 3);
    EXPECT_EQ(bench.writes_on("serial", "/dev/ttyUSB0", 0).back(),
              (Write{"serial", "/dev/ttyUSB0", 0, false}));
}

// A driver's release writes its unkeyed level exactly when its own last write
// on its line was a key (successful or not) or a failed unkey and no other
// driver has written that line since.
TEST(PttDriverRelease, WritesTheUnkeyedLevelOnlyWhileTheLineMayBeKeyed) {
    enum Step { Key, FailedKey, Unkey, FailedUnkey, OtherOnSameLine, OtherOnOtherLine };
    const struct {
        const char* name;
        std::vector<Step> steps;
        bool release_writes;
    } cases[] = {
        {"built only", {}, false},
        {"keyed", {Key}, true},
        {"key failed", {FailedKey}, true},
        {"keyed and unkeyed", {Key, Unkey}, false},
        {"unkey failed", {Key, FailedUnkey}, true},
        {"failed key then unkeyed", {FailedKey, Unkey}, false},
        {"keyed, then another driver on its line", {Key, OtherOnSameLine}, false},
        {"keyed, then another driver on another line", {Key, OtherOnOtherLine}, true},
        {"another driver on its line, then keyed", {OtherOnSameLine, Key}, true},
    };
    for (DeviceKind kind : kDeviceKinds) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(name_of(kind)) + ": " + c.name);
            Bench bench;
            PortRegistry registry(bench.openers());
            // Inverted, so that the unkeyed level is the asserted one.
            auto driver = build(registry, line_config(kind, 0, true));
            ASSERT_NE(driver, nullptr);
            std::vector<std::unique_ptr<PttDriver>> others;
            for (Step step : c.steps) {
                switch (step) {
                    case Key:
                        ASSERT_TRUE(driver->key().ok());
                        break;
                    case FailedKey:
                        bench.fail_writes(1);
                        ASSERT_FALSE(driver->key().ok());
                        break;
                    case Unkey:
                        ASSERT_TRUE(driver->unkey().ok());
                        break;
                    case FailedUnkey:
                        bench.fail_writes(1);
                        ASSERT_FALSE(driver->unkey().ok());
                        break;
                    case OtherOnSameLine:
                        others.push_back(build(registry, line_config(kind, 0, true)));
                        break;
                    case OtherOnOtherLine:
                        others.push_back(build(registry, line_config(kind, 1, true)));
                        break;
                }
            }
            const size_t before = writes_on_line(bench, kind, 0).size();
            driver.reset();
            const std::vector<Write> after = writes_on_line(bench, kind, 0);
            if (c.release_writes) {
                ASSERT_EQ(after.size(), before + 1);
                EXPECT_TRUE(after.back().level);
            } else {
                EXPECT_EQ(after.size(), before);
            }
        }
    }
}

// A channel re-configured with `invert` flipped: releasing the old driver must
// not write its "unkeyed" level, which is the new wiring's keyed level.
TEST(PttDriverRelease, ReconfiguredInversionLeavesTheLineAtTheNewUnkeyedLevel) {
    for (DeviceKind kind : kDeviceKinds) {
        for (bool keyed_before : {false, true}) {
            SCOPED_TRACE(std::string(name_of(kind)) + (keyed_before ? " keyed" : " idle"));
            Bench bench;
            PortRegistry registry(bench.openers());
            auto old_driver = build(registry, line_config(kind, 0, false));
            ASSERT_NE(old_driver, nullptr);
            if (keyed_before) {
                ASSERT_TRUE(old_driver->key().ok());
            }
            auto new_driver = build(registry, line_config(kind, 0, true));
            ASSERT_NE(new_driver, nullptr);
            old_driver.reset();
            const std::vector<Write> writes = writes_on_line(bench, kind, 0);
            ASSERT_FALSE(writes.empty());
            EXPECT_TRUE(writes.back().level);
            new_driver.reset();
            EXPECT_EQ(writes_on_line(bench, kind, 0), writes);
        }
    }
}

// --- GPIO eviction -----------------------------------------------------------

TEST(GpioPtt, DeviceGoneEvictsOnlyItsOwnHandle) {
    const std::string gone = "gpio line 17 on /dev/gpiochip0: device went away mid-operation";
    Bench bench;
    PortRegistry registry(bench.openers());
    auto first = build(registry, gpio_config(17));
    auto sharing = build(registry, gpio_config(17));
    ASSERT_NE(sharing, nullptr);
    EXPECT_EQ(bench.opens("gpio", "/dev/gpiochip0"), 1);

    bench.unplug("/dev/gpiochip0");
    auto failed = first->key();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error_text(), gone);

    // The re-plugged chip's line is requested afresh.
    auto fresh = build(registry, gpio_config(17));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(bench.opens("gpio", "/dev/gpiochip0"), 2);

    // Drivers still on the dead handle fail, but leave the live entry alone,
    // in a write and in their release.
    EXPECT_EQ(sharing->key().error_text(), gone);
    EXPECT_EQ(first->unkey().error_text(), gone);
    first.reset();
    sharing.reset();
    auto later = build(registry, gpio_config(17));
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(bench.opens("gpio", "/dev/gpiochip0"), 2);
    EXPECT_TRUE(later->key().ok());
    EXPECT_TRUE(fresh->key().ok());
}

TEST(GpioPtt, DriverOutlivingTheRegistryStillWritesAndReleases) {
    Bench bench;
    auto registry = std::make_unique<PortRegistry>(bench.openers());
    auto driver = build(*registry, gpio_config(17));
    ASSERT_NE(driver, nullptr);
    registry.reset();
    EXPECT_TRUE(driver->key().ok());
    bench.unplug("/dev/gpiochip0");
    EXPECT_FALSE(driver->unkey().ok());
    driver.reset();
    EXPECT_EQ(bench.writes_on("gpio", "/dev/gpiochip0", 17).size(), 4u);
}

// --- Threads ---------------------------------------------------------------

// The transmit worker keys and unkeys, and finally releases, drivers that the
// main thread built, while the main thread keeps building drivers on the same
// devices, the GPIO chip goes away and comes back, and a few writes find their
// device vanished. Every line ends unkeyed.
TEST(PttDriverThreads, WorkerAndBuildsShareDevicesSafely) {
    Bench bench;
    PortRegistry registry(bench.openers());
    auto rts = build(registry, ptt_config("serial_rts", "/dev/ttyS0"));
    auto pin3 = build(registry, cm108_config(3));
    auto line17 = build(registry, gpio_config(17));
    ASSERT_TRUE(rts && pin3 && line17);

    std::vector<std::unique_ptr<PttDriver>> handed_over;
    handed_over.push_back(std::move(rts));
    handed_over.push_back(std::move(pin3));
    handed_over.push_back(std::move(line17));
    std::atomic<bool> stop{false};
    std::thread worker([&stop, drivers = std::move(handed_over)]() mutable {
        while (!stop.load()) {
            for (auto& driver : drivers) (void)driver->key();
            for (auto& driver : drivers) (void)driver->unkey();
        }
        drivers.clear();
    });
    std::vector<std::unique_ptr<PttDriver>> built;
    for (int round = 0; round < 200; ++round) {
        if (round == 50) bench.unplug("/dev/gpiochip0");
        // Whichever devices these writes meet vanish and are opened afresh.
        if (round == 100) bench.fail_writes(3, Kind::Other, ENODEV);
        built.clear();
        for (const auto& config :
             {ptt_config("serial_dtr", "/dev/ttyS0"), ptt_config("serial_rts", "/dev/ttyS0"),
              cm108_config(5), cm108_config(3), gpio_config(17), gpio_config(18)}) {
            auto driver = registry.build_driver(config);
            if (driver.ok()) built.push_back(std::move(driver).value());
        }
    }
    stop = true;
    worker.join();
    built.clear();

    const std::vector<Write> lines[] = {
        bench.writes_on("serial", "/dev/ttyS0", 0), bench.writes_on("serial", "/dev/ttyS0", 1),
        bench.writes_on("cm108", "/dev/hidraw0", 3), bench.writes_on("cm108", "/dev/hidraw0", 5),
        bench.writes_on("gpio", "/dev/gpiochip0", 18)};
    for (const auto& writes : lines) {
        ASSERT_FALSE(writes.empty());
        EXPECT_FALSE(writes.back().level) << writes.back();
    }
    EXPECT_GE(bench.opens("gpio", "/dev/gpiochip0"), 3);
}

}  // namespace
