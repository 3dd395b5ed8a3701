#include "modem_psk/demod_psk.h"
#include "modem_psk/rrc_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "support/test_modulators.h"

namespace {

using modem_psk::PskDemodulator;
using test_modulators::Bytes;
using test_modulators::PskOptions;
using test_modulators::sample_frame;

TEST(PskSetup, TapCountAndModulationFollowRateAndBaud) {
    struct Case {
        uint32_t sample_rate, baud;
        std::size_t taps;
        bool eight_psk;
    };
    const Case cases[] = {
        {48000, 1200, 161, false},
        {44100, 1200, 147, false},
        {48000, 4799, 41, false},
        {48000, 4800, 41, true},
        {48000, 9600, 21, true},
        {8000, 300, 107, false},
        {192000, 480, 1601, false},  // beyond the 480 of the AFSK filters
        {48000, 100, 1921, false},   // four symbols of 480 samples: the longest filter
        {48000, 101, 1901, false},
        // Longer symbols: the filter stops at four of 480 samples.
        {192000, 300, 1921, false},
        {48000, 10, 1921, false},
        {48000, 1, 1921, false},
        {4294967295u, 1, 1921, false},
        {48000, 0, 1921, false},  // outside the contract: sized as 1 baud
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sample_rate << " Hz, " << c.baud << " baud");
        PskDemodulator d(c.sample_rate, c.baud, 1700, 1, 0, 0);
        EXPECT_EQ(d.tap_count(), c.taps);
        EXPECT_EQ(d.eight_psk(), c.eight_psk);
    }
}

TEST(PskSetup, RootRaisedCosineTaps) {
    const auto taps = modem_psk::design_rrc(40.0f);
    ASSERT_EQ(taps.size(), 161u);
    EXPECT_NEAR(std::accumulate(taps.begin(), taps.end(), 0.0f), 1.0f, 1e-5f);
    for (std::size_t i = 0; i < taps.size(); ++i) {
        EXPECT_NEAR(taps[i], taps[taps.size() - 1 - i], 1e-7f);
    }
    // Unnormalised: 1.0956339 at the centre; t = 1 symbol (u = 1.4) by the formula.
    const float scale = 1.0956339f / taps[80];
    const float pi = 3.14159265f;
    const float u = 1.4f;
    const float at_one = (std::sin(0.65f * pi) + u * std::cos(1.35f * pi)) / (pi * (1 - u * u));
    EXPECT_NEAR(taps[120] * scale, at_one, 1e-5f);
    // 4 beta t = 1 exactly at t = 1/1.4 symbols: 5 samples per symbol puts i - c = 25/7...
    // not an integer, so use 7 samples per symbol, where t = 5/7 at i - c = 5.
    const auto singular = modem_psk::design_rrc(7.0f);
    ASSERT_EQ(singular.size(), 29u);
    EXPECT_NEAR(singular[14 + 5] / singular[14], 0.2606034f / 1.0956339f, 1e-6f);
}

TEST(PskSetup, LongSymbolsShortenTheSpanNotTheShape) {
    // 4800 samples per symbol (10 baud at 48000 Hz) would take 19201 taps: the
    // 1921 kept cover the centre 0.4 symbols with the same response per sample,
    // still at unit sum.
    constexpr float sps = 4800.0f;
    const auto taps = modem_psk::design_rrc(sps);
    ASSERT_EQ(taps.size(), modem_psk::MAX_RRC_TAPS);
    ASSERT_EQ(taps.size(), 1921u);
    EXPECT_NEAR(std::accumulate(taps.begin(), taps.end(), 0.0f), 1.0f, 1e-5f);
    const float pi = 3.14159265f;
    const float beta = 0.35f;
    for (const int offset : {1, 240, 700, 960}) {
        SCOPED_TRACE(offset);
        const float t = static_cast<float>(offset) / sps;
        const float u = 4.0f * beta * t;
        const float h =
            (std::sin(0.65f * pi * t) + u * std::cos(1.35f * pi * t)) / (pi * t * (1.0f - u * u));
        EXPECT_NEAR(taps[960 + offset] / taps[960], h / 1.0956339f, 1e-5f);
        EXPECT_EQ(taps[960 + offset], taps[960 - offset]);
    }
}

