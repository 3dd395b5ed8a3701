#pragma once

// Gain and block levels: the gain stage every received block passes through,
// the linear one of transmit audio, the level measurement of a block (linear
// peak, peak and RMS in dBFS), and the live gain cell a device's pipeline
// reads for every block.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

namespace modem {

// The floor of every level in dBFS.
inline constexpr float kLevelFloorDbfs = -60.0f;

// Gains at or below this magnitude (the 32-bit float epsilon) leave a block as it is.
inline constexpr float kUnityGainEpsilon = 1.1920929e-7f;

// Sample magnitude above which a block counts as clipping.
inline constexpr float kClippingMagnitude = 32000.0f;

// Applies `gain_db` to `block` in place and returns whether any sample's
// magnitude exceeded 32000 after the gain. A positive gain goes through a soft
// limiter (tanh); a negative one is linear. Results are limited to
// -32767..+32767 and truncated toward zero. A gain within the epsilon of 0
// changes nothing and reports no clipping.
bool apply_rx_gain(std::span<int16_t> block, float gain_db);

// Applies `gain_db` to transmit audio in place and returns whether any
// sample's magnitude exceeded 32000 after the gain. Linear at every gain (no
// soft limiter); results are limited to -32767..+32767 and truncated toward
// zero. A gain within the epsilon of 0 changes nothing and reports no clipping.
bool apply_tx_gain(std::span<int16_t> samples, float gain_db);

// The level of one block.
struct BlockLevel {
    float linear_peak = 0.0f;           // largest |s| / 32768, 0 to 1
    float peak_dbfs = kLevelFloorDbfs;  // of the linear peak, floor -60
    float rms_dbfs = kLevelFloorDbfs;   // of the RMS, floor -60
};

// Measures `block`: an empty or silent block gives peak 0 and -60 for both
// levels.
BlockLevel measure_block_level(std::span<const int16_t> block);

// A device's live gain in dB, as the bits of a 32-bit float in an atomic cell.
// The modem's table and the device's pipeline share one cell, so a change
// reaches the next block.
class GainCell {
public:
    explicit GainCell(float gain_db = 0.0f);

    float load() const;
    void store(float gain_db);

private:
    std::atomic<uint32_t> bits_;
};

using SharedGainCell = std::shared_ptr<GainCell>;

}  // namespace modem
