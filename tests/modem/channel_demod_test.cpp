#include "modem/channel_demod.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "demod_afsk.h"
#include "demod_afsk_multi.h"
#include "modem/config.h"
#include "modem_9600/lowpass_9600.h"
#include "modem_psk/rrc_filter.h"
#include "support/afsk_signal.h"
#include "support/hdlc_bits.h"
#include "support/test_modulators.h"

namespace {

using demod_afsk::AfskDemodulator;
using demod_afsk_multi::MultiAfskDemodulator;
using modem::ChannelConfig;
using modem::ChannelDemod;

constexpr uint32_t RATE = 44100;

ChannelConfig afsk_config(std::string modem_type, std::string ensemble, size_t num_slicers = 1,
                          bool profile_b = false, uint8_t fix_bits = 0) {
    ChannelConfig cfg;
    cfg.channel = 3;
    cfg.modem_type = std::move(modem_type);
    cfg.demod_ensemble = std::move(ensemble);
    cfg.num_slicers = num_slicers;
    cfg.profile_b = profile_b;
    cfg.fix_bits = fix_bits;
    return cfg;
}

// What create_demod must build: an ensemble of `members` members, or (members
// 0) one demodulator with `slicers` slicers, the given profile and repair level.
struct SelectionCase {
    const char* name;
    ChannelConfig cfg;
    size_t members;
    size_t slicers;
    bool profile_b;
    uint8_t fix_bits;
};

void expect_single(const ChannelDemod& demod, const SelectionCase& tc) {
    const auto* afsk = demod.get_if<AfskDemodulator>();
    ASSERT_NE(afsk, nullptr) << tc.name;
    const AfskDemodulator& d = *afsk;
    EXPECT_EQ(d.num_slicers(), tc.slicers) << tc.name;
    ASSERT_EQ(d.decoders().size(), tc.slicers) << tc.name;
    for (size_t k = 0; k < tc.slicers; ++k) {
        EXPECT_EQ(d.decoders()[k].fix_bits(), tc.fix_bits) << tc.name << " slicer " << k;
        EXPECT_EQ(d.decoders()[k].slice(), k) << tc.name;
    }
    EXPECT_EQ(d.profile_b(), tc.profile_b) << tc.name;
    EXPECT_FALSE(d.hard_limit()) << tc.name;
    EXPECT_EQ(d.channel(), 3u) << tc.name;
    EXPECT_EQ(d.subchan(), 0u) << tc.name;
}

void expect_ensemble(const ChannelDemod& demod, const SelectionCase& tc) {
    const auto* multi = demod.get_if<MultiAfskDemodulator>();
    ASSERT_NE(multi, nullptr) << tc.name;
    const auto members = multi->members();
    ASSERT_EQ(members.size(), tc.members) << tc.name;
    // Rows of "triple" and "dual": profiles B only for triple's member 2, hard
    // limit for member 1, nine slicers each, repair level 0 whatever fix_bits says.
    for (size_t i = 0; i < members.size(); ++i) {
        const AfskDemodulator& m = *members[i];
        EXPECT_EQ(m.subchan(), i) << tc.name;
        EXPECT_EQ(m.channel(), 3u) << tc.name;
        EXPECT_EQ(m.num_slicers(), 9u) << tc.name;
        EXPECT_EQ(m.profile_b(), i == 2) << tc.name << " member " << i;
        EXPECT_EQ(m.hard_limit(), i == 1) << tc.name << " member " << i;
        EXPECT_FALSE(m.keeps_dcd_changes()) << tc.name;
        ASSERT_EQ(m.decoders().size(), 9u) << tc.name;
        for (const auto& decoder : m.decoders()) EXPECT_EQ(decoder.fix_bits(), 0) << tc.name;
    }
}

TEST(CreateDemod, SelectionByTexts) {
    const std::vector<SelectionCase> cases = {
        {"empty ensemble is triple", afsk_config("afsk", ""), 3, 0, false, 0},
        {"triple", afsk_config("afsk", "triple"), 3, 0, false, 0},
        {"dual", afsk_config("afsk", "dual"), 2, 0, false, 0},
        {"empty modem type is AFSK", afsk_config("", "dual"), 2, 0, false, 0},
        {"capital PSK is AFSK", afsk_config("PSK", ""), 3, 0, false, 0},
        {"9600 with a blank is AFSK", afsk_config("9600 ", ""), 3, 0, false, 0},
        {"ensemble ignores slicers, profile and fix_bits", afsk_config("afsk", "", 4, true, 2), 3,
         0, false, 0},
        {"dual ignores them too", afsk_config("afsk", "dual", 1, true, 1), 2, 0, false, 0},
        {"capital Triple is a single demodulator", afsk_config("afsk", "Triple", 4), 0, 4, false,
         0},
        {"dual with a blank is a single demodulator", afsk_config("afsk", "dual "), 0, 1, false, 0},
        {"zero slicers run one", afsk_config("afsk", "single", 0), 0, 1, false, 0},
        {"one slicer", afsk_config("afsk", "single", 1), 0, 1, false, 0},
        {"two slicers", afsk_config("afsk", "single", 2), 0, 2, false, 0},
        {"profile B", afsk_config("afsk", "single", 1, true), 0, 1, true, 0},
        {"repair level on one slicer", afsk_config("afsk", "single", 1, false, 1), 0, 1, false, 1},
        {"repair level after nine slicers", afsk_config("afsk", "single", 9, true, 2), 0, 9, true,
         2},
        {"more than nine slicers run nine", afsk_config("afsk", "single", 12, false, 2), 0, 9,
         false, 2},
    };
    for (const auto& tc : cases) {
        ChannelDemod demod = modem::create_demod(tc.cfg, RATE);
        if (tc.members == 0) {
            expect_single(demod, tc);
        } else {
            expect_ensemble(demod, tc);
        }
    }
}

TEST(CreateDemod, PassesRateBaudAndTones) {
    ChannelConfig cfg = afsk_config("afsk", "single");
    cfg.baud = 300;
    cfg.mark_freq = 1600;
    cfg.space_freq = 1800;
    ChannelDemod demod = modem::create_demod(cfg, 48000);
    AfskDemodulator direct({48000, 300, 1600, 1800, false}, {3, 0});
    const auto* single = demod.get_if<AfskDemodulator>();
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(single->bit_clock_step(), direct.bit_clock_step());
    EXPECT_EQ(single->mark_increment(), direct.mark_increment());
    EXPECT_EQ(single->space_increment(), direct.space_increment());

    cfg.demod_ensemble = "dual";
    ChannelDemod ensemble = modem::create_demod(cfg, 48000);
    ASSERT_NE(ensemble.get_if<MultiAfskDemodulator>(), nullptr);
    for (const auto& member : ensemble.get_if<MultiAfskDemodulator>()->members()) {
        EXPECT_EQ(member->bit_clock_step(), direct.bit_clock_step());
        EXPECT_EQ(member->mark_increment(), direct.mark_increment());
        EXPECT_EQ(member->space_increment(), direct.space_increment());
    }
}

// The filters of whatever kind was built, as sizes; every delay line is as long
// as its filter (twice that for the PSK and 9600-baud rings), and nothing else a
// demodulator holds depends on its settings.
std::vector<std::size_t> filter_sizes(const ChannelDemod& demod) {
    std::vector<std::size_t> sizes;
    auto afsk = [&sizes](const AfskDemodulator& d) {
        sizes.push_back(d.prefilter_taps().size());
        sizes.push_back(d.lowpass_taps().size());
    };
    if (const auto* single = demod.get_if<AfskDemodulator>()) afsk(*single);
    if (const auto* multi = demod.get_if<MultiAfskDemodulator>()) {
        for (const auto& member : multi->members()) afsk(*member);
    }
    if (const auto* psk = demod.get_if<modem_psk::PskDemodulator>()) {
        sizes.push_back(psk->tap_count());
    }
    if (const auto* fsk = demod.get_if<modem_9600::Demod9600>()) {
        sizes.push_back(fsk->tap_count());
    }
    return sizes;
}

TEST(CreateDemod, HostileSettingsBuildBoundedDemodulators) {
    // Every kind, at rates and bauds a parent or a file header may declare:
    // each builds in bounded memory with bounded work per sample (no filter
    // longer than four symbols of 480 samples) and takes full-scale samples
    // without a fault.
    constexpr uint32_t max32 = std::numeric_limits<uint32_t>::max();
    const std::array<uint32_t, 5> values = {0, 1, 1u << 31, max32, 48000};
    struct Kind {
        const char* modem_type;
        const char* ensemble;
        std::size_t index;  // variant index: 0 Afsk, 1 MultiAfsk, 2 Psk, 3 Fsk9600
        std::size_t max_taps;
    };
    const Kind kinds[] = {
        {"afsk", "", 1, dsp::MAX_FILTER_SIZE},
        {"afsk", "triple", 1, dsp::MAX_FILTER_SIZE},
        {"", "dual", 1, dsp::MAX_FILTER_SIZE},
        {"afsk", "single", 0, dsp::MAX_FILTER_SIZE},
        {"other", "Triple", 0, dsp::MAX_FILTER_SIZE},
        {"psk", "", 2, modem_psk::MAX_RRC_TAPS},
        {"9600", "", 3, modem_9600::MAX_LOWPASS_TAPS},
        {"baseband", "dual", 3, modem_9600::MAX_LOWPASS_TAPS},
        {"scramble", "", 3, modem_9600::MAX_LOWPASS_TAPS},
    };
    // Tones (mark = space in all but the first) and slicer counts vary along
    // the rows rather than multiplying them.
    const std::array<std::array<uint32_t, 2>, 4> tones = {
        {{1200, 2200}, {0, 0}, {1700, 1700}, {max32, max32}}};
    const std::array<size_t, 4> slicers = {0, 9, 10, max32};
    std::vector<int16_t> block(2048);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = i % 3 == 0 ? int16_t{-32768} : (i % 7 == 0 ? int16_t{0} : int16_t{32767});
    }
    size_t row = 0;
    for (const Kind& kind : kinds) {
        for (uint32_t rate : values) {
            for (uint32_t baud : values) {
                ++row;
                SCOPED_TRACE(testing::Message()
                             << "type \"" << kind.modem_type << "\" ensemble \"" << kind.ensemble
                             << "\" " << rate << " Hz, " << baud << " baud, row " << row);
                ChannelConfig cfg =
                    afsk_config(kind.modem_type, kind.ensemble, slicers[row % slicers.size()],
                                row % 2 == 0, static_cast<uint8_t>(row % 3));
                cfg.baud = baud;
                cfg.mark_freq = tones[row % tones.size()][0];
                cfg.space_freq = tones[row % tones.size()][1];
                ChannelDemod demod = modem::create_demod(cfg, rate);
                ASSERT_EQ(demod.kind().index(), kind.index);
                for (std::size_t size : filter_sizes(demod)) {
                    EXPECT_GE(size, 1u);
                    EXPECT_LE(size, kind.max_taps);
                }
                modem::process_demod_samples(demod, block);
                for (int16_t s : std::span(block).first(64)) modem::process_demod_sample(demod, s);
                (void)demod.take_frames();
                (void)demod.take_bad_fcs();
                (void)demod.take_dcd_changes();
                (void)demod.dcd();
            }
        }
    }
}

