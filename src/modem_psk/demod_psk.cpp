#include "modem_psk/demod_psk.h"

#include <array>
#include <cmath>
#include <numbers>
#include <utility>

#include "drain.h"
#include "modem_psk/rrc_filter.h"
#include "num.h"

namespace modem_psk {
namespace {

constexpr float PI = std::numbers::pi_v<float>;
constexpr float TWO_PI = 2.0f * PI;

// Symbol value by phase change.
constexpr std::array<uint8_t, 4> QPSK_TABLE_1 = {0, 2, 3, 1};
constexpr std::array<uint8_t, 4> QPSK_TABLE_2 = {0, 1, 3, 2};
constexpr std::array<uint8_t, 8> EIGHT_PSK_TABLE = {1, 0, 2, 3, 7, 6, 4, 5};

// Gardner loop gains, in symbols per unit of normalised error. Before carrier
// is detected the clock pulls in from half a symbol off within some 20 symbols
// of flags; once it is detected the clock moves four times slower, which
// leaves less jitter on 8-PSK in noise and still pulls in within 80 symbols
// (a transmission that starts while carrier is still detected).
constexpr float TIMING_GAIN_ACQUIRING = 0.1f;
constexpr float TIMING_GAIN_TRACKING = 0.025f;
// Keeps the normalised error defined (0) in silence; far below the energy of
// any signal that carries detectably (filter outputs of 0.1).
constexpr float TIMING_ENERGY_FLOOR = 1e-6f;

// a mod m in 0 .. m-1 for any sign of a.
uint32_t non_negative_mod(int64_t a, uint32_t m) {
    const int64_t r = a % m;
    return static_cast<uint32_t>(r < 0 ? r + m : r);
}

float dot(const float* window, const std::vector<float>& taps) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < taps.size(); ++k) sum += window[k] * taps[k];
    return sum;
}

}  // namespace

int32_t phase_sector(float p, bool eight_psk) {
    return eight_psk ? num::round_saturate<int32_t>(p * 8.0f)
                     : num::saturate_cast<int32_t>(std::floor(p * 4.0f));
}

uint8_t gray_value(uint32_t d, bool eight_psk, int table_variant) {
    if (eight_psk) return EIGHT_PSK_TABLE[d % 8];
    return table_variant == 2 ? QPSK_TABLE_2[d % 4] : QPSK_TABLE_1[d % 4];
}

PskDemodulator::PskDemodulator(uint32_t sample_rate, uint32_t baud, uint32_t centre_hz,
                               int table_variant, uint64_t channel, uint64_t subchan,
                               uint8_t fix_bits)
    : decoder_(channel, subchan, 0),
      channel_(channel),
      subchan_(subchan),
      sample_rate_(sample_rate),
      baud_(baud),
      carrier_step_(static_cast<float>(centre_hz) * TWO_PI / static_cast<float>(sample_rate)),
      carrier_step_nominal_(carrier_step_),
      // A baud of 0 is outside the contract; it is sized as 1.
      samples_per_symbol_(static_cast<float>(sample_rate) /
                          static_cast<float>(baud == 0 ? 1 : baud)),
      timing_gain_acquiring_(TIMING_GAIN_ACQUIRING * samples_per_symbol_),
      timing_gain_tracking_(TIMING_GAIN_TRACKING * samples_per_symbol_),
      eight_psk_(baud >= EIGHT_PSK_MIN_BAUD),
      table_variant_(table_variant) {
    decoder_.set_fix_bits(fix_bits);
    taps_ = design_rrc(samples_per_symbol_);
    ring_i_.assign(2 * taps_.size(), 0.0f);
    ring_q_.assign(2 * taps_.size(), 0.0f);
}

