#include "demod_afsk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "filter_buf.h"
#include "support/afsk_signal.h"
#include "support/hdlc_bits.h"
#include "tx/tx.h"

namespace {

using demod_afsk::AfskDemodulator;
using demod_afsk::AfskSettings;
using demod_afsk::SlicerState;

uint32_t rounded_increment(double hz, double rate, double scale = 4294967296.0) {
    return static_cast<uint32_t>(std::llround(hz * scale / rate));
}

TEST(AfskSetup, TableOfSettings) {
    struct Case {
        uint32_t rate, baud, mark, space;
        bool profile_b;
        std::size_t prefilter, lowpass;
        uint8_t window;
        float f_lo, f_hi;  // NaN: not checked
        int32_t step;
    };
    const float unchecked = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {44100, 1200, 1200, 2200, false, 383, 103, 0, 0.0229932f, 0.0541043f,
         static_cast<int32_t>(rounded_increment(1200, 44100))},
        {44100, 1200, 1200, 2200, true, 299, 73, 0, 0.0220408f, 0.0550567f,
         static_cast<int32_t>(rounded_increment(1200, 44100))},
        {48000, 1200, 1200, 2200, false, 417, 113, 0, unchecked, unchecked,
         static_cast<int32_t>(std::llround(4294967296.0 / 40))},
        {48000, 1200, 2200, 1200, true, 327, 81, 0, unchecked, unchecked,
         static_cast<int32_t>(std::llround(4294967296.0 / 40))},
        {48000, 300, 1600, 1800, false, 297, 449, 1, 0.0278958f, 0.0429375f,
         static_cast<int32_t>(std::llround(4294967296.0 / 160))},
        {44100, 521, 1200, 2200, false, 157, 237, 1, unchecked, unchecked,
         static_cast<int32_t>(std::llround(520.83 * 4294967296.0 / 44100))},
        {48000, 9600, 1200, 2200, false, 53, 15, 0, -0.006f, unchecked,
         static_cast<int32_t>(std::llround(9600 * 4294967296.0 / 48000))},
        {48000, 600, 1200, 2200, true, 149, 161, 1, unchecked, unchecked,  // 600 is narrow
         static_cast<int32_t>(std::llround(600 * 4294967296.0 / 48000))},
        {48000, 601, 1200, 2200, true, 479, 159, 0, unchecked, unchecked,
         static_cast<int32_t>(std::llround(601 * 4294967296.0 / 48000))},
        {48000, 50, 1200, 2200, false, 479, 479, 1, unchecked, unchecked,  // capped
         static_cast<int32_t>(std::llround(50 * 4294967296.0 / 48000))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.rate << " Hz " << c.baud << " baud " << (c.profile_b ? "B" : "A"));
        AfskDemodulator d({c.rate, c.baud, c.mark, c.space, c.profile_b}, {3, 2});
        EXPECT_EQ(d.prefilter_taps().size(), c.prefilter);
        EXPECT_EQ(d.lowpass_taps().size(), c.lowpass);
        EXPECT_EQ(d.prefilter_window(), c.window);
        if (!std::isnan(c.f_lo)) {
            EXPECT_NEAR(d.prefilter_f_lo(), c.f_lo, 5e-8);
        }
        if (!std::isnan(c.f_hi)) {
            EXPECT_NEAR(d.prefilter_f_hi(), c.f_hi, 5e-8);
        }
        EXPECT_EQ(d.bit_clock_step(), c.step);
        EXPECT_EQ(d.mark_increment(), rounded_increment(c.mark, c.rate));
        EXPECT_EQ(d.space_increment(), rounded_increment(c.space, c.rate));
        if (c.profile_b) {
            EXPECT_EQ(d.centre_increment(),
                      rounded_increment(c.mark + c.space, c.rate, 2147483648.0));
        } else {
            EXPECT_EQ(d.centre_increment(), 0u);
        }
        EXPECT_EQ(d.num_slicers(), 1u);
        ASSERT_EQ(d.decoders().size(), 1u);
        EXPECT_EQ(d.decoders()[0].channel(), 3u);
        EXPECT_EQ(d.decoders()[0].subchan(), 2u);
    }
    AfskDemodulator b({44100, 1200, 1200, 2200, true}, {0, 0});
    EXPECT_FLOAT_EQ(b.discriminator_gain(), 14.037466f);
    EXPECT_EQ(b.mark_level(), -1.0f);
    AfskDemodulator a({44100, 1200, 1200, 2200, false}, {0, 0});
    EXPECT_EQ(a.bit_clock_step(), static_cast<int32_t>(a.mark_increment()));
    EXPECT_EQ(a.mark_level(), 0.0f);
}

