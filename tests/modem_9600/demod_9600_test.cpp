#include "modem_9600/demod_9600.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "support/test_modulators.h"

namespace {

using modem_9600::Demod9600;
using test_modulators::BasebandOptions;
using test_modulators::Bytes;
using test_modulators::sample_frame;

struct SetupCase {
    uint32_t sample_rate;
    uint32_t baud;
    uint32_t expect_baud;
    std::size_t expect_taps;
    int32_t expect_step;
};

TEST(Demod9600Setup, TapCountAndBitClockStep) {
    constexpr int32_t max_step = std::numeric_limits<int32_t>::max();
    const SetupCase cases[] = {
        {48000, 9600, 9600, 7, 858993459},
        {48000, 0, 9600, 7, 858993459},  // 0 means 9600
        {44100, 9600, 9600, 5, 934958867},
        {16000, 9600, 9600, 3, max_step},  // step saturates at rates up to twice the baud
        {19200, 9600, 9600, 3, max_step},
        {48000, 4800, 4800, 13, 429496730},
        {11025, 9600, 9600, 3, max_step},  // fewer than 3 taps raised to 3
        {192000, 300, 300, 479, 6710886},  // capped at 479
        {0, 9600, 9600, 3, max_step},      // degenerate: finite, no overflow
        {4294967295u, 1, 1, 479, 1},
        {1, 4294967295u, 4294967295u, 3, max_step},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sample_rate << " Hz, " << c.baud << " baud");
        Demod9600 d({c.sample_rate, c.baud}, {3, 0});
        EXPECT_EQ(d.baud(), c.expect_baud);
        EXPECT_EQ(d.tap_count(), c.expect_taps);
        EXPECT_EQ(d.pll_step(), c.expect_step);
        EXPECT_EQ(modem_9600::lowpass_tap_count(c.sample_rate, c.expect_baud), c.expect_taps);
    }
}

TEST(Demod9600Setup, LowpassIsSymmetricWithUnitDcGain) {
    for (uint32_t rate : {16000u, 44100u, 48000u, 96000u}) {
        SCOPED_TRACE(rate);
        const auto f = modem_9600::design_lowpass(rate, 9600);
        const float sum = std::accumulate(f.taps.begin(), f.taps.begin() + f.count, 0.0f);
        EXPECT_NEAR(sum, 1.0f, 1e-5f);
        for (std::size_t i = 0; i < f.count; ++i) {
            EXPECT_FLOAT_EQ(f.taps[i], f.taps[f.count - 1 - i]);
            EXPECT_LE(f.taps[i], f.taps[f.count / 2]);
        }
        for (std::size_t i = f.count; i < f.taps.size(); ++i) EXPECT_EQ(f.taps[i], 0.0f);
    }
    // 48000 Hz: 7 taps, centre tap 2 fc before normalisation, cosine-windowed edges.
    const auto f = modem_9600::design_lowpass(48000, 9600);
    const float fc = 0.4f * 9600.0f / 48000.0f;
    const float pi = 3.14159265f;
    float raw[7], sum = 0;
    for (int i = 0; i < 7; ++i) {
        const float x = static_cast<float>(i) - 3.0f;
        raw[i] = (i == 3 ? 2 * fc : std::sin(2 * pi * fc * x) / (pi * x)) * std::cos(pi * x / 7);
        sum += raw[i];
    }
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(f.taps[i], raw[i] / sum, 1e-6f);
}

// Frames through the G3RUH scrambler and NRZI, then a Gaussian low-pass.
test_modulators::Samples scrambled_signal(const std::vector<Bytes>& frames,
                                          const BasebandOptions& o) {
    return test_modulators::baseband_nrz(test_modulators::frame_line_bits(frames, true), o);
}

std::vector<hdlc::DecodedFrame> run(Demod9600& d, const test_modulators::Samples& samples) {
    for (int16_t s : samples) d.process_sample(s);
    return d.take_frames();
}

struct DecodeCase {
    double sample_rate;
    double clock_ppm;
    double bt;
    double noise_rms;
};

