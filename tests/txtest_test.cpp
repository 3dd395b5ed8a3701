#include "txtest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <set>
#include <string>
#include <vector>

namespace {

using txtest::Segment;

constexpr float kTwoPi = 2.0f * std::numbers::pi_v<float>;
constexpr Segment kDot{1, true};
constexpr Segment kDash{3, true};
constexpr Segment kGap{1, false};
constexpr Segment kCharGap{3, false};
constexpr Segment kWordGap{7, false};

// A tone burst at phase 0, with raised-cosine ramps of r samples, written out
// from the formulas.
std::vector<int16_t> expected_burst(size_t n, float freq_hz, uint32_t rate, size_t r) {
    const float w = freq_hz * kTwoPi / static_cast<float>(rate);
    std::vector<int16_t> out(n);
    for (size_t j = 0; j < n; ++j) {
        out[j] = static_cast<int16_t>(
            std::trunc(txtest::kAmplitude * std::sin(w * static_cast<float>(j))));
    }
    for (size_t k = 0; k < r; ++k) {
        const float g = (1.0f - std::cos(static_cast<float>(k) * std::numbers::pi_v<float> /
                                         static_cast<float>(r))) /
                        2.0f;
        out[k] = static_cast<int16_t>(std::trunc(g * out[k]));
        out[n - 1 - k] = static_cast<int16_t>(std::trunc(g * out[n - 1 - k]));
    }
    return out;
}

}  // namespace

TEST(MorseTable, KeysFortyOneCharactersWithDistinctPatterns) {
    std::set<std::string_view> patterns;
    int keyed = 0;
    for (int c = 0; c < 256; ++c) {
        const std::string_view p = txtest::morse_pattern(static_cast<char>(c));
        if (p.empty()) continue;
        ++keyed;
        patterns.insert(p);
        EXPECT_EQ(p.find_first_not_of(".-"), std::string_view::npos) << c;
    }
    EXPECT_EQ(keyed, 41);
    EXPECT_EQ(patterns.size(), 41u);
    // Digits: five elements; 1-5 start with d dots, 6-9 end with 10 - d dots, 0 has none.
    for (int d = 0; d <= 9; ++d) {
        std::string expected;
        for (int i = 0; i < 5; ++i) expected += (d <= 5 ? i < d : i >= d - 5) ? '.' : '-';
        EXPECT_EQ(txtest::morse_pattern(static_cast<char>('0' + d)), expected) << d;
    }
    EXPECT_EQ(txtest::morse_pattern(','), "--..--");
    EXPECT_EQ(txtest::morse_pattern('-'), "-....-");
    EXPECT_EQ(txtest::morse_pattern('.'), ".-.-.-");
    EXPECT_EQ(txtest::morse_pattern('/'), "-..-.");
    EXPECT_EQ(txtest::morse_pattern('?'), "..--..");
    EXPECT_EQ(txtest::morse_pattern('Q'), "--.-");
    EXPECT_EQ(txtest::morse_pattern('Y'), "-.--");
    for (char c : std::string("@'()=+\"!#:;_a "))
        EXPECT_TRUE(txtest::morse_pattern(c).empty()) << c;
}

