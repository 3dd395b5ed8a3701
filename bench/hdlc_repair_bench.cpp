// Worst-case cost of the repair stage at one closing flag.
//
// The worst input for a decoder with two-bit repair is a capture that began at a
// flag, is as long as two-bit repair allows (2000 raw bits), looks like frame
// data throughout (no flag or abort, so every candidate must be followed to the
// end) and cannot be repaired, so that the re-decode and both searches run to
// the end. Without two-bit repair the worst is the longest capture below the
// cap with single-bit repair only.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "hdlc.h"

namespace {

// Frame-level bits: flags, then `between` bits of stuffed pseudo-random data
// with about `ones_percent` % ones (never six in a row), then one flag.
std::vector<uint8_t> frame_bits(size_t between, uint32_t seed, uint32_t ones_percent) {
    std::vector<uint8_t> bits;
    const auto octet = [&](uint8_t v) {
        for (int k = 0; k < 8; ++k) bits.push_back((v >> k) & 1);
    };
    for (int i = 0; i < 4; ++i) octet(0x7E);
    int ones = 0;
    uint32_t state = seed;
    for (size_t k = 0; k < between; ++k) {
        state = state * 1664525u + 1013904223u;
        uint8_t b = ones_percent == 100 ? 1 : ((state >> 8) % 100) < ones_percent;
        if (ones == 5) b = 0;
        ones = b ? ones + 1 : 0;
        bits.push_back(b);
    }
    octet(0x7E);
    return bits;
}

// Line levels: NRZI, then the scrambler when enabled.
std::vector<uint8_t> to_line(const std::vector<uint8_t>& bits, bool scrambled) {
    std::vector<uint8_t> line;
    uint8_t level = 0;
    uint32_t history = 0;
    for (uint8_t b : bits) {
        if (!b) level ^= 1;
        uint8_t out = level;
        if (scrambled) {
            out = static_cast<uint8_t>(out ^ ((history >> 11) & 1) ^ ((history >> 16) & 1));
            history = (history << 1) | out;
        }
        line.push_back(out);
    }
    return line;
}

// Times the last bit of the closing flag: the live check and the whole repair.
void closing_flag(benchmark::State& state, size_t between, bool scrambled, uint8_t fix_bits) {
    const std::vector<uint8_t> line =
        to_line(frame_bits(between, 99, static_cast<uint32_t>(state.range(0))), scrambled);
    hdlc::HdlcDecoder decoder(0, 0, 0);
    decoder.set_scrambled(scrambled);
    decoder.set_fix_bits(fix_bits);
    int64_t correction_sum = 0;
    int32_t bit_counter = 0;
    size_t capture_bits = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t k = 0; k + 1 < line.size(); ++k) {
            benchmark::DoNotOptimize(decoder.process_bit(line[k], correction_sum, bit_counter));
        }
        capture_bits = decoder.capture().raw_bits.size() + 1 - 8;
        state.ResumeTiming();
        benchmark::DoNotOptimize(decoder.process_bit(line.back(), correction_sum, bit_counter));
    }
    if (decoder.bad_fcs() != static_cast<uint64_t>(state.iterations()))
        state.SkipWithError("a candidate was accepted");
    state.counters["capture_bits"] = static_cast<double>(capture_bits);
}

// 1999 raw bits between the flags: a capture of 2000 bits (its NRZI reference included).
void BM_ClosingFlagDoubleRepairPlain(benchmark::State& state) {
    closing_flag(state, 1999, false, 2);
}
void BM_ClosingFlagDoubleRepairScrambled(benchmark::State& state) {
    closing_flag(state, 1999, true, 2);
}
// The longest capture below the cap: single-bit repair only.
void BM_ClosingFlagSingleRepairLongest(benchmark::State& state) {
    closing_flag(state, hdlc::MAX_RAW_BITS - 10, true, 2);
}

// A steady tone (an abort, then ones up to the bit cap) ended by a flag: no
// repair runs on such a capture.
void BM_ClosingFlagAfterLongTone(benchmark::State& state) {
    // A flag, 30000 ones, a flag: ones everywhere but the flags' outer zeros.
    std::vector<uint8_t> bits(8 + 30000 + 8, 1);
    for (size_t k : {size_t{0}, size_t{7}, bits.size() - 8, bits.size() - 1}) bits[k] = 0;
    const std::vector<uint8_t> line = to_line(bits, false);
    hdlc::HdlcDecoder decoder(0, 0, 0);
    decoder.set_fix_bits(2);
    int64_t correction_sum = 0;
    int32_t bit_counter = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t k = 0; k + 1 < line.size(); ++k) {
            benchmark::DoNotOptimize(decoder.process_bit(line[k], correction_sum, bit_counter));
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(decoder.process_bit(line.back(), correction_sum, bit_counter));
    }
}

BENCHMARK(BM_ClosingFlagDoubleRepairPlain)
    ->ArgName("ones_percent")
    ->Arg(10)
    ->Arg(50)
    ->Arg(80)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClosingFlagDoubleRepairScrambled)
    ->ArgName("ones_percent")
    ->Arg(10)
    ->Arg(50)
    ->Arg(80)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClosingFlagSingleRepairLongest)
    ->ArgName("ones_percent")
    ->Arg(50)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClosingFlagAfterLongTone)->Unit(benchmark::kMicrosecond);

}  // namespace
