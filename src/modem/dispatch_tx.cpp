// The requests that reach the transmitter and the sound devices: PTT settings,
// manual keying, frames, test signals, and the one-shot threads that answer
// device listings and level scans.

#include <exception>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "audio/soundcard_stream.h"
#include "modem/inventory.h"
#include "modem/level_scan.h"
#include "modem/modem.h"
#include "modem/rx_messages.h"
#include "modem/tx_road.h"
#include "num.h"

namespace modem {

namespace {

using ipc::proto::IpcMessage;

constexpr uint32_t kDefaultScanMs = 500;

void log_line(const std::string& line) {
    soundcard::log_to_stderr(line);
}

template <class Map>
auto* find_in(Map& map, uint32_t key) {
    auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

}  // namespace

void Modem::apply_ptt_config(const ipc::proto::ConfigurePtt& config) {
    const uint32_t channel = config.channel();
    if (Status sent = tx_->send(TxMessage::ConfigurePtt{channel, ptt::ptt_settings(config)});
        !sent) {
        log_line(
            fmt::format("quillmar-modem: ConfigurePtt: register driver for channel {}: tx worker "
                        "register_driver: {}",
                        channel, sent.error_text()));
    }
    ptt_configs_.insert_or_assign(channel, config);
}

Modem::TxSettings Modem::tx_settings(uint32_t channel) const {
    TxSettings settings;
    settings.channel = find_in(channel_configs_, channel);
    settings.ptt = find_in(ptt_configs_, channel);
    if (settings.channel != nullptr) {
        const uint32_t device_id = settings.channel->output_device_id;
        settings.output = find_in(audio_configs_, device_id);
        if (const SharedGainCell* cell = find_in(device_gain_, device_id); cell && *cell) {
            settings.gain_db = (*cell)->load();
        }
    }
    return settings;
}

void Modem::transmit_frame(const ipc::proto::TransmitFrame& frame) {
    const uint32_t channel = frame.channel();
    const TxSettings s = tx_settings(channel);
    Result<FrameTransmission> built =
        build_frame_transmission(frame, s.channel, s.output, s.ptt, s.gain_db);
    if (!built) {
        log_line(fmt::format("quillmar-modem: TransmitFrame: {}", built.error_text()));
        return;
    }
    const uint32_t device_id = built->request.output_device_id;
    (void)ipc_->send(device_level_message(device_id, built->level.peak_dbfs,
                                          built->level.rms_dbfs, built->clipping));
    level_sent_.insert_or_assign(device_id, options_.clock());

    if (Status queued = tx_->transmit(std::move(built->request)); !queued) {
        log_line(fmt::format("quillmar-modem: TransmitFrame: {}", queued.error_text()));
        return;
    }
    uint64_t& sent = tx_frames_[channel];
    sent = num::saturating_add(sent, 1);
}

void Modem::transmit_test_signal(const ipc::proto::TransmitTestSignal& signal) {
    const uint32_t channel = signal.channel();
    const TxSettings s = tx_settings(channel);
    Result<TxRequest> built =
        build_test_signal_request(signal, s.channel, s.output, s.ptt, s.gain_db);
    if (!built) {
        reply_test_signal(signal.request_id(), false, built.error_text());
        return;
    }
    if (Status queued = tx_->transmit(std::move(*built)); !queued) {
        reply_test_signal(signal.request_id(), false, queued.error_text());
        return;
    }
    uint64_t& sent = tx_frames_[channel];
    sent = num::saturating_add(sent, 1);
    reply_test_signal(signal.request_id(), true, "");
}

void Modem::reply_test_signal(uint32_t request_id, bool success, const std::string& error) {
    IpcMessage reply;
    auto* result = reply.mutable_test_signal_result();
    result->set_request_id(request_id);
    result->set_success(success);
    result->set_error(error);
    (void)ipc_->send(reply);
}

void Modem::manual_ptt(const ipc::proto::ManualPtt& request) {
    Status sent = tx_->send(TxMessage::ManualKey{request.channel(), request.keyed()});
    if (!sent) {
        log_line(
            fmt::format("quillmar-modem: ManualPtt channel={} keyed={}: tx worker "
                        "manual_key: {}",
                        request.channel(), request.keyed(), sent.error_text()));
    }
}

template <class Devices>
InUseDevices Modem::busy_devices(const Devices& devices) const {
    InUseDevices busy;
    for (const auto& entry : devices) {
        const AudioConfig* config = find_in(audio_configs_, entry.first);
        if (config == nullptr || config->source_type != "soundcard" ||
            config->device_name.empty()) {
            continue;
        }
        busy.try_emplace(config->device_name, InUseDevice{config->sample_rate, config->channels});
    }
    return busy;
}

void Modem::start_device_listing(const ipc::proto::EnumerateAudioDevices& request) {
    try {
        (void)listings_->post([writer = *ipc_, request_id = request.request_id(),
                              include_output = request.include_output(),
                              capture = busy_devices(device_pipelines_),
                              playback = busy_devices(output_devices_)](std::stop_token stop) {
            IpcMessage answer;
            auto* list = answer.mutable_audio_device_list();
            list->set_request_id(request_id);
            for (auto& device : enumerate_audio_devices(include_output, capture, playback)) {
                *list->add_devices() = std::move(device);
            }
            if (stop.stop_requested()) return;  // the modem is ending: nobody asks any more
            if (Status sent = writer.send(answer); !sent) {
                log_line(fmt::format("quillmar-modem: send AudioDeviceList failed: {}",
                                     sent.error_text()));
            }
        });
    } catch (const std::bad_alloc&) {
        // Without memory for the busy maps the request is dropped like one
        // that cannot be queued.
    }
}

void Modem::start_level_scan(const ipc::proto::ScanInputLevels& request) {
    try {
        uint32_t duration_ms = request.duration_ms() != 0 ? request.duration_ms() : kDefaultScanMs;
        if (duration_ms > options_.max_scan_ms) {
            log_line(fmt::format(
                "quillmar-modem: ScanInputLevels: duration_ms {} clamped to {} ms (request_id {})",
                duration_ms, options_.max_scan_ms, request.request_id()));
            duration_ms = options_.max_scan_ms;
        }
        (void)scans_->post([writer = *ipc_, request_id = request.request_id(), duration_ms,
                           capture = busy_devices(device_pipelines_)](std::stop_token stop) {
            IpcMessage answer;
            auto* result = answer.mutable_input_level_scan_result();
            result->set_request_id(request_id);
            for (auto& device : scan_input_levels(duration_ms, capture, stop)) {
                *result->add_devices() = std::move(device);
            }
            // A scan cut short by the modem's end is no answer.
            if (stop.stop_requested()) return;
            (void)writer.send(answer);
        });
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace modem