TEST(CreateDemod, PskFilterIsCappedAtFourSymbolsOf480Samples) {
    struct Case {
        uint32_t sample_rate, baud;
        std::size_t taps;
    };
    const Case cases[] = {
        {48000, 1200, 161},         // unchanged below the cap
        {44100, 1200, 147},         //
        {48000, 100, 1921},         // exactly four symbols of 480 samples
        {48000, 10, 1921},          // 19201 without the cap
        {48000, 1, 1921},           // 192001 without the cap
        {4294967295u, 1, 1921},     // would be 2^32 - 1 taps
        {4294967295u, 1200, 1921},  //
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sample_rate << " Hz, " << c.baud << " baud");
        ChannelConfig cfg = afsk_config("psk", "");
        cfg.baud = c.baud;
        ChannelDemod demod = modem::create_demod(cfg, c.sample_rate);
        EXPECT_EQ(demod.get_if<modem_psk::PskDemodulator>()->tap_count(), c.taps);
    }
}

// Raw line bits that make an HDLC decoder count `bad` closing flags without a
// frame: each a 20-octet frame with one data bit cleared, between flags.
std::vector<uint8_t> bad_frames_bits(int bad) {
    test_hdlc::HdlcBits bits;
    bits.flags(3);
    for (int i = 0; i < bad; ++i) {
        std::vector<uint8_t> octets =
            test_hdlc::with_fcs(test_support::test_frame(static_cast<size_t>(i), 20));
        octets[5] ^= 0x10;  // breaks the FCS; stuffing keeps it free of flags and aborts
        bits.frame(octets);
    }
    return test_hdlc::LineEncoder(false).encode(bits.bits());
}

