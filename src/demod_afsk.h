#pragma once

// AfskDemodulator: turns a stream of 16-bit audio samples carrying audio
// frequency-shift keying (mark and space tones at a given baud) into HDLC frames.
// Each sample runs through a band-pass prefilter, tone mixers and low-pass
// filters; one to nine slicers turn the result into bits, each with its own bit
// clock, carrier detect and HDLC decoder.
//
// Profile A compares the mark and space envelopes; profile B mixes down at the
// centre frequency and measures the instantaneous frequency with a phase
// discriminator. Completed frames and carrier-detect transitions stay queued in
// the demodulator until its owner takes them.
//
// Construction takes every setting; from then on the owner feeds samples and,
// after each block, takes the queues (take_frames, take_dcd_changes,
// take_bad_fcs), as every demodulator does (see demod.h). The object is large
// (fixed tap arrays and delay lines); owners hold it boxed. Nothing on the per-sample path allocates except
// the growth of the two queues and the decoders' frame buffers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "bit_clock.h"
#include "demod.h"
#include "dsp.h"
#include "filter_block.h"
#include "filter_buf.h"
#include "hdlc.h"
#include "num.h"

namespace demod_afsk {

// The most slicers one demodulator runs.
inline constexpr std::size_t MAX_SLICERS = 9;

// One carrier-detect transition of one slicer.
using DcdChange = demod::DcdChange;

// Bit clock, zero-crossing grading and carrier detect of one slicer.
using SlicerState = bit_clock::BitClock;

// The per-slicer space weights of profile A with several slicers.
inline constexpr std::array<float, MAX_SLICERS> SLICER_GAINS = {0.5f,       0.6484198f, 0.8408965f,
                                                                1.0905079f, 1.4142138f, 1.8340085f,
                                                                2.3784149f, 3.0844226f, 4.0000014f};

// Quality (0 to 100) of a frame from its slicer's decision value v at the last
// bit: the integer part of min(100 |v|, 100); NaN gives 0.
uint32_t decision_quality(float v);

// The same relative to the swing of the decision values (profile A with several
// slicers): the integer part of min(100 |v| / max(swing, 1e-7), 100); NaN gives 0.
uint32_t decision_quality(float v, float swing);

// How a demodulator runs beyond the signal it is built for; the defaults are
// one slicer, no repair, no limiter, carrier-detect records kept.
struct AfskOptions {
    // Slicers to run, clamped to 1..MAX_SLICERS.
    std::size_t num_slicers = 1;
    // Repair level of every slicer's decoder (see HdlcDecoder::set_fix_bits).
    uint8_t fix_bits = 0;
    // Each input sample replaced by its sign before filtering.
    bool hard_limit = false;
    // With false no carrier-detect records are queued (for demodulators whose
    // records nobody takes); the carrier-detect state is kept either way.
    bool keep_dcd_changes = true;
};

// The signal a demodulator is built for, and how it runs.
struct AfskSettings {
    uint32_t sample_rate = 0;
    uint32_t baud = 0;
    uint32_t mark = 0;   // Hz
    uint32_t space = 0;  // Hz
    bool profile_b = false;
    AfskOptions options = {};
};

class AfskDemodulator {
public:
    // Designs the filters, oscillators and bit clock for the given settings and
    // builds one decoder per slicer, each made for (channel, subchan, slice k).
    // Any settings are accepted: ones that make no sense (a zero sample rate,
    // a baud above the rate) give a demodulator that decodes nothing.
    AfskDemodulator(const AfskSettings& settings, const demod::Identity& identity);

    AfskDemodulator(const AfskDemodulator&) = delete;
    AfskDemodulator& operator=(const AfskDemodulator&) = delete;

    // Changes the slicer count (clamped to 1..MAX_SLICERS): the decoders are
    // replaced with fresh ones for slices 0 to n - 1, with the demodulator's
    // repair level. Slicer states and every other setting are kept.
    void set_num_slicers(std::size_t n);

    // Processes one input sample.
    void process_sample(int16_t sample);
    // The same for each sample in turn.
    void process_samples(std::span<const int16_t> samples) {
        for (int16_t sample : samples) process_sample(sample);
    }

    // When set, every sample runs the plain per-slicer loop instead of first
    // checking all slicers at once for a quiet sample (no bit time, no zero
    // crossing). Both give the same results; the plain loop is the reference.
    void set_plain_slicers(bool on) { plain_slicers_ = on; }

