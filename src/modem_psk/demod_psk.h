#pragma once

// PskDemodulator: receive demodulator for differentially encoded QPSK (below
// 4800 baud) or 8-PSK (4800 baud and above) on an audio carrier. Per sample: a
// carrier oscillator mixes to baseband, a root-raised-cosine filter shapes the
// result; per symbol: Gardner timing, a decision-directed carrier loop, the
// phase change since the last symbol mapped through a Gray table to two or
// three bits, fed least significant first into one plain HDLC decoder. It keeps
// a carrier-detect flag and the frames it decoded until its owner takes them
// (take_frames, take_bad_fcs). No allocation per sample except for a delivered
// frame.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "demod.h"
#include "hdlc.h"

namespace modem_psk {

// Symbol rate from which 8-PSK is used instead of QPSK.
inline constexpr uint32_t EIGHT_PSK_MIN_BAUD = 4800;

// Phase sector of a symbol at p = angle / (2 pi) (in -0.5 .. 0.5): QPSK
// floor(4 p), whose sectors are centred on the carrier loop's lock points 45
// degrees off the axes; 8-PSK 8 p rounded to nearest, halves away from zero.
int32_t phase_sector(float p, bool eight_psk);

// Symbol value of a phase change d (steps of 90 or 45 degrees, 0 .. M-1)
// through the Gray table: 8-PSK, or QPSK table_variant 1 or 2 (any value other
// than 2 selects table 1).
uint8_t gray_value(uint32_t d, bool eight_psk, int table_variant);

class PskDemodulator {
public:
    // baud must be non-zero (the channel settings replace 0); centre_hz is the
    // carrier; table_variant 2 selects the second QPSK table, 1 the first. The
    // decoder gets (channel, subchan, slice 0) in plain mode and has repair
    // level fix_bits. Whatever the settings, the filter has at most
    // MAX_RRC_TAPS taps.
    PskDemodulator(uint32_t sample_rate, uint32_t baud, uint32_t centre_hz, int table_variant,
                   uint64_t channel, uint64_t subchan, uint8_t fix_bits = 0);

    // Feeds one input sample; may append to the frames list.
    void process_sample(int16_t sample);

    // Frames decoded and not yet taken, oldest first.
    const std::vector<hdlc::DecodedFrame>& frames() const { return frames_; }
    // Moves them out, leaving the list empty with its capacity.
    std::vector<hdlc::DecodedFrame> take_frames();
    // The decoder's bad-FCS count, which is reset.
    uint64_t take_bad_fcs() { return decoder_.take_bad_fcs(); }
    // The one decoder.
    const hdlc::HdlcDecoder& decoder() const { return decoder_; }
    bool dcd() const { return dcd_; }
    // The same as process_sample on each sample in turn.
    void process_samples(std::span<const int16_t> samples) {
        for (int16_t sample : samples) process_sample(sample);
    }
    // At most one record: the carrier detect now, when it differs from the
    // state at the last take (see demod.h).
    std::vector<demod::DcdChange> take_dcd_changes() {
        return whole_dcd_.take({channel_, subchan_}, dcd_);
    }

    uint32_t sample_rate() const { return sample_rate_; }
    uint32_t baud() const { return baud_; }
    bool eight_psk() const { return eight_psk_; }
    int table_variant() const { return table_variant_; }
    // Oscillator step at the centre frequency, radians per sample.
    float carrier_step_nominal() const { return carrier_step_nominal_; }
    std::size_t tap_count() const { return taps_.size(); }
    // The value decoded at the last symbol instant (0 before the first).
    uint8_t last_value() const { return last_value_; }

private:
    void symbol_instant(float x, float y);

    // The last N mixed samples twice over (ring[i] == ring[i + N]), so the
    // window starting at the oldest sample is one contiguous run.
    std::vector<float> ring_i_;
    std::vector<float> ring_q_;
    std::vector<float> taps_;
    std::size_t ring_pos_ = 0;  // write_count_ mod N: where the oldest sample sits
    hdlc::HdlcDecoder decoder_;
    std::vector<hdlc::DecodedFrame> frames_;
    demod::WholeDcd whole_dcd_;
    uint64_t write_count_ = 0;
    uint32_t prev_symbol_ = 0;
    uint64_t channel_;
    uint64_t subchan_;
    // Handed to the decoder; this demodulator never changes or advances them,
    // so its frames carry a speed error of 0.
    int64_t correction_sum_ = 0;
    int32_t bit_counter_ = 0;
    uint32_t sample_rate_;
    uint32_t baud_;
    float carrier_phase_ = 0.0f;
    float carrier_step_;
    float carrier_step_nominal_;
    float samples_per_symbol_;
    // Gardner loop gains in samples per unit of normalised timing error,
    // without and with carrier detected.
    float timing_gain_acquiring_;
    float timing_gain_tracking_;
    float symbol_clock_ = 0.0f;
    float prev_x_ = 0.0f;
    float prev_y_ = 0.0f;
    float mid_x_ = 0.0f;
    float mid_y_ = 0.0f;
    uint32_t symbol_count_ = 0;
    uint32_t strong_count_ = 0;
    bool eight_psk_;
    bool dcd_ = false;
    int table_variant_;
    uint8_t last_value_ = 0;
};

}  // namespace modem_psk
