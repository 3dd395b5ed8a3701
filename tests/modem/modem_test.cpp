#include "modem/modem.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "audio/soundcard_capture.h"
#include "invariant.h"
#include "ipc/inbound_queue.h"
#include "ipc/timestamp.h"
#include "modem/rx_messages.h"
#include "support/afsk_recording.h"
#include "support/afsk_signal.h"
#include "support/alsa_config.h"
#include "support/fake_stream.h"
#include "support/flac_file.h"
#include "support/hdlc_bits.h"
#include "support/modem_test_access.h"
#include "support/scratch_dir.h"
#include "support/stderr_capture.h"
#include "support/test_modulators.h"
#include "support/test_parent.h"

namespace {

using namespace std::chrono_literals;
using ipc::proto::IpcMessage;
using modem::ChannelConfig;
using modem::ChannelDemod;
using modem::ChannelPipeline;
using modem::ModemTestAccess;
using Samples = std::vector<int16_t>;

constexpr uint32_t kAfskRate = 44100;
constexpr size_t kBlock = 1024;

// A monotonic clock that only the test moves, in whole milliseconds.
class SteppedClock {
public:
    void set_ms(int64_t ms) { ms_->store(ms); }
    std::function<modem::MonotonicTime()> function() const {
        return [ms = ms_] { return modem::MonotonicTime(std::chrono::milliseconds(ms->load())); };
    }

private:
    std::shared_ptr<std::atomic<int64_t>> ms_ = std::make_shared<std::atomic<int64_t>>(0);
};

ChannelConfig channel_config(uint32_t channel, std::string modem_type, std::string ensemble,
                             size_t slicers = 1) {
    ChannelConfig cfg;
    cfg.channel = channel;
    cfg.modem_type = std::move(modem_type);
    cfg.demod_ensemble = std::move(ensemble);
    cfg.num_slicers = slicers;
    return cfg;
}

ChannelPipeline pipeline_for(const ChannelConfig& cfg, uint32_t rate,
                             const std::vector<ChannelConfig>& extras = {}) {
    ChannelPipeline pipeline{modem::create_demod(cfg, rate), {}, cfg.channel};
    for (const ChannelConfig& extra : extras) {
        pipeline.extra_demods.push_back(modem::create_demod(extra, rate));
    }
    return pipeline;
}

Samples silence(size_t n) {
    return Samples(n, 0);
}

Samples concat(std::initializer_list<Samples> parts) {
    Samples out;
    for (const Samples& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// 1200-baud AFSK of `frames` (each with its FCS) between stretches of silence.
Samples afsk_frames(const std::vector<std::vector<uint8_t>>& frames) {
    test_support::AfskTones tones;
    tones.sample_rate = kAfskRate;
    const auto stream = test_support::frame_stream(frames);
    const auto wave = test_support::afsk_waveform(stream.levels, tones);
    return concat({silence(4000), test_support::to_pcm16(wave), silence(12000)});
}

// AFSK of one frame whose FCS is wrong.
Samples afsk_bad_frame() {
    test_hdlc::HdlcBits bits;
    bits.flags(32);
    auto broken = test_hdlc::with_fcs(test_support::test_frame(7, 40));
    broken.back() ^= 0x10;
    bits.stuffed(broken).flags(8);
    test_support::AfskTones tones;
    tones.sample_rate = kAfskRate;
    const auto levels = test_hdlc::LineEncoder(false).encode(bits.bits());
    return concat({silence(4000),
                   test_support::to_pcm16(test_support::afsk_waveform(levels, tones)),
                   silence(12000)});
}

template <class Pred>
std::vector<IpcMessage> only(const std::vector<IpcMessage>& messages, Pred pred) {
    std::vector<IpcMessage> out;
    for (const auto& m : messages) {
        if (pred(m)) out.push_back(m);
    }
    return out;
}

std::vector<IpcMessage> frames_of(const std::vector<IpcMessage>& messages) {
    return only(messages, [](const IpcMessage& m) { return m.has_received_frame(); });
}
std::vector<IpcMessage> dcd_of(const std::vector<IpcMessage>& messages) {
    return only(messages, [](const IpcMessage& m) { return m.has_dcd_change(); });
}
std::vector<IpcMessage> levels_of(const std::vector<IpcMessage>& messages) {
    return only(messages, [](const IpcMessage& m) { return m.has_device_level_update(); });
}

// A Modem over a real connection to the test as its parent, with a stepped
// clock; the test adds input devices and runs single turns of the loop.
class ModemFixture : public ::testing::Test {
protected:
    void SetUp() override { make_modem({}); }

    void make_modem(modem::ModemOptions options) {
        auto connection = parent.take_connection();
        options.clock = clock.function();
        if (!options.termination_signal) options.termination_signal = [] { return 0; };
        auto made = modem::Modem::create(std::move(connection.handle),
                                         std::move(connection.inbound), std::move(options));
        ASSERT_TRUE(made.ok()) << made.error_text();
        modem = std::move(*made);
    }

    // An input device feeding one channel, whose blocks the test sends; its
    // source has no thread.
    audio::CaptureSender add_device(uint32_t device_id, ChannelPipeline channel,
                                    float gain_db = 0.0f) {
        std::vector<ChannelPipeline> channels;
        channels.push_back(std::move(channel));
        auto [sender, receiver] = audio::make_capture_queue();
        auto stop = std::make_shared<std::atomic<bool>>(false);
        stops[device_id] = stop;
        gains[device_id] = std::make_shared<modem::GainCell>(gain_db);
        modem::DevicePipeline pipeline{audio::AudioSource(stop, std::thread(), kAfskRate),
                                       std::move(receiver), std::move(channels), gains[device_id]};
        ModemTestAccess::device_pipelines(*modem).emplace(device_id, std::move(pipeline));
        return std::move(sender);
    }

    modem::ChannelPipeline& channel(uint32_t device_id, size_t index = 0) {
        return ModemTestAccess::device_pipelines(*modem).at(device_id).channel_pipelines.at(index);
    }

    bool turn() { return ModemTestAccess::turn(*modem); }

    // Sends `samples` in blocks of `block` and runs one turn per block;
    // `after_turn` sees the messages each turn wrote.
    std::vector<IpcMessage> play(
        audio::CaptureSender& sender, const Samples& samples, size_t block = kBlock,
        const std::function<void(const std::vector<IpcMessage>&)>& after_turn = nullptr) {
        std::vector<IpcMessage> all;
        for (size_t start = 0; start < samples.size(); start += block) {
            const size_t end = std::min(samples.size(), start + block);
            EXPECT_TRUE(sender.try_send(
                audio::SampleBlock(samples.begin() + start, samples.begin() + end)));
            EXPECT_TRUE(turn());
            auto written = parent.available();
            if (after_turn) after_turn(written);
            all.insert(all.end(), written.begin(), written.end());
        }
        return all;
    }

    test_support::TestParent parent;
    SteppedClock clock;
    std::unique_ptr<modem::Modem> modem;
    std::map<uint32_t, std::shared_ptr<std::atomic<bool>>> stops;
    std::map<uint32_t, modem::SharedGainCell> gains;
};

TEST_F(ModemFixture, InputLevelsAtFirstBlockThenEvery200msWithTheLiveGain) {
    auto sender = add_device(4, pipeline_for(channel_config(1, "afsk", "single"), kAfskRate));
    // (clock ms, gain dB for the block) -> report expected with (peak = RMS dBFS, clipping).
    struct Step {
        int64_t ms;
        float gain_db;
        bool report;
        float dbfs;
        bool clipping;
        float channel_peak;
    };
    const Step steps[] = {
        {0, 0.0f, true, -0.00027f, false, 32767.0f / 32768},
        {199, 0.0f, false, 0, false, 32767.0f / 32768},
        {200, 12.0f, true, -0.0061f, true, 32745.0f / 32768},
        {399, -6.0f, false, 0, false, 16422.0f / 32768},
        {400, -6.0f, true, -6.0005f, false, 16422.0f / 32768},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "at " << s.ms << " ms");
        clock.set_ms(s.ms);
        gains[4]->store(s.gain_db);
        ASSERT_TRUE(sender.try_send(audio::SampleBlock(960, 32767)));
        ASSERT_TRUE(turn());
        const auto levels = levels_of(parent.available());
        ASSERT_EQ(levels.size(), s.report ? 1u : 0u);
        EXPECT_FLOAT_EQ(channel(4).audio_level_peak, s.channel_peak);
        if (!s.report) continue;
        const auto& update = levels[0].device_level_update();
        EXPECT_EQ(update.device_id(), 4u);
        EXPECT_NEAR(update.peak_dbfs(), s.dbfs, 1e-4);
        EXPECT_NEAR(update.rms_dbfs(), s.dbfs, 1e-4);
        EXPECT_EQ(update.clipping(), s.clipping);
    }
}

TEST_F(ModemFixture, ExtraDemodulatorsReportAfterTheMainOneAndAllCount) {
    // A "single" channel with two extra demodulators 1 and 2 Hz up. The extras
    // carry channel numbers 11 and 12 here, so the order of the frames shows.
    ChannelConfig main_cfg = channel_config(1, "afsk", "single");
    main_cfg.num_decoders = 3;
    main_cfg.decoder_offset = 1;
    std::vector<ChannelConfig> extras;
    for (uint32_t i = 1; i <= 2; ++i) {
        ChannelConfig extra = main_cfg;
        extra.channel = 10 + i;
        extra.mark_freq += i;
        extra.space_freq += i;
        extras.push_back(extra);
    }
    auto sender = add_device(2, pipeline_for(main_cfg, kAfskRate, extras));
    const auto frame = test_support::test_frame(3, 30);
    const auto t0 = ipc::timestamp_ns();
    const auto frames = frames_of(play(sender, afsk_frames({frame})));
    const auto t1 = ipc::timestamp_ns();

    ASSERT_EQ(frames.size(), 3u);
    const uint32_t expected_channels[] = {1, 11, 12};
    for (size_t i = 0; i < 3; ++i) {
        const auto& f = frames[i].received_frame();
        EXPECT_EQ(f.channel(), expected_channels[i]);
        EXPECT_EQ(f.data(), std::string(frame.begin(), frame.end()));
        EXPECT_EQ(f.retry(), "none");
        EXPECT_GE(f.timestamp_ns(), t0);
        EXPECT_LE(f.timestamp_ns(), t1);
    }
    EXPECT_EQ(ModemTestAccess::rx_frames(*modem).at(1), 3u);
    EXPECT_EQ(ModemTestAccess::rx_frames(*modem).count(11), 0u);
}

struct DcdCase {
    const char* name;
    ChannelConfig cfg;
    uint32_t rate;
    std::function<Samples()> signal;
};

Samples psk_burst() {
    const auto bits =
        test_modulators::frame_line_bits({test_modulators::sample_frame(40, 1)}, false);
    return concat({test_modulators::psk_signal(bits, {}), silence(24000)});
}

Samples baseband_burst() {
    const auto bits =
        test_modulators::frame_line_bits({test_modulators::sample_frame(40, 1)}, true);
    return concat({silence(4800), test_modulators::baseband_nrz(bits, {}), silence(24000)});
}

TEST_F(ModemFixture, CarrierDetectOfChannelsWithOneStateIsOneEdgeEachWay) {
    ChannelConfig psk = channel_config(5, "psk", "");
    ChannelConfig fsk = channel_config(6, "9600", "");
    fsk.baud = 9600;
    const DcdCase cases[] = {
        {"triple ensemble", channel_config(4, "afsk", "triple"), kAfskRate,
         [] { return afsk_frames({test_support::test_frame(1, 30)}); }},
        {"psk", psk, 48000, psk_burst},
        {"9600", fsk, 48000, baseband_burst},
    };
    uint32_t device = 10;
    std::vector<audio::CaptureSender> senders;  // earlier devices stay open
    for (const DcdCase& c : cases) {
        SCOPED_TRACE(c.name);
        senders.push_back(add_device(device, pipeline_for(c.cfg, c.rate)));
        const auto written = play(senders.back(), c.signal());
        EXPECT_EQ(frames_of(written).size(), 1u);
        const auto edges = dcd_of(written);
        ASSERT_EQ(edges.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            const auto& e = edges[i].dcd_change();
            EXPECT_EQ(e.channel(), c.cfg.channel);
            EXPECT_EQ(e.subchan(), 0u);
            EXPECT_EQ(e.slice(), 0u);
            EXPECT_EQ(e.detected(), i == 0);
            EXPECT_GT(e.timestamp_ns(), 0u);
        }
        EXPECT_EQ(ModemTestAccess::dcd_transitions(*modem).at(c.cfg.channel), 2u);
        EXPECT_FALSE(channel(device).dcd_state);
        ++device;
    }
}

TEST_F(ModemFixture, SingleDemodulatorReportsEachSlicerAndHoldsDetectedWhileAnySlicerDoes) {
    const ChannelConfig cfg = channel_config(3, "afsk", "single", 9);
    auto sender = add_device(1, pipeline_for(cfg, kAfskRate));
    std::map<uint32_t, bool> last_by_slicer;
    size_t events = 0;
    bool ever_detected = false;
    play(sender, afsk_frames({test_support::test_frame(2, 30), test_support::test_frame(4, 50)}),
         kBlock, [&](const std::vector<IpcMessage>& written) {
             for (const auto& m : dcd_of(written)) {
                 EXPECT_EQ(m.dcd_change().channel(), 3u);
                 EXPECT_EQ(m.dcd_change().subchan(), 0u);
                 EXPECT_LT(m.dcd_change().slice(), 9u);
                 last_by_slicer[m.dcd_change().slice()] = m.dcd_change().detected();
                 ++events;
             }
             const bool any = std::any_of(last_by_slicer.begin(), last_by_slicer.end(),
                                          [](const auto& e) { return e.second; });
             ever_detected = ever_detected || any;
             EXPECT_EQ(channel(1).dcd_state, any);
         });
    EXPECT_TRUE(ever_detected);
    EXPECT_GE(last_by_slicer.size(), 2u);  // several slicers reported their own edges
    EXPECT_EQ(ModemTestAccess::dcd_transitions(*modem).at(3), events);
    EXPECT_FALSE(channel(1).dcd_state);
}

TEST_F(ModemFixture, BadFcsOfEveryDemodulatorIsSummedIntoASaturatingCounter) {
    const ChannelConfig cfg = channel_config(2, "afsk", "single");
    ChannelDemod lone = modem::create_demod(cfg, kAfskRate);
    modem::process_demod_samples(lone, afsk_bad_frame());
    const uint64_t one_demodulator = lone.take_bad_fcs();
    ASSERT_GE(one_demodulator, 1u);

    auto sender = add_device(1, pipeline_for(cfg, kAfskRate, {cfg, cfg}));
    EXPECT_TRUE(frames_of(play(sender, afsk_bad_frame())).empty());
    EXPECT_EQ(ModemTestAccess::rx_bad_fcs(*modem).at(2), 3 * one_demodulator);

    ModemTestAccess::rx_bad_fcs(*modem)[2] = std::numeric_limits<uint64_t>::max() - 1;
    play(sender, afsk_bad_frame());
    EXPECT_EQ(ModemTestAccess::rx_bad_fcs(*modem).at(2), std::numeric_limits<uint64_t>::max());
}

TEST_F(ModemFixture, AClosedQueueEndsOnlyItsDeviceWithOneLine) {
    auto ending = add_device(1, pipeline_for(channel_config(1, "afsk", "single"), kAfskRate));
    auto going_on = add_device(2, pipeline_for(channel_config(2, "afsk", "single"), kAfskRate));
    test_support::StderrCapture stderr_lines;
    { audio::CaptureSender released = std::move(ending); }
    const auto frame = test_support::test_frame(5, 24);
    const auto written = play(going_on, afsk_frames({frame}));
    EXPECT_EQ(stderr_lines.stop(),
              std::vector<std::string>{"quillmar-modem: audio source 1 ended"});
    EXPECT_EQ(ModemTestAccess::device_pipelines(*modem).count(1), 0u);
    EXPECT_TRUE(stops[1]->load());
    ASSERT_EQ(frames_of(written).size(), 1u);
    EXPECT_EQ(frames_of(written)[0].received_frame().channel(), 2u);
}

// A sound card's capture callback drops what a full queue cannot hold while
// the loop stands still; the loop counts every drop and says so when it runs
// again, then at most once a second while the count grows.
TEST_F(ModemFixture, CaptureBlocksDroppedWhileTheLoopStoodStillAreReportedOnceAndCounted) {
    auto streams = std::make_shared<test_support::FakeStreams>();
    auto [sender, receiver] = audio::make_capture_queue();
    soundcard::CaptureSetup setup;
    setup.sample_rate = kAfskRate;
    soundcard::StreamThreadOptions options;
    options.log = [](std::string_view) {};
    auto source = soundcard::start_capture(setup, streams->builder(), std::move(sender), options);
    ASSERT_TRUE(source.ok()) << source.error_text();
    std::vector<ChannelPipeline> channels;
    channels.push_back(pipeline_for(channel_config(1, "afsk", "single"), kAfskRate));
    auto& pipelines = ModemTestAccess::device_pipelines(*modem);
    pipelines.emplace(
        3, modem::DevicePipeline{std::move(*source), std::move(receiver), std::move(channels),
                                 std::make_shared<modem::GainCell>(0.0f)});
    const std::vector<int16_t> buffer(960, 100);
    auto capture = [&](int buffers) {
        for (int i = 0; i < buffers; ++i) {
            ASSERT_TRUE(streams->pump_capture(std::span<const int16_t>(buffer)));
        }
    };
    const std::string line =
        "quillmar-modem: device 3: {} capture blocks dropped (the main loop fell behind)";

    test_support::StderrCapture stderr_lines;
    capture(64 + 70);  // the queue's 64, then 70 with no room
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(turn());
    // The queue has room for ten again: eleven more, one dropped, within the second.
    clock.set_ms(999);
    capture(11);
    EXPECT_TRUE(turn());
    clock.set_ms(1000);
    EXPECT_TRUE(turn());
    EXPECT_TRUE(turn());
    EXPECT_EQ(stderr_lines.stop(), (std::vector<std::string>{fmt::format(fmt::runtime(line), 70),
                                                             fmt::format(fmt::runtime(line), 71)}));
    audio::stop_and_join(pipelines.at(3).source);
}

// The per-sample reference: the same demodulator fed one sample at a time,
// drained at the same block boundaries.
struct Reference {
    std::vector<IpcMessage> frames;
    std::vector<bool> edges;
    uint64_t bad_fcs = 0;
};

Reference per_sample(const ChannelConfig& cfg, const Samples& samples, size_t block) {
    Reference ref;
    ChannelDemod demod = modem::create_demod(cfg, kAfskRate);
    bool state = false;
    for (size_t start = 0; start < samples.size(); start += block) {
        const size_t end = std::min(samples.size(), start + block);
        for (size_t i = start; i < end; ++i) modem::process_demod_sample(demod, samples[i]);
        ref.bad_fcs += demod.take_bad_fcs();
        for (const auto& f : demod.take_frames())
            ref.frames.push_back(modem::received_frame_message(f, 0));
        if (const bool dcd = demod.dcd(); dcd != state) {
            state = dcd;
            ref.edges.push_back(state);
        }
    }
    return ref;
}

TEST_F(ModemFixture, BlockPathGivesWhatAPerSampleFeedGives) {
    const ChannelConfig cfg = channel_config(7, "afsk", "triple");
    std::vector<std::vector<uint8_t>> payloads;
    for (size_t i = 0; i < 4; ++i) payloads.push_back(test_support::test_frame(i, 20 + 25 * i));
    Samples samples = concat({afsk_frames(payloads), afsk_bad_frame()});
    std::vector<double> noisy(samples.begin(), samples.end());
    test_support::AfskTones tones;
    tones.sample_rate = kAfskRate;
    test_support::add_noise(noisy, tones, 14.0, 9);
    samples = test_support::to_pcm16(noisy);

    constexpr size_t kOddBlock = 733;
    const Reference ref = per_sample(cfg, samples, kOddBlock);
    ASSERT_GE(ref.frames.size(), 4u);

    auto sender = add_device(3, pipeline_for(cfg, kAfskRate));
    const auto written = play(sender, samples, kOddBlock);
    auto frames = frames_of(written);
    ASSERT_EQ(frames.size(), ref.frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i].mutable_received_frame()->set_timestamp_ns(0);
        EXPECT_EQ(frames[i].SerializeAsString(), ref.frames[i].SerializeAsString())
            << "frame " << i;
    }
    std::vector<bool> edges;
    for (const auto& m : dcd_of(written)) edges.push_back(m.dcd_change().detected());
    EXPECT_EQ(edges, ref.edges);
    EXPECT_EQ(ModemTestAccess::rx_frames(*modem).at(7), ref.frames.size());
    const auto bad = ModemTestAccess::rx_bad_fcs(*modem);
    EXPECT_EQ(bad.count(7) ? bad.at(7) : 0, ref.bad_fcs);
    EXPECT_EQ(ModemTestAccess::dcd_transitions(*modem).at(7), ref.edges.size());
}

// How the loop ends, met while idle: one line each, and run() returns with
// the modem torn down.
TEST(ModemRun, EachEndOfTheConnectionEndsTheLoopWithItsLine) {
    struct Case {
        const char* name;
        std::function<void(test_support::TestParent&)> parent_does;
        int signal_number;
        std::string line;
    };
    IpcMessage status;
    status.mutable_status_update()->set_channel(3);
    const Case cases[] = {
        {"peer closes", [](auto& p) { p.close(); }, 0,
         "quillmar-modem: peer disconnected, exiting"},
        {"ignored messages, then the peer closes",
         [status](auto& p) {
             p.send(IpcMessage());
             p.send(status);
             p.close();
         },
         0, "quillmar-modem: peer disconnected, exiting"},
        {"peer closes after two length bytes",
         [](auto& p) {
             const uint8_t partial[] = {0, 0};
             p.send_raw(partial);
             p.close();
         },
         0, "quillmar-modem: peer disconnected, exiting"},
        {"length above the limit",
         [](auto& p) {
             const uint8_t length[] = {0, 1, 0, 1};
             p.send_raw(length);
         },
         0, "quillmar-modem: ipc read error: frame too large: 65537 > 65536, exiting"},
        {"termination signal", [](auto&) {}, SIGTERM, "quillmar-modem: SIGTERM received, exiting"},
        {"second termination signal name", [](auto&) {}, SIGHUP,
         "quillmar-modem: SIGHUP received, exiting"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TestParent parent;
        auto connection = parent.take_connection();
        modem::ModemOptions options;
        options.termination_signal = [n = c.signal_number] { return n; };
        auto made = modem::Modem::create(std::move(connection.handle),
                                         std::move(connection.inbound), std::move(options));
        ASSERT_TRUE(made.ok());
        test_support::StderrCapture stderr_lines;
        c.parent_does(parent);
        modem::Modem::run(std::move(*made));
        EXPECT_EQ(stderr_lines.stop(), std::vector<std::string>{c.line});
    }
}

// A driver build in hand on the worker when the parent goes: the teardown
// waits for it, and the end's line comes after the build's own.
TEST(ModemRun, TheEndsLineFollowsWhatTheWorkerFinishesInTheTeardown) {
    test_support::TestParent parent;
    auto connection = parent.take_connection();
    auto building = std::make_shared<std::promise<void>>();
    modem::ModemOptions options;
    options.termination_signal = [] { return 0; };
    options.build_driver =
        [building](const ptt::PttSettings&) -> Result<std::unique_ptr<ptt::PttDriver>> {
        building->set_value();
        std::this_thread::sleep_for(300ms);  // a daemon slow to answer
        return make_error("probe timed out");
    };
    auto made = modem::Modem::create(std::move(connection.handle), std::move(connection.inbound),
                                     std::move(options));
    ASSERT_TRUE(made.ok());
    test_support::StderrCapture stderr_lines;
    IpcMessage configure;
    configure.mutable_configure_ptt()->set_channel(2);
    configure.mutable_configure_ptt()->set_method("rigctld");
    parent.send(configure);
    std::thread close_when_building([&] {
        building->get_future().wait();
        parent.close();
    });
    modem::Modem::run(std::move(*made));
    close_when_building.join();
    EXPECT_EQ(stderr_lines.stop(),
              (std::vector<std::string>{
                  "quillmar-modem: ConfigurePtt: build driver for channel 2 (rigctld): probe timed "
                  "out",
                  "quillmar-modem: peer disconnected, exiting"}));
}

TEST(ModemRun, AnInboundQueueClosedWithoutAnEndEventEndsTheLoop) {
    test_support::TestParent parent;
    auto connection = parent.take_connection();
    auto [sender, receiver] = ipc::make_inbound_queue();
    modem::ModemOptions options;
    options.termination_signal = [] { return 0; };
    auto made =
        modem::Modem::create(std::move(connection.handle), std::move(receiver), std::move(options));
    ASSERT_TRUE(made.ok());
    test_support::StderrCapture stderr_lines;
    sender.send(ipc::IpcInbound{ipc::IpcInbound::Message{IpcMessage()}});
    { auto released = std::move(sender); }
    modem::Modem::run(std::move(*made));
    EXPECT_EQ(stderr_lines.stop(),
              std::vector<std::string>{"quillmar-modem: ipc channel closed, exiting"});
}

// The transmit side of the station as the worker meets it: a driver and a
// sink that plays at 48000 samples per second, both logging.
struct Station {
    std::mutex lock;
    std::vector<std::string> log;
    std::atomic<uint64_t> played_at_unkey{0};
    std::shared_ptr<std::atomic<uint64_t>> played = std::make_shared<std::atomic<uint64_t>>(0);

    void add(std::string event) {
        std::lock_guard<std::mutex> guard(lock);
        log.push_back(std::move(event));
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> guard(lock);
        return log;
    }
};

class StationDriver : public ptt::PttDriver {
public:
    explicit StationDriver(std::shared_ptr<Station> station) : station_(std::move(station)) {}
    ~StationDriver() override { station_->add("release"); }
    Status key() override {
        station_->add("key");
        return Status::success();
    }
    Status unkey() override {
        station_->played_at_unkey = station_->played->load();
        station_->add("unkey");
        return Status::success();
    }

private:
    std::shared_ptr<Station> station_;
};

class PacedSink : public modem::TxSink {
public:
    explicit PacedSink(std::shared_ptr<Station> station) : station_(std::move(station)) {}
    ~PacedSink() override { station_->add("sink dropped"); }
    Result<uint64_t> submit(audio::SampleBlock block) override {
        start_ = std::chrono::steady_clock::now();
        submitted_ += block.size();
        station_->add(fmt::format("submit {}", block.size()));
        return submitted_;
    }
    uint64_t played() const override {
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        const auto due = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() * 48 / 1000);
        const uint64_t played = std::min(submitted_, due);
        station_->played->store(played);
        return played;
    }
    uint64_t failures() const override { return 0; }

private:
    std::shared_ptr<Station> station_;
    std::chrono::steady_clock::time_point start_;
    uint64_t submitted_ = 0;
};

// However the loop ends with a transmission in hand, the teardown lets it play
// to its end, unkeys, and releases the driver before run() is over.
TEST(ModemRun, ATransmissionInHandRunsToItsUnkeyOnEveryWayOut) {
    enum class End { PeerCloses, TerminationSignal, BrokenWriter, Shutdown };
    const End ends[] = {End::PeerCloses, End::TerminationSignal, End::BrokenWriter, End::Shutdown};
    constexpr size_t kSamples = 14400;  // 300 ms
    for (End end : ends) {
        SCOPED_TRACE(static_cast<int>(end));
        auto station = std::make_shared<Station>();
        auto signal = std::make_shared<std::atomic<int>>(0);
        test_support::TestParent parent;
        auto connection = parent.take_connection();
        const ipc::IpcHandle writer = connection.handle;
        modem::ModemOptions options;
        options.termination_signal = [signal] { return signal->load(); };
        options.open_output =
            [station](
                const soundcard::OutputSpec&,
                std::optional<modem::OutputDevice>) -> Result<std::unique_ptr<modem::TxSink>> {
            return std::unique_ptr<modem::TxSink>(std::make_unique<PacedSink>(station));
        };
        options.build_driver =
            [station](const ptt::PttSettings&) -> Result<std::unique_ptr<ptt::PttDriver>> {
            return std::unique_ptr<ptt::PttDriver>(std::make_unique<StationDriver>(station));
        };
        auto made = modem::Modem::create(std::move(connection.handle),
                                         std::move(connection.inbound), std::move(options));
        ASSERT_TRUE(made.ok());
        std::unique_ptr<modem::Modem> m = std::move(*made);
        test_support::StderrCapture stderr_lines;

        modem::TxWorker& tx = ModemTestAccess::tx(*m);
        ptt::PttSettings settings;
        settings.method = "station";
        ASSERT_TRUE(tx.send(modem::TxMessage::ConfigurePtt{1, settings}).ok());
        modem::TxRequest request;
        request.samples.assign(kSamples, 1000);
        request.output = {"test-out", 48000, 1, 0, 0};
        request.channel = 1;
        request.sample_rate = 48000;
        request.output_device_id = 3;
        ASSERT_TRUE(tx.transmit(std::move(request)).ok());
        ASSERT_TRUE(
            stderr_lines.wait_until([&](const auto&) { return station->events().size() >= 2; },
                                    std::chrono::steady_clock::now() + 10s));

        switch (end) {
            case End::PeerCloses:
                parent.close();
                modem::Modem::run(std::move(m));
                break;
            case End::TerminationSignal:
                signal->store(SIGINT);
                modem::Modem::run(std::move(m));
                break;
            case End::BrokenWriter: {
                auto [sender, receiver] = audio::make_capture_queue();
                ModemTestAccess::device_pipelines(*m).emplace(
                    1, modem::DevicePipeline{
                           audio::AudioSource(std::make_shared<std::atomic<bool>>(false),
                                              std::thread(), 48000),
                           std::move(receiver),
                           {},
                           nullptr});
                ASSERT_TRUE(sender.try_send(audio::SampleBlock(960, 100)));
                writer.mark_broken();
                EXPECT_THROW(modem::Modem::run(std::move(m)), invariant::BrokenInvariant);
                break;
            }
            case End::Shutdown: {
                IpcMessage shutdown;
                shutdown.mutable_shutdown();
                parent.send(shutdown);
                modem::Modem::run(std::move(m));
                break;
            }
        }
        auto events = station->events();
        // Shutdown queues the closing of the sinks behind the transmission; the
        // worker may take it before it sees the end.
        if (end == End::Shutdown && events.size() == 5 && events[3] == "sink dropped") {
            std::swap(events[3], events[4]);
        }
        EXPECT_EQ(events, (std::vector<std::string>{"key", fmt::format("submit {}", kSamples),
                                                    "unkey", "release", "sink dropped"}));
        EXPECT_EQ(station->played_at_unkey.load(), kSamples);
        const auto lines = stderr_lines.stop();
        ASSERT_EQ(lines.size(), end == End::Shutdown ? 2u : 3u);
        EXPECT_EQ(lines[0], "quillmar-modem: PTT configured for channel 1 (station)");
        EXPECT_EQ(lines[1], "quillmar-modem: TX sink opened for device_id=3 at 48000 Hz");
        if (end == End::Shutdown) continue;
        const char* expected_end[] = {"quillmar-modem: peer disconnected, exiting",
                                      "quillmar-modem: SIGINT received, exiting",
                                      "quillmar-modem: ipc writer lock poisoned"};
        EXPECT_EQ(lines[2], expected_end[static_cast<int>(end)]);
    }
}

// Dropping a pipeline only closes its queue: a source thread blocked in a
// waiting send ends on its own, its stop flag never set.
TEST(ModemRun, TeardownLetsASourceThreadGoByClosingItsQueue) {
    test_support::TestParent parent;
    auto connection = parent.take_connection();
    auto made = modem::Modem::create(std::move(connection.handle), std::move(connection.inbound));
    ASSERT_TRUE(made.ok());
    auto [sender, receiver] = audio::make_capture_queue(1);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto ended = std::make_shared<std::promise<audio::SendResult>>();
    auto result = ended->get_future();
    std::thread source([sender = std::move(sender), stop, ended]() mutable {
        audio::SendResult last = audio::SendResult::Sent;
        while (last == audio::SendResult::Sent)
            last = sender.send(audio::SampleBlock(10, 0), *stop);
        ended->set_value(last);
    });
    ModemTestAccess::device_pipelines(**made).emplace(
        1,
        modem::DevicePipeline{
            audio::AudioSource(stop, std::move(source), 48000), std::move(receiver), {}, nullptr});
    (*made).reset();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), audio::SendResult::Closed);
    EXPECT_FALSE(stop->load());
}

