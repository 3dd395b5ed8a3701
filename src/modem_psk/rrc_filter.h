#pragma once

// Design of the PSK demodulator's root-raised-cosine receive filter (roll-off
// 0.35, four symbols long, unit gain at DC). Pure functions, single-precision
// arithmetic; they run once at set-up. The length follows the symbol length in
// samples without an upper bound.

#include <cstddef>
#include <vector>

namespace modem_psk {

// trunc(4 x samples_per_symbol) made odd (at least 1; saturating for huge or
// infinite inputs, 0 for NaN before the lowest bit is set).
std::size_t rrc_tap_count(float samples_per_symbol);

// The rrc_tap_count(samples_per_symbol) taps, divided by their sum when it is
// not close to 0. samples_per_symbol must be finite.
std::vector<float> design_rrc(float samples_per_symbol);

}  // namespace modem_psk
