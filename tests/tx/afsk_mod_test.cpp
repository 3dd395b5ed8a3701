#include "tx/afsk_mod.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/tx_reference.h"

namespace {

std::vector<uint8_t> random_levels(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> levels(n);
    for (uint8_t& l : levels) l = rng() & 1;
    return levels;
}

}  // namespace

TEST(AfskMod, SineTableIsRoundedQuarterWaveSymmetric) {
    const afsk_mod::SineTable t = afsk_mod::sine_table();
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[32], 11585);  // 16384 x sin(pi/4) = 11585.24
    EXPECT_EQ(t[64], 16384);
    EXPECT_EQ(t[128], 0);
    EXPECT_EQ(t[192], -16384);
    EXPECT_EQ(t[1], 402);  // 16384 x sin(2 pi / 256) = 402.09
    for (int k = 1; k < 128; ++k) EXPECT_EQ(t[256 - k], -t[k]) << k;
}

TEST(AfskMod, BitLengthsFollowTheFixedPointClock) {
    struct Case {
        uint32_t rate;
        std::vector<size_t> bit_lengths;  // repeating pattern
    };
    const Case cases[] = {{44100, {36, 37, 37, 37}}, {48000, {40}}, {9600, {8}}};
    for (const Case& c : cases) {
        // The output of the first k levels is a prefix of the output of k + 1.
        size_t previous = 0;
        for (size_t k = 1; k <= 16; ++k) {
            auto samples = afsk_mod::modulate(std::vector<uint8_t>(k, 1), c.rate, 1200, 1200, 2200);
            ASSERT_TRUE(samples.ok());
            EXPECT_EQ(samples->size() - previous, c.bit_lengths[(k - 1) % c.bit_lengths.size()])
                << c.rate << " bit " << k;
            previous = samples->size();
        }
    }
}

TEST(AfskMod, SampleCountMatchesOutputForUnevenRates) {
    const std::vector<uint8_t> levels = random_levels(1001, 7);
    const uint32_t rates[][2] = {{8000, 1200},  {11025, 1200}, {22050, 300},
                                 {44100, 9600}, {7, 1200},     {48000, 7}};
    for (auto [rate, baud] : rates) {
        auto samples = afsk_mod::modulate(levels, rate, baud, 1200, 2200);
        ASSERT_TRUE(samples.ok());
        EXPECT_EQ(samples->size(), afsk_mod::sample_count(levels.size(), rate, baud))
            << rate << "/" << baud;
    }
    EXPECT_EQ(afsk_mod::sample_count(1000, 7, 1200), 5u);  // 1000 x 7 / 1200 = 5.83
    EXPECT_EQ(afsk_mod::sample_count(uint64_t{1} << 60, UINT32_MAX, 1), UINT64_MAX);
}

TEST(AfskMod, MatchesReferenceSampleForSample) {
    const std::vector<uint8_t> levels = random_levels(300, 1);
    for (uint32_t rate : {44100u, 48000u}) {
        auto samples = afsk_mod::modulate(levels, rate, 1200, 1200, 2200);
        ASSERT_TRUE(samples.ok());
        EXPECT_EQ(*samples, tx_reference::modulate(levels, rate, 1200, 1200, 2200)) << rate;
        EXPECT_EQ(samples->front(), 0);
    }
}

TEST(AfskMod, PhaseRunsOnAcrossBitBoundaries) {
    // 48000 Hz, 1200 Hz mark: 40 samples per bit and per cycle. A second mark
    // bit continues the cycle; a space bit in between shifts the phase on.
    const afsk_mod::SineTable t = afsk_mod::sine_table();
    auto two_marks = afsk_mod::modulate(std::vector<uint8_t>{1, 1}, 48000, 1200, 1200, 2200);
    ASSERT_TRUE(two_marks.ok());
    ASSERT_EQ(two_marks->size(), 80u);
    const uint32_t inc = static_cast<uint32_t>((uint64_t{1200} << 32) / 48000);
    uint32_t phase = 0;
    for (size_t s = 0; s < 80; ++s, phase += inc) EXPECT_EQ((*two_marks)[s], t[phase >> 24]) << s;
}

TEST(AfskMod, RefusesZeroRateOrBaudAndOversizedSignals) {
    const std::vector<uint8_t> levels(10, 1);
    for (auto [rate, baud] : {std::pair{0u, 1200u}, std::pair{48000u, 0u}, std::pair{0u, 0u}}) {
        auto samples = afsk_mod::modulate(levels, rate, baud, 1200, 2200);
        ASSERT_FALSE(samples.ok());
        EXPECT_EQ(samples.error_text(), "sample rate must be non-zero");
    }
    // 1000 samples per bit at 1000 Hz: 300 levels are exactly 300 s, 301 too many.
    EXPECT_TRUE(afsk_mod::modulate(std::vector<uint8_t>(300, 0), 1000, 1, 1, 2).ok());
    auto too_long = afsk_mod::modulate(std::vector<uint8_t>(301, 0), 1000, 1, 1, 2);
    ASSERT_FALSE(too_long.ok());
    EXPECT_EQ(too_long.error_text(), "signal too long: 301000 samples exceeds the limit of 300000");
}
