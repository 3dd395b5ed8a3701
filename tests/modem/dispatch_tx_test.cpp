// The transmit and device requests served by a Modem over a real connection:
// PTT settings handed to the worker and their retry against the real rigctld
// and a scripted daemon, manual keying,
// frames and test signals through the worker to a recording sink, and the
// listing and scan threads over paced test devices.

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "modem/level_scan.h"
#include "modem/modem.h"
#include "modem/tx_road.h"
#include "support/alsa_config.h"
#include "support/eventually.h"
#include "support/modem_test_access.h"
#include "support/rigctld_daemon.h"
#include "support/scripted_line_server.h"
#include "support/scratch_dir.h"
#include "support/stderr_capture.h"
#include "support/test_parent.h"

namespace {

using namespace std::chrono_literals;
using ipc::proto::IpcMessage;
using modem::ModemTestAccess;

// What the worker handed to its sinks, in order.
struct Recorded {
    std::mutex lock;
    std::vector<std::pair<soundcard::OutputSpec, audio::SampleBlock>> blocks;

    size_t count() {
        std::lock_guard guard(lock);
        return blocks.size();
    }
};

// A sink that plays everything the moment it is submitted.
class RecordingSink : public modem::TxSink {
public:
    RecordingSink(std::shared_ptr<Recorded> recorded, soundcard::OutputSpec spec)
        : recorded_(std::move(recorded)), spec_(std::move(spec)) {}
    Result<uint64_t> submit(audio::SampleBlock block) override {
        submitted_ += block.size();
        std::lock_guard guard(recorded_->lock);
        recorded_->blocks.emplace_back(spec_, std::move(block));
        return submitted_;
    }
    uint64_t played() const override { return submitted_; }
    uint64_t failures() const override { return 0; }

private:
    std::shared_ptr<Recorded> recorded_;
    soundcard::OutputSpec spec_;
    uint64_t submitted_ = 0;
};

// A latch the test opens; waiting is bounded as a hang guard.
class Gate {
public:
    void open() {
        {
            std::lock_guard guard(lock_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, 20s, [this] { return open_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = false;
};

IpcMessage ptt_message(uint32_t channel, const std::string& method,
                       const std::string& device = "") {
    IpcMessage m;
    auto* p = m.mutable_configure_ptt();
    p->set_channel(channel);
    p->set_method(method);
    p->set_device(device);
    return m;
}

// A short frame: 10 ms of flags before and after.
IpcMessage frame_message(uint32_t channel, uint32_t txdelay = 10, uint32_t txtail = 10) {
    IpcMessage m;
    auto* f = m.mutable_transmit_frame();
    f->set_channel(channel);
    f->set_data("E2E test frame 00001");
    f->set_txdelay_override_ms(txdelay);
    f->set_txtail_override_ms(txtail);
    return m;
}

IpcMessage tone_message(uint32_t request_id, uint32_t channel, uint32_t kind = 1) {
    IpcMessage m;
    auto* t = m.mutable_transmit_test_signal();
    t->set_request_id(request_id);
    t->set_channel(channel);
    t->set_kind(kind);
    t->set_freq_a_hz(1000);
    t->set_duration_ms(50);
    return m;
}

IpcMessage manual_message(uint32_t channel, bool keyed) {
    IpcMessage m;
    m.mutable_manual_ptt()->set_channel(channel);
    m.mutable_manual_ptt()->set_keyed(keyed);
    return m;
}

class DispatchFixture : public ::testing::Test {
protected:
    void SetUp() override {
        auto connection = parent.take_connection();
        modem::ModemOptions options;
        options.termination_signal = [] { return 0; };
        options.max_scan_ms = max_scan_ms;
        options.open_output =
            [recorded = recorded](
                const soundcard::OutputSpec& spec,
                std::optional<modem::OutputDevice>) -> Result<std::unique_ptr<modem::TxSink>> {
            return std::unique_ptr<modem::TxSink>(std::make_unique<RecordingSink>(recorded, spec));
        };
        auto made = modem::Modem::create(std::move(connection.handle),
                                         std::move(connection.inbound), std::move(options));
        ASSERT_TRUE(made.ok()) << made.error_text();
        modem = std::move(*made);
    }

    // Channel `channel` playing on output device `device` at `rate`.
    void add_channel(uint32_t channel, uint32_t device, uint32_t rate = 48000) {
        modem::ChannelConfig c;
        c.channel = channel;
        c.output_device_id = device;
        ModemTestAccess::channel_configs(*modem)[channel] = c;
        modem::AudioConfig a;
        a.device_id = device;
        a.device_name = "test-out";
        a.source_type = "soundcard";
        a.sample_rate = rate;
        a.channels = 1;
        ModemTestAccess::audio_configs(*modem)[device] = a;
    }

    void handle(const IpcMessage& message) { EXPECT_FALSE(modem->handle_ipc(message)); }

    uint64_t tx_frames(uint32_t channel) {
        auto& frames = ModemTestAccess::tx_frames(*modem);
        return frames.contains(channel) ? frames.at(channel) : 0;
    }

    test_support::TestParent parent;
    std::shared_ptr<Recorded> recorded = std::make_shared<Recorded>();
    uint32_t max_scan_ms = modem::kMaxScanMs;  // a fixture's constructor may lower it
    std::unique_ptr<modem::Modem> modem;
};

TEST_F(DispatchFixture, ConfigurePttPrintsOneLineAndAFailedBuildDropsTheOldDriver) {
    test_support::StderrCapture err;
    handle(ptt_message(3, "vox"));
    handle(manual_message(3, true));
    ASSERT_TRUE(err.wait_for_line("quillmar-modem: ManualKey channel=3 keyed=true: ok"));
    handle(ptt_message(3, "VOX"));
    handle(ptt_message(4, ""));
    handle(ptt_message(5, "android"));
    handle(ptt_message(6, "rigctld"));
    handle(manual_message(3, false));
    // Only the failed "rigctld" build is owed a retry before a transmission.
    add_channel(5, 9);
    add_channel(6, 9);
    handle(frame_message(5));
    handle(frame_message(6));
    ASSERT_TRUE(
        err.wait_for_line("quillmar-modem: TransmitFrame: no PTT driver registered for channel 6"));
    EXPECT_EQ(err.stop(),
              (std::vector<std::string>{
                  "quillmar-modem: PTT configured for channel 3 (vox)",
                  "quillmar-modem: ManualKey channel=3 keyed=true: ok",
                  "quillmar-modem: ConfigurePtt: build driver for channel 3 (VOX): unknown ptt "
                  "method 'VOX'",
                  "quillmar-modem: PTT configured for channel 4 ()",
                  "quillmar-modem: ConfigurePtt: build driver for channel 5 (android): android ptt "
                  "method is only valid on Android targets",
                  "quillmar-modem: ConfigurePtt: build driver for channel 6 (rigctld): rigctld "
                  "ptt: device (host:port) is empty",
                  "quillmar-modem: ManualKey channel=3 no driver registered",
                  "quillmar-modem: TransmitFrame: no PTT driver registered for channel 5",
                  "quillmar-modem: ConfigurePtt: build driver for channel 6 (rigctld): rigctld "
                  "ptt: device (host:port) is empty",
                  "quillmar-modem: TransmitFrame: no PTT driver registered for channel 6",
              }));
}

TEST_F(DispatchFixture, ConfigurePttReturnsBeforeTheDaemonAnswersAndTheWorkerBuildsTheDriver) {
    // The daemon holds its answer to the probe until the main thread has
    // served the ConfigurePtt and the frame behind it; a main thread that
    // waited for the build would see the probe time out instead.
    add_channel(3, 5);
    Gate answer;
    test_support::ScriptedLineServer daemon([&](int, const std::string& command) {
        if (command == "t") answer.wait();
        return test_support::ScriptedLineServer::line(command == "t" ? "0" : "RPRT 0");
    });
    test_support::StderrCapture err;
    handle(ptt_message(3, "rigctld", daemon.address()));
    handle(frame_message(3));
    ASSERT_TRUE(test_support::eventually([&] { return !daemon.commands().empty(); }));
    EXPECT_EQ(err.flushed_lines(), std::vector<std::string>{});
    EXPECT_EQ(parent.available().size(), 1u);  // the frame's level, sent at once
    answer.open();
    ASSERT_TRUE(test_support::eventually([&] { return recorded->count() == 1; }));
    modem.reset();
    EXPECT_EQ(err.stop(), (std::vector<std::string>{
                              "quillmar-modem: PTT configured for channel 3 (rigctld)",
                              "quillmar-modem: TX sink opened for device_id=5 at 48000 Hz",
                          }));
    std::vector<std::string> sent;
    for (const auto& command : daemon.commands()) sent.push_back(command.text);
    // Probe and initial unkey, the frame's key and unkey, the release's unkey.
    EXPECT_EQ(sent, (std::vector<std::string>{"t", "T 0", "T 1", "T 0", "T 0"}));
}

TEST_F(DispatchFixture, AFailedRigctldBuildIsRetriedBeforeEachTransmissionUntilItSucceeds) {
    add_channel(3, 5);
    test_support::RigctldDaemon daemon;
    daemon.kill(SIGKILL);  // nothing listens on its port now
    const std::string build_failed =
        "quillmar-modem: ConfigurePtt: build driver for channel 3 (rigctld): ";
    test_support::StderrCapture err;
    handle(ptt_message(3, "rigctld", daemon.address()));
    handle(frame_message(3));
    handle(tone_message(11, 3));
    ASSERT_TRUE(
        err.wait_for_line("quillmar-modem: TransmitFrame: no PTT driver registered for channel 3"));
    auto answers = parent.available();
    ASSERT_EQ(answers.size(), 2u);  // the frame's level, the signal's result
    EXPECT_TRUE(answers[1].test_signal_result().success());
    EXPECT_EQ(tx_frames(3), 2u);

    daemon.restart();
    handle(frame_message(3));
    handle(frame_message(3));
    ASSERT_TRUE(test_support::eventually([&] { return recorded->count() == 2; }));

    const auto lines = err.flushed_lines();
    std::vector<std::string> kinds;
    for (const std::string& line : lines) {
        // A failed connect keyed nothing and releases nothing: no driver
        // line of its own, no safety unkey.
        kinds.push_back(line.starts_with(build_failed) ? "build failed" : line);
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{
                         "build failed",
                         "build failed",
                         "quillmar-modem: TransmitFrame: no PTT driver registered for channel 3",
                         "build failed",
                         "quillmar-modem: TransmitFrame: no PTT driver registered for channel 3",
                         "quillmar-modem: PTT configured for channel 3 (rigctld)",
                         "quillmar-modem: TX sink opened for device_id=5 at 48000 Hz",
                     }))
        << testing::PrintToString(lines);
    modem.reset();  // the last frame unkeys while the daemon still runs
}

TEST_F(DispatchFixture, AFrameReportsItsLevelBeforeItIsQueuedAndIsCounted) {
    add_channel(3, 5);
    ModemTestAccess::device_gain(*modem)[5] = std::make_shared<modem::GainCell>(-6.0f);
    test_support::StderrCapture err;
    handle(frame_message(3, 0, 0));  // no driver yet: counted, then dropped by the worker
    auto written = parent.available();
    ASSERT_EQ(written.size(), 1u);
    ASSERT_TRUE(written[0].has_device_level_update());
    const auto& level = written[0].device_level_update();
    EXPECT_EQ(level.device_id(), 5u);
    EXPECT_NEAR(level.peak_dbfs(), -12.0243f, 1e-3);  // -6 dB below the table's frame
    EXPECT_NEAR(level.rms_dbfs(), -15.0316f, 1e-3);
    EXPECT_FALSE(level.clipping());
    EXPECT_TRUE(ModemTestAccess::level_sent(*modem).contains(5));
    EXPECT_EQ(tx_frames(3), 1u);
    ASSERT_TRUE(
        err.wait_for_line("quillmar-modem: TransmitFrame: no PTT driver registered for channel 3"));

    // The stored PTT settings shape the next frame: lead-in and keying tone.
    handle(ptt_message(3, "digirig_tone"));
    handle(frame_message(3));
    ASSERT_TRUE(test_support::eventually([&] { return recorded->count() == 1; }));
    {
        std::lock_guard guard(recorded->lock);
        const auto& [spec, samples] = recorded->blocks[0];
        EXPECT_EQ(spec, (soundcard::OutputSpec{"test-out", 48000, 1, 0, 1200}));
        ASSERT_GT(samples.size(), 24000u);
        EXPECT_EQ(std::vector<int16_t>(samples.begin(), samples.begin() + 24000),
                  std::vector<int16_t>(24000, 0));
    }
    EXPECT_EQ(tx_frames(3), 2u);

    // Refused frames: a line each, no report, not counted.
    add_channel(7, 8, 4000000000u);
    ModemTestAccess::channel_configs(*modem)[4].output_device_id = 6;
    (void)parent.available();
    handle(frame_message(9));
    handle(frame_message(4));
    handle(frame_message(7));
    EXPECT_TRUE(parent.available().empty());
    EXPECT_EQ(tx_frames(9) + tx_frames(4) + tx_frames(7), 0u);
    const auto lines = err.flushed_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{
                  "quillmar-modem: TransmitFrame: unknown channel 9",
                  "quillmar-modem: TransmitFrame: no audio config for output_device_id 6",
                  "quillmar-modem: TransmitFrame: build_samples failed: sample rate 4000000000 Hz "
                  "above the limit of 384000 Hz",
              }));
}

TEST_F(DispatchFixture, TestSignalsAreAnsweredAtOnceWithTheirRequestId) {
    add_channel(3, 5);
    add_channel(4, 6, 0);
    handle(ptt_message(3, "none"));
    struct Case {
        IpcMessage request;
        bool success;
        std::string error;
    };
    const Case cases[] = {
        {tone_message(21, 3), true, ""},
        {tone_message(22, 3, 2), true, ""},
        {tone_message(23, 99), false, "unknown channel 99"},
        {tone_message(24, 3, 7), false, "unknown test signal kind 7"},
        {tone_message(25, 3, 0), false, "callsign produced no CW symbols"},
        {tone_message(26, 4), false, "sample rate must be non-zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.transmit_test_signal().request_id());
        handle(c.request);
        const auto written = parent.available();
        ASSERT_EQ(written.size(), 1u);  // no level report for a test signal
        const auto& result = written[0].test_signal_result();
        EXPECT_EQ(result.request_id(), c.request.transmit_test_signal().request_id());
        EXPECT_EQ(result.success(), c.success);
        EXPECT_EQ(result.error(), c.error);
    }
    EXPECT_EQ(tx_frames(3), 2u);
    ASSERT_TRUE(test_support::eventually([&] { return recorded->count() == 2; }));
    std::lock_guard guard(recorded->lock);
    EXPECT_EQ(recorded->blocks[0].second.size(), 2400u);
    EXPECT_EQ(recorded->blocks[0].first.ptt_tone_hz, 0u);
}

// The names of this process's threads.
std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return names;
    while (const dirent* entry = ::readdir(tasks)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name)) names.push_back(name);
    }
    ::closedir(tasks);
    return names;
}

