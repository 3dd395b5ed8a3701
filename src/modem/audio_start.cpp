// Audio start and stop, and the requests that set what the next start uses:
// channel and device settings and the live gains.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "audio/flac.h"
#include "audio/soundcard_capture.h"
#include "audio/soundcard_names.h"
#include "audio/soundcard_stream.h"
#include "audio/stdin_raw.h"
#include "modem/config_proto.h"
#include "modem/modem.h"
#include "sdr/udp_source.h"

namespace modem {

namespace {

constexpr auto kStartRetryPause = std::chrono::milliseconds(500);

void log_line(const std::string& line) {
    soundcard::log_to_stderr(line);
}

// Starts the source of `source_type` on `sender`; `input_channel` is the one
// channel it extracts.
Result<audio::AudioSource> spawn_source(uint32_t device_id, const AudioConfig& cfg,
                                        uint32_t input_channel, audio::CaptureSender sender) {
    const std::string& type = cfg.source_type;
    if (type == "soundcard") {
        return soundcard::spawn(soundcard::SoundcardSourceConfig{cfg.device_name, cfg.sample_rate,
                                                                 cfg.channels, input_channel},
                                std::move(sender));
    }
    if (type == "flac" || type == "flac_fast") {
        // The source's own thread opens and decodes the file. What is checked
        // here never waits: a FIFO would block in its open, and a device or a
        // directory is no recording.
        struct stat st {};
        if (::stat(cfg.device_name.c_str(), &st) != 0) {
            return make_error("open flac {}: {}", cfg.device_name, std::strerror(errno));
        }
        if (!S_ISREG(st.st_mode)) {
            return make_error("device {}: {} is not a regular file", device_id, cfg.device_name);
        }
        if (type == "flac") {
            return flac::spawn(flac::FlacSourceConfig{cfg.device_name, 0, input_channel},
                               std::move(sender));
        }
        return flac::spawn_fast(cfg.device_name, input_channel, std::move(sender));
    }
    if (type == "stdin" || type == "sdr_udp") {
        // These sources take the configured rate as it is: demodulators built
        // at 0 Hz would decode nothing while the device looked alive.
        if (cfg.sample_rate == 0) {
            return make_error("device {}: sample rate must be non-zero", device_id);
        }
        if (type == "stdin") return stdin_raw::spawn(cfg.sample_rate, std::move(sender));
        return sdr::spawn(sdr::parse_config(cfg.device_name, cfg.sample_rate, cfg.format),
                          std::move(sender));
    }
    return make_error("unknown source_type: {}", type);
}

}  // namespace

std::vector<ChannelPipeline> make_channel_pipelines(const std::vector<ChannelConfig>& channels,
                                                    uint32_t sample_rate) {
    std::vector<ChannelPipeline> pipelines;
    pipelines.reserve(channels.size());
    for (const ChannelConfig& c : channels) {
        ChannelPipeline& pipeline =
            pipelines.emplace_back(ChannelPipeline{create_demod(c, sample_rate), {}, c.channel});
        for (const ChannelConfig& extra : extra_demod_configs(c)) {
            pipeline.extra_demods.push_back(create_demod(extra, sample_rate));
        }
    }
    return pipelines;
}

void Modem::configure_channel(const ipc::proto::ConfigureChannel& message) {
    channel_configs_.insert_or_assign(message.channel(), fill_channel_config(message));
}

void Modem::configure_audio(const ipc::proto::ConfigureAudio& message) {
    AudioConfig cfg = fill_audio_config(message);
    set_live_gain(message.device_id(), cfg.gain_db);
    audio_configs_.insert_or_assign(message.device_id(), std::move(cfg));
}

void Modem::set_device_gain(const ipc::proto::SetDeviceGain& message) {
    const float gain_db = clamp_gain_db(message.gain_db());
    if (auto it = audio_configs_.find(message.device_id()); it != audio_configs_.end()) {
        it->second.gain_db = gain_db;
    }
    set_live_gain(message.device_id(), gain_db);
}

void Modem::set_live_gain(uint32_t device_id, float gain_db) {
    SharedGainCell& cell = device_gain_[device_id];
    if (cell) {
        cell->store(gain_db);
    } else {
        cell = std::make_shared<GainCell>(gain_db);
    }
}

void Modem::start_audio_with_retry() {
    Status started = start_audio();
    if (started) return;
    log_line(fmt::format("quillmar-modem: start_audio failed ({}), retrying in 500ms",
                         started.error_text()));
    std::this_thread::sleep_for(kStartRetryPause);
    started = start_audio();
    if (!started) {
        log_line(fmt::format("quillmar-modem: start_audio failed: {}", started.error_text()));
    }
}

void Modem::shutdown() {
    stop_all_audio();
    emit_status(true);
    (void)ipc_->shutdown_write();
}

Status Modem::start_audio() {
    stop_all_audio();

    // Devices in ascending id, each device's channels in ascending channel
    // number, so which channel leads a device does not follow hash order.
    std::map<uint32_t, ChannelConfig> by_channel(channel_configs_.begin(), channel_configs_.end());
    std::map<uint32_t, std::vector<ChannelConfig>> groups;
    for (const auto& [channel, cfg] : by_channel) groups[cfg.input_device_id].push_back(cfg);
    if (groups.empty()) groups[0].push_back(default_channel_config());

    output_devices_.clear();
    register_output_devices();

    for (const auto& [device_id, channels] : groups) {
        Status started = start_input_device(device_id, channels);
        if (!started) return started;
    }
    return Status::success();
}

void Modem::register_output_devices() {
    std::map<uint32_t, ChannelConfig> by_channel(channel_configs_.begin(), channel_configs_.end());
    std::set<uint32_t> handled;
    for (const auto& [channel, cfg] : by_channel) {
        const uint32_t device_id = cfg.output_device_id;
        if (device_id == 0 || !handled.insert(device_id).second) continue;
        auto audio = audio_configs_.find(device_id);
        if (audio == audio_configs_.end()) continue;
        const AudioConfig& out = audio->second;

        Result<alsa::Device> device = soundcard::resolve_output_device(out.device_name);
        if (!device) {
            log_line(fmt::format("quillmar-modem: failed to resolve output device_id={} ({}): {}",
                                 device_id, out.device_name, device.error_text()));
            continue;
        }
        const bool negotiated =
            soundcard::negotiate_channels(*device, out.sample_rate, std::max(out.channels, 1u),
                                          soundcard::Direction::Output)
                .ok() &&
            alsa::default_config(*device, alsa::Direction::Output).ok();
        if (!negotiated) {
            log_line(fmt::format(
                "quillmar-modem: failed to pre-negotiate output configs for device_id={} ({}); TX "
                "may fail later if device gets busy",
                device_id, out.device_name));
        }
        (void)tx_->send(TxMessage::RegisterOutputDevice{device_id, *device});
        output_devices_.insert_or_assign(device_id, std::move(*device));
    }
}

Status Modem::start_input_device(uint32_t device_id, const std::vector<ChannelConfig>& channels) {
    auto configured = audio_configs_.find(device_id);
    const AudioConfig cfg =
        configured != audio_configs_.end() ? configured->second : AudioConfig::defaults();

    // The source extracts one input channel, the lowest-numbered channel's.
    const uint32_t input_channel = channels.front().input_channel;
    auto [sender, receiver] = audio::make_capture_queue();
    Result<audio::AudioSource> source =
        spawn_source(device_id, cfg, input_channel, std::move(sender));
    if (!source) return source.error();

    for (const ChannelConfig& c : channels) {
        if (c.input_channel != input_channel) {
            log_line(fmt::format(
                "quillmar-modem: channel {} asks for input channel {} of device {}, which "
                "delivers input channel {}",
                c.channel, c.input_channel, device_id, input_channel));
        }
        if (c.num_decoders > kMaxDecoders && c.decoder_offset != 0) {
            log_line(fmt::format("quillmar-modem: channel {}: num_decoders {} limited to {}",
                                 c.channel, c.num_decoders, kMaxDecoders));
        }
    }

    SharedGainCell& gain = device_gain_[device_id];
    if (!gain) gain = std::make_shared<GainCell>(cfg.gain_db);
    // A source that knows no rate yet announces it with its first block.
    const uint32_t rate = source->sample_rate;
    DevicePipeline pipeline{std::move(*source), std::move(receiver), {}, gain};
    if (rate != 0) {
        pipeline.channel_pipelines = make_channel_pipelines(channels, rate);
    } else {
        pipeline.waiting_channels = channels;
    }
    device_pipelines_.insert_or_assign(device_id, std::move(pipeline));
    return Status::success();
}

void Modem::stop_all_audio() {
    std::unordered_map<uint32_t, DevicePipeline> stopping = std::move(device_pipelines_);
    device_pipelines_.clear();
    for (auto& [device_id, pipeline] : stopping) {
        if (pipeline.source.stop) pipeline.source.stop->store(true, std::memory_order_relaxed);
        // Without its receiver a source waiting for room in the queue ends at once.
        { audio::CaptureReceiver dropped = std::move(pipeline.blocks); }
        audio::stop_and_join(pipeline.source);
    }
    stopping.clear();
    (void)tx_->send(TxMessage::ClearOutputDevices{});
}

}  // namespace modem
