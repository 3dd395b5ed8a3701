#pragma once

// Phase-continuous AFSK modulation of NRZI line levels. Bit timing and tone
// phase are integer fixed point and the waveform comes from a 256-entry table,
// so the audio is reproducible to the bit on any machine.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "result.h"

namespace afsk_mod {

// Peak of the modulated tone: half of full scale.
inline constexpr int16_t kAmplitude = 16384;

// One cycle of the tone: entry k = 16384 x sin(2 pi k / 256), rounded to
// nearest with halves away from zero.
using SineTable = std::array<int16_t, 256>;
SineTable sine_table();

// Samples that `level_count` bit periods last at sample_rate and baud, exactly
// as modulate() emits them (stopping at the largest 64-bit value). baud > 0.
uint64_t sample_count(uint64_t level_count, uint32_t sample_rate, uint32_t baud);

// Modulates one level per bit period: mark_hz for level 1, space_hz for level 0,
// at sample_rate. The phase runs on across bit boundaries and the first sample
// is 0. Fails with tx::TxError when sample_rate or baud is 0, and with the size
// limit error of signal_limit when the result would be too long.
Result<std::vector<int16_t>> modulate(std::span<const uint8_t> levels, uint32_t sample_rate,
                                      uint32_t baud, uint32_t mark_hz, uint32_t space_hz);

}  // namespace afsk_mod
