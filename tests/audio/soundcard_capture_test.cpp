#include "audio/soundcard_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "support/alsa_config.h"
#include "support/fake_stream.h"
#include "support/scratch_dir.h"

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

// ---- On paced test devices through libasound ----

namespace real {

using test_support::AlsaConfig;
using test_support::PacedPcm;
using test_support::ScopedAlsaConfig;
using test_support::ScratchDir;
using Clock = std::chrono::steady_clock;

struct Arrival {
    Clock::time_point at;
    SampleBlock block;
};

// Takes blocks until `enough` holds for what arrived; false after 10 s.
template <class Pred>
bool receive_until(audio::CaptureReceiver& receiver, std::vector<Arrival>& got, Pred enough,
                   std::chrono::milliseconds limit = 10s) {
    const Clock::time_point end = Clock::now() + limit;
    while (!enough()) {
        if (Clock::now() > end) return false;
        auto r = receiver.recv_timeout(5ms);
        if (r.index() == 0) got.push_back({Clock::now(), std::move(std::get<0>(r))});
        if (r.index() == 2) return false;
    }
    return true;
}

SampleBlock joined(const std::vector<Arrival>& got) {
    SampleBlock all;
    for (const Arrival& a : got) all.insert(all.end(), a.block.begin(), a.block.end());
    return all;
}

std::size_t samples_in(const std::vector<Arrival>& got) {
    std::size_t n = 0;
    for (const Arrival& a : got) n += a.block.size();
    return n;
}

PacedPcm capture_device(std::vector<std::string> formats, std::vector<unsigned> channels,
                        std::vector<unsigned> rates) {
    PacedPcm d;
    d.formats = std::move(formats);
    d.channels = std::move(channels);
    d.rates = std::move(rates);
    d.stream = "capture";
    return d;
}

struct FileCase {
    std::string alsa_format;
    std::size_t sample_bytes;
    // The raw sample and the 16-bit sample it becomes, for frame f, channel ch.
    std::function<void(std::vector<uint8_t>&, int value)> put;
};

TEST(SoundcardCaptureThreads, DeliversOneChannelOfTheDeviceInEveryFormat) {
    auto put_le16 = [](std::vector<uint8_t>& out, uint16_t v) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    };
    const std::vector<FileCase> formats = {
        {"S16_LE", 2, [&](auto& out, int v) { put_le16(out, static_cast<uint16_t>(v)); }},
        {"U16_LE", 2, [&](auto& out, int v) { put_le16(out, static_cast<uint16_t>(v + 32768)); }},
        {"FLOAT_LE", 4,
         [](auto& out, int v) {
             const float f = static_cast<float>(v) / 32767.0f;
             uint8_t b[4];
             std::memcpy(b, &f, 4);
             out.insert(out.end(), b, b + 4);
         }},
    };
    const int frames = 3000;
    auto value = [](int frame, int channel) { return channel == 1 ? frame * 7 - 9000 : 20000; };
    for (const FileCase& f : formats) {
        for (uint32_t k : {1u, 5u}) {
            SCOPED_TRACE(f.alsa_format + " channel " + std::to_string(k));
            ScratchDir dir;
            std::vector<uint8_t> raw;
            for (int i = 0; i < frames; ++i) {
                for (int ch = 0; ch < 2; ++ch) f.put(raw, value(i, ch));
            }
            test_support::write_bytes(dir.file("capture.raw"), raw);
            PacedPcm d = capture_device({f.alsa_format}, {2}, {16000});
            d.capture_file = dir.file("capture.raw");
            ScopedAlsaConfig scoped(dir, AlsaConfig().pcm("cap", d).hint("cap", "Cap", "Input"));

            auto [sender, receiver] = audio::make_capture_queue();
            Result<audio::AudioSource> source =
                soundcard::spawn({"cap", 16000, 2, k}, std::move(sender));
            ASSERT_TRUE(source.ok()) << source.error_text();
            EXPECT_EQ(source->sample_rate, 16000u);
            std::vector<Arrival> got;
            ASSERT_TRUE(
                receive_until(receiver, got, [&] { return samples_in(got) > frames + 400; }));
            audio::stop_and_join(*source);
            const SampleBlock all = joined(got);
            for (int i = 0; i < frames + 400; ++i) {
                const int16_t expected =
                    k == 1 && i < frames ? static_cast<int16_t>(value(i, 1)) : 0;
                ASSERT_EQ(all[i], expected) << i;
            }
        }
    }
}

