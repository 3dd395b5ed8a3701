#pragma once

// Design of the finite-impulse-response filters of the AFSK receive path:
// window shapes, the windowed-sinc band-pass and the raised-cosine low-pass.
// Pure functions in single precision; frequencies are normalised (cycles per
// sample, Hz divided by the sample rate). Nothing here allocates.

#include <cstddef>
#include <cstdint>
#include <span>

namespace dsp {

// The largest tap count of any receive filter, and the capacity of every tap
// array and delay line.
inline constexpr std::size_t MAX_FILTER_SIZE = 480;

// The single-precision pi the filter designs and the demodulators use.
inline constexpr float PI = 3.1415927f;

// Window selectors understood by `window`; any value above 3 is the flat-top.
inline constexpr uint8_t WINDOW_RECTANGULAR = 0;
inline constexpr uint8_t WINDOW_COSINE = 1;
inline constexpr uint8_t WINDOW_HAMMING = 2;
inline constexpr uint8_t WINDOW_BLACKMAN = 3;
inline constexpr uint8_t WINDOW_FLAT_TOP = 4;

// Value of window shape `selector` at tap i of an n-tap filter.
float window(uint8_t selector, std::size_t n, std::size_t i);

// Fills all of `taps` (N entries, N in 3..=MAX_FILTER_SIZE) with a windowed-sinc
// band-pass from f_lo to f_hi, scaled so that the response at the centre
// frequency is one half. A gain sum of magnitude at most 1e-10 (or NaN) leaves
// the taps unscaled.
void gen_bandpass(std::span<float> taps, uint8_t window_selector, float f_lo, float f_hi);

// Fills all of `taps` (N entries, N in 1..=479) with a raised-cosine pulse of
// roll-off `beta` over `samples_per_symbol`, scaled to unit gain at zero
// frequency (unless the tap sum has magnitude at most 1e-10 or is NaN).
void gen_raised_cosine_lowpass(std::span<float> taps, float samples_per_symbol, float beta);

// Tap count of an AFSK filter `length_symbols` symbols long: the integer part of
// length_symbols * sample_rate / baud (single precision), made odd by setting
// its lowest bit, at most 479 and at least 3 (so that settings such as a zero
// sample rate or a baud far above the rate still give a usable filter).
std::size_t afsk_tap_count(float length_symbols, uint32_t sample_rate, uint32_t baud);

}  // namespace dsp
