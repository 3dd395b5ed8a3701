#include "tx/tx.h"

#include "num.h"
#include "signal_limit.h"
#include "tx/afsk_mod.h"
#include "tx/hdlc_encode.h"

namespace tx {

uint64_t flag_count(uint32_t baud, uint32_t ms) {
    const uint64_t bits_x8000 = static_cast<uint64_t>(baud) * ms;
    return (bits_x8000 + 7999) / 8000;
}

Result<std::vector<int16_t>> build_samples(std::span<const uint8_t> data, uint32_t txdelay_ms,
                                           uint32_t txtail_ms, uint32_t sample_rate, uint32_t baud,
                                           uint32_t mark_hz, uint32_t space_hz) {
    if (sample_rate == 0 || baud == 0) return TxError();
    const uint64_t pre_flags = flag_count(baud, txdelay_ms);
    const uint64_t post_flags = flag_count(baud, txtail_ms);

    // Flags leave the level and the run of ones as they found them, so the
    // frame body encodes alike whatever surrounds it: size it alone first and
    // refuse an oversized signal before building its flags.
    const uint64_t body_levels = hdlc_encode::encode(data, 0, 0).size();
    const uint64_t level_count = num::saturating_add(body_levels, 8 * (pre_flags + post_flags));
    const uint64_t total = afsk_mod::sample_count(level_count, sample_rate, baud);
    if (Status fits = signal_limit::check(total, sample_rate); !fits) return fits.error();
    // Above the sample rate a bit lasts less than a sample, so few samples can
    // still mean a vast run of bits: those are bounded by the same limit.
    if (const uint64_t most = signal_limit::max_samples(sample_rate); level_count > most) {
        return make_error("signal too long: {} bits exceeds the limit of {}", level_count, most);
    }

    const std::vector<uint8_t> levels = hdlc_encode::encode(data, pre_flags, post_flags);
    return afsk_mod::modulate(levels, sample_rate, baud, mark_hz, space_hz);
}

}  // namespace tx
