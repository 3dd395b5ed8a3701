#pragma once

// Design of the 9600-baud demodulator's receive low-pass: a cosine-windowed
// sinc about 1.2 bit periods long with its cut-off at 0.4 x baud, unit gain at
// DC. Pure functions, single-precision arithmetic; they run once at set-up.

#include <array>
#include <cstddef>
#include <cstdint>

#include "dsp.h"

namespace modem_9600 {

// Tap counts of the low-pass. Rates too low for the baud (below five thirds of
// it) still get the smallest usable filter of 3 taps.
inline constexpr std::size_t MIN_LOWPASS_TAPS = 3;
inline constexpr std::size_t MAX_LOWPASS_TAPS = dsp::MAX_FILTER_SIZE - 1;

// Coefficients in taps[0 .. count); the rest are 0.
struct LowpassTaps {
    std::array<float, MAX_LOWPASS_TAPS> taps{};
    std::size_t count = 0;
};

// trunc(1.2 x sample_rate / baud) made odd, within MIN_LOWPASS_TAPS and
// MAX_LOWPASS_TAPS. Any input, zeros included, gives a count in that range.
std::size_t lowpass_tap_count(uint32_t sample_rate, uint32_t baud);

// The low-pass for the given rate and (non-zero) baud. Degenerate inputs give
// degenerate but finite-sized filters, never out-of-range indexing.
LowpassTaps design_lowpass(uint32_t sample_rate, uint32_t baud);

// Bit-clock step per sample with one bit period per 2^32:
// round(baud x 2^32 / sample_rate) in double precision, halves away from zero,
// saturated to the signed 32-bit range (a rate of 0 gives the largest step).
int32_t bit_clock_step(uint32_t sample_rate, uint32_t baud);

}  // namespace modem_9600
