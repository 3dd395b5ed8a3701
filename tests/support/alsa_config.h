#pragma once

// Hermetic sound devices for tests: a libasound configuration made of paced
// test PCMs (tests/support/paced_pcm_plugin.cpp, whose header lists every key),
// written into a ScratchDir and put in force through ALSA_CONFIG_PATH, which
// replaces the system's alsa.conf entirely. libasound reads a new value at the
// process's next call; child processes inherit it.
//
//   test_support::ScratchDir dir;
//   test_support::AlsaConfig config;
//   config.pcm("cap", {.formats = {"S16_LE"}, .rates = {8000, 48000}, .tone_hz = 1000})
//         .hint("cap", "Capture test", "Input");
//   test_support::ScopedAlsaConfig scoped(dir, config);
//
// The written text is plain libasound configuration; a test in another
// language writes the same lines: `pcm_type.quillmar_paced { lib "<module>" }`
// (tests/CMakeLists.txt holds the module's path in the CMake variable
// QUILLMAR_PACED_PCM_PLUGIN_FILE, for such a test's environment), then
// `pcm.NAME { type quillmar_paced ... }` per device and
// `namehint.pcm { h0 "NAME|DESC|IOIDInput" }` for the listing.

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace test_support {

// Absolute path of the paced test PCM module.
inline std::string paced_pcm_plugin() {
    return QUILLMAR_PACED_PCM_PLUGIN;
}

// One paced test device. Defaults: S16_LE, 1 channel, 48000 Hz, capture silence.
struct PacedPcm {
    std::vector<std::string> formats = {"S16_LE"};
    std::vector<unsigned> channels = {1};  // offered counts; unused when channels_max > 0
    unsigned channels_min = 0, channels_max = 0;
    std::vector<unsigned> rates = {48000};  // offered rates; unused when rate_max > 0
    unsigned rate_min = 0, rate_max = 0;
    std::string stream{};  // "capture" or "playback": opens in that direction only
    unsigned tone_hz = 0;
    unsigned tone_amplitude = 16384;
    std::string capture_file{};  // raw frames in the opened format
    std::string record_file{};   // playback frames appended as consumed
    unsigned fail_after_ms = 0;
    std::string absent_while{};  // ENODEV while this file exists
    std::string busy_while{};    // EBUSY while this file exists
    unsigned min_buffer_ms = 0;  // at the lowest rate with the smallest frame offered
    bool xrun = false;           // a late application gets an xrun instead of a wait
};

namespace alsa_config_detail {

inline std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;  // a line break stays a real one: libasound drops "\n" escapes
    }
    return out + "\"";
}

inline std::string list(const std::vector<unsigned>& values) {
    std::string out = "[";
    for (unsigned v : values) out += " " + std::to_string(v);
    return out + " ]";
}

inline std::string body(const PacedPcm& d) {
    std::string out = "type quillmar_paced\n  formats [";
    for (const auto& f : d.formats) out += " " + quoted(f);
    out += " ]\n";
    if (d.channels_max > 0) {
        out += "  channels_min " + std::to_string(d.channels_min) + " channels_max " +
               std::to_string(d.channels_max) + "\n";
    } else {
        out += "  channels " + list(d.channels) + "\n";
    }
    if (d.rate_max > 0) {
        out += "  rate_min " + std::to_string(d.rate_min) + " rate_max " +
               std::to_string(d.rate_max) + "\n";
    } else {
        out += "  rates " + list(d.rates) + "\n";
    }
    auto text_key = [&out](const char* key, const std::string& value) {
        if (!value.empty()) out += std::string("  ") + key + " " + quoted(value) + "\n";
    };
    auto number_key = [&out](const char* key, unsigned value) {
        if (value > 0) out += std::string("  ") + key + " " + std::to_string(value) + "\n";
    };
    text_key("stream", d.stream);
    number_key("tone_hz", d.tone_hz);
    if (d.tone_hz > 0) number_key("tone_amplitude", d.tone_amplitude);
    text_key("capture_file", d.capture_file);
    text_key("record_file", d.record_file);
    number_key("fail_after_ms", d.fail_after_ms);
    text_key("absent_while", d.absent_while);
    text_key("busy_while", d.busy_while);
    number_key("min_buffer_ms", d.min_buffer_ms);
    if (d.xrun) out += "  xrun true\n";
    return out;
}

// The hw and plughw names of the cards: CARD by id or number, DEV defaulted to 0.
inline std::string card_routes(const std::string& default_card) {
    std::string out;
    for (const char* prefix : {"hw", "plughw"}) {
        out +=
            std::string("pcm.") + prefix +
            " {\n  @args [ CARD DEV ]\n  @args.CARD { type string default " + quoted(default_card) +
            " }\n  @args.DEV { type integer default 0 }\n  type " +
            (std::string(prefix) == "hw" ? "empty" : "plug") +
            "\n  slave.pcm { @func concat strings [ \"quillmar_card_\" $CARD \"_\" $DEV ] }\n}\n";
    }
    return out;
}

}  // namespace alsa_config_detail