// The audio requests and the status reports, served through handle_ipc.

IpcMessage channel_message(uint32_t channel, uint32_t input_device = 0,
                           uint32_t output_device = 0) {
    IpcMessage m;
    auto* c = m.mutable_configure_channel();
    c->set_channel(channel);
    c->set_input_device_id(input_device);
    c->set_output_device_id(output_device);
    c->set_demod_ensemble("single");
    return m;
}

IpcMessage audio_message(uint32_t device, const std::string& type, const std::string& name,
                         uint32_t rate, float gain_db = 0.0f) {
    IpcMessage m;
    auto* a = m.mutable_configure_audio();
    a->set_device_id(device);
    a->set_source_type(type);
    a->set_device_name(name);
    a->set_sample_rate(rate);
    a->set_gain_db(gain_db);
    return m;
}

IpcMessage gain_message(uint32_t device, float gain_db) {
    IpcMessage m;
    m.mutable_set_device_gain()->set_device_id(device);
    m.mutable_set_device_gain()->set_gain_db(gain_db);
    return m;
}

IpcMessage start_message() {
    IpcMessage m;
    m.mutable_start_audio();
    return m;
}

IpcMessage stop_message() {
    IpcMessage m;
    m.mutable_stop_audio();
    return m;
}

IpcMessage shutdown_message() {
    IpcMessage m;
    m.mutable_shutdown();
    return m;
}

