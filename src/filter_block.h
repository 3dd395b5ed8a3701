#pragma once

// Block-ahead convolution: the long part of the next BLOCK outputs of several
// delay lines that share one tap set, computed in one pass every BLOCK samples
// instead of one pass per sample.
//
// A pass at sample n leaves, for each line, BLOCK parts: part m (1..BLOCK) is
//   sum over j >= 1 of taps[j + m] * (the sample j steps old at n).
// Each sample's own terms are then added as it arrives (add_step): the sample
// pushed s steps after the pass (s = 0 for the one at n) adds taps[m - s] times
// itself to every part m >= s, and at step s part s is complete: it is the
// output at n + s, its terms added oldest first. Each history vector loaded in a
// pass serves all BLOCK parts, and the tap copies are laid out so that every tap
// load is aligned: a pass costs about half the loads of BLOCK separate
// convolutions. Results differ from the strict tap-order sums only in the last
// bits.

#include <array>
#include <cstddef>
#include <span>

#include "filter_buf.h"
#include "simd_sums.h"

namespace filter_block {

// Outputs covered by one pass.
inline constexpr std::size_t BLOCK = 4;

// The most lines one pass handles.
inline constexpr std::size_t MAX_LINES = 8;

// A tap set of N taps (N <= MAX_FILTER_SIZE - 1) prepared for block passes:
// copy m (1..BLOCK) holds taps[i + 1 + m] at position i, zero where that lies
// beyond the set, so that every part is a plain dot product of length
// span_length() = N - 2 (0 when N < 3) over the history one sample back. Step
// taps s (0..BLOCK) hold taps[m - s] at position m - 1 for m >= s, else zero.
class BlockTaps {
public:
    BlockTaps() = default;
    explicit BlockTaps(std::span<const float> taps) { assign(taps); }

    // Takes a new tap set; taps beyond MAX_FILTER_SIZE - 1 are ignored.
    void assign(std::span<const float> taps);

    // The tap set, zero beyond its end for at least BLOCK + 1 more entries.
    const float* taps() const { return taps_.data(); }
    std::size_t size() const { return size_; }
    std::size_t span_length() const { return size_ < 3 ? 0 : size_ - 2; }
    // Copy m (1 <= m <= BLOCK), 64-byte aligned.
    const float* copy(std::size_t m) const { return copies_.data() + (m - 1) * kStride; }
    // Step taps s (0 <= s <= BLOCK), BLOCK entries, 16-byte aligned.
    const float* step_taps(std::size_t s) const { return step_taps_[s].data(); }

private:
    static constexpr std::size_t kStride = filter_buf::MAX_FILTER_SIZE;
    alignas(64) std::array<float, BLOCK * kStride> copies_{};
    std::array<float, filter_buf::MAX_FILTER_SIZE + BLOCK + 1> taps_{};
    struct alignas(16) StepTaps : std::array<float, BLOCK> {};
    std::array<StepTaps, BLOCK + 1> step_taps_{};
    std::size_t size_ = 0;
};

// One pass: parts[i * BLOCK + m - 1] = part m of line i, before the newest
// sample's own terms (add_step with s = 0 follows). newest[i] is the history of
// line i, newest sample first, as FilterBuf::window gives it (at least
// MAX_FILTER_SIZE entries). At most MAX_LINES lines; `parts` holds BLOCK
// entries per line.
void pass(const BlockTaps& taps, std::span<const float* const> newest, std::span<float> parts);

// Part s (1..BLOCK) of the line at `parts` completed by sample x, pushed s
// steps after the last pass: the value add_step(taps, s, x, parts) leaves
// there, computed on its own so that the caller need not wait for the store.
inline float step_output(const BlockTaps& taps, std::size_t s, float x, const float* parts) {
    return parts[s - 1] + taps.taps()[0] * x;
}

// Adds the terms of sample x, pushed s steps after the last pass (0..BLOCK), to
// the BLOCK parts of its line at `parts` (16-byte aligned).
inline void add_step(const BlockTaps& taps, std::size_t s, float x, float* parts) {
#if QUILLMAR_X86
    const __m128 sum =
        _mm_add_ps(_mm_load_ps(parts), _mm_mul_ps(_mm_load_ps(taps.step_taps(s)), _mm_set1_ps(x)));
    _mm_store_ps(parts, sum);
#else
    const float* t = taps.step_taps(s);
    for (std::size_t m = 0; m < BLOCK; ++m) parts[m] += t[m] * x;
#endif
}

// The kernels, exposed so that tests can check each against the reference.
// Each computes out[i * BLOCK + m - 1] = sum over j < n of copies[m - 1][j] *
// xs[i][j] for m = 1..BLOCK, i < lines (lines <= MAX_LINES). pass runs the
// fastest one the processor supports, chosen once on first use.
namespace kernel {

using Kernel = void (*)(const float* const* copies, const float* const* xs, std::size_t lines,
                        std::size_t n, float* out);

void reference(const float* const* copies, const float* const* xs, std::size_t lines, std::size_t n,
               float* out);
void sse2(const float* const* copies, const float* const* xs, std::size_t lines, std::size_t n,
          float* out);
// Require AVX2 and FMA, and AVX-512F (see avx2_fma_supported, avx512_supported).
void avx2_fma(const float* const* copies, const float* const* xs, std::size_t lines, std::size_t n,
              float* out);
void avx512(const float* const* copies, const float* const* xs, std::size_t lines, std::size_t n,
            float* out);

// Whether this processor runs avx2_fma, and avx512 (always false off x86).
bool avx2_fma_supported();
bool avx512_supported();

}  // namespace kernel

}  // namespace filter_block
