#include "modem_9600/demod_9600.h"

#include <span>
#include <utility>

#include "drain.h"

namespace modem_9600 {

Demod9600::Demod9600(const Settings9600& settings, const demod::Identity& identity)
    : decoder_(identity.channel, identity.subchan, 0),
      identity_(identity),
      sample_rate_(settings.sample_rate),
      baud_(settings.baud == 0 ? 9600 : settings.baud),
      pll_step_(bit_clock_step(sample_rate_, baud_)) {
    taps_ = design_lowpass(sample_rate_, baud_);
    line_ = decltype(line_)(taps_.count);
    decoder_.set_scrambled(true);
    decoder_.set_fix_bits(settings.fix_bits);
}

void Demod9600::process_sample(int16_t sample) {
    line_.push(static_cast<float>(sample) / 16384.0f);
    const float y = line_.convolve(std::span<const float>(taps_.taps.data(), taps_.count));
    const bool d = y > 0.0f;
    // Half a bit period past the last transition: sample the bit.
    if (clock_.advance_clock(pll_step_)) bit_instant(d ? 1 : 0);
    clock_.take_decision(d);
}

void Demod9600::bit_instant(int bit) {
    if (auto frame = decoder_.process_bit(static_cast<uint8_t>(bit), clock_.correction_sum,
                                          clock_.bit_count)) {
        frames_.push_back(std::move(*frame));
    }
    clock_.finish_bit();
}

std::vector<hdlc::DecodedFrame> Demod9600::take_frames() {
    return drain::take_all(frames_);
}

}  // namespace modem_9600
