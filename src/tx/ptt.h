#pragma once

// PTT control: the driver interface every keying method implements, the
// drivers for no keying, serial RTS/DTR, CM108 GPIO pins and GPIO lines, and
// the registry that builds them and keeps one open handle per device.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "ipc/proto.h"
#include "result.h"
#include "tx/ptt_device.h"

namespace ptt {

// Keys and unkeys one radio channel's transmitter. Built, called and released
// by the transmit worker on its own thread: the destructor is the driver's
// release behaviour.
class PttDriver {
public:
    virtual ~PttDriver() = default;

    // Asserts PTT.
    virtual Status key() = 0;
    // Releases PTT.
    virtual Status unkey() = 0;
};

// No keying (no method, VOX, or a keying tone): key and unkey succeed and touch
// nothing.
class NonePtt final : public PttDriver {
public:
    Status key() override { return Status::success(); }
    Status unkey() override { return Status::success(); }
};

// Which driver wrote a shared line last, whether that write may have left
// the line keyed (a key, successful or not, or a failed unkey), and that
// driver's unkeyed level. A driver's release writes the unkeyed level only
// when it is that writer and the line may be keyed, so releasing a driver
// never overrides a newer driver's level.
struct LastWrite {
    uint64_t writer = 0;  // the driver's id; 0 before the first write
    bool may_be_keyed = false;
    bool idle_level = false;  // the writer's level for keyed false
};

// Whether a device write failed because the device itself went away (a USB
// adapter unplugged): ENODEV, ENXIO or EIO, or a handle already closed for
// that reason.
bool device_vanished(const WriteFault& fault);

// Writes `level` to line `index` of a device: RTS (0) or DTR (1) of a serial
// port, pin index + 1 of a CM108 codec.
WriteStatus write_level(ModemControlLines& lines, size_t index, bool level) noexcept;
WriteStatus write_level(Cm108GpioControl& codec, size_t index, bool level) noexcept;

// An open PTT device shared by the drivers on its lines (serial RTS and DTR,
// CM108 pins 1 to 8, or one GPIO line), behind its own lock. The lock is held
// for exactly one write, and nothing under it throws or allocates. A handle
// whose device went away is closed at once (close_device) and reads gone to
// every driver sharing it.
template <class Device, size_t kLines>
class SharedDevice {
public:
    explicit SharedDevice(std::unique_ptr<Device> device) : device_(std::move(device)) {}

    // Calls `write(device)` under the lock for line `index` (below kLines) and
    // records `writer` as that line's last writer, with its unkeyed level
    // `idle_level`. `write` is noexcept and returns an optional fault; on a
    // closed handle nothing is written and `gone` is returned.
    template <class Write, class Fault>
    auto write_line(size_t index, uint64_t writer, bool keyed, bool idle_level, Fault gone,
                    Write&& write) noexcept -> decltype(write(std::declval<Device&>())) {
        std::lock_guard hold(lock_);
        if (!device_) return gone;
        auto fault = write(*device_);
        last_[index] = LastWrite{writer, keyed || fault.has_value(), idle_level};
        return fault;
    }

    // The release of `writer`'s line `index`: calls `write(device)` (the
    // unkeyed level) only if `writer` wrote that line last and may have left it
    // keyed; otherwise, or on a closed handle, writes nothing and returns no
    // fault.
    template <class Write>
    auto release_line(size_t index, uint64_t writer, Write&& write) noexcept
        -> decltype(write(std::declval<Device&>())) {
        std::lock_guard hold(lock_);
        LastWrite& last = last_[index];
        if (!device_ || last.writer != writer || !last.may_be_keyed) return std::nullopt;
        auto fault = write(*device_);
        last = LastWrite{writer, fault.has_value(), last.idle_level};
        return fault;
    }

    // Closes the device: every later write finds the handle gone.
    void close_device() noexcept {
        std::unique_ptr<Device> closing;
        {
            std::lock_guard hold(lock_);
            closing = std::move(device_);
        }
    }