TEST(PskDecision, SectorsAndGrayTables) {
    // QPSK sectors are centred on the carrier loop's lock points, 45 degrees off the axes.
    EXPECT_EQ(modem_psk::phase_sector(0.125f, false), 0);
    EXPECT_EQ(modem_psk::phase_sector(0.0f, false), 0);
    EXPECT_EQ(modem_psk::phase_sector(-0.001f, false), -1);
    EXPECT_EQ(modem_psk::phase_sector(0.375f, false), 1);
    EXPECT_EQ(modem_psk::phase_sector(-0.375f, false), -2);
    EXPECT_EQ(modem_psk::phase_sector(0.5f, false), 2);
    // 8-PSK rounds to the nearest multiple of 45 degrees, halves away from zero.
    EXPECT_EQ(modem_psk::phase_sector(0.0625f, true), 1);
    EXPECT_EQ(modem_psk::phase_sector(-0.0625f, true), -1);
    EXPECT_EQ(modem_psk::phase_sector(0.06f, true), 0);
    EXPECT_EQ(modem_psk::phase_sector(-0.5f, true), -4);
    EXPECT_EQ(modem_psk::phase_sector(std::nanf(""), true), 0);
    EXPECT_EQ(modem_psk::phase_sector(std::nanf(""), false), 0);

    const uint8_t qpsk1[] = {0, 2, 3, 1}, qpsk2[] = {0, 1, 3, 2};
    const uint8_t psk8[] = {1, 0, 2, 3, 7, 6, 4, 5};
    for (uint32_t d = 0; d < 4; ++d) {
        EXPECT_EQ(modem_psk::gray_value(d, false, 1), qpsk1[d]);
        EXPECT_EQ(modem_psk::gray_value(d, false, 2), qpsk2[d]);
    }
    for (uint32_t d = 0; d < 8; ++d) EXPECT_EQ(modem_psk::gray_value(d, true, 1), psk8[d]);
}

// A steady carrier: no phase change from one symbol to the next.
test_modulators::Samples steady_carrier(double sample_rate, double hz, std::size_t count,
                                        double amplitude = 9000, double phase = 1.0) {
    test_modulators::Samples out(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = test_modulators::to_sample(
            amplitude *
            std::cos(2 * 3.141592653589793 * hz * static_cast<double>(i) / sample_rate + phase));
    }
    return out;
}

TEST(PskDecision, SteadyCarrierGivesTheNoChangeValue) {
    struct Case {
        uint32_t baud, centre;
        int variant;
        double phase;
        uint8_t value;
    };
    const Case cases[] = {
        {1200, 1700, 1, 0.0, 0},    {1200, 1700, 2, 0.0, 0},  {1200, 1700, 1, 0.785398, 0},
        {1200, 1700, 2, 2.3, 0},    {2400, 1800, 1, -1.0, 0}, {4800, 6000, 1, 0.0, 1},
        {4800, 6000, 2, 0.3927, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.baud << " baud, table " << c.variant << ", phase " << c.phase);
        PskDemodulator d(48000, c.baud, c.centre, c.variant, 0, 0);
        const auto samples = steady_carrier(48000, c.centre, 48000, 9000, c.phase);
        const std::size_t settle = 20 * 48000 / c.baud;  // filter and carrier loop
        for (std::size_t i = 0; i < samples.size(); ++i) {
            d.process_sample(samples[i]);
            if (i >= settle) {
                ASSERT_EQ(d.last_value(), c.value) << "sample " << i;
            }
        }
        // QPSK: the decoder sees a constant line level (all ones) and hunts.
        EXPECT_TRUE(d.take_frames().empty());
        EXPECT_EQ(d.decoder().bad_fcs(), 0u);
    }
}

TEST(PskDcd, ChangesOnlyEveryThirtyTwoSymbols) {
    // 48000 Hz, 1200 baud: a steady carrier barely moves the symbol clock, so
    // symbols fall every 40 samples and blocks of 32 symbols end every 1280.
    PskDemodulator d(48000, 1200, 1700, 1, 0, 0);
    auto samples = steady_carrier(48000, 1700, 3 * 1280 + 100);
    samples.resize(6 * 1280, 0);  // then silence
    std::vector<std::size_t> changes;
    bool last = false;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        d.process_sample(samples[i]);
        if (d.dcd() != last) {
            changes.push_back(i + 1);
            last = d.dcd();
        }
    }
    // The timing loop may move an instant by a sample while the carrier loop locks.
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_NEAR(static_cast<double>(changes[0]), 1280, 2);
    EXPECT_NEAR(static_cast<double>(changes[1]), 4 * 1280, 2);

    // A weak carrier (magnitude below 0.1) never turns it on.
    PskDemodulator weak(48000, 1200, 1700, 1, 0, 0);
    for (int16_t s : steady_carrier(48000, 1700, 10 * 1280, 2000)) {
        weak.process_sample(s);
        ASSERT_FALSE(weak.dcd());
    }
}

std::vector<hdlc::DecodedFrame> run(PskDemodulator& d, const test_modulators::Samples& samples) {
    for (int16_t s : samples) d.process_sample(s);
    return d.take_frames();
}

struct DecodeCase {
    double sample_rate;
    uint32_t baud;
    uint32_t centre;
    double carrier_offset_hz;
    double clock_ppm;
    int variant;
    double noise_rms;
    int delay_samples;  // silence before the signal: shifts the symbol timing phase
};

void expect_psk_identity(const std::vector<hdlc::DecodedFrame>& got,
                         const std::vector<Bytes>& frames, uint64_t channel) {
    ASSERT_EQ(got.size(), frames.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].data, frames[i]);
        EXPECT_EQ(got[i].channel, channel);
        EXPECT_EQ(got[i].subchan, 0u);
        EXPECT_EQ(got[i].slice, 0u);
        EXPECT_EQ(got[i].sample_index, 0u);
        EXPECT_EQ(got[i].quality, 0u);
        EXPECT_EQ(got[i].audio_level_mark, 0.0f);
        EXPECT_EQ(got[i].audio_level_space, 0.0f);
        EXPECT_EQ(got[i].speed_error, 0.0f);
        EXPECT_EQ(got[i].retry, 0u);
    }
}