// Settings that make no sense give a demodulator that runs and decodes nothing.
TEST(AfskSetup, SenselessSettingsAreSafe) {
    struct Case {
        uint32_t rate, baud, mark, space;
        bool profile_b;
    };
    const Case cases[] = {{0, 1200, 1200, 2200, false},
                          {0, 1200, 1200, 2200, true},
                          {8000, 0, 1200, 2200, false},
                          {8000, 96000, 1200, 2200, true},
                          {0, 0, 0, 0, true},
                          {44100, 1200, 1500, 1500, true},
                          {44100, 1200, 4000000000u, 4000000000u, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " " << c.baud << " " << c.mark);
        auto d = std::make_unique<AfskDemodulator>(AfskSettings{c.rate, c.baud, c.mark, c.space, c.profile_b}, demod::Identity{0, 0});
        EXPECT_GE(d->prefilter_taps().size(), 3u);
        EXPECT_GE(d->lowpass_taps().size(), 3u);
        d->set_num_slicers(9);
        for (int i = 0; i < 20000; ++i) d->process_sample(static_cast<int16_t>((i * 7919) % 20000));
        for (const auto& f : d->frames()) EXPECT_LE(f.quality, 100u);
    }
    AfskDemodulator zero_rate({0, 1200, 1200, 2200, false}, {0, 0});
    EXPECT_EQ(zero_rate.prefilter_taps().size(), 3u);
    EXPECT_EQ(zero_rate.bit_clock_step(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(zero_rate.mark_increment(), std::numeric_limits<uint32_t>::max());
    AfskDemodulator zero_baud({8000, 0, 1200, 2200, false}, {0, 0});
    EXPECT_EQ(zero_baud.prefilter_taps().size(), 479u);
    EXPECT_EQ(zero_baud.bit_clock_step(), 0);
}

TEST(AfskSetup, SlicerCountRebuildsDecodersAndClamps) {
    AfskDemodulator d({44100, 1200, 1200, 2200, false}, {5, 1});
    d.decoders()[0].set_fix_bits(2);
    d.set_num_slicers(9);
    ASSERT_EQ(d.decoders().size(), 9u);
    for (std::size_t k = 0; k < 9; ++k) {
        EXPECT_EQ(d.decoders()[k].slice(), k);
        EXPECT_EQ(d.decoders()[k].channel(), 5u);
        EXPECT_EQ(d.decoders()[k].subchan(), 1u);
        EXPECT_EQ(d.decoders()[k].fix_bits(), 0u);
    }
    d.set_num_slicers(0);
    EXPECT_EQ(d.num_slicers(), 1u);
    EXPECT_EQ(d.decoders().size(), 1u);
    d.set_num_slicers(1000);
    EXPECT_EQ(d.num_slicers(), 9u);
    EXPECT_EQ(d.decoders().size(), 9u);
}

// Settings given at construction hold for every decoder, also across a later
// change of the slicer count.
TEST(AfskSetup, OptionsHoldAcrossSlicerCountChanges) {
    struct Case {
        demod_afsk::AfskOptions options;
        std::size_t slicers, later_slicers;
    };
    const Case cases[] = {
        {{.num_slicers = 9, .fix_bits = 2}, 9, 3},
        {{.num_slicers = 1, .fix_bits = 1, .hard_limit = true}, 1, 9},
        {{.num_slicers = 0, .fix_bits = 2, .keep_dcd_changes = false}, 1, 5},
        {{.num_slicers = 40, .fix_bits = 3}, 9, 1},
    };
    for (const Case& c : cases) {
        AfskDemodulator d({44100, 1200, 1200, 2200, false, c.options}, {5, 1});
        for (const std::size_t n : {c.slicers, c.later_slicers}) {
            SCOPED_TRACE(testing::Message() << c.options.num_slicers << " then " << n);
            if (n != c.slicers) d.set_num_slicers(n);
            EXPECT_EQ(d.num_slicers(), n);
            ASSERT_EQ(d.decoders().size(), n);
            for (std::size_t k = 0; k < n; ++k) {
                EXPECT_EQ(d.decoders()[k].fix_bits(), c.options.fix_bits);
                EXPECT_EQ(d.decoders()[k].slice(), k);
            }
            EXPECT_EQ(d.fix_bits(), c.options.fix_bits);
            EXPECT_EQ(d.hard_limit(), c.options.hard_limit);
            EXPECT_EQ(d.keeps_dcd_changes(), c.options.keep_dcd_changes);
        }
    }
}

TEST(AfskSlicer, ClockPullAndCrossingGrades) {
    struct Case {
        int32_t phase;
        bool carrier;
        int32_t pulled;
        bool good;
    };
    const Case cases[] = {
        {1000, true, 740, true},
        {1000, false, 500, true},
        {0x1FFFFFFF, false, 0x10000000, true},  // the phase rounds to 2^29 as a float
        {-0x1FFFFFFF, false, -0x10000000, true},
        {0x20000000, false, 0x10000000, false},
        {-0x20000000, true, -397284480, false},  // float(-2^29) * 0.74, truncated
        {std::numeric_limits<int32_t>::min(), true, -1589137920, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.phase);
        SlicerState s;
        s.clock_phase = c.phase;
        s.carrier_detect = c.carrier;
        s.correction_sum = 100;
        s.take_decision(true);  // 0 -> 1: a crossing
        EXPECT_EQ(s.clock_phase, c.pulled);
        EXPECT_EQ(s.correction_sum, 100 + static_cast<int64_t>(c.pulled) - c.phase);
        EXPECT_EQ(s.good_flag, c.good ? 1 : 0);
        EXPECT_EQ(s.bad_flag, c.good ? 0 : 1);
        EXPECT_EQ(s.last_decision, 1u);
        // No change of decision: nothing moves.
        s.take_decision(true);
        EXPECT_EQ(s.clock_phase, c.pulled);
        EXPECT_EQ(s.correction_sum, 100 + static_cast<int64_t>(c.pulled) - c.phase);
    }

    // A bit time is a change from positive to negative phase; wrapping is defined.
    SlicerState s;
    s.clock_phase = std::numeric_limits<int32_t>::max() - 10;
    EXPECT_TRUE(s.advance_clock(100));
    EXPECT_EQ(s.clock_phase, std::numeric_limits<int32_t>::min() + 89);
    EXPECT_FALSE(s.advance_clock(100));
    s.clock_phase = 0;
    EXPECT_FALSE(s.advance_clock(-5));  // from 0 is not from positive
}

TEST(AfskSlicer, CarrierDetectOnAtThirtyOffAtSix) {
    // Every bit period with a good crossing: the balance reaches 2 at the second
    // bit, so the carrier history holds 30 ones after the 31st bit.
    SlicerState s;
    for (int bit = 1; bit <= 30; ++bit) {
        s.good_flag = 1;
        EXPECT_FALSE(s.finish_bit()) << bit;
    }
    s.good_flag = 1;
    EXPECT_TRUE(s.finish_bit());
    EXPECT_TRUE(s.carrier_detect);
    EXPECT_EQ(s.bit_count, 31);
    EXPECT_EQ(s.good_flag, 0);
    // Bad crossings cancel good ones.
    SlicerState mixed;
    mixed.good_history = 0xFF;
    mixed.bad_history = 0x7F;  // 8 good and 7 bad before, now 8 - 8 < 2
    mixed.bad_flag = 1;
    mixed.finish_bit();
    EXPECT_EQ(mixed.carrier_history, 0u);

    // Off: the count must fall to 6.
    SlicerState on;
    on.carrier_detect = true;
    on.carrier_history = 0x0000007F;  // 7 ones; a 0 enters, the 7 stay
    EXPECT_FALSE(on.finish_bit());
    EXPECT_TRUE(on.carrier_detect);
    on.carrier_history = 0x8000003F;  // the top one leaves: 6 remain
    EXPECT_TRUE(on.finish_bit());
    EXPECT_FALSE(on.carrier_detect);
    // Bit counts wrap without overflow.
    on.bit_count = std::numeric_limits<int32_t>::max();
    on.finish_bit();
    EXPECT_EQ(on.bit_count, std::numeric_limits<int32_t>::min());
}

TEST(AfskSlicer, Quality) {
    EXPECT_EQ(demod_afsk::decision_quality(1.7f), 100u);
    EXPECT_EQ(demod_afsk::decision_quality(0.456f), 45u);
    EXPECT_EQ(demod_afsk::decision_quality(-0.5f), 50u);
    EXPECT_EQ(demod_afsk::decision_quality(std::nanf("")), 0u);
    EXPECT_EQ(demod_afsk::decision_quality(std::numeric_limits<float>::infinity()), 100u);
    EXPECT_EQ(demod_afsk::decision_quality(0.3f, 0.6f), 50u);
    EXPECT_EQ(demod_afsk::decision_quality(0.3f, 0.0f), 100u);
    EXPECT_EQ(demod_afsk::decision_quality(0.0f, 0.0f), 0u);
    EXPECT_EQ(demod_afsk::decision_quality(0.3f, std::nanf("")), 0u);
    EXPECT_EQ(demod_afsk::decision_quality(std::nanf(""), 1.0f), 0u);
}

// ---- End to end on generated audio ----

struct Decoded {
    std::vector<hdlc::DecodedFrame> frames;
    std::vector<demod::DcdChange> dcd;
};

Decoded run(AfskDemodulator& d, const std::vector<int16_t>& audio) {
    Decoded out;
    for (int16_t s : audio) d.process_sample(s);
    out.frames = d.take_frames();
    out.dcd = d.take_dcd_changes();
    return out;
}

std::vector<std::vector<uint8_t>> test_frames(std::size_t count) {
    std::vector<std::vector<uint8_t>> frames;
    for (std::size_t i = 0; i < count; ++i) {
        frames.push_back(test_hdlc::ax25_frame("APQM" + std::to_string(i), "N0CALL",
                                               test_support::test_frame(i, 20 + 37 * i)));
    }
    return frames;
}

// Checks that each slicer decoded each frame at most once, at about the right
// sample, and returns per frame the number of slicers that decoded it.
std::vector<int> check_frames(const Decoded& decoded,
                              const std::vector<std::vector<uint8_t>>& frames,
                              const test_support::FrameStream& stream,
                              const test_support::AfskTones& tones, const AfskDemodulator& d) {
    std::vector<int> slicers_per_frame(frames.size(), 0);
    std::map<std::pair<uint64_t, std::size_t>, int> seen;
    const double samples_per_bit = static_cast<double>(tones.sample_rate) / tones.baud;
    // The filters delay the signal by half their lengths; the bit is taken at its middle.
    const double delay =
        (d.prefilter_taps().size() - 1) / 2.0 + (d.lowpass_taps().size() - 1) / 2.0;
    for (const auto& f : decoded.frames) {
        std::size_t which = frames.size();
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (f.data == frames[i]) which = i;
        }
        EXPECT_LT(which, frames.size()) << "unknown frame from slicer " << f.slice;
        if (which == frames.size()) continue;
        const int times = ++seen[std::make_pair(f.slice, which)];
        EXPECT_EQ(times, 1) << "frame " << which << " twice, slicer " << f.slice;
        ++slicers_per_frame[which];
        const double expected = (stream.ends[which] + 0.5) * samples_per_bit + delay;
        EXPECT_NEAR(static_cast<double>(f.sample_index), expected, samples_per_bit / 3)
            << "frame " << which << " slicer " << f.slice;
        EXPECT_LE(f.quality, 100u);
        EXPECT_EQ(f.channel, d.channel());
        EXPECT_EQ(f.subchan, d.subchan());
        EXPECT_LT(f.slice, d.num_slicers());
        EXPECT_EQ(f.retry, 0);
        EXPECT_GT(f.audio_level_mark, 0.0f);
        EXPECT_GT(f.audio_level_space, 0.0f);
    }
    return slicers_per_frame;
}

struct EndToEndCase {
    uint32_t rate;
    bool profile_b;
    std::size_t slicers;
};

class AfskEndToEnd : public testing::TestWithParam<EndToEndCase> {};

TEST_P(AfskEndToEnd, EveryFrameOncePerSlicerWithSampleIndex) {
    const EndToEndCase c = GetParam();
    test_support::AfskTones tones;
    tones.sample_rate = c.rate;
    const auto frames = test_frames(4);
    const auto stream = test_support::frame_stream(frames);
    const auto audio = test_support::to_pcm16(test_support::afsk_waveform(stream.levels, tones));

    AfskDemodulator d({c.rate, 1200, 1200, 2200, c.profile_b}, {7, 0});
    d.set_num_slicers(c.slicers);
    const Decoded decoded = run(d, audio);
    const std::vector<int> per_frame = check_frames(decoded, frames, stream, tones, d);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        // A clean signal: with one slicer it decodes every frame; with nine at
        // least the middle ones do.
        EXPECT_GE(per_frame[i], c.slicers == 1 ? 1 : 3) << "frame " << i;
    }
    EXPECT_EQ(d.sample_count(), audio.size());
}

