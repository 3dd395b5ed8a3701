#pragma once

// The CM108-type device listing: the HID interfaces of the USB audio codecs
// whose GPIO pins the "cm108" PTT method drives, as one compact JSON array.
// It reads the HID library's device list and opens no device.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace cm108 {

// One HID interface as the HID library describes it.
struct HidInterface {
    std::string path;  // the node path's bytes, not necessarily UTF-8
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    int interface_number = -1;            // -1 when the library does not know it
    std::optional<std::wstring> product;  // absent when the library has no string
};

// One listed interface, written under these names in this order.
struct Cm108Device {
    std::string path;         // valid UTF-8
    std::string vendor;       // four lower-case hex digits
    std::string product;      // four lower-case hex digits
    std::string description;  // the product string; "" when there is none
};

// True for the ids of a codec whose GPIO pins the PTT method can drive, on HID
// interface 3 or on one whose number the library does not know (-1).
bool is_cm108_type(uint16_t vendor_id, uint16_t product_id, int interface_number);

// The matching interfaces turned into listed devices, in their given order.
std::vector<Cm108Device> select_cm108(std::span<const HidInterface> interfaces);

// The devices as a compact JSON array ("[]" for none); "json: {}" when the
// writer fails (texts that are not UTF-8).
Result<std::string> write_json(std::span<const Cm108Device> devices);

// The document for the HID library's list `interfaces`: select_cm108, then
// write_json.
Result<std::string> listing_document(std::span<const HidInterface> interfaces);

// UTF-32 text (wchar_t on Linux) as UTF-8, independent of the locale: surrogates
// and values above U+10FFFF become U+FFFD.
std::string wide_to_utf8(std::wstring_view text);

// The HID library's interface list. The library is initialised and finished
// within the call; "hidapi init: {}" when it cannot be initialised. No HID
// device at all is the empty list.
Result<std::vector<HidInterface>> hid_interfaces();

// The listing document of the machine's CM108-type interfaces.
Result<std::string> enumerate_cm108();

}  // namespace cm108
