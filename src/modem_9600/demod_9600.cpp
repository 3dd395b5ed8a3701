#include "modem_9600/demod_9600.h"

#include <bit>
#include <utility>

#include "bit_clock.h"
#include "drain.h"
#include "num.h"

namespace modem_9600 {
namespace {

// Two's-complement wrapping adds (the bit clock and the counters wrap by
// design; signed overflow is never reached).
int32_t wrapping_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int64_t wrapping_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

}  // namespace

Demod9600::Demod9600(uint32_t sample_rate, uint32_t baud, uint64_t channel, uint64_t subchan,
                     uint8_t fix_bits)
    : decoder_(channel, subchan, 0),
      channel_(channel),
      subchan_(subchan),
      sample_rate_(sample_rate),
      baud_(baud == 0 ? 9600 : baud),
      pll_step_(bit_clock_step(sample_rate, baud_)) {
    taps_ = design_lowpass(sample_rate_, baud_);
    decoder_.set_scrambled(true);
    decoder_.set_fix_bits(fix_bits);
}

void Demod9600::process_sample(int16_t sample) {
    const std::size_t n = taps_.count;
    const float v = static_cast<float>(sample) / 16384.0f;
    ring_[ring_pos_] = v;
    ring_[ring_pos_ + n] = v;
    ++write_count_;
    ring_pos_ = ring_pos_ + 1 == n ? 0 : ring_pos_ + 1;

    // The oldest sample meets the first tap.
    const float* window = &ring_[ring_pos_];
    float y = 0.0f;
    for (std::size_t k = 0; k < n; ++k) y += window[k] * taps_.taps[k];

    const int32_t previous = pll_phase_;
    pll_phase_ = wrapping_add(pll_phase_, pll_step_);
    const int d = y > 0.0f ? 1 : 0;
    // Half a bit period past the last transition: sample the bit.
    if (previous >= 1 && pll_phase_ < 0) bit_instant(d);
    if (d != last_bit_) transition();
    last_bit_ = d;
}

void Demod9600::bit_instant(int bit) {
    if (auto frame =
            decoder_.process_bit(static_cast<uint8_t>(bit), correction_sum_, bit_counter_)) {
        frames_.push_back(std::move(*frame));
    }
    good_history_ = static_cast<uint8_t>((good_history_ << 1) | (good_transition_ ? 1 : 0));
    bad_history_ = static_cast<uint8_t>((bad_history_ << 1) | (bad_transition_ ? 1 : 0));
    good_transition_ = false;
    bad_transition_ = false;
    const int margin = std::popcount(good_history_) - std::popcount(bad_history_);
    dcd_history_ = (dcd_history_ << 1) | (margin >= bit_clock::CARRIER_MARGIN ? 1u : 0u);
    bit_counter_ = wrapping_add(bit_counter_, 1);
    const int recent = std::popcount(dcd_history_);
    if (recent >= bit_clock::CARRIER_ON_BITS) {
        dcd_ = true;
    } else if (recent <= bit_clock::CARRIER_OFF_BITS) {
        dcd_ = false;
    }
}

void Demod9600::transition() {
    if (pll_phase_ >= -bit_clock::GOOD_CROSSING_LIMIT &&
        pll_phase_ <= bit_clock::GOOD_CROSSING_LIMIT) {
        good_transition_ = true;
    } else {
        bad_transition_ = true;
    }
    // Pull the phase toward the boundary, harder while there is no carrier.
    const float keep = dcd_ ? bit_clock::INERTIA_CARRIER : bit_clock::INERTIA_NO_CARRIER;
    const int32_t pulled = num::saturate_cast<int32_t>(keep * static_cast<float>(pll_phase_));
    correction_sum_ = wrapping_add(correction_sum_, static_cast<int64_t>(pulled) - pll_phase_);
    pll_phase_ = pulled;
}

std::vector<hdlc::DecodedFrame> Demod9600::take_frames() {
    return drain::take_all(frames_);
}

}  // namespace modem_9600
