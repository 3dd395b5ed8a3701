#include "tx/tx.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/tx_reference.h"
#include "tx/afsk_mod.h"

TEST(TxBuild, FlagCountsCoverTheDelay) {
    struct Case {
        uint32_t baud, ms;
        uint64_t flags;
    };
    const Case cases[] = {
        {1200, 300, 45}, {1200, 100, 15},
        {1200, 1, 1},    {1200, 0, 0},
        {0, 300, 0},     {300, 300, 12},
        {9600, 10, 12},  {UINT32_MAX, UINT32_MAX, 2305843008139953},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tx::flag_count(c.baud, c.ms), c.flags) << c.baud << " " << c.ms;
}

TEST(TxBuild, GoldenFramesAt44100And48000) {
    std::mt19937 rng(11);
    std::vector<uint8_t> data(20);
    for (uint8_t& b : data) b = rng() & 0xFF;
    data[3] = 0xFF;
    // 10 ms and 5 ms at 1200 baud: 2 flags before, 1 after.
    for (uint32_t rate : {44100u, 48000u}) {
        auto samples = tx::build_samples(data, 10, 5, rate, 1200, 1200, 2200);
        ASSERT_TRUE(samples.ok());
        const std::vector<uint8_t> levels = tx_reference::encode(data, 2, 1);
        EXPECT_EQ(*samples, tx_reference::modulate(levels, rate, 1200, 1200, 2200)) << rate;
        EXPECT_EQ(samples->size(), levels.size() * rate / 1200);
        EXPECT_EQ(samples->front(), 0);
    }
}

TEST(TxBuild, FirstBitOfTheLeadingFlagIsMark) {
    // At 48000 Hz a 1200 Hz mark bit is one whole cycle; a 2200 Hz space bit is
    // not.
    auto samples = tx::build_samples({}, 1, 1, 48000, 1200, 1200, 2200);
    auto mark = afsk_mod::modulate(std::vector<uint8_t>{1}, 48000, 1200, 1200, 2200);
    ASSERT_TRUE(samples.ok() && mark.ok());
    EXPECT_EQ(std::vector<int16_t>(samples->begin(), samples->begin() + 40), *mark);
}

TEST(TxBuild, ZeroRateOrBaudIsTxError) {
    for (auto [rate, baud] : {std::pair{0u, 1200u}, std::pair{48000u, 0u}}) {
        auto samples =
            tx::build_samples(std::vector<uint8_t>{1, 2, 3}, 300, 100, rate, baud, 1200, 2200);
        ASSERT_FALSE(samples.ok());
        EXPECT_EQ(samples.error_text(), "sample rate must be non-zero");
        EXPECT_EQ(samples.error_text(), tx::TxError().text);
    }
}

TEST(TxBuild, RefusesAudioLongerThan300Seconds) {
    // 1200 Hz at 1200 baud: one sample per bit, limit 360000. Empty data has a
    // 16-bit FCS, so 44998 flags make exactly 360000 samples.
    auto at_limit = tx::build_samples({}, 299'985, 0, 1200, 1200, 1200, 2200);
    ASSERT_TRUE(at_limit.ok());
    EXPECT_EQ(at_limit->size(), 360000u);
    auto over = tx::build_samples({}, 299'990, 0, 1200, 1200, 1200, 2200);
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.error_text(), "signal too long: 360008 samples exceeds the limit of 360000");

    // An absurd txdelay is refused before anything is built: 644245095 + 15
    // flags and 16 FCS bits at 40 samples a bit.
    auto absurd = tx::build_samples({}, UINT32_MAX, 100, 48000, 1200, 1200, 2200);
    ASSERT_FALSE(absurd.ok());
    EXPECT_EQ(absurd.error_text(),
              "signal too long: 206158435840 samples exceeds the limit of 14400000");
}

TEST(TxBuild, RefusesMoreBitsThan300SecondsOfSamples) {
    // At 2400 baud and 1200 Hz a bit is half a sample: 44998 flags and the FCS
    // are 360000 bits (180000 samples), the limit; one flag more is refused.
    auto at_limit = tx::build_samples({}, 149'993, 0, 1200, 2400, 1200, 2200);
    ASSERT_TRUE(at_limit.ok());
    EXPECT_EQ(at_limit->size(), 180000u);
    auto over = tx::build_samples({}, 149'995, 0, 1200, 2400, 1200, 2200);
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.error_text(), "signal too long: 360008 bits exceeds the limit of 360000");

    // A huge baud at the default delays: a few thousand samples, but more than
    // a billion bits, refused before they are built.
    auto absurd = tx::build_samples({}, 300, 100, 8000, 4'000'000'000u, 1200, 2200);
    ASSERT_FALSE(absurd.ok());
    EXPECT_EQ(absurd.error_text(), "signal too long: 1600000016 bits exceeds the limit of 2400000");
}
