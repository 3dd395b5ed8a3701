#include "audio/listing.h"

#include <fmt/format.h>

#include "audio/soundcard_names.h"
#include "result.h"

namespace listing {

namespace {

// The readable name of a description; none without one, or with an empty one.
std::optional<std::string> readable_name(const alsa::Device& device) {
    std::optional<std::string> name = alsa::description_name(device);
    if (name && name->empty()) return std::nullopt;
    return name;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Opening the ALSA host needs nothing that can fail; the issue path is kept
// for hosts that can.
Status open_host() {
    return Status::success();
}

}  // namespace

std::string sample_format_name(alsa::SampleFormat format) {
    return lowered(alsa::format_short_name(format));
}

void collect_devices(std::string_view host, std::string_view direction,
                     const std::optional<std::string>& default_name,
                     std::vector<AudioDevice>& devices, std::vector<CollectorIssue>& issues) {
    const alsa::Direction dir =
        direction == "input" ? alsa::Direction::Input : alsa::Direction::Output;
    Result<std::vector<alsa::Device>> listed = alsa::list_devices();
    if (!listed) {
        issues.push_back({"enumerate_failed",
                          fmt::format("{} {}: {}", host, direction, listed.error_text()),
                          std::nullopt});
        return;
    }
    for (const alsa::Device& device : *listed) {
        if (!alsa::supports(device, dir)) continue;
        AudioDevice entry;
        entry.name = readable_name(device).value_or(device.name);
        entry.direction = std::string(direction);
        entry.is_default = default_name && *default_name == entry.name;
        entry.recommended = soundcard::is_recommended_pcm_id(device.name);
        if (Result<std::vector<alsa::SupportedConfig>> ranges =
                alsa::supported_configs(device, dir)) {
            for (const alsa::SupportedConfig& range : *ranges) {
                entry.supported_configs.push_back({range.channels, range.min_sample_rate,
                                                   range.max_sample_rate,
                                                   sample_format_name(range.format)});
            }
        }
        devices.push_back(std::move(entry));
    }
}

AudioDevices enumerate() {
    AudioDevices result;
    const std::string host_name(alsa::kHostName);
    if (Status opened = open_host(); !opened) {
        result.issues.push_back({"host_init_failed",
                                 fmt::format("{}: {}", host_name, opened.error_text()),
                                 std::nullopt});
        return result;
    }
    // ALSA's default device serves both directions.
    const std::optional<std::string> default_name = readable_name(alsa::default_device());
    AudioHost host{lowered(host_name), host_name, true, {}};
    collect_devices(host_name, "input", default_name, host.devices, result.issues);
    collect_devices(host_name, "output", default_name, host.devices, result.issues);
    result.hosts.push_back(std::move(host));
    return result;
}

}  // namespace listing