void PskDemodulator::process_sample(int16_t sample) {
    const float s = std::sin(carrier_phase_);
    const float c = std::cos(carrier_phase_);
    carrier_phase_ += carrier_step_;
    if (carrier_phase_ > TWO_PI) carrier_phase_ -= TWO_PI;

    const std::size_t n = taps_.size();
    const float v = static_cast<float>(sample) / 16384.0f;
    ring_i_[ring_pos_] = ring_i_[ring_pos_ + n] = v * c;
    ring_q_[ring_pos_] = ring_q_[ring_pos_ + n] = -v * s;
    ++write_count_;
    ring_pos_ = ring_pos_ + 1 == n ? 0 : ring_pos_ + 1;

    // The oldest sample meets the first tap.
    const float x = dot(&ring_i_[ring_pos_], taps_);
    const float y = dot(&ring_q_[ring_pos_], taps_);

    // The mid-symbol sample is the first at or after half a symbol, rounded
    // the same way as the symbol instant (the first sample at or after a whole
    // symbol), so that in lock the two lie half a symbol apart and the timing
    // error carries no bias of half a sample.
    symbol_clock_ += 1.0f;
    const float half_symbol = samples_per_symbol_ / 2.0f;
    if (symbol_clock_ >= half_symbol && symbol_clock_ - 1.0f < half_symbol) {
        mid_x_ = x;
        mid_y_ = y;
    }
    if (symbol_clock_ >= samples_per_symbol_) symbol_instant(x, y);
}

void PskDemodulator::symbol_instant(float x, float y) {
    // Gardner timing: the mid-symbol sample leans toward the current symbol
    // when the instants come late, so a positive product brings the next
    // instant forward (and a negative one holds it back). Divided by the energy
    // of the three samples it uses, the error lies within -1 .. 1 whatever the
    // signal level, so the clock pulls in from any offset within a preamble;
    // with carrier detected a lower gain leaves less jitter.
    const float product = mid_x_ * (x - prev_x_) + mid_y_ * (y - prev_y_);
    const float energy = mid_x_ * mid_x_ + mid_y_ * mid_y_ +
                         0.5f * (x * x + y * y + prev_x_ * prev_x_ + prev_y_ * prev_y_) +
                         TIMING_ENERGY_FLOOR;
    const float timing_gain = dcd_ ? timing_gain_tracking_ : timing_gain_acquiring_;
    symbol_clock_ = symbol_clock_ - samples_per_symbol_ + timing_gain * (product / energy);

    // Carrier loop: a proportional correction of the oscillator step.
    const float angle = std::atan2(y, x);
    float error;
    if (eight_psk_) {
        const int32_t k = num::round_saturate<int32_t>(angle / TWO_PI * 8.0f);
        error = angle - static_cast<float>(non_negative_mod(k, 8)) * (PI / 4.0f);
        if (error > PI) {
            error -= TWO_PI;
        } else if (error < -PI) {
            error += TWO_PI;
        }
    } else {
        error = (x >= 0.0f ? y : -y) - (y >= 0.0f ? x : -x);
    }
    carrier_step_ = carrier_step_nominal_ + 0.002f * error;

    // Differential decision.
    const uint32_t m = eight_psk_ ? 8 : 4;
    const int32_t k = phase_sector(angle / TWO_PI, eight_psk_);
    const uint32_t d = non_negative_mod(static_cast<int64_t>(k) - prev_symbol_, m);
    prev_symbol_ = non_negative_mod(k, m);
    const uint8_t value = gray_value(d, eight_psk_, table_variant_);
    last_value_ = value;

    // Carrier detect over blocks of 32 symbols.
    ++symbol_count_;
    if (std::sqrt(x * x + y * y) > 0.1f) ++strong_count_;
    if (symbol_count_ > 31) {
        dcd_ = strong_count_ > 16;
        symbol_count_ = 0;
        strong_count_ = 0;
    }

    const int bits = eight_psk_ ? 3 : 2;
    for (int b = 0; b < bits; ++b) {
        const uint8_t bit = (value >> b) & 1;
        if (auto frame = decoder_.process_bit(bit, correction_sum_, bit_counter_)) {
            frames_.push_back(std::move(*frame));
        }
    }

    prev_x_ = x;
    prev_y_ = y;
}

std::vector<hdlc::DecodedFrame> PskDemodulator::take_frames() {
    return drain::take_all(frames_);
}

}  // namespace modem_psk
