#include "audio/soundcard_playback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/allocation_failure.h"
#include "support/alsa_config.h"
#include "support/fake_stream.h"
#include "support/scratch_dir.h"

namespace {

using namespace std::chrono_literals;
using audio::SampleBlock;
using soundcard::KeyingTone;
using test_support::FakeBuild;
using test_support::FakeStreams;
using Clock = std::chrono::steady_clock;

// The tone's value after `frames` frames of a burst, from this test's own
// phase accumulation at 1200 Hz and 48000 Hz.
int16_t expected_tone(int frames) {
    const float increment = 1200.0f * 6.2831855f / 48000.0f;
    float phase = 0.0f;
    for (int i = 0; i < frames; ++i) {
        phase += increment;
        if (phase >= 6.2831855f) phase -= 6.2831855f;
    }
    return static_cast<int16_t>(std::trunc(sinf(phase) * 19660.201f));
}

// A source yielding `samples` in turn; -1 stands for "nothing queued".
struct Script {
    std::vector<int> samples;
    std::size_t asked = 0;
    std::optional<int16_t> operator()() {
        if (asked++ >= samples.size()) return std::nullopt;
        const int s = samples[asked - 1];
        if (s == -1) return std::nullopt;
        return static_cast<int16_t>(s);
    }
};

constexpr int T0 = 100000;  // stands for the tone value at burst frame 0, 1, ...
constexpr int kNone = -1;

struct FillCase {
    std::string name;
    std::size_t channels;
    std::size_t audio_channel;
    bool tone;
    std::size_t buffer_length;
    std::vector<int> source;
    std::vector<int> expected;  // logical samples: T0 + n is the tone at burst frame n
    std::size_t asked;
};

TEST(FillOutput, EveryFormatPutsSamplesToneAndSilenceInTheirPlaces) {
    const std::vector<FillCase> cases = {
        {"stereo, samples on 0, tone on 1, burst restarts after a silent frame",
         2,
         0,
         true,
         10,
         {5, -7, kNone, 9, 11},
         {5, T0, -7, T0 + 1, 0, 0, 9, T0, 11, T0 + 1},
         5},
        {"stereo, samples on 1, tone on 0",
         2,
         1,
         true,
         6,
         {3, 4, 5},
         {T0, 3, T0 + 1, 4, T0 + 2, 5},
         3},
        {"four channels, samples on 3, tone on 0, the rest silent",
         4,
         3,
         true,
         8,
         {-32768, 32767},
         {T0, 0, 0, -32768, T0 + 1, 0, 0, 32767},
         2},
        {"four channels, samples on 1, tone on 0", 4, 1, true, 4, {8}, {T0, 8, 0, 0}, 1},
        {"stereo without tone", 2, 1, false, 6, {1, kNone, 2}, {0, 1, 0, 0, 0, 2}, 3},
        {"mono ignores the tone and the channel", 1, 0, true, 4, {1, 2, kNone, 3}, {1, 2, 0, 3}, 4},
        {"no channels counts as one", 0, 0, false, 3, {7, 8, 9}, {7, 8, 9}, 3},
        {"nothing queued: silence, tone silent too", 2, 0, true, 4, {}, {0, 0, 0, 0}, 2},
        {"a part frame at the end takes no sample", 2, 0, false, 5, {1, 2, 3}, {1, 0, 2, 0, 0}, 2},
    };
    auto logical_to_i16 = [](int v) -> int16_t {
        return v >= T0 ? expected_tone(v - T0) : static_cast<int16_t>(v);
    };
    for (const FillCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto fresh_tone = [&]() -> std::optional<KeyingTone> {
            if (!c.tone) return std::nullopt;
            return soundcard::make_keying_tone(1200, 48000, static_cast<uint32_t>(c.audio_channel));
        };
        // One run per format: what the family member wrote against the
        // logical frames mapped to that format.
        auto check = [&](auto fill, auto junk, auto to_format) {
            using T = decltype(junk);
            std::vector<T> out(c.buffer_length, junk);
            Script source{c.source};
            std::optional<KeyingTone> tone = fresh_tone();
            fill(std::span<T>(out), c.channels, c.audio_channel, source, tone ? &*tone : nullptr);
            std::vector<T> expected;
            for (int v : c.expected) expected.push_back(to_format(logical_to_i16(v)));
            EXPECT_EQ(out, expected);
            EXPECT_EQ(source.asked, c.asked);
        };
        check([](auto&&... a) { soundcard::fill_output_i16(a...); }, int16_t{12345},
              [](int16_t s) { return s; });
        check([](auto&&... a) { soundcard::fill_output_u16(a...); }, uint16_t{1},
              [](int16_t s) { return static_cast<uint16_t>(s + 32768); });
        check([](auto&&... a) { soundcard::fill_output_f32(a...); }, 9.0f,
              [](int16_t s) { return s / 32768.0f; });
    }
}

TEST(FillOutput, FormatsMapTheExtremes) {
    Script i16_source{{-32768, 0, 32767}};
    std::vector<uint16_t> u16(3);
    soundcard::fill_output_u16(u16, 1, 0, i16_source, nullptr);
    EXPECT_EQ(u16, (std::vector<uint16_t>{0, 32768, 65535}));
    Script f32_source{{-32768, 0, 32767}};
    std::vector<float> f32(3);
    soundcard::fill_output_f32(f32, 1, 0, f32_source, nullptr);
    EXPECT_EQ(f32, (std::vector<float>{-1.0f, 0.0f, 32767.0f / 32768.0f}));
}

TEST(FillOutput, ALongBurstFollowsTheWrappedPhase) {
    KeyingTone tone = soundcard::make_keying_tone(1200, 48000, 0);
    EXPECT_EQ(tone.channel, 1u);
    EXPECT_EQ(tone.increment, 1200.0f * 6.2831855f / 48000.0f);
    EXPECT_EQ(soundcard::make_keying_tone(1200, 0, 2).increment, 0.0f);
    EXPECT_EQ(soundcard::make_keying_tone(1200, 48000, 2).channel, 0u);

    const int frames = 4000;  // 100 tone cycles
    std::vector<int> samples(frames, 1);
    Script source{samples};
    std::vector<int16_t> out(2 * frames);
    soundcard::fill_output_i16(out, 2, 0, source, &tone);
    float phase = 0.0f;
    for (int i = 0; i < frames; ++i) {
        ASSERT_EQ(out[2 * i + 1], static_cast<int16_t>(std::trunc(sinf(phase) * 19660.201f))) << i;
        phase += tone.increment;
        if (phase >= 6.2831855f) phase -= 6.2831855f;
    }
    EXPECT_EQ(tone.phase, phase);
    EXPECT_LT(tone.phase, 6.2831855f);
}

// The shared state of a sink without its thread, for the playback state alone.
struct Queue {
    std::shared_ptr<soundcard::playback_detail::Shared> shared =
        std::make_shared<soundcard::playback_detail::Shared>();
    std::optional<ipc::QueueSender<SampleBlock>> sender;
    Queue() {
        auto [tx, rx] = ipc::make_unbounded_queue<SampleBlock>();
        sender.emplace(std::move(tx));
        shared->receiver.emplace(std::move(rx));
    }
};

TEST(OutputState, PlaysBlocksBackToBackSkippingEmptyOnes) {
    Queue q;
    soundcard::OutputState state(q.shared);
    EXPECT_EQ(state.next_sample(), std::nullopt);
    q.sender->send({1, 2});
    q.sender->send({});
    q.sender->send({});
    q.sender->send({3});
    std::vector<int16_t> got;
    while (auto s = state.next_sample()) got.push_back(*s);
    EXPECT_EQ(got, (std::vector<int16_t>{1, 2, 3}));
    EXPECT_EQ(q.shared->played.load(), 3u);
    q.sender->send({});
    EXPECT_EQ(state.next_sample(), std::nullopt);
    q.shared->receiver.reset();
    q.sender->send({4});
    EXPECT_EQ(state.next_sample(), std::nullopt);
    EXPECT_EQ(q.shared->played.load(), 3u);
}

TEST(OutputSetup, ChecksTheChannelAndDropsATonePlayedOnOneChannel) {
    struct Case {
        soundcard::OutputSpec spec;
        uint16_t channels;
        std::string error;  // empty: accepted
        uint32_t tone;
        int mono_lines;
    };
    const std::string mono_line =
        "quillmar-modem: ptt tone requested (1200 Hz) but output device is mono; ignoring — "
        "Digirig Lite tone PTT needs a stereo device";
    const std::vector<Case> cases = {
        {{"", 48000, 2, 2, 0}, 2, "output audio_channel 2 out of range for 2-channel device", 0, 0},
        {{"", 48000, 1, 1, 1200}, 2, "", 1200, 0},
        {{"", 48000, 1, 0, 1200}, 1, "", 0, 1},
        {{"", 48000, 1, 1, 1200},
         1,
         "output audio_channel 1 out of range for 1-channel device",
         0,
         0},
        {{"", 8000, 4, 3, 0}, 4, "", 0, 0},
    };
    for (const Case& c : cases) {
        test_support::LineLog log;
        Result<soundcard::PlaybackSetup> setup =
            soundcard::output_setup(c.spec, c.channels, log.sink());
        if (!c.error.empty()) {
            ASSERT_FALSE(setup.ok());
            EXPECT_EQ(setup.error_text(), c.error);
        } else {
            ASSERT_TRUE(setup.ok()) << setup.error_text();
            EXPECT_EQ(setup->channels, c.channels);
            EXPECT_EQ(setup->sample_rate, c.spec.sample_rate);
            EXPECT_EQ(setup->audio_channel, c.spec.audio_channel);
            EXPECT_EQ(setup->ptt_tone_hz, c.tone);
        }
        EXPECT_EQ(log.count(mono_line), c.mono_lines);
        EXPECT_EQ(log.lines().size(), static_cast<std::size_t>(c.mono_lines));
    }
}

// A sink over fake streams; the test plays the library's thread by pumping.
struct SinkHarness {
    std::shared_ptr<FakeStreams> streams = std::make_shared<FakeStreams>();
    test_support::LineLog log;
    test_support::FastClock clock;