void count_bad_frames(hdlc::HdlcDecoder& decoder, int bad) {
    int64_t correction = 0;
    int32_t count = 0;
    for (uint8_t bit : bad_frames_bits(bad)) {
        EXPECT_FALSE(decoder.process_bit(bit, correction, count).has_value());
        ++count;
    }
    ASSERT_EQ(decoder.bad_fcs(), static_cast<uint64_t>(bad));
}

TEST(ChannelDemodDrain, BadFcsOfFirstDecoderAndResetOfAll) {
    ChannelDemod demod = modem::create_demod(afsk_config("afsk", "single", 9), RATE);
    auto& decoders = demod.get_if<AfskDemodulator>()->decoders();
    const int counts[9] = {3, 5, 0, 1, 0, 0, 2, 0, 4};
    for (size_t k = 0; k < 9; ++k) count_bad_frames(decoders[k], counts[k]);
    EXPECT_EQ(demod.take_bad_fcs(), 3u);
    for (const auto& d : decoders) EXPECT_EQ(d.bad_fcs(), 0u);
    EXPECT_EQ(demod.take_bad_fcs(), 0u);

    // Ensemble: member 0's slicer 0 counts; every member is reset.
    ChannelDemod triple = modem::create_demod(afsk_config("afsk", ""), RATE);
    auto members = triple.get_if<MultiAfskDemodulator>()->members();
    count_bad_frames(members[0]->decoders()[0], 2);
    count_bad_frames(members[0]->decoders()[4], 1);
    count_bad_frames(members[1]->decoders()[0], 6);
    count_bad_frames(members[2]->decoders()[8], 1);
    EXPECT_EQ(triple.take_bad_fcs(), 2u);
    for (const auto& m : members) {
        for (const auto& d : m->decoders()) EXPECT_EQ(d.bad_fcs(), 0u);
    }
    EXPECT_EQ(triple.take_bad_fcs(), 0u);
}