TEST(MorseTiming, SegmentsOfCallsigns) {
    struct Case {
        std::string callsign;
        std::vector<Segment> segments;
    };
    const Case cases[] = {
        {"E E", {kDot, kWordGap, kDot}},
        {"E ", {kDot, kWordGap}},
        {" E", {kDot}},
        {"E  E", {kDot, kWordGap, kDot}},
        {"ET", {kDot, kCharGap, kDash}},
        {"A", {kDot, kGap, kDash}},
        {"e", {kDot}},
        {"E@E", {kDot, kCharGap, kDot}},  // skipped characters keep the flag
        {"E @E", {kDot, kWordGap, kDot}},
        {"E\xC3\x89"
         "E",
         {kDot, kCharGap, kDot}},  // a non-ASCII character is skipped
        {"", {}},
        {"   ", {}},
        {"@#!", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(txtest::cw_segments(c.callsign), c.segments) << c.callsign;
    EXPECT_EQ(txtest::cw_segments("n0call/p"), txtest::cw_segments("N0CALL/P"));
}

TEST(MorseTiming, UnitLength) {
    EXPECT_EQ(txtest::cw_unit_samples(48000, 20), 2880u);  // 60 ms
    EXPECT_EQ(txtest::cw_unit_samples(48000, 1), 57600u);
    EXPECT_EQ(txtest::cw_unit_samples(48000, 0), 57600u);
    EXPECT_EQ(txtest::cw_unit_samples(44100, 13), 4071u);  // 4070.77 rounds up
    EXPECT_EQ(txtest::cw_unit_samples(44100, 15), 3528u);
}

TEST(CwSamples, DotWordGapDot) {
    const uint32_t rate = 48000;
    auto out = txtest::cw_samples("E e", rate, 20, 700.0f);
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out->size(), 9u * 2880);
    // Each dot is its own ramped burst (5 ms = 240 samples) starting at phase 0.
    const std::vector<int16_t> dot = expected_burst(2880, 700.0f, rate, 240);
    EXPECT_EQ(std::vector<int16_t>(out->begin(), out->begin() + 2880), dot);
    EXPECT_EQ(std::vector<int16_t>(out->end() - 2880, out->end()), dot);
    for (size_t i = 2880; i < 8 * 2880; ++i) ASSERT_EQ((*out)[i], 0) << i;
    EXPECT_EQ(out->front(), 0);
    EXPECT_EQ(out->back(), 0);

    auto trailing = txtest::cw_samples("E ", rate, 20, 700.0f);
    ASSERT_TRUE(trailing.ok());
    EXPECT_EQ(trailing->size(), 8u * 2880);
    auto leading = txtest::cw_samples(" E", rate, 20, 700.0f);
    ASSERT_TRUE(leading.ok());
    EXPECT_EQ(*leading, dot);
}

TEST(CwSamples, ShortDotsAreRampedOverHalfTheirLength) {
    // 200 wpm at 48000 Hz: 288-sample (6 ms) dots, ramped over 144 on each side.
    auto out = txtest::cw_samples("I", 48000, 200, 1000.0f);
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out->size(), 3u * 288);
    const std::vector<int16_t> dot = expected_burst(288, 1000.0f, 48000, 144);
    EXPECT_EQ(std::vector<int16_t>(out->begin(), out->begin() + 288), dot);
    EXPECT_EQ(std::vector<int16_t>(out->end() - 288, out->end()), dot);
    EXPECT_EQ((*out)[287], 0);
}

TEST(CwSamples, EmptyForNothingKeyed) {
    for (const char* callsign : {"", "   ", "@#!"}) {
        auto out = txtest::cw_samples(callsign, 48000, 20, 700.0f);
        ASSERT_TRUE(out.ok());
        EXPECT_TRUE(out->empty()) << callsign;
    }
}

TEST(Ramps, RaisedCosineAtBothEnds) {
    std::vector<int16_t> burst(1000, 10000);
    txtest::apply_ramps(burst, 240);
    EXPECT_EQ(burst.front(), 0);
    EXPECT_EQ(burst.back(), 0);
    EXPECT_EQ(burst[120], 5000);  // half way up the ramp
    for (size_t k = 0; k < 240; ++k) {
        EXPECT_EQ(burst[k], burst[999 - k]) << k;
        if (k > 0) {
            EXPECT_GE(burst[k], burst[k - 1]) << k;
        }
    }
    for (size_t i = 240; i < 760; ++i) ASSERT_EQ(burst[i], 10000) << i;

    // Short bursts: half the length each side, an odd centre left alone.
    std::vector<int16_t> five(5, -8000);
    txtest::apply_ramps(five, 240);
    EXPECT_EQ(five, (std::vector<int16_t>{0, -4000, -8000, -4000, 0}));

    EXPECT_EQ(txtest::ramp_samples(48000), 240u);
    EXPECT_EQ(txtest::ramp_samples(44100), 220u);  // 220.5 truncated
    EXPECT_EQ(txtest::ramp_samples(8000), 40u);
}

TEST(ToneSamples, LengthsAndShape) {
    auto none = txtest::tone_samples(8000, 0, 1000.0f);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());
    auto below = txtest::tone_samples(999, 1, 1000.0f);  // 0.999 samples
    ASSERT_TRUE(below.ok());
    EXPECT_TRUE(below->empty());

    auto half_second = txtest::tone_samples(48000, 500, 1200.0f);
    ASSERT_TRUE(half_second.ok());
    EXPECT_EQ(*half_second, expected_burst(24000, 1200.0f, 48000, 240));
    EXPECT_EQ(half_second->front(), 0);
    EXPECT_EQ(half_second->back(), 0);
}

