#include "dsp.h"

#include <cmath>

#include "num.h"

namespace dsp {

float window(uint8_t selector, std::size_t n, std::size_t i) {
    const float fn = static_cast<float>(n);
    const float fi = static_cast<float>(i);
    const float d = fn - 1.0f;
    switch (selector) {
        case WINDOW_RECTANGULAR:
            return 1.0f;
        case WINDOW_COSINE:
            return std::cos(PI * (fi - d * 0.5f) / fn);
        case WINDOW_HAMMING:
            return 0.53836f - 0.46164f * std::cos((2.0f * fi * PI) / d);
        case WINDOW_BLACKMAN:
            return 0.42659f - 0.49656f * std::cos((2.0f * fi * PI) / d) +
                   0.076849f * std::cos((4.0f * fi * PI) / d);
        default:
            return 1.0f - 1.93f * std::cos((2.0f * fi * PI) / d) +
                   1.29f * std::cos((4.0f * fi * PI) / d) -
                   0.388f * std::cos((6.0f * fi * PI) / d) +
                   0.028f * std::cos((8.0f * fi * PI) / d);
    }
}

void gen_bandpass(std::span<float> taps, uint8_t window_selector, float f_lo, float f_hi) {
    const std::size_t n = taps.size();
    const float c = static_cast<float>(n - 1) * 0.5f;
    for (std::size_t i = 0; i < n; ++i) {
        const float t = static_cast<float>(i) - c;
        float ideal;
        if (std::fabs(t) < 0.000001f) {
            ideal = 2.0f * (f_hi - f_lo);
        } else {
            ideal = std::sin(2.0f * PI * f_hi * t) / (PI * t) -
                    std::sin(2.0f * PI * f_lo * t) / (PI * t);
        }
        taps[i] = ideal * window(window_selector, n, i);
    }
    // Gain at the centre frequency, so that it can be brought to one half.
    float gain = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float angle = (f_lo + f_hi) * (2.0f * PI) * 0.5f * (static_cast<float>(i) - c);
        gain += 2.0f * taps[i] * std::cos(angle);
    }
    if (std::fabs(gain) > 1e-10f) {
        for (float& tap : taps) tap /= gain;
    }
}

void gen_raised_cosine_lowpass(std::span<float> taps, float samples_per_symbol, float beta) {
    const std::size_t n = taps.size();
    const float c = static_cast<float>(n - 1) * 0.5f;
    for (std::size_t k = 0; k < n; ++k) {
        const float t = (static_cast<float>(k) - c) / samples_per_symbol;
        const float s = std::fabs(t) < 0.001f ? 1.0f : std::sin(PI * t) / (PI * t);
        const float bt = std::fabs(beta * t);
        if (bt > 0.499f && bt < 0.501f) {
            // The singular point of the pulse, where its limit is s * pi / 4.
            taps[k] = s * 0.7853982f;
        } else {
            const float two_bt = 2.0f * beta * t;
            taps[k] = s * std::cos(PI * beta * t) / (1.0f - two_bt * two_bt);
        }
    }
    float sum = 0.0f;
    for (float tap : taps) sum += tap;
    if (std::fabs(sum) > 1e-10f) {
        for (float& tap : taps) tap /= sum;
    }
}

std::size_t afsk_tap_count(float length_symbols, uint32_t sample_rate, uint32_t baud) {
    const float exact =
        (length_symbols * static_cast<float>(sample_rate)) / static_cast<float>(baud);
    std::size_t n = num::saturate_cast<uint32_t>(exact);
    n |= 1;
    if (n > MAX_FILTER_SIZE) n = MAX_FILTER_SIZE - 1;
    if (n < 3) n = 3;
    return n;
}

}  // namespace dsp
