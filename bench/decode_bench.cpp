// Speed of the offline decode tool on a long generated recording, file reading
// included. The "x_realtime" counter is seconds of audio decoded per second.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "../tests/support/afsk_recording.h"
#include "decode.h"
#include "wavio.h"

namespace {

constexpr uint32_t kRate = 44100;

// Two minutes of frames with noise, written once per run.
const std::string& long_recording() {
    static const std::string path = [] {
        test_support::RecordingPlan plan;
        plan.sample_rate = kRate;
        plan.frames = 120;
        plan.noise_rms = 400.0;
        auto samples = test_support::afsk_recording(plan);
        std::string p =
            (std::filesystem::temp_directory_path() / "quillmar-decode-bench.wav").string();
        Status written = wavio::write_wav_i16(p, samples, kRate);
        if (!written)
            std::fprintf(stderr, "cannot write %s: %s\n", p.c_str(), written.error_text().c_str());
        return p;
    }();
    return path;
}

void set_counters(benchmark::State& state, size_t samples) {
    const double seconds = static_cast<double>(samples) / kRate;
    state.counters["x_realtime"] = benchmark::Counter(
        seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetItemsProcessed(static_cast<int64_t>(samples) * state.iterations());
}

void BM_DecodeFile(benchmark::State& state) {
    const std::string& path = long_recording();
    size_t samples = std::filesystem::file_size(path) / 2;
    for (auto _ : state) {
        auto summary = decode::decode_file(path);
        if (!summary) {
            state.SkipWithError(summary.error_text().c_str());
            return;
        }
        benchmark::DoNotOptimize(summary->rx_frames);
    }
    set_counters(state, samples);
}
BENCHMARK(BM_DecodeFile)->Unit(benchmark::kMillisecond);

void BM_ReadWav(benchmark::State& state) {
    const std::string& path = long_recording();
    size_t samples = 0;
    for (auto _ : state) {
        auto audio = wavio::read_audio_i16(path);
        if (!audio) {
            state.SkipWithError(audio.error_text().c_str());
            return;
        }
        samples = audio->samples.size();
        benchmark::DoNotOptimize(audio->samples.data());
    }
    set_counters(state, samples);
}
BENCHMARK(BM_ReadWav)->Unit(benchmark::kMillisecond);

}  // namespace
