#include "modem/alsa_card.h"

#include <array>
#include <filesystem>
#include <optional>
#include <system_error>

namespace modem {

namespace {

struct Chip {
    std::string_view vendor;
    std::string_view product;
    std::string_view text;
};

// USB audio chips whose product texts say little, by vendor and product id.
constexpr std::array<Chip, 12> kChips = {{
    {"0d8c", "000c", "CM108 USB Audio (Digirig / generic)"},
    {"0d8c", "000e", "CM108 USB Audio (Digirig / generic)"},
    {"0d8c", "0008", "CM108B USB Audio"},
    {"0d8c", "0012", "CM108AH USB Audio"},
    {"0d8c", "0014", "CM108AH USB Audio"},
    {"0d8c", "013c", "CM108 USB Audio"},
    {"0d8c", "0013", "CM119 USB Audio"},
    {"0d8c", "0139", "CM119A USB Audio"},
    {"08bb", "2912", "Texas Instruments PCM2912A (SignaLink USB)"},
    {"08bb", "29b0", "Texas Instruments PCM2900 USB Audio"},
    {"08bb", "29b3", "Texas Instruments PCM2900 USB Audio"},
    {"0bda", "4014", "Realtek USB Audio"},
}};

// The text after the first "CARD=", up to the next "CARD=", comma or colon.
std::string_view card_reference(std::string_view name) {
    constexpr std::string_view kKey = "CARD=";
    const std::size_t at = name.find(kKey);
    if (at == std::string_view::npos) return {};
    std::string_view rest = name.substr(at + kKey.size());
    std::size_t end = std::min(rest.find(kKey), rest.find_first_of(",:"));
    return rest.substr(0, end);
}

// The path without its last component; none for "/", "" or a bare name.
std::optional<std::string> parent_of(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (path == "/" || slash == std::string::npos) return std::nullopt;
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

struct CardLine {
    std::string number_text;
    std::string name;
};

// The first card line whose number text or id equals `reference`.
std::optional<CardLine> matching_card_line(std::string_view text, std::string_view reference) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = soundcard::trim_ascii(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() < '0' || line.front() > '9') continue;
        const std::size_t open = line.find('[');
        if (open == std::string_view::npos) continue;
        const std::size_t close = line.find(']', open + 1);
        if (close == std::string_view::npos) continue;
        const std::string_view number_text = soundcard::trim_ascii(line.substr(0, open));
        const std::string_view id = soundcard::trim_ascii(line.substr(open + 1, close - open - 1));
        if (number_text != reference && id != reference) continue;
        const std::size_t dash = line.find(" - ");
        const std::string_view name = dash == std::string_view::npos
                                          ? std::string_view{}
                                          : soundcard::trim_ascii(line.substr(dash + 3));
        return CardLine{std::string(number_text), std::string(name)};
    }
    return std::nullopt;
}

}  // namespace

std::string read_sysfs(const std::string& path) {
    const std::optional<std::string> text = soundcard::read_system_file(path);
    if (!text) return {};
    return std::string(soundcard::trim_ascii(*text));
}

std::string alsa_card_description(std::string_view name, const soundcard::SystemFiles& files) {
    const std::string_view reference = card_reference(name);
    if (reference.empty()) return {};
    const std::optional<std::string> cards = soundcard::read_system_file(files.cards_file);
    if (!cards) return {};
    const std::optional<CardLine> card = matching_card_line(*cards, reference);
    if (!card) return {};

    const std::string link = files.sound_class_dir + "/card" + card->number_text + "/device";
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(link, ec);
    if (ec) return card->name;
    std::string path = target.string();
    if (target.is_relative()) path = parent_of(link).value_or("/") + "/" + path;

    // The USB device is the first directory with an idVendor, from the link's
    // target up through five parents.
    std::optional<std::string> usb;
    for (int tested = 0; tested < 6; ++tested) {
        if (std::filesystem::is_regular_file(path + "/idVendor", ec)) {
            usb = path;
            break;
        }
        std::optional<std::string> parent = parent_of(path);
        if (!parent) break;
        path = std::move(*parent);
    }
    if (!usb) return card->name;

    const std::string vendor = read_sysfs(*usb + "/idVendor");
    const std::string product_id = read_sysfs(*usb + "/idProduct");
    for (const Chip& chip : kChips) {
        if (vendor == chip.vendor && product_id == chip.product) return std::string(chip.text);
    }
    const std::string product = read_sysfs(*usb + "/product");
    if (!product.empty() && product != "USB Audio Device" && product != "USB PnP Sound Device") {
        return product;
    }
    return card->name;
}

}  // namespace modem
