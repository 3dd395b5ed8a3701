#pragma once

// Test signals for the transmitter: Morse identification of a callsign, a
// steady tone and two alternating tones. Every burst of tone starts and ends on
// a raised-cosine ramp of 5 ms (at most half the burst). Pure computations; the
// tones use single-precision sine, so results may differ by one step between
// maths libraries.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "result.h"

namespace txtest {

// Peak of the test signals: 0.6 of full scale.
inline constexpr float kAmplitude = 19660.201f;

// One keying interval of Morse code, `units` Morse units long, tone or silence.
struct Segment {
    uint32_t units;
    bool on;

    friend bool operator==(const Segment&, const Segment&) = default;
};

// The dots and dashes of c ("-.-." for C), or an empty view when c is not one of
// the 41 keyed characters (A-Z, 0-9, and , - . / ?). Lower-case letters are not
// folded here.
std::string_view morse_pattern(char c);

// The keying of a callsign: dots 1 unit, dashes 3, gaps of 1 inside a character,
// 3 between characters and 7 at a space that follows a keyed character. Letters
// a-z count as A-Z; other characters outside the table are skipped.
std::vector<Segment> cw_segments(std::string_view callsign);

// Samples in one Morse unit: sample_rate x 1.2 / max(wpm, 1), rounded.
uint64_t cw_unit_samples(uint32_t sample_rate, uint32_t wpm);

// Ramp length: samples in 5 ms at sample_rate.
uint32_t ramp_samples(uint32_t sample_rate);

// Shapes the first and last r samples of `burst` with a raised cosine, r being
// min(burst.size() / 2, ramp_len); the first and last sample become 0.
void apply_ramps(std::span<int16_t> burst, uint64_t ramp_len);

// The callsign keyed as Morse code at wpm words per minute on a tone of freq_hz.
// Empty when nothing in the callsign is keyed.
Result<std::vector<int16_t>> cw_samples(std::string_view callsign, uint32_t sample_rate,
                                        uint32_t wpm, float freq_hz);

// duration_ms of a steady tone of freq_hz, ramped at both ends.
Result<std::vector<int16_t>> tone_samples(uint32_t sample_rate, uint32_t duration_ms,
                                          float freq_hz);

// duration_ms of a phase-continuous tone switching between freq_a_hz and
// freq_b_hz every alt_period_ms (at least 1 ms), ramped at both ends.
Result<std::vector<int16_t>> alternating_samples(uint32_t sample_rate, uint32_t duration_ms,
                                                 uint32_t alt_period_ms, float freq_a_hz,
                                                 float freq_b_hz);

// All three generators fail only with "signal too long: {} samples exceeds the
// limit of {}" when the result would last more than 300 seconds. A frequency
// that is NaN or infinite (or whose step per sample overflows) gives silence.

}  // namespace txtest
