#include "list_usb.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "ipc/utf8.h"
#include "json_text.h"

namespace list_usb {

namespace {

constexpr std::string_view kBlank = " \t\n\r\v\f";

// A sysfs attribute: the whole file, trimmed at both ends; absent when it
// cannot be opened or read.
std::optional<std::string> read_attribute(const std::filesystem::path& dir, const char* name) {
    int fd = ::open((dir / name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t first = text.find_first_not_of(kBlank);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(kBlank);
    return text.substr(first, last - first + 1);
}

// An unsigned number in `base` that is all digits and at most `max`.
std::optional<uint32_t> parse_unsigned(const std::optional<std::string>& text, int base,
                                       uint32_t max) {
    if (!text || text->empty()) return std::nullopt;
    uint32_t value = 0;
    const char* end = text->data() + text->size();
    auto [ptr, ec] = std::from_chars(text->data(), end, value, base);
    if (ec != std::errc() || ptr != end || value > max) return std::nullopt;
    return value;
}

// A descriptor string: absent and empty both stay empty (and so unwritten).
std::string descriptor_string(const std::filesystem::path& dir, const char* name) {
    std::optional<std::string> text = read_attribute(dir, name);
    return text ? ipc::utf8::make_valid(*text) : std::string();
}

std::optional<USBDevice> describe(const std::filesystem::path& dir) {
    auto busnum = parse_unsigned(read_attribute(dir, "busnum"), 10, UINT32_MAX);
    auto devnum = parse_unsigned(read_attribute(dir, "devnum"), 10, UINT32_MAX);
    auto vendor = parse_unsigned(read_attribute(dir, "idVendor"), 16, 0xFFFF);
    auto product = parse_unsigned(read_attribute(dir, "idProduct"), 16, 0xFFFF);
    auto device_class = parse_unsigned(read_attribute(dir, "bDeviceClass"), 16, 0xFF);
    auto subclass = parse_unsigned(read_attribute(dir, "bDeviceSubClass"), 16, 0xFF);
    if (!busnum || !devnum || !vendor || !product || !device_class || !subclass) {
        return std::nullopt;
    }
    USBDevice device;
    device.bus_number = *busnum;
    device.port_path = fmt::format("{}", *devnum);
    device.vendor_id = fmt::format("{:04x}", *vendor);
    device.product_id = fmt::format("{:04x}", *product);
    device.product_name = descriptor_string(dir, "product");
    device.manufacturer = descriptor_string(dir, "manufacturer");
    device.serial = descriptor_string(dir, "serial");
    device.device_class = fmt::format("{:02x}", *device_class);
    device.subclass = fmt::format("{:02x}", *subclass);
    device.speed = speed_name(read_attribute(dir, "speed"));
    return device;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The entry names of `dir` in the order the directory yields them, or the
// system's error text.
std::optional<std::vector<std::string>> entry_names(const std::filesystem::path& dir,
                                                    std::string& error) {
    std::unique_ptr<DIR, DirCloser> handle(::opendir(dir.c_str()));
    if (!handle) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(handle.get());
        if (entry == nullptr) {
            if (errno != 0) {
                error = std::strerror(errno);
                return std::nullopt;
            }
            return names;
        }
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
}

void put_text(nlohmann::ordered_json& object, const char* key, const std::string& text) {
    if (!text.empty()) object[key] = text;
}

nlohmann::ordered_json device_json(const USBDevice& d) {
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    o["bus_number"] = d.bus_number;
    put_text(o, "port_path", d.port_path);
    o["vendor_id"] = d.vendor_id;
    o["product_id"] = d.product_id;
    put_text(o, "vendor_name", d.vendor_name);
    put_text(o, "product_name", d.product_name);
    put_text(o, "manufacturer", d.manufacturer);
    put_text(o, "serial", d.serial);
    put_text(o, "class", d.device_class);
    put_text(o, "subclass", d.subclass);
    put_text(o, "usb_version", d.usb_version);
    put_text(o, "speed", d.speed);
    if (d.max_power_ma != 0) o["max_power_ma"] = d.max_power_ma;
    put_text(o, "hub_power_source", d.hub_power_source);
    return o;
}

nlohmann::ordered_json issue_json(const CollectorIssue& issue) {
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    o["kind"] = issue.kind;
    o["message"] = issue.message;
    if (issue.path) o["path"] = *issue.path;
    return o;
}

}  // namespace

std::string speed_name(const std::optional<std::string>& kernel_speed) {
    if (!kernel_speed) return "unknown";
    const std::string& s = *kernel_speed;
    if (s == "1.5") return "low";
    if (s == "12") return "full";
    if (s == "480") return "high";
    if (s == "5000") return "super";
    if (s == "10000") return "super_plus";
    return "unknown";
}

USBTopology collect(const std::filesystem::path& devices_dir) {
    USBTopology topology;
    std::string error;
    std::optional<std::vector<std::string>> names = entry_names(devices_dir, error);
    if (!names) {
        topology.issues.push_back({"list_devices_failed", error, std::nullopt});
        return topology;
    }
    for (const std::string& name : *names) {
        if (name.find(':') != std::string::npos) continue;
        if (std::optional<USBDevice> device = describe(devices_dir / name)) {
            topology.devices.push_back(std::move(*device));
        }
    }
    return topology;
}

std::string marshal(const USBTopology& topology) {
    try {
        nlohmann::ordered_json doc = nlohmann::ordered_json::object();
        doc["devices"] = nlohmann::ordered_json::array();
        for (const USBDevice& device : topology.devices)
            doc["devices"].push_back(device_json(device));
        if (!topology.issues.empty()) {
            doc["issues"] = nlohmann::ordered_json::array();
            for (const CollectorIssue& issue : topology.issues) {
                doc["issues"].push_back(issue_json(issue));
            }
        }
        return doc.dump();
    } catch (const nlohmann::json::exception& e) {
        return marshal_failed_document(e.what());
    }
}

std::string marshal_failed_document(std::string_view message) {
    return R"({"devices":[],"issues":[{"kind":"json_marshal_failed","message":)" +
           json_text::quoted(message) + "}]}";
}

std::string run() {
    return marshal(collect("/sys/bus/usb/devices"));
}

}  // namespace list_usb