std::vector<IpcMessage> statuses_of(const std::vector<IpcMessage>& messages) {
    return only(messages, [](const IpcMessage& m) { return m.has_status_update(); });
}

TEST_F(ModemFixture, StatusGoesOutInChannelOrderAndOnlyTheLastOfTheFinalReportIsFlagged) {
    for (uint32_t c : {7u, 2u, 5u}) EXPECT_FALSE(modem->handle_ipc(channel_message(c)));
    ModemTestAccess::rx_frames(*modem)[5] = 3;
    ModemTestAccess::rx_frames(*modem)[9] = 4;  // no such channel: pruned at the tick
    for (int tick = 1; tick <= 2; ++tick) {
        clock.set_ms(500 * tick);
        EXPECT_TRUE(turn());
        const auto statuses = statuses_of(parent.available());
        ASSERT_EQ(statuses.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            const auto& s = statuses[i].status_update();
            EXPECT_EQ(s.channel(), std::vector<uint32_t>({2, 5, 7})[i]);
            EXPECT_EQ(s.rx_frames(), s.channel() == 5 ? 3u : 0u);
            EXPECT_FALSE(s.shutdown_complete());
            EXPECT_GT(s.timestamp_ns(), 0u);
        }
    }
    EXPECT_EQ(ModemTestAccess::rx_frames(*modem).count(9), 0u);
    EXPECT_TRUE(modem->handle_ipc(shutdown_message()));
    const auto final = statuses_of(parent.read_to_end());
    ASSERT_EQ(final.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(final[i].status_update().channel(), std::vector<uint32_t>({2, 5, 7})[i]);
        EXPECT_EQ(final[i].status_update().shutdown_complete(), i == 2);
    }
}

