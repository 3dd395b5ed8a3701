#pragma once

// The "--list-audio" tool: the audio device listing as one compact JSON
// document, keys in the order of the listing's records. Every text is made
// valid UTF-8 first; lists always print as arrays.

#include <string>
#include <string_view>

#include "audio/listing.h"

namespace list_audio {

// The document of `devices`. Left out: "recommended" unless true,
// "supported_configs" and "issues" when empty, "path" when absent. A writer
// failure gives the fixed "json_marshal_failed" document instead.
std::string marshal(const listing::AudioDevices& devices);

// {"hosts":[],"issues":[{"kind":"json_marshal_failed","message":M}]} with
// `message` (made valid UTF-8) escaped by hand as M.
std::string marshal_failed_document(std::string_view message);

// The document of the machine's audio devices. Never fails.
std::string run();

}  // namespace list_audio
