#include "modem_psk/demod_psk.h"
#include "modem_psk/rrc_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
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
    // One transmission of about 1700 bits; the carrier loop holds a frequency
    // offset with a standing phase error.
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

// The modulations of the symbol timing tests, on the channel's centre frequency.
struct TimingCase {
    uint32_t baud;
    uint32_t centre;
    int variant;
};

constexpr TimingCase TIMING_CASES[] = {
    {1200, 1700, 1},  // QPSK, 40 samples a symbol at 48000 Hz
    {1200, 1700, 2},
    {4800, 4000, 1},  // 8-PSK, 10 samples a symbol
};

PskOptions timing_options(const TimingCase& c) {
    PskOptions o;
    o.baud = c.baud;
    o.carrier_hz = c.centre;
    o.eight_psk = c.baud >= modem_psk::EIGHT_PSK_MIN_BAUD;
    o.table_variant = c.variant;
    return o;
}

// Flags that take `symbols` symbols, and two more to open the first frame.
int flags_for_symbols(const TimingCase& c, int symbols) {
    const int bits_per_symbol = c.baud >= modem_psk::EIGHT_PSK_MIN_BAUD ? 3 : 2;
    return symbols * bits_per_symbol / 8 + 2;
}

TEST(PskTiming, EveryFrameDecodesAtEverySymbolOffset) {
    // Leading silence moves the transmission's symbols against the
    // demodulator's free-running clock, in steps of a tenth of a symbol or
    // finer. After its unmodulated lead-in, the transmission has 64 symbols of
    // flags before the two that open the first frame: the clock must lock
    // within those from wherever it starts, half a symbol off included.
    const std::vector<Bytes> frames = {sample_frame(30, 41), sample_frame(110, 42),
                                       sample_frame(60, 43)};
    for (const auto& c : TIMING_CASES) {
        const PskOptions o = timing_options(c);
        const auto clean = test_modulators::psk_signal(
            test_modulators::frame_line_bits(frames, false, flags_for_symbols(c, 64)), o);
        const int samples_per_symbol = 48000 / static_cast<int>(c.baud);
        const int step = c.baud >= modem_psk::EIGHT_PSK_MIN_BAUD ? 1 : 4;
        for (int offset = 0; offset < samples_per_symbol; offset += step) {
            SCOPED_TRACE(testing::Message() << c.baud << " baud, table " << c.variant
                                            << ", symbols " << offset << " samples late");
            auto samples = clean;
            samples.insert(samples.begin(), static_cast<std::size_t>(offset), 0);
            PskDemodulator d(48000, c.baud, c.centre, c.variant, 3, 0);
            expect_psk_identity(run(d, samples), frames, 3);
            EXPECT_EQ(d.decoder().bad_fcs(), 0u);
        }
    }
}

TEST(PskTiming, EachTransmissionOfARecordingRelocks) {
    // Stations one after another, each with its symbols at its own phase
    // against those of the one before, to which the clock had locked. After a
    // long gap carrier detect is off when the next one starts; after a short
    // one it is still on, and the clock pulls in at its tracking gain within a
    // preamble of 128 symbols.
    struct Transmission {
        double symbol_shift;  // against the symbols of the one before, in symbols
        int gap_symbols;      // silence before it
    };
    const Transmission transmissions[] = {
        {0.0, 0}, {0.5, 200}, {0.25, 200}, {0.5, 10}, {0.75, 10}, {0.45, 30}, {0.6, 200},
    };
    for (const auto& c : TIMING_CASES) {
        SCOPED_TRACE(testing::Message() << c.baud << " baud, table " << c.variant);
        PskOptions o = timing_options(c);
        const int samples_per_symbol = 48000 / static_cast<int>(c.baud);
        test_modulators::Samples recording;
        std::vector<Bytes> sent;
        for (std::size_t i = 0; i < std::size(transmissions); ++i) {
            const auto& t = transmissions[i];
            const std::vector<Bytes> frames = {sample_frame(20 + 30 * i, 50 + i),
                                               sample_frame(40, 60 + i)};
            sent.insert(sent.end(), frames.begin(), frames.end());
            // Each transmission lasts whole symbols, so the silence alone sets
            // the next one's symbol phase.
            const auto silence = t.gap_symbols * samples_per_symbol +
                                 static_cast<int>(std::lround(t.symbol_shift * samples_per_symbol));
            recording.insert(recording.end(), static_cast<std::size_t>(silence), 0);
            o.phase0 = 0.3 + static_cast<double>(i);  // each station's own carrier phase
            const auto signal = test_modulators::psk_signal(
                test_modulators::frame_line_bits(frames, false, flags_for_symbols(c, 128)), o);
            ASSERT_EQ(signal.size() % static_cast<std::size_t>(samples_per_symbol), 0u);
            recording.insert(recording.end(), signal.begin(), signal.end());
        }
        PskDemodulator d(48000, c.baud, c.centre, c.variant, 3, 0);
        expect_psk_identity(run(d, recording), sent, 3);
    }
}