TEST_F(ModemFixture, WithoutChannelsTicksAreSilentAndTheFinalReportHoldsOnlyFlagAndTime) {
    clock.set_ms(500);
    EXPECT_TRUE(turn());
    EXPECT_TRUE(statuses_of(parent.available()).empty());
    EXPECT_TRUE(modem->handle_ipc(shutdown_message()));
    const auto final = parent.read_to_end();  // up to the half-close
    ASSERT_EQ(final.size(), 1u);
    ASSERT_TRUE(final[0].has_status_update());
    const auto& status = final[0].status_update();
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    status.GetReflection()->ListFields(status, &fields);
    std::vector<int> numbers;
    for (const auto* field : fields) numbers.push_back(field->number());
    EXPECT_EQ(numbers, (std::vector<int>{10, 11}));
    EXPECT_TRUE(status.shutdown_complete());
}

TEST_F(ModemFixture, IdleOutputLevelsGoOutPerDistinctDeviceEvery750ms) {
    modem->handle_ipc(channel_message(1, 0, 5));  // device 5 has no audio settings
    modem->handle_ipc(channel_message(2, 0, 4));
    modem->handle_ipc(channel_message(3, 1, 4));
    modem->handle_ipc(channel_message(6, 0, 0));  // output 0: never reported
    const std::vector<std::vector<uint32_t>> expected = {{4, 5}, {}, {4, 5}, {}, {4, 5}};
    for (size_t tick = 0; tick < expected.size(); ++tick) {
        clock.set_ms(500 * static_cast<int64_t>(tick + 1));
        EXPECT_TRUE(turn());
        std::vector<uint32_t> devices;
        for (const auto& m : levels_of(parent.available())) {
            const auto& level = m.device_level_update();
            devices.push_back(level.device_id());
            EXPECT_EQ(level.peak_dbfs(), -60.0f);
            EXPECT_EQ(level.rms_dbfs(), -60.0f);
            EXPECT_FALSE(level.clipping());
        }
        std::sort(devices.begin(), devices.end());
        EXPECT_EQ(devices, expected[tick]) << "tick " << tick + 1;
    }
}

