#include "modem_psk/rrc_filter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "num.h"

namespace modem_psk {

std::size_t rrc_tap_count(float samples_per_symbol) {
    const std::size_t n = num::saturate_cast<uint32_t>(4.0f * samples_per_symbol) | 1u;
    return std::min(n, MAX_RRC_TAPS);
}

std::vector<float> design_rrc(float samples_per_symbol) {
    constexpr float pi = std::numbers::pi_v<float>;
    constexpr float beta = 0.35f;
    // Response at t = 0 (1 - beta + 4 beta / pi) and where 4 beta t = +/-1.
    constexpr float at_zero = 1.0956339f;
    constexpr float at_singular = 0.2606034f;

    const std::size_t n = rrc_tap_count(samples_per_symbol);
    std::vector<float> taps(n);
    const float centre = static_cast<float>(n - 1) / 2.0f;
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float t = (static_cast<float>(i) - centre) / samples_per_symbol;
        const float u = 4.0f * beta * t;
        float h;
        if (std::fabs(t) < 1e-6f) {
            h = at_zero;
        } else if (std::fabs(std::fabs(u) - 1.0f) < 1e-6f) {
            h = at_singular;
        } else {
            const float den = pi * t * (1.0f - u * u);
            h = std::fabs(den) < 1e-10f
                    ? 0.0f
                    : (std::sin(0.65f * pi * t) + u * std::cos(1.35f * pi * t)) / den;
        }
        taps[i] = h;
        sum += h;
    }
    if (std::fabs(sum) > 1e-10f) {
        for (float& tap : taps) tap /= sum;
    }
    return taps;
}

}  // namespace modem_psk