TEST(SoundcardCaptureThreads, OpensTheDefaultDeviceAndAnAliasOfAListedOne) {
    ScratchDir dir;
    PacedPcm tone = capture_device({"S16_LE"}, {1}, {8000});
    tone.tone_hz = 500;
    PacedPcm card_device = capture_device({"S16_LE"}, {1}, {16000});
    AlsaConfig config;
    config.pcm("default", tone)
        .card("Fake", 1, {card_device})
        .hint("default", "Default", "Input")
        .hint("hw:CARD=Fake,DEV=0", "Fake card", "Input");
    ScopedAlsaConfig scoped(dir, config);
    soundcard::SystemFiles files;
    files.cards_file = dir.file("cards");
    const std::string cards = test_support::cards_file_text({{1, "Fake", "Fake card"}});
    test_support::write_bytes(files.cards_file, std::vector<uint8_t>(cards.begin(), cards.end()));

    struct Case {
        std::string name;
        uint32_t rate;
    };
    for (const Case& c : std::vector<Case>{
             {"", 8000}, {"default", 8000}, {"hw:1,0", 16000}, {"hw:CARD=Fake,DEV=0", 16000}}) {
        SCOPED_TRACE(c.name);
        auto [sender, receiver] = audio::make_capture_queue();
        Result<audio::AudioSource> source =
            soundcard::spawn({c.name, c.rate, 1, 0}, std::move(sender), files);
        ASSERT_TRUE(source.ok()) << source.error_text();
        EXPECT_EQ(source->sample_rate, c.rate);
        std::vector<Arrival> got;
        EXPECT_TRUE(receive_until(receiver, got, [&] { return got.size() >= 2; }));
        audio::stop_and_join(*source);
    }
    auto [sender, receiver] = audio::make_capture_queue();
    Result<audio::AudioSource> missing =
        soundcard::spawn({"hw:2,0", 8000, 1, 0}, std::move(sender), files);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error_text(), "input device not found: hw:2,0");
    EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(receiver.try_recv()));
}

TEST(SoundcardCaptureThreads, ADefaultDeviceThatCannotCaptureIsNoDefaultInputDevice) {
    struct Case {
        const char* what;
        PacedPcm device;
        std::string ioid;  // of the listing's "default" entry
    };
    PacedPcm playback_only = capture_device({"S16_LE"}, {1}, {8000});
    playback_only.stream = "playback";
    const Case cases[] = {
        {"opens for playback only", playback_only, ""},
        {"listed for output only", capture_device({"S16_LE"}, {1}, {8000}), "Output"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        AlsaConfig config;
        config.pcm("default", c.device).hint("default", "Default", c.ioid);
        ScopedAlsaConfig scoped(dir, config);
        for (const char* name : {"", "default"}) {
            SCOPED_TRACE(std::string(c.what) + ", name \"" + name + "\"");
            auto [sender, receiver] = audio::make_capture_queue();
            Result<audio::AudioSource> source =
                soundcard::spawn({name, 8000, 1, 0}, std::move(sender));
            ASSERT_FALSE(source.ok());
            EXPECT_EQ(source.error_text(), "no default input device");
            EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(receiver.try_recv()));
        }
    }
}