// Audio of a few frames between flags: enough for carrier detect.
std::vector<int16_t> carrier_audio() {
    const auto stream = test_support::frame_stream(
        {test_support::test_frame(0, 40), test_support::test_frame(1, 40)});
    return test_support::to_pcm16(test_support::afsk_waveform(stream.levels, {}));
}

struct MajorityCase {
    const char* ensemble;
    std::vector<size_t> members_with_carrier;
    bool dcd;
};

TEST(ChannelDemodDrain, EnsembleCarrierDetectIsTheMajority) {
    const std::vector<int16_t> audio = carrier_audio();
    const std::vector<MajorityCase> cases = {
        {"triple", {}, false},       {"triple", {0, 2}, true}, {"triple", {1}, false},
        {"triple", {0, 1, 2}, true}, {"triple", {2}, false},   {"dual", {}, false},
        {"dual", {0}, true},         {"dual", {1}, true},      {"dual", {0, 1}, true},
    };
    for (const auto& tc : cases) {
        ChannelDemod demod = modem::create_demod(afsk_config("afsk", tc.ensemble), RATE);
        auto members = demod.get_if<MultiAfskDemodulator>()->members();
        EXPECT_FALSE(demod.dcd());
        // Drive the chosen members alone with a carrier, the others with silence.
        for (size_t i = 0; i < members.size(); ++i) {
            const bool carrier =
                std::find(tc.members_with_carrier.begin(), tc.members_with_carrier.end(), i) !=
                tc.members_with_carrier.end();
            for (int16_t s : audio) members[i]->process_sample(carrier ? s : int16_t{0});
            bool any_on = false;
            for (size_t k = 0; k < members[i]->num_slicers(); ++k) {
                any_on = any_on || members[i]->slicer(k).carrier_detect;
            }
            ASSERT_EQ(any_on, carrier) << tc.ensemble << " member " << i;
        }
        EXPECT_EQ(demod.dcd(), tc.dcd) << tc.ensemble;
        // The ensemble as a whole: one record when the majority changed.
        const auto changes = demod.take_dcd_changes();
        if (tc.dcd) {
            EXPECT_EQ(changes, (std::vector<demod::DcdChange>{{3, 0, 0, true}})) << tc.ensemble;
        } else {
            EXPECT_TRUE(changes.empty()) << tc.ensemble;
        }
        EXPECT_TRUE(demod.take_dcd_changes().empty()) << tc.ensemble;
    }
}

