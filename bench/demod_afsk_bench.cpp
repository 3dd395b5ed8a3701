// Samples per second of the AFSK demodulator at 44100 Hz, 1200 baud,
// 1200/2200 Hz, and the multiple of real time ("x_realtime").

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "demod_afsk.h"

namespace {

constexpr uint32_t kRate = 44100;

// One second of random-bit AFSK with a little noise.
const std::vector<int16_t>& test_audio() {
    static const std::vector<int16_t> audio = [] {
        std::vector<int16_t> out(kRate);
        std::mt19937 rng(1);
        std::normal_distribution<double> noise(0.0, 300.0);
        double phase = 0;
        bool mark = true;
        for (uint32_t n = 0; n < kRate; ++n) {
            if (n % 37 == 0 && (rng() & 1)) mark = !mark;
            phase += 2 * M_PI * (mark ? 1200.0 : 2200.0) / kRate;
            out[n] = static_cast<int16_t>(std::lround(6000 * std::sin(phase) + noise(rng)));
        }
        return out;
    }();
    return audio;
}

void run(benchmark::State& state, bool profile_b, std::size_t slicers) {
    auto demod = std::make_unique<demod_afsk::AfskDemodulator>(demod_afsk::AfskSettings{kRate, 1200, 1200, 2200, profile_b, {.num_slicers = slicers}}, demod::Identity{0, 0});
    const std::vector<int16_t>& audio = test_audio();
    for (auto _ : state) {
        for (int16_t s : audio) demod->process_sample(s);
        benchmark::DoNotOptimize(demod->take_frames());
        benchmark::DoNotOptimize(demod->take_dcd_changes());
        benchmark::ClobberMemory();
    }
    const double samples = static_cast<double>(state.iterations()) * audio.size();
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["x_realtime"] = benchmark::Counter(samples / kRate, benchmark::Counter::kIsRate);
}

void BM_AfskProfileA1Slicer(benchmark::State& state) {
    run(state, false, 1);
}
void BM_AfskProfileA9Slicers(benchmark::State& state) {
    run(state, false, 9);
}
void BM_AfskProfileB1Slicer(benchmark::State& state) {
    run(state, true, 1);
}
void BM_AfskProfileB9Slicers(benchmark::State& state) {
    run(state, true, 9);
}

BENCHMARK(BM_AfskProfileA1Slicer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AfskProfileA9Slicers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AfskProfileB1Slicer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AfskProfileB9Slicers)->Unit(benchmark::kMillisecond);

}  // namespace