size_t threads_named(const std::string& name) {
    const auto names = thread_names();
    return static_cast<size_t>(std::count(names.begin(), names.end(), name));
}

bool has_thread(const std::string& name) {
    return threads_named(name) != 0;
}

// The names the system keeps of the two request threads.
const std::string kListingThread = "enumerate-devic";
const std::string kScanThread = "scan-input-leve";

IpcMessage scan_message(uint32_t request_id, uint32_t duration_ms) {
    IpcMessage m;
    m.mutable_scan_input_levels()->set_request_id(request_id);
    m.mutable_scan_input_levels()->set_duration_ms(duration_ms);
    return m;
}

IpcMessage listing_message(uint32_t request_id) {
    IpcMessage m;
    m.mutable_enumerate_audio_devices()->set_request_id(request_id);
    return m;
}

std::string clamp_line(uint32_t request_id, uint32_t asked, uint32_t cap) {
    return "quillmar-modem: ScanInputLevels: duration_ms " + std::to_string(asked) +
           " clamped to " + std::to_string(cap) + " ms (request_id " +
           std::to_string(request_id) + ")";
}

std::vector<std::string> lines_starting(const std::vector<std::string>& lines,
                                        std::string_view prefix) {
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (line.starts_with(prefix)) kept.push_back(line);
    }
    return kept;
}

