#include "txtest.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "num.h"
#include "signal_limit.h"

namespace txtest {

namespace {

constexpr float kPi = std::numbers::pi_v<float>;
constexpr float kTwoPi = 2.0f * std::numbers::pi_v<float>;

struct MorseEntry {
    char c;
    std::string_view pattern;
};

// International Morse code of the characters the generator keys.
constexpr std::array<MorseEntry, 41> kMorse{{
    {',', "--..--"}, {'-', "-....-"}, {'.', ".-.-.-"}, {'/', "-..-."}, {'0', "-----"},
    {'1', ".----"},  {'2', "..---"},  {'3', "...--"},  {'4', "....-"}, {'5', "....."},
    {'6', "-...."},  {'7', "--..."},  {'8', "---.."},  {'9', "----."}, {'?', "..--.."},
    {'A', ".-"},     {'B', "-..."},   {'C', "-.-."},   {'D', "-.."},   {'E', "."},
    {'F', "..-."},   {'G', "--."},    {'H', "...."},   {'I', ".."},    {'J', ".---"},
    {'K', "-.-"},    {'L', ".-.."},   {'M', "--"},     {'N', "-."},    {'O', "---"},
    {'P', ".--."},   {'Q', "--.-"},   {'R', ".-."},    {'S', "..."},   {'T', "-"},
    {'U', "..-"},    {'V', "...-"},   {'W', ".--"},    {'X', "-..-"},  {'Y', "-.--"},
    {'Z', "--.."},
}};

// Phase step per sample of a tone, in radians. A step that is not finite (a NaN
// or infinite frequency, or one too high for float) gives silence.
float tone_step(float freq_hz, uint32_t sample_rate) {
    return freq_hz * kTwoPi / static_cast<float>(sample_rate);
}

int16_t tone_sample(float sine) {
    return num::saturate_cast<int16_t>(kAmplitude * sine);
}

// Appends n samples of a tone starting at phase 0 (silence when the step is not
// finite).
void append_tone(std::vector<int16_t>& out, uint64_t n, float step) {
    if (!std::isfinite(step)) {
        out.insert(out.end(), n, 0);
        return;
    }
    for (uint64_t j = 0; j < n; ++j)
        out.push_back(tone_sample(std::sin(step * static_cast<float>(j))));
}

// Length of a timed signal: sample_rate x duration_ms / 1000.
uint64_t timed_samples(uint32_t sample_rate, uint32_t duration_ms) {
    return static_cast<uint64_t>(sample_rate) * duration_ms / 1000;
}

}  // namespace

std::string_view morse_pattern(char c) {
    for (const MorseEntry& entry : kMorse) {
        if (entry.c == c) return entry.pattern;
    }
    return {};
}

std::vector<Segment> cw_segments(std::string_view callsign) {
    std::vector<Segment> segments;
    bool keyed = false;  // a character was keyed since the last word gap
    // Bytes of multi-byte UTF-8 characters are all above 0x7F, so walking bytes
    // skips those characters just as walking characters would.
    for (char c : callsign) {
        if (c == ' ') {
            if (keyed) segments.push_back({7, false});
            keyed = false;
            continue;
        }
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        const std::string_view pattern = morse_pattern(c);
        if (pattern.empty()) continue;
        if (keyed) segments.push_back({3, false});
        for (size_t i = 0; i < pattern.size(); ++i) {
            if (i > 0) segments.push_back({1, false});
            segments.push_back({pattern[i] == '-' ? 3u : 1u, true});
        }
        keyed = true;
    }
    return segments;
}

uint64_t cw_unit_samples(uint32_t sample_rate, uint32_t wpm) {
    return num::round_saturate<uint64_t>(static_cast<double>(sample_rate) * 1.2 /
                                         static_cast<double>(std::max(wpm, 1u)));
}

uint32_t ramp_samples(uint32_t sample_rate) {
    return num::saturate_cast<uint32_t>(static_cast<float>(sample_rate) * 5.0f / 1000.0f);
}

void apply_ramps(std::span<int16_t> burst, uint64_t ramp_len) {
    const uint64_t n = burst.size();
    const uint64_t r = std::min<uint64_t>(n / 2, ramp_len);
    for (uint64_t k = 0; k < r; ++k) {
        const float w =
            (1.0f - std::cos(static_cast<float>(k) * kPi / static_cast<float>(r))) / 2.0f;
        int16_t& head = burst[k];
        int16_t& tail = burst[n - 1 - k];
        head = num::saturate_cast<int16_t>(w * static_cast<float>(head));
        tail = num::saturate_cast<int16_t>(w * static_cast<float>(tail));
    }
}

Result<std::vector<int16_t>> cw_samples(std::string_view callsign, uint32_t sample_rate,
                                        uint32_t wpm, float freq_hz) {
    const std::vector<Segment> segments = cw_segments(callsign);
    const uint64_t unit = cw_unit_samples(sample_rate, wpm);
    uint64_t total_units = 0;
    for (const Segment& s : segments) total_units += s.units;
    const uint64_t total = signal_limit::saturating_mul(total_units, unit);
    if (Status fits = signal_limit::check(total, sample_rate); !fits) return fits.error();

    const float step = tone_step(freq_hz, sample_rate);
    const uint32_t ramp = ramp_samples(sample_rate);
    std::vector<int16_t> out;
    out.reserve(total);
    for (const Segment& s : segments) {
        const uint64_t n = unit * s.units;
        if (!s.on) {
            out.insert(out.end(), n, 0);
            continue;
        }
        const size_t start = out.size();
        append_tone(out, n, step);
        apply_ramps(std::span<int16_t>(out).subspan(start), ramp);
    }
    return out;
}

Result<std::vector<int16_t>> tone_samples(uint32_t sample_rate, uint32_t duration_ms,
                                          float freq_hz) {
    const uint64_t n = timed_samples(sample_rate, duration_ms);
    if (Status fits = signal_limit::check(n, sample_rate); !fits) return fits.error();
    std::vector<int16_t> out;
    out.reserve(n);
    append_tone(out, n, tone_step(freq_hz, sample_rate));
    apply_ramps(out, ramp_samples(sample_rate));
    return out;
}

Result<std::vector<int16_t>> alternating_samples(uint32_t sample_rate, uint32_t duration_ms,
                                                 uint32_t alt_period_ms, float freq_a_hz,
                                                 float freq_b_hz) {
    const uint64_t n = timed_samples(sample_rate, duration_ms);
    if (Status fits = signal_limit::check(n, sample_rate); !fits) return fits.error();
    const uint64_t period =
        std::max<uint64_t>(timed_samples(sample_rate, std::max(alt_period_ms, 1u)), 1);
    const float step_a = tone_step(freq_a_hz, sample_rate);
    const float step_b = tone_step(freq_b_hz, sample_rate);

    std::vector<int16_t> out(n, 0);
    float phase = 0.0f;
    for (uint64_t i = 0; i < n; ++i) {
        const float step = (i / period) % 2 == 0 ? step_a : step_b;
        // A tone without a finite step is silent and leaves the phase where it
        // was, so the other tone still sounds.
        if (!std::isfinite(step)) continue;
        phase = std::fmod(phase + step, kTwoPi);
        out[i] = tone_sample(std::sin(phase));
    }
    apply_ramps(out, ramp_samples(sample_rate));
    return out;
}

}  // namespace txtest
