// ALSA PCM names against a card table: the input is the text of a cards file,
// a 0 byte, then names, one per line. Beside "no crash", the alias relation
// must be an equivalence on the names that have an identity (and hold for no
// other), grouping must place every name once, and a device found by name or
// alias must be the name itself or one of its aliases.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "audio/alsa.h"
#include "audio/soundcard_names.h"
#include "fuzz_support.h"
#include "ipc/utf8.h"

namespace {

// Enough for every relation among them to be tried, cheap enough for the
// three-way checks.
constexpr size_t kMaxNames = 12;

std::vector<std::string> split_names(std::string_view text) {
    std::vector<std::string> names;
    while (!text.empty() && names.size() < kMaxNames) {
        const size_t end = text.find('\n');
        names.emplace_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return names;
}

void check_card_table(const soundcard::CardTable& table) {
    const soundcard::CardResolver resolver = soundcard::build_card_resolver(table);
    for (const auto& card : table) {
        FUZZ_CHECK(!card.id.empty() && card.id == soundcard::trim_ascii(card.id));
        // Later cards win, and every card answers to its number.
        FUZZ_CHECK(resolver.contains(std::to_string(card.number)));
        FUZZ_CHECK(resolver.contains(card.id));
    }
}

void check_names(const std::vector<std::string>& names, const soundcard::CardTable& table) {
    const soundcard::CardResolver resolver = soundcard::build_card_resolver(table);
    for (const std::string& a : names) {
        const auto hw = soundcard::parse_alsa_hw_id(a);
        const auto identity = soundcard::alsa_pcm_identity(a, resolver);
        FUZZ_CHECK(!identity || hw);
        if (hw) FUZZ_CHECK(hw->prefix == "hw" || hw->prefix == "plughw");
        if (identity) FUZZ_CHECK(identity->prefix == hw->prefix && identity->device == hw->device);
        FUZZ_CHECK(soundcard::alsa_alias_matches(a, a, resolver) == identity.has_value());
        for (const std::string& b : names) {
            const bool ab = soundcard::alsa_alias_matches(a, b, resolver);
            FUZZ_CHECK(ab == soundcard::alsa_alias_matches(b, a, resolver));
            if (!ab) continue;
            for (const std::string& c : names) {
                if (soundcard::alsa_alias_matches(b, c, resolver)) {
                    FUZZ_CHECK(soundcard::alsa_alias_matches(a, c, resolver));
                }
            }
        }
    }

    const auto groups = soundcard::group_alsa_cards(names, resolver);
    size_t members = 0;
    for (const auto& group : groups) {
        FUZZ_CHECK(!group.members.empty());
        FUZZ_CHECK(std::is_sorted(group.members.begin(), group.members.end(),
                                  [](const std::string& x, const std::string& y) {
                                      return soundcard::alsa_candidate_rank(x) <
                                             soundcard::alsa_candidate_rank(y);
                                  }));
        for (const std::string& m : group.members) {
            FUZZ_CHECK(soundcard::alsa_canonical_key(m, resolver) == group.key);
        }
        members += group.members.size();
    }
    FUZZ_CHECK(members == names.size());

    std::vector<alsa::Device> devices;
    for (const std::string& n : names) devices.push_back({n, std::nullopt, alsa::Ioid::Both});
    for (const std::string& wanted : names) {
        const auto found = soundcard::find_device_by_id_or_alias(devices, wanted, table);
        if (!found) {
            FUZZ_CHECK(!ipc::utf8::is_valid(wanted));
            continue;
        }
        FUZZ_CHECK(ipc::utf8::is_valid(found->name));
        FUZZ_CHECK(found->name == wanted ||
                   soundcard::alsa_alias_matches(found->name, wanted, resolver));
        if (soundcard::is_recommended_pcm_id(wanted)) FUZZ_CHECK(wanted.starts_with("plughw:"));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string_view cards = input.substr(0, split);
    const std::string_view names =
        split == std::string_view::npos ? std::string_view{} : input.substr(split + 1);

    const soundcard::CardTable table = soundcard::parse_proc_asound_cards(cards);
    check_card_table(table);
    check_names(split_names(names), table);
    return 0;
}