TEST(SoundcardCaptureThreads, NegotiatesRateChannelsAndFormatFromTheDevice) {
    ScratchDir dir;
    PacedPcm wide = capture_device({"S16_LE"}, {1}, {});
    wide.rate_min = 8000;
    wide.rate_max = 96000;
    PacedPcm high = capture_device({"S16_LE"}, {1}, {96000, 192000});
    PacedPcm deep = capture_device({"S24_LE"}, {1}, {48000});
    PacedPcm multi = capture_device({"S16_LE"}, {2, 4}, {48000});
    multi.tone_hz = 1000;
    AlsaConfig config;
    config.pcm("wide", wide).pcm("high", high).pcm("deep", deep).pcm("multi", multi);
    for (const char* n : {"wide", "high", "deep", "multi"}) config.hint(n, n, "Input");
    ScopedAlsaConfig scoped(dir, config);

    struct Case {
        std::string device;
        uint32_t rate;
        uint32_t channels;
        std::string error;  // empty: opens at `opened`
        uint32_t opened;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"wide", 96000, 1, "", 48000,
         "quillmar-modem: input rate 96000 Hz unsupported/corrupt; opening at 48000 Hz instead"},
        {"high", 96000, 1, "device does not support 48000 Hz input in any channel configuration", 0,
         "quillmar-modem: input rate 96000 Hz unsupported/corrupt; opening at 48000 Hz instead"},
        {"deep", 48000, 1, "cpal unsupported input sample format: I24", 0, ""},
        {"multi", 48000, 1, "", 48000,
         "audio input: device does not support 1ch, using 2ch (will extract single channel)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        auto [sender, receiver] = audio::make_capture_queue();
        testing::internal::CaptureStderr();
        Result<audio::AudioSource> source =
            soundcard::spawn({c.device, c.rate, c.channels, 0}, std::move(sender));
        std::vector<Arrival> got;
        if (source.ok()) {
            EXPECT_TRUE(receive_until(receiver, got, [&] { return samples_in(got) >= 4800; }));
            audio::stop_and_join(*source);
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, c.line.empty() ? "" : c.line + "\n");
        if (!c.error.empty()) {
            ASSERT_FALSE(source.ok());
            EXPECT_EQ(source.error_text(), c.error);
            continue;
        }
        ASSERT_TRUE(source.ok()) << source.error_text();
        EXPECT_EQ(source->sample_rate, c.opened);
        if (c.device == "multi") {
            // One sample per two-channel frame: 1000 Hz at 48000 Hz, not silence.
            const SampleBlock all = joined(got);
            EXPECT_NE(*std::max_element(all.begin(), all.end()), 0);
        }
    }
}

TEST(SoundcardCaptureThreads, AConsumerThatTakesNothingCostsBlocksNotTiming) {
    ScratchDir dir;
    std::vector<uint8_t> raw;
    for (int i = 0; i < 32000; ++i) {
        raw.push_back(static_cast<uint8_t>(i));
        raw.push_back(static_cast<uint8_t>(i >> 8));
    }
    test_support::write_bytes(dir.file("ramp.raw"), raw);
    PacedPcm d = capture_device({"S16_LE"}, {1}, {8000});
    d.capture_file = dir.file("ramp.raw");
    ScopedAlsaConfig scoped(dir, AlsaConfig().pcm("ramp", d).hint("ramp", "Ramp", "Input"));
    auto [sender, receiver] = audio::make_capture_queue();
    Result<audio::AudioSource> source = soundcard::spawn({"ramp", 8000, 1, 0}, std::move(sender));
    ASSERT_TRUE(source.ok()) << source.error_text();

    // 64 blocks of 20 ms fill the queue in about 1.3 s; wait well past that.
    std::this_thread::sleep_for(2000ms);
    std::vector<SampleBlock> held;
    for (int i = 0; i < 64; ++i) {
        auto r = receiver.try_recv();
        ASSERT_EQ(r.index(), 0u) << i;
        held.push_back(std::move(std::get<0>(r)));
    }
    // The 64 held blocks are the first 64, back to back from frame 0.
    int16_t next = 0;
    for (const SampleBlock& b : held) {
        for (int16_t s : b) ASSERT_EQ(s, next++);
    }
    // What arrives next was captured after the queue had room again: the
    // blocks in between were dropped.
    std::vector<Arrival> later;
    ASSERT_TRUE(receive_until(receiver, later, [&] { return !later.empty(); }));
    EXPECT_GT(later.front().block.front(), next + 1000);
    audio::stop_and_join(*source);
}

