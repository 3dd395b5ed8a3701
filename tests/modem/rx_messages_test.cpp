#include "modem/rx_messages.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(RxMessages, RepairLevelTexts) {
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "none"}, {1, "single"}, {2, "double"}, {3, "triple"}, {4, "two_sep"}, {255, "two_sep"},
    };
    for (const auto& [retry, text] : cases) EXPECT_EQ(modem::retry_text(retry), text) << retry;
}

TEST(RxMessages, ReceivedFrameCarriesTheFrameWithItsIdentityCutTo32Bits) {
    hdlc::DecodedFrame frame;
    frame.data = {0x00, 0x82, 0xFF, 0x7E};
    frame.channel = (uint64_t{1} << 32) | 5;
    frame.subchan = 2;
    frame.slice = 8;
    frame.sample_index = 123456;
    frame.quality = 87;
    frame.audio_level_mark = 0.25f;
    frame.audio_level_space = 0.5f;
    frame.speed_error = -1.5f;
    frame.retry = 1;

    const auto message = modem::received_frame_message(frame, 1765360000123456789u);
    ASSERT_TRUE(message.has_received_frame());
    const auto& f = message.received_frame();
    EXPECT_EQ(f.channel(), 5u);
    EXPECT_EQ(f.subchan(), 2u);
    EXPECT_EQ(f.slice(), 8u);
    EXPECT_EQ(f.data(), std::string("\x00\x82\xFF\x7E", 4));
    EXPECT_EQ(f.quality(), 87);
    EXPECT_EQ(f.audio_level_mark(), 0.25f);
    EXPECT_EQ(f.audio_level_space(), 0.5f);
    EXPECT_EQ(f.speed_error(), -1.5f);
    EXPECT_EQ(f.retry(), "single");
    EXPECT_EQ(f.timestamp_ns(), 1765360000123456789u);
}

TEST(RxMessages, DcdChangeCarriesTheEvent) {
    const demod::DcdChange change{(uint64_t{7} << 32) | 3, 1, 4, true};
    const auto message = modem::dcd_change_message(change, 42);
    ASSERT_TRUE(message.has_dcd_change());
    const auto& d = message.dcd_change();
    EXPECT_EQ(d.channel(), 3u);
    EXPECT_EQ(d.subchan(), 1u);
    EXPECT_EQ(d.slice(), 4u);
    EXPECT_TRUE(d.detected());
    EXPECT_EQ(d.timestamp_ns(), 42u);
}

}  // namespace
