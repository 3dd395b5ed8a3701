#include "hdlc.h"

#include "hdlc_repair.h"

#include <gtest/gtest.h>

#include "support/hdlc_bits.h"

namespace {

using test_hdlc::HdlcBits;
using test_hdlc::LineEncoder;
using test_hdlc::with_fcs;

struct Decoded {
    std::vector<hdlc::DecodedFrame> frames;
    uint64_t bad_fcs = 0;
};

Decoded feed(hdlc::HdlcDecoder& decoder, const std::vector<uint8_t>& line) {
    Decoded run;
    int64_t correction_sum = 0;
    int32_t bit_counter = 0;
    for (uint8_t bit : line) {
        if (auto frame = decoder.process_bit(bit, correction_sum, bit_counter)) {
            run.frames.push_back(std::move(*frame));
        }
        ++bit_counter;
    }
    run.bad_fcs = decoder.bad_fcs();
    return run;
}

Decoded decode(const HdlcBits& bits, bool scrambled = false, uint8_t fix_bits = 0) {
    hdlc::HdlcDecoder decoder(3, 1, 2);
    decoder.set_scrambled(scrambled);
    decoder.set_fix_bits(fix_bits);
    LineEncoder encoder(scrambled);
    return feed(decoder, encoder.encode(bits.bits()));
}

std::vector<uint8_t> sample_data(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> data = test_hdlc::ax25_frame("APRS", "N0CALL", {});
    for (size_t i = 0; data.size() < n; ++i)
        data.push_back(static_cast<uint8_t>(seed * 37 + i * 11));
    data.resize(n);
    return data;
}

TEST(HdlcCrc, CheckValueAndTableAgreeWithBitwiseCrc) {
    EXPECT_EQ(hdlc::compute_fcs(test_hdlc::bytes_of("123456789")), 0x906E);
    EXPECT_EQ(hdlc::CCITT_TABLE[1], 0x1189);
    EXPECT_EQ(hdlc::CCITT_TABLE[128], 0x8408);
    for (size_t n : {0, 1, 15, 300}) {
        const std::vector<uint8_t> data = sample_data(n, 7);
        EXPECT_EQ(hdlc::compute_fcs(data), test_hdlc::bitwise_fcs(data));
        const std::vector<uint8_t> frame = with_fcs(data);
        EXPECT_TRUE(hdlc::fcs_valid(frame));
        EXPECT_EQ(hdlc::crc_register(frame), hdlc::CRC_GOOD_RESIDUE);
        std::vector<uint8_t> broken = frame;
        broken.back() ^= 0x10;
        EXPECT_FALSE(hdlc::fcs_valid(broken));
    }
}

TEST(HdlcDecoder, DecodesMinimumFrameWithItsIdentityAndLevels) {
    const std::vector<uint8_t> data = sample_data(15);
    hdlc::HdlcDecoder decoder(3, 1, 2);
    decoder.set_audio_levels(0.5f, 0.25f);
    LineEncoder encoder(false);
    const Decoded run =
        feed(decoder, encoder.encode(HdlcBits().flags(2).frame(with_fcs(data)).bits()));
    ASSERT_EQ(run.frames.size(), 1u);
    const hdlc::DecodedFrame& frame = run.frames[0];
    EXPECT_EQ(frame.data, data);
    EXPECT_EQ(frame.channel, 3u);
    EXPECT_EQ(frame.subchan, 1u);
    EXPECT_EQ(frame.slice, 2u);
    EXPECT_EQ(frame.retry, 0);
    EXPECT_EQ(frame.quality, 0u);
    EXPECT_EQ(frame.sample_index, 0u);
    EXPECT_EQ(frame.audio_level_mark, 0.5f);
    EXPECT_EQ(frame.audio_level_space, 0.25f);
    EXPECT_EQ(run.bad_fcs, 0u);
}

TEST(HdlcDecoder, SharedFlagsAndScrambledMode) {
    for (bool scrambled : {false, true}) {
        const std::vector<uint8_t> a = sample_data(20, 1), b = sample_data(40, 2);
        const Decoded run =
            decode(HdlcBits().flags(3).frame(with_fcs(a)).frame(with_fcs(b)).flags(1), scrambled);
        ASSERT_EQ(run.frames.size(), 2u) << scrambled;
        EXPECT_EQ(run.frames[0].data, a);
        EXPECT_EQ(run.frames[1].data, b);
        EXPECT_EQ(run.bad_fcs, 0u);
    }
}

TEST(HdlcDecoder, BadFcsCountsOnceAndOwnerResets) {
    std::vector<uint8_t> octets = with_fcs(sample_data(15));
    octets.back() ^= 1;
    hdlc::HdlcDecoder decoder(0, 0, 0);
    LineEncoder encoder(false);
    const Decoded run =
        feed(decoder, encoder.encode(HdlcBits().flags(2).frame(octets).flags(2).bits()));
    EXPECT_TRUE(run.frames.empty());
    EXPECT_EQ(run.bad_fcs, 1u);
    decoder.reset_bad_fcs();
    EXPECT_EQ(decoder.bad_fcs(), 0u);
}

// Differential check of the fast repair searches against the plain ones.
hdlc::RawCapture capture_from_line(const std::vector<uint8_t>& line, size_t flag_end,
                                   bool scrambled) {
    hdlc::RawCapture capture;
    capture.scrambled = scrambled;
    capture.opened_by_flag = true;
    capture.raw_bits.assign(line.begin() + static_cast<std::ptrdiff_t>(flag_end), line.end());
    if (scrambled) {
        uint32_t shift = 0;
        for (size_t k = 0; k <= flag_end; ++k) shift = (shift << 1) | line[k];
        const auto at = [&](size_t k, size_t back) -> uint8_t {
            return k >= back ? line[k - back] : 0;
        };
        capture.descrambler_snapshot.shift = shift;
        capture.descrambler_snapshot.last_descrambled =
            static_cast<uint8_t>(line[flag_end] ^ at(flag_end, 12) ^ at(flag_end, 17));
    }
    return capture;
}

struct Lcg {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// Random captures: noise, frames with and without a plausible address field,
// frames followed by a flag and noise, with up to two raw bits inverted.
hdlc::RawCapture random_capture(Lcg& rng, bool scrambled, size_t max_octets) {
    HdlcBits bits;
    bits.flags(3);
    const uint32_t kind = rng.below(5);
    if (kind == 4) {
        for (int k = 0, len = 130 + rng.below(150); k < len; ++k) bits.bit(rng.below(2));
    } else {
        if (kind == 3) {
            for (int k = 0, len = rng.below(60); k < len; ++k) bits.bit(rng.below(2));
            bits.flags(1);
        }
        std::vector<uint8_t> data;
        if (kind != 2) data = test_hdlc::ax25_frame("APRS", "N0CALL", {});
        for (size_t len = 15 + rng.below(static_cast<uint32_t>(max_octets - 14));
             data.size() < len;) {
            data.push_back(static_cast<uint8_t>(rng.below(4) == 0 ? 0xFF : rng.next()));
        }
        bits.stuffed(with_fcs(data));
        if (rng.below(3) == 0) bits.flags(1).repeat(1, rng.below(9));
        if (rng.below(4) == 0) {
            for (int k = 0; k < 20; ++k) bits.bit(rng.below(2));
        }
    }
    LineEncoder encoder(scrambled);
    std::vector<uint8_t> line = encoder.encode(bits.bits());
    const size_t flag_end = 23;
    for (uint32_t f = 0, flips = rng.below(3); f < flips; ++f) {
        line[flag_end + rng.below(static_cast<uint32_t>(line.size() - flag_end))] ^= 1;
    }
    return capture_from_line(line, flag_end, scrambled);
}

int32_t plain_outcome(const hdlc::RawCapture& capture, std::initializer_list<size_t> flips) {
    std::vector<uint8_t> bits = capture.raw_bits;
    for (size_t i : flips) bits[i] ^= 1;
    size_t found_at = 0;
    if (!hdlc::detail::decode_bits(capture, bits, 0, 0, &found_at)) return -1;
    return static_cast<int32_t>(found_at);
}

TEST(HdlcRepair, PredictedOutcomeOfEveryCandidateMatchesFullDecode) {
    Lcg rng{777};
    for (int round = 0; round < 120; ++round) {
        const hdlc::RawCapture capture = random_capture(rng, round % 2, 24);
        const size_t n = capture.raw_bits.size();
        const std::vector<int32_t> single = hdlc::detail::single_outcomes(capture);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(single[i], plain_outcome(capture, {i})) << "round " << round << " i " << i;
        }
        const std::vector<int32_t> pairs = hdlc::detail::double_outcomes(capture);
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = i + 1; j < n; ++j) {
                ASSERT_EQ(pairs[i * n + j], plain_outcome(capture, {i, j}))
                    << "round " << round << " i " << i << " j " << j;
            }
        }
    }
}