INSTANTIATE_TEST_SUITE_P(
    RatesProfilesSlicers, AfskEndToEnd,
    testing::Values(EndToEndCase{44100, false, 1}, EndToEndCase{44100, true, 1},
                    EndToEndCase{44100, false, 9}, EndToEndCase{44100, true, 9},
                    EndToEndCase{48000, false, 1}, EndToEndCase{48000, true, 1},
                    EndToEndCase{48000, false, 9}, EndToEndCase{22050, false, 1},
                    EndToEndCase{22050, true, 1}, EndToEndCase{22050, true, 9}),
    [](const testing::TestParamInfo<EndToEndCase>& info) {
        return std::to_string(info.param.rate) + (info.param.profile_b ? "B" : "A") +
               std::to_string(info.param.slicers);
    });

// A frame carries the index of the sample whose processing completed it,
// counting from 0, and the levels as that sample updated them.
TEST(AfskEndToEndIndex, FrameCarriesIndexOfCompletingSample) {
    test_support::AfskTones tones;
    const auto frames = test_frames(2);
    const auto stream = test_support::frame_stream(frames);
    const auto audio = test_support::to_pcm16(test_support::afsk_waveform(stream.levels, tones));
    AfskDemodulator d({44100, 1200, 1200, 2200, false}, {0, 0});
    std::size_t seen = 0;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        d.process_sample(audio[i]);
        for (; seen < d.frames().size(); ++seen) {
            EXPECT_EQ(d.frames()[seen].sample_index, i);
            EXPECT_EQ(d.frames()[seen].audio_level_mark, d.mark_level());
            EXPECT_EQ(d.frames()[seen].audio_level_space, d.space_level());
        }
    }
    EXPECT_EQ(seen, frames.size());
}