    bool gone() noexcept {
        std::lock_guard hold(lock_);
        return !device_;
    }

    // What each line's last writer wrote, for a fresh handle of the device.
    std::array<LastWrite, kLines> last_writes() noexcept {
        std::lock_guard hold(lock_);
        return last_;
    }

    // Takes over the lines of a handle of the same device that went away:
    // each line that a driver wrote is set to that driver's unkeyed level (a
    // fresh open may have asserted it), and remembered as that driver's line.
    // Called before the handle is shared. Returns the first fault.
    WriteStatus restore(const std::array<LastWrite, kLines>& lines) noexcept {
        std::lock_guard hold(lock_);
        for (size_t index = 0; index < kLines; ++index) {
            if (lines[index].writer == 0) continue;
            if (auto fault = write_level(*device_, index, lines[index].idle_level)) return fault;
            last_[index] = LastWrite{lines[index].writer, false, lines[index].idle_level};
        }
        return std::nullopt;
    }

private:
    std::mutex lock_;
    std::unique_ptr<Device> device_;        // guarded by lock_; null once closed
    std::array<LastWrite, kLines> last_{};  // guarded by lock_
};

// Which modem-control line of a serial port a driver keys.
enum class SerialLine : uint8_t { Rts = 0, Dtr = 1 };

using SharedSerialPort = SharedDevice<ModemControlLines, 2>;
using SharedCm108 = SharedDevice<Cm108GpioControl, 8>;
using SharedGpioLine = SharedDevice<GpiochipControl, 1>;

// The registry's open serial ports or CM108 nodes by path, shared with the
// drivers behind its own lock (never held together with a handle's lock). A
// handle whose device went away is closed by the driver that met the fault
// and so leaves the table: the next driver or build that asks for its path
// opens the device afresh, with the lines the old handle's drivers wrote set
// to their unkeyed levels first.
template <class Device, size_t kLines>
class DeviceTable {
public:
    using Handle = SharedDevice<Device, kLines>;
    using Opener = std::function<Result<std::unique_ptr<Device>>(const std::string& path)>;

    explicit DeviceTable(Opener open) : open_(std::move(open)) {}

    // The open handle of `path`, or the device opened now and put under it.
    // Errors: the opener's, or the first failed write restoring a line.
    Result<std::shared_ptr<Handle>> share(const std::string& path);

private:
    using Entries = std::map<std::string, std::shared_ptr<Handle>>;

    std::mutex lock_;
    Opener open_;
    // By path: the handle drivers share, or the closed handle of a device
    // that went away, kept for what its lines were last written with.
    Entries entries_;  // guarded by lock_
};

using SerialPortTable = DeviceTable<ModemControlLines, 2>;
using Cm108Table = DeviceTable<Cm108GpioControl, 8>;

template <class Device, size_t kLines>
Result<std::shared_ptr<typename DeviceTable<Device, kLines>::Handle>>
DeviceTable<Device, kLines>::share(const std::string& path) {
    std::shared_ptr<Handle> found;
    {
        std::lock_guard hold(lock_);
        if (auto entry = entries_.find(path); entry != entries_.end()) found = entry->second;
    }
    if (found && !found->gone()) return found;

    // The device is opened with no lock held; its entry is allocated before
    // the lock is taken, so that nothing under the lock can fail.
    auto opened = open_(path);
    if (!opened.ok()) return opened.error();
    auto handle = std::make_shared<Handle>(std::move(opened).value());
    if (found) {
        if (auto fault = handle->restore(found->last_writes())) return fault->error();
    }
    Entries staging;
    staging.emplace(path, handle);
    typename Entries::node_type node = staging.extract(staging.begin());
    std::shared_ptr<Handle> shared;
    std::shared_ptr<Handle> replaced;  // released after the lock
    {
        std::lock_guard hold(lock_);
        auto entry = entries_.find(path);
        if (entry == entries_.end()) {
            entries_.insert(std::move(node));
            shared = handle;
        } else if (entry->second == found) {
            replaced = std::exchange(entry->second, handle);
            shared = handle;
        } else {
            shared = entry->second;  // another thread opened it first
        }
    }
    return shared;
}


// The registry's table of requested GPIO lines, keyed "{chip path}:{line}",
// behind its own lock. That lock is never held together with a line's lock,
// and nothing under it throws or allocates.
struct GpioLineTable {
    using Lines = std::map<std::string, std::shared_ptr<SharedGpioLine>>;