    bool hard_limit() const { return hard_limit_; }
    uint8_t fix_bits() const { return fix_bits_; }

    // Frames completed and not yet taken, oldest first.
    const std::vector<hdlc::DecodedFrame>& frames() const { return frames_; }
    // Carrier-detect transitions not yet taken, oldest first.
    const std::vector<DcdChange>& dcd_changes() const { return dcd_changes_; }
    // Move the queued frames, or transitions, out, oldest first, leaving the
    // queue empty with its capacity.
    std::vector<hdlc::DecodedFrame> take_frames();
    std::vector<DcdChange> take_dcd_changes();
    // The bad-FCS count of slicer 0's decoder; every decoder's count is reset.
    uint64_t take_bad_fcs();
    // True while the carrier detect of any slicer is on.
    bool dcd() const;
    // One decoder per slicer; decoder k belongs to slicer k. Their settings are
    // the demodulator's: set_num_slicers replaces them.
    std::vector<hdlc::HdlcDecoder>& decoders() { return decoders_; }
    const std::vector<hdlc::HdlcDecoder>& decoders() const { return decoders_; }

    uint64_t channel() const { return channel_; }
    uint64_t subchan() const { return subchan_; }
    bool profile_b() const { return profile_b_; }
    std::size_t num_slicers() const { return num_slicers_; }
    uint64_t sample_count() const { return sample_count_; }
    // Slicer k's state as of the last sample (a copy: the demodulator keeps the
    // clock phases apart from the rest of the states).
    SlicerState slicer(std::size_t k) const {
        SlicerState s = slicers_[k];
        s.clock_phase = clock_phases_[k];
        return s;
    }
    bool keeps_dcd_changes() const { return keep_dcd_changes_; }

    // Set-up quantities.
    std::span<const float> prefilter_taps() const {
        return {prefilter_taps_.data(), prefilter_size_};
    }
    std::span<const float> lowpass_taps() const { return {lowpass_taps_.data(), lowpass_size_}; }
    uint8_t prefilter_window() const { return prefilter_window_; }
    float prefilter_f_lo() const { return f_lo_; }
    float prefilter_f_hi() const { return f_hi_; }
    uint32_t mark_increment() const { return mark_.increment; }
    uint32_t space_increment() const { return space_.increment; }
    uint32_t centre_increment() const { return centre_.increment; }
    int32_t bit_clock_step() const { return bit_clock_step_; }
    float discriminator_gain() const { return discriminator_gain_; }

    // Tracker values, as updated by the last sample.
    float mark_level() const { return mark_level_; }
    float space_level() const { return space_level_; }

private:
    struct Oscillator {
        uint32_t phase = 0;
        uint32_t increment = 0;
    };

    // Mixes y with the oscillator into its in-phase and quadrature lines
    // (`line` and `line` + 1) and completes their low-pass outputs for this
    // block step into lowpass_out.
    void mix(Oscillator& osc, std::size_t line, float y, std::size_t step, float* lowpass_out);
    // Magnitudes, levels and trackers from the low-pass outputs; returns the
    // shared decision value (profile B, one-slicer profile A), else 0.
    float update_trackers(const float* lowpass_out, float& mark_mag, float& space_mag);
    // Slicer k's decision value for this sample from the shared value v and the
    // magnitudes (see process_sample).
    float decision_value(std::size_t k, float v, float mark_mag, float space_mag) const;
    // Bit k (k < n) set when slicer k decides 1 for this sample.
    uint32_t decision_mask(float v, float mark_mag, float space_mag) const;
    // Full step of slicer k for one sample with decision value v, its clock
    // phase before the step being `phase`: clock, bit time, crossing.
    void step_slicer(std::size_t k, float v, int32_t phase);
    // The reference: every slicer's full step, in slicer order.
    void run_plain_slicers(float v, float mark_mag, float space_mag);
    // Steps the clocks of slicers 0 to n - 1 at once; bit k of the result is
    // set when slicer k's phase before the step was above quiet_phase_limit_.
    uint32_t step_clocks();
    // The rest of the full steps after step_clocks: the bit times of the
    // slicers in `high` (as step_clocks returned), in slicer order, and the
    // zero crossings of those in `crossings`.
    void run_busy_slicers(uint32_t high, uint32_t crossings, uint32_t decisions, float v,
                          float mark_mag, float space_mag);
    // Sets the per-lane clock steps and the masks for the current slicer count.
    void set_slicer_lanes();
    uint32_t frame_quality(std::size_t k, float v) const;
    // Starts a new block of filter outputs (see filter_block.h).
    [[gnu::noinline]] void block_pass();
    // The bit-time work of slicer k: decoder, frame, carrier detect.
    [[gnu::noinline]] void clock_bit(std::size_t k, float v);