TEST(PskTiming, TracksASampleRateOffsetOf100Ppm) {
    // Twenty frames back to back, about 9000 QPSK or 6000 8-PSK symbols: at 100
    // ppm the sender's symbols drift by most of a symbol against the
    // receiver's samples over the transmission, and its carrier by 100 ppm.
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 20; ++i) frames.push_back(sample_frame(40 + 5 * i, 100 + i));
    const auto bits = test_modulators::frame_line_bits(frames, false, 32);
    for (const auto& c : TIMING_CASES) {
        for (const double ppm : {100.0, -100.0}) {
            SCOPED_TRACE(testing::Message()
                         << c.baud << " baud, table " << c.variant << ", " << ppm << " ppm");
            PskOptions o = timing_options(c);
            o.clock_ppm = ppm;
            o.carrier_hz = c.centre * (1.0 + ppm * 1e-6);
            PskDemodulator d(48000, c.baud, c.centre, c.variant, 3, 0);
            expect_psk_identity(run(d, test_modulators::psk_signal(bits, o)), frames, 3);
            EXPECT_EQ(d.decoder().bad_fcs(), 0u);
        }
    }
}

TEST(PskTiming, EightPskInNoiseDecodesWithTheClockSteadied) {
    // 12 dB of signal over noise across the whole band: once carrier is
    // detected the clock moves slowly enough that every frame of twenty
    // transmissions decodes (at the acquiring gain throughout its jitter
    // costs some frames in a hundred).
    const TimingCase c = TIMING_CASES[2];
    PskOptions o = timing_options(c);
    for (unsigned t = 0; t < 20; ++t) {
        SCOPED_TRACE(testing::Message() << "transmission " << t);
        std::vector<Bytes> frames;
        for (uint32_t i = 0; i < 5; ++i) frames.push_back(sample_frame(80, 100 + i + 10 * t));
        const auto bits = test_modulators::frame_line_bits(frames, false, 32);
        o.noise_rms = 0;
        const auto clean = test_modulators::psk_signal(bits, o);
        double power = 0;
        for (int16_t s : clean) power += static_cast<double>(s) * s;
        o.noise_rms =
            std::sqrt(power / static_cast<double>(clean.size())) / std::pow(10.0, 12.0 / 20);
        o.seed = t + 1;
        auto samples = test_modulators::psk_signal(bits, o);
        samples.insert(samples.begin(), 3 * t, 0);
        PskDemodulator d(48000, c.baud, c.centre, c.variant, 0, 0);
        expect_psk_identity(run(d, samples), frames, 0);
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

// Ten minutes of noise across the band, in turns of 30 s at levels that keep
// carrier detect off, let it flicker (QPSK) and keep it on, so the timing loop
// runs at either gain: no frame comes out.
void expect_no_frames_from_noise(const TimingCase& c) {
    constexpr double levels[] = {1000, 12000, 20000};
    PskDemodulator d(48000, c.baud, c.centre, c.variant, 0, 0);
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::size_t frames = 0;
    for (int turn = 0; turn < 20; ++turn) {
        const std::size_t level = static_cast<std::size_t>(turn) % std::size(levels);
        for (int i = 0; i < 30 * 48000; ++i) {
            d.process_sample(test_modulators::to_sample(levels[level] * noise(rng)));
        }
        frames += d.take_frames().size();
        if (level != 1) {
            EXPECT_EQ(d.dcd(), level == 2) << "turn " << turn;
        }
    }
    EXPECT_EQ(frames, 0u);
}

// One test each, so that each stays well inside the time bound under the sanitizers.
TEST(PskNoise, TenMinutesGiveNoQpskFrames) {
    expect_no_frames_from_noise(TIMING_CASES[0]);
}
TEST(PskNoise, TenMinutesGiveNoEightPskFrames) {
    expect_no_frames_from_noise(TIMING_CASES[2]);
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
                EXPECT_TRUE(d.take_frames().empty());
                // Where the settings carry a transmission, one right after the
                // full-scale burst decodes: no loop was left out of its range.
                if (rate == 48000 && baud == 1200 && centre == 1700) {
                    PskOptions o;
                    o.table_variant = 2;
                    const std::vector<Bytes> frames = {sample_frame(50, 7)};
                    expect_psk_identity(
                        run(d, test_modulators::psk_signal(
                                   test_modulators::frame_line_bits(frames, false, 32), o)),
                        frames, 0);
                }
            }
        }
    }
}

}  // namespace
