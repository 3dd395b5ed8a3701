#include "modem/levels.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(ReceiveGainAndLevel, EqualSamplesThroughTheGainStage) {
    // 960 equal samples: (gain dB, sample) -> (each output, clipping, peak = RMS dBFS).
    struct Case {
        float gain_db;
        int16_t sample;
        int16_t output;
        bool clipping;
        float dbfs;
    };
    const Case cases[] = {
        {0.0f, 32767, 32767, false, -0.00027f},   {6.0f, 32767, 31578, false, -0.3213f},
        {12.0f, 32767, 32745, true, -0.0061f},    {-6.0f, 32767, 16422, false, -6.0005f},
        {0.1f, 32767, 25113, false, -2.3110f},    {0.0f, -32768, -32768, false, 0.0f},
        {1e-7f, -32768, -32768, false, 0.0f},     {-1e-7f, 5, 5, false, -60.0f},
        {-60.0f, 100, 0, false, -60.0f},          {6.0f, -32768, -31578, false, -0.3213f},
        {-6.0f, -32767, -16422, false, -6.0005f}, {12.0f, 0, 0, false, -60.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.gain_db << " dB on " << c.sample);
        std::vector<int16_t> block(960, c.sample);
        EXPECT_EQ(modem::apply_rx_gain(block, c.gain_db), c.clipping);
        EXPECT_EQ(block, std::vector<int16_t>(960, c.output));
        const modem::BlockLevel level = modem::measure_block_level(block);
        EXPECT_NEAR(level.peak_dbfs, c.dbfs, 1e-4);
        EXPECT_NEAR(level.rms_dbfs, c.dbfs, 1e-4);
        EXPECT_FLOAT_EQ(level.linear_peak, static_cast<float>(std::abs(int{c.output})) / 32768);
    }
}

TEST(TransmitGain, LinearAtEveryGainAndLimitedToTheLargestSample) {
    // (gain dB, sample) -> (each output, clipping).
    struct Case {
        float gain_db;
        int16_t sample;
        int16_t output;
        bool clipping;
    };
    const Case cases[] = {
        {12.0f, 16384, 32767, true}, {12.0f, -16384, -32767, true}, {6.0f, 10000, 19952, false},
        {6.0f, 16384, 32690, true},  {-6.0f, 16384, 8211, false},   {1e-7f, 16384, 16384, false},
        {-60.0f, 16384, 16, false},  {0.0f, -32768, -32768, false}, {12.0f, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.gain_db << " dB on " << c.sample);
        std::vector<int16_t> samples(100, c.sample);
        EXPECT_EQ(modem::apply_tx_gain(samples, c.gain_db), c.clipping);
        EXPECT_EQ(samples, std::vector<int16_t>(100, c.output));
    }
}

TEST(ReceiveGainAndLevel, PeakAndRmsOfMixedSilentAndEmptyBlocks) {
    struct Case {
        const char* name;
        std::vector<int16_t> block;
        float linear_peak;
        float peak_dbfs;
        float rms_dbfs;
    };
    const Case cases[] = {
        {"full scale both ways and two zeros", {32767, -32768, 0, 0}, 1.0f, 0.0f, -3.0104f},
        {"one small sample among zeros", {0, 0, 0, 33}, 33.0f / 32768, -59.9387f, -60.0f},
        {"all zero", std::vector<int16_t>(960, 0), 0.0f, -60.0f, -60.0f},
        {"empty", {}, 0.0f, -60.0f, -60.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const modem::BlockLevel level = modem::measure_block_level(c.block);
        EXPECT_FLOAT_EQ(level.linear_peak, c.linear_peak);
        EXPECT_NEAR(level.peak_dbfs, c.peak_dbfs, 1e-4);
        EXPECT_NEAR(level.rms_dbfs, c.rms_dbfs, 1e-4);
    }
}

}  // namespace
