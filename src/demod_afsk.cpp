#include "demod_afsk.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "drain.h"
#include "num.h"
#include "simd_sums.h"

namespace demod_afsk {

namespace {

// Prefilter shape by profile: widening of the pass band beyond the tones (in
// units of the baud), length in symbols and window.
struct PrefilterProfile {
    float widening;
    float length;
    uint8_t window;
};

// Bauds below this are narrow and share one prefilter shape in both profiles.
constexpr uint32_t NARROW_BAUD_LIMIT = 601;
constexpr PrefilterProfile PREFILTER_NARROW{0.87f, 1.857f, dsp::WINDOW_COSINE};
constexpr PrefilterProfile PREFILTER_A{0.155f, 10.421769f, dsp::WINDOW_RECTANGULAR};
constexpr PrefilterProfile PREFILTER_B{0.19f, 8.163f, dsp::WINDOW_RECTANGULAR};

constexpr float LOWPASS_LENGTH_A = 2.8f;
constexpr float LOWPASS_BETA_A = 0.2f;
constexpr float LOWPASS_LENGTH_B = 2.0f;
constexpr float LOWPASS_BETA_B = 0.4f;

constexpr double TWO_POW_32 = 4294967296.0;
constexpr double TWO_POW_31 = 2147483648.0;
// 521 baud is clocked at 520.83 baud: 520.83 * 2^32.
constexpr double CLOCK_521_BAUD = 2236947816775.68;

constexpr float LEVEL_ATTACK = 0.14f;
constexpr float LEVEL_DECAY = 0.000018f;
constexpr float PEAK_ATTACK = 0.7f;
constexpr float PEAK_DECAY = 0.00009f;

constexpr float TWO_PI = 6.2831855f;

// SLICER_GAINS padded with zeros to whole vectors of four.
struct PaddedGains {
    alignas(16) float g[12];
};
constexpr PaddedGains PADDED_GAINS = [] {
    PaddedGains p{};
    for (std::size_t k = 0; k < MAX_SLICERS; ++k) p.g[k] = SLICER_GAINS[k];
    return p;
}();

#if QUILLMAR_X86
// Bits 0 to 11: lane i of a, b, c above 0 (NaN is not).
inline uint32_t positive_mask(__m128 a, __m128 b, __m128 c) {
    const __m128 zero = _mm_setzero_ps();
    return static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpgt_ps(a, zero))) |
           static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpgt_ps(b, zero))) << 4 |
           static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpgt_ps(c, zero))) << 8;
}
#endif

// Moves a tracker towards x with coefficient k.
inline float track(float x, float tracker, float k) {
    return x * k + tracker * (1.0f - k);
}

// a < b ? if_less : otherwise (false when either is NaN), without a branch:
// the comparisons follow the signal and would often be mispredicted.
inline float select_less(float a, float b, float if_less, float otherwise) {
#if QUILLMAR_X86
    const __m128 less = _mm_cmplt_ss(_mm_set_ss(a), _mm_set_ss(b));
    return _mm_cvtss_f32(_mm_or_ps(_mm_and_ps(less, _mm_set_ss(if_less)),
                                   _mm_andnot_ps(less, _mm_set_ss(otherwise))));
#else
    return a < b ? if_less : otherwise;
#endif
}

}  // namespace

// std::min and std::max return their first argument when a comparison involves
// NaN, so a NaN value stays NaN up to the saturating cast, which gives 0.
uint32_t decision_quality(float v) {
    return num::saturate_cast<uint32_t>(std::min(100.0f * std::fabs(v), 100.0f));
}

uint32_t decision_quality(float v, float swing) {
    const float relative = 100.0f * std::fabs(v) / std::max(swing, 0.0000001f);
    return num::saturate_cast<uint32_t>(std::min(relative, 100.0f));
}

