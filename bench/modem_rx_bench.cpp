// The receive road end to end, against the bare demodulator it wraps: a Modem
// over a real socket pair, configured and started by its own requests, plays
// 60 s of noisy frames from a "flac_fast" device into channel 0 ("triple",
// 44100 Hz) while a parent thread reads every frame; the loop runs until the
// parent has them all, then Shutdown ends it. Counters: x_realtime from the
// first block taken (its level report) to the last frame received, the FLAC
// open time (StartAudio), and the frames received. ModemRx/bare runs the same
// ensemble over the same audio in 960-sample blocks.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "modem/channel_demod.h"
#include "modem/config.h"
#include "modem/modem.h"
#include "support/afsk_recording.h"
#include "support/flac_file.h"
#include "support/scratch_dir.h"
#include "support/test_parent.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kRate = 44100;
constexpr size_t kBlock = 960;  // the FLAC sources' block

struct Recording {
    std::vector<int16_t> samples;
    test_support::ScratchDir dir;
    std::string path;
    double seconds = 0;
};

// 60 s of frames with noise, written once as a mono FLAC file.
const Recording& recording() {
    static const Recording* made = [] {
        auto* r = new Recording;
        test_support::RecordingPlan plan;
        plan.sample_rate = kRate;
        plan.frames = 1;
        const size_t per_frame = test_support::afsk_recording(plan).size();
        plan.frames = 60 * kRate / per_frame + 1;
        r->samples = test_support::afsk_recording(plan);
        r->samples.resize(60 * kRate);
        r->seconds = 60.0;
        r->path = r->dir.file("frames.flac");
        test_support::write_flac(r->path, kRate, 1, 16,
                                 std::vector<int32_t>(r->samples.begin(), r->samples.end()));
        return r;
    }();
    return *made;
}

modem::ChannelConfig triple() {
    modem::ChannelConfig cfg = modem::default_channel_config();
    cfg.demod_ensemble = "triple";
    return cfg;
}

// Frames the bare ensemble finds in the recording.
size_t bare_frames(const std::vector<int16_t>& samples) {
    modem::ChannelDemod demod = modem::create_demod(triple(), kRate);
    size_t frames = 0;
    for (size_t at = 0; at < samples.size(); at += kBlock) {
        const size_t n = std::min(kBlock, samples.size() - at);
        modem::process_demod_samples(demod, std::span<const int16_t>(samples.data() + at, n));
        frames += demod.take_frames().size();
        (void)demod.take_bad_fcs();
    }
    return frames;
}

size_t expected_frames() {
    static const size_t frames = bare_frames(recording().samples);
    return frames;
}

void ModemRxBare(benchmark::State& state) {
    const Recording& r = recording();
    size_t frames = 0;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        frames = bare_frames(r.samples);
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    state.counters["x_realtime"] = r.seconds * static_cast<double>(state.iterations()) / seconds;
    state.counters["frames"] = static_cast<double>(frames);
}

void ModemRxSocket(benchmark::State& state) {
    const Recording& r = recording();
    const size_t wanted = expected_frames();
    ipc::proto::IpcMessage audio;
    audio.mutable_configure_audio()->set_device_id(0);
    audio.mutable_configure_audio()->set_source_type("flac_fast");
    audio.mutable_configure_audio()->set_device_name(r.path);
    ipc::proto::IpcMessage channel;
    channel.mutable_configure_channel()->set_demod_ensemble("triple");
    ipc::proto::IpcMessage start;
    start.mutable_start_audio();

    double seconds = 0, open_ms = 0;
    size_t frames = 0;
    for (auto _ : state) {
        test_support::TestParent parent;
        auto connection = parent.take_connection();
        auto made =
            modem::Modem::create(std::move(connection.handle), std::move(connection.inbound));
        if (!made) {
            state.SkipWithError(made.error_text().c_str());
            return;
        }
        std::unique_ptr<modem::Modem> m = std::move(*made);
        (void)m->handle_ipc(audio);
        (void)m->handle_ipc(channel);
        const auto opening = Clock::now();
        (void)m->handle_ipc(start);
        open_ms += std::chrono::duration<double, std::milli>(Clock::now() - opening).count();

        std::optional<Clock::time_point> first_block, last_frame;
        size_t received = 0;
        std::thread reader([&] {
            while (received < wanted) {
                auto message = parent.read();
                if (!message) break;
                if (message->has_device_level_update() && !first_block) first_block = Clock::now();
                if (message->has_received_frame()) {
                    ++received;
                    last_frame = Clock::now();
                }
            }
            ipc::proto::IpcMessage shutdown;
            shutdown.mutable_shutdown();
            parent.send(shutdown);
            (void)parent.read_to_end();
        });
        modem::Modem::run(std::move(m));
        reader.join();
        if (first_block && last_frame) {
            seconds += std::chrono::duration<double>(*last_frame - *first_block).count();
        }
        frames = received;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["x_realtime"] = seconds > 0 ? r.seconds * n / seconds : 0;
    state.counters["flac_open_ms"] = open_ms / n;
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["frames_bare"] = static_cast<double>(wanted);
}

BENCHMARK(ModemRxBare)->Name("ModemRx/bare")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(ModemRxSocket)->Name("ModemRx/socket")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
