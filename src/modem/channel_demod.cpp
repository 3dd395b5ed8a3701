#include "modem/channel_demod.h"

#include <algorithm>
#include <iterator>
#include <span>
#include <string_view>
#include <utility>

namespace modem {

namespace {

// The first decoder's bad-FCS count; every decoder's count is reset.
uint64_t take_first_bad_fcs(std::span<hdlc::HdlcDecoder> decoders) {
    uint64_t first = decoders.empty() ? 0 : decoders.front().bad_fcs();
    for (hdlc::HdlcDecoder& d : decoders) d.reset_bad_fcs();
    return first;
}

// Moves a demodulator's queue out, oldest first, leaving it empty but with its
// capacity, so the per-sample path does not allocate again after each drain.
template <class T>
std::vector<T> take_all(std::vector<T>& queue) {
    if (queue.empty()) return {};
    std::vector<T> taken(std::make_move_iterator(queue.begin()),
                         std::make_move_iterator(queue.end()));
    queue.clear();
    return taken;
}

std::span<const demod_afsk_multi::MultiConfig> ensemble_rows(std::string_view name) {
    if (name == "triple") return demod_afsk_multi::TRIPLE_ROWS;
    if (name == "dual") return demod_afsk_multi::DUAL_ROWS;
    return {};
}

}  // namespace

std::vector<hdlc::DecodedFrame> ChannelDemod::Afsk::take_frames() {
    return take_all(demod->frames());
}

uint64_t ChannelDemod::Afsk::take_bad_fcs() {
    return take_first_bad_fcs(demod->decoders());
}

std::vector<demod_afsk::DcdChange> ChannelDemod::Afsk::take_dcd_changes() {
    return take_all(demod->dcd_changes());
}

std::vector<hdlc::DecodedFrame> ChannelDemod::MultiAfsk::take_frames() {
    return take_all(demod->frames());
}

uint64_t ChannelDemod::MultiAfsk::take_bad_fcs() {
    const auto members = demod->members();
    uint64_t first = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const uint64_t count = take_first_bad_fcs(members[i]->decoders());
        if (i == 0) first = count;
    }
    return first;
}

// Any modem type that names no other family: one AFSK demodulator or an ensemble.
static ChannelDemod create_afsk_demod(const ChannelConfig& cfg, uint32_t sample_rate) {
    const std::string_view ensemble =
        cfg.demod_ensemble.empty() ? std::string_view("triple") : cfg.demod_ensemble;
    if (auto rows = ensemble_rows(ensemble); !rows.empty()) {
        // An ensemble takes profiles and slicer counts from its rows; its
        // decoders keep repair level 0.
        return ChannelDemod(
            ChannelDemod::MultiAfsk{std::make_unique<demod_afsk_multi::MultiAfskDemodulator>(
                sample_rate, cfg.baud, cfg.mark_freq, cfg.space_freq, cfg.channel, rows)});
    }
    auto demod = demod_afsk::AfskDemodulator::create(sample_rate, cfg.baud, cfg.mark_freq,
                                                     cfg.space_freq, cfg.profile_b, cfg.channel, 0);
    if (cfg.num_slicers >= 2) {
        demod->set_num_slicers(std::min(cfg.num_slicers, demod_afsk::MAX_SLICERS));
    }
    // After the slicer count, whose call replaces the decoders.
    if (cfg.fix_bits != 0) {
        for (hdlc::HdlcDecoder& d : demod->decoders()) d.set_fix_bits(cfg.fix_bits);
    }
    return ChannelDemod(ChannelDemod::Afsk{std::move(demod)});
}

uint64_t ChannelDemod::Psk::take_bad_fcs() {
    return take_first_bad_fcs(std::span(&demod.decoder(), 1));
}

uint64_t ChannelDemod::Fsk9600::take_bad_fcs() {
    return take_first_bad_fcs(std::span(&demod.decoder(), 1));
}

ChannelDemod create_demod(const ChannelConfig& cfg, uint32_t sample_rate) {
    const std::string_view type = cfg.modem_type;
    if (type == "scramble" || type == "baseband" || type == "9600") {
        modem_9600::Demod9600 demod(sample_rate, cfg.baud, cfg.channel, 0);
        if (cfg.fix_bits != 0) demod.decoder().set_fix_bits(cfg.fix_bits);
        return ChannelDemod(ChannelDemod::Fsk9600{std::move(demod)});
    }
    if (type == "psk") {
        // The mid-point of the two tones, rounded down (summed without wrapping).
        const auto centre = static_cast<uint32_t>((uint64_t{cfg.mark_freq} + cfg.space_freq) / 2);
        modem_psk::PskDemodulator demod(sample_rate, cfg.baud, centre, cfg.profile_b ? 2 : 1,
                                        cfg.channel, 0);
        if (cfg.fix_bits != 0) demod.decoder().set_fix_bits(cfg.fix_bits);
        return ChannelDemod(ChannelDemod::Psk{std::move(demod)});
    }
    return create_afsk_demod(cfg, sample_rate);
}

}  // namespace modem
