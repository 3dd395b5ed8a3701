#pragma once

// The USB device listing: every USB device that sysfs describes, with its bus
// number, address, ids, descriptor strings, class and speed, as one compact JSON
// document. It reads attribute files and opens no device. A failure to list
// becomes an issue inside the document, so the listing always has a result.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace list_usb {

// One problem met while listing.
struct CollectorIssue {
    std::string kind;
    std::string message;
    std::optional<std::string> path;  // written only when present
};

// One device, its fields in the order of the document. Empty texts and a
// max_power_ma of 0 are left out of it, except bus_number, vendor_id and
// product_id, which are always written.
struct USBDevice {
    uint32_t bus_number = 0;
    std::string port_path;  // the device's address on its bus, in decimal
    std::string vendor_id;  // four lower-case hex digits
    std::string product_id;
    std::string vendor_name;  // never filled
    std::string product_name;
    std::string manufacturer;
    std::string serial;
    std::string device_class;  // written as "class": two lower-case hex digits
    std::string subclass;
    std::string usb_version;       // never filled
    std::string speed;             // "low", "full", "high", "super", "super_plus" or "unknown"
    uint32_t max_power_ma = 0;     // never filled
    std::string hub_power_source;  // never filled
};

struct USBTopology {
    std::vector<USBDevice> devices;
    std::vector<CollectorIssue> issues;  // written only when not empty
};

// The devices under `devices_dir` (a directory laid out like
// /sys/bus/usb/devices), in the order its listing yields them. Interface
// entries (names holding ':') and devices whose ids, class or numbers are
// missing or malformed are left out without a word; a directory that cannot be
// listed gives no device and a "list_devices_failed" issue.
USBTopology collect(const std::filesystem::path& devices_dir);

// The speed name for the kernel's speed text in Mbit/s; "unknown" for anything
// not in the table and for an absent speed.
std::string speed_name(const std::optional<std::string>& kernel_speed);

// The document of `topology`, compact, keys in the order of the fields. A
// writer failure gives the fixed "json_marshal_failed" document instead.
std::string marshal(const USBTopology& topology);

// {"devices":[],"issues":[{"kind":"json_marshal_failed","message":M}]} with
// `message` (made valid UTF-8) escaped by hand as M.
std::string marshal_failed_document(std::string_view message);

// The document of the machine's USB devices (/sys/bus/usb/devices).
std::string run();

}  // namespace list_usb