// Steady tones: profile B's discriminator reads +1 at mark (1200 Hz), -1 at
// space (2200 Hz) and 0.4 at 1500 Hz, where of nine slicers (offsets -0.5 to
// +0.5) only slicer 0 decides 0. Profile A's slicers all follow the stronger tone.
TEST(AfskSlicer, SteadyTonesAgainstThresholds) {
    struct Case {
        bool profile_b;
        double hz;
        uint32_t ones;  // bit k set when slicer k decides 1
    };
    const Case cases[] = {{true, 1200, 0x1FF},
                          {true, 2200, 0x000},
                          {true, 1500, 0x1FE},
                          {false, 1200, 0x1FF},
                          {false, 2200, 0x000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.profile_b ? "B " : "A ") << c.hz);
        AfskDemodulator d({44100, 1200, 1200, 2200, c.profile_b}, {0, 0});
        d.set_num_slicers(9);
        for (int n = 0; n < 4000; ++n) {
            d.process_sample(
                static_cast<int16_t>(std::lround(8000 * std::sin(2 * M_PI * c.hz * n / 44100))));
        }
        uint32_t ones = 0;
        for (std::size_t k = 0; k < 9; ++k) ones |= d.slicer(k).last_decision << k;
        EXPECT_EQ(ones, c.ones);
    }
}