    std::mutex lock;
    Lines lines;  // guarded by lock
};

// Keys a radio through the RTS or DTR line of a shared serial port: level =
// keyed XOR invert, true asserting the line. A write that finds the port gone
// (the adapter unplugged) closes it for every driver sharing it; the next
// write opens the port afresh through the table.
class SerialLinePtt final : public PttDriver {
public:
    // `port` is `path`'s handle in `table`.
    SerialLinePtt(std::shared_ptr<SerialPortTable> table, std::string path,
                  std::shared_ptr<SharedSerialPort> port, SerialLine line, bool invert);
    SerialLinePtt(const SerialLinePtt&) = delete;
    SerialLinePtt& operator=(const SerialLinePtt&) = delete;
    // Writes the unkeyed level if this driver may have left its line keyed and
    // no other driver has written the line since, then lets go of the port.
    ~SerialLinePtt() override;

    Status key() override { return set(true); }
    Status unkey() override { return set(false); }

    // Writes the line's level for `keyed` under the port's lock.
    Status set(bool keyed);

private:
    // Writes the line's level for `keyed` with the port's crash release kept
    // in step (armed while the line may be keyed).
    WriteStatus write(ModemControlLines& lines, bool keyed) const noexcept;

    std::shared_ptr<SerialPortTable> table_;
    std::string path_;
    std::shared_ptr<SharedSerialPort> port_;
    SerialLine line_;
    bool invert_;
    uint64_t id_;
};

// Keys a radio through GPIO pin `pin` (1 to 8) of a shared CM108-type codec:
// level = keyed XOR invert, true setting the pin. A vanished codec is handled
// as SerialLinePtt handles a vanished port.
class Cm108Ptt final : public PttDriver {
public:
    // `pin` is 1 to 8; `hid` is `path`'s handle in `table`.
    Cm108Ptt(std::shared_ptr<Cm108Table> table, std::string path, std::shared_ptr<SharedCm108> hid,
             uint8_t pin, bool invert);
    Cm108Ptt(const Cm108Ptt&) = delete;
    Cm108Ptt& operator=(const Cm108Ptt&) = delete;
    // Releases like SerialLinePtt.
    ~Cm108Ptt() override;

    Status key() override { return set(true); }
    Status unkey() override { return set(false); }

    // Writes the pin's level for `keyed` under the device's lock.
    Status set(bool keyed);

private:
    // As SerialLinePtt::write, for the pin.
    WriteStatus write(Cm108GpioControl& codec, bool keyed) const noexcept;

    std::shared_ptr<Cm108Table> table_;
    std::string path_;
    std::shared_ptr<SharedCm108> hid_;
    uint8_t pin_;
    bool invert_;
    uint64_t id_;
};

// Keys a radio through a shared requested GPIO line: level = keyed XOR invert,
// true setting the line to 1. A write that finds the device gone removes the
// line from the registry's table (if the table still holds this driver's
// handle), so that the next build requests it afresh.
class GpioPtt final : public PttDriver {
public:
    // `device` and `line` name the chip and line of `chip`; `registry` is the
    // table `chip` came from.
    GpioPtt(std::string device, std::shared_ptr<SharedGpioLine> chip,
            std::weak_ptr<GpioLineTable> registry, uint32_t line, bool invert);
    GpioPtt(const GpioPtt&) = delete;
    GpioPtt& operator=(const GpioPtt&) = delete;
    // Releases like SerialLinePtt.
    ~GpioPtt() override;