// The frames queued inside the demodulator that `demod` holds.
const std::vector<hdlc::DecodedFrame>& queued_frames(const ChannelDemod& demod) {
    if (const auto* d = demod.get_if<AfskDemodulator>()) return d->frames();
    if (const auto* d = demod.get_if<MultiAfskDemodulator>()) return d->frames();
    if (const auto* d = demod.get_if<modem_psk::PskDemodulator>()) return d->frames();
    return demod.get_if<modem_9600::Demod9600>()->frames();
}

// Every kind hands its frames over the same way: take_frames moves out all that
// is queued and leaves the queue empty with its room, so that the frames after
// a drain need no allocation.
TEST(ChannelDemodDrain, EveryKindKeepsItsQueueRoom) {
    using test_modulators::frame_line_bits;
    const std::vector<test_modulators::Bytes> frames = {test_modulators::sample_frame(40, 1),
                                                        test_modulators::sample_frame(60, 2)};
    ChannelConfig baseband = afsk_config("9600", "");
    baseband.baud = 9600;
    struct Case {
        const char* name;
        ChannelConfig cfg;
        uint32_t rate;
        std::vector<int16_t> audio;
    };
    const Case cases[] = {
        {"single", afsk_config("afsk", "single", 9), RATE, carrier_audio()},
        {"triple", afsk_config("afsk", "triple"), RATE, carrier_audio()},
        {"dual", afsk_config("afsk", "dual"), RATE, carrier_audio()},
        {"9600", baseband, 48000, test_modulators::baseband_nrz(frame_line_bits(frames, true), {})},
        {"psk", afsk_config("psk", ""), 48000,
         test_modulators::psk_signal(frame_line_bits(frames, false), {})},
    };
    for (const Case& c : cases) {
        ChannelDemod demod = modem::create_demod(c.cfg, c.rate);
        modem::process_demod_samples(demod, c.audio);
        const std::size_t queued = queued_frames(demod).size();
        const std::vector<hdlc::DecodedFrame> taken = demod.take_frames();
        ASSERT_FALSE(taken.empty()) << c.name;
        EXPECT_EQ(taken.size(), queued) << c.name;
        EXPECT_TRUE(queued_frames(demod).empty()) << c.name;
        EXPECT_GE(queued_frames(demod).capacity(), taken.size()) << c.name;
        EXPECT_TRUE(demod.take_frames().empty()) << c.name;
    }
}

TEST(ChannelDemodDrain, SingleDemodulatorReportsChangesNotState) {
    ChannelDemod demod = modem::create_demod(afsk_config("afsk", "single", 9), RATE);
    AfskDemodulator direct({RATE, 1200, 1200, 2200, false}, {3, 0});
    direct.set_num_slicers(9);
    const std::vector<int16_t> audio = carrier_audio();
    for (int16_t s : audio) {
        modem::process_demod_sample(demod, s);
        direct.process_sample(s);
    }
    // The state is any slicer's; the changes are each slicer's own.
    bool any_slicer = false;
    for (std::size_t k = 0; k < 9; ++k) any_slicer = any_slicer || direct.slicer(k).carrier_detect;
    ASSERT_TRUE(any_slicer);
    EXPECT_TRUE(demod.dcd());
    const auto changes = demod.take_dcd_changes();
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes, direct.dcd_changes());
    EXPECT_TRUE(demod.take_dcd_changes().empty());
    const auto frames = demod.take_frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames, direct.frames());
    EXPECT_TRUE(demod.take_frames().empty());
    // Draining keeps the queues' room, so the next frames need no allocation.
    AfskDemodulator& inner = *demod.get_if<AfskDemodulator>();
    EXPECT_GE(inner.frames().capacity(), frames.size());
    EXPECT_GE(inner.dcd_changes().capacity(), changes.size());
}

}  // namespace
