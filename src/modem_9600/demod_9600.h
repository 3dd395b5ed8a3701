#pragma once

// Demod9600: receive demodulator for baseband FSK with G3RUH scrambling
// (9600 baud by default). Per sample: a low-pass, a sign slicer, an integer
// bit clock that locks to the zero crossings and one HDLC decoder in scrambled
// mode. It keeps the contract of demod.h: the frames it decoded, its bad-FCS
// count and its carrier-detect changes stay until its owner takes them. No
// allocation per sample except for a delivered frame.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bit_clock.h"
#include "demod.h"
#include "filter_buf.h"
#include "hdlc.h"
#include "modem_9600/lowpass_9600.h"

namespace modem_9600 {

// The signal a demodulator is built for.
struct Settings9600 {
    uint32_t sample_rate = 0;
    uint32_t baud = 0;  // 0 means 9600
    uint8_t fix_bits = 0;  // repair level of the decoder
};

class Demod9600 {
public:
    // The decoder gets (channel, subchan, slice 0), runs in scrambled mode and
    // has repair level fix_bits.
    Demod9600(const Settings9600& settings, const demod::Identity& identity);

    // Feeds one input sample; may append to the frames list.
    void process_sample(int16_t sample);
    // The same for each sample in turn.
    void process_samples(std::span<const int16_t> samples) {
        for (int16_t sample : samples) process_sample(sample);
    }

    // Frames decoded and not yet taken, oldest first.
    const std::vector<hdlc::DecodedFrame>& frames() const { return frames_; }
    // Moves them out, leaving the list empty with its capacity.
    std::vector<hdlc::DecodedFrame> take_frames();
    // The decoder's bad-FCS count, which is reset.
    uint64_t take_bad_fcs() { return decoder_.take_bad_fcs(); }
    // The one decoder.
    const hdlc::HdlcDecoder& decoder() const { return decoder_; }
    bool dcd() const { return clock_.carrier_detect; }
    // At most one record: the carrier detect now, when it differs from the
    // state at the last take.
    std::vector<demod::DcdChange> take_dcd_changes() { return whole_dcd_.take(identity_, dcd()); }

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
    demod::Identity identity_;
    demod::WholeDcd whole_dcd_;
    uint32_t sample_rate_;
    uint32_t baud_;
    int32_t pll_step_;
    bit_clock::BitClock clock_;
};

}  // namespace modem_9600
