#include "cm108.h"

#include <hidapi.h>
#include <locale.h>

#include <nlohmann/json.hpp>

#include "ipc/utf8.h"

namespace cm108 {

namespace {

static_assert(sizeof(wchar_t) == 4, "wide strings are UTF-32");

constexpr uint32_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string wide_or_empty(const wchar_t* text) {
    return text == nullptr ? std::string() : wide_to_utf8(text);
}

// The library turns the kernel's UTF-8 strings into wide strings under the
// calling thread's LC_CTYPE; under the process's "C" locale every non-ASCII
// string would come back empty. This sets C.UTF-8 for the current thread alone
// while it lives (without it, the thread keeps its locale).
class ThreadUtf8Locale {
public:
    ThreadUtf8Locale() : locale_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{})) {
        if (locale_ != locale_t{}) previous_ = ::uselocale(locale_);
    }
    ~ThreadUtf8Locale() {
        if (locale_ == locale_t{}) return;
        ::uselocale(previous_);
        ::freelocale(locale_);
    }
    ThreadUtf8Locale(const ThreadUtf8Locale&) = delete;
    ThreadUtf8Locale& operator=(const ThreadUtf8Locale&) = delete;

private:
    locale_t locale_;
    locale_t previous_ = locale_t{};
};

// Finishes the library (and frees its error text) on every way out.
class HidSession {
public:
    HidSession() = default;
    ~HidSession() { ::hid_exit(); }
    HidSession(const HidSession&) = delete;
    HidSession& operator=(const HidSession&) = delete;
};

class Enumeration {
public:
    explicit Enumeration(hid_device_info* list) : list_(list) {}
    ~Enumeration() { ::hid_free_enumeration(list_); }
    Enumeration(const Enumeration&) = delete;
    Enumeration& operator=(const Enumeration&) = delete;
    const hid_device_info* first() const { return list_; }

private:
    hid_device_info* list_;
};

}  // namespace

bool is_cm108_type(uint16_t vendor_id, uint16_t product_id, int interface_number) {
    if (interface_number != 3 && interface_number != -1) return false;
    switch (vendor_id) {
        case 0x0d8c:
        case 0x0c76:
            return true;
        case 0x1209:
            return product_id == 0x7388;
        default:
            return false;
    }
}

std::vector<Cm108Device> select_cm108(std::span<const HidInterface> interfaces) {
    std::vector<Cm108Device> devices;
    for (const HidInterface& hid : interfaces) {
        if (!is_cm108_type(hid.vendor_id, hid.product_id, hid.interface_number)) continue;
        devices.push_back(Cm108Device{
            .path = ipc::utf8::make_valid(hid.path),
            .vendor = fmt::format("{:04x}", hid.vendor_id),
            .product = fmt::format("{:04x}", hid.product_id),
            .description = hid.product ? wide_to_utf8(*hid.product) : std::string(),
        });
    }
    return devices;
}

Result<std::string> write_json(std::span<const Cm108Device> devices) {
    try {
        nlohmann::ordered_json doc = nlohmann::ordered_json::array();
        for (const Cm108Device& device : devices) {
            nlohmann::ordered_json entry = nlohmann::ordered_json::object();
            entry["path"] = device.path;
            entry["vendor"] = device.vendor;
            entry["product"] = device.product;
            entry["description"] = device.description;
            doc.push_back(std::move(entry));
        }
        return doc.dump();
    } catch (const nlohmann::json::exception& e) {
        return make_error("json: {}", e.what());
    }
}

Result<std::string> listing_document(std::span<const HidInterface> interfaces) {
    return write_json(select_cm108(interfaces));
}

std::string wide_to_utf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        auto cp = static_cast<uint32_t>(c);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
        append_utf8(out, cp);
    }
    return out;
}

Result<std::vector<HidInterface>> hid_interfaces() {
    ThreadUtf8Locale utf8_locale;
    HidSession session;
    if (::hid_init() != 0)
        return make_error("hidapi init: {}", wide_or_empty(::hid_error(nullptr)));

    // No list at all is how the library reports a machine without HID devices.
    Enumeration list(::hid_enumerate(0, 0));
    std::vector<HidInterface> interfaces;
    for (const hid_device_info* info = list.first(); info != nullptr; info = info->next) {
        HidInterface hid;
        if (info->path != nullptr) hid.path = info->path;
        hid.vendor_id = info->vendor_id;
        hid.product_id = info->product_id;
        hid.interface_number = info->interface_number;
        if (info->product_string != nullptr) hid.product = std::wstring(info->product_string);
        interfaces.push_back(std::move(hid));
    }
    return interfaces;
}

Result<std::string> enumerate_cm108() {
    Result<std::vector<HidInterface>> interfaces = hid_interfaces();
    if (!interfaces) return interfaces.error();
    return listing_document(*interfaces);
}

}  // namespace cm108
