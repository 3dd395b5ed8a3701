#include "audio/flac_decode.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <variant>
#include <vector>

#include "support/flac_file.h"
#include "support/scratch_dir.h"

namespace {

using test_support::ScratchDir;

std::vector<int16_t> decoded_or_fail(const std::string& path, uint32_t channel) {
    audio::FlacResult read = audio::decode_flac(path, channel);
    if (auto* failed = std::get_if<audio::FlacError>(&read)) {
        ADD_FAILURE() << path << ": " << failed->text;
        return {};
    }
    return std::get<audio::FlacAudio>(read).samples;
}

TEST(FlacDecode, EveryWidthLayoutAndChannel) {
    struct Width {
        uint32_t bits;
        std::vector<int32_t> stored;
        std::vector<int16_t> expected;
    };
    const Width widths[] = {
        {8, {127, -128, -1, 1}, {32512, -32768, -256, 256}},
        {12, {2047, -2048, 1, -1}, {32752, -32768, 16, -16}},
        {16, {-32768, -1, 32767, 5}, {-32768, -1, 32767, 5}},
        {20, {524287, -524288, 15, 16}, {32767, -32768, 0, 1}},
        {24, {8388607, -8388608, 255, -1}, {32767, -32768, 0, -1}},
        {32, {2147483647, -2147483647 - 1, 65536, -1}, {32767, -32768, 1, -1}},
    };
    ScratchDir dir;
    for (const Width& w : widths) {
        // Mono: the only channel, whatever channel is asked for.
        std::string mono = dir.file("mono" + std::to_string(w.bits) + ".flac");
        test_support::write_flac(mono, 44100, 1, w.bits, w.stored);
        // Stereo: channel 1 holds the same values in reverse order.
        std::vector<int32_t> interleaved;
        for (size_t i = 0; i < w.stored.size(); ++i) {
            interleaved.push_back(w.stored[i]);
            interleaved.push_back(w.stored[w.stored.size() - 1 - i]);
        }
        std::string stereo = dir.file("stereo" + std::to_string(w.bits) + ".flac");
        test_support::write_flac(stereo, 44100, 2, w.bits, interleaved);

        std::vector<int16_t> reversed(w.expected.rbegin(), w.expected.rend());
        for (uint32_t channel = 0; channel < 4; ++channel) {
            SCOPED_TRACE(testing::Message() << w.bits << " bits, channel " << channel);
            EXPECT_EQ(decoded_or_fail(mono, channel), w.expected);
            const std::vector<int16_t> none;
            EXPECT_EQ(decoded_or_fail(stereo, channel), channel == 0   ? w.expected
                                                        : channel == 1 ? reversed
                                                                       : none);
        }
    }
}

TEST(FlacDecode, DeclaredTotalBoundsOnlyFromBelow) {
    ScratchDir dir;
    std::vector<int32_t> ramp(5000);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int32_t>(i);
    std::string good = dir.file("good.flac");
    test_support::write_flac(good, 8000, 1, 16, ramp);
    const auto bytes = test_support::read_bytes(good);

    // A count below what the stream holds is only informative: all of it is read.
    auto low = bytes;
    test_support::set_declared_total(low, 100);
    test_support::write_bytes(dir.file("low.flac"), low);
    std::vector<int16_t> whole = decoded_or_fail(dir.file("low.flac"), 0);
    ASSERT_EQ(whole.size(), ramp.size());
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), ramp.begin()));

    // A count above it means the file was cut short.
    auto high = bytes;
    test_support::set_declared_total(high, 9000);
    test_support::write_bytes(dir.file("high.flac"), high);
    audio::FlacResult read = audio::decode_flac(dir.file("high.flac"), 0);
    ASSERT_TRUE(std::holds_alternative<audio::FlacError>(read));
    EXPECT_EQ(std::get<audio::FlacError>(read).stage, audio::FlacStage::Decode);
    EXPECT_EQ(std::get<audio::FlacError>(read).text,
              "FLAC stream ended after 5000 of 9000 samples");
}

// The reader holds one audio frame at a time: over compressed silence (the
// kind that once grew to gigabytes in memory) each call yields exactly one
// frame of zeros, and the end comes after the last.
TEST(FlacReader, DecodesOneFrameAtATime) {
    ScratchDir dir;
    const std::string path = dir.file("silence.flac");
    const uint64_t frames = test_support::write_flac_silence(path, 48000, 40000);
    ASSERT_GT(frames, 2000u);
    auto reader = audio::FlacReader::open(path, 0);
    ASSERT_TRUE(reader.ok()) << reader.error_text();
    EXPECT_EQ((*reader)->sample_rate(), 48000u);
    std::vector<int16_t> samples;
    uint64_t decoded = 0;
    for (;;) {
        samples.clear();
        Result<bool> frame = (*reader)->next_frame(samples);
        ASSERT_TRUE(frame.ok()) << frame.error_text();
        if (!*frame) break;
        ++decoded;
        ASSERT_EQ(samples, std::vector<int16_t>(4096, 0)) << decoded;
    }
    EXPECT_EQ(decoded, frames);
    EXPECT_TRUE(samples.empty());
}

// A source's reader refuses what is not a regular file without waiting on it
// (a FIFO with no writer would block a plain open forever), and a set stop
// flag ends an open or a read at once.
TEST(FlacReader, ASourcesReaderNeverWaits) {
    ScratchDir dir;
    const std::string fifo = dir.file("fifo.flac");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        auto refused = audio::FlacReader::open(path, 0, {.regular_file_only = true});
        ASSERT_FALSE(refused.ok()) << path;
        EXPECT_EQ(refused.error_text(), "not a regular file");
    }

    const std::string path = dir.file("silence.flac");
    test_support::write_flac_silence(path, 8000, 100000);
    std::atomic<bool> stop{true};
    auto stopped = audio::FlacReader::open(path, 0, {.stop = &stop});
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error_text(), "FLAC__STREAM_DECODER_ABORTED");

    stop = false;
    auto reader = audio::FlacReader::open(path, 0, {.stop = &stop});
    ASSERT_TRUE(reader.ok()) << reader.error_text();
    std::vector<int16_t> samples;
    ASSERT_TRUE((*reader)->next_frame(samples).ok());
    stop = true;
    // Frames the decoder has in its buffer may still come; a read never does.
    Result<bool> frame = true;
    for (int i = 0; i < 10000 && frame.ok(); ++i) frame = (*reader)->next_frame(samples);
    ASSERT_FALSE(frame.ok());
    EXPECT_EQ(frame.error_text(), "FLAC__STREAM_DECODER_ABORTED");
}

}  // namespace
