#include "audio/soundcard_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_stream.h"

namespace {

using namespace std::chrono_literals;
using soundcard::Direction;
using test_support::FakeBuild;
using test_support::FakeStreams;
using Clock = std::chrono::steady_clock;

struct BackoffCase {
    unsigned attempt;
    std::vector<long> slices_ms;
    unsigned attempt_after;
};

TEST(BackoffWait, SleepsEachRowInSlicesOfAtMostATenthOfASecond) {
    const std::vector<BackoffCase> cases = {
        {0, {100}, 1},
        {1, {100, 100, 50}, 2},
        {2, {100, 100, 100, 100, 100}, 3},
        {3, std::vector<long>(10, 100), 4},
        {4, std::vector<long>(20, 100), 5},
        {5, std::vector<long>(50, 100), 5},
        {9, std::vector<long>(50, 100), 5},
    };
    for (const BackoffCase& c : cases) {
        SCOPED_TRACE(c.attempt);
        std::atomic<bool> stop{false};
        std::vector<long> slices;
        unsigned attempt = c.attempt;
        soundcard::backoff_wait(attempt, stop,
                                [&](std::chrono::milliseconds s) { slices.push_back(s.count()); });
        EXPECT_EQ(slices, c.slices_ms);
        EXPECT_EQ(attempt, c.attempt_after);
    }
}

TEST(BackoffWait, AStopLeavesTheAttemptAsItWas) {
    std::atomic<bool> stop{true};
    unsigned attempt = 2;
    int slices = 0;
    soundcard::backoff_wait(attempt, stop, [&](std::chrono::milliseconds) { ++slices; });
    EXPECT_EQ(slices, 0);
    EXPECT_EQ(attempt, 2u);

    stop = false;
    attempt = 5;
    soundcard::backoff_wait(attempt, stop, [&](std::chrono::milliseconds) {
        if (++slices == 3) stop = true;
    });
    EXPECT_EQ(slices, 3);
    EXPECT_EQ(attempt, 5u);
}

TEST(BackoffWaitThreads, AStopDuringTheLongestWaitEndsItWithinASlice) {
    std::atomic<bool> stop{false};
    unsigned attempt = 5;
    std::thread stopper([&] {
        std::this_thread::sleep_for(150ms);
        stop = true;
    });
    const Clock::time_point start = Clock::now();
    soundcard::backoff_wait(attempt, stop);
    const auto waited = Clock::now() - start;
    stopper.join();
    EXPECT_EQ(attempt, 5u);
    EXPECT_LT(waited, 2500ms);  // a full wait would take 5 s
}

TEST(AttemptReset, CountsWholeSecondsOfRunAndSinceTheLastRebuild) {
    const Clock::time_point now = Clock::now();
    struct Case {
        std::optional<std::chrono::milliseconds> rebuild_ago;
        std::chrono::milliseconds ran;
        bool resets;
    };
    const std::vector<Case> cases = {
        {std::nullopt, 60000ms, true},  {std::nullopt, 59999ms, false},
        {std::nullopt, 59900ms, false}, {60000ms, 60000ms, true},
        {61000ms, 60500ms, true},       {59900ms, 60000ms, false},
        {1000ms, 600000ms, false},      {std::nullopt, 0ms, false},
    };
    for (const Case& c : cases) {
        std::optional<Clock::time_point> last;
        if (c.rebuild_ago) last = now - *c.rebuild_ago;
        EXPECT_EQ(soundcard::attempt_resets(last, now - c.ran, now), c.resets)
            << (c.rebuild_ago ? c.rebuild_ago->count() : -1) << " " << c.ran.count();
    }
}

using alsa::SampleFormat;
using alsa::SupportedConfig;
using Configs = std::vector<SupportedConfig>;

TEST(StreamConfigChoice, ValidationWantsTheExactCountAndTheRateWithinBounds) {
    const Configs configs = {{4, 44100, 44100, SampleFormat::I16},
                             {2, 8000, 48000, SampleFormat::F32}};
    struct Case {
        uint32_t rate;
        uint32_t channels;
        bool valid;
    };
    const std::vector<Case> cases = {
        {48000, 2, true},      {8000, 2, true},  {7999, 2, false},  {48001, 2, false},
        {48000, 1, false},     {44100, 4, true}, {48000, 4, false}, {48000, 65538, false},
        {44100, 65540, false}, {0, 2, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(soundcard::validate_stream_config(configs, c.rate, c.channels, Direction::Input),
                  c.valid)
            << c.rate << " " << c.channels;
    }
    EXPECT_FALSE(soundcard::validate_stream_config({}, 48000, 1, Direction::Output));
}

TEST(StreamConfigChoice, NegotiationFallsBackToTheSmallestCountAtTheRate) {
    struct Case {
        std::string name;
        std::vector<Result<Configs>> answers;  // one per query
        uint32_t rate;
        uint32_t channels;
        Direction direction;
        std::string result;  // the count, or the error text
        std::vector<std::string> lines;
        int queries;
    };
    const Configs stereo_quad = {{4, 8000, 48000, SampleFormat::I16},
                                 {2, 8000, 48000, SampleFormat::F32},
                                 {1, 96000, 96000, SampleFormat::I16}};
    const std::string line_1_2 =
        "audio input: device does not support 1ch, using 2ch (will extract single channel)";
    const std::vector<Case> cases = {
        {"0 counts as 1",
         {Configs{{1, 48000, 48000, SampleFormat::I16}}},
         48000,
         0,
         Direction::Input,
         "1",
         {},
         1},
        {"offered as asked", {stereo_quad}, 48000, 4, Direction::Output, "4", {}, 1},
        {"1 asked of 2 and 4",
         {stereo_quad, stereo_quad},
         48000,
         1,
         Direction::Input,
         "2",
         {line_1_2},
         2},
        {"count beyond 16 bits never wraps onto 2",
         {stereo_quad, stereo_quad},
         48000,
         65538,
         Direction::Output,
         "2",
         {"audio output: device does not support 65538ch, using 2ch (will extract single "
          "channel)"},
         2},
        {"no configuration at the rate",
         {stereo_quad, stereo_quad},
         44,
         2,
         Direction::Output,
         "device does not support 44 Hz output in any channel configuration",
         {},
         2},
        {"first query fails",
         {Result<Configs>(make_error("No such device"))},
         48000,
         1,
         Direction::Input,
         "query supported input configs: No such device",
         {},
         1},
        {"second query fails",
         {stereo_quad, Result<Configs>(make_error("No such device"))},
         48000,
         1,
         Direction::Output,
         "query supported output configs: No such device",
         {},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::LineLog log;
        std::size_t queries = 0;
        Result<uint16_t> got = soundcard::negotiate_channels(
            [&]() -> Result<Configs> { return c.answers.at(queries++); }, c.rate, c.channels,
            c.direction, log.sink());
        EXPECT_EQ(got.ok() ? std::to_string(*got) : got.error_text(), c.result);
        EXPECT_EQ(log.lines(), c.lines);
        EXPECT_EQ(queries, static_cast<std::size_t>(c.queries));
    }
}

TEST(StreamConfigChoice, CaptureRateStaysWithin48000AndSaysWhenItDiffers) {
    const Result<Configs> wide = Configs{{2, 8000, 96000, SampleFormat::I16}};
    const Result<Configs> discrete =
        Configs{{1, 44100, 44100, SampleFormat::I16}, {1, 48000, 48000, SampleFormat::I16}};
    const Result<Configs> high_only =
        Configs{{2, 96000, 96000, SampleFormat::I16}, {2, 192000, 192000, SampleFormat::I16}};
    const Result<Configs> failed = make_error("Input/output error");
    struct Case {
        const Result<Configs>* configs;
        uint32_t requested;
        uint32_t default_rate;
        uint32_t chosen;
    };
    const std::vector<Case> cases = {
        {&wide, 44100, 48000, 44100},           {&wide, 48000, 44100, 48000},
        {&wide, 96000, 44100, 44100},           {&wide, 0, 22050, 22050},
        {&discrete, 22050, 48000, 48000},       {&discrete, 44100, 48000, 44100},
        {&high_only, 96000, 96000, 48000},      {&high_only, 48000, 192000, 48000},
        {&high_only, 96000, 0, 48000},          {&failed, 44100, 16000, 16000},
        {&discrete, 4000000000u, 44100, 44100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        test_support::LineLog log;
        EXPECT_EQ(
            soundcard::choose_capture_rate(*c.configs, c.requested, c.default_rate, log.sink()),
            c.chosen);
        std::vector<std::string> lines;
        if (c.chosen != c.requested) {
            lines.push_back(fmt::format(
                "quillmar-modem: input rate {} Hz unsupported/corrupt; opening at {} Hz instead",
                c.requested, c.chosen));
        }
        EXPECT_EQ(log.lines(), lines);
    }
}

TEST(StreamConfigChoice, FormatPrefersI16ThenF32ThenTheFirstListed) {
    using F = SampleFormat;
    struct Case {
        Result<Configs> configs;
        F chosen;
    };
    const std::vector<Case> cases = {
        {Configs{{2, 8000, 48000, F::F32}, {2, 8000, 48000, F::I16}}, F::I16},
        {Configs{{1, 8000, 48000, F::U16}, {4, 8000, 48000, F::F32}}, F::F32},
        {Configs{{1, 8000, 48000, F::I24}, {1, 8000, 48000, F::U16}}, F::I24},
        {Configs{{1, 48000, 48000, F::U8}}, F::U8},
        {Configs{{1, 8000, 8000, F::I16}, {1, 48000, 48000, F::F32}}, F::F32},
        {Configs{{1, 8000, 8000, F::I16}}, F::U32},
        {Result<Configs>(make_error("No such device")), F::U32},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(soundcard::choose_sample_format(c.configs, 48000, F::U32), c.chosen);
    }
    EXPECT_EQ(soundcard::refused_format_name(F::I16), "");
    EXPECT_EQ(soundcard::refused_format_name(F::U16), "");
    EXPECT_EQ(soundcard::refused_format_name(F::F32), "");
    EXPECT_EQ(soundcard::refused_format_name(F::I24), "I24");
    EXPECT_EQ(soundcard::refused_format_name(F::F64), "F64");
}

// A stream thread over fake streams, with the test's log and fast slices.
struct Harness {
    std::shared_ptr<FakeStreams> streams = std::make_shared<FakeStreams>();
    test_support::LineLog log;
    test_support::FastClock clock;
    std::shared_ptr<soundcard::StreamControl> control =
        std::make_shared<soundcard::StreamControl>();
    std::atomic<int> failures_handled{0};
    std::atomic<int> ends{0};

    Result<std::thread> start(Direction direction, std::string refused_format = "",
                              std::function<long long()> stamp = nullptr) {
        soundcard::StreamThreadPlan plan;
        plan.direction = direction;
        plan.builder = streams->builder();
        plan.make_callback = [direction]() -> soundcard::DataCallback {
            if (direction == Direction::Input) return soundcard::CaptureCallback([](auto) {});
            return soundcard::PlaybackCallback([](auto) {});
        };
        plan.refused_format = std::move(refused_format);
        plan.after_failure = [this] { ++failures_handled; };
        plan.at_end = [this] { ++ends; };
        plan.log = log.sink(std::move(stamp));
        plan.park = clock.park();
        return soundcard::start_stream_thread(std::move(plan), control);
    }

    void stop(std::thread& thread) {
        control->stop = true;
        control->parker.unpark();
        thread.join();
    }
};

TEST(StreamThread, FirstStartFailuresReachTheOpenerAtOnceWithoutRetry) {
    struct Case {
        Direction direction;
        FakeBuild build;
        std::string refused_format;
        std::string error;
        int builds;
    };
    const std::vector<Case> cases = {
        {Direction::Input, FakeBuild::build_fails("No such device"), "",
         "cpal build_input_stream: No such device", 1},
        {Direction::Output, FakeBuild::build_fails("No such device"), "",
         "cpal build_output_stream: No such device", 1},
        {Direction::Input, FakeBuild::play_fails("Broken pipe"), "",
         "cpal input stream play: Broken pipe", 1},
        {Direction::Output, FakeBuild::play_fails("Broken pipe"), "",
         "cpal output stream play: Broken pipe", 1},
        {Direction::Input, {}, "I24", "cpal unsupported input sample format: I24", 0},
        {Direction::Output, {}, "F64", "cpal unsupported output sample format: F64", 0},
        {Direction::Input, FakeBuild::throws(), "", "audio input thread exited unexpectedly", 1},
        {Direction::Output, FakeBuild::throws(), "", "audio output thread exited unexpectedly", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        Harness h;
        h.streams->script({c.build});
        Result<std::thread> started = h.start(c.direction, c.refused_format);
        ASSERT_FALSE(started.ok());
        EXPECT_EQ(started.error_text(), c.error);
        EXPECT_EQ(h.streams->builds(), c.builds);
        EXPECT_FALSE(h.streams->live());  // a stream that did not play is closed
        EXPECT_EQ(h.ends.load(), 1);
        EXPECT_TRUE(h.log.lines().empty());
    }
}

TEST(StreamThread, AStopBeforeTheFirstBuildEndsTheThreadWithoutAReply) {
    Harness h;
    h.control->stop = true;
    Result<std::thread> started = h.start(Direction::Output);
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error_text(), "audio output thread exited unexpectedly");
    EXPECT_EQ(h.streams->builds(), 0);
}

TEST(StreamThread, AnErrorReportedWhileTheStreamStartsStillRebuildsIt) {
    Harness h;
    h.streams->script(
        {{}, FakeBuild::fails_in_play("Broken pipe"), FakeBuild::fails_in_play("Broken pipe")});
    Result<std::thread> started = h.start(Direction::Input);
    ASSERT_TRUE(started.ok()) << started.error_text();
    ASSERT_TRUE(h.streams->fail("No such device"));
    // The second and third streams fail before play returns; the thread must
    // not park on them.
    EXPECT_TRUE(h.streams->wait_playing_build(4));
    EXPECT_EQ(h.failures_handled.load(), 3);
    h.stop(started.value());
    EXPECT_EQ(h.log.count("cpal input stream error: No such device"), 1);
    EXPECT_EQ(h.log.count("cpal input stream error: Broken pipe"), 2);
    EXPECT_EQ(h.log.count("cpal input stream failed, rebuilding"), 3);
    EXPECT_FALSE(h.streams->live());
    EXPECT_EQ(h.ends.load(), 1);
}

TEST(StreamThread, RebuildFailuresBackOffRowByRowWithTheirLines) {
    Harness h;
    auto now = [&h] { return h.clock.asked_ms(); };
    h.streams->stamp_builds(now);
    h.streams->script({{},
                       FakeBuild::build_fails("No such device"),
                       FakeBuild::build_fails("No such device"),
                       FakeBuild::play_fails("Device or resource busy"),
                       {}});
    Result<std::thread> started = h.start(Direction::Output, "", now);
    ASSERT_TRUE(started.ok()) << started.error_text();
    ASSERT_TRUE(h.streams->fail("Broken pipe"));
    ASSERT_TRUE(h.streams->wait_playing_build(5));
    ASSERT_TRUE(h.streams->fail("Broken pipe"));
    ASSERT_TRUE(h.streams->wait_playing_build(6));
    h.stop(started.value());

    EXPECT_EQ(h.log.lines(), (std::vector<std::string>{
                                 "cpal output stream error: Broken pipe",
                                 "cpal output stream failed, rebuilding",
                                 "cpal rebuild output stream failed: No such device",
                                 "cpal rebuild output stream failed: No such device",
                                 "cpal rebuild output stream play failed: Device or resource busy",
                                 "cpal output stream error: Broken pipe",
                                 "cpal output stream failed, rebuilding",
                             }));
    // From each line that starts a back-off to the next build: the table's
    // rows in turn, with no reset (no stream ran a minute).
    const std::vector<long long> line_at = h.log.stamps();
    const std::vector<long long> build_at = h.streams->build_stamps();
    ASSERT_EQ(line_at.size(), 7u);
    ASSERT_EQ(build_at.size(), 6u);
    EXPECT_EQ(build_at[1] - line_at[1], 100);
    EXPECT_EQ(build_at[2] - line_at[2], 250);
    EXPECT_EQ(build_at[3] - line_at[3], 500);
    EXPECT_EQ(build_at[4] - line_at[4], 1000);
    EXPECT_EQ(build_at[5] - line_at[6], 2000);
    EXPECT_EQ(h.failures_handled.load(), 2);
}

TEST(StreamThread, StopEndsARunningThreadAtOnceWhenUnparked) {
    Harness h;
    Result<std::thread> started = h.start(Direction::Output);
    ASSERT_TRUE(started.ok()) << started.error_text();
    const Clock::time_point before = Clock::now();
    h.stop(started.value());
    EXPECT_LT(Clock::now() - before, 5s);  // hang guard
    EXPECT_FALSE(h.streams->live());
    EXPECT_EQ(h.failures_handled.load(), 0);
    EXPECT_EQ(h.ends.load(), 1);
}

}  // namespace
