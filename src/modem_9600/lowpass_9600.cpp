#include "modem_9600/lowpass_9600.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "num.h"

namespace modem_9600 {

std::size_t lowpass_tap_count(uint32_t sample_rate, uint32_t baud) {
    const float samples_per_bit = static_cast<float>(sample_rate) / static_cast<float>(baud);
    const uint32_t n = num::saturate_cast<uint32_t>(samples_per_bit * 1.2f) | 1u;
    return std::clamp<std::size_t>(n, MIN_LOWPASS_TAPS, MAX_LOWPASS_TAPS);
}

LowpassTaps design_lowpass(uint32_t sample_rate, uint32_t baud) {
    constexpr float pi = std::numbers::pi_v<float>;
    LowpassTaps out;
    const std::size_t n = lowpass_tap_count(sample_rate, baud);
    out.count = n;
    const float fc = 0.4f * static_cast<float>(baud) / static_cast<float>(sample_rate);
    const float centre = static_cast<float>(n - 1) / 2.0f;
    const float length = static_cast<float>(n);
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = static_cast<float>(i) - centre;
        const float h = std::fabs(x) < 1e-6f ? 2.0f * fc : std::sin(2.0f * pi * fc * x) / (pi * x);
        out.taps[i] = h * std::cos(pi * x / length);
        sum += out.taps[i];
    }
    if (std::fabs(sum) > 1e-10f) {
        for (std::size_t i = 0; i < n; ++i) out.taps[i] /= sum;
    }
    return out;
}

int32_t bit_clock_step(uint32_t sample_rate, uint32_t baud) {
    return num::round_saturate<int32_t>(static_cast<double>(baud) * 4294967296.0 /
                                        static_cast<double>(sample_rate));
}

}  // namespace modem_9600