class DeviceRequests : public DispatchFixture {
protected:
    DeviceRequests() {
        test_support::AlsaConfig config;
        config.pcm("default", {.rates = {8000, 22050, 48000}, .tone_hz = 1000})
            .hint("default", "Default test device");
        scoped.emplace(dir, config);
    }

    // The answer the next message brings, waited for.
    IpcMessage next_answer() {
        auto answer = parent.read();
        EXPECT_TRUE(answer.has_value());
        return answer.value_or(IpcMessage());
    }

    // Input device 1 runs on "default", as configured, without a thread.
    void run_default_capture() {
        modem::AudioConfig a = modem::AudioConfig::defaults();
        a.device_id = 1;
        a.device_name = "default";
        a.sample_rate = 22050;
        ModemTestAccess::audio_configs(*modem)[1] = a;
        auto [sender, receiver] = audio::make_capture_queue();
        ModemTestAccess::device_pipelines(*modem).emplace(
            1, modem::DevicePipeline{audio::AudioSource(std::make_shared<std::atomic<bool>>(false),
                                                        std::thread(), 22050),
                                     std::move(receiver),
                                     {},
                                     nullptr});
    }

    test_support::ScratchDir dir;
    std::optional<test_support::ScopedAlsaConfig> scoped;
};

TEST_F(DeviceRequests, AScanMeasuresAFreeCardAndReportsABusyOneUnopened) {
    IpcMessage scan;
    scan.mutable_scan_input_levels()->set_request_id(41);
    scan.mutable_scan_input_levels()->set_duration_ms(1500);
    handle(scan);
    EXPECT_TRUE(test_support::eventually([] { return has_thread("scan-input-leve"); }));
    IpcMessage answer = next_answer();
    ASSERT_TRUE(answer.has_input_level_scan_result());
    EXPECT_EQ(answer.input_level_scan_result().request_id(), 41u);
    ASSERT_EQ(answer.input_level_scan_result().devices_size(), 1);
    const auto& free_card = answer.input_level_scan_result().devices(0);
    EXPECT_NEAR(free_card.peak_dbfs(), -6.02f, 0.05f);
    EXPECT_TRUE(free_card.has_signal());

    run_default_capture();
    scan.mutable_scan_input_levels()->set_request_id(42);
    scan.mutable_scan_input_levels()->set_duration_ms(0);
    handle(scan);
    answer = next_answer();
    EXPECT_EQ(answer.input_level_scan_result().request_id(), 42u);
    ASSERT_EQ(answer.input_level_scan_result().devices_size(), 1);
    EXPECT_EQ(answer.input_level_scan_result().devices(0).error(), modem::kInUseLevelText);
}

