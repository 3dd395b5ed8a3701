#pragma once

// ALSA PCM names and how they tie together: the grammar of hw and plughw
// names, the card table of /proc/asound/cards, the alias rule (same prefix,
// card number and device number), the grouping of names per physical card,
// the recommended names, and finding a device by name or alias. Stateless:
// whatever reads the card table reads it afresh at every call.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/alsa.h"
#include "result.h"

namespace soundcard {

// Where the system describes its sound cards. Tests point these elsewhere.
struct SystemFiles {
    std::string cards_file = "/proc/asound/cards";
    std::string sound_class_dir = "/sys/class/sound";
};

// A parsed hw or plughw name.
struct AlsaHwId {
    std::string prefix;  // "hw" or "plughw"
    std::string card;    // as written: a card id or a card number
    uint32_t device = 0;

    bool operator==(const AlsaHwId&) const = default;
};

// One card line of /proc/asound/cards.
struct ProcAsoundCard {
    uint32_t number = 0;
    std::string id;

    bool operator==(const ProcAsoundCard&) const = default;
};

// The cards in file order, duplicates included.
using CardTable = std::vector<ProcAsoundCard>;

// Card id and decimal card number, each to the card number; later cards win.
using CardResolver = std::map<std::string, uint32_t, std::less<>>;

// The device a hw or plughw name denotes.
struct AlsaPcmIdentity {
    std::string prefix;
    uint32_t card = 0;
    uint32_t device = 0;

    bool operator==(const AlsaPcmIdentity&) const = default;
};

// The names of one physical card (or of one name that belongs to none), in
// preference order.
struct AlsaCardGroup {
    std::string key;
    std::vector<std::string> members;

    bool operator==(const AlsaCardGroup&) const = default;
};

// Smaller first: plughw before hw before the rest, then a token that starts
// with a letter before another token before none.
using CandidateRank = std::pair<int, int>;

// "hw:CARD=id,DEV=n", "hw:card,n", "hw:card" and the plughw forms; none for
// any other name.
std::optional<AlsaHwId> parse_alsa_hw_id(std::string_view name);

// The whole file as UTF-8 text, read to its end (procfs and sysfs files
// report a size of 0); none on any failure.
std::optional<std::string> read_system_file(const std::string& path);

// `text` without ASCII white space at either end.
std::string_view trim_ascii(std::string_view text);

// The card table of the cards file; empty when it cannot be read as UTF-8 text.
CardTable read_proc_asound_cards(const SystemFiles& files = {});

// The card lines of a cards-file text; other lines are skipped.
CardTable parse_proc_asound_cards(std::string_view text);

CardResolver build_card_resolver(const CardTable& table);

// Prefix, card number and device of a hw name whose card the resolver knows.
std::optional<AlsaPcmIdentity> alsa_pcm_identity(std::string_view name,
                                                 const CardResolver& resolver);

// Whether both names have an identity and the identities are equal.
bool alsa_alias_matches(std::string_view a, std::string_view b, const CardResolver& resolver);

// The text after the first "CARD=" up to the next comma; none when absent or empty.
std::optional<std::string> alsa_card_token(std::string_view name);

// "card:N" for a name whose token the resolver knows, else the name itself.
std::string alsa_canonical_key(std::string_view name, const CardResolver& resolver);

CandidateRank alsa_candidate_rank(std::string_view name);

// Every name in exactly one group; groups in the order their keys first
// appear, members stably sorted by rank.
std::vector<AlsaCardGroup> group_alsa_cards(const std::vector<std::string>& names,
                                            const CardResolver& resolver);

// A plughw name whose CARD= value starts with an ASCII letter.
bool is_recommended_pcm_id(std::string_view name);

// The first device named `name`, else (for a hw name) the first that is an
// alias of it. Devices whose name is not valid UTF-8 are passed over.
std::optional<alsa::Device> find_device_by_id_or_alias(const std::vector<alsa::Device>& devices,
                                                       std::string_view name,
                                                       const CardTable& table);

// The playback device `name` denotes: "" and "default" the default device
// (refused as "no default output device" when it cannot play),
// else a listed playback device by name or alias.
Result<alsa::Device> resolve_output_device(std::string_view name, const SystemFiles& files = {});

}  // namespace soundcard