TEST(Demod9600Decode, ScrambledFramesDecodeOnceWithDemodulatorIdentity) {
    const std::vector<Bytes> frames = {sample_frame(15, 1), sample_frame(80, 2),
                                       sample_frame(256, 3), sample_frame(30, 4)};
    const DecodeCase cases[] = {
        {48000, 0, 0.5, 0},       {44100, 0, 0.5, 0},   {48000, 100, 0.5, 0},
        {48000, -100, 0.5, 0},    {44100, 100, 0.5, 0}, {44100, -100, 0.5, 0},
        {48000, 0, 0.35, 0},      {96000, 50, 0.5, 0},  {48000, 0, 0.5, 1500},
        {44100, -100, 0.5, 1500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sample_rate << " Hz, " << c.clock_ppm << " ppm, BT "
                                        << c.bt << ", noise " << c.noise_rms);
        BasebandOptions o;
        o.sample_rate = c.sample_rate;
        o.clock_ppm = c.clock_ppm;
        o.bt = c.bt;
        o.noise_rms = c.noise_rms;
        Demod9600 d({static_cast<uint32_t>(c.sample_rate), 9600}, {5, 0});
        const auto got = run(d, scrambled_signal(frames, o));
        ASSERT_EQ(got.size(), frames.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].data, frames[i]);
            EXPECT_EQ(got[i].channel, 5u);
            EXPECT_EQ(got[i].subchan, 0u);
            EXPECT_EQ(got[i].slice, 0u);
            EXPECT_EQ(got[i].sample_index, 0u);
            EXPECT_EQ(got[i].quality, 0u);
            EXPECT_EQ(got[i].audio_level_mark, 0.0f);
            EXPECT_EQ(got[i].audio_level_space, 0.0f);
            EXPECT_EQ(got[i].retry, 0u);
            // The decoder's clock error: the mean correction per bit plus 0.02 %.
            EXPECT_NEAR(got[i].speed_error, 0.02f + c.clock_ppm * 1e-4, 0.1);
        }
        EXPECT_EQ(d.decoder().bad_fcs(), 0u);
        EXPECT_TRUE(d.take_frames().empty());
    }
}

TEST(Demod9600Decode, OtherBaudRates) {
    const std::vector<Bytes> frames = {sample_frame(40, 7)};
    const std::pair<uint32_t, uint32_t> rate_baud[] = {
        {48000, 4800}, {22050, 4800}, {96000, 19200}};
    for (const auto& [rate, baud] : rate_baud) {
        SCOPED_TRACE(testing::Message() << rate << " Hz, " << baud << " baud");
        BasebandOptions o;
        o.sample_rate = rate;
        o.baud = baud;
        o.clock_ppm = 100;
        Demod9600 d({rate, baud}, {0, 0});
        const auto got = run(d, scrambled_signal(frames, o));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].data, frames[0]);
    }
}

TEST(Demod9600Decode, UnscrambledSignalIsNotDecoded) {
    const std::vector<Bytes> frames = {sample_frame(40, 7)};
    const auto bits = test_modulators::frame_line_bits(frames, false);
    Demod9600 d({48000, 9600}, {0, 0});
    EXPECT_TRUE(run(d, test_modulators::baseband_nrz(bits, BasebandOptions{})).empty());
}

TEST(Demod9600Dcd, OnWithSignalOffAfterIt) {
    // 400 flags' worth of signal, then silence.
    const auto bits = test_modulators::frame_line_bits({}, true, 400);
    const auto signal = test_modulators::baseband_nrz(bits, BasebandOptions{});
    Demod9600 d({48000, 9600}, {0, 0});
    const std::size_t bit = 5;  // samples per bit
    for (std::size_t i = 0; i < signal.size(); ++i) {
        d.process_sample(signal[i]);
        // 30 of the last 32 bit periods must show more good than bad crossings.
        if (i < 29 * bit) {
            EXPECT_FALSE(d.dcd()) << i;
        }
        if (i == 200 * bit) {
            EXPECT_TRUE(d.dcd());
        }
    }
    EXPECT_TRUE(d.dcd());
    std::size_t off_after = 0;
    for (std::size_t i = 0; i < 1000 * bit && d.dcd(); ++i) {
        d.process_sample(0);
        ++off_after;
    }
    EXPECT_FALSE(d.dcd());
    // Off once 6 or fewer of the last 32 bit periods qualify: at least 26 bits.
    EXPECT_GE(off_after, 26 * bit - bit);
    EXPECT_LE(off_after, 40 * bit);
    EXPECT_TRUE(d.take_frames().empty());
    EXPECT_EQ(d.decoder().bad_fcs(), 0u);
}

TEST(Demod9600Dcd, SilenceAndNoiseNeverTurnItOn) {
    Demod9600 silent({48000, 9600}, {0, 0});
    for (int i = 0; i < 48000; ++i) {
        silent.process_sample(0);
        ASSERT_FALSE(silent.dcd());
    }
    EXPECT_TRUE(silent.take_frames().empty());
    EXPECT_EQ(silent.decoder().bad_fcs(), 0u);

    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0.0, 3000.0);
    Demod9600 noisy({48000, 9600}, {0, 0});
    for (int i = 0; i < 48000; ++i) {
        noisy.process_sample(test_modulators::to_sample(noise(rng)));
        ASSERT_FALSE(noisy.dcd()) << i;
    }
}

TEST(Demod9600Robustness, ExtremeSettingsAndInputStayDefined) {
    const uint32_t rates[] = {0, 1, 8000, 11025, 48000, 4294967295u};
    const uint32_t bauds[] = {0, 1, 9600, 4294967295u};
    for (uint32_t rate : rates) {
        for (uint32_t baud : bauds) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, " << baud << " baud");
            Demod9600 d({rate, baud}, {0, 0});
            ASSERT_GE(d.tap_count(), 3u);
            ASSERT_LE(d.tap_count(), 479u);
            for (int i = 0; i < 3000; ++i) {
                d.process_sample(i % 3 == 0 ? -32768 : (i % 7 == 0 ? 0 : 32767));
            }
            (void)d.take_frames();
        }
    }
}

}  // namespace
