#pragma once

// The audio device listing of the command line: per audio host, every capture
// and playback device the ALSA layer lists, with its readable name, whether it
// is the default, whether its name is a recommended one and the configuration
// ranges it supports. It starts no stream and groups no cards; what cannot be
// listed becomes an issue instead of a failure.
//
// Texts are kept as the system gives them; whoever writes them out makes them
// valid UTF-8.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/alsa.h"

namespace listing {

// One configuration range of a device in one direction.
struct AudioStreamConfigRange {
    uint16_t channels = 0;
    uint32_t min_sample_rate_hz = 0;
    uint32_t max_sample_rate_hz = 0;
    std::string sample_format;  // "i16", "f32", "i24", ...

    bool operator==(const AudioStreamConfigRange&) const = default;
};

// One device in one direction.
struct AudioDevice {
    std::string name;       // the description's first line, else the PCM name
    std::string direction;  // "input" or "output"
    bool is_default = false;
    bool recommended = false;
    std::vector<AudioStreamConfigRange> supported_configs;  // empty when unreadable

    bool operator==(const AudioDevice&) const = default;
};

struct AudioHost {
    std::string id;    // the name lowered
    std::string name;  // as the host names itself
    bool is_default = false;
    std::vector<AudioDevice> devices;  // inputs, then outputs

    bool operator==(const AudioHost&) const = default;
};

// One problem met while listing: "host_init_failed" or "enumerate_failed".
struct CollectorIssue {
    std::string kind;
    std::string message;
    std::optional<std::string> path;  // never set by the listing

    bool operator==(const CollectorIssue&) const = default;
};

struct AudioDevices {
    std::vector<AudioHost> hosts;
    std::vector<CollectorIssue> issues;

    bool operator==(const AudioDevices&) const = default;
};

// Every host with its devices; never fails.
AudioDevices enumerate();

// Appends to `devices` the listed devices of `host` that support `direction`
// ("input" or "output"), in list order. A device is the default when its name
// equals `default_name` exactly. A list that cannot be read appends an
// "enumerate_failed" issue "{host} {direction}: {error}" instead.
void collect_devices(std::string_view host, std::string_view direction,
                     const std::optional<std::string>& default_name,
                     std::vector<AudioDevice>& devices, std::vector<CollectorIssue>& issues);

// The format's short name lowered: "i16", "f32", "u16", ...
std::string sample_format_name(alsa::SampleFormat format);

}  // namespace listing
