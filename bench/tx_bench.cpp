#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "tx/tx.h"
#include "txtest.h"

// One 256-byte frame with the default 300 ms / 100 ms of flags at 48000 Hz.
static void BM_BuildSamplesFrame(benchmark::State& state) {
    std::vector<uint8_t> data(256);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37);
    for (auto _ : state) {
        auto samples = tx::build_samples(data, 300, 100, 48000, 1200, 1200, 2200);
        benchmark::DoNotOptimize(samples);
    }
}
BENCHMARK(BM_BuildSamplesFrame)->Unit(benchmark::kMicrosecond);

// A callsign identification at 20 wpm, 48000 Hz.
static void BM_CwSamples(benchmark::State& state) {
    for (auto _ : state) {
        auto samples = txtest::cw_samples("N0CALL-10", 48000, 20, 700.0f);
        benchmark::DoNotOptimize(samples);
    }
}
BENCHMARK(BM_CwSamples)->Unit(benchmark::kMicrosecond);

// One second of two alternating tones at 48000 Hz.
static void BM_AlternatingSamples(benchmark::State& state) {
    for (auto _ : state) {
        auto samples = txtest::alternating_samples(48000, 1000, 100, 1200.0f, 2200.0f);
        benchmark::DoNotOptimize(samples);
    }
}
BENCHMARK(BM_AlternatingSamples)->Unit(benchmark::kMicrosecond);