// White noise over the whole band at Eb/N0 = 16 dB (energy per bit of the tone
// over the one-sided noise density), about 4 dB above where frames start to be
// lost: every frame still decodes.
TEST(AfskNoise, DecodesAtSixteenDbEbN0) {
    const EndToEndCase cases[] = {{44100, false, 1},
                                  {44100, true, 1},
                                  {44100, false, 9},
                                  {48000, true, 9},
                                  {22050, false, 1}};
    for (const EndToEndCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << (c.profile_b ? " B " : " A ") << c.slicers);
        test_support::AfskTones tones;
        tones.sample_rate = c.rate;
        const auto frames = test_frames(6);
        const auto stream = test_support::frame_stream(frames);
        auto wave = test_support::afsk_waveform(stream.levels, tones);
        test_support::add_noise(wave, tones, 16.0, 11 + c.rate);
        AfskDemodulator d({c.rate, 1200, 1200, 2200, c.profile_b}, {0, 0});
        d.set_num_slicers(c.slicers);
        const Decoded decoded = run(d, test_support::to_pcm16(wave));
        const std::vector<int> per_frame = check_frames(decoded, frames, stream, tones, d);
        for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_GE(per_frame[i], 1) << i;
    }
}

// The limiter acts on the input before the prefilter and maps 0 to +1: a
// hard-limited demodulator behaves exactly like a plain one fed +-1.0.
TEST(AfskHardLimit, SignBeforePrefilterZeroIsPositive) {
    test_support::AfskTones tones;
    tones.amplitude = 3;  // small enough that many samples are 0 and -1
    const auto frames = test_frames(2);
    const auto stream = test_support::frame_stream(frames);
    const auto audio = test_support::to_pcm16(test_support::afsk_waveform(stream.levels, tones));
    ASSERT_GT(std::count(audio.begin(), audio.end(), 0), 100);
    ASSERT_GT(std::count(audio.begin(), audio.end(), -1), 100);

    AfskDemodulator limited({44100, 1200, 1200, 2200, false, {.hard_limit = true}}, {0, 0});
    AfskDemodulator plain({44100, 1200, 1200, 2200, false}, {0, 0});
    std::vector<int16_t> signs;
    for (int16_t x : audio) signs.push_back(x < 0 ? -16384 : 16384);  // exactly -1.0 and +1.0
    const Decoded a = run(limited, audio);
    const Decoded b = run(plain, signs);
    EXPECT_EQ(limited.mark_level(), plain.mark_level());
    EXPECT_EQ(limited.space_level(), plain.space_level());
    EXPECT_EQ(a.frames, b.frames);
    EXPECT_EQ(a.frames.size(), frames.size());
}

