#include "modem/channel_demod.h"

#include <memory>
#include <span>
#include <string_view>

namespace modem {

namespace {

std::span<const demod_afsk_multi::MultiConfig> ensemble_rows(std::string_view name) {
    if (name == "triple") return demod_afsk_multi::TRIPLE_ROWS;
    if (name == "dual") return demod_afsk_multi::DUAL_ROWS;
    return {};
}

}  // namespace

// Any modem type that names no other family: one AFSK demodulator or an ensemble.
static ChannelDemod create_afsk_demod(const ChannelConfig& cfg, uint32_t sample_rate) {
    const demod::Identity identity{cfg.channel, 0};
    const std::string_view ensemble =
        cfg.demod_ensemble.empty() ? std::string_view("triple") : cfg.demod_ensemble;
    if (auto rows = ensemble_rows(ensemble); !rows.empty()) {
        // An ensemble takes profiles and slicer counts from its rows; its
        // decoders keep repair level 0.
        return ChannelDemod(std::make_unique<demod_afsk_multi::MultiAfskDemodulator>(
            demod_afsk_multi::EnsembleSettings{sample_rate, cfg.baud, cfg.mark_freq,
                                               cfg.space_freq, rows},
            identity));
    }
    const demod_afsk::AfskOptions options{.num_slicers = cfg.num_slicers, .fix_bits = cfg.fix_bits};
    return ChannelDemod(std::make_unique<demod_afsk::AfskDemodulator>(
        demod_afsk::AfskSettings{sample_rate, cfg.baud, cfg.mark_freq, cfg.space_freq,
                                 cfg.profile_b, options},
        identity));
}

ChannelDemod create_demod(const ChannelConfig& cfg, uint32_t sample_rate) {
    const std::string_view type = cfg.modem_type;
    if (type == "scramble" || type == "baseband" || type == "9600") {
        return ChannelDemod(std::in_place_type<ChannelDemod::Fsk9600>,
                            modem_9600::Settings9600{sample_rate, cfg.baud, cfg.fix_bits},
                            demod::Identity{cfg.channel, 0});
    }
    if (type == "psk") {
        // The mid-point of the two tones, rounded down (summed without wrapping).
        const auto centre = static_cast<uint32_t>((uint64_t{cfg.mark_freq} + cfg.space_freq) / 2);
        return ChannelDemod(std::in_place_type<ChannelDemod::Psk>, sample_rate, cfg.baud, centre,
                            cfg.profile_b ? 2 : 1, cfg.channel, 0, cfg.fix_bits);
    }
    return create_afsk_demod(cfg, sample_rate);
}

}  // namespace modem