TEST_F(DeviceRequests, AListingReportsABusyCaptureDeviceWithItsSettings) {
    run_default_capture();
    IpcMessage listing;
    listing.mutable_enumerate_audio_devices()->set_request_id(51);
    handle(listing);
    IpcMessage answer = next_answer();
    ASSERT_TRUE(answer.has_audio_device_list());
    EXPECT_EQ(answer.audio_device_list().request_id(), 51u);
    ASSERT_EQ(answer.audio_device_list().devices_size(), 1);  // capture only
    const auto& busy = answer.audio_device_list().devices(0);
    EXPECT_EQ(busy.stable_id(), "default");
    EXPECT_EQ(std::vector<uint32_t>(busy.sample_rates().begin(), busy.sample_rates().end()),
              std::vector<uint32_t>{22050});
}

// A parent that asks without restraint: long scans and listings sent at once
// cost one thread of each kind, the listings are answered in order while the
// scans wait their turn behind the one in hand, and Shutdown is answered and
// the modem torn down promptly with scans still queued.
class FloodedDeviceRequests : public DeviceRequests {
protected:
    FloodedDeviceRequests() { max_scan_ms = 30000; }  // the first scan outlasts the listings
};

TEST_F(FloodedDeviceRequests, ScansAndListingsTakeOneThreadEachAndListingsDoNotWait) {
    constexpr uint32_t kRequests = 50;
    test_support::StderrCapture errors;
    const size_t threads_before = thread_names().size();
    for (uint32_t i = 0; i < kRequests; ++i) handle(scan_message(i + 1, 4294967295u));
    for (uint32_t i = 0; i < kRequests; ++i) handle(listing_message(1000 + i));

    for (uint32_t i = 0; i < kRequests; ++i) {
        IpcMessage answer = next_answer();
        ASSERT_TRUE(answer.has_audio_device_list()) << "answer " << i << ": "
                                                    << answer.ShortDebugString();
        ASSERT_EQ(answer.audio_device_list().request_id(), 1000 + i);
        // The two request threads, the scan's capture stream and a listing's
        // probe stream (which starts under its creator's name): never one
        // thread per request.
        EXPECT_LE(thread_names().size(), threads_before + 4);
    }
    EXPECT_EQ(threads_named(kListingThread), 1u);
    EXPECT_EQ(threads_named(kScanThread), 1u);
    std::vector<std::string> clamps;
    for (uint32_t i = 0; i < kRequests; ++i) clamps.push_back(clamp_line(i + 1, 4294967295u, 30000));
    EXPECT_EQ(lines_starting(errors.stop(), "quillmar-modem: ScanInputLevels"), clamps);

    // Shutdown with the first scan measuring and 49 behind it: answered at
    // once, and the teardown stops the scan in its wait and joins both threads.
    IpcMessage shutdown;
    shutdown.mutable_shutdown();
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(modem->handle_ipc(shutdown));
    modem.reset();
    const auto ended = std::chrono::steady_clock::now() - asked;
    EXPECT_LT(ended, 10s) << "the 30 s scan held the teardown";
    const std::vector<IpcMessage> rest = parent.read_to_end();
    ASSERT_FALSE(rest.empty());
    EXPECT_TRUE(rest.back().has_status_update());
    EXPECT_TRUE(rest.back().status_update().shutdown_complete());
    for (const IpcMessage& m : rest) EXPECT_FALSE(m.has_input_level_scan_result());
    EXPECT_EQ(threads_named(kListingThread), 0u);
    EXPECT_EQ(threads_named(kScanThread), 0u);
}

class CappedScans : public DeviceRequests {
protected:
    CappedScans() { max_scan_ms = 100; }
};

TEST_F(CappedScans, EachScanIsAnsweredInArrivalOrderItsDurationClampedToTheCap) {
    test_support::StderrCapture errors;
    handle(scan_message(7, 4294967295u));
    handle(scan_message(8, 60));
    handle(scan_message(9, 100));  // the cap itself is not clamped
    for (uint32_t id : {7u, 8u, 9u}) {
        IpcMessage answer = next_answer();
        ASSERT_TRUE(answer.has_input_level_scan_result()) << answer.ShortDebugString();
        EXPECT_EQ(answer.input_level_scan_result().request_id(), id);
        ASSERT_EQ(answer.input_level_scan_result().devices_size(), 1);
        EXPECT_TRUE(answer.input_level_scan_result().devices(0).has_signal());
    }
    EXPECT_EQ(lines_starting(errors.stop(), "quillmar-modem: ScanInputLevels"),
              std::vector<std::string>{clamp_line(7, 4294967295u, 100)});
}

}  // namespace
