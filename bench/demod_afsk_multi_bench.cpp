// Samples per second of the "triple" and "dual" AFSK ensembles at 44100 Hz,
// 1200 baud, 1200/2200 Hz, and the multiple of real time ("x_realtime"). The
// audio carries back-to-back frames with some noise, so every member decodes
// and the de-duplication runs as it does on a busy channel.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "demod_afsk_multi.h"
#include "hdlc.h"
#include "tx/afsk_mod.h"

namespace {

constexpr uint32_t kRate = 44100;

void push_octet(std::vector<uint8_t>& bits, uint8_t octet, int& ones, bool stuff) {
    for (int i = 0; i < 8; ++i) {
        const uint8_t bit = (octet >> i) & 1;
        bits.push_back(bit);
        if (!stuff) continue;
        ones = bit ? ones + 1 : 0;
        if (ones == 5) {
            bits.push_back(0);
            ones = 0;
        }
    }
}

// About three seconds of frames of 60 random octets, four flags apart, with noise.
const std::vector<int16_t>& test_audio() {
    static const std::vector<int16_t> audio = [] {
        std::mt19937 rng(1);
        std::vector<uint8_t> bits;
        int ones = 0;
        for (int f = 0; f < 16; ++f) {
            for (int i = 0; i < 4; ++i) push_octet(bits, hdlc::FLAG_OCTET, ones, false);
            std::vector<uint8_t> data(60);
            for (auto& b : data) b = static_cast<uint8_t>(rng());
            const uint16_t fcs = hdlc::compute_fcs(data);
            ones = 0;
            for (uint8_t b : data) push_octet(bits, b, ones, true);
            push_octet(bits, static_cast<uint8_t>(fcs & 0xFF), ones, true);
            push_octet(bits, static_cast<uint8_t>(fcs >> 8), ones, true);
        }
        for (int i = 0; i < 4; ++i) push_octet(bits, hdlc::FLAG_OCTET, ones, false);
        std::vector<uint8_t> levels;
        uint8_t level = 0;
        for (uint8_t bit : bits) {
            if (bit == 0) level ^= 1;
            levels.push_back(level);
        }
        auto clean = afsk_mod::modulate(levels, kRate, 1200, 1200, 2200);
        std::vector<int16_t> out = clean.ok() ? clean.value() : std::vector<int16_t>{};
        std::normal_distribution<double> noise(0.0, 2000.0);
        for (auto& s : out) {
            s = static_cast<int16_t>(std::lround(0.5 * s + noise(rng)));
        }
        return out;
    }();
    return audio;
}

// Audio is fed in blocks of this many samples, as a channel's pipeline does;
// a block of 1 feeds sample by sample.
void run(benchmark::State& state, std::span<const demod_afsk_multi::MultiConfig> rows,
         size_t block) {
    demod_afsk_multi::MultiAfskDemodulator ensemble({kRate, 1200, 1200, 2200, rows}, {0, 0});
    const std::vector<int16_t>& audio = test_audio();
    size_t frames = 0;
    for (auto _ : state) {
        if (block == 1) {
            for (int16_t s : audio) ensemble.process_sample(s);
        } else {
            for (size_t start = 0; start < audio.size(); start += block) {
                const size_t n = std::min(block, audio.size() - start);
                ensemble.process_samples(std::span(audio).subspan(start, n));
            }
        }
        frames += ensemble.take_frames().size();
        benchmark::ClobberMemory();
    }
    const double samples = static_cast<double>(state.iterations()) * audio.size();
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["x_realtime"] = benchmark::Counter(samples / kRate, benchmark::Counter::kIsRate);
    state.counters["frames_per_pass"] =
        static_cast<double>(frames) / static_cast<double>(state.iterations());
}

void BM_EnsembleTriple(benchmark::State& state) {
    run(state, demod_afsk_multi::TRIPLE_ROWS, 1024);
}
void BM_EnsembleDual(benchmark::State& state) {
    run(state, demod_afsk_multi::DUAL_ROWS, 1024);
}
void BM_EnsembleTriplePerSample(benchmark::State& state) {
    run(state, demod_afsk_multi::TRIPLE_ROWS, 1);
}
void BM_EnsembleDualPerSample(benchmark::State& state) {
    run(state, demod_afsk_multi::DUAL_ROWS, 1);
}

BENCHMARK(BM_EnsembleTriple)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnsembleDual)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnsembleTriplePerSample)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnsembleDualPerSample)->Unit(benchmark::kMillisecond);

}  // namespace
