#include "modem/tx_worker.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/allocation_failure.h"
#include "support/alsa_config.h"
#include "support/eventually.h"
#include "support/fake_stream.h"
#include "support/stderr_capture.h"

namespace {

using modem::TxMessage;
using modem::TxRequest;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

constexpr std::chrono::seconds kHangGuard{20};

std::string thread_name() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// What the fake drivers and sinks did, in order, with the thread and time of
// each step.
class EventLog {
public:
    struct Event {
        std::string what;
        std::string thread;
        Clock::time_point at;
    };

    void add(std::string what) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            events_.push_back({std::move(what), thread_name(), Clock::now()});
        }
        changed_.notify_all();
    }

    std::vector<Event> events() const {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }

    Lines whats() const {
        Lines out;
        for (const Event& e : events()) out.push_back(e.what);
        return out;
    }

    // The first event named `what`, waiting for it as a hang guard.
    std::optional<Event> wait_for(const std::string& what) const {
        std::unique_lock<std::mutex> guard(lock_);
        std::optional<Event> found;
        changed_.wait_for(guard, kHangGuard, [&] {
            for (const Event& e : events_) {
                if (e.what == what) {
                    found = e;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
};

// A latch the test opens.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, kHangGuard, [this] { return open_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = false;
};

struct DriverPlan {
    std::string build_error;  // the first `build_failures` builds fail with this text
    int build_failures = 0;
    std::string key_error;    // key fails with this text
    std::string unkey_error;  // unkey fails with this text
    bool key_throws = false;
    bool unkey_throws = false;
    std::shared_ptr<Gate> key_gate;  // key waits for it first
    std::function<void()> on_unkey;  // runs in each unkey, before its event
};

DriverPlan failing(std::string key_error, std::string unkey_error) {
    DriverPlan plan;
    plan.key_error = std::move(key_error);
    plan.unkey_error = std::move(unkey_error);
    return plan;
}

class FakeDriver : public ptt::PttDriver {
public:
    FakeDriver(EventLog& log, std::string name, DriverPlan plan)
        : log_(log), name_(std::move(name)), plan_(std::move(plan)) {}
    ~FakeDriver() override { log_.add("release " + name_); }

    Status key() override {
        log_.add("key " + name_);
        if (plan_.key_gate) plan_.key_gate->wait();
        if (plan_.key_throws) throw std::runtime_error("key exploded");
        if (!plan_.key_error.empty()) return Error{plan_.key_error};
        return Status::success();
    }
    Status unkey() override {
        if (plan_.on_unkey) plan_.on_unkey();
        log_.add("unkey " + name_);
        if (plan_.unkey_throws) throw std::runtime_error("unkey exploded");
        if (!plan_.unkey_error.empty()) return Error{plan_.unkey_error};
        return Status::success();
    }

private:
    EventLog& log_;
    std::string name_;
    DriverPlan plan_;
};

// What a fake sink does with one submitted block.
enum class Play {
    Instant,       // played jumps to the target
    Stuck,         // played stays
    Half,          // played rises by half the block
    StreamFails,   // the stream fails: played := submitted, failures + 1
    SubmitFails,   // submit returns an error
    SubmitThrows,  // submit throws
    PlayedThrows,  // the block is taken; reading played throws from then on
};

struct SinkState {
    std::atomic<uint64_t> submitted{0};
    std::atomic<uint64_t> played{0};
    std::atomic<uint64_t> failures{0};
    std::atomic<bool> played_throws{false};
};

class FakeSink : public modem::TxSink {
public:
    FakeSink(EventLog& log, std::string name, std::shared_ptr<SinkState> state,
             std::function<Play()> next_play)
        : log_(log),
          name_(std::move(name)),
          state_(std::move(state)),
          next_play_(std::move(next_play)) {}
    ~FakeSink() override { log_.add("drop " + name_); }

    Result<uint64_t> submit(audio::SampleBlock block) override {
        const uint64_t n = block.size();
        const Play play = next_play_();
        if (play == Play::SubmitFails) {
            log_.add(fmt::format("submit {} {} failed", name_, n));
            return make_error("queue gone");
        }
        if (play == Play::SubmitThrows) {
            log_.add(fmt::format("submit {} {} threw", name_, n));
            throw std::runtime_error("submit exploded");
        }
        const uint64_t target = state_->submitted.fetch_add(n) + n;
        log_.add(fmt::format("submit {} {} -> {}", name_, n, target));
        switch (play) {
            case Play::Instant:
                state_->played.store(target);
                break;
            case Play::Half:
                state_->played.fetch_add(n / 2);
                break;
            case Play::StreamFails:
                state_->played.store(target);
                state_->failures.fetch_add(1);
                break;
            case Play::PlayedThrows:
                state_->played_throws.store(true);
                break;
            default:
                break;
        }
        return target;
    }
    uint64_t played() const override {
        if (state_->played_throws.load()) throw std::runtime_error("played exploded");
        return state_->played.load();
    }
    uint64_t failures() const override { return state_->failures.load(); }

private:
    EventLog& log_;
    std::string name_;
    std::shared_ptr<SinkState> state_;
    std::function<Play()> next_play_;
};

// The output opener of the tests: scripted open failures and per-submit
// behaviour, and the state of every sink it opened.
class FakeOutput {
public:
    explicit FakeOutput(EventLog& log) : log_(log) {}

    void fail_next_open(std::string error) {
        std::lock_guard<std::mutex> guard(lock_);
        open_errors_.push_back(std::move(error));
    }
    // One behaviour per submit, in order; Instant once they are used up.
    void script(std::vector<Play> plays) {
        std::lock_guard<std::mutex> guard(lock_);
        plays_.assign(plays.begin(), plays.end());
    }
    // Samples every sink opened from now on holds unplayed from the start.
    void set_backlog(uint64_t samples) { backlog_ = samples; }

    // The state of the i-th sink opened.
    std::shared_ptr<SinkState> sink(size_t i) const {
        std::lock_guard<std::mutex> guard(lock_);
        return sinks_.at(i);
    }

    modem::OutputOpener opener() {
        return [this](const soundcard::OutputSpec& spec, std::optional<modem::OutputDevice> device)
                   -> Result<std::unique_ptr<modem::TxSink>> {
            log_.add(
                fmt::format("open {} device={}", spec.device_name, device ? device->name : "none"));
            std::lock_guard<std::mutex> guard(lock_);
            if (!open_errors_.empty()) {
                std::string error = open_errors_.front();
                open_errors_.pop_front();
                return Error{error};
            }
            auto state = std::make_shared<SinkState>();
            state->submitted = backlog_.load();
            sinks_.push_back(state);
            return std::unique_ptr<modem::TxSink>(std::make_unique<FakeSink>(
                log_, spec.device_name, state, [this] { return next_play(); }));
        };
    }

private:
    Play next_play() {
        std::lock_guard<std::mutex> guard(lock_);
        if (plays_.empty()) return Play::Instant;
        Play play = plays_.front();
        plays_.pop_front();
        return play;
    }

    EventLog& log_;
    mutable std::mutex lock_;
    std::deque<std::string> open_errors_;
    std::deque<Play> plays_;
    std::vector<std::shared_ptr<SinkState>> sinks_;
    std::atomic<uint64_t> backlog_{0};
};

soundcard::OutputSpec spec_for(uint32_t device_id) {
    return {fmt::format("card{}", device_id), 48000, 1, 0, 0};
}

TxRequest request(uint32_t channel, size_t samples, uint32_t sample_rate = 48000,
                  uint32_t device_id = 3) {
    TxRequest r;
    r.samples.assign(samples, 100);
    r.output = spec_for(device_id);
    r.channel = channel;
    r.sample_rate = sample_rate;
    r.output_device_id = device_id;
    return r;
}

const std::string kOpened3 = "quillmar-modem: TX sink opened for device_id=3 at 48000 Hz";

// Builds fake drivers on the worker: the settings' device names the driver,
// whose plan the test gave before it sent the settings.
class FakeBuilder {
public:
    explicit FakeBuilder(EventLog& log) : log_(log) {}

    void plan(const std::string& name, DriverPlan plan) {
        std::lock_guard<std::mutex> guard(lock_);
        plans_[name] = std::move(plan);
    }
    // Where the builds ran, one entry per build.
    Lines build_threads() const {
        std::lock_guard<std::mutex> guard(lock_);
        return threads_;
    }

    modem::DriverBuilder builder() {
        return [this](const ptt::PttSettings& settings)
                   -> Result<std::unique_ptr<ptt::PttDriver>> {
            DriverPlan plan;
            {
                std::lock_guard<std::mutex> guard(lock_);
                threads_.push_back(thread_name());
                DriverPlan& planned = plans_[settings.device];
                if (planned.build_failures > 0) {
                    --planned.build_failures;
                    return Error{planned.build_error};
                }
                plan = planned;
            }
            return std::unique_ptr<ptt::PttDriver>(
                std::make_unique<FakeDriver>(log_, settings.device, plan));
        };
    }

private:
    EventLog& log_;
    mutable std::mutex lock_;
    std::map<std::string, DriverPlan> plans_;
    Lines threads_;
};

// The settings of the fake driver `name` under `method`.
ptt::PttSettings fake_settings(const std::string& name, const std::string& method = "fake") {
    ptt::PttSettings settings;
    settings.method = method;
    settings.device = name;
    return settings;
}

bool is_configured_line(const std::string& line) {
    return line.starts_with("quillmar-modem: PTT configured for channel ");
}

// One worker with fake drivers and sinks, its standard error captured.
struct Station {
    EventLog log;
    FakeOutput output{log};
    FakeBuilder drivers{log};
    test_support::StderrCapture capture;
    std::optional<modem::TxWorker> worker;
    modem::TxEnd end;  // the real bound unless a test lowers it

    void start() { start(output.opener()); }
    void start(modem::OutputOpener opener) { start(std::move(opener), drivers.builder()); }
    void start(modem::OutputOpener opener, modem::DriverBuilder builder) {
        auto spawned = modem::TxWorker::spawn(std::move(opener), std::move(builder), end);
        ASSERT_TRUE(spawned.ok()) << spawned.error_text();
        worker.emplace(std::move(spawned).value());
    }
    void send(TxMessage message) {
        Status sent = worker->send(std::move(message));
        ASSERT_TRUE(sent.ok()) << sent.error_text();
    }
    // Has the worker build the fake driver `name` for `channel`.
    void add_driver(uint32_t channel, const std::string& name, DriverPlan plan = {},
                    const std::string& method = "fake") {
        drivers.plan(name, std::move(plan));
        send(TxMessage::ConfigurePtt{channel, fake_settings(name, method)});
    }
    void add_device(uint32_t id, const std::string& name) {
        alsa::Device device;
        device.name = name;
        send(TxMessage::RegisterOutputDevice{id, std::move(device)});
    }
    void transmit(TxRequest r) {
        Status sent = worker->transmit(std::move(r));
        ASSERT_TRUE(sent.ok()) << sent.error_text();
    }
    void wait_for(const std::string& what) { ASSERT_TRUE(log.wait_for(what)) << what; }
    // Waits until the worker has ended and its queue refuses messages. The
    // probe sent meanwhile would log a line if it were ever handled.
    void wait_until_ended() {
        ASSERT_TRUE(test_support::eventually(
            [&] { return !worker->send(TxMessage::ManualKey{99, false}).ok(); }));
    }
    // Tears the worker down; the lines it wrote, but for the lines of the
    // drivers built.
    Lines finish() {
        Lines lines = finish_all();
        std::erase_if(lines, is_configured_line);
        return lines;
    }
    Lines finish_all() {
        worker.reset();
        return capture.stop();
    }
    void expect_all_on_worker_thread() {
        for (const auto& e : log.events()) EXPECT_EQ(e.thread, "quillmar-tx") << e.what;
    }
};

TEST(TxWorker, EachTransmissionOutcomeLogsItsLinesAndEndsUnkeyedWithTheSinkKeptOrClosed) {
    // Channel 0 ("A") transmits 480 samples on device 3 (registered as
    // "reg3"), then channel 1 ("B") 240 samples on the same device; the
    // events end with the teardown.
    const DriverPlan key_fails = failing("key broke", "");
    const DriverPlan key_and_unkey_fail = failing("key broke", "unkey broke");
    const DriverPlan unkey_fails = failing("", "unkey broke");
    struct Case {
        const char* name;
        bool driver_a;
        DriverPlan plan;
        std::string open_error;
        Play first;
        Lines lines;
        Lines events;
    };
    const Lines reopened_tail = {"open card3 device=none", "key B", "submit card3 240 -> 240",
                                 "unkey B"};
    auto join = [](Lines a, const Lines& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Lines teardown = {"release A", "release B", "drop card3"};
    const std::vector<Case> cases = {
        {"no driver",
         false,
         {},
         "",
         Play::Instant,
         {"quillmar-modem: TransmitFrame: no PTT driver registered for channel 0", kOpened3},
         {"open card3 device=reg3", "key B", "submit card3 240 -> 240", "unkey B", "release B",
          "drop card3"}},
        {"open fails",
         true,
         {},
         "no such card",
         Play::Instant,
         {"quillmar-modem: TransmitFrame: open output device_id=3: no such card", kOpened3},
         join(join({"open card3 device=reg3"}, reopened_tail), teardown)},
        {"key fails",
         true,
         key_fails,
         "",
         Play::Instant,
         {kOpened3, "quillmar-modem: TransmitFrame: ptt_key: key broke"},
         join({"open card3 device=reg3", "key A", "unkey A", "key B", "submit card3 240 -> 240",
               "unkey B"},
              teardown)},
        {"key and its unkey fail",
         true,
         key_and_unkey_fail,
         "",
         Play::Instant,
         {kOpened3, "quillmar-modem: TransmitFrame: ptt_unkey after key failure: unkey broke",
          "quillmar-modem: TransmitFrame: ptt_key: key broke"},
         join({"open card3 device=reg3", "key A", "unkey A", "key B", "submit card3 240 -> 240",
               "unkey B"},
              teardown)},
        {"submit fails",
         true,
         {},
         "",
         Play::SubmitFails,
         {kOpened3, "quillmar-modem: TransmitFrame: sink submit: queue gone", kOpened3},
         join(join({"open card3 device=reg3", "key A", "submit card3 480 failed", "drop card3",
                    "unkey A"},
                   reopened_tail),
              teardown)},
        {"submit and its unkey fail",
         true,
         unkey_fails,
         "",
         Play::SubmitFails,
         {kOpened3, "quillmar-modem: TransmitFrame: ptt_unkey after submit failure: unkey broke",
          "quillmar-modem: TransmitFrame: sink submit: queue gone", kOpened3},
         join(join({"open card3 device=reg3", "key A", "submit card3 480 failed", "drop card3",
                    "unkey A"},
                   reopened_tail),
              teardown)},
        {"drain timeout",
         true,
         {},
         "",
         Play::Stuck,
         {kOpened3, "quillmar-modem: TransmitFrame: drain timeout after 510 ms (0/480 samples)",
          kOpened3},
         join(join({"open card3 device=reg3", "key A", "submit card3 480 -> 480", "drop card3",
                    "unkey A"},
                   reopened_tail),
              teardown)},
        {"stream failure",
         true,
         {},
         "",
         Play::StreamFails,
         {kOpened3, kOpened3},
         join(join({"open card3 device=reg3", "key A", "submit card3 480 -> 480", "drop card3",
                    "unkey A"},
                   reopened_tail),
              teardown)},
        {"unkey fails",
         true,
         unkey_fails,
         "",
         Play::Instant,
         {kOpened3, "quillmar-modem: TransmitFrame: ptt_unkey: unkey broke"},
         join({"open card3 device=reg3", "key A", "submit card3 480 -> 480", "unkey A", "key B",
               "submit card3 240 -> 720", "unkey B"},
              teardown)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Station s;
        if (!c.open_error.empty()) s.output.fail_next_open(c.open_error);
        s.output.script({c.first});
        s.start();
        s.add_device(3, "reg3");
        if (c.driver_a) s.add_driver(0, "A", c.plan);
        s.add_driver(1, "B");
        s.transmit(request(0, 480));
        s.transmit(request(1, 240));
        s.wait_for("unkey B");
        EXPECT_EQ(s.finish(), c.lines);
        EXPECT_EQ(s.log.whats(), c.events);
        s.expect_all_on_worker_thread();
    }
}

TEST(TxWorker, DrainWaitsTheNominalDurationEvenWhenPlayedIsAtTheTarget) {
    Station s;
    s.start();
    s.add_driver(0, "A");
    s.transmit(request(0, 4800));  // 100 ms at 48000 Hz; played reaches the target at once
    s.wait_for("unkey A");
    auto key = s.log.wait_for("key A");
    auto unkey = s.log.wait_for("unkey A");
    EXPECT_GE(unkey->at - key->at, std::chrono::milliseconds(100));
    EXPECT_EQ(s.finish(), Lines{kOpened3});
}

TEST(TxWorker, EmptyTransmissionUnkeysOnceThePlayedCountReachesTheTarget) {
    Station s;
    s.output.set_backlog(100);  // the sink opens with 100 samples still to play
    s.output.script({Play::Stuck});
    s.start();
    s.add_driver(0, "A");
    s.transmit(request(0, 0));
    s.wait_for("submit card3 0 -> 100");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(s.log.whats(), (Lines{"open card3 device=none", "key A", "submit card3 0 -> 100"}));
    s.output.sink(0)->played.store(100);
    s.wait_for("unkey A");
    EXPECT_EQ(s.finish(), Lines{kOpened3});
}

TEST(TxWorker, DrainTimingIsSaturatingIntegerArithmeticWithRateZeroCountedAsOne) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    struct Case {
        uint64_t samples;
        uint32_t rate;
        uint64_t nominal_ns;
        uint64_t deadline_ns;
    };
    const Case cases[] = {
        {0, 48000, 0, 500'000'000},
        {480, 48000, 10'000'000, 510'000'000},
        {1, 3, 333'333'333, 833'333'333},
        {1, 0, 1'000'000'000, 1'500'000'000},
        {48000, 1, 48000 * 1'000'000'000ull, 48000 * 1'000'000'000ull + 500'000'000},
        {kMax / 1'000'000'000, 1, kMax / 1'000'000'000 * 1'000'000'000,
         kMax / 1'000'000'000 * 1'000'000'000 + 500'000'000},
        {kMax / 1'000'000'000 + 1, 1, kMax, kMax},
        {kMax / 1'000'000'000 + 1, 48000, kMax / 48000, kMax / 48000 + 500'000'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} samples at {} Hz", c.samples, c.rate));
        const modem::DrainTiming t = modem::drain_timing(c.samples, c.rate);
        EXPECT_EQ(t.nominal_ns, c.nominal_ns);
        EXPECT_EQ(t.deadline_ns, c.deadline_ns);
    }
}

TEST(TxWorker, DrainTimeoutLineShowsTheDeadlineAndThisTransmissionsPlayedSamples) {
    // The sink opens with `backlog` samples unplayed; each block moves played
    // on by `plays` before it stalls.
    struct Case {
        uint64_t backlog;
        Play play;
        size_t samples;
        uint32_t rate;
        std::string line;
    };
    const std::string prefix = "quillmar-modem: TransmitFrame: drain timeout after ";
    const Case cases[] = {
        {0, Play::Stuck, 480, 48000, prefix + "510 ms (0/480 samples)"},
        {0, Play::Half, 960, 48000, prefix + "520 ms (480/960 samples)"},
        {100, Play::Half, 960, 48000, prefix + "520 ms (380/960 samples)"},
        {1000, Play::Half, 960, 48000, prefix + "520 ms (0/960 samples)"},
        {0, Play::Stuck, 1, 0, prefix + "1500 ms (0/1 samples)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Station s;
        s.output.set_backlog(c.backlog);
        s.output.script({c.play});
        s.start();
        s.add_driver(0, "A");
        s.transmit(request(0, c.samples, c.rate));
        s.wait_for("unkey A");
        EXPECT_EQ(s.finish(), (Lines{"quillmar-modem: TX sink opened for device_id=3 at " +
                                         std::to_string(c.rate) + " Hz",
                                     c.line}));
    }
}

TEST(TxWorker, OneSinkServesTransmissionsWithTheSameSpecAndAnyChangedFieldReopensIt) {
    struct Case {
        const char* field;
        std::function<void(soundcard::OutputSpec&)> change;
    };
    const Case cases[] = {
        {"none", [](soundcard::OutputSpec&) {}},
        {"device_name", [](soundcard::OutputSpec& o) { o.device_name = "other"; }},
        {"sample_rate", [](soundcard::OutputSpec& o) { o.sample_rate = 44100; }},
        {"channels", [](soundcard::OutputSpec& o) { o.channels = 2; }},
        {"audio_channel", [](soundcard::OutputSpec& o) { o.audio_channel = 1; }},
        {"ptt_tone_hz", [](soundcard::OutputSpec& o) { o.ptt_tone_hz = 1200; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        Station s;
        s.start();
        s.add_device(3, "reg3");
        s.add_driver(0, "A");
        s.transmit(request(0, 480));
        s.add_device(3, "reg3b");
        TxRequest second = request(0, 240);
        c.change(second.output);
        const std::string second_name = second.output.device_name;
        s.transmit(std::move(second));
        s.transmit(request(0, 0, 48000, 9));  // marks the end
        s.wait_for("submit card9 0 -> 0");
        const Lines lines = s.finish();
        const Lines first = {"open card3 device=reg3", "key A", "submit card3 480 -> 480",
                             "unkey A"};
        Lines expected = first;
        if (std::string(c.field) == "none") {
            expected.insert(expected.end(), {"key A", "submit card3 240 -> 720", "unkey A"});
            EXPECT_EQ(std::count(lines.begin(), lines.end(), kOpened3), 1);
        } else {
            expected.insert(expected.end(),
                            {"drop card3", "open " + second_name + " device=reg3b", "key A",
                             "submit " + second_name + " 240 -> 240", "unkey A"});
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                    [](const std::string& l) {
                                        return l.starts_with(
                                            "quillmar-modem: TX sink opened for device_id=3 ");
                                    }),
                      2);
        }
        const Lines events = s.log.whats();
        ASSERT_GE(events.size(), expected.size());
        EXPECT_EQ(Lines(events.begin(), events.begin() + static_cast<long>(expected.size())),
                  expected);
    }
}

TEST(TxWorker, ManualKeyingLogsEachOutcomeAndAHeldKeyLastsUntilItsDriverIsReleased) {
    const DriverPlan key_fails = failing("key broke", "");
    const DriverPlan both_fail = failing("key broke", "unkey broke");
    const DriverPlan unkey_fails = failing("", "unkey broke");
    const std::string m = "quillmar-modem: ManualKey channel=2 ";
    struct Case {
        const char* name;
        bool driver;
        DriverPlan plan;
        bool keyed;
        Lines lines;
        Lines events;  // the teardown's included
    };
    const Case cases[] = {
        {"no driver", false, {}, true, {m + "no driver registered"}, {}},
        {"key", true, {}, true, {m + "keyed=true: ok"}, {"key D", "release D"}},
        {"unkey", true, {}, false, {m + "keyed=false: ok"}, {"unkey D", "release D"}},
        {"key fails",
         true,
         key_fails,
         true,
         {m + "keyed=true: key broke"},
         {"key D", "unkey D", "release D"}},
        {"key and its unkey fail",
         true,
         both_fail,
         true,
         {m + "ptt_unkey after key failure: unkey broke", m + "keyed=true: key broke"},
         {"key D", "unkey D", "release D"}},
        {"unkey fails",
         true,
         unkey_fails,
         false,
         {m + "keyed=false: unkey broke"},
         {"unkey D", "release D"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Station s;
        s.start();
        if (c.driver) s.add_driver(2, "D", c.plan);
        s.send(TxMessage::ManualKey{2, c.keyed});
        ASSERT_TRUE(s.capture.wait_until(
            [&](const Lines& l) {
                return std::any_of(l.begin(), l.end(), [&](const std::string& line) {
                    return line.starts_with(m + "keyed=") || line.starts_with(m + "no driver");
                });
            },
            Clock::now() + kHangGuard));
        EXPECT_EQ(s.finish(), c.lines);
        EXPECT_EQ(s.log.whats(), c.events);
        s.expect_all_on_worker_thread();
    }
}

TEST(TxWorker, ManualKeyQueuedBehindATransmissionActsAfterItsUnkey) {
    Station s;
    s.start();
    s.add_driver(0, "A");
    s.transmit(request(0, 4800));
    s.send(TxMessage::ManualKey{0, true});
    s.send(TxMessage::ManualKey{0, false});
    ASSERT_TRUE(s.capture.wait_for_line("quillmar-modem: ManualKey channel=0 keyed=false: ok"));
    EXPECT_EQ(s.finish(), (Lines{kOpened3, "quillmar-modem: ManualKey channel=0 keyed=true: ok",
                                 "quillmar-modem: ManualKey channel=0 keyed=false: ok"}));
    EXPECT_EQ(s.log.whats(), (Lines{"open card3 device=none", "key A", "submit card3 4800 -> 4800",
                                    "unkey A", "key A", "unkey A", "release A", "drop card3"}));
}

TEST(TxWorker, ReplacedDriverIsReleasedOnTheWorkerBeforeTheNextMessage) {
    // A replacement releases the old driver; a build that fails releases it
    // too and leaves the channel without one.
    Station s;
    s.start();
    s.add_driver(0, "A");
    s.send(TxMessage::ManualKey{0, true});
    s.add_driver(0, "B");
    s.send(TxMessage::ManualKey{0, true});
    DriverPlan broken;
    broken.build_error = "no such port";
    broken.build_failures = 1;
    s.add_driver(0, "C", broken, "serial_rts");
    s.send(TxMessage::ManualKey{0, true});
    ASSERT_TRUE(
        s.capture.wait_for_line("quillmar-modem: ManualKey channel=0 no driver registered"));
    EXPECT_EQ(s.finish_all(),
              (Lines{"quillmar-modem: PTT configured for channel 0 (fake)",
                     "quillmar-modem: ManualKey channel=0 keyed=true: ok",
                     "quillmar-modem: PTT configured for channel 0 (fake)",
                     "quillmar-modem: ManualKey channel=0 keyed=true: ok",
                     "quillmar-modem: ConfigurePtt: build driver for channel 0 (serial_rts): no "
                     "such port",
                     "quillmar-modem: ManualKey channel=0 no driver registered"}));
    EXPECT_EQ(s.log.whats(), (Lines{"key A", "release A", "key B", "release B"}));
    s.expect_all_on_worker_thread();
    EXPECT_EQ(s.drivers.build_threads(), (Lines(3, "quillmar-tx")));
}

TEST(TxWorker, AFailedRigctldBuildIsRetriedBeforeTheChannelsNextTransmissionsOnly) {
    // Each channel's build fails twice. Only the "rigctld" one is tried again,
    // and only before a transmission on its channel: a manual key and another
    // channel's frame do not retry it, nor does a transmission once it is
    // built.
    const std::string no_driver0 =
        "quillmar-modem: TransmitFrame: no PTT driver registered for channel 0";
    const std::string no_driver1 =
        "quillmar-modem: TransmitFrame: no PTT driver registered for channel 1";
    const std::string failed0 =
        "quillmar-modem: ConfigurePtt: build driver for channel 0 (rigctld): silent";
    const std::string failed1 =
        "quillmar-modem: ConfigurePtt: build driver for channel 1 (gpio): silent";
    Station s;
    s.start();
    DriverPlan twice;
    twice.build_error = "silent";
    twice.build_failures = 2;
    s.add_driver(0, "R", twice, "rigctld");
    s.add_driver(1, "G", twice, "gpio");
    s.send(TxMessage::ManualKey{0, true});
    s.transmit(request(1, 48));
    s.transmit(request(0, 48));  // the retry fails: refused
    s.transmit(request(0, 48));  // the retry builds R, which serves it
    s.transmit(request(0, 48));  // no retry owed
    s.wait_for("unkey R");
    s.send(TxMessage::ManualKey{0, false});
    ASSERT_TRUE(s.capture.wait_for_line("quillmar-modem: ManualKey channel=0 keyed=false: ok"));
    EXPECT_EQ(s.finish_all(),
              (Lines{failed0, failed1, "quillmar-modem: ManualKey channel=0 no driver registered",
                     no_driver1, failed0, no_driver0,
                     "quillmar-modem: PTT configured for channel 0 (rigctld)", kOpened3,
                     "quillmar-modem: ManualKey channel=0 keyed=false: ok"}));
    EXPECT_EQ(s.log.whats(),
              (Lines{"open card3 device=none", "key R", "submit card3 48 -> 48", "unkey R", "key R",
                     "submit card3 48 -> 96", "unkey R", "unkey R", "release R", "drop card3"}));
    EXPECT_EQ(s.drivers.build_threads(), (Lines(4, "quillmar-tx")));
}

// The levels written on one shared PTT line of each kind, whoever wrote them.
class LineLevels {
public:
    void write(bool level) {
        std::lock_guard<std::mutex> guard(lock_);
        levels_.push_back(level);
    }
    std::vector<bool> levels() const {
        std::lock_guard<std::mutex> guard(lock_);
        return levels_;
    }

    // Openers whose devices record every write on the line the config names.
    ptt::DeviceOpeners openers() {
        struct Serial final : ptt::ModemControlLines {
            explicit Serial(LineLevels& l) : line(l) {}
            ptt::WriteStatus write_rts(bool level) noexcept override {
                line.write(level);
                return std::nullopt;
            }
            ptt::WriteStatus write_dtr(bool) noexcept override { return std::nullopt; }
            LineLevels& line;
        };
        struct Cm108 final : ptt::Cm108GpioControl {
            explicit Cm108(LineLevels& l) : line(l) {}
            ptt::WriteStatus write_gpio(uint8_t, bool level) noexcept override {
                line.write(level);
                return std::nullopt;
            }
            LineLevels& line;
        };
        struct Gpio final : ptt::GpiochipControl {
            explicit Gpio(LineLevels& l) : line(l) {}
            std::optional<ptt::GpioSetFault> set_line(bool level) noexcept override {
                line.write(level);
                return std::nullopt;
            }
            LineLevels& line;
        };
        ptt::DeviceOpeners o;
        o.serial = [this](const std::string&) -> Result<std::unique_ptr<ptt::ModemControlLines>> {
            return std::unique_ptr<ptt::ModemControlLines>(std::make_unique<Serial>(*this));
        };
        o.cm108 = [this](const std::string&) -> Result<std::unique_ptr<ptt::Cm108GpioControl>> {
            return std::unique_ptr<ptt::Cm108GpioControl>(std::make_unique<Cm108>(*this));
        };
        o.gpio = [this](const std::string&,
                        uint32_t) -> ptt::GpioResult<std::unique_ptr<ptt::GpiochipControl>> {
            return std::unique_ptr<ptt::GpiochipControl>(std::make_unique<Gpio>(*this));
        };
        return o;
    }

private:
    mutable std::mutex lock_;
    std::vector<bool> levels_;
};

TEST(TxWorker, ReplacingAManuallyKeyedDriverWithInvertedPolarityLeavesTheRadioUnkeyed) {
    // A channel keyed by hand is configured again on the same line with the
    // opposite polarity: the new driver's unkeyed level (high) is the old
    // driver's keyed one. Releasing the old driver must not write its own
    // unkeyed level (low) over it, which keys the rewired radio.
    for (const char* method : {"serial_rts", "cm108", "gpio"}) {
        SCOPED_TRACE(method);
        LineLevels line;
        auto config = [&](bool invert) {
            ptt::PttSettings c;
            c.method = method;
            c.device = "/dev/ptt0";
            c.gpio_line = 4;
            c.invert = invert;
            return TxMessage::ConfigurePtt{0, c};
        };
        Station s;
        s.start(s.output.opener(), modem::registry_driver_builder(line.openers()));
        s.send(config(false));
        s.send(TxMessage::ManualKey{0, true});
        ASSERT_TRUE(s.capture.wait_for_line("quillmar-modem: ManualKey channel=0 keyed=true: ok"));
        s.send(config(true));
        s.send(TxMessage::ManualKey{9, true});  // handled after the replacement
        ASSERT_TRUE(
            s.capture.wait_for_line("quillmar-modem: ManualKey channel=9 no driver registered"));
        EXPECT_EQ(line.levels(), (std::vector<bool>{false, true, true}));
        s.finish();
        EXPECT_EQ(line.levels(), (std::vector<bool>{false, true, true}));
    }
}

TEST(TxWorker, ClearOutputDevicesClosesSinksAndForgetsDevicesButKeepsDriversAndManualKeys) {
    Station s;
    s.start();
    s.add_device(3, "reg3");
    s.add_device(4, "reg4");
    s.add_driver(0, "A");
    s.transmit(request(0, 480));
    s.send(TxMessage::ManualKey{0, true});
    s.send(TxMessage::ClearOutputDevices{});
    s.transmit(request(0, 480, 48000, 4));
    s.wait_for("submit card4 480 -> 480");
    EXPECT_EQ(s.finish(), (Lines{kOpened3, "quillmar-modem: ManualKey channel=0 keyed=true: ok",
                                 "quillmar-modem: TX sink opened for device_id=4 at 48000 Hz"}));
    EXPECT_EQ(s.log.whats(),
              (Lines{"open card3 device=reg3", "key A", "submit card3 480 -> 480", "unkey A",
                     "key A", "drop card3", "open card4 device=none", "key A",
                     "submit card4 480 -> 480", "unkey A", "release A", "drop card4"}));
}

TEST(TxWorker, TransmitRefusesRequestsWhileTheQueuedOnesHoldTheSampleLimit) {
    Station s;
    s.start();
    auto gate = std::make_shared<Gate>();
    DriverPlan held;
    held.key_gate = gate;
    s.add_driver(0, "A", held);
    s.transmit(request(0, 1));
    s.wait_for("key A");  // the worker waits inside the key from here
    s.transmit(request(9, modem::kQueuedSampleLimit - 1));
    s.transmit(request(9, 1));
    Status refused = s.worker->transmit(request(9, 1));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error_text(),
              "tx worker transmit: 67108864 samples already queued (limit 67108864)");
    EXPECT_EQ(s.worker->send(TxMessage::Transmit{request(9, 1)}).error_text(),
              refused.error_text());
    gate->open();
    const std::string no_driver =
        "quillmar-modem: TransmitFrame: no PTT driver registered for channel 9";
    ASSERT_TRUE(s.capture.wait_until(
        [&](const Lines& l) { return std::count(l.begin(), l.end(), no_driver) == 2; },
        Clock::now() + kHangGuard));
    s.transmit(request(9, 1));
    ASSERT_TRUE(s.capture.wait_until(
        [&](const Lines& l) { return std::count(l.begin(), l.end(), no_driver) == 3; },
        Clock::now() + kHangGuard));
    EXPECT_EQ(s.finish(), (Lines{kOpened3, no_driver, no_driver, no_driver}));
}

TEST(TxWorker, TeardownDuringATransmissionReturnsAfterItsUnkeyAndDropsTheQueue) {
    Station s;
    s.start();
    s.add_driver(0, "A");
    s.transmit(request(0, 48000));  // 1 s: the teardown begins long before its end
    s.add_driver(7, "G");  // queued: never built
    s.send(TxMessage::ManualKey{0, true});
    s.transmit(request(0, 480));
    s.wait_for("submit card3 48000 -> 48000");
    s.worker.reset();
    s.log.add("teardown returned");
    EXPECT_EQ(s.finish(),
              (Lines{kOpened3, "quillmar-modem: TransmitFrame: dropped 1 queued transmissions"}));
    EXPECT_EQ(s.log.whats(),
              (Lines{"open card3 device=none", "key A", "submit card3 48000 -> 48000", "unkey A",
                     "release A", "drop card3", "teardown returned"}));
    EXPECT_EQ(s.drivers.build_threads().size(), 1u);
    for (const auto& e : s.log.events()) {
        if (e.what != "teardown returned") {
            EXPECT_EQ(e.thread, "quillmar-tx") << e.what;
        }
    }
}

// A transmission in hand at the end is cut, on the bound after the teardown
// began or at once when asked: the sink goes (its unplayed audio with it)
// before the unkey, nothing is submitted after, and what was queued behind it
// is dropped with one line (a queued driver's settings are never built).
TEST(TxWorker, AnEndingTransmissionIsCutOnTheBoundOrAtOnceAndTheQueueIsDropped) {
    using namespace std::chrono_literals;
    constexpr size_t kMinute = 48000 * 60;  // far beyond any bound or hang guard
    struct Case {
        const char* name;
        std::chrono::milliseconds bound;
        bool cut_at_once;  // asked for after the submit, before any teardown
        Play play;
        uint64_t played;  // of this transmission when it is cut
    };
    const Case cases[] = {
        {"cut on the bound, nothing played", 300ms, false, Play::Stuck, 0},
        {"cut on the bound, half played", 300ms, false, Play::Half, kMinute / 2},
        {"cut at once", std::chrono::hours(1), true, Play::Half, kMinute / 2},
    };
    const std::regex cut_line(
        R"(quillmar-modem: TransmitFrame: cut after (\d+) ms \((\d+)/(\d+) samples\))");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Station s;
        auto cut = std::make_shared<std::atomic<bool>>(false);
        s.end.bound = c.bound;
        s.end.cut_now = [cut] { return cut->load(); };
        s.output.script({c.play});
        s.start();
        s.add_driver(0, "A");
        s.transmit(request(0, kMinute));
        s.add_driver(7, "G");
        s.transmit(request(0, 480));
        s.send(TxMessage::ManualKey{0, true});
        s.transmit(request(7, 480));
        s.wait_for(fmt::format("submit card3 {} -> {}", kMinute, kMinute));
        const Clock::time_point end_began = Clock::now();
        if (c.cut_at_once) {
            cut->store(true);
            // The worker ends on its own, every driver released, before any
            // teardown.
            s.wait_for("release A");
        }
        s.worker.reset();
        const auto took = Clock::now() - end_began;
        if (!c.cut_at_once) {
            EXPECT_GE(took, c.bound);
        }
        EXPECT_LT(took, kHangGuard);
        EXPECT_EQ(s.log.whats(), (Lines{"open card3 device=none", "key A",
                                        fmt::format("submit card3 {} -> {}", kMinute, kMinute),
                                        "drop card3", "unkey A", "release A"}));
        s.expect_all_on_worker_thread();
        Lines lines = s.capture.stop();
        std::erase_if(lines, is_configured_line);
        ASSERT_EQ(lines.size(), 3u) << fmt::format("{}", lines);
        EXPECT_EQ(lines[0], kOpened3);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[1], m, cut_line)) << lines[1];
        if (!c.cut_at_once) {
            EXPECT_GE(std::stoull(m[1].str()), uint64_t(c.bound.count()));
        }
        EXPECT_EQ(std::stoull(m[2].str()), c.played);
        EXPECT_EQ(std::stoull(m[3].str()), kMinute);
        EXPECT_EQ(lines[2], "quillmar-modem: TransmitFrame: dropped 2 queued transmissions");
    }
}

TEST(TxWorker, ExceptionEndsTheWorkerUnkeyedWithTheSinkDroppedFirstAndLaterSendsFail) {
    struct Case {
        const char* name;
        DriverPlan plan;
        Play play;
        std::string what;
        Lines events;
    };
    DriverPlan key_throws, unkey_throws;
    key_throws.key_throws = true;
    unkey_throws.unkey_throws = true;
    const Case cases[] = {
        {"key",
         key_throws,
         Play::Instant,
         "key exploded",
         {"open card3 device=none", "key A", "unkey A", "release A", "drop card3"}},
        {"submit",
         {},
         Play::SubmitThrows,
         "submit exploded",
         {"open card3 device=none", "key A", "submit card3 480 threw", "drop card3", "unkey A",
          "release A"}},
        {"played",
         {},
         Play::PlayedThrows,
         "played exploded",
         {"open card3 device=none", "key A", "submit card3 480 -> 480", "drop card3", "unkey A",
          "release A"}},
        {"unkey",
         unkey_throws,
         Play::Instant,
         "unkey exploded",
         {"open card3 device=none", "key A", "submit card3 480 -> 480", "unkey A", "release A",
          "drop card3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Station s;
        auto gate = std::make_shared<Gate>();
        DriverPlan plan = c.plan;
        plan.key_gate = gate;
        s.output.script({c.play});
        s.start();
        s.add_driver(0, "A", plan);
        s.transmit(request(0, 480));
        s.wait_for("key A");
        s.add_driver(5, "Q");  // queued behind the transmission: never built
        gate->open();
        s.wait_until_ended();
        Status after = s.worker->transmit(request(0, 480));
        EXPECT_EQ(after.error_text(), "tx worker transmit: sending on a closed channel");
        Status manual = s.worker->send(TxMessage::ManualKey{0, true});
        EXPECT_EQ(manual.error_text(), "sending on a closed channel");
        EXPECT_EQ(s.finish(), (Lines{kOpened3, "quillmar-modem: tx worker stopped: " + c.what}));
        EXPECT_EQ(s.log.whats(), c.events);
        s.expect_all_on_worker_thread();
        EXPECT_EQ(s.drivers.build_threads().size(), 1u);
    }
}

TEST(TxWorker, AnExceptionWhoseLineCannotBeWrittenStillReleasesEveryDriver) {
    // Opening a sink throws, and the memory to report it is gone too: the
    // worker still ends by releasing its drivers, the one keyed by hand
    // included, instead of ending the process with that radio keyed.
    Station s;
    Gate gate;
    s.start(
        [&s, &gate](const soundcard::OutputSpec& spec,
                    std::optional<modem::OutputDevice>) -> Result<std::unique_ptr<modem::TxSink>> {
            s.log.add("open " + spec.device_name);
            gate.wait();
            std::runtime_error exploded("opener exploded");
            test_support::fail_allocations("quillmar-tx", 1);
            throw exploded;
        });
    s.add_driver(0, "M");
    s.send(TxMessage::ManualKey{0, true});
    s.add_driver(1, "B");
    s.transmit(request(1, 480));
    s.wait_for("open card3");
    s.add_driver(5, "Q");  // queued behind: dropped with the queue, never built
    gate.open();
    s.wait_for("release B");
    test_support::disarm_allocation_failures();
    s.wait_until_ended();
    EXPECT_EQ(s.worker->transmit(request(1, 480)).error_text(),
              "tx worker transmit: sending on a closed channel");
    EXPECT_EQ(s.finish(), Lines{"quillmar-modem: ManualKey channel=0 keyed=true: ok"});
    EXPECT_EQ(s.log.whats(), (Lines{"key M", "open card3", "release M", "release B"}));
    s.expect_all_on_worker_thread();
    EXPECT_EQ(s.drivers.build_threads().size(), 2u);
}

// Sound-card sinks over fake streams, whose buffers a pump thread takes as the
// library's thread would, keeping channel 0 of every frame.
class PumpedSinks {
public:
    PumpedSinks() : pump_([this] { pump(); }) {}
    ~PumpedSinks() {
        stop_ = true;
        pump_.join();
    }

    modem::OutputOpener opener() {
        return
            [this](const soundcard::OutputSpec& spec,
                   std::optional<modem::OutputDevice>) -> Result<std::unique_ptr<modem::TxSink>> {
                Result<soundcard::PlaybackSetup> setup = soundcard::output_setup(spec, 2);
                if (!setup) return setup.error();
                soundcard::StreamThreadOptions options;
                options.log = stream_lines.sink();
                Result<soundcard::AudioSink> sink =
                    soundcard::start_output(*setup, streams->builder(), std::move(options));
                if (!sink) return sink.error();
                return std::unique_ptr<modem::TxSink>(std::make_unique<CountedSink>(
                    open_sinks, modem::as_tx_sink(std::move(sink).value())));
            };
    }

    // Sinks opened and not yet dropped.
    std::atomic<int> open_sinks{0};

    // Channel 0 of every frame taken so far.
    std::vector<int16_t> recorded() const {
        std::lock_guard<std::mutex> guard(lock_);
        return recorded_;
    }
    // Takes buffers only while set.
    std::atomic<bool> pumping{true};

    std::shared_ptr<test_support::FakeStreams> streams =
        std::make_shared<test_support::FakeStreams>();
    test_support::LineLog stream_lines;

private:
    // Passes a sink through, counting it as open while it lives.
    class CountedSink : public modem::TxSink {
    public:
        CountedSink(std::atomic<int>& open, std::unique_ptr<modem::TxSink> inner)
            : open_(open), inner_(std::move(inner)) {
            ++open_;
        }
        ~CountedSink() override {
            inner_.reset();
            --open_;
        }
        Result<uint64_t> submit(audio::SampleBlock block) override {
            return inner_->submit(std::move(block));
        }
        uint64_t played() const override { return inner_->played(); }
        uint64_t failures() const override { return inner_->failures(); }

    private:
        std::atomic<int>& open_;
        std::unique_ptr<modem::TxSink> inner_;
    };

    void pump() {
        std::vector<int16_t> buffer(2 * 48);
        while (!stop_) {
            if (pumping) {
                // Held across the callback, so a reader sees every frame that
                // the played count includes.
                std::lock_guard<std::mutex> guard(lock_);
                if (streams->pump_playback(std::span<int16_t>(buffer))) {
                    for (size_t f = 0; f < buffer.size(); f += 2) recorded_.push_back(buffer[f]);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    mutable std::mutex lock_;
    std::vector<int16_t> recorded_;
    std::atomic<bool> stop_{false};
    std::thread pump_;
};

TEST(TxWorker, ThroughTheSoundcardSinkEverySamplePlaysOnceBeforeTheUnkey) {
    PumpedSinks sinks;
    Station s;
    size_t taken_at_unkey = 0;
    DriverPlan plan;
    plan.on_unkey = [&] {
        const std::vector<int16_t> r = sinks.recorded();
        taken_at_unkey = static_cast<size_t>(
            std::count_if(r.begin(), r.end(), [](int16_t v) { return v != 0; }));
    };
    s.start(sinks.opener());
    s.add_driver(0, "A", plan);
    TxRequest r = request(0, 4800);
    for (size_t i = 0; i < r.samples.size(); ++i) r.samples[i] = static_cast<int16_t>(i % 999 + 1);
    const audio::SampleBlock sent = r.samples;
    r.output.channels = 2;
    s.transmit(std::move(r));
    s.wait_for("unkey A");
    EXPECT_EQ(taken_at_unkey, sent.size());
    EXPECT_EQ(s.finish(), Lines{kOpened3});

    const std::vector<int16_t> recorded = sinks.recorded();
    const auto first = std::find_if(recorded.begin(), recorded.end(), [](int16_t v) { return v; });
    ASSERT_GE(recorded.end() - first, static_cast<long>(sent.size()));
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), first));
    EXPECT_TRUE(std::all_of(first + static_cast<long>(sent.size()), recorded.end(),
                            [](int16_t v) { return v == 0; }));
}

TEST(TxWorker, ThroughTheSoundcardSinkAStreamFailureEndsTheWaitAndTheSinkGoesBeforeTheUnkey) {
    PumpedSinks sinks;
    Station s;
    int builds_at_unkey = -1;
    bool live_at_unkey = true;
    int open_at_unkey = -1;
    DriverPlan plan;
    plan.on_unkey = [&] {
        builds_at_unkey = sinks.streams->builds();
        live_at_unkey = sinks.streams->live();
        open_at_unkey = sinks.open_sinks;
    };
    s.start(sinks.opener());
    s.add_driver(0, "A", plan);
    TxRequest r = request(0, 48000);  // 1 s
    r.output.channels = 2;
    s.transmit(std::move(r));
    ASSERT_TRUE(test_support::eventually([&] { return sinks.recorded().size() >= 480; }));
    sinks.pumping = false;
    ASSERT_TRUE(sinks.streams->fail("Broken pipe"));
    s.wait_for("unkey A");
    // The failed stream was never rebuilt: its sink was gone before the unkey.
    EXPECT_EQ(builds_at_unkey, 1);
    EXPECT_FALSE(live_at_unkey);
    EXPECT_EQ(open_at_unkey, 0);
    EXPECT_EQ(s.finish(), Lines{kOpened3});
}

// A real sink passed through, noting in the log when its played count first
// reaches the target of the last submit.
class WatchedSink : public modem::TxSink {
public:
    WatchedSink(EventLog& log, std::unique_ptr<modem::TxSink> inner)
        : log_(log), inner_(std::move(inner)) {}

    Result<uint64_t> submit(audio::SampleBlock block) override {
        Result<uint64_t> target = inner_->submit(std::move(block));
        if (target) target_ = *target;
        return target;
    }
    uint64_t played() const override {
        const uint64_t played = inner_->played();
        if (target_ > 0 && played >= target_ && !reached_) {
            reached_ = true;
            log_.add(fmt::format("played reached {}", target_));
        }
        return played;
    }
    uint64_t failures() const override { return inner_->failures(); }

private:
    EventLog& log_;
    std::unique_ptr<modem::TxSink> inner_;
    uint64_t target_ = 0;
    mutable bool reached_ = false;
};

// The recording's 16-bit samples so far.
std::vector<int16_t> recorded_samples(const std::string& path) {
    const std::vector<uint8_t> bytes = test_support::read_bytes(path);
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return out;
}

TEST(TxWorker, OnAPacedSoundDeviceTheSamplesSoundOnceAndTheUnkeyFollowsThePlayout) {
    test_support::ScratchDir dir;
    const std::string recording = dir.file("tx.raw");
    test_support::PacedPcm device;
    device.stream = "playback";
    device.record_file = recording;
    test_support::AlsaConfig config;
    config.pcm("tx", device).hint("tx", "Transmit test", "Output");
    test_support::ScopedAlsaConfig scoped(dir, config);

    Station s;
    s.start(
        [&s, real = modem::soundcard_output_opener()](
            const soundcard::OutputSpec& spec,
            std::optional<modem::OutputDevice> device) -> Result<std::unique_ptr<modem::TxSink>> {
            Result<std::unique_ptr<modem::TxSink>> sink = real(spec, std::move(device));
            if (!sink) return sink;
            return std::unique_ptr<modem::TxSink>(
                std::make_unique<WatchedSink>(s.log, std::move(sink).value()));
        });
    s.add_driver(0, "A");
    TxRequest r = request(0, 4800);
    for (size_t i = 0; i < r.samples.size(); ++i) {
        r.samples[i] = static_cast<int16_t>((i % 2 ? -1 : 1) * static_cast<int>(i % 1000 + 1));
    }
    const audio::SampleBlock sent = r.samples;
    r.output.device_name = "tx";
    s.transmit(std::move(r));
    ASSERT_TRUE(s.log.wait_for("unkey A")) << fmt::format("{}", fmt::join(s.capture.stop(), "\n"));
    EXPECT_EQ(s.log.whats(), (Lines{"key A", "played reached 4800", "unkey A"}));

    // What was handed to the device before the unkey plays out within its buffer.
    auto first_sample = [](const std::vector<int16_t>& r) {
        return std::find_if(r.begin(), r.end(), [](int16_t v) { return v != 0; });
    };
    ASSERT_TRUE(test_support::eventually([&] {
        const std::vector<int16_t> r = recorded_samples(recording);
        return r.end() - first_sample(r) >= static_cast<long>(sent.size());
    }));
    EXPECT_EQ(s.finish(), Lines{kOpened3});
    const std::vector<int16_t> all = recorded_samples(recording);
    const auto first = first_sample(all);
    ASSERT_GE(all.end() - first, static_cast<long>(sent.size()));
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), first));
    EXPECT_TRUE(std::all_of(first + static_cast<long>(sent.size()), all.end(),
                            [](int16_t v) { return v == 0; }));
}

}  // namespace