    // Delay lines in low-pass order: mark I, mark Q, space I, space Q, centre I, centre Q.
    enum Line : std::size_t { MARK_I, MARK_Q, SPACE_I, SPACE_Q, CENTRE_I, CENTRE_Q, NUM_LINES };

    filter_buf::FilterBuf prefilter_line_;
    filter_buf::LineBank<NUM_LINES> lines_;
    // The designed taps (the first prefilter_size_ and lowpass_size_ entries).
    std::array<float, dsp::MAX_FILTER_SIZE> prefilter_taps_{};
    std::array<float, dsp::MAX_FILTER_SIZE> lowpass_taps_{};
    // The same taps prepared for block passes (see filter_block.h), and the
    // parts of the outputs up to the next pass: the prefilter's, then those of
    // each low-pass line.
    filter_block::BlockTaps prefilter_block_;
    filter_block::BlockTaps lowpass_block_;
    alignas(16) std::array<float, filter_block::BLOCK> prefilter_parts_{};
    alignas(16) std::array<float, filter_block::BLOCK * NUM_LINES> lowpass_parts_{};
    // Samples since the last pass, 0 to BLOCK - 1.
    std::size_t block_step_ = 0;
    std::size_t prefilter_size_ = 0;
    std::size_t lowpass_size_ = 0;
    // cos(2 pi k / 256): the oscillators look up instead of computing.
    std::array<float, 256> cosine_table_{};

    Oscillator mark_;
    Oscillator space_;
    Oscillator centre_;
    int32_t bit_clock_step_ = 0;
    float discriminator_gain_ = 0.0f;
    float previous_angle_ = 0.0f;

    float mark_level_ = 0.0f;
    float space_level_ = 0.0f;
    float mark_peak_ = 0.0f;
    float space_peak_ = 0.0f;
    float mark_valley_ = 0.0f;
    float space_valley_ = 0.0f;
    float mark_average_ = 0.001f;
    float space_average_ = 0.001f;
    float last_slicer_value_ = 0.0f;

    // Profile B: the threshold offset of each slicer for the current count
    // (zero beyond it; padded to whole vectors of four for decision_mask).
    std::array<float, 12> offsets_{};
    // The slicer states. Their clock phases live in clock_phases_ (a state's
    // own clock_phase is only used during its full step), contiguous and
    // padded to whole vectors of four so that all clocks step at once. Lane k
    // steps by clock_steps_[k]: the bit clock step for a used slicer, 0 for
    // the others and the padding, whose clocks stand still as in the plain loop.
    std::array<SlicerState, MAX_SLICERS> slicers_{};
    static constexpr std::size_t SLICER_LANES = bit_clock::LANES;
    alignas(16) std::array<int32_t, SLICER_LANES> clock_phases_{};
    alignas(16) std::array<int32_t, SLICER_LANES> clock_steps_{};
    // Bits 0 to n - 1.
    uint32_t used_slicers_ = 1;
    // The last decisions of slicers 0 to n - 1 as a bit mask.
    uint32_t last_decisions_ = 0;
    // A phase at or below this reaches no bit time with the next clock step.
    int32_t quiet_phase_limit_ = 0;

    std::vector<hdlc::HdlcDecoder> decoders_;
    std::vector<hdlc::DecodedFrame> frames_;
    std::vector<DcdChange> dcd_changes_;

    uint64_t channel_;
    uint64_t subchan_;
    uint64_t sample_count_ = 0;
    std::size_t num_slicers_ = 1;
    float f_lo_ = 0.0f;
    float f_hi_ = 0.0f;
    uint8_t prefilter_window_ = 0;
    uint8_t fix_bits_;
    bool profile_b_;
    bool hard_limit_;
    bool keep_dcd_changes_;
    bool plain_slicers_ = false;
};

}  // namespace demod_afsk
