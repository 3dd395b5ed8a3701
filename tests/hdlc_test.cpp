#include "hdlc.h"

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

}  // namespace
