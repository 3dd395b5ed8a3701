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
