// The listings' documents: the USB listing over a sysfs-like directory whose
// attribute files come from the input, the CM108 listing's writer over
// interfaces and texts of any bytes, the audio listing over devices named by
// the input, the fixed failure documents, and the sysfs attribute reader. Every document written
// must be valid UTF-8 that parses as JSON and holds what went in.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/soundcard_names.h"
#include "cm108.h"
#include "fuzz_support.h"
#include "ipc/utf8.h"
#include "list_audio.h"
#include "list_usb.h"
#include "modem/alsa_card.h"

namespace {

constexpr const char* kAttributes[] = {
    "busnum",          "devnum",  "idVendor",     "idProduct", "bDeviceClass",
    "bDeviceSubClass", "product", "manufacturer", "serial",    "speed",
};

// Entries of the listed directory; the last is an interface, never listed.
constexpr const char* kEntries[] = {"1-1", "usb2", "3-1.4", "3-1.4:1.0"};

nlohmann::json parse_document(const std::string& text) {
    FUZZ_CHECK(ipc::utf8::is_valid(text));
    nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    FUZZ_CHECK(!doc.is_discarded());
    return doc;
}

void check_usb(fuzz::InputReader& input) {
    const std::filesystem::path dir = fuzz::scratch_dir() + "/usb";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    const size_t entries = input.u8() % (std::size(kEntries) + 1);
    for (size_t e = 0; e < entries; ++e) {
        const std::filesystem::path device = dir / kEntries[e];
        std::filesystem::create_directory(device);
        const uint16_t present = input.u16();
        for (size_t a = 0; a < std::size(kAttributes); ++a) {
            if ((present >> a & 1) == 0) continue;
            const auto text = input.bytes(input.u8() % 48);
            fuzz::write_scratch(std::string("usb/") + kEntries[e] + "/" + kAttributes[a], text);
        }
    }
    const list_usb::USBTopology topology = list_usb::collect(dir);
    FUZZ_CHECK(topology.issues.empty());
    FUZZ_CHECK(topology.devices.size() <= (entries < 4 ? entries : 3));
    const nlohmann::json doc = parse_document(list_usb::marshal(topology));
    FUZZ_CHECK(doc.at("devices").size() == topology.devices.size());
    for (size_t i = 0; i < topology.devices.size(); ++i) {
        const auto& d = topology.devices[i];
        FUZZ_CHECK(doc.at("devices").at(i).at("vendor_id") == d.vendor_id);
        FUZZ_CHECK(d.product_name.empty() ||
                   doc.at("devices").at(i).at("product_name") == d.product_name);
        FUZZ_CHECK(d.serial.empty() || doc.at("devices").at(i).at("serial") == d.serial);
    }
}

void check_cm108(fuzz::InputReader& input) {
    std::vector<cm108::HidInterface> interfaces(input.u8() % 4);
    for (auto& hid : interfaces) {
        hid.path = input.text(32);
        // Mostly ids of the listed codecs, sometimes any.
        const uint8_t pick = input.u8();
        hid.vendor_id = pick % 4 == 0 ? 0x0d8c : pick % 4 == 1 ? 0x1209 : input.u16();
        hid.product_id = pick % 8 < 4 ? 0x7388 : input.u16();
        hid.interface_number = pick & 0x10 ? 3 : pick & 0x20 ? -1 : input.u8();
        if (pick & 0x40) {
            std::wstring product(input.u8() % 8, L'\0');
            for (wchar_t& c : product) c = static_cast<wchar_t>(input.u32());
            hid.product = product;
        }
    }
    const auto listed = cm108::listing_document(interfaces);
    FUZZ_CHECK(listed.ok());
    const nlohmann::json doc = parse_document(*listed);
    FUZZ_CHECK(doc.size() == cm108::select_cm108(interfaces).size());

    // The writer alone, with texts that need not be UTF-8: it writes a valid
    // document exactly when every text is valid, and refuses the rest.
    cm108::Cm108Device device{input.text(16), input.text(4), input.text(4), input.text(16)};
    const bool valid = ipc::utf8::is_valid(device.path) && ipc::utf8::is_valid(device.vendor) &&
                       ipc::utf8::is_valid(device.product) &&
                       ipc::utf8::is_valid(device.description);
    const auto written = cm108::write_json(std::span(&device, 1));
    FUZZ_CHECK(written.ok() == valid);
    if (written) FUZZ_CHECK(parse_document(*written).at(0).at("description") == device.description);
}

void check_audio(fuzz::InputReader& input) {
    listing::AudioDevices devices;
    for (size_t h = input.u8() % 3; h > 0; --h) {
        listing::AudioHost host{input.text(8), input.text(8), input.flag(), {}};
        for (size_t d = input.u8() % 4; d > 0; --d) {
            listing::AudioDevice device{
                input.text(24), input.flag() ? "input" : "output", input.flag(), input.flag(), {}};
            for (size_t c = input.u8() % 3; c > 0; --c) {
                device.supported_configs.push_back(
                    {input.u16(), input.u32(), input.u32(), input.text(4)});
            }
            host.devices.push_back(std::move(device));
        }
        devices.hosts.push_back(std::move(host));
    }
    if (input.flag()) devices.issues.push_back({input.text(16), input.text(32), std::nullopt});

    const nlohmann::json doc = parse_document(list_audio::marshal(devices));
    FUZZ_CHECK(doc.at("hosts").size() == devices.hosts.size());
    for (size_t h = 0; h < devices.hosts.size(); ++h) {
        const auto& host = devices.hosts[h];
        const auto& written = doc.at("hosts").at(h).at("devices");
        FUZZ_CHECK(written.size() == host.devices.size());
        for (size_t d = 0; d < host.devices.size(); ++d) {
            FUZZ_CHECK(written.at(d).at("name") == ipc::utf8::make_valid(host.devices[d].name));
        }
    }
}

void check_failure_documents(fuzz::InputReader& input) {
    const std::string message = input.text(64);
    const std::string valid = ipc::utf8::make_valid(message);
    const nlohmann::json usb = parse_document(list_usb::marshal_failed_document(message));
    FUZZ_CHECK(usb.at("issues").at(0).at("message") == valid);
    const nlohmann::json audio = parse_document(list_audio::marshal_failed_document(message));
    FUZZ_CHECK(audio.at("issues").at(0).at("message") == valid);
}

void check_sysfs(fuzz::InputReader& input) {
    const auto bytes = input.rest();
    const std::string path = fuzz::write_scratch("attribute", bytes);
    const std::string text = modem::read_sysfs(path);
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    FUZZ_CHECK(text == (ipc::utf8::is_valid(raw) ? std::string(soundcard::trim_ascii(raw)) : ""));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    check_usb(input);
    check_cm108(input);
    check_audio(input);
    check_failure_documents(input);
    check_sysfs(input);
    return 0;
}
