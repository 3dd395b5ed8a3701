#include "modem/tx_road.h"

#include <utility>

#include <fmt/format.h>

#include "tx/tx.h"
#include "tx/tx_error.h"
#include "txtest.h"

namespace modem {

namespace {

constexpr uint32_t kVoxLeadInMs = 500;

// The first of the delays that is set (not 0).
uint32_t first_set(uint32_t override_ms, uint32_t stored_ms, uint32_t default_ms) {
    if (override_ms != 0) return override_ms;
    if (stored_ms != 0) return stored_ms;
    return default_ms;
}

// Puts `front` before `samples`.
std::vector<int16_t> joined(std::vector<int16_t> front, std::vector<int16_t>&& samples) {
    if (front.empty()) return std::move(samples);
    front.insert(front.end(), samples.begin(), samples.end());
    return front;
}

TxRequest request_for(std::vector<int16_t> samples, const ChannelConfig& channel,
                      const AudioConfig& output, uint32_t ptt_tone_hz) {
    TxRequest request;
    request.samples = std::move(samples);
    request.output = soundcard::OutputSpec{output.device_name, output.sample_rate, output.channels,
                                           channel.output_channel, ptt_tone_hz};
    request.channel = channel.channel;
    request.sample_rate = output.sample_rate;
    request.output_device_id = channel.output_device_id;
    return request;
}

// The test signal's audio by kind, at a rate already checked.
Result<std::vector<int16_t>> test_signal_samples(const ipc::proto::TransmitTestSignal& signal,
                                                 uint32_t rate) {
    const auto freq_a = static_cast<float>(signal.freq_a_hz());
    const auto freq_b = static_cast<float>(signal.freq_b_hz());
    switch (signal.kind()) {
        case 0: {
            const uint32_t wpm = signal.cw_wpm() > 0 ? signal.cw_wpm() : 1;
            Result<std::vector<int16_t>> cw =
                txtest::cw_samples(signal.callsign(), rate, wpm, freq_a);
            if (cw && cw->empty()) return Error{"callsign produced no CW symbols"};
            return cw;
        }
        case 1:
            return txtest::tone_samples(rate, signal.duration_ms(), freq_a);
        case 2:
            return txtest::alternating_samples(rate, signal.duration_ms(), signal.alt_period_ms(),
                                               freq_a, freq_b);
        default:
            return make_error("unknown test signal kind {}", signal.kind());
    }
}

}  // namespace

TxDelays frame_delays(const ipc::proto::TransmitFrame& frame, const ipc::proto::ConfigurePtt* ptt) {
    return TxDelays{
        first_set(frame.txdelay_override_ms(), ptt ? ptt->txdelay_ms() : 0, kDefaultTxdelayMs),
        first_set(frame.txtail_override_ms(), ptt ? ptt->txtail_ms() : 0, kDefaultTxtailMs)};
}

Result<LeadIn> frame_lead_in(const ipc::proto::ConfigurePtt* ptt, uint32_t sample_rate,
                             uint32_t mark_freq) {
    if (ptt == nullptr) return LeadIn{};
    const std::string& method = ptt->method();
    if (method == "vox" || (method == "android" && ptt->ptt_method() == kAndroidVoxPttMethod)) {
        Result<std::vector<int16_t>> tone =
            txtest::tone_samples(sample_rate, kVoxLeadInMs, static_cast<float>(mark_freq));
        if (!tone) return tone.error();
        return LeadIn{std::move(*tone), 0};
    }
    if (method == "digirig_tone")
        return LeadIn{std::vector<int16_t>(sample_rate / 2, 0), mark_freq};
    return LeadIn{};
}

Status check_output_rate(uint32_t sample_rate) {
    if (sample_rate > kMaxOutputRate) {
        return make_error("sample rate {} Hz above the limit of {} Hz", sample_rate,
                          kMaxOutputRate);
    }
    return Status::success();
}

Result<FrameTransmission> build_frame_transmission(const ipc::proto::TransmitFrame& frame,
                                                   const ChannelConfig* channel,
                                                   const AudioConfig* output,
                                                   const ipc::proto::ConfigurePtt* ptt,
                                                   std::optional<float> gain_db) {
    if (channel == nullptr) return make_error("unknown channel {}", frame.channel());
    if (output == nullptr) {
        return make_error("no audio config for output_device_id {}", channel->output_device_id);
    }
    const uint32_t rate = output->sample_rate;
    if (Status fits = check_output_rate(rate); !fits) {
        return fits.error().with_context("build_samples failed");
    }
    const TxDelays delays = frame_delays(frame, ptt);
    const std::string& data = frame.data();
    Result<std::vector<int16_t>> audio = tx::build_samples(
        std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size()), delays.txdelay_ms,
        delays.txtail_ms, rate, channel->baud, channel->mark_freq, channel->space_freq);
    if (!audio) return audio.error().with_context("build_samples failed");
    Result<LeadIn> lead_in = frame_lead_in(ptt, rate, channel->mark_freq);
    if (!lead_in) return lead_in.error().with_context("build_samples failed");

    FrameTransmission out;
    std::vector<int16_t> samples = joined(std::move(lead_in->samples), std::move(*audio));
    out.clipping = apply_tx_gain(samples, gain_db.value_or(0.0f));
    out.level = measure_block_level(samples);
    out.request = request_for(std::move(samples), *channel, *output, lead_in->ptt_tone_hz);
    return out;
}

Result<TxRequest> build_test_signal_request(const ipc::proto::TransmitTestSignal& signal,
                                            const ChannelConfig* channel, const AudioConfig* output,
                                            const ipc::proto::ConfigurePtt* ptt,
                                            std::optional<float> gain_db) {
    if (channel == nullptr) return make_error("unknown channel {}", signal.channel());
    if (output == nullptr) {
        return make_error("no audio config for output device {}", channel->output_device_id);
    }
    const uint32_t rate = output->sample_rate;
    if (rate == 0) return tx::TxError();
    if (Status fits = check_output_rate(rate); !fits) return fits.error();

    Result<std::vector<int16_t>> audio = test_signal_samples(signal, rate);
    if (!audio) return audio.error();
    // Only a keying tone keys the radio of a "digirig_tone" channel: the
    // signal takes the frame's lead-in and tone so that it goes on the air.
    LeadIn lead_in;
    if (ptt != nullptr && ptt->method() == "digirig_tone") {
        Result<LeadIn> digirig = frame_lead_in(ptt, rate, channel->mark_freq);
        if (!digirig) return digirig.error();
        lead_in = std::move(*digirig);
    }
    std::vector<int16_t> samples = joined(std::move(lead_in.samples), std::move(*audio));
    (void)apply_tx_gain(samples, gain_db.value_or(0.0f));
    return request_for(std::move(samples), *channel, *output, lead_in.ptt_tone_hz);
}

}  // namespace modem
