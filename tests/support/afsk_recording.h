#pragma once

// Recordings of 1200-baud AFSK frames made with the project's own transmit code
// (tx::build_samples), scaled, separated by quiet gaps and covered with Gaussian
// noise from a fixed seed, for tests, the benchmark and the sample recording.

#include <cmath>
#include <cstdint>
#include <numbers>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "num.h"
#include "tx/tx.h"

namespace test_support {

struct RecordingPlan {
    uint32_t sample_rate = 44100;
    size_t frames = 5;
    double gap_seconds = 0.25;  // quiet before the first frame and after each
    double amplitude = 0.5;     // scale applied to the transmit audio (peak 16384)
    double noise_rms = 300.0;   // Gaussian noise, in sample units
    uint32_t seed = 1;
    uint32_t txdelay_ms = 300;  // the modem's own default lead-in
    uint32_t txtail_ms = 20;
};

// The payload of frame `index`: an address field from QUILLM to TEST-1, a UI
// control octet and a short text, enough for the frame length rules.
inline std::vector<uint8_t> recording_frame(size_t index) {
    std::vector<uint8_t> out;
    auto address = [&](std::string_view call, uint8_t ssid, bool last) {
        for (size_t k = 0; k < 6; ++k) {
            char c = k < call.size() ? call[k] : ' ';
            out.push_back(static_cast<uint8_t>(c << 1));
        }
        out.push_back(static_cast<uint8_t>(0x60 | (ssid << 1) | (last ? 1 : 0)));
    };
    address("TEST", 1, false);
    address("QUILLM", 0, true);
    out.push_back(0x03);
    out.push_back(0xF0);
    std::string text = "quillmar-modem sample frame " + std::to_string(index);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

// Small deterministic generator (xorshift64*) so a seed gives the same noise
// everywhere.
class NoiseSource {
public:
    explicit NoiseSource(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}

    double uniform() {  // in (0, 1)
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        uint64_t x = state_ * 0x2545F4914F6CDD1Dull;
        return (static_cast<double>(x >> 11) + 0.5) / 9007199254740992.0;
    }

    double gaussian() {  // Box-Muller, one value per call
        double u = uniform();
        double v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
    }

private:
    uint64_t state_;
};

// The whole recording described by `plan`.
inline std::vector<int16_t> afsk_recording(const RecordingPlan& plan) {
    const size_t gap = static_cast<size_t>(plan.gap_seconds * plan.sample_rate);
    std::vector<double> audio(gap, 0.0);
    for (size_t i = 0; i < plan.frames; ++i) {
        auto frame = recording_frame(i);
        auto samples = tx::build_samples(frame, plan.txdelay_ms, plan.txtail_ms, plan.sample_rate,
                                         1200, 1200, 2200);
        if (!samples.ok()) throw std::runtime_error(samples.error_text());
        for (int16_t s : *samples) audio.push_back(s * plan.amplitude);
        audio.insert(audio.end(), gap, 0.0);
    }
    NoiseSource noise(plan.seed);
    std::vector<int16_t> out;
    out.reserve(audio.size());
    for (double a : audio) {
        out.push_back(num::round_saturate<int16_t>(a + plan.noise_rms * noise.gaussian()));
    }
    return out;
}

}  // namespace test_support