TEST_F(ModemFixture, GainRequestsSetTheLiveCellAndAStoredConfigOnly) {
    auto& cells = ModemTestAccess::device_gain(*modem);
    auto& configs = ModemTestAccess::audio_configs(*modem);
    modem->handle_ipc(audio_message(2, "stdin", "", 48000, 20.0f));
    const modem::SharedGainCell cell = cells.at(2);
    struct Row {
        IpcMessage message;
        uint32_t device;
        float live_db;
        std::optional<float> stored_db;  // none: no audio settings for the device
    };
    const std::vector<Row> rows = {
        {gain_message(2, -100.0f), 2, -60.0f, -60.0f},
        {gain_message(2, std::numeric_limits<float>::quiet_NaN()), 2, 0.0f, 0.0f},
        {gain_message(2, 6.0f), 2, 6.0f, 6.0f},
        {gain_message(9, 5.0f), 9, 5.0f, std::nullopt},
        {audio_message(9, "stdin", "", 48000, -3.0f), 9, -3.0f, -3.0f},
    };
    for (const Row& row : rows) {
        EXPECT_FALSE(modem->handle_ipc(row.message));
        EXPECT_EQ(cells.at(row.device)->load(), row.live_db);
        if (row.stored_db) {
            EXPECT_EQ(configs.at(row.device).gain_db, *row.stored_db);
        } else {
            EXPECT_EQ(configs.count(row.device), 0u);
        }
    }
    EXPECT_EQ(cells.at(2), cell);  // changed in place, so a running pipeline sees it
    EXPECT_EQ(configs.at(2).sample_rate, 48000u);
}