// After a long digital silence the trackers have decayed into subnormal values
// and stay there; the next signal still decodes. (The peak trackers of nine
// slicers and the one-slicer averages get there within 25 s, the slow level
// trackers within about two minutes.)
TEST(AfskSilence, SignalAfterLongSilenceDecodes) {
    struct Case {
        bool profile_b;
        std::size_t slicers;
        int seconds;
    };
    const Case cases[] = {{false, 1, 130}, {false, 9, 25}, {true, 1, 25}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.profile_b ? "B " : "A ") << c.slicers);
        test_support::AfskTones tones;
        const auto frames = test_frames(3);
        const auto stream = test_support::frame_stream(frames);
        const auto audio =
            test_support::to_pcm16(test_support::afsk_waveform(stream.levels, tones));
        AfskDemodulator d({44100, 1200, 1200, 2200, c.profile_b}, {0, 0});
        d.set_num_slicers(c.slicers);
        run(d, audio);  // a first burst sets the trackers
        const Decoded silence = run(d, std::vector<int16_t>(c.seconds * 44100, 0));
        EXPECT_TRUE(silence.frames.empty());
        if (c.seconds > 100) {
            EXPECT_LT(d.mark_level(), std::numeric_limits<float>::min());
            EXPECT_GT(d.mark_level(), 0.0f);
        }
        const Decoded after = run(d, audio);
        std::vector<int> per_frame(frames.size(), 0);
        for (const auto& f : after.frames) {
            for (std::size_t i = 0; i < frames.size(); ++i) per_frame[i] += f.data == frames[i];
        }
        for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_GE(per_frame[i], 1) << i;
    }
}

TEST(AfskCarrierDetect, RecordsOnAndOffUnlessTurnedOff) {
    test_support::AfskTones tones;
    const auto frames = test_frames(2);
    const auto stream = test_support::frame_stream(frames);
    const auto audio = test_support::to_pcm16(test_support::afsk_waveform(stream.levels, tones));
    const std::vector<int16_t> silence(44100, 0);

    AfskDemodulator kept({44100, 1200, 1200, 2200, false}, {4, 2});
    const Decoded signal = run(kept, audio);
    EXPECT_TRUE(kept.slicer(0).carrier_detect);
    ASSERT_EQ(signal.dcd.size(), 1u);
    EXPECT_EQ(signal.dcd[0], (demod::DcdChange{4, 2, 0, true}));
    ASSERT_EQ(signal.frames.size(), 2u);
    const Decoded quiet = run(kept, silence);
    EXPECT_FALSE(kept.slicer(0).carrier_detect);
    ASSERT_EQ(quiet.dcd.size(), 1u);
    EXPECT_EQ(quiet.dcd[0], (demod::DcdChange{4, 2, 0, false}));

    AfskDemodulator unkept({44100, 1200, 1200, 2200, false, {.keep_dcd_changes = false}}, {4, 2});
    EXPECT_FALSE(unkept.keeps_dcd_changes());
    const Decoded signal2 = run(unkept, audio);
    EXPECT_TRUE(unkept.slicer(0).carrier_detect);
    EXPECT_EQ(signal2.frames, signal.frames);
    run(unkept, silence);
    EXPECT_FALSE(unkept.slicer(0).carrier_detect);
    EXPECT_TRUE(unkept.dcd_changes().empty());
}