TEST(ToneSamples, NonFiniteFrequencyGivesSilence) {
    for (float f : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max()}) {
        auto out = txtest::tone_samples(8000, 100, f);
        ASSERT_TRUE(out.ok());
        EXPECT_EQ(*out, std::vector<int16_t>(800, 0)) << f;
        auto cw = txtest::cw_samples("T", 8000, 20, f);
        ASSERT_TRUE(cw.ok());
        EXPECT_EQ(*cw, std::vector<int16_t>(3 * 480, 0)) << f;
    }
}

TEST(AlternatingSamples, SwitchesEveryPeriodWithContinuousPhase) {
    // 8000 Hz: alt_period 0 means 1 ms = 8 samples per tone.
    const uint32_t rate = 8000;
    auto out = txtest::alternating_samples(rate, 100, 0, 1000.0f, 2000.0f);
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out->size(), 800u);
    std::vector<int16_t> expected(800);
    float phase = 0.0f;
    for (size_t i = 0; i < 800; ++i) {
        const float f = (i / 8) % 2 == 0 ? 1000.0f : 2000.0f;
        phase = std::fmod(phase + f * kTwoPi / static_cast<float>(rate), kTwoPi);
        expected[i] = static_cast<int16_t>(std::trunc(txtest::kAmplitude * std::sin(phase)));
    }
    // Before the ramp, sample 0 is already one step into the first tone.
    EXPECT_EQ(expected[0], static_cast<int16_t>(std::trunc(txtest::kAmplitude *
                                                           std::sin(1000.0f * kTwoPi / 8000.0f))));
    txtest::apply_ramps(expected, 40);
    EXPECT_EQ(*out, expected);
    EXPECT_EQ(out->front(), 0);

    // A period longer than the signal never switches (and does not overflow).
    auto one_tone = txtest::alternating_samples(rate, 100, UINT32_MAX, 1000.0f, 2000.0f);
    auto same = txtest::alternating_samples(rate, 100, 1000, 1000.0f, 1000.0f);
    ASSERT_TRUE(one_tone.ok() && same.ok());
    EXPECT_EQ(*one_tone, *same);
}

TEST(AlternatingSamples, NonFiniteToneIsSilentWhileTheOtherSounds) {
    auto out = txtest::alternating_samples(8000, 100, 10, 1000.0f,
                                           std::numeric_limits<float>::quiet_NaN());
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out->size(), 800u);
    int sounding = 0;
    for (size_t i = 0; i < 800; ++i) {
        if ((i / 80) % 2 == 1) {
            ASSERT_EQ((*out)[i], 0) << i;
        } else if ((*out)[i] != 0) {
            ++sounding;
        }
    }
    EXPECT_GT(sounding, 250);  // 400 samples of 1000 Hz, a quarter of them on zero crossings
}

TEST(TestSignals, RefuseSignalsLongerThan300Seconds) {
    auto at_limit = txtest::tone_samples(100, 300'009, 10.0f);  // 30000 samples
    ASSERT_TRUE(at_limit.ok());
    EXPECT_EQ(at_limit->size(), 30000u);
    auto tone = txtest::tone_samples(100, 300'010, 10.0f);
    ASSERT_FALSE(tone.ok());
    EXPECT_EQ(tone.error_text(), "signal too long: 30001 samples exceeds the limit of 30000");

    auto huge = txtest::tone_samples(UINT32_MAX, UINT32_MAX, 1000.0f);
    ASSERT_FALSE(huge.ok());
    EXPECT_EQ(huge.error_text(),
              "signal too long: 18446744065119617 samples exceeds the limit of 1288490188500");

    auto alt = txtest::alternating_samples(UINT32_MAX, UINT32_MAX, UINT32_MAX, 1.0f, 2.0f);
    ASSERT_FALSE(alt.ok());
    EXPECT_EQ(alt.error_text(), huge.error_text());

    // wpm 0 at 48000 Hz: 57600 samples a unit, so 250 units fit; 100 E's are
    // 100 dots and 99 gaps of 3 units.
    auto cw = txtest::cw_samples(std::string(100, 'E'), 48000, 0, 700.0f);
    ASSERT_FALSE(cw.ok());
    EXPECT_EQ(cw.error_text(), "signal too long: 22867200 samples exceeds the limit of 14400000");
}