AfskDemodulator::AfskDemodulator(const AfskSettings& settings, const demod::Identity& identity)
    : channel_(identity.channel),
      subchan_(identity.subchan),
      fix_bits_(settings.options.fix_bits),
      profile_b_(settings.profile_b),
      hard_limit_(settings.options.hard_limit),
      keep_dcd_changes_(settings.options.keep_dcd_changes) {
    const uint32_t sample_rate = settings.sample_rate;
    const uint32_t baud = settings.baud;
    const uint32_t mark = settings.mark;
    const uint32_t space = settings.space;
    const bool profile_b = settings.profile_b;
    for (std::size_t k = 0; k < cosine_table_.size(); ++k) {
        cosine_table_[k] = std::cos(static_cast<float>(k + k) * dsp::PI * (1.0f / 256.0f));
    }

    const float sr = static_cast<float>(sample_rate);
    const float fbaud = static_cast<float>(baud);
    const PrefilterProfile& pre = baud < NARROW_BAUD_LIMIT ? PREFILTER_NARROW
                                  : profile_b              ? PREFILTER_B
                                                           : PREFILTER_A;
    prefilter_size_ = dsp::afsk_tap_count(pre.length, sample_rate, baud);
    prefilter_window_ = pre.window;
    const float lo = static_cast<float>(std::min(mark, space));
    const float hi = static_cast<float>(std::max(mark, space));
    f_lo_ = (lo - pre.widening * fbaud) / sr;
    f_hi_ = (hi + pre.widening * fbaud) / sr;
    dsp::gen_bandpass(std::span<float>(prefilter_taps_.data(), prefilter_size_), pre.window, f_lo_,
                      f_hi_);

    lowpass_size_ =
        dsp::afsk_tap_count(profile_b ? LOWPASS_LENGTH_B : LOWPASS_LENGTH_A, sample_rate, baud);
    dsp::gen_raised_cosine_lowpass(std::span<float>(lowpass_taps_.data(), lowpass_size_),
                                   sr / fbaud, profile_b ? LOWPASS_BETA_B : LOWPASS_BETA_A);

    const double rate = static_cast<double>(sample_rate);
    mark_.increment = num::round_saturate<uint32_t>(static_cast<double>(mark) * TWO_POW_32 / rate);
    space_.increment =
        num::round_saturate<uint32_t>(static_cast<double>(space) * TWO_POW_32 / rate);
    if (profile_b) {
        const uint32_t tone_sum = mark + space;  // a 32-bit sum, wrapping
        centre_.increment =
            num::round_saturate<uint32_t>(static_cast<double>(tone_sum) * TWO_POW_31 / rate);
        const uint32_t shift = mark > space ? mark - space : space - mark;
        discriminator_gain_ = 1.0f / ((static_cast<float>(shift) * dsp::PI) / sr);
    }
    const double step =
        baud == 521 ? CLOCK_521_BAUD / rate : static_cast<double>(baud) * TWO_POW_32 / rate;
    bit_clock_step_ = num::round_saturate<int32_t>(step);

    prefilter_block_.assign(prefilter_taps());
    lowpass_block_.assign(lowpass_taps());

    if (profile_b) {
        mark_level_ = -1.0f;
        space_level_ = -1.0f;
    }
    quiet_phase_limit_ = bit_clock::quiet_phase_limit(bit_clock_step_);
    set_num_slicers(settings.options.num_slicers);
}

void AfskDemodulator::set_num_slicers(std::size_t n) {
    num_slicers_ = std::clamp<std::size_t>(n, 1, MAX_SLICERS);
    std::vector<hdlc::HdlcDecoder> fresh;
    fresh.reserve(num_slicers_);
    for (std::size_t k = 0; k < num_slicers_; ++k) {
        fresh.emplace_back(channel_, subchan_, k);
        fresh.back().set_fix_bits(fix_bits_);
    }
    decoders_ = std::move(fresh);
    offsets_.fill(0.0f);
    if (num_slicers_ >= 2) {
        const float spread = static_cast<float>(num_slicers_ - 1);
        for (std::size_t k = 0; k < num_slicers_; ++k)
            offsets_[k] = static_cast<float>(k) / spread - 0.5f;
    }
    set_slicer_lanes();
}

std::vector<hdlc::DecodedFrame> AfskDemodulator::take_frames() {
    return drain::take_all(frames_);
}

std::vector<DcdChange> AfskDemodulator::take_dcd_changes() {
    return drain::take_all(dcd_changes_);
}

