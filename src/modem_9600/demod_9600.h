#pragma once

// Demod9600: receive demodulator for baseband FSK with G3RUH scrambling
// (9600 baud by default). Per sample: a low-pass, a sign slicer, an integer
// bit clock that locks to the zero crossings and one HDLC decoder in scrambled
// mode. It keeps a carrier-detect flag and the frames it decoded until its
// owner takes them (take_frames, take_bad_fcs). No allocation per sample except
// for a delivered frame.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bit_clock.h"
#include "filter_buf.h"
#include "hdlc.h"
#include "modem_9600/lowpass_9600.h"

namespace modem_9600 {

class Demod9600 {
public:
    // A baud of 0 means 9600. The decoder gets (channel, subchan, slice 0), runs
    // in scrambled mode and has repair level fix_bits.
    Demod9600(uint32_t sample_rate, uint32_t baud, uint64_t channel, uint64_t subchan,
              uint8_t fix_bits = 0);

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
    bool dcd() const { return clock_.carrier_detect; }

    uint32_t sample_rate() const { return sample_rate_; }
    uint32_t baud() const { return baud_; }
    std::size_t tap_count() const { return taps_.count; }
    int32_t pll_step() const { return pll_step_; }

private:
    void bit_instant(int bit);

    LowpassTaps taps_;
    // The last tap-count input samples, oldest first: the first tap meets the oldest.
    filter_buf::DelayLines<1, MAX_LOWPASS_TAPS, filter_buf::Order::OLDEST_FIRST> line_;
    hdlc::HdlcDecoder decoder_;
    std::vector<hdlc::DecodedFrame> frames_;
    uint64_t channel_;
    uint64_t subchan_;
    uint32_t sample_rate_;
    uint32_t baud_;
    int32_t pll_step_;
    bit_clock::BitClock clock_;
};

}  // namespace modem_9600
