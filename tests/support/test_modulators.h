#pragma once

// Test-side modulators, written independently of the library, that turn line
// bits into 16-bit audio: a Gaussian-filtered NRZ baseband signal (a radio's
// receive low-pass) and differentially encoded, root-raised-cosine shaped
// QPSK / 8-PSK on a carrier. Both evaluate the continuous-time waveform at
// each sample instant, so clock offsets are exact.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "support/hdlc_bits.h"

namespace test_modulators {

using Bits = std::vector<uint8_t>;
using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

// An AX.25-looking frame: two addresses, control, PID and payload_len octets
// of varying payload.
inline Bytes sample_frame(std::size_t payload_len, uint32_t seed) {
    Bytes payload;
    uint32_t x = seed * 2654435761u + 12345u;
    while (payload.size() < payload_len) {
        x = x * 1664525u + 1013904223u;
        payload.push_back(static_cast<uint8_t>(x >> 24));
    }
    return test_hdlc::ax25_frame("APQM", "N0CALL", payload);
}

// Line levels of lead_flags flags, then each frame with its FCS followed by
// gap_flags flags (the last by tail_flags): NRZI, and G3RUH scrambling when
// asked.
inline Bits frame_line_bits(const std::vector<Bytes>& frames, bool scrambled, int lead_flags = 48,
                            int gap_flags = 3, int tail_flags = 16) {
    test_hdlc::HdlcBits bits;
    bits.flags(lead_flags);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        bits.stuffed(test_hdlc::with_fcs(frames[i]));
        bits.flags(i + 1 == frames.size() ? tail_flags : gap_flags);
    }
    return test_hdlc::LineEncoder(scrambled).encode(bits.bits());
}

inline int16_t to_sample(double v) {
    return static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
}

struct BasebandOptions {
    double sample_rate = 48000;
    double baud = 9600;
    double clock_ppm = 0;  // transmitter bit clock offset
    double bt = 0.5;       // bandwidth-time product of the Gaussian low-pass
    double amplitude = 12000;
    double noise_rms = 0;
    double dc_offset = 0;
    // Where the bit edges fall between samples, in bit periods (edges exactly on
    // samples only arise with a transmitter clock locked to the receiver's).
    double bit_phase = 0.3;
    unsigned seed = 1;
};

// NRZ levels +/-1 (1 for a one) through a Gaussian low-pass. The line holds
// the first level before the bits and the last level after them.
inline Samples baseband_nrz(const Bits& bits, const BasebandOptions& o) {
    const double t_bit = 1.0 / (o.baud * (1.0 + o.clock_ppm * 1e-6));
    const double sigma = t_bit * std::sqrt(std::log(2.0)) / (2.0 * std::numbers::pi * o.bt);
    const auto level = [&](long n) {
        const long i = std::clamp(n, 0L, static_cast<long>(bits.size()) - 1);
        return bits[static_cast<std::size_t>(i)] ? 1.0 : -1.0;
    };
    const auto cdf = [](double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); };
    const double duration = static_cast<double>(bits.size()) * t_bit;
    const auto count = static_cast<std::size_t>(duration * o.sample_rate);
    std::mt19937 rng(o.seed);
    std::normal_distribution<double> noise(0.0, o.noise_rms > 0 ? o.noise_rms : 1.0);
    Samples out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / o.sample_rate - o.bit_phase * t_bit;
        const long centre = static_cast<long>(std::floor(t / t_bit));
        double v = 0;
        for (long n = centre - 4; n <= centre + 4; ++n) {
            const double start = static_cast<double>(n) * t_bit;
            v += level(n) * (cdf((t - start) / sigma) - cdf((t - start - t_bit) / sigma));
        }
        double s = o.amplitude * v + o.dc_offset;
        if (o.noise_rms > 0) s += noise(rng);
        out[i] = to_sample(s);
    }
    return out;
}

