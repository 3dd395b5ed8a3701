// Samples per second of the 9600-baud and PSK demodulators on a block of
// band-limited noise (the decoder sees random bits and hunts).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "modem_9600/demod_9600.h"
#include "modem_psk/demod_psk.h"

namespace {

std::vector<int16_t> noise_block(std::size_t n) {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 4000.0f);
    std::vector<int16_t> out(n);
    float smooth = 0.0f;
    for (auto& s : out) {
        smooth = 0.5f * smooth + 0.5f * noise(rng);
        s = static_cast<int16_t>(smooth);
    }
    return out;
}

template <class Demod>
void run_block(benchmark::State& state, Demod& demod, uint32_t sample_rate) {
    const auto block = noise_block(sample_rate);
    for (auto _ : state) {
        for (int16_t s : block) demod.process_sample(s);
        benchmark::DoNotOptimize(demod.take_frames());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(block.size()));
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Demod9600(benchmark::State& state) {
    const auto rate = static_cast<uint32_t>(state.range(0));
    modem_9600::Demod9600 demod({rate, 9600}, {0, 0});
    run_block(state, demod, rate);
}
BENCHMARK(BM_Demod9600)->Arg(48000)->Arg(96000);

void BM_PskQpsk1200(benchmark::State& state) {
    const auto rate = static_cast<uint32_t>(state.range(0));
    modem_psk::PskDemodulator demod(rate, 1200, 1700, 1, 0, 0);
    run_block(state, demod, rate);
}
BENCHMARK(BM_PskQpsk1200)->Arg(44100)->Arg(48000);

void BM_Psk8Psk4800(benchmark::State& state) {
    const auto rate = static_cast<uint32_t>(state.range(0));
    modem_psk::PskDemodulator demod(rate, 4800, 6000, 1, 0, 0);
    run_block(state, demod, rate);
}
BENCHMARK(BM_Psk8Psk4800)->Arg(48000);

}  // namespace
