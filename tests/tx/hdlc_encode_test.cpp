#include "tx/hdlc_encode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "hdlc.h"
#include "support/tx_reference.h"

namespace {

std::vector<uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

const std::vector<uint8_t> kFlagLevels = {1, 1, 1, 1, 1, 1, 1, 0};

}  // namespace

TEST(HdlcEncode, ReferenceCrcHasTheKnownCheckValue) {
    // CRC-16/X.25 of "123456789" is 0x906E; the FCS of nothing is 0x0000.
    EXPECT_EQ(tx_reference::fcs(bytes("123456789")), 0x906E);
    EXPECT_EQ(tx_reference::fcs({}), 0x0000);
}

TEST(HdlcEncode, MatchesReferenceForEverySingleByteAndLongerFrames) {
    // Every single byte covers stuffing in data and FCS alike, including a
    // stuffed zero after the very last FCS bit.
    bool stuffed_after_last_fcs_bit = false;
    for (int b = 0; b < 256; ++b) {
        const std::vector<uint8_t> data = {static_cast<uint8_t>(b)};
        const std::vector<uint8_t> levels = hdlc_encode::encode(data, 1, 1);
        ASSERT_EQ(levels, tx_reference::encode(data, 1, 1)) << b;
        // FCS bits 10..15 sent as 0, 1, 1, 1, 1, 1: the fifth one is the last bit.
        stuffed_after_last_fcs_bit |= (tx_reference::fcs(data) >> 10) == 0x3E;
    }
    EXPECT_TRUE(stuffed_after_last_fcs_bit);

    std::mt19937 rng(5);
    for (size_t n : {2u, 15u, 17u, 100u, 400u}) {
        std::vector<uint8_t> data(n);
        for (uint8_t& b : data) b = rng() % 4 == 0 ? 0xFF : rng() & 0xFF;
        EXPECT_EQ(hdlc_encode::encode(data, 3, 2), tx_reference::encode(data, 3, 2)) << n;
    }
}

TEST(HdlcEncode, FlagsOpenAtLevelOneAndAreNeverStuffed) {
    const std::vector<uint8_t> levels = hdlc_encode::encode({}, 2, 0);
    ASSERT_GE(levels.size(), 16u);
    EXPECT_EQ(std::vector<uint8_t>(levels.begin(), levels.begin() + 8), kFlagLevels);
    EXPECT_EQ(std::vector<uint8_t>(levels.begin() + 8, levels.begin() + 16), kFlagLevels);
}

TEST(HdlcEncode, EmptyDataSendsAnAllZeroFcs) {
    const std::vector<uint8_t> levels = hdlc_encode::encode({}, 1, 1);
    ASSERT_EQ(levels.size(), 8u + 16u + 8u);
    const std::vector<uint8_t> bits = tx_reference::nrzi_bits(levels);
    for (size_t i = 8; i < 24; ++i) EXPECT_EQ(bits[i], 0) << i;
    EXPECT_EQ(std::vector<uint8_t>(bits.begin() + 24, bits.end()),
              (std::vector<uint8_t>{0, 1, 1, 1, 1, 1, 1, 0}));
}

TEST(HdlcEncode, ByteFFIsFiveOnesStuffedZeroThreeOnes) {
    const std::vector<uint8_t> levels = hdlc_encode::encode(std::vector<uint8_t>{0xFF}, 0, 0);
    const std::vector<uint8_t> bits = tx_reference::nrzi_bits(levels);
    ASSERT_GE(bits.size(), 9u);
    EXPECT_EQ(std::vector<uint8_t>(bits.begin(), bits.begin() + 9),
              (std::vector<uint8_t>{1, 1, 1, 1, 1, 0, 1, 1, 1}));
}

TEST(HdlcEncoder, FlagsResetTheRunOfOnes) {
    hdlc_encode::HdlcEncoder encoder;
    for (int i = 0; i < 4; ++i) encoder.send_bit(true);
    encoder.push_flags(1);
    for (int i = 0; i < 4; ++i) encoder.send_bit(true);
    EXPECT_EQ(encoder.levels().size(), 16u);  // nothing stuffed
    encoder.send_bit(true);
    EXPECT_EQ(encoder.levels().size(), 18u);  // fifth one, then the stuffed zero
    encoder.push_flags(0);
    EXPECT_EQ(encoder.levels().size(), 18u);
}

TEST(HdlcEncode, ReceiveDecoderGivesBackTheData) {
    std::mt19937 rng(9);
    std::vector<std::vector<uint8_t>> frames;
    for (size_t n : {15u, 16u, 64u, 300u, 2123u}) {
        std::vector<uint8_t> data(n);
        for (uint8_t& b : data) b = rng() % 3 == 0 ? 0xFF : rng() % 7 == 0 ? 0x7E : rng() & 0xFF;
        frames.push_back(data);
    }
    frames.push_back(bytes("with one flag on each side"));

    for (const std::vector<uint8_t>& data : frames) {
        const uint64_t pre = data.size() % 2 == 0 ? 1 : 45;
        hdlc::HdlcDecoder decoder(0, 0, 0);
        int64_t correction_sum = 0;
        int32_t bit_counter = 0;
        std::vector<hdlc::DecodedFrame> decoded;
        for (uint8_t level : hdlc_encode::encode(data, pre, 1)) {
            if (auto frame = decoder.process_bit(level, correction_sum, bit_counter)) {
                decoded.push_back(*frame);
            }
            ++bit_counter;
        }
        ASSERT_EQ(decoded.size(), 1u) << data.size();
        EXPECT_EQ(decoded[0].data, data);
        EXPECT_EQ(decoded[0].retry, 0);
        EXPECT_EQ(decoder.bad_fcs(), 0u);
    }
}
