#pragma once

// Design of the PSK demodulator's root-raised-cosine receive filter (roll-off
// 0.35, four symbols long up to MAX_RRC_TAPS, unit gain at DC). Pure functions,
// single-precision arithmetic; they run once at set-up.

#include <cstddef>
#include <vector>

#include "dsp.h"

namespace modem_psk {

// Longest filter: four symbols of at most MAX_FILTER_SIZE samples, so that no
// setting makes the filter's memory or its per-sample work unbounded.
inline constexpr std::size_t MAX_RRC_TAPS = 4 * dsp::MAX_FILTER_SIZE + 1;

// trunc(4 x samples_per_symbol) made odd, at most MAX_RRC_TAPS (at least 1;
// saturating for huge or infinite inputs, 0 for NaN before the lowest bit is set).
std::size_t rrc_tap_count(float samples_per_symbol);

// The rrc_tap_count(samples_per_symbol) taps, divided by their sum when it is
// not close to 0. Above the cap the filter keeps its shape per sample and spans
// fewer symbols. samples_per_symbol must be finite.
std::vector<float> design_rrc(float samples_per_symbol);

}  // namespace modem_psk