TEST_F(ModemFixture, StartBuildsOnePipelinePerInputDeviceWithItsChannelsInOrder) {
    modem->handle_ipc(audio_message(1, "sdr_udp", "127.0.0.1:0", 48000, 6.0f));
    modem->handle_ipc(audio_message(2, "sdr_udp", "127.0.0.1:0", 8000));
    IpcMessage offsets = channel_message(9, 1);
    offsets.mutable_configure_channel()->set_num_decoders(3);
    offsets.mutable_configure_channel()->set_decoder_offset(-100);
    modem->handle_ipc(offsets);
    modem->handle_ipc(channel_message(3, 1));
    modem->handle_ipc(channel_message(4, 2));
    auto& pipelines = ModemTestAccess::device_pipelines(*modem);
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(modem->handle_ipc(start_message()));
        ASSERT_EQ(pipelines.size(), 2u);
        const auto& first = pipelines.at(1);
        EXPECT_EQ(first.source.sample_rate, 48000u);
        ASSERT_EQ(first.channel_pipelines.size(), 2u);
        EXPECT_EQ(first.channel_pipelines[0].channel, 3u);
        EXPECT_EQ(first.channel_pipelines[0].extra_demods.size(), 0u);
        EXPECT_EQ(first.channel_pipelines[1].channel, 9u);
        EXPECT_EQ(first.channel_pipelines[1].extra_demods.size(), 2u);
        EXPECT_EQ(first.gain, ModemTestAccess::device_gain(*modem).at(1));
        EXPECT_EQ(first.gain->load(), 6.0f);
        EXPECT_EQ(pipelines.at(2).source.sample_rate, 8000u);
        ASSERT_EQ(pipelines.at(2).channel_pipelines.size(), 1u);
        EXPECT_EQ(pipelines.at(2).channel_pipelines[0].channel, 4u);
    }
    EXPECT_FALSE(modem->handle_ipc(stop_message()));
    EXPECT_TRUE(pipelines.empty());
}

