#include "tx/afsk_mod.h"

#include <cmath>
#include <numbers>

#include "num.h"
#include "signal_limit.h"
#include "tx/tx_error.h"

namespace afsk_mod {

namespace {

constexpr uint64_t kLow32 = 0xFFFF'FFFFu;

// One bit period in samples, 32.32 fixed point.
uint64_t bit_step(uint32_t sample_rate, uint32_t baud) {
    return (static_cast<uint64_t>(sample_rate) << 32) / baud;
}

// Phase advance per sample of a tone, one cycle per 2^32, wrapping.
uint32_t phase_increment(uint32_t freq_hz, uint32_t sample_rate) {
    return static_cast<uint32_t>((static_cast<uint64_t>(freq_hz) << 32) / sample_rate);
}

}  // namespace

SineTable sine_table() {
    SineTable table{};
    for (size_t k = 0; k < table.size(); ++k) {
        const double angle = 2.0 * std::numbers::pi * static_cast<double>(k) / 256.0;
        table[k] = num::round_saturate<int16_t>(kAmplitude * std::sin(angle));
    }
    return table;
}

uint64_t sample_count(uint64_t level_count, uint32_t sample_rate, uint32_t baud) {
    // The accumulator only carries a fraction between bits, so the total is
    // floor(level_count x step / 2^32); split both factors to stay in 64 bits.
    const uint64_t step = bit_step(sample_rate, baud);
    const uint64_t whole = signal_limit::saturating_mul(level_count, step >> 32);
    const uint64_t fraction = step & kLow32;
    const uint64_t from_fraction =
        (level_count >> 32) * fraction + (((level_count & kLow32) * fraction) >> 32);
    return num::saturating_add(whole, from_fraction);
}

Result<std::vector<int16_t>> modulate(std::span<const uint8_t> levels, uint32_t sample_rate,
                                      uint32_t baud, uint32_t mark_hz, uint32_t space_hz) {
    if (sample_rate == 0 || baud == 0) return tx::TxError();
    const uint64_t total = sample_count(levels.size(), sample_rate, baud);
    if (Status fits = signal_limit::check(total, sample_rate); !fits) return fits.error();

    const SineTable table = sine_table();
    const uint64_t step = bit_step(sample_rate, baud);
    const uint32_t mark_increment = phase_increment(mark_hz, sample_rate);
    const uint32_t space_increment = phase_increment(space_hz, sample_rate);

    std::vector<int16_t> samples;
    samples.reserve(total);
    uint64_t bit_clock = 0;
    uint32_t phase = 0;
    for (uint8_t level : levels) {
        bit_clock += step;
        const uint64_t n = bit_clock >> 32;
        bit_clock &= kLow32;
        const uint32_t increment = level ? mark_increment : space_increment;
        for (uint64_t i = 0; i < n; ++i) {
            samples.push_back(table[phase >> 24]);
            phase += increment;
        }
    }
    return samples;
}

}  // namespace afsk_mod