    Result<soundcard::AudioSink> open(soundcard::PlaybackSetup setup) {
        soundcard::StreamThreadOptions options;
        options.log = log.sink();
        options.park = clock.park();
        return soundcard::start_output(std::move(setup), streams->builder(), std::move(options));
    }

    // Pumps stereo buffers of `frames` frames until `enough` holds for what was
    // recorded; false when no stream was playing for 10 s.
    template <class Pred>
    bool play_until(std::vector<int16_t>& recorded, std::size_t frames, std::size_t channels,
                    Pred enough) {
        const Clock::time_point limit = Clock::now() + 10s;
        std::vector<int16_t> buffer(frames * channels);
        while (!enough()) {
            if (Clock::now() > limit) return false;
            if (streams->pump_playback(std::span<int16_t>(buffer))) {
                recorded.insert(recorded.end(), buffer.begin(), buffer.end());
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
        return true;
    }
};

soundcard::PlaybackSetup stereo_setup(uint32_t audio_channel, uint32_t tone_hz) {
    soundcard::PlaybackSetup setup;
    setup.channels = 2;
    setup.sample_rate = 48000;
    setup.audio_channel = audio_channel;
    setup.ptt_tone_hz = tone_hz;
    return setup;
}

TEST(AudioSinkThreads, SubmitReturnsCumulativeTargetsAndPlaysBlocksWithTheTone) {
    SinkHarness h;
    Result<soundcard::AudioSink> sink = h.open(stereo_setup(0, 1200));
    ASSERT_TRUE(sink.ok()) << sink.error_text();

    std::vector<int16_t> recorded;
    std::size_t pumps = 0;
    ASSERT_TRUE(h.play_until(recorded, 16, 2, [&] { return ++pumps > 3; }));  // idle: silence
    const std::size_t lead = recorded.size();

    SampleBlock first(100), second(50);
    for (int i = 0; i < 100; ++i) first[i] = static_cast<int16_t>(i + 1);
    for (int i = 0; i < 50; ++i) second[i] = static_cast<int16_t>(-i - 1);
    Result<uint64_t> a = sink->submit(first);
    Result<uint64_t> b = sink->submit(second);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(*a, 100u);
    EXPECT_EQ(*b, 150u);
    ASSERT_TRUE(h.play_until(recorded, 16, 2, [&] { return sink->played() >= 150; }));
    pumps = 0;
    ASSERT_TRUE(h.play_until(recorded, 16, 2, [&] { return ++pumps > 2; }));
    EXPECT_EQ(sink->played(), 150u);
    EXPECT_EQ(sink->submitted(), 150u);

    // Silence, the 150 samples back to back on channel 0 with one tone burst on
    // channel 1, silence.
    for (std::size_t i = 0; i < lead; ++i) ASSERT_EQ(recorded[i], 0) << i;
    std::vector<int16_t> expected;
    for (int16_t s : first) expected.push_back(s);
    for (int16_t s : second) expected.push_back(s);
    for (std::size_t f = 0; f < expected.size(); ++f) {
        ASSERT_EQ(recorded[lead + 2 * f], expected[f]) << f;
        ASSERT_EQ(recorded[lead + 2 * f + 1], expected_tone(static_cast<int>(f))) << f;
    }
    for (std::size_t i = lead + 2 * expected.size(); i < recorded.size(); ++i) {
        ASSERT_EQ(recorded[i], 0) << i;
    }
    EXPECT_EQ(sink->failures(), 0u);
    EXPECT_TRUE(h.log.lines().empty());
}

TEST(AudioSinkThreads, AFailureReleasesTheWaiterAndLaterBlocksPlayOnTheRebuiltStream) {
    SinkHarness h;
    Result<soundcard::AudioSink> sink = h.open(stereo_setup(1, 0));
    ASSERT_TRUE(sink.ok()) << sink.error_text();

    ASSERT_EQ(*sink->submit(SampleBlock(4800, 7)), 4800u);
    std::vector<int16_t> recorded;
    ASSERT_TRUE(h.play_until(recorded, 48, 2, [&] { return sink->played() >= 480; }));
    ASSERT_TRUE(h.streams->fail("Broken pipe"));
    const Clock::time_point failed_at = Clock::now();
    while (sink->played() != 4800 && Clock::now() - failed_at < 10s) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(sink->played(), 4800u);
    EXPECT_EQ(sink->failures(), 1u);

    ASSERT_TRUE(h.streams->wait_playing_build(2));
    ASSERT_EQ(*sink->submit(SampleBlock{1, 2, 3}), 4803u);
    recorded.clear();
    ASSERT_TRUE(h.play_until(recorded, 48, 2, [&] { return sink->played() >= 4803; }));
    // The rest of the failed transmission is gone; the new block plays whole.
    ASSERT_GE(recorded.size(), 6u);
    EXPECT_EQ((std::vector<int16_t>(recorded.begin(), recorded.begin() + 6)),
              (std::vector<int16_t>{0, 1, 0, 2, 0, 3}));
    EXPECT_EQ(h.log.lines(), (std::vector<std::string>{"cpal output stream error: Broken pipe",
                                                       "cpal output stream failed, rebuilding"}));
}

TEST(AudioSinkThreads, SubmitsAgainstFailuresNeverLeaveABlockBehindTheDiscard) {
    SinkHarness h;
    Result<soundcard::AudioSink> sink = h.open(stereo_setup(0, 0));
    ASSERT_TRUE(sink.ok()) << sink.error_text();

    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        std::thread submitter([&] {
            for (int i = 0; i < 200; ++i) EXPECT_TRUE(sink->submit(SampleBlock(3, 1)).ok());
        });
        const uint64_t failures_before = sink->failures();
        while (!h.streams->fail("Broken pipe")) std::this_thread::sleep_for(100us);
        submitter.join();
        const Clock::time_point limit = Clock::now() + 10s;
        while (sink->failures() == failures_before && Clock::now() < limit) {
            std::this_thread::sleep_for(100us);
        }
        ASSERT_TRUE(h.streams->wait_playing_build(round + 2));
        // Play out whatever is queued: every submitted sample is then counted
        // exactly once, whichever side of the failure its block fell on.
        std::vector<int16_t> recorded;
        std::size_t idle = 0;
        ASSERT_TRUE(h.play_until(recorded, 64, 2, [&] {
            idle = sink->played() == sink->submitted() ? idle + 1 : 0;
            return idle > 2;
        }));
        EXPECT_EQ(sink->played(), sink->submitted());
        EXPECT_EQ(sink->submitted(), 600u * static_cast<uint64_t>(round + 1));
    }
}

TEST(AudioSinkThreads, DroppingASinkWithBlocksQueuedReturnsPromptlyAndPlaysNothingMore) {
    SinkHarness h;
    std::optional<soundcard::AudioSink> sink;
    {
        Result<soundcard::AudioSink> opened = h.open(stereo_setup(0, 1200));
        ASSERT_TRUE(opened.ok()) << opened.error_text();
        sink.emplace(std::move(opened).value());
    }
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(sink->submit(SampleBlock(4800, 5)).ok());
    const Clock::time_point before = Clock::now();
    sink.reset();
    EXPECT_LT(Clock::now() - before, 5s);  // hang guard
    EXPECT_FALSE(h.streams->live());
    std::vector<int16_t> buffer(64);
    EXPECT_FALSE(h.streams->pump_playback(std::span<int16_t>(buffer)));
}

TEST(AudioSinkThreads, AStreamThreadThatEndsReleasesTheWaiterAndRefusesSubmits) {
    SinkHarness h;
    h.streams->script({{}, FakeBuild::throws()});
    Result<soundcard::AudioSink> sink = h.open(stereo_setup(0, 0));
    ASSERT_TRUE(sink.ok()) << sink.error_text();
    ASSERT_EQ(*sink->submit(SampleBlock(100, 1)), 100u);
    ASSERT_TRUE(h.streams->fail("No such device"));
    ASSERT_TRUE(h.streams->wait_builds(2));
    const Clock::time_point limit = Clock::now() + 10s;
    Result<uint64_t> late = sink->submit(SampleBlock(10, 1));
    while (late.ok() && Clock::now() < limit) {
        std::this_thread::sleep_for(1ms);
        late = sink->submit(SampleBlock(10, 1));
    }
    ASSERT_FALSE(late.ok());
    EXPECT_EQ(late.error_text(), "audio sink submit: sending on a closed channel");
    EXPECT_EQ(sink->played(), sink->submitted() - 10);
    EXPECT_GE(sink->failures(), 2u);
    EXPECT_EQ(h.log.count("audio output stream thread ended: builder exploded"), 1);
}

// A block that cannot be queued for want of memory is refused and not counted,
// so the targets of later blocks stay reachable.
TEST(AudioSinkThreads, ABlockWithoutMemoryToQueueItIsRefusedAndNotCounted) {
    SinkHarness h;
    Result<soundcard::AudioSink> sink = h.open(stereo_setup(0, 0));
    ASSERT_TRUE(sink.ok()) << sink.error_text();

    // On a thread of its own name, so that only its allocations fail. Blocks
    // pile up unplayed until the queue needs room: that submit fails.
    std::vector<SampleBlock> blocks(200, SampleBlock(10, 1));
    std::vector<Result<uint64_t>> results;
    results.reserve(blocks.size());
    std::thread submitter([&] {
        pthread_setname_np(pthread_self(), "sink-submitter");
        test_support::fail_allocations("sink-submitter", 1);
        for (SampleBlock& block : blocks) {
            results.push_back(sink->submit(std::move(block)));
            if (!results.back().ok()) break;
        }
        test_support::disarm_allocation_failures();
    });
    submitter.join();
    ASSERT_FALSE(results.back().ok());
    EXPECT_EQ(results.back().error_text(), "audio sink submit: std::bad_alloc");
    const uint64_t accepted = 10 * (results.size() - 1);
    EXPECT_EQ(sink->submitted(), accepted);

    Result<uint64_t> next = sink->submit(SampleBlock(10, 2));
    ASSERT_TRUE(next.ok()) << next.error_text();
    EXPECT_EQ(*next, accepted + 10);
    std::vector<int16_t> recorded;
    ASSERT_TRUE(h.play_until(recorded, 64, 2, [&] { return sink->played() >= *next; }));
    EXPECT_EQ(sink->played(), *next);
}

TEST(AudioSinkThreads, AFailedFirstStartLeavesNothingRunning) {
    SinkHarness h;
    h.streams->script({FakeBuild::build_fails("No such file or directory")});
    Result<soundcard::AudioSink> sink = h.open(stereo_setup(0, 0));
    ASSERT_FALSE(sink.ok());
    EXPECT_EQ(sink.error_text(), "cpal build_output_stream: No such file or directory");
    EXPECT_EQ(h.streams->builds(), 1);
}

// ---- On paced test devices through libasound ----

namespace real {

using test_support::AlsaConfig;
using test_support::PacedPcm;
using test_support::ScopedAlsaConfig;
using test_support::ScratchDir;

PacedPcm playback_device(std::vector<unsigned> channels, std::vector<unsigned> rates,
                         const std::string& record_file) {
    PacedPcm d;
    d.formats = {"S16_LE"};
    d.channels = std::move(channels);
    d.rates = std::move(rates);
    d.stream = "playback";
    d.record_file = record_file;
    return d;
}

// The recording's 16-bit samples so far.
std::vector<int16_t> recorded(const std::string& path) {
    const std::vector<uint8_t> bytes = test_support::read_bytes(path);
    std::vector<int16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return out;
}

template <class Pred>
bool wait_for(Pred done, std::chrono::milliseconds limit = 10s) {
    const Clock::time_point end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

soundcard::OutputSpec spec_for(const std::string& device, uint32_t rate, uint32_t channels,
                               uint32_t audio_channel, uint32_t tone) {
    return {device, rate, channels, audio_channel, tone};
}

TEST(SoundcardPlaybackThreads, TheRecordingHoldsSilenceTheBlocksWithTheToneAndSilence) {
    ScratchDir dir;
    const std::string rec = dir.file("out.raw");
    ScopedAlsaConfig scoped(
        dir,
        AlsaConfig().pcm("out", playback_device({2}, {48000}, rec)).hint("out", "Out", "Output"));
    Result<soundcard::AudioSink> sink =
        soundcard::spawn_output(spec_for("out", 48000, 2, 1, 1200), std::nullopt);
    ASSERT_TRUE(sink.ok()) << sink.error_text();
    std::this_thread::sleep_for(50ms);

    SampleBlock first(100), second(50);
    for (int i = 0; i < 100; ++i) first[i] = static_cast<int16_t>(100 + i);
    for (int i = 0; i < 50; ++i) second[i] = static_cast<int16_t>(-100 - i);
    EXPECT_EQ(*sink->submit(first), 100u);
    EXPECT_EQ(*sink->submit(second), 150u);
    ASSERT_TRUE(wait_for([&] { return sink->played() >= 150; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sink->played(), 150u);
    sink = make_error("closed");  // drop the sink: the recording is complete

    const std::vector<int16_t> r = recorded(rec);
    std::size_t start = 0;
    while (start < r.size() && r[start] == 0) ++start;
    ASSERT_GT(start, 0u);  // silence first
    start -= start % 2;    // the frame whose tone channel (0) begins the burst
    ASSERT_GE(r.size(), start + 2 * 150 + 20);
    for (int f = 0; f < 150; ++f) {
        const int16_t sample = f < 100 ? first[f] : second[f - 100];
        ASSERT_EQ(r[start + 2 * f + 1], sample) << f;
        ASSERT_EQ(r[start + 2 * f], expected_tone(f)) << f;
    }
    for (std::size_t i = start + 300; i < r.size(); ++i) ASSERT_EQ(r[i], 0) << i;
}

TEST(SoundcardPlaybackThreads, OpeningChecksTheChannelAndTheTone) {
    ScratchDir dir;
    ScopedAlsaConfig scoped(dir, AlsaConfig()
                                     .pcm("stereo", playback_device({2}, {48000}, ""))
                                     .pcm("mono", playback_device({1}, {48000}, ""))
                                     .pcm("quad", playback_device({2, 4}, {48000}, ""))
                                     .pcm("deep",
                                          [] {
                                              PacedPcm d = playback_device({2}, {48000}, "");
                                              d.formats = {"S24_LE"};
                                              return d;
                                          }())
                                     .hint("stereo", "Stereo", "Output")
                                     .hint("mono", "Mono", "Output")
                                     .hint("quad", "Quad", "Output")
                                     .hint("deep", "Deep", "Output"));
    const std::string mono_line =
        "quillmar-modem: ptt tone requested (1200 Hz) but output device is mono; ignoring — "
        "Digirig Lite tone PTT needs a stereo device\n";
    struct Case {
        soundcard::OutputSpec spec;
        std::string error;  // empty: opens
        std::string err_text;
    };
    const std::vector<Case> cases = {
        {spec_for("stereo", 48000, 2, 2, 0),
         "output audio_channel 2 out of range for 2-channel device", ""},
        {spec_for("mono", 48000, 1, 0, 1200), "", mono_line},
        {spec_for("quad", 48000, 1, 1, 0), "",
         "audio output: device does not support 1ch, using 2ch (will extract single channel)\n"},
        {spec_for("stereo", 44100, 2, 0, 0),
         "device does not support 44100 Hz output in any channel configuration", ""},
        {spec_for("deep", 48000, 2, 0, 0), "cpal unsupported output sample format: I24", ""},
        {spec_for("nowhere", 48000, 2, 0, 0), "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec.device_name);
        testing::internal::CaptureStderr();
        Result<soundcard::AudioSink> sink = soundcard::spawn_output(c.spec, std::nullopt);
        const bool opened = sink.ok();
        const std::string error = opened ? "" : sink.error_text();
        sink = make_error("closed");
        const std::string err = testing::internal::GetCapturedStderr();
        if (c.spec.device_name == "nowhere") {
            EXPECT_FALSE(opened);  // the resolver's own text
            continue;
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(opened, c.error.empty());
        EXPECT_EQ(err, c.err_text);
    }
}

TEST(SoundcardPlaybackThreads, AFailureMidTransmissionReleasesTheWaiterAndTheNextBlockPlays) {
    ScratchDir dir;
    const std::string rec = dir.file("out.raw");
    PacedPcm d = playback_device({1}, {8000}, rec);
    d.fail_after_ms = 400;
    ScopedAlsaConfig scoped(dir, AlsaConfig().pcm("flaky", d).hint("flaky", "Flaky", "Output"));
    testing::internal::CaptureStderr();
    Result<soundcard::AudioSink> sink =
        soundcard::spawn_output(spec_for("flaky", 8000, 1, 0, 0), std::nullopt);
    ASSERT_TRUE(sink.ok()) << sink.error_text();
    ASSERT_EQ(*sink->submit(SampleBlock(80000, 1000)), 80000u);  // 10 s
    ASSERT_TRUE(wait_for([&] { return sink->failures() == 1; }));
    EXPECT_EQ(sink->played(), 80000u);
    const std::size_t marked = [&] {
        std::size_t n = 0;
        for (int16_t s : recorded(rec)) n += s == 1000;
        return n;
    }();
    EXPECT_LT(marked, 8000u);  // well before the end: the rest was discarded
    ASSERT_EQ(*sink->submit(SampleBlock(160, 2000)), 80160u);
    ASSERT_TRUE(wait_for([&] { return sink->played() == 80160u && sink->failures() == 1; }));
    std::this_thread::sleep_for(100ms);
    sink = make_error("closed");
    const std::string err = testing::internal::GetCapturedStderr();
    std::size_t later = 0, marked_after = 0;
    for (int16_t s : recorded(rec)) {
        later += s == 2000;
        marked_after += s == 1000;
    }
    EXPECT_EQ(later, 160u);
    EXPECT_EQ(marked_after, marked);
    EXPECT_NE(err.find("cpal output stream error: "), std::string::npos) << err;
    EXPECT_NE(err.find("cpal output stream failed, rebuilding\n"), std::string::npos) << err;
}

TEST(SoundcardPlaybackThreads, DroppingASinkWithBlocksQueuedPlaysNoneOfThem) {
    ScratchDir dir;
    const std::string rec = dir.file("out.raw");
    const std::string gone = dir.file("gone");
    PacedPcm d = playback_device({1}, {8000}, rec);
    d.fail_after_ms = 200;
    d.absent_while = gone;
    ScopedAlsaConfig scoped(dir, AlsaConfig().pcm("loose", d).hint("loose", "Loose", "Output"));
    testing::internal::CaptureStderr();
    std::optional<soundcard::AudioSink> sink;
    {
        Result<soundcard::AudioSink> opened =
            soundcard::spawn_output(spec_for("loose", 8000, 1, 0, 0), std::nullopt);
        ASSERT_TRUE(opened.ok()) << opened.error_text();
        sink.emplace(std::move(opened).value());
    }
    // The stream fails and cannot be rebuilt: submitted blocks wait in the queue.
    test_support::write_bytes(gone, {});
    ASSERT_TRUE(wait_for([&] { return sink->failures() == 1; }));
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(sink->submit(SampleBlock(800, 3000)).ok());
    std::filesystem::remove(gone);
    const Clock::time_point before = Clock::now();
    sink.reset();
    EXPECT_LT(Clock::now() - before, 5s);  // hang guard
    (void)testing::internal::GetCapturedStderr();
    for (int16_t s : recorded(rec)) ASSERT_NE(s, 3000);
}

// How much of a transmission is still unplayed when played() reaches its target.
TEST(SoundcardPlaybackThreads, AtTheTargetAtMost50MillisecondsAreUnplayed) {
    for (uint32_t rate : {48000u, 8000u}) {
        SCOPED_TRACE(rate);
        ScratchDir dir;
        const std::string rec = dir.file("out.raw");
        PacedPcm d = playback_device({2}, {rate}, rec);
        d.min_buffer_ms = 500;
        ScopedAlsaConfig scoped(dir, AlsaConfig().pcm("big", d).hint("big", "Big", "Output"));
        Result<soundcard::AudioSink> sink =
            soundcard::spawn_output(spec_for("big", rate, 2, 0, 0), std::nullopt);
        ASSERT_TRUE(sink.ok()) << sink.error_text();
        std::this_thread::sleep_for(100ms);  // idle: the device plays silence

        const uint64_t target = *sink->submit(SampleBlock(4800, 1234));
        ASSERT_TRUE(wait_for([&] { return sink->played() >= target; }));
        std::size_t marker_frames = 0;
        const std::vector<int16_t> r = recorded(rec);
        for (std::size_t i = 0; i < r.size(); i += 2) marker_frames += r[i] == 1234;
        const std::size_t unplayed = 4800 - marker_frames;
        const double unplayed_ms = 1000.0 * static_cast<double>(unplayed) / rate;
        RecordProperty(("unplayed_ms_at_" + std::to_string(rate)).c_str(),
                       std::to_string(unplayed_ms));
        std::printf("unplayed at target, %u Hz: %zu frames, %.1f ms\n", rate, unplayed,
                    unplayed_ms);
        EXPECT_LE(unplayed * 1000, 50u * rate) << unplayed_ms << " ms";
    }
}

}  // namespace real

}  // namespace