// Audio started with no channel configured runs the default channel 0 on
// device 0; its frames go out, but channel 0 is not configured, so no status
// report names it and its counter goes at the next tick.
TEST_F(ModemFixture, TheDefaultChannelDecodesYetNoStatusNamesIt) {
    test_support::ScratchDir dir;
    test_support::RecordingPlan plan;
    plan.frames = 2;
    const auto samples = test_support::afsk_recording(plan);
    const std::string path = dir.file("frames.flac");
    test_support::write_flac(path, plan.sample_rate, 1, 16,
                             std::vector<int32_t>(samples.begin(), samples.end()));
    modem->handle_ipc(audio_message(0, "flac_fast", path, 0));
    test_support::StderrCapture stderr_lines;
    modem->handle_ipc(start_message());
    std::vector<IpcMessage> written;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!ModemTestAccess::device_pipelines(*modem).empty() &&
           std::chrono::steady_clock::now() < deadline) {
        EXPECT_TRUE(turn());
        auto more = parent.available();
        written.insert(written.end(), more.begin(), more.end());
    }
    EXPECT_EQ(stderr_lines.stop(),
              std::vector<std::string>{"quillmar-modem: audio source 0 ended"});
    const auto frames = frames_of(written);
    ASSERT_EQ(frames.size(), 2u);
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto payload = test_support::recording_frame(i);
        EXPECT_EQ(frames[i].received_frame().channel(), 0u);
        EXPECT_EQ(frames[i].received_frame().data(), std::string(payload.begin(), payload.end()));
    }
    EXPECT_EQ(ModemTestAccess::rx_frames(*modem).at(0), 2u);
    clock.set_ms(500);
    EXPECT_TRUE(turn());
    EXPECT_TRUE(statuses_of(parent.available()).empty());
    EXPECT_TRUE(ModemTestAccess::rx_frames(*modem).empty());
}

