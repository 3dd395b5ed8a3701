#pragma once

// The audio device inventory the parent asks for: one entry per physical card
// and direction, with the rates and channel counts it offers. A free capture
// card is probed before it is offered; a card that a running pipeline holds is
// reported from its configured settings and never opened.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/alsa.h"
#include "audio/device_access.h"
#include "audio/soundcard_names.h"
#include "ipc/proto.h"

namespace modem {

// The settings a device in use was opened with.
struct InUseDevice {
    uint32_t sample_rate = 0;
    uint32_t channels = 0;

    bool operator==(const InUseDevice&) const = default;
};

// Device names (as the parent configured them) held by running pipelines or
// registered for transmission, with their settings.
using InUseDevices = std::map<std::string, InUseDevice, std::less<>>;

// One in-use name, standing for its whole card group.
struct InUseEntry {
    std::string name;
    InUseDevice device;
};

// What the inventory and the scan consider in one direction.
struct DeviceSelection {
    // The listed devices, in list order, whose name is valid UTF-8, is "default"
    // or begins with "hw:" or "plughw:", and that support the direction.
    std::vector<alsa::Device> kept;
    // The kept names, then the in-use names not among them, grouped per card.
    std::vector<soundcard::AlsaCardGroup> groups;
    // By grouping key; of several in-use names with one key, the first by name.
    std::map<std::string, InUseEntry, std::less<>> in_use;

    // The first kept device named `id`; null when there is none.
    const alsa::Device* kept_device(std::string_view id) const;
};

// The selection of `direction`; none when the device list cannot be taken. A
// device whose group is in use is not opened to test its support: its IOID
// hint decides.
std::optional<DeviceSelection> select_devices(soundcard::DeviceAccess& access,
                                              alsa::Direction direction,
                                              const InUseDevices& in_use);

// The rates a listing offers, in this order.
inline constexpr std::array<uint32_t, 6> kCandidateRates = {8000,  11025, 16000,
                                                            22050, 44100, 48000};

struct RatesAndChannels {
    std::vector<uint32_t> sample_rates;
    std::vector<uint32_t> channel_counts;

    bool operator==(const RatesAndChannels&) const = default;
};

// Range by range: the candidate rates it holds, in candidate order, then its
// channel count, each value once. Never sorted.
RatesAndChannels collect_rates_and_channels(const std::vector<alsa::SupportedConfig>& ranges);

// The first line of the device's description when it is valid UTF-8; none otherwise.
std::optional<std::string> readable_description_name(const alsa::Device& device);

// The capture entries (kind 1), in group order. `default_name` is the default
// capture device's description name.
std::vector<ipc::proto::AudioDeviceInfo> collect_input_devices_linux(
    soundcard::DeviceAccess& access, const InUseDevices& in_use,
    const std::optional<std::string>& default_name);

// The playback entries (kind 2), in group order; nothing is probed.
std::vector<ipc::proto::AudioDeviceInfo> collect_output_devices_linux(
    soundcard::DeviceAccess& access, const InUseDevices& in_use,
    const std::optional<std::string>& default_name);

// Capture entries, then (with include_output) playback entries. Never fails:
// a card that cannot be listed is missing or less complete.
std::vector<ipc::proto::AudioDeviceInfo> enumerate_audio_devices(
    soundcard::DeviceAccess& access, bool include_output, const InUseDevices& capture_in_use,
    const InUseDevices& playback_in_use);

// The same over the system's sound cards.
std::vector<ipc::proto::AudioDeviceInfo> enumerate_audio_devices(
    bool include_output, const InUseDevices& capture_in_use, const InUseDevices& playback_in_use);

}  // namespace modem