// Root-raised-cosine pulse, roll-off beta, at tau symbols from its centre.
inline double rrc_pulse(double tau, double beta) {
    const double pi = std::numbers::pi;
    if (std::fabs(tau) < 1e-9) return 1.0 - beta + 4.0 * beta / pi;
    const double u = 4.0 * beta * tau;
    if (std::fabs(std::fabs(u) - 1.0) < 1e-9) {
        return beta / std::sqrt(2.0) *
               ((1 + 2 / pi) * std::sin(pi / (4 * beta)) +
                (1 - 2 / pi) * std::cos(pi / (4 * beta)));
    }
    return (std::sin(pi * tau * (1 - beta)) + u * std::cos(pi * tau * (1 + beta))) /
           (pi * tau * (1 - u * u));
}

struct PskOptions {
    double sample_rate = 48000;
    double baud = 1200;
    double carrier_hz = 1700;
    double clock_ppm = 0;  // transmitter symbol clock offset
    bool eight_psk = false;
    int table_variant = 1;     // QPSK Gray table 1 or 2
    double amplitude = 12000;  // peaks near 20000
    double phase0 = 0.3;       // carrier phase at t = 0, radians
    double noise_rms = 0;
    int idle_symbols = 8;  // unmodulated carrier before the bits
    unsigned seed = 1;
};

// Symbol value (line bits, least significant first) for each phase change in
// steps of 2 pi / M.
inline const std::array<uint8_t, 8>& gray_by_change(bool eight_psk, int variant) {
    static const std::array<uint8_t, 8> qpsk1 = {0, 2, 3, 1};
    static const std::array<uint8_t, 8> qpsk2 = {0, 1, 3, 2};
    static const std::array<uint8_t, 8> psk8 = {1, 0, 2, 3, 7, 6, 4, 5};
    return eight_psk ? psk8 : (variant == 2 ? qpsk2 : qpsk1);
}

// The absolute phase index (0 .. M-1) of each symbol carrying the line bits,
// differentially encoded; idle symbols first (no phase change).
inline std::vector<int> psk_phase_indices(const Bits& bits, const PskOptions& o) {
    const int m = o.eight_psk ? 8 : 4;
    const int per_symbol = o.eight_psk ? 3 : 2;
    const auto& table = gray_by_change(o.eight_psk, o.table_variant);
    std::vector<int> phases(static_cast<std::size_t>(o.idle_symbols), 0);
    int index = 0;
    for (std::size_t i = 0; i < bits.size(); i += per_symbol) {
        int value = 0;
        for (int b = 0; b < per_symbol; ++b) {
            const std::size_t k = std::min(i + b, bits.size() - 1);
            value |= bits[k] << b;
        }
        int change = 0;
        while (table[static_cast<std::size_t>(change)] != value) ++change;
        index = (index + change) % m;
        phases.push_back(index);
    }
    return phases;
}

inline Samples psk_signal(const Bits& bits, const PskOptions& o) {
    const double pi = std::numbers::pi;
    const int m = o.eight_psk ? 8 : 4;
    const std::vector<int> phases = psk_phase_indices(bits, o);
    const double t_sym = 1.0 / (o.baud * (1.0 + o.clock_ppm * 1e-6));
    constexpr long span = 8;  // symbols either side of each pulse
    const auto total = static_cast<long>(phases.size()) + span;
    const auto count = static_cast<std::size_t>(static_cast<double>(total) * t_sym * o.sample_rate);
    std::mt19937 rng(o.seed);
    std::normal_distribution<double> noise(0.0, o.noise_rms > 0 ? o.noise_rms : 1.0);
    Samples out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / o.sample_rate;
        const double pos = t / t_sym;
        const long centre = static_cast<long>(std::floor(pos));
        double re = 0, im = 0;
        for (long n = centre - span; n <= centre + span; ++n) {
            if (n < 0 || n >= static_cast<long>(phases.size())) continue;
            const double g = rrc_pulse(pos - static_cast<double>(n), 0.35);
            const double phi = 2.0 * pi * phases[static_cast<std::size_t>(n)] / m;
            re += g * std::cos(phi);
            im += g * std::sin(phi);
        }
        const double w = 2.0 * pi * o.carrier_hz * t + o.phase0;
        double s = o.amplitude * (re * std::cos(w) - im * std::sin(w));
        if (o.noise_rms > 0) s += noise(rng);
        out[i] = to_sample(s);
    }
    return out;
}

}  // namespace test_modulators