bool AfskDemodulator::dcd() const {
    for (std::size_t k = 0; k < num_slicers_; ++k) {
        if (slicers_[k].carrier_detect) return true;
    }
    return false;
}

uint64_t AfskDemodulator::take_bad_fcs() {
    const uint64_t first = decoders_.front().bad_fcs();
    for (hdlc::HdlcDecoder& d : decoders_) d.reset_bad_fcs();
    return first;
}

void AfskDemodulator::set_slicer_lanes() {
    used_slicers_ = (1u << num_slicers_) - 1u;
    clock_steps_.fill(0);
    uint32_t decisions = 0;
    for (std::size_t k = 0; k < num_slicers_; ++k) {
        clock_steps_[k] = bit_clock_step_;
        decisions |= slicers_[k].last_decision << k;
    }
    last_decisions_ = decisions;
}

inline float AfskDemodulator::decision_value(std::size_t k, float v, float mark_mag,
                                             float space_mag) const {
    if (num_slicers_ == 1) return v;
    if (profile_b_) return v + offsets_[k];
    return mark_mag - SLICER_GAINS[k] * space_mag;
}

// The same decisions as decision_value(k, ...) > 0, computed the same way.
inline uint32_t AfskDemodulator::decision_mask(float v, float mark_mag, float space_mag) const {
    const std::size_t n = num_slicers_;
    if (n == 1) return v > 0.0f ? 1u : 0u;
    const uint32_t used = used_slicers_;
#if QUILLMAR_X86
    if (profile_b_) {
        const __m128 base = _mm_set1_ps(v);
        const float* off = offsets_.data();
        return used & positive_mask(_mm_add_ps(base, _mm_loadu_ps(off)),
                                    _mm_add_ps(base, _mm_loadu_ps(off + 4)),
                                    _mm_add_ps(base, _mm_loadu_ps(off + 8)));
    }
    const __m128 mark = _mm_set1_ps(mark_mag);
    const __m128 space = _mm_set1_ps(space_mag);
    const float* g = PADDED_GAINS.g;
    return used & positive_mask(_mm_sub_ps(mark, _mm_mul_ps(_mm_load_ps(g), space)),
                                _mm_sub_ps(mark, _mm_mul_ps(_mm_load_ps(g + 4), space)),
                                _mm_sub_ps(mark, _mm_mul_ps(_mm_load_ps(g + 8), space)));
#else
    uint32_t mask = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const float vk = profile_b_ ? v + offsets_[k] : mark_mag - SLICER_GAINS[k] * space_mag;
        mask |= (vk > 0.0f ? 1u : 0u) << k;
    }
    return used & mask;
#endif
}

inline void AfskDemodulator::mix(Oscillator& osc, std::size_t line, float y, std::size_t step,
                                 float* lowpass_out) {
    const uint32_t j = osc.phase >> 24;
    const float mixed[2] = {y * cosine_table_[j], y * cosine_table_[(j + 192) & 255]};
    osc.phase += osc.increment;
    for (std::size_t i = 0; i < 2; ++i) {
        lines_.store(line + i, mixed[i]);
        float* parts = lowpass_parts_.data() + (line + i) * filter_block::BLOCK;
        lowpass_out[line + i] = filter_block::step_output(lowpass_block_, step, mixed[i], parts);
        filter_block::add_step(lowpass_block_, step, mixed[i], parts);
    }
}

inline void AfskDemodulator::step_slicer(std::size_t k, float v, int32_t phase) {
    SlicerState& s = slicers_[k];
    s.clock_phase = phase;
    if (s.advance_clock(bit_clock_step_)) [[unlikely]]
        clock_bit(k, v);
    s.take_decision(v > 0.0f);
    clock_phases_[k] = s.clock_phase;
}

void AfskDemodulator::run_plain_slicers(float v, float mark_mag, float space_mag) {
    uint32_t decisions = 0;
    for (std::size_t k = 0; k < num_slicers_; ++k) {
        step_slicer(k, decision_value(k, v, mark_mag, space_mag), clock_phases_[k]);
        decisions |= slicers_[k].last_decision << k;
    }
    last_decisions_ = decisions;
}

