#pragma once

// A readable description of the sound card behind an ALSA PCM name: a known
// USB audio chip, else the card's USB product text, else its name in the card
// table.

#include <string>
#include <string_view>

#include "audio/soundcard_names.h"

namespace modem {

// The file's text without white space at either end; empty on any failure.
std::string read_sysfs(const std::string& path);

// The description of the card a name refers to by "CARD=" (by id or number);
// empty for a name without one or a card the table does not list.
std::string alsa_card_description(std::string_view name, const soundcard::SystemFiles& files = {});

}  // namespace modem
