#include "audio/soundcard_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ipc/utf8.h"

namespace soundcard {

namespace {

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Decimal digits with an optional leading "+", at most 4294967295.
std::optional<uint32_t> parse_number(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (!is_ascii_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

constexpr std::string_view kCardKey = "CARD=";

}  // namespace

std::optional<std::string> read_system_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ipc::utf8::is_valid(text)) return std::nullopt;
    return text;
}

std::string_view trim_ascii(std::string_view text) {
    constexpr std::string_view kBlank = " \t\n\r\f\v";
    const std::size_t first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(kBlank);
    return text.substr(first, last - first + 1);
}

std::optional<AlsaHwId> parse_alsa_hw_id(std::string_view name) {
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view prefix = name.substr(0, colon);
    if (prefix != "hw" && prefix != "plughw") return std::nullopt;
    std::string_view rest = name.substr(colon + 1);
    if (rest.empty()) return std::nullopt;

    std::string_view card;
    std::optional<std::string_view> device_text;
    if (rest.starts_with(kCardKey)) {
        rest.remove_prefix(kCardKey.size());
        const std::size_t comma = rest.find(',');
        card = rest.substr(0, comma);
        if (comma != std::string_view::npos) {
            const std::string_view after = rest.substr(comma + 1);
            if (!after.starts_with("DEV=")) return std::nullopt;
            device_text = after.substr(4);
        }
    } else {
        const std::size_t comma = rest.find(',');
        card = rest.substr(0, comma);
        if (comma != std::string_view::npos) device_text = rest.substr(comma + 1);
    }
    if (card.empty()) return std::nullopt;
    uint32_t device = 0;
    if (device_text) {
        const std::optional<uint32_t> number = parse_number(*device_text);
        if (!number) return std::nullopt;
        device = *number;
    }
    return AlsaHwId{std::string(prefix), std::string(card), device};
}

CardTable read_proc_asound_cards(const SystemFiles& files) {
    const std::optional<std::string> text = read_system_file(files.cards_file);
    if (!text) return {};
    return parse_proc_asound_cards(*text);
}

CardTable parse_proc_asound_cards(std::string_view text) {
    CardTable table;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);

        const std::size_t start = line.find_first_not_of(" \t\n\r\f\v");
        if (start == std::string_view::npos) continue;
        line.remove_prefix(start);
        std::size_t digits = 0;
        while (digits < line.size() && is_ascii_digit(line[digits])) ++digits;
        const std::optional<uint32_t> number =
            digits > 0 ? parse_number(line.substr(0, digits)) : std::nullopt;
        if (!number) continue;
        const std::size_t open = line.find('[');
        if (open == std::string_view::npos) continue;
        const std::size_t close = line.find(']', open + 1);
        if (close == std::string_view::npos) continue;
        const std::string_view id = trim_ascii(line.substr(open + 1, close - open - 1));
        if (id.empty()) continue;
        table.push_back({*number, std::string(id)});
    }
    return table;
}

CardResolver build_card_resolver(const CardTable& table) {
    CardResolver resolver;
    for (const ProcAsoundCard& card : table) {
        resolver.insert_or_assign(card.id, card.number);
        resolver.insert_or_assign(std::to_string(card.number), card.number);
    }
    return resolver;
}

std::optional<AlsaPcmIdentity> alsa_pcm_identity(std::string_view name,
                                                 const CardResolver& resolver) {
    std::optional<AlsaHwId> id = parse_alsa_hw_id(name);
    if (!id) return std::nullopt;
    const auto card = resolver.find(id->card);
    if (card == resolver.end()) return std::nullopt;
    return AlsaPcmIdentity{std::move(id->prefix), card->second, id->device};
}

bool alsa_alias_matches(std::string_view a, std::string_view b, const CardResolver& resolver) {
    const std::optional<AlsaPcmIdentity> first = alsa_pcm_identity(a, resolver);
    if (!first) return false;
    const std::optional<AlsaPcmIdentity> second = alsa_pcm_identity(b, resolver);
    return second && *first == *second;
}

std::optional<std::string> alsa_card_token(std::string_view name) {
    const std::size_t at = name.find(kCardKey);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view token = name.substr(at + kCardKey.size());
    token = token.substr(0, token.find(','));
    if (token.empty()) return std::nullopt;
    return std::string(token);
}

std::string alsa_canonical_key(std::string_view name, const CardResolver& resolver) {
    if (const std::optional<std::string> token = alsa_card_token(name)) {
        if (const auto card = resolver.find(*token); card != resolver.end()) {
            return "card:" + std::to_string(card->second);
        }
    }
    return std::string(name);
}

CandidateRank alsa_candidate_rank(std::string_view name) {
    const int prefix = name.starts_with("plughw:") ? 0 : name.starts_with("hw:") ? 1 : 2;
    const std::optional<std::string> token = alsa_card_token(name);
    const int token_rank = !token ? 2 : is_ascii_letter(token->front()) ? 0 : 1;
    return {prefix, token_rank};
}

std::vector<AlsaCardGroup> group_alsa_cards(const std::vector<std::string>& names,
                                            const CardResolver& resolver) {
    std::vector<AlsaCardGroup> groups;
    std::map<std::string, std::size_t, std::less<>> index;
    for (const std::string& name : names) {
        std::string key = alsa_canonical_key(name, resolver);
        auto [it, added] = index.try_emplace(key, groups.size());
        if (added) groups.push_back({std::move(key), {}});
        groups[it->second].members.push_back(name);
    }
    for (AlsaCardGroup& group : groups) {
        std::stable_sort(group.members.begin(), group.members.end(),
                         [](const std::string& a, const std::string& b) {
                             return alsa_candidate_rank(a) < alsa_candidate_rank(b);
                         });
    }
    return groups;
}

bool is_recommended_pcm_id(std::string_view name) {
    if (!name.starts_with("plughw:")) return false;
    const std::size_t at = name.find(kCardKey);
    if (at == std::string_view::npos) return false;
    const std::size_t next = at + kCardKey.size();
    return next < name.size() && is_ascii_letter(name[next]);
}

std::optional<alsa::Device> find_device_by_id_or_alias(const std::vector<alsa::Device>& devices,
                                                       std::string_view name,
                                                       const CardTable& table) {
    // A name that is not UTF-8 text counts as one that cannot be read.
    auto readable = [](const alsa::Device& d) { return ipc::utf8::is_valid(d.name); };
    for (const alsa::Device& device : devices) {
        if (readable(device) && device.name == name) return device;
    }
    if (!parse_alsa_hw_id(name)) return std::nullopt;
    const CardResolver resolver = build_card_resolver(table);
    for (const alsa::Device& device : devices) {
        if (readable(device) && alsa_alias_matches(device.name, name, resolver)) return device;
    }
    return std::nullopt;
}

Result<alsa::Device> resolve_output_device(std::string_view name, const SystemFiles& files) {
    if (name.empty() || name == "default") {
        std::optional<alsa::Device> device = alsa::default_device_for(alsa::Direction::Output);
        if (!device) return make_error("no default output device");
        return std::move(*device);
    }
    Result<std::vector<alsa::Device>> listed = alsa::list_devices();
    if (!listed) return listed.error().with_context("enumerate output devices");
    std::vector<alsa::Device> playback;
    for (alsa::Device& device : *listed) {
        if (alsa::supports(device, alsa::Direction::Output)) playback.push_back(std::move(device));
    }
    std::optional<alsa::Device> found =
        find_device_by_id_or_alias(playback, name, read_proc_asound_cards(files));
    if (!found) return make_error("output device not found: {}", name);
    return std::move(*found);
}

}  // namespace soundcard