TEST(PskDecode, FramesDecodeOnceWithCarrierAndClockOffsets) {
    // One transmission of about 1700 bits. The timing loop is too slow to follow
    // 100 ppm, and the carrier loop holds a frequency offset with a standing
    // phase error; over this length the two together stay inside the margin.
    const std::vector<Bytes> frames = {sample_frame(0, 11), sample_frame(120, 12),
                                       sample_frame(20, 13)};
    const DecodeCase cases[] = {
        {48000, 1200, 1700, 0, 0, 1, 0, 0},
        {48000, 1200, 1700, 3, 100, 1, 0, 0},
        {48000, 1200, 1700, -3, -100, 2, 0, 0},
        {48000, 1200, 1700, 3, -100, 2, 0, 0},
        {48000, 1200, 1700, -3, 100, 1, 0, 0},
        {44100, 1200, 1700, -2, 100, 1, 0, 0},
        {48000, 2400, 1800, 2, 100, 1, 0, 0},
        {48000, 1200, 1700, 1, 100, 1, 1000, 0},
        {48000, 1200, 1700, 0, 0, 1, 0, 8},
        {48000, 1200, 1700, 0, 0, 2, 0, 32},
        // 8-PSK at 4800 symbols per second on a carrier that carries its band.
        {48000, 4800, 6000, 0, 0, 1, 0, 0},
        {48000, 4800, 6000, 2, 100, 1, 0, 0},
        {48000, 4800, 6000, -2, -100, 2, 0, 0},
        {48000, 4800, 6000, 0, 0, 1, 0, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.sample_rate << " Hz, " << c.baud << " baud, " << c.carrier_offset_hz
                     << " Hz off, " << c.clock_ppm << " ppm, table " << c.variant << ", noise "
                     << c.noise_rms << ", delay " << c.delay_samples);
        PskOptions o;
        o.sample_rate = c.sample_rate;
        o.baud = c.baud;
        o.carrier_hz = c.centre + c.carrier_offset_hz;
        o.clock_ppm = c.clock_ppm;
        o.eight_psk = c.baud >= 4800;
        o.table_variant = c.variant;
        o.noise_rms = c.noise_rms;
        auto samples =
            test_modulators::psk_signal(test_modulators::frame_line_bits(frames, false, 32), o);
        samples.insert(samples.begin(), static_cast<std::size_t>(c.delay_samples), 0);
        PskDemodulator d(static_cast<uint32_t>(c.sample_rate), c.baud, c.centre, c.variant, 9, 0);
        expect_psk_identity(run(d, samples), frames, 9);
        EXPECT_EQ(d.decoder().bad_fcs(), 0u);
        EXPECT_TRUE(d.dcd());
    }
}

TEST(PskDecode, LongLoudTransmissionKeepsItsTiming) {
    // Twelve back-to-back frames (about 4000 8-PSK symbols) at a high level: the
    // timing loop must hold the sampling instant where it is, not push it
    // toward the symbol transitions.
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 12; ++i) frames.push_back(sample_frame(100, 20 + i));
    PskOptions o;
    o.baud = 4800;
    o.carrier_hz = 6000;
    o.eight_psk = true;
    o.amplitude = 18000;
    PskDemodulator d(48000, 4800, 6000, 1, 2, 0);
    expect_psk_identity(
        run(d, test_modulators::psk_signal(test_modulators::frame_line_bits(frames, false), o)),
        frames, 2);
    EXPECT_EQ(d.decoder().bad_fcs(), 0u);
}

TEST(PskDecode, WrongTableDoesNotDecode) {
    const std::vector<Bytes> frames = {sample_frame(60, 3)};
    PskOptions o;
    o.table_variant = 2;
    const auto bits = test_modulators::frame_line_bits(frames, false, 64);
    PskDemodulator d(48000, 1200, 1700, 1, 0, 0);
    EXPECT_TRUE(run(d, test_modulators::psk_signal(bits, o)).empty());
}

TEST(PskRobustness, ExtremeSettingsAndInputStayDefined) {
    const uint32_t rates[] = {0, 1, 8000, 48000};
    const uint32_t bauds[] = {1200, 4800, 48000, 4294967295u};
    const uint32_t centres[] = {0, 1700, 4294967295u};
    for (uint32_t rate : rates) {
        for (uint32_t baud : bauds) {
            for (uint32_t centre : centres) {
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << baud << " baud, " << centre);
                PskDemodulator d(rate, baud, centre, 2, 0, 0);
                for (int i = 0; i < 3000; ++i) {
                    d.process_sample(i % 3 == 0 ? -32768 : (i % 5 == 0 ? 0 : 32767));
                }
                (void)d.take_frames();
            }
        }
    }
}

}  // namespace
