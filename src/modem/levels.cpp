#include "modem/levels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>

#include "num.h"

namespace modem {

namespace {

constexpr float kFullScale = 32768.0f;
constexpr float kLargestSample = 32767.0f;

float dbfs(float linear) {
    if (!(linear > 0.0f)) return kLevelFloorDbfs;
    return std::max(20.0f * std::log10(linear), kLevelFloorDbfs);
}

int16_t stored_sample(float v) {
    return num::saturate_cast<int16_t>(std::clamp(v, -kLargestSample, kLargestSample));
}

}  // namespace

bool apply_rx_gain(std::span<int16_t> block, float gain_db) {
    if (std::fabs(gain_db) <= kUnityGainEpsilon) return false;
    const float factor = std::pow(10.0f, gain_db / 20.0f);
    const bool soft_limit = gain_db > 0.0f;
    bool clipping = false;
    for (int16_t& s : block) {
        float v = factor * static_cast<float>(s);
        if (soft_limit) v = std::tanh(v / kFullScale) * kFullScale;
        clipping = clipping || std::fabs(v) > kClippingMagnitude;
        s = stored_sample(v);
    }
    return clipping;
}

bool apply_tx_gain(std::span<int16_t> samples, float gain_db) {
    if (std::fabs(gain_db) <= kUnityGainEpsilon) return false;
    const float factor = std::pow(10.0f, gain_db / 20.0f);
    bool clipping = false;
    for (int16_t& s : samples) {
        const float v = factor * static_cast<float>(s);
        clipping = clipping || std::fabs(v) > kClippingMagnitude;
        s = stored_sample(v);
    }
    return clipping;
}

BlockLevel measure_block_level(std::span<const int16_t> block) {
    BlockLevel level;
    if (block.empty()) return level;
    int peak = 0;
    double sum_squares = 0.0;
    for (int16_t s : block) {
        const int v = s;
        peak = std::max(peak, std::abs(v));
        sum_squares += static_cast<double>(v) * v;
    }
    level.linear_peak = static_cast<float>(peak) * (1.0f / kFullScale);
    level.peak_dbfs = dbfs(level.linear_peak);
    const double rms = std::sqrt(sum_squares / static_cast<double>(block.size())) * (1.0 / 32768.0);
    level.rms_dbfs = dbfs(static_cast<float>(rms));
    return level;
}

GainCell::GainCell(float gain_db) : bits_(std::bit_cast<uint32_t>(gain_db)) {}

float GainCell::load() const {
    return std::bit_cast<float>(bits_.load(std::memory_order_relaxed));
}

void GainCell::store(float gain_db) {
    bits_.store(std::bit_cast<uint32_t>(gain_db), std::memory_order_relaxed);
}

}  // namespace modem
