#include "tx/ptt.h"

#include <atomic>
#include <cerrno>
#include <utility>

#include "invariant.h"
#include "tx/ptt_cm108_unix.h"
#include "tx/ptt_gpio_linux.h"
#include "tx/ptt_rigctld.h"
#include "tx/ptt_unix.h"

namespace ptt {

namespace {

// Each driver's own id, by which a shared line knows who wrote it last.
uint64_t next_driver_id() {
    static std::atomic<uint64_t> last_id{0};
    return last_id.fetch_add(1, std::memory_order_relaxed) + 1;
}

// The GPIO table's key of line `line` on the chip at `path`.
std::string gpio_key(const std::string& path, uint32_t line) {
    return fmt::format("{}:{}", path, line);
}

// "rigctld": the rig-control daemon at `device` ("host:port"). The client's
// connect sequence writes the initial unkey itself.
Result<std::unique_ptr<PttDriver>> rigctld_driver(const std::string& device) {
    if (device.empty()) return make_error("rigctld ptt: device (host:port) is empty");
    auto connected = ptt_rigctld::RigctldPtt::connect(device);
    if (!connected.ok()) return connected.error();
    return std::unique_ptr<PttDriver>(std::move(connected).value());
}

// What a write returns on a handle closed because its device went away.
constexpr WriteFault kGoneFault{WriteFault::Step::Gone, 0};

// Writes the level of `keyed` with `write` and keeps `device`'s crash release
// of `line` in step with what the write may have left: armed with the unkeyed
// level before a key, kept after a failed unkey, dropped after a confirmed one.
template <class Device, class Write>
auto write_tracked(Device& device, size_t line, bool keyed, bool unkeyed_level,
                   Write&& write) noexcept {
    if (keyed) device.arm_crash_release(line, unkeyed_level);
    auto fault = write();
    if (!keyed) {
        if (fault) {
            device.arm_crash_release(line, unkeyed_level);
        } else {
            device.disarm_crash_release(line);
        }
    }
    return fault;
}

template <class Derived>
Result<std::unique_ptr<PttDriver>> as_driver(Result<std::unique_ptr<Derived>> built) {
    if (!built.ok()) return built.error();
    return std::unique_ptr<PttDriver>(std::move(built).value());
}

}  // namespace

bool device_vanished(const WriteFault& fault) {
    switch (fault.step) {
        case WriteFault::Step::Gone:
            return true;
        case WriteFault::Step::Tiocmget:
        case WriteFault::Step::Tiocmset:
        case WriteFault::Step::Cm108Write:
            return fault.number == ENODEV || fault.number == ENXIO || fault.number == EIO;
        case WriteFault::Step::Cm108Pin:
        case WriteFault::Step::Cm108ShortWrite:
            break;
    }
    return false;
}

WriteStatus write_level(ModemControlLines& lines, size_t index, bool level) noexcept {
    return index == static_cast<size_t>(SerialLine::Rts) ? lines.write_rts(level)
                                                         : lines.write_dtr(level);
}

WriteStatus write_level(Cm108GpioControl& codec, size_t index, bool level) noexcept {
    return codec.write_gpio(static_cast<uint8_t>(index + 1), level);
}

namespace {

// One level written by a serial or CM108 driver on its handle in `table`:
// a handle found gone is replaced by a fresh open of `path` first, and a
// write that finds the device gone closes the handle for every driver
// sharing it.
template <class Table, class Write>
Status write_shared(Table& table, const std::string& path,
                    std::shared_ptr<typename Table::Handle>& handle, size_t index, uint64_t writer,
                    bool keyed, bool idle_level, const Write& write) {
    if (handle->gone()) {
        auto fresh = table.share(path);
        if (!fresh.ok()) return fresh.error();
        handle = std::move(fresh).value();
    }
    const WriteStatus fault = handle->write_line(index, writer, keyed, idle_level,
                                                 WriteStatus{kGoneFault}, write);
    if (!fault) return Status::success();
    if (device_vanished(*fault)) handle->close_device();
    return fault->error();
}

}  // namespace

// --- SerialLinePtt ---------------------------------------------------------

SerialLinePtt::SerialLinePtt(std::shared_ptr<SerialPortTable> table, std::string path,
                             std::shared_ptr<SharedSerialPort> port, SerialLine line, bool invert)
    : table_(std::move(table)),
      path_(std::move(path)),
      port_(std::move(port)),
      line_(line),
      invert_(invert),
      id_(next_driver_id()) {}

SerialLinePtt::~SerialLinePtt() {
    (void)port_->release_line(
        static_cast<size_t>(line_), id_,
        [this](ModemControlLines& lines) noexcept { return write(lines, false); });
}

WriteStatus SerialLinePtt::write(ModemControlLines& lines, bool keyed) const noexcept {
    return write_tracked(lines, static_cast<size_t>(line_), keyed, invert_, [&]() noexcept {
        return write_level(lines, static_cast<size_t>(line_), keyed != invert_);
    });
}

Status SerialLinePtt::set(bool keyed) {
    return write_shared(*table_, path_, port_, static_cast<size_t>(line_), id_, keyed, invert_,
                        [&](ModemControlLines& lines) noexcept { return write(lines, keyed); });
}

// --- Cm108Ptt --------------------------------------------------------------

Cm108Ptt::Cm108Ptt(std::shared_ptr<Cm108Table> table, std::string path,
                   std::shared_ptr<SharedCm108> hid, uint8_t pin, bool invert)
    : table_(std::move(table)),
      path_(std::move(path)),
      hid_(std::move(hid)),
      pin_(pin),
      invert_(invert),
      id_(next_driver_id()) {
    if (pin_ < 1 || pin_ > 8) invariant::broken("cm108 ptt driver built for a pin outside 1-8");
}

Cm108Ptt::~Cm108Ptt() {
    (void)hid_->release_line(
        pin_ - 1u, id_, [this](Cm108GpioControl& codec) noexcept { return write(codec, false); });
}

WriteStatus Cm108Ptt::write(Cm108GpioControl& codec, bool keyed) const noexcept {
    return write_tracked(codec, pin_ - 1u, keyed, invert_,
                         [&]() noexcept { return codec.write_gpio(pin_, keyed != invert_); });
}

Status Cm108Ptt::set(bool keyed) {
    return write_shared(*table_, path_, hid_, pin_ - 1u, id_, keyed, invert_,
                        [&](Cm108GpioControl& codec) noexcept { return write(codec, keyed); });
}

// --- GpioPtt ---------------------------------------------------------------

GpioPtt::GpioPtt(std::string device, std::shared_ptr<SharedGpioLine> chip,
                 std::weak_ptr<GpioLineTable> registry, uint32_t line, bool invert)
    : device_(std::move(device)),
      chip_(std::move(chip)),
      registry_(std::move(registry)),
      line_(line),
      invert_(invert),
      key_(gpio_key(device_, line)),
      id_(next_driver_id()) {}

GpioPtt::~GpioPtt() {
    const std::optional<GpioSetFault> fault = chip_->release_line(
        0, id_, [this](GpiochipControl& chip) noexcept { return write(chip, false); });
    if (fault && fault->kind == GpioError::Kind::DeviceGone) evict();
}

Status GpioPtt::set(bool keyed) const {
    const std::optional<GpioSetFault> fault = chip_->write_line(
        0, id_, keyed, invert_,
        std::optional<GpioSetFault>{GpioSetFault{GpioError::Kind::DeviceGone, ENODEV}},
        [&](GpiochipControl& chip) noexcept { return write(chip, keyed); });
    if (!fault) return Status::success();
    if (fault->kind == GpioError::Kind::DeviceGone) evict();
    return Error{fault->error(device_, line_).text()};
}

std::optional<GpioSetFault> GpioPtt::write(GpiochipControl& chip, bool keyed) const noexcept {
    return write_tracked(chip, 0, keyed, invert_,
                         [&]() noexcept { return chip.set_line(keyed != invert_); });
}

void GpioPtt::evict() const noexcept {
    const std::shared_ptr<GpioLineTable> table = registry_.lock();
    if (!table) return;
    // The entry leaves the table under its lock and is destroyed after it.
    GpioLineTable::Lines::node_type evicted;
    {
        std::lock_guard hold(table->lock);
        const auto entry = table->lines.find(key_);
        if (entry != table->lines.end() && entry->second == chip_) {
            evicted = table->lines.extract(entry);
        }
    }
}

// --- DeviceOpeners ---------------------------------------------------------

DeviceOpeners DeviceOpeners::system() {
    DeviceOpeners openers;
    openers.serial = [](const std::string& path) -> Result<std::unique_ptr<ModemControlLines>> {
        auto opened = ptt_unix::UnixSerialLines::open(path);
        if (!opened.ok()) return opened.error();
        return std::unique_ptr<ModemControlLines>(
            std::make_unique<ptt_unix::UnixSerialLines>(std::move(opened).value()));
    };
    openers.cm108 = [](const std::string& path) -> Result<std::unique_ptr<Cm108GpioControl>> {
        auto opened = ptt_cm108_unix::UnixCm108Gpio::open(path);
        if (!opened.ok()) return opened.error();
        return std::unique_ptr<Cm108GpioControl>(
            std::make_unique<ptt_cm108_unix::UnixCm108Gpio>(std::move(opened).value()));
    };
    openers.gpio = [](const std::string& path,
                      uint32_t line) -> GpioResult<std::unique_ptr<GpiochipControl>> {
        auto opened = ptt_gpio_linux::LinuxGpiochip::open(path, line);
        if (!opened.ok()) return opened.error();
        return std::unique_ptr<GpiochipControl>(
            std::make_unique<ptt_gpio_linux::LinuxGpiochip>(std::move(opened).value()));
    };
    return openers;
}

// --- PortRegistry ----------------------------------------------------------

PortRegistry::PortRegistry() : PortRegistry(DeviceOpeners::system()) {}

PortRegistry::PortRegistry(DeviceOpeners openers)
    : openers_(std::move(openers)),
      serial_ports_(std::make_shared<SerialPortTable>(openers_.serial)),
      cm108_devices_(std::make_shared<Cm108Table>(openers_.cm108)),
      gpio_lines_(std::make_shared<GpioLineTable>()) {}

PttSettings ptt_settings(const ipc::proto::ConfigurePtt& config) {
    return PttSettings{config.method(), config.device(), config.gpio_pin(), config.gpio_line(),
                       config.invert()};
}

Result<std::unique_ptr<PttDriver>> PortRegistry::build_driver(const PttSettings& settings) {
    const std::string& method = settings.method;
    if (method.empty() || method == "none" || method == "vox" || method == "digirig_tone") {
        return std::unique_ptr<PttDriver>(std::make_unique<NonePtt>());
    }
    if (method == "serial_rts") {
        return as_driver(serial_driver(settings.device, SerialLine::Rts, settings.invert));
    }
    if (method == "serial_dtr") {
        return as_driver(serial_driver(settings.device, SerialLine::Dtr, settings.invert));
    }
    if (method == "gpio") return gpio_driver(settings.device, settings.gpio_line, settings.invert);
    if (method == "cm108") return cm108_driver(settings.device, settings.gpio_pin, settings.invert);
    if (method == "rigctld") return rigctld_driver(settings.device);
    if (method == "android")
        return make_error("android ptt method is only valid on Android targets");
    return make_error("unknown ptt method '{}'", method);
}

Result<std::unique_ptr<SerialLinePtt>> PortRegistry::serial_driver(const std::string& path,
                                                                   SerialLine line, bool invert) {
    if (path.empty()) return make_error("serial ptt: device path is empty");
    auto port = serial_ports_->share(path);
    if (!port.ok()) return port.error();
    auto driver =
        std::make_unique<SerialLinePtt>(serial_ports_, path, std::move(port).value(), line, invert);
    // On failure the discarded driver's release writes the unkeyed level once more.
    if (Status unkeyed = driver->set(false); !unkeyed.ok()) return unkeyed.error();
    return driver;
}

Result<std::unique_ptr<PttDriver>> PortRegistry::cm108_driver(const std::string& path,
                                                              uint32_t gpio_pin, bool invert) {
    const uint32_t pin = gpio_pin == 0 ? 3 : gpio_pin;
    if (pin > 8) return make_error("cm108 gpio_pin {} out of range (1-8)", gpio_pin);
    if (path.empty()) return make_error("cm108 ptt: device path is empty");
    auto hid = cm108_devices_->share(path);
    if (!hid.ok()) return hid.error();
    auto driver = std::make_unique<Cm108Ptt>(cm108_devices_, path, std::move(hid).value(),
                                             static_cast<uint8_t>(pin), invert);
    if (Status unkeyed = driver->set(false); !unkeyed.ok()) return unkeyed.error();
    return std::unique_ptr<PttDriver>(std::move(driver));
}

Result<std::unique_ptr<PttDriver>> PortRegistry::gpio_driver(const std::string& path, uint32_t line,
                                                             bool invert) {
    if (path.empty()) return make_error("gpio ptt: device path is empty");
    const std::string key = gpio_key(path, line);
    auto chip = gpio_line(path, line, key);
    if (!chip.ok()) return Error{chip.error().text()};
    auto driver =
        std::make_unique<GpioPtt>(path, std::move(chip).value(), gpio_lines_, line, invert);
    if (Status unkeyed = driver->set(false); !unkeyed.ok()) return unkeyed.error();
    return std::unique_ptr<PttDriver>(std::move(driver));
}

GpioResult<std::shared_ptr<SharedGpioLine>> PortRegistry::gpio_line(const std::string& path,
                                                                    uint32_t line,
                                                                    const std::string& key) {
    std::shared_ptr<SharedGpioLine> shared;
    {
        std::lock_guard hold(gpio_lines_->lock);
        const auto entry = gpio_lines_->lines.find(key);
        if (entry != gpio_lines_->lines.end()) shared = entry->second;
    }
    if (shared) return shared;

    // The line is opened with no lock held. Its table entry is allocated before
    // the lock is taken, so that inserting it cannot fail under the lock.
    auto opened = openers_.gpio(path, line);
    if (!opened.ok()) return opened.error();
    GpioLineTable::Lines staging;
    staging.emplace(key, std::make_shared<SharedGpioLine>(std::move(opened).value()));
    GpioLineTable::Lines::node_type entry = staging.extract(staging.begin());
    GpioLineTable::Lines::node_type unused;  // the new line, if another came first
    {
        std::lock_guard hold(gpio_lines_->lock);
        auto inserted = gpio_lines_->lines.insert(std::move(entry));
        shared = inserted.position->second;
        unused = std::move(inserted.node);
    }
    return shared;
}

}  // namespace ptt