// The text of a configuration, built up device by device.
class AlsaConfig {
public:
    // pcm.NAME as a paced test device; "default" becomes the default device.
    AlsaConfig& pcm(const std::string& name, const PacedPcm& device) {
        pcms_ += "pcm." + bang(name) + " {\n  " + alsa_config_detail::body(device) + "}\n";
        return *this;
    }

    // pcm.NAME as plug (format, channel and rate conversion) over the PCM `slave`.
    AlsaConfig& plug(const std::string& name, const std::string& slave) {
        pcms_ += "pcm." + bang(name) + " {\n  type plug\n  slave.pcm " +
                 alsa_config_detail::quoted(slave) + "\n}\n";
        return *this;
    }

    // Card `id` numbered `number`: device n is devices[n], opened as hw:CARD=id,DEV=n,
    // hw:number,n, hw:id (device 0) and the same with plughw (plug over it). Any
    // other card or device fails to open ("No such file or directory").
    AlsaConfig& card(const std::string& id, unsigned number, const std::vector<PacedPcm>& devices) {
        if (default_card_.empty()) default_card_ = id;
        for (std::size_t dev = 0; dev < devices.size(); ++dev) {
            const std::string body = alsa_config_detail::body(devices[dev]);
            for (const std::string& card : {id, std::to_string(number)}) {
                pcms_ += "pcm.quillmar_card_" + card + "_" + std::to_string(dev) + " {\n  " + body +
                         "}\n";
            }
        }
        return *this;
    }

    // A listing entry, in call order. `ioid`: "" (both directions), "Input" or
    // "Output"; an IOID without a description gives an empty description.
    AlsaConfig& hint(const std::string& name, const std::optional<std::string>& description,
                     const std::string& ioid = "") {
        std::string value = name;
        if (description || !ioid.empty()) value += "|" + description.value_or("");
        if (!ioid.empty()) value += "|IOID" + ioid;
        hints_ +=
            "  h" + std::to_string(hint_count_++) + " " + alsa_config_detail::quoted(value) + "\n";
        return *this;
    }

    // Any further configuration text, as written.
    AlsaConfig& raw(const std::string& text) {
        pcms_ += text + "\n";
        return *this;
    }

    std::string text() const {
        std::string out = "pcm_type.quillmar_paced { lib " +
                          alsa_config_detail::quoted(paced_pcm_plugin()) + " }\n" + pcms_;
        if (!default_card_.empty()) out += alsa_config_detail::card_routes(default_card_);
        out += "namehint.pcm {\n" + hints_ + "}\n";
        return out;
    }

private:
    static std::string bang(const std::string& name) {
        return name == "default" ? "!default" : name;
    }

    std::string pcms_;
    std::string hints_;
    std::string default_card_;
    int hint_count_ = 0;
};

// Writes `config` into `dir` and points ALSA_CONFIG_PATH at it until destroyed,
// when the previous value (or its absence) returns.
class ScopedAlsaConfig {
public:
    ScopedAlsaConfig(const ScratchDir& dir, const AlsaConfig& config,
                     const std::string& file_name = "asound.conf")
        : path_(dir.file(file_name)) {
        const std::string text = config.text();
        write_bytes(path_, std::vector<uint8_t>(text.begin(), text.end()));
        if (const char* old = std::getenv("ALSA_CONFIG_PATH")) previous_ = old;
        ::setenv("ALSA_CONFIG_PATH", path_.c_str(), 1);
    }
    ~ScopedAlsaConfig() {
        if (previous_) {
            ::setenv("ALSA_CONFIG_PATH", previous_->c_str(), 1);
        } else {
            ::unsetenv("ALSA_CONFIG_PATH");
        }
    }
    ScopedAlsaConfig(const ScopedAlsaConfig&) = delete;
    ScopedAlsaConfig& operator=(const ScopedAlsaConfig&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::optional<std::string> previous_;
};

// One card of a /proc/asound/cards text.
struct CardsFileEntry {
    unsigned number = 0;
    std::string id;
    std::string name;  // the text after " - " on the card line
};

// The text /proc/asound/cards would hold for `cards`: a card line and an
// indented long-name line each.
inline std::string cards_file_text(const std::vector<CardsFileEntry>& cards) {
    std::string out;
    for (const auto& c : cards) {
        std::string number = std::to_string(c.number);
        std::string id = c.id;
        if (id.size() < 15) id.resize(15, ' ');
        out += std::string(number.size() < 2 ? 2 - number.size() : 0, ' ') + number + " [" + id +
               "]: USB-Audio - " + c.name + "\n                      " + c.name +
               " at usb-0000:00:14.0-1, full speed\n";
    }
    return out;
}

}  // namespace test_support
