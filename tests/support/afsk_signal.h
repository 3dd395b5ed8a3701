#pragma once

// A test-side AFSK generator, independent of the project's transmit code:
// phase-continuous tones in double precision, one line level per bit period,
// bit boundaries at exact multiples of sample_rate / baud. Also frame streams
// (flags, frames, flags) with the bit at which each frame's closing flag ends,
// and white Gaussian noise of a given Eb/N0.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "support/hdlc_bits.h"

namespace test_support {

struct AfskTones {
    uint32_t sample_rate = 44100;
    uint32_t baud = 1200;
    double mark = 1200;
    double space = 2200;
    double amplitude = 8000;
};

// Samples of the given line levels (1 = mark, 0 = space), as doubles.
inline std::vector<double> afsk_waveform(std::span<const uint8_t> levels, const AfskTones& tones,
                                         double start_phase = 0) {
    std::vector<double> out;
    if (levels.empty() || tones.baud == 0) return out;
    const uint64_t total = (static_cast<uint64_t>(levels.size()) * tones.sample_rate) / tones.baud;
    out.reserve(total);
    double phase = start_phase;
    for (uint64_t n = 0; n < total; ++n) {
        const uint64_t bit = (n * tones.baud) / tones.sample_rate;
        const double f = levels[bit] ? tones.mark : tones.space;
        out.push_back(tones.amplitude * std::sin(phase));
        phase += 2 * M_PI * f / tones.sample_rate;
        if (phase > 2 * M_PI) phase -= 2 * M_PI;
    }
    return out;
}

// Adds white Gaussian noise such that Eb/N0 (energy per bit of a tone of the
// given amplitude over the one-sided noise density) is ebn0_db.
inline void add_noise(std::vector<double>& samples, const AfskTones& tones, double ebn0_db,
                      uint32_t seed) {
    const double samples_per_bit = static_cast<double>(tones.sample_rate) / tones.baud;
    const double ebn0 = std::pow(10.0, ebn0_db / 10.0);
    // Eb = A^2 / 2 * sps / fs and N0 = 2 sigma^2 / fs.
    const double sigma =
        std::sqrt(tones.amplitude * tones.amplitude * samples_per_bit / (4 * ebn0));
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (std::size_t i = 0; i < samples.size(); i += 2) {
        // Box-Muller: two normal values per pair of uniforms.
        const double u1 = 1.0 - uniform(rng);
        const double u2 = uniform(rng);
        const double r = sigma * std::sqrt(-2.0 * std::log(u1));
        samples[i] += r * std::cos(2 * M_PI * u2);
        if (i + 1 < samples.size()) samples[i + 1] += r * std::sin(2 * M_PI * u2);
    }
}

inline std::vector<int16_t> to_pcm16(std::span<const double> samples) {
    std::vector<int16_t> out;
    out.reserve(samples.size());
    for (double s : samples) {
        const double r = std::round(s);
        out.push_back(static_cast<int16_t>(r > 32767 ? 32767 : (r < -32768 ? -32768 : r)));
    }
    return out;
}

// A stream of frames: preamble flags, each frame with its closing flag and gap
// flags, a tail; as line levels (after NRZI) with, per frame, the index of the
// last bit of its closing flag.
struct FrameStream {
    std::vector<uint8_t> levels;
    std::vector<std::size_t> ends;
};

inline FrameStream frame_stream(const std::vector<std::vector<uint8_t>>& frames,
                                int preamble_flags = 32, int gap_flags = 8, int tail_flags = 8) {
    FrameStream s;
    test_hdlc::HdlcBits bits;
    bits.flags(preamble_flags);
    for (const auto& frame : frames) {
        bits.frame(test_hdlc::with_fcs(frame));
        s.ends.push_back(bits.size() - 1);
        bits.flags(gap_flags > 0 ? gap_flags - 1 : 0);
    }
    bits.flags(tail_flags);
    test_hdlc::LineEncoder line(false);
    s.levels = line.encode(bits.bits());
    return s;
}

// Frame contents with a recognisable pattern: frame i of length n.
inline std::vector<uint8_t> test_frame(std::size_t i, std::size_t n) {
    std::vector<uint8_t> data(n);
    uint32_t x = 0x9E3779B9u * static_cast<uint32_t>(i + 1);
    for (std::size_t k = 0; k < n; ++k) {
        x = x * 1664525u + 1013904223u;
        data[k] = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

}  // namespace test_support