TEST(HdlcRepair, PredictedOutcomesOnCapturesNearTheLengthLimits) {
    // Frames of the largest size, one octet over it, and far over it, followed
    // by a flag and a few bits: the octet limit of the frame buffer is crossed.
    Lcg rng{99};
    for (size_t data_octets : {2123, 2124, 2300}) {
        for (bool scrambled : {false, true}) {
            std::vector<uint8_t> data = test_hdlc::ax25_frame("APRS", "N0CALL", {});
            while (data.size() < data_octets) data.push_back(static_cast<uint8_t>(rng.next()));
            HdlcBits bits;
            bits.flags(3).stuffed(with_fcs(data));
            if (data_octets == 2300) bits.flags(1).repeat(0, 150);
            LineEncoder encoder(scrambled);
            std::vector<uint8_t> line = encoder.encode(bits.bits());
            line[100 + rng.below(1000)] ^= 1;
            const hdlc::RawCapture capture = capture_from_line(line, 23, scrambled);
            const std::vector<int32_t> single = hdlc::detail::single_outcomes(capture);
            for (size_t i = 0; i < capture.raw_bits.size(); i += 1 + rng.below(60)) {
                ASSERT_EQ(single[i], plain_outcome(capture, {i}))
                    << data_octets << " " << scrambled << " i " << i;
            }
        }
    }
}

TEST(HdlcRepair, FastSearchesMatchPlainSearches) {
    Lcg rng{12345};
    int found_single = 0, found_double = 0;
    for (int round = 0; round < 150; ++round) {
        const hdlc::RawCapture capture = random_capture(rng, round % 2, 20);
        const auto single = hdlc::HdlcDecoder::try_fix_single_bit(capture);
        ASSERT_EQ(single, hdlc::reference::fix_single_bit(capture)) << "round " << round;
        const auto pair = hdlc::HdlcDecoder::try_fix_double_bit(capture);
        ASSERT_EQ(pair, hdlc::reference::fix_double_bit(capture)) << "round " << round;
        found_single += single.has_value();
        found_double += pair.has_value();
    }
    // The cases must include successful repairs of both kinds.
    EXPECT_GT(found_single, 10);
    EXPECT_GT(found_double, 10);
}

}  // namespace