// Round trip with the project's own transmit audio: flags, frame and AFSK from
// tx::build_samples decode to the same frame, once.
TEST(AfskRoundTrip, TransmitAudioDecodes) {
    const EndToEndCase cases[] = {
        {44100, false, 1}, {48000, true, 1}, {22050, false, 9}, {8000, true, 1}};
    for (const EndToEndCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << (c.profile_b ? " B " : " A ") << c.slicers);
        const auto frames = test_frames(2);
        std::vector<int16_t> audio;
        for (const auto& frame : frames) {
            auto samples = tx::build_samples(frame, 200, 50, c.rate, 1200, 1200, 2200);
            ASSERT_TRUE(samples.ok()) << samples.error_text();
            audio.insert(audio.end(), samples->begin(), samples->end());
        }
        audio.resize(audio.size() + c.rate / 10, 0);
        AfskDemodulator d({c.rate, 1200, 1200, 2200, c.profile_b}, {0, 0});
        d.set_num_slicers(c.slicers);
        const Decoded decoded = run(d, audio);
        std::vector<std::map<uint64_t, int>> copies(frames.size());
        for (const auto& f : decoded.frames) {
            bool known = false;
            for (std::size_t i = 0; i < frames.size(); ++i) {
                if (f.data == frames[i]) {
                    known = true;
                    EXPECT_EQ(++copies[i][f.slice], 1) << "frame " << i << " slicer " << f.slice;
                }
            }
            EXPECT_TRUE(known);
        }
        for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_FALSE(copies[i].empty()) << i;
    }
}

}  // namespace

// The quiet-sample fast path against the plain per-slicer loop, sample by
// sample, over long noisy frame traffic with stretches of noise only: the same
// slicer states, frames, carrier-detect records and levels throughout. Some
// cases change the slicer count halfway: the slicers beyond it keep their
// states and stand still, and rejoin with them.
TEST(AfskQuietPath, MatchesPlainSlicerLoop) {
    struct Case {
        bool profile_b;
        std::size_t slicers;
        bool hard_limit;
        std::size_t slicers_later = 0;  // 0: no change
    };
    const Case cases[] = {{false, 1, false},    {false, 9, false},   {false, 9, true},
                          {true, 1, false},     {true, 9, false},    {false, 4, false},
                          {false, 9, false, 3}, {true, 3, false, 9}, {false, 1, false, 9}};
    test_support::AfskTones tones;
    const auto stream = test_support::frame_stream(test_frames(12), 32, 40, 200);
    std::vector<double> wave = test_support::afsk_waveform(stream.levels, tones);
    wave.insert(wave.begin(), 20000, 0.0);
    test_support::add_noise(wave, tones, 11, 3);
    const std::vector<int16_t> audio = test_support::to_pcm16(wave);

    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "profile_b " << c.profile_b << " slicers " << c.slicers << " hard limit "
                     << c.hard_limit << " later " << c.slicers_later);
        const demod_afsk::AfskOptions options{.num_slicers = c.slicers, .hard_limit = c.hard_limit};
        AfskDemodulator fast({44100, 1200, 1200, 2200, c.profile_b, options}, {1, 0});
        AfskDemodulator plain({44100, 1200, 1200, 2200, c.profile_b, options}, {1, 0});
        plain.set_plain_slicers(true);
        std::size_t frames = 0;
        for (std::size_t i = 0; i < audio.size(); ++i) {
            if (i == audio.size() / 2 && c.slicers_later != 0) {
                fast.set_num_slicers(c.slicers_later);
                plain.set_num_slicers(c.slicers_later);
            }
            fast.process_sample(audio[i]);
            plain.process_sample(audio[i]);
            bool same = fast.mark_level() == plain.mark_level() &&
                        fast.space_level() == plain.space_level() &&
                        fast.frames() == plain.frames() &&
                        fast.dcd_changes() == plain.dcd_changes();
            for (std::size_t k = 0; k < demod_afsk::MAX_SLICERS; ++k) {
                const SlicerState& a = fast.slicer(k);
                const SlicerState& b = plain.slicer(k);
                same = same && a.correction_sum == b.correction_sum &&
                       a.clock_phase == b.clock_phase && a.bit_count == b.bit_count &&
                       a.last_decision == b.last_decision &&
                       a.carrier_history == b.carrier_history && a.good_history == b.good_history &&
                       a.bad_history == b.bad_history && a.good_flag == b.good_flag &&
                       a.bad_flag == b.bad_flag && a.carrier_detect == b.carrier_detect;
            }
            ASSERT_TRUE(same) << "first difference at sample " << i;
            frames += fast.take_frames().size();
            (void)plain.take_frames();
        }
        // The traffic was decoded, so bit times, crossings and frames all occurred.
        EXPECT_GE(frames, 2u);
        EXPECT_FALSE(fast.dcd_changes().empty());
    }
}