// The fast path: a slicer whose decision equals its last one (no zero crossing)
// and whose phase is at or below quiet_phase_limit_ (no bit time) only steps its
// clock. step_clocks steps all clocks and finds the phases above the limit;
// run_busy_slicers then does the rest of the full step for those slicers and
// for the ones with a crossing. Most samples have no such slicer at all.
inline uint32_t AfskDemodulator::step_clocks() {
    return used_slicers_ &
           bit_clock::step_lanes(clock_phases_.data(), clock_steps_.data(), quiet_phase_limit_);
}

void AfskDemodulator::run_busy_slicers(uint32_t high, uint32_t crossings, uint32_t decisions,
                                       float v, float mark_mag, float space_mag) {
    // Slicers are independent and only bit times make output, so the bit times
    // come first, in slicer order, then the crossings; each slicer still sees
    // its bit time before its crossing, as in its full step.
    const uint32_t step = static_cast<uint32_t>(bit_clock_step_);
    for (uint32_t rest = high; rest != 0; rest &= rest - 1u) {
        const auto k = static_cast<std::size_t>(std::countr_zero(rest));
        const int32_t phase = clock_phases_[k];
        const auto before = static_cast<int32_t>(static_cast<uint32_t>(phase) - step);
        // Always so for a step of 0 or more (see quiet_phase_limit_).
        if (before > 0 && phase < 0) [[likely]]
            clock_bit(k, decision_value(k, v, mark_mag, space_mag));
    }
    for (uint32_t rest = crossings; rest != 0; rest &= rest - 1u) {
        const auto k = static_cast<std::size_t>(std::countr_zero(rest));
        SlicerState& s = slicers_[k];
        s.clock_phase = clock_phases_[k];
        s.take_decision(((decisions >> k) & 1u) != 0);
        clock_phases_[k] = s.clock_phase;
    }
    last_decisions_ = decisions;
}

// Starts a new block: the passes over the stored histories, then the newest
// sample's own terms.
void AfskDemodulator::block_pass() {
    const float* prefilter = prefilter_line_.window();
    filter_block::pass(prefilter_block_, std::span(&prefilter, 1), prefilter_parts_);
    filter_block::add_step(prefilter_block_, 0, prefilter[0], prefilter_parts_.data());

    const std::size_t line_count = profile_b_ ? NUM_LINES : CENTRE_I;
    const float* newest[NUM_LINES];
    for (std::size_t i = 0; i < line_count; ++i) newest[i] = lines_.window(i);
    filter_block::pass(lowpass_block_, std::span(newest, line_count),
                       std::span(lowpass_parts_.data(), filter_block::BLOCK * line_count));
    for (std::size_t i = 0; i < line_count; ++i) {
        filter_block::add_step(lowpass_block_, 0, newest[i][0],
                               lowpass_parts_.data() + i * filter_block::BLOCK);
    }
}

void AfskDemodulator::process_sample(int16_t sample) {
    float x = static_cast<float>(sample) * (1.0f / 16384.0f);
    if (hard_limit_) x = x < 0.0f ? -1.0f : 1.0f;
    // Each sample adds its terms to the parts of the filter outputs up to the
    // next block pass; the part for this step is then complete.
    prefilter_line_.push(x);
    const std::size_t step = block_step_ + 1;
    const float y = filter_block::step_output(prefilter_block_, step, x, prefilter_parts_.data());
    filter_block::add_step(prefilter_block_, step, x, prefilter_parts_.data());

    float lowpass_out[NUM_LINES];
    lines_.advance();
    if (profile_b_) mix(centre_, CENTRE_I, y, step, lowpass_out);
    mix(mark_, MARK_I, y, step, lowpass_out);
    mix(space_, SPACE_I, y, step, lowpass_out);

    // The passes depend only on samples already stored, so the processor can
    // run them alongside the decisions below.
    if (step == filter_block::BLOCK) {
        block_pass();
        block_step_ = 0;
    } else {
        block_step_ = step;
    }

    // Decision values: one shared value (profile B, one-slicer profile A), the
    // same with each slicer's offset (profile B), or the mark magnitude against
    // the space magnitude weighted by each slicer's gain (profile A).
    float mark_mag, space_mag;
    const float v = update_trackers(lowpass_out, mark_mag, space_mag);
    if (plain_slicers_) [[unlikely]] {
        run_plain_slicers(v, mark_mag, space_mag);
    } else {
        const uint32_t decisions = decision_mask(v, mark_mag, space_mag);
        const uint32_t high = step_clocks();
        const uint32_t crossings = decisions ^ last_decisions_;
        if ((high | crossings) != 0)
            run_busy_slicers(high, crossings, decisions, v, mark_mag, space_mag);
    }
    ++sample_count_;
}

