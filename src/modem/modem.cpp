#include "modem/modem.h"

#include <utility>
#include <variant>

#include <fmt/format.h>

#include "audio/soundcard_stream.h"
#include "ipc/timestamp.h"
#include "modem/rx_messages.h"
#include "num.h"
#include "termination.h"

namespace modem {

namespace {

using namespace std::chrono_literals;

constexpr auto kBlockWait = 1ms;
constexpr auto kIdleWait = 20ms;
constexpr auto kStatusInterval = 500ms;
constexpr auto kInputLevelInterval = 200ms;
// A device never reported counts as reported this long before its first block.
constexpr auto kNeverReported = 1s;
constexpr auto kDropReportInterval = 1s;

void count(std::unordered_map<uint32_t, uint64_t>& counters, uint32_t channel, uint64_t n) {
    uint64_t& counter = counters[channel];
    counter = num::saturating_add(counter, n);
}

}  // namespace

Result<std::unique_ptr<Modem>> Modem::create(ipc::IpcHandle ipc, InboundReceiver inbound,
                                             ModemOptions options) {
    if (!options.termination_signal) options.termination_signal = termination::received;
    if (!options.cut_requested) options.cut_requested = termination::cut_requested;
    Result<TxWorker> tx =
        TxWorker::spawn(options.open_output, std::move(options.build_driver),
                        TxEnd{.cut_now = options.cut_requested});
    if (!tx) return tx.error();
    return std::unique_ptr<Modem>(
        new Modem(std::move(ipc), std::move(inbound), std::move(*tx), std::move(options)));
}

Modem::Modem(ipc::IpcHandle ipc, InboundReceiver inbound, TxWorker tx, ModemOptions options)
    : ipc_(std::move(ipc)),
      inbound_(std::move(inbound)),
      tx_(std::move(tx)),
      options_(std::move(options)) {
    last_status_ = options_.clock();
}

Modem::~Modem() {
    listings_.reset();
    scans_.reset();
    ipc_.reset();
    inbound_.reset();
    audio_configs_.clear();
    channel_configs_.clear();
    ptt_configs_.clear();
    device_gain_.clear();
    output_devices_.clear();
    device_pipelines_.clear();
    tx_.reset();
    rx_frames_.clear();
    tx_frames_.clear();
    rx_bad_fcs_.clear();
    dcd_transitions_.clear();
    level_sent_.clear();
}

void Modem::run(std::unique_ptr<Modem> modem) {
    if (!modem) return;
    while (modem->turn()) {
    }
    // The end's line is the last word: the transmit worker may still log the
    // message it finishes during the teardown.
    const std::string end_line = std::move(modem->end_line_);
    modem.reset();
    if (!end_line.empty()) soundcard::log_to_stderr(end_line);
}

bool Modem::turn() {
    if (const int signal_number = options_.termination_signal(); signal_number != 0) {
        end_line_ =
            fmt::format("quillmar-modem: {} received, exiting", termination::name(signal_number));
        return false;
    }
    if (Step step = serve(inbound_->try_recv()); step != Step::NothingWaiting) {
        return step == Step::Continue;
    }
    const bool block_received = audio_pass();
    status_tick();
    if (block_received) return true;
    return serve(inbound_->recv_timeout(kIdleWait)) != Step::End;
}

Modem::Step Modem::serve(ipc::Received<ipc::IpcInbound> received) {
    if (std::holds_alternative<ipc::QueueEmpty>(received)) return Step::NothingWaiting;
    if (std::holds_alternative<ipc::QueueClosed>(received)) {
        end_line_ = "quillmar-modem: ipc channel closed, exiting";
        return Step::End;
    }
    ipc::IpcInbound& inbound = std::get<ipc::IpcInbound>(received);
    if (auto* message = std::get_if<ipc::IpcInbound::Message>(&inbound.event)) {
        return handle_ipc(message->message) ? Step::End : Step::Continue;
    }
    if (std::holds_alternative<ipc::IpcInbound::Closed>(inbound.event)) {
        end_line_ = "quillmar-modem: peer disconnected, exiting";
        return Step::End;
    }
    const auto& error = std::get<ipc::IpcInbound::ReadError>(inbound.event);
    end_line_ = fmt::format("quillmar-modem: ipc read error: {}, exiting", error.text);
    return Step::End;
}

bool Modem::audio_pass() {
    if (device_pipelines_.empty()) return false;
    pass_devices_.clear();
    for (const auto& entry : device_pipelines_) pass_devices_.push_back(entry.first);
    const MonotonicTime now = options_.clock();
    bool block_received = false;
    for (uint32_t device_id : pass_devices_) {
        auto it = device_pipelines_.find(device_id);
        if (it == device_pipelines_.end()) continue;
        DevicePipeline& pipeline = it->second;
        ipc::Received<audio::SampleBlock> received = pipeline.blocks.recv_timeout(kBlockWait);
        report_drops(device_id, pipeline, now);
        if (auto* block = std::get_if<audio::SampleBlock>(&received)) {
            if (!pipeline.waiting_channels.empty()) {
                // The rate came with the block, announced before it was sent.
                if (const uint32_t rate = pipeline.blocks.sample_rate(); rate != 0) {
                    pipeline.channel_pipelines =
                        make_channel_pipelines(pipeline.waiting_channels, rate);
                    pipeline.waiting_channels.clear();
                }
            }
            process_block(device_id, pipeline, *block, now);
            block_received = true;
        } else if (std::holds_alternative<ipc::QueueClosed>(received)) {
            if (std::optional<std::string> failure = pipeline.blocks.failure()) {
                soundcard::log_to_stderr(
                    fmt::format("quillmar-modem: audio source {} failed: {}", device_id, *failure));
            }
            soundcard::log_to_stderr(
                fmt::format("quillmar-modem: audio source {} ended", device_id));
            DevicePipeline ended = std::move(it->second);
            device_pipelines_.erase(it);
            if (ended.source.stop) ended.source.stop->store(true, std::memory_order_relaxed);
            // Dropped here without a join: its thread is ending or let go.
        }
    }
    return block_received;
}

void Modem::process_block(uint32_t device_id, DevicePipeline& pipeline, audio::SampleBlock& block,
                          MonotonicTime now) {
    const float gain_db = pipeline.gain ? pipeline.gain->load() : 0.0f;
    const bool clipping = apply_rx_gain(block, gain_db);
    const BlockLevel level = measure_block_level(block);

    auto [reported, inserted] = level_sent_.try_emplace(device_id, now - kNeverReported);
    if (now - reported->second >= kInputLevelInterval) {
        (void)ipc_->send(
            device_level_message(device_id, level.peak_dbfs, level.rms_dbfs, clipping));
        reported->second = now;
    }

    for (ChannelPipeline& channel : pipeline.channel_pipelines) {
        channel.audio_level_peak = level.linear_peak;
        process_demod_samples(channel.demod, block);
        for (ChannelDemod& extra : channel.extra_demods) process_demod_samples(extra, block);

        uint64_t bad_fcs = channel.demod.take_bad_fcs();
        for (ChannelDemod& extra : channel.extra_demods) {
            bad_fcs = num::saturating_add(bad_fcs, extra.take_bad_fcs());
        }
        if (bad_fcs != 0) count(rx_bad_fcs_, channel.channel, bad_fcs);

        auto send_frames = [&](ChannelDemod& demod) {
            for (const hdlc::DecodedFrame& frame : demod.take_frames()) {
                count(rx_frames_, channel.channel, 1);
                Status sent = ipc_->send(received_frame_message(frame, ipc::timestamp_ns()));
                if (!sent) {
                    soundcard::log_to_stderr(
                        fmt::format("quillmar-modem: ipc send failed: {}", sent.error_text()));
                }
            }
        };
        send_frames(channel.demod);
        for (ChannelDemod& extra : channel.extra_demods) send_frames(extra);

        // Only the main demodulator's carrier detect is reported; the records an
        // extra single demodulator keeps are dropped so they never pile up.
        for (ChannelDemod& extra : channel.extra_demods) (void)extra.take_dcd_changes();
        report_carrier_detect(channel);
    }
}

void Modem::report_drops(uint32_t device_id, DevicePipeline& pipeline, MonotonicTime now) {
    const uint64_t dropped = pipeline.blocks.dropped();
    if (dropped == pipeline.drops_reported) return;
    if (pipeline.drops_reported_at && now - *pipeline.drops_reported_at < kDropReportInterval) {
        return;
    }
    soundcard::log_to_stderr(fmt::format(
        "quillmar-modem: device {}: {} capture blocks dropped (the main loop fell behind)",
        device_id, dropped));
    pipeline.drops_reported = dropped;
    pipeline.drops_reported_at = now;
}

void Modem::report_carrier_detect(ChannelPipeline& channel) {
    for (const demod::DcdChange& change : channel.demod.take_dcd_changes()) {
        count(dcd_transitions_, channel.channel, 1);
        (void)ipc_->send(dcd_change_message(change, ipc::timestamp_ns()));
    }
    channel.dcd_state = channel.demod.dcd();
}

void Modem::status_tick() {
    if (options_.clock() - last_status_ < kStatusInterval) return;
    emit_status(false);
    report_idle_output_levels();
    last_status_ = options_.clock();
}

}  // namespace modem