// Every stream reads the capture file from its start, so a block beginning with
// the file's first value is the first block of a new stream. The times at which
// the test receives those blocks are lower bounds that no scheduling delay can
// break: stream k + 1 starts no sooner than stream k ran 200 ms and its back-off
// wait passed.
TEST(SoundcardCaptureThreads, AFailingDeviceIsRebuiltAfterGrowingWaits) {
    ScratchDir dir;
    std::vector<uint8_t> raw;
    for (int i = 0; i < 16000; ++i) {
        const auto v = static_cast<uint16_t>(i + 1);
        raw.push_back(static_cast<uint8_t>(v));
        raw.push_back(static_cast<uint8_t>(v >> 8));
    }
    test_support::write_bytes(dir.file("capture.raw"), raw);
    PacedPcm d = capture_device({"S16_LE"}, {1}, {8000});
    d.capture_file = dir.file("capture.raw");
    d.fail_after_ms = 200;
    ScopedAlsaConfig scoped(dir, AlsaConfig().pcm("flaky", d).hint("flaky", "Flaky", "Input"));
    auto [sender, receiver] = audio::make_capture_queue();
    testing::internal::CaptureStderr();
    const Clock::time_point spawned = Clock::now();
    Result<audio::AudioSource> source = soundcard::spawn({"flaky", 8000, 1, 0}, std::move(sender));
    ASSERT_TRUE(source.ok()) << source.error_text();
    std::vector<Arrival> got;
    std::vector<std::chrono::milliseconds> stream_starts;
    auto four_streams = [&] {
        stream_starts.clear();
        for (const Arrival& a : got) {
            if (!a.block.empty() && a.block.front() == 1) {
                stream_starts.push_back(
                    std::chrono::duration_cast<std::chrono::milliseconds>(a.at - spawned));
            }
        }
        return stream_starts.size() >= 4;
    };
    const bool enough = receive_until(receiver, got, four_streams, 20s);
    audio::stop_and_join(*source);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(enough);
    // Runs of 200 ms with waits of 100, 250 and 500 ms between them.
    EXPECT_GE(stream_starts[1], 300ms);
    EXPECT_GE(stream_starts[2], 750ms);
    EXPECT_GE(stream_starts[3], 1450ms);
    EXPECT_NE(err.find("cpal input stream error: "), std::string::npos) << err;
    EXPECT_NE(err.find("cpal input stream failed, rebuilding\n"), std::string::npos) << err;
}

TEST(SoundcardCaptureThreads, ADeviceThatWillNotOpenFailsFirstAndIsRetriedAfterAStart) {
    ScratchDir dir;
    const std::string gone = dir.file("gone");
    PacedPcm d = capture_device({"S16_LE"}, {1}, {8000});
    d.tone_hz = 400;
    d.fail_after_ms = 200;
    d.absent_while = gone;
    ScopedAlsaConfig scoped(
        dir, AlsaConfig().pcm("loose", d).pcm("default", d).hint("loose", "Loose", "Input"));
    test_support::write_bytes(gone, {});
    // The device cannot be asked what it supports either, so the open ends
    // before any stream is built; a listed name is not even found.
    struct Case {
        std::string name;
        std::string error;
    };
    for (const Case& c : std::vector<Case>{{"default", "device default config: No such device"},
                                           {"loose", "input device not found: loose"}}) {
        auto [sender, receiver] = audio::make_capture_queue();
        const Clock::time_point before = Clock::now();
        Result<audio::AudioSource> source =
            soundcard::spawn({c.name, 8000, 1, 0}, std::move(sender));
        ASSERT_FALSE(source.ok());
        EXPECT_EQ(source.error_text(), c.error);
        EXPECT_LT(Clock::now() - before, 5s);  // hang guard: no retry
        EXPECT_TRUE(std::holds_alternative<ipc::QueueClosed>(receiver.try_recv()));
    }
    std::filesystem::remove(gone);
    auto [sender, receiver] = audio::make_capture_queue();
    testing::internal::CaptureStderr();
    Result<audio::AudioSource> source = soundcard::spawn({"loose", 8000, 1, 0}, std::move(sender));
    ASSERT_TRUE(source.ok()) << source.error_text();
    test_support::write_bytes(gone, {});
    std::this_thread::sleep_for(1200ms);  // the failure, then rebuilds that fail
    std::filesystem::remove(gone);
    std::vector<Arrival> got;
    while (receiver.try_recv().index() == 0) {
    }
    const bool again = receive_until(receiver, got, [&] { return samples_in(got) >= 800; });
    audio::stop_and_join(*source);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(again);
    EXPECT_NE(err.find("cpal input stream failed, rebuilding\n"), std::string::npos) << err;
    EXPECT_NE(err.find("cpal rebuild input stream failed: "), std::string::npos) << err;
}

}  // namespace real

}  // namespace