    Status key() override { return set(true); }
    Status unkey() override { return set(false); }

    // Writes the line's level for `keyed` under the line's lock.
    Status set(bool keyed) const;

private:
    // As SerialLinePtt::write, for the line.
    std::optional<GpioSetFault> write(GpiochipControl& chip, bool keyed) const noexcept;
    // Removes this driver's line from the registry's table if the table still
    // holds `chip_` under `key_`. Takes the table's lock only.
    void evict() const noexcept;

    std::string device_;
    std::shared_ptr<SharedGpioLine> chip_;
    std::weak_ptr<GpioLineTable> registry_;
    uint32_t line_;
    bool invert_;
    std::string key_;  // "{device}:{line}"
    uint64_t id_;
};

// What a driver is built from: the fields of a ConfigurePtt that select and
// address the device. Plain data, so that the main thread can hand it to the
// thread that builds the driver.
struct PttSettings {
    std::string method;  // compared exactly: no trimming, case-sensitive
    std::string device;  // path, or "host:port" for "rigctld"
    uint32_t gpio_pin = 0;
    uint32_t gpio_line = 0;
    bool invert = false;

    bool operator==(const PttSettings&) const = default;
};

// The driver settings of `config`; its timing fields are not among them.
PttSettings ptt_settings(const ipc::proto::ConfigurePtt& config);

// How the registry opens devices; tests substitute fakes.
struct DeviceOpeners {
    std::function<Result<std::unique_ptr<ModemControlLines>>(const std::string& path)> serial;
    std::function<Result<std::unique_ptr<Cm108GpioControl>>(const std::string& path)> cm108;
    std::function<GpioResult<std::unique_ptr<GpiochipControl>>(const std::string& path,
                                                               uint32_t line)>
        gpio;

    // The system's serial ports, hidraw nodes and GPIO chips.
    static DeviceOpeners system();
};

// Builds PTT drivers from ConfigurePtt settings and keeps exactly one open
// handle per device: serial ports and CM108 nodes by path, GPIO lines by chip
// path and line, so that channels can share them. Handles stay open until the
// registry and every driver sharing them are gone, or until their device goes
// away, after which the next build or write on that path opens it afresh.
// Used from one thread (the transmit worker's); the drivers it builds may
// move to any thread.
class PortRegistry {
public:
    // Empty tables, the system's device openers.
    PortRegistry();
    explicit PortRegistry(DeviceOpeners openers);

    // A driver for `settings`' method, device, gpio_pin, gpio_line and
    // invert. Every driver but NonePtt has written its unkeyed level once when
    // it is returned. Errors: the method's own texts, or the device layer's
    // unchanged; a failed build keeps every handle it opened. A "rigctld"
    // build connects and probes the daemon, which can take seconds.
    Result<std::unique_ptr<PttDriver>> build_driver(const PttSettings& settings);
    Result<std::unique_ptr<PttDriver>> build_driver(const ipc::proto::ConfigurePtt& config) {
        return build_driver(ptt_settings(config));
    }

    // A driver for line `line` of the serial port at `path`, opened or shared.
    Result<std::unique_ptr<SerialLinePtt>> serial_driver(const std::string& path, SerialLine line,
                                                         bool invert);

private:
    Result<std::unique_ptr<PttDriver>> cm108_driver(const std::string& path, uint32_t gpio_pin,
                                                    bool invert);
    Result<std::unique_ptr<PttDriver>> gpio_driver(const std::string& path, uint32_t line,
                                                   bool invert);
    // The table's handle for `key`, or a freshly opened line put under `key`.
    GpioResult<std::shared_ptr<SharedGpioLine>> gpio_line(const std::string& path, uint32_t line,
                                                          const std::string& key);

    DeviceOpeners openers_;
    std::shared_ptr<SerialPortTable> serial_ports_;
    std::shared_ptr<Cm108Table> cm108_devices_;
    std::shared_ptr<GpioLineTable> gpio_lines_;
};

}  // namespace ptt