float AfskDemodulator::update_trackers(const float* out, float& mark_mag, float& space_mag) {
    mark_mag = std::sqrt(out[MARK_I] * out[MARK_I] + out[MARK_Q] * out[MARK_Q]);
    space_mag = std::sqrt(out[SPACE_I] * out[SPACE_I] + out[SPACE_Q] * out[SPACE_Q]);
    mark_level_ =
        track(mark_mag, mark_level_, select_less(mark_mag, mark_level_, LEVEL_DECAY, LEVEL_ATTACK));
    space_level_ = track(space_mag, space_level_,
                         select_less(space_mag, space_level_, LEVEL_DECAY, LEVEL_ATTACK));

    if (profile_b_) {
        const float angle = std::atan2(out[CENTRE_Q], out[CENTRE_I]);
        const float raw = angle - previous_angle_;
        const float d = raw > dsp::PI ? raw - TWO_PI : (raw < -dsp::PI ? raw + TWO_PI : raw);
        previous_angle_ = angle;
        return d * discriminator_gain_;
    }
    if (num_slicers_ == 1) {
        // Both candidates are computed and one kept, without a branch.
        const bool mark_side = last_slicer_value_ > 0.0f;
        const float mark_next = mark_mag * 0.008f + mark_average_ * 0.992f;
        const float space_next = space_mag * 0.005f + space_average_ * 0.995f;
        mark_average_ = mark_side ? mark_next : mark_average_;
        space_average_ = mark_side ? space_average_ : space_next;
        const float v = mark_mag / mark_average_ - space_mag / space_average_;
        last_slicer_value_ = v;
        return v;
    }
    mark_peak_ =
        track(mark_mag, mark_peak_, select_less(mark_mag, mark_peak_, PEAK_DECAY, PEAK_ATTACK));
    mark_valley_ =
        track(mark_mag, mark_valley_, select_less(mark_valley_, mark_mag, PEAK_DECAY, PEAK_ATTACK));
    space_peak_ =
        track(space_mag, space_peak_, select_less(space_mag, space_peak_, PEAK_DECAY, PEAK_ATTACK));
    space_valley_ = track(space_mag, space_valley_,
                          select_less(space_valley_, space_mag, PEAK_DECAY, PEAK_ATTACK));
    return 0.0f;
}

uint32_t AfskDemodulator::frame_quality(std::size_t k, float v) const {
    if (profile_b_ || num_slicers_ == 1) return decision_quality(v);
    const float swing =
        0.5f * ((mark_peak_ - mark_valley_) + SLICER_GAINS[k] * (space_peak_ - space_valley_));
    return decision_quality(v, swing);
}

void AfskDemodulator::clock_bit(std::size_t k, float v) {
    SlicerState& s = slicers_[k];
    hdlc::HdlcDecoder& decoder = decoders_[k];
    decoder.set_audio_levels(mark_level_, space_level_);
    std::optional<hdlc::DecodedFrame> frame =
        decoder.process_bit(v > 0.0f ? 1 : 0, s.correction_sum, s.bit_count);
    if (frame) {
        frame->sample_index = sample_count_;
        frame->quality = frame_quality(k, v);
        frames_.push_back(std::move(*frame));
    }
    if (s.finish_bit() && keep_dcd_changes_) {
        dcd_changes_.push_back(DcdChange{channel_, subchan_, k, s.carrier_detect});
    }
}

}  // namespace demod_afsk