// The filters computed the plain way, per the definitions: each sample pushed,
// every output a strict tap-order convolution of the whole history. The
// demodulator's levels (mark and space lines) and, in profile B, its one-slicer
// decision (centre lines) must follow this chain at every sample, from the
// first on, whatever the tap counts (down to 3 low-pass taps, up to 479).
TEST(AfskFilters, ChainFollowsDirectConvolutionAtEverySample) {
    struct Case {
        uint32_t rate, baud;
        bool profile_b, hard_limit;
    };
    const Case cases[] = {
        {44100, 1200, false, false}, {44100, 1200, true, false}, {8000, 9600, true, false},
        {8000, 4800, false, true},   {192000, 50, false, false}, {96000, 300, true, false},
    };
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> value(-20000, 20000);
    for (const Case& c : cases) {
        AfskDemodulator demod({c.rate, c.baud, 1200, 2200, c.profile_b, {.hard_limit = c.hard_limit}}, {0, 0});
        const auto pre_taps = demod.prefilter_taps();
        const auto low_taps = demod.lowpass_taps();
        std::array<float, 256> table;
        for (std::size_t k = 0; k < 256; ++k)
            table[k] = std::cos(static_cast<float>(2 * k) * 3.1415927f / 256.0f);
        filter_buf::FilterBuf pre;
        filter_buf::FilterBuf lines[6];  // mark I, Q; space I, Q; centre I, Q
        uint32_t phases[3] = {0, 0, 0};
        const uint32_t increments[3] = {demod.mark_increment(), demod.space_increment(),
                                        demod.centre_increment()};
        float levels[2] = {c.profile_b ? -1.0f : 0.0f, c.profile_b ? -1.0f : 0.0f};
        float previous_angle = 0.0f;
        std::size_t decisions_checked = 0;
        for (int n = 0; n < 3000; ++n) {
            const auto sample = static_cast<int16_t>(value(rng));
            demod.process_sample(sample);

            float x = static_cast<float>(sample) / 16384.0f;
            if (c.hard_limit) x = x < 0 ? -1.0f : 1.0f;
            pre.push(x);
            const float y = pre.convolve(pre_taps);
            float out[6];
            for (std::size_t o = 0; o < 3; ++o) {
                const uint32_t j = phases[o] >> 24;
                phases[o] += increments[o];
                lines[2 * o].push(y * table[j]);
                lines[2 * o + 1].push(y * table[(j + 192) & 255]);
                out[2 * o] = lines[2 * o].convolve(low_taps);
                out[2 * o + 1] = lines[2 * o + 1].convolve(low_taps);
            }
            for (std::size_t t = 0; t < 2; ++t) {
                const float mag =
                    std::sqrt(out[2 * t] * out[2 * t] + out[2 * t + 1] * out[2 * t + 1]);
                const float k = mag < levels[t] ? 0.000018f : 0.14f;
                levels[t] = mag * k + levels[t] * (1.0f - k);
            }
            const std::string where = std::to_string(c.rate) + "/" + std::to_string(c.baud) +
                                      (c.profile_b ? " B" : " A") + " sample " + std::to_string(n);
            ASSERT_NEAR(demod.mark_level(), levels[0], std::fabs(levels[0]) * 1e-4f + 1e-7f)
                << where;
            ASSERT_NEAR(demod.space_level(), levels[1], std::fabs(levels[1]) * 1e-4f + 1e-7f)
                << where;
            if (c.profile_b) {
                const float angle = std::atan2(out[5], out[4]);
                float d = angle - previous_angle;
                if (d > 3.1415927f) d -= 6.2831855f;
                if (d < -3.1415927f) d += 6.2831855f;
                previous_angle = angle;
                const float v = d * demod.discriminator_gain();
                if (std::fabs(v) > 0.01f) {
                    ASSERT_EQ(demod.slicer(0).last_decision, v > 0 ? 1u : 0u) << where;
                    ++decisions_checked;
                }
            }
        }
        if (c.profile_b) {
            EXPECT_GT(decisions_checked, 2500u);
        }
    }
}
