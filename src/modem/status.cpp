// The periodic reports: one StatusUpdate per configured channel, and the idle
// level report of output devices that have not been heard from.

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <vector>

#include "ipc/timestamp.h"
#include "modem/modem.h"
#include "modem/rx_messages.h"

namespace modem {

namespace {

constexpr auto kIdleOutputInterval = std::chrono::milliseconds(750);

uint64_t counter_of(const std::unordered_map<uint32_t, uint64_t>& counters, uint32_t channel) {
    auto it = counters.find(channel);
    return it == counters.end() ? 0 : it->second;
}

void keep_only(std::unordered_map<uint32_t, uint64_t>& counters,
               const std::unordered_map<uint32_t, ChannelConfig>& channels) {
    std::erase_if(counters, [&](const auto& entry) { return !channels.contains(entry.first); });
}

}  // namespace

void Modem::emit_status(bool final) {
    std::vector<uint32_t> channels;
    channels.reserve(channel_configs_.size());
    for (const auto& entry : channel_configs_) channels.push_back(entry.first);
    std::sort(channels.begin(), channels.end());

    for (auto* counters : {&rx_frames_, &tx_frames_, &rx_bad_fcs_, &dcd_transitions_}) {
        keep_only(*counters, channel_configs_);
    }

    // Each channel's first pipeline, in table order.
    std::unordered_map<uint32_t, const ChannelPipeline*> pipelines;
    for (const auto& [device_id, device] : device_pipelines_) {
        for (const ChannelPipeline& pipeline : device.channel_pipelines) {
            pipelines.try_emplace(pipeline.channel, &pipeline);
        }
    }

    for (size_t i = 0; i < channels.size(); ++i) {
        const uint32_t channel = channels[i];
        ipc::proto::IpcMessage message;
        auto* status = message.mutable_status_update();
        status->set_channel(channel);
        status->set_rx_frames(counter_of(rx_frames_, channel));
        status->set_rx_bad_fcs(counter_of(rx_bad_fcs_, channel));
        status->set_tx_frames(counter_of(tx_frames_, channel));
        status->set_dcd_transitions(counter_of(dcd_transitions_, channel));
        if (auto it = pipelines.find(channel); it != pipelines.end()) {
            status->set_audio_level_peak(it->second->audio_level_peak);
            status->set_dcd_state(it->second->dcd_state);
        }
        status->set_shutdown_complete(final && i + 1 == channels.size());
        status->set_timestamp_ns(ipc::timestamp_ns());
        (void)ipc_->send(message);
    }

    if (channels.empty() && final) {
        ipc::proto::IpcMessage message;
        auto* status = message.mutable_status_update();
        status->set_shutdown_complete(true);
        status->set_timestamp_ns(ipc::timestamp_ns());
        (void)ipc_->send(message);
    }
}

void Modem::report_idle_output_levels() {
    const MonotonicTime now = options_.clock();
    std::vector<uint32_t> devices;
    for (const auto& entry : channel_configs_) {
        const uint32_t device_id = entry.second.output_device_id;
        if (device_id != 0) devices.push_back(device_id);
    }
    std::sort(devices.begin(), devices.end());
    devices.erase(std::unique(devices.begin(), devices.end()), devices.end());

    for (uint32_t device_id : devices) {
        auto [sent, inserted] = level_sent_.try_emplace(device_id, now);
        if (!inserted && now - sent->second < kIdleOutputInterval) continue;
        (void)ipc_->send(device_level_message(device_id, kLevelFloorDbfs, kLevelFloorDbfs, false));
        sent->second = now;
    }
}

}  // namespace modem
