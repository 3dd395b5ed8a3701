#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "modem/channel_demod.h"
#include "modem/config.h"
#include "support/hdlc_bits.h"
#include "support/test_modulators.h"

namespace {

using modem::ChannelConfig;
using modem::ChannelDemod;
using test_modulators::Bytes;
using test_modulators::sample_frame;

ChannelConfig config(std::string modem_type, uint8_t fix_bits = 0, bool profile_b = false) {
    ChannelConfig cfg;
    cfg.channel = 4;
    cfg.modem_type = std::move(modem_type);
    cfg.fix_bits = fix_bits;
    cfg.profile_b = profile_b;
    return cfg;
}

TEST(CreateDemod9600Psk, SelectionByTexts) {
    struct Case {
        const char* modem_type;
        uint8_t fix_bits;
        std::size_t kind;  // variant index: 0 Afsk, 1 MultiAfsk, 2 Psk, 3 Fsk9600
    };
    const Case cases[] = {
        {"9600", 0, 3},      {"baseband", 1, 3}, {"scramble", 2, 3}, {"scramble", 3, 3},
        {"psk", 0, 2},       {"psk", 2, 2},      {"Psk", 0, 1},      {"PSK", 0, 1},
        {"9600 ", 0, 1},     {" 9600", 0, 1},    {"psk ", 0, 1},     {"Scramble", 0, 1},
        {"base band", 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << '"' << c.modem_type << "\", fix_bits " << int{c.fix_bits});
        ChannelConfig cfg = config(c.modem_type, c.fix_bits);
        cfg.baud = c.kind == 3 ? 9600 : 1200;
        ChannelDemod demod = modem::create_demod(cfg, 48000);
        ASSERT_EQ(demod.kind().index(), c.kind);
        if (const auto* fsk = demod.get_if<modem_9600::Demod9600>()) {
            EXPECT_EQ(fsk->decoder().fix_bits(), c.fix_bits);
            EXPECT_TRUE(fsk->decoder().scrambled());
            EXPECT_EQ(fsk->decoder().channel(), 4u);
            EXPECT_EQ(fsk->decoder().subchan(), 0u);
            EXPECT_EQ(fsk->decoder().slice(), 0u);
            EXPECT_EQ(fsk->sample_rate(), 48000u);
            EXPECT_EQ(fsk->tap_count(), 7u);
        }
        if (const auto* psk = demod.get_if<modem_psk::PskDemodulator>()) {
            EXPECT_EQ(psk->decoder().fix_bits(), c.fix_bits);
            EXPECT_FALSE(psk->decoder().scrambled());
            EXPECT_EQ(psk->decoder().channel(), 4u);
            EXPECT_EQ(psk->decoder().subchan(), 0u);
            EXPECT_EQ(psk->tap_count(), 161u);
        }
    }
}

TEST(CreateDemod9600Psk, PassesBaudCentreAndTable) {
    ChannelConfig cfg = config("psk");
    cfg.mark_freq = 1200;
    cfg.space_freq = 2201;  // the centre rounds down to 1700 Hz
    ChannelDemod demod = modem::create_demod(cfg, 44100);
    ASSERT_NE(demod.get_if<modem_psk::PskDemodulator>(), nullptr);
    const auto& a = *demod.get_if<modem_psk::PskDemodulator>();
    const float step_1700 = 1700.0f * 2.0f * 3.14159265f / 44100.0f;
    EXPECT_FLOAT_EQ(a.carrier_step_nominal(), step_1700);
    EXPECT_EQ(a.table_variant(), 1);
    EXPECT_EQ(a.tap_count(), 147u);
    EXPECT_FALSE(a.eight_psk());

    cfg.profile_b = true;
    cfg.baud = 4800;
    cfg.mark_freq = 4294967295u;  // the sum does not wrap
    cfg.space_freq = 4294967295u;
    ChannelDemod b_demod = modem::create_demod(cfg, 48000);
    ASSERT_NE(b_demod.get_if<modem_psk::PskDemodulator>(), nullptr);
    const auto& b = *b_demod.get_if<modem_psk::PskDemodulator>();
    EXPECT_EQ(b.table_variant(), 2);
    EXPECT_TRUE(b.eight_psk());
    EXPECT_FLOAT_EQ(b.carrier_step_nominal(), 4294967295.0f * 2.0f * 3.14159265f / 48000.0f);

    ChannelConfig fsk = config("baseband");
    fsk.baud = 4800;
    ChannelDemod f_demod = modem::create_demod(fsk, 44100);
    ASSERT_NE(f_demod.get_if<modem_9600::Demod9600>(), nullptr);
    const auto& f = *f_demod.get_if<modem_9600::Demod9600>();
    EXPECT_EQ(f.baud(), 4800u);
    EXPECT_EQ(f.sample_rate(), 44100u);
    EXPECT_EQ(f.tap_count(), 11u);
}

// Frames through a channel demodulator: the drained frames, the bad-FCS count
// of its decoder (taken twice) and the carrier detect seen while the signal ran.
struct Drained {
    std::vector<hdlc::DecodedFrame> frames;
    uint64_t bad_fcs = 0;
    uint64_t bad_fcs_again = 0;
    bool dcd_seen = false;
    std::size_t dcd_changes = 0;
};

Drained drain(ChannelDemod& demod, const test_modulators::Samples& samples) {
    Drained out;
    bool state = false;
    // Blocks of 1024 samples, drained after each as the main loop does.
    for (std::size_t start = 0; start < samples.size(); start += 1024) {
        const std::size_t end = std::min(samples.size(), start + 1024);
        modem::process_demod_samples(demod, std::span(samples).subspan(start, end - start));
        for (auto& f : demod.take_frames()) out.frames.push_back(std::move(f));
        out.bad_fcs += demod.take_bad_fcs();
        // These kinds judge carrier as a whole: a record at a take only when
        // the state differs from the one at the last take.
        const bool dcd = demod.dcd();
        const std::vector<demod::DcdChange> changes = demod.take_dcd_changes();
        if (dcd != state) {
            EXPECT_EQ(changes, (std::vector<demod::DcdChange>{{4, 0, 0, dcd}})) << start;
        } else {
            EXPECT_TRUE(changes.empty()) << start;
        }
        state = dcd;
        out.dcd_changes += changes.size();
        out.dcd_seen = out.dcd_seen || dcd;
    }
    out.bad_fcs_again = demod.take_bad_fcs();
    return out;
}

// Line levels of good frames around one whose FCS is wrong.
test_modulators::Bits frames_with_one_bad(const std::vector<Bytes>& good, bool scrambled) {
    test_hdlc::HdlcBits bits;
    bits.flags(48);
    bits.stuffed(test_hdlc::with_fcs(good[0])).flags(3);
    auto broken = test_hdlc::with_fcs(sample_frame(30, 99));
    broken.back() ^= 0x10;
    bits.stuffed(broken).flags(3);
    bits.stuffed(test_hdlc::with_fcs(good[1])).flags(16);
    return test_hdlc::LineEncoder(scrambled).encode(bits.bits());
}

void expect_channel_frames(const Drained& d, const std::vector<Bytes>& good) {
    ASSERT_EQ(d.frames.size(), good.size());
    for (std::size_t i = 0; i < good.size(); ++i) {
        EXPECT_EQ(d.frames[i].data, good[i]);
        EXPECT_EQ(d.frames[i].channel, 4u);
        EXPECT_EQ(d.frames[i].subchan, 0u);
        EXPECT_EQ(d.frames[i].slice, 0u);
        EXPECT_EQ(d.frames[i].sample_index, 0u);
        EXPECT_EQ(d.frames[i].quality, 0u);
        EXPECT_EQ(d.frames[i].audio_level_mark, 0.0f);
        EXPECT_EQ(d.frames[i].audio_level_space, 0.0f);
        EXPECT_EQ(d.frames[i].retry, 0u);
    }
    EXPECT_EQ(d.bad_fcs, 1u);  // the broken frame, counted once
    EXPECT_EQ(d.bad_fcs_again, 0u);
    EXPECT_TRUE(d.dcd_seen);
    EXPECT_GE(d.dcd_changes, 1u);  // at least the carrier's start
}

TEST(ChannelDemod9600Psk, BasebandChannelDeliversFrames) {
    const std::vector<Bytes> good = {sample_frame(40, 1), sample_frame(90, 2)};
    ChannelConfig cfg = config("scramble");
    cfg.baud = 9600;
    ChannelDemod demod = modem::create_demod(cfg, 48000);
    test_modulators::BasebandOptions o;
    o.clock_ppm = -60;
    const Drained d =
        drain(demod, test_modulators::baseband_nrz(frames_with_one_bad(good, true), o));
    expect_channel_frames(d, good);
    for (const auto& f : d.frames) EXPECT_TRUE(std::isfinite(f.speed_error));
}

TEST(ChannelDemod9600Psk, PskChannelDeliversFramesWithoutSpeedError) {
    const std::vector<Bytes> good = {sample_frame(40, 1), sample_frame(90, 2)};
    ChannelConfig cfg = config("psk", 0, true);  // profile B: the second QPSK table
    cfg.baud = 1200;
    ChannelDemod demod = modem::create_demod(cfg, 48000);
    test_modulators::PskOptions o;
    o.table_variant = 2;
    o.carrier_hz = 1701;
    o.clock_ppm = 50;
    const Drained d =
        drain(demod, test_modulators::psk_signal(frames_with_one_bad(good, false), o));
    expect_channel_frames(d, good);
    for (const auto& f : d.frames) EXPECT_EQ(f.speed_error, 0.0f);
}

}  // namespace