// A FLAC device is only looked at on the main thread, never opened there: a
// path that names no regular file fails the start; what is wrong inside the
// file ends the source with its failure, after the blocks before it.
TEST_F(ModemFixture, AFlacDeviceIsCheckedAtStartAndReadOnItsOwnThread) {
    test_support::ScratchDir dir;
    test_support::RecordingPlan plan;
    plan.frames = 2;
    const auto samples = test_support::afsk_recording(plan);
    const std::string good = dir.file("frames.flac");
    test_support::write_flac(good, plan.sample_rate, 1, 16,
                             std::vector<int32_t>(samples.begin(), samples.end()));
    auto bytes = test_support::read_bytes(good);
    bytes.back() ^= 0x01;  // the check of the last audio frame, in the silence after both
    const std::string damaged = dir.file("damaged.flac");
    test_support::write_bytes(damaged, bytes);
    const std::string text = dir.file("text.flac");
    test_support::write_bytes(text, {'n', 'o', 't', ' ', 'F', 'L', 'A', 'C'});
    const std::string missing = dir.file("missing.flac");
    const std::string fifo = dir.file("fifo.flac");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    auto refused = [](const std::string& why) {
        return std::vector<std::string>{
            fmt::format("quillmar-modem: start_audio failed ({}), retrying in 500ms", why),
            fmt::format("quillmar-modem: start_audio failed: {}", why)};
    };
    auto failed = [](const std::string& why) {
        return std::vector<std::string>{
            fmt::format("quillmar-modem: audio source 0 failed: {}", why),
            "quillmar-modem: audio source 0 ended"};
    };
    const struct {
        const char* what;
        std::string path;
        std::vector<std::string> lines;
        size_t frames;
    } rows[] = {
        {"missing", missing, refused("open flac " + missing + ": No such file or directory"), 0},
        {"FIFO", fifo, refused("device 0: " + fifo + " is not a regular file"), 0},
        {"directory", dir.path().string(),
         refused("device 0: " + dir.path().string() + " is not a regular file"), 0},
        {"not FLAC", text,
         failed("open flac " + text + ": FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC"), 0},
        {"damaged at its end", damaged,
         failed("flac decode: FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH"), 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        modem->handle_ipc(audio_message(0, "flac_fast", row.path, 0));
        test_support::StderrCapture stderr_lines;
        modem->handle_ipc(start_message());
        std::vector<IpcMessage> written;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!ModemTestAccess::device_pipelines(*modem).empty() &&
               std::chrono::steady_clock::now() < deadline) {
            EXPECT_TRUE(turn());
            auto more = parent.available();
            written.insert(written.end(), more.begin(), more.end());
        }
        EXPECT_EQ(stderr_lines.stop(), row.lines);
        EXPECT_EQ(frames_of(written).size(), row.frames);
    }
}

// Each output device named by a channel and configured is resolved and
// registered once; one that does not resolve is left out with a line, one
// that cannot open as configured is registered with a line.
TEST_F(ModemFixture, StartRegistersEachConfiguredOutputDeviceOnce) {
    test_support::ScratchDir dir;
    test_support::AlsaConfig config;
    config.pcm("quillmar_out", {.rates = {48000}, .stream = "playback"})
        .hint("quillmar_out", "Paced playback", "Output");
    test_support::ScopedAlsaConfig scoped(dir, config);
    modem->handle_ipc(audio_message(1, "sdr_udp", "127.0.0.1:0", 48000));
    modem->handle_ipc(audio_message(4, "soundcard", "quillmar_out", 48000));
    modem->handle_ipc(audio_message(5, "soundcard", "missing_out", 48000));
    modem->handle_ipc(audio_message(8, "soundcard", "quillmar_out", 44100));
    const std::vector<std::pair<uint32_t, uint32_t>> channels = {
        {1, 4}, {2, 4}, {3, 5}, {4, 8}, {6, 7} /* no audio settings: skipped silently */};
    for (const auto& [channel, output] : channels) {
        modem->handle_ipc(channel_message(channel, 1, output));
    }
    test_support::StderrCapture stderr_lines;
    EXPECT_FALSE(modem->handle_ipc(start_message()));
    const auto lines = stderr_lines.stop();
    ASSERT_EQ(lines.size(), 2u) << fmt::format("{}", fmt::join(lines, "\n"));
    EXPECT_EQ(
        lines[0].rfind("quillmar-modem: failed to resolve output device_id=5 (missing_out): ", 0),
        0u);
    EXPECT_EQ(lines[1],
              "quillmar-modem: failed to pre-negotiate output configs for device_id=8 "
              "(quillmar_out); TX may fail later if device gets busy");
    auto& outputs = ModemTestAccess::output_devices(*modem);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs.at(4).name, "quillmar_out");
    EXPECT_EQ(outputs.at(8).name, "quillmar_out");
    EXPECT_EQ(ModemTestAccess::device_pipelines(*modem).size(), 1u);
}

}  // namespace
