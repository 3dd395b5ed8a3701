#include "audio/soundcard_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "support/fake_stream.h"

namespace {

using namespace std::chrono_literals;
using audio::SampleBlock;
using test_support::FakeBuild;
using test_support::FakeStreams;

struct ExtractCase {
    std::string name;
    std::size_t channels;
    std::size_t channel;
    std::vector<int> frames;  // i16 values; the other formats carry the same levels
    SampleBlock expected;
};

TEST(ExtractChannel, EveryFormatTakesOneChannelOfEachFrame) {
    const std::vector<ExtractCase> cases = {
        {"mono takes every sample, whatever the channel", 1, 3, {1, -2, 3}, {1, -2, 3}},
        {"no channels counts as one", 0, 1, {4, 5}, {4, 5}},
        {"second of two", 2, 1, {1, 10, 2, 20, 3, 30}, {10, 20, 30}},
        {"first of two", 2, 0, {1, 10, 2, 20}, {1, 2}},
        {"beyond the frame gives silence per frame", 2, 5, {1, 10, 2, 20}, {0, 0}},
        {"an incomplete last frame counts", 3, 0, {1, 2, 3, 4}, {1, 4}},
        {"an incomplete last frame without the channel gives silence",
         3,
         2,
         {1, 2, 3, 4, 5},
         {3, 0}},
        {"an empty buffer gives an empty block", 2, 0, {}, {}},
        {"extremes", 2, 0, {-32768, 0, 32767, 0}, {-32768, 32767}},
    };
    for (const ExtractCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int16_t> i16;
        std::vector<uint16_t> u16;
        for (int v : c.frames) {
            i16.push_back(static_cast<int16_t>(v));
            u16.push_back(static_cast<uint16_t>(v + 32768));
        }
        EXPECT_EQ(soundcard::extract_channel_i16(i16, c.channels, c.channel), c.expected);
        EXPECT_EQ(soundcard::extract_channel_u16(u16, c.channels, c.channel), c.expected);
        // Floats at multiples of 1/32767 come back exactly; -32768 clamps to -32767.
        std::vector<float> f32;
        for (int v : c.frames) f32.push_back(static_cast<float>(v) / 32767.0f);
        SampleBlock expected_f32 = c.expected;
        for (int16_t& s : expected_f32) s = s == -32768 ? -32767 : s;
        EXPECT_EQ(soundcard::extract_channel_f32(f32, c.channels, c.channel), expected_f32);
    }
}

TEST(ExtractChannel, FloatsClampTruncateAndDropNaN) {
    const std::vector<float> in = {1.5f,  -2.0f,
                                   0.5f,  std::numeric_limits<float>::quiet_NaN(),
                                   -0.5f, std::numeric_limits<float>::infinity()};
    EXPECT_EQ(soundcard::extract_channel_f32(in, 1, 0),
              (SampleBlock{32767, -32767, 16383, 0, -16383, 32767}));
    EXPECT_EQ(soundcard::extract_channel_f32(in, 2, 1), (SampleBlock{-32767, 0, 32767}));
    const std::vector<uint16_t> u = {0, 32768, 65535};
    EXPECT_EQ(soundcard::extract_channel_u16(u, 1, 0), (SampleBlock{-32768, 0, 32767}));
}

struct CaptureHarness {
    std::shared_ptr<FakeStreams> streams = std::make_shared<FakeStreams>();
    test_support::LineLog log;
    test_support::FastClock clock;

    Result<audio::AudioSource> open(audio::CaptureSender sender, uint16_t channels = 2,
                                    uint32_t channel = 1) {
        soundcard::CaptureSetup setup;
        setup.channels = channels;
        setup.sample_rate = 16000;
        setup.audio_channel = channel;
        soundcard::StreamThreadOptions options;
        options.log = log.sink();
        options.park = clock.park();
        return soundcard::start_capture(setup, streams->builder(), std::move(sender),
                                        std::move(options));
    }
};

TEST(CaptureSourceThreads, OneBlockPerBufferDroppedWhileTheQueueIsFull) {
    CaptureHarness h;
    auto [sender, receiver] = audio::make_capture_queue();
    Result<audio::AudioSource> source = h.open(std::move(sender));
    ASSERT_TRUE(source.ok()) << source.error_text();
    EXPECT_EQ(source->sample_rate, 16000u);

    for (int16_t i = 0; i < 70; ++i) {
        const std::vector<int16_t> buffer = {0, i, 0, static_cast<int16_t>(i + 1000)};
        ASSERT_TRUE(h.streams->pump_capture(std::span<const int16_t>(buffer)));
    }
    const std::vector<int16_t> later = {0, 99, 0, 98};
    for (int16_t i = 0; i < 64; ++i) {
        auto got = receiver.try_recv();
        ASSERT_EQ(got.index(), 0u);
        EXPECT_EQ(std::get<0>(got), (SampleBlock{i, static_cast<int16_t>(i + 1000)}));
        if (i == 0) {
            ASSERT_TRUE(h.streams->pump_capture(std::span<const int16_t>(later)));
        }
    }
    auto got = receiver.try_recv();
    ASSERT_EQ(got.index(), 0u);
    EXPECT_EQ(std::get<0>(got), (SampleBlock{99, 98}));
    EXPECT_TRUE(std::holds_alternative<ipc::QueueEmpty>(receiver.try_recv()));

    audio::stop_and_join(*source);
    EXPECT_FALSE(h.streams->live());
    // The thread and its streams have let go of every sending end.
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(receiver.try_recv()));
}

TEST(CaptureSourceThreads, AFailedStartReleasesTheSender) {
    CaptureHarness h;
    h.streams->script({FakeBuild::play_fails("Input/output error")});
    auto [sender, receiver] = audio::make_capture_queue();
    Result<audio::AudioSource> source = h.open(std::move(sender));
    ASSERT_FALSE(source.ok());
    EXPECT_EQ(source.error_text(), "cpal input stream play: Input/output error");
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(receiver.try_recv()));
}

TEST(CaptureSourceThreads, AClosedQueueNeitherEndsNorDisturbsTheSource) {
    CaptureHarness h;
    std::optional<audio::CaptureReceiver> receiver;
    Result<audio::AudioSource> source = [&] {
        auto [tx, rx] = audio::make_capture_queue();
        receiver.emplace(std::move(rx));
        return h.open(std::move(tx), 1, 0);
    }();
    ASSERT_TRUE(source.ok()) << source.error_text();
    receiver.reset();
    const std::vector<float> buffer = {0.25f, 0.5f};
    EXPECT_TRUE(h.streams->pump_capture(std::span<const float>(buffer)));
    ASSERT_TRUE(h.streams->fail("Input/output error"));
    EXPECT_TRUE(h.streams->wait_playing_build(2));
    EXPECT_TRUE(h.streams->pump_capture(std::span<const float>(buffer)));
    audio::stop_and_join(*source);
    EXPECT_EQ(h.log.lines(),
              (std::vector<std::string>{"cpal input stream error: Input/output error",
                                        "cpal input stream failed, rebuilding"}));
}

}  // namespace
