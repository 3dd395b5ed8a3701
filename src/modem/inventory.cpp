#include "modem/inventory.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "audio/probe.h"
#include "ipc/utf8.h"

namespace modem {

namespace {

using ipc::proto::AudioDeviceInfo;

constexpr int kCaptureKind = 1;
constexpr int kPlaybackKind = 2;

bool considered_name(std::string_view name) {
    return name == "default" || name.starts_with("hw:") || name.starts_with("plughw:");
}

void append_once(std::vector<uint32_t>& values, uint32_t value) {
    if (std::find(values.begin(), values.end(), value) == values.end()) values.push_back(value);
}

std::string card_description(soundcard::DeviceAccess& access, std::string_view name) {
    return ipc::utf8::make_valid(access.card_description(name));
}

AudioDeviceInfo base_entry(std::string_view name, std::string_view stable_id, int kind,
                           std::string description) {
    AudioDeviceInfo info;
    info.set_name(ipc::utf8::make_valid(name));
    info.set_stable_id(ipc::utf8::make_valid(stable_id));
    info.set_kind(kind);
    info.set_host_api(std::string(alsa::kHostName));
    info.set_description(std::move(description));
    info.set_audio_enhancements_enabled(false);
    return info;
}

AudioDeviceInfo in_use_entry(soundcard::DeviceAccess& access, const InUseEntry& entry, int kind,
                             bool recommended) {
    std::string description = card_description(access, entry.name);
    AudioDeviceInfo info = base_entry(description, entry.name, kind, description);
    info.add_sample_rates(entry.device.sample_rate);
    info.add_channel_counts(entry.device.channels);
    info.set_is_default(false);
    info.set_recommended(recommended);
    return info;
}

// A free device's entry, without rates, channel counts and recommendation.
AudioDeviceInfo free_entry(soundcard::DeviceAccess& access, const alsa::Device& device, int kind,
                           const std::optional<std::string>& default_name) {
    std::string description = card_description(access, device.name);
    std::string name = readable_description_name(device).value_or(description);
    const bool is_default = default_name && name == *default_name;
    AudioDeviceInfo info = base_entry(name, device.name, kind, std::move(description));
    info.set_is_default(is_default);
    return info;
}

void set_lists(AudioDeviceInfo& info, const RatesAndChannels& lists) {
    for (uint32_t rate : lists.sample_rates) info.add_sample_rates(rate);
    for (uint32_t channels : lists.channel_counts) info.add_channel_counts(channels);
}

RatesAndChannels device_lists(soundcard::DeviceAccess& access, const alsa::Device& device,
                              alsa::Direction direction) {
    Result<std::vector<alsa::SupportedConfig>> ranges = access.supported_configs(device, direction);
    if (!ranges) return {};
    return collect_rates_and_channels(*ranges);
}

}  // namespace

const alsa::Device* DeviceSelection::kept_device(std::string_view id) const {
    for (const alsa::Device& device : kept) {
        if (device.name == id) return &device;
    }
    return nullptr;
}

std::optional<DeviceSelection> select_devices(soundcard::DeviceAccess& access,
                                              alsa::Direction direction,
                                              const InUseDevices& in_use) {
    Result<std::vector<alsa::Device>> listed = access.devices();
    if (!listed) return std::nullopt;
    const soundcard::CardResolver resolver = soundcard::build_card_resolver(access.card_table());

    DeviceSelection selection;
    for (const auto& [name, device] : in_use) {
        selection.in_use.try_emplace(soundcard::alsa_canonical_key(name, resolver),
                                     InUseEntry{name, device});
    }
    for (alsa::Device& device : *listed) {
        // A name that is not UTF-8 text counts as one that cannot be read.
        if (!ipc::utf8::is_valid(device.name) || !considered_name(device.name)) continue;
        const bool group_in_use =
            selection.in_use.contains(soundcard::alsa_canonical_key(device.name, resolver));
        const bool supported = group_in_use ? soundcard::ioid_allows(device, direction)
                                            : access.supports(device, direction);
        if (supported) selection.kept.push_back(std::move(device));
    }

    std::vector<std::string> names;
    for (const alsa::Device& device : selection.kept) names.push_back(device.name);
    for (const auto& entry : in_use) {
        if (selection.kept_device(entry.first) == nullptr) names.push_back(entry.first);
    }
    selection.groups = soundcard::group_alsa_cards(names, resolver);
    return selection;
}

RatesAndChannels collect_rates_and_channels(const std::vector<alsa::SupportedConfig>& ranges) {
    RatesAndChannels lists;
    for (const alsa::SupportedConfig& range : ranges) {
        for (uint32_t rate : kCandidateRates) {
            if (range.min_sample_rate <= rate && rate <= range.max_sample_rate) {
                append_once(lists.sample_rates, rate);
            }
        }
        append_once(lists.channel_counts, range.channels);
    }
    return lists;
}

std::optional<std::string> readable_description_name(const alsa::Device& device) {
    std::optional<std::string> name = alsa::description_name(device);
    if (name && !ipc::utf8::is_valid(*name)) return std::nullopt;
    return name;
}

std::vector<AudioDeviceInfo> collect_input_devices_linux(
    soundcard::DeviceAccess& access, const InUseDevices& in_use,
    const std::optional<std::string>& default_name) {
    std::vector<AudioDeviceInfo> entries;
    std::optional<DeviceSelection> selection =
        select_devices(access, alsa::Direction::Input, in_use);
    if (!selection) return entries;
    for (const soundcard::AlsaCardGroup& group : selection->groups) {
        if (auto held = selection->in_use.find(group.key); held != selection->in_use.end()) {
            entries.push_back(in_use_entry(access, held->second, kCaptureKind, true));
            continue;
        }
        std::optional<std::string> chosen;
        for (const std::string& member : group.members) {
            const alsa::Device* device = selection->kept_device(member);
            if (device != nullptr &&
                soundcard::probe_capture(access, *device, soundcard::kInventoryProbe)) {
                chosen = member;
                break;
            }
        }
        const bool probe_failed = !chosen;
        const alsa::Device* device = selection->kept_device(chosen.value_or(group.members.front()));
        if (device == nullptr) continue;

        RatesAndChannels lists = device_lists(access, *device, alsa::Direction::Input);
        bool recommended = !probe_failed;
        if (lists.sample_rates.empty() || lists.channel_counts.empty()) {
            if (probe_failed) continue;
            // It delivered, so it is offered at the configuration it was probed with.
            Result<alsa::StreamConfig> probed = soundcard::pick_input_probe_config(access, *device);
            lists.sample_rates = {probed ? probed->sample_rate : 48000u};
            lists.channel_counts = {probed ? uint32_t{probed->channels} : 1u};
            recommended = true;
        }
        AudioDeviceInfo info = free_entry(access, *device, kCaptureKind, default_name);
        set_lists(info, lists);
        info.set_recommended(recommended);
        entries.push_back(std::move(info));
    }
    return entries;
}

std::vector<AudioDeviceInfo> collect_output_devices_linux(
    soundcard::DeviceAccess& access, const InUseDevices& in_use,
    const std::optional<std::string>& default_name) {
    std::vector<AudioDeviceInfo> entries;
    std::optional<DeviceSelection> selection =
        select_devices(access, alsa::Direction::Output, in_use);
    if (!selection) return entries;
    for (const soundcard::AlsaCardGroup& group : selection->groups) {
        if (auto held = selection->in_use.find(group.key); held != selection->in_use.end()) {
            entries.push_back(in_use_entry(access, held->second, kPlaybackKind,
                                           soundcard::is_recommended_pcm_id(held->second.name)));
            continue;
        }
        const alsa::Device* device = selection->kept_device(group.members.front());
        if (device == nullptr) continue;
        const RatesAndChannels lists = device_lists(access, *device, alsa::Direction::Output);
        if (lists.sample_rates.empty() || lists.channel_counts.empty()) continue;
        AudioDeviceInfo info = free_entry(access, *device, kPlaybackKind, default_name);
        set_lists(info, lists);
        info.set_recommended(soundcard::is_recommended_pcm_id(device->name));
        entries.push_back(std::move(info));
    }
    return entries;
}

std::vector<AudioDeviceInfo> enumerate_audio_devices(soundcard::DeviceAccess& access,
                                                     bool include_output,
                                                     const InUseDevices& capture_in_use,
                                                     const InUseDevices& playback_in_use) {
    auto default_name = [&access](alsa::Direction direction) -> std::optional<std::string> {
        std::optional<alsa::Device> device = access.default_device(direction);
        if (!device) return std::nullopt;
        return readable_description_name(*device);
    };
    const std::optional<std::string> default_capture = default_name(alsa::Direction::Input);
    const std::optional<std::string> default_playback = default_name(alsa::Direction::Output);

    std::vector<AudioDeviceInfo> entries =
        collect_input_devices_linux(access, capture_in_use, default_capture);
    if (include_output) {
        std::vector<AudioDeviceInfo> playback =
            collect_output_devices_linux(access, playback_in_use, default_playback);
        std::move(playback.begin(), playback.end(), std::back_inserter(entries));
    }
    return entries;
}

std::vector<AudioDeviceInfo> enumerate_audio_devices(bool include_output,
                                                     const InUseDevices& capture_in_use,
                                                     const InUseDevices& playback_in_use) {
    soundcard::AlsaDeviceAccess access;
    return enumerate_audio_devices(access, include_output, capture_in_use, playback_in_use);
}

}  // namespace modem
