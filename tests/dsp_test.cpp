#include "dsp.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

namespace {

// Response magnitude of a filter at normalised frequency f, in double precision.
double response(const std::vector<float>& taps, double f) {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < taps.size(); ++i) {
        re += taps[i] * std::cos(2 * M_PI * f * static_cast<double>(i));
        im -= taps[i] * std::sin(2 * M_PI * f * static_cast<double>(i));
    }
    return std::hypot(re, im);
}

TEST(DspWindow, Shapes) {
    for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(dsp::window(0, 7, i), 1.0f);
    // Cosine: exactly 1 at the centre of an odd length, divisor n at the ends.
    EXPECT_EQ(dsp::window(1, 7, 3), 1.0f);
    EXPECT_NEAR(dsp::window(1, 7, 0), std::cos(M_PI * 3.0 / 7.0), 1e-6);
    EXPECT_NEAR(dsp::window(2, 9, 0), 0.53836 - 0.46164, 1e-6);
    EXPECT_NEAR(dsp::window(2, 9, 4), 0.53836 + 0.46164, 1e-6);
    EXPECT_NEAR(dsp::window(3, 9, 0), 0.42659 - 0.49656 + 0.076849, 1e-6);
    EXPECT_NEAR(dsp::window(3, 9, 4), 0.42659 + 0.49656 + 0.076849, 1e-6);
    EXPECT_NEAR(dsp::window(4, 9, 0), 1 - 1.93 + 1.29 - 0.388 + 0.028, 1e-6);
    EXPECT_NEAR(dsp::window(4, 9, 4), 1 + 1.93 + 1.29 + 0.388 + 0.028, 1e-5);
    for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(dsp::window(255, 9, i), dsp::window(4, 9, i));
}

TEST(DspBandpass, HalfGainAtCentreAndSymmetric) {
    struct Case {
        std::size_t n;
        uint8_t window;
        float f_lo, f_hi;
    };
    const Case cases[] = {{383, 0, 0.0229932f, 0.0541043f},
                          {297, 1, 0.0278958f, 0.0429375f},
                          {53, 0, -0.006f, 0.0666f},
                          {3, 0, 0.1f, 0.2f},
                          {480, 2, 0.05f, 0.15f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        std::vector<float> taps(c.n);
        dsp::gen_bandpass(taps, c.window, c.f_lo, c.f_hi);
        EXPECT_NEAR(response(taps, (c.f_lo + c.f_hi) / 2), 0.5, 1e-4);
        for (std::size_t i = 0; i < c.n; ++i) {
            ASSERT_TRUE(std::isfinite(taps[i]));
            EXPECT_NEAR(taps[i], taps[c.n - 1 - i], 1e-6);
        }
    }
    // A wide pass band passes its middle and stops far outside it.
    std::vector<float> taps(383);
    dsp::gen_bandpass(taps, 0, 0.0229932f, 0.0541043f);
    EXPECT_LT(response(taps, 0.15), 0.01);
}

TEST(DspBandpass, TinyGainLeavesTapsUnscaled) {
    // An empty band gives zero taps and a zero gain sum: nothing is divided.
    std::array<float, 5> taps{};
    dsp::gen_bandpass(taps, 0, 0.1f, 0.1f);
    for (float t : taps) EXPECT_EQ(t, 0.0f);
    // A NaN edge makes the gain sum NaN; the design neither traps nor scales.
    std::array<float, 5> nan_taps{};
    dsp::gen_bandpass(nan_taps, 0, 0.1f, std::nanf(""));
    EXPECT_TRUE(std::isnan(nan_taps[0]));
}

TEST(DspRaisedCosine, UnitGainAndSingularPoint) {
    std::vector<float> taps(103);
    dsp::gen_raised_cosine_lowpass(taps, 36.75f, 0.2f);
    double sum = 0;
    for (float t : taps) sum += t;
    EXPECT_NEAR(sum, 1.0, 1e-5);
    EXPECT_EQ(taps[0], taps[102]);
    EXPECT_GT(taps[51], taps[50]);

    // beta 0.2 and 2 samples per symbol: tap 10 of 11 sits at t = 2.5, where
    // beta * t = 0.5 and the pulse takes its limit sinc(2.5) * pi / 4, one tenth
    // of the centre tap.
    std::vector<float> singular(11);
    dsp::gen_raised_cosine_lowpass(singular, 2.0f, 0.2f);
    for (float t : singular) ASSERT_TRUE(std::isfinite(t));
    EXPECT_NEAR(singular[10] / singular[5], 0.1, 1e-6);
    EXPECT_NEAR(singular[0] / singular[5], 0.1, 1e-6);

    std::vector<float> one(1);
    dsp::gen_raised_cosine_lowpass(one, 0.5f, 0.4f);
    EXPECT_EQ(one[0], 1.0f);
}

TEST(DspTapCount, RuleOddCappedAndFloored) {
    struct Case {
        float length;
        uint32_t rate, baud;
        std::size_t taps;
    };
    const Case cases[] = {
        {10.421769f, 44100, 1200, 383},
        {2.8f, 44100, 1200, 103},
        {8.163f, 44100, 1200, 299},
        {2.0f, 44100, 1200, 73},
        {2.8f, 48000, 1200, 113},
        {1.857f, 48000, 300, 297},
        {2.8f, 48000, 300, 449},
        {1.857f, 44100, 521, 157},
        {2.8f, 48000, 9600, 15},
        {1.857f, 48000, 50, 479},  // above 480 gives 479
        {2.8f, 0, 1200, 3},        // zero rate: raised to 3
        {2.0f, 8000, 9600, 3},     // baud above the rate
        {2.0f, 8000, 0, 479},      // zero baud: infinite length, capped
        {0.0f, 0, 0, 3},           // NaN length: 0, raised to 3
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dsp::afsk_tap_count(c.length, c.rate, c.baud), c.taps)
            << c.length << " " << c.rate << " " << c.baud;
    }
}

}  // namespace
