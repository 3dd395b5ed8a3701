#include "filter_block.h"

#include <algorithm>
#include <cstdint>

#include "simd_sums.h"

namespace filter_block {

void BlockTaps::assign(std::span<const float> taps) {
    size_ = std::min(taps.size(), filter_buf::MAX_FILTER_SIZE - 1);
    taps_.fill(0.0f);
    std::copy_n(taps.begin(), size_, taps_.begin());
    copies_.fill(0.0f);
    const std::size_t n = span_length();
    for (std::size_t m = 1; m <= BLOCK; ++m) {
        float* c = copies_.data() + (m - 1) * kStride;
        for (std::size_t i = 0; i < n && i + 1 + m < size_; ++i) c[i] = taps_[i + 1 + m];
    }
    for (std::size_t s = 0; s <= BLOCK; ++s) {
        for (std::size_t m = 1; m <= BLOCK; ++m)
            step_taps_[s][m - 1] = m >= s ? taps_[m - s] : 0.0f;
    }
}

namespace kernel {

void reference(const float* const* copies, const float* const* xs, std::size_t lines, std::size_t n,
               float* out) {
    for (std::size_t m = 0; m < BLOCK; ++m) {
        for (std::size_t i = 0; i < lines; ++i) {
            out[i * BLOCK + m] = filter_buf::dot(copies[m], xs[i], n);
        }
    }
}

#if QUILLMAR_X86

namespace {

// Fully unrolled, so that the accumulator arrays live in registers.
#define QUILLMAR_UNROLL _Pragma("GCC unroll 32")

// Each group kernel handles L lines, all BLOCK parts, with one history load
// per line and step serving every part; acc[m][i] is part m + 1 of line i.
// Results go to out[i * BLOCK + m].

template <std::size_t L>
inline void group_sse2(const float* const* copies, const float* const* xs, std::size_t n,
                       float* out) {
    __m128 acc[BLOCK][L];
    QUILLMAR_UNROLL
    for (auto& row : acc) {
        QUILLMAR_UNROLL
        for (auto& a : row) a = _mm_setzero_ps();
    }
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        __m128 x[L];
        QUILLMAR_UNROLL
        for (std::size_t i = 0; i < L; ++i) x[i] = _mm_loadu_ps(xs[i] + k);
        QUILLMAR_UNROLL
        for (std::size_t m = 0; m < BLOCK; ++m) {
            const __m128 t = _mm_load_ps(copies[m] + k);
            QUILLMAR_UNROLL
            for (std::size_t i = 0; i < L; ++i)
                acc[m][i] = _mm_add_ps(acc[m][i], _mm_mul_ps(t, x[i]));
        }
    }
    QUILLMAR_UNROLL
    for (std::size_t m = 0; m < BLOCK; ++m) {
        QUILLMAR_UNROLL
        for (std::size_t i = 0; i < L; ++i) {
            float sum = simd_sums::horizontal_sum(acc[m][i]);
            for (std::size_t j = k; j < n; ++j) sum += copies[m][j] * xs[i][j];
            out[i * BLOCK + m] = sum;
        }
    }
}

#define QUILLMAR_AVX2 __attribute__((target("avx2,fma")))
#define QUILLMAR_AVX512 __attribute__((target("avx512f,avx2,fma")))

template <std::size_t L>
QUILLMAR_AVX2 inline void group_avx2(const float* const* copies, const float* const* xs,
                                     std::size_t n, float* out) {
    __m256 acc[BLOCK][L];
    QUILLMAR_UNROLL
    for (auto& row : acc) {
        QUILLMAR_UNROLL
        for (auto& a : row) a = _mm256_setzero_ps();
    }
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        __m256 x[L];
        QUILLMAR_UNROLL
        for (std::size_t i = 0; i < L; ++i) x[i] = _mm256_loadu_ps(xs[i] + k);
        QUILLMAR_UNROLL
        for (std::size_t m = 0; m < BLOCK; ++m) {
            const __m256 t = _mm256_load_ps(copies[m] + k);
            QUILLMAR_UNROLL
            for (std::size_t i = 0; i < L; ++i) acc[m][i] = _mm256_fmadd_ps(t, x[i], acc[m][i]);
        }
    }
    if (k < n) {
        const __m256i mask = simd_sums::tail_mask(n - k);
        __m256 x[L];
        QUILLMAR_UNROLL
        for (std::size_t i = 0; i < L; ++i) x[i] = _mm256_maskload_ps(xs[i] + k, mask);
        QUILLMAR_UNROLL
        for (std::size_t m = 0; m < BLOCK; ++m) {
            const __m256 t = _mm256_maskload_ps(copies[m] + k, mask);
            QUILLMAR_UNROLL
            for (std::size_t i = 0; i < L; ++i) acc[m][i] = _mm256_fmadd_ps(t, x[i], acc[m][i]);
        }
    }
    QUILLMAR_UNROLL
    for (std::size_t m = 0; m < BLOCK; ++m) QUILLMAR_UNROLL
    for (std::size_t i = 0; i < L; ++i)
        out[i * BLOCK + m] = simd_sums::horizontal_sum256(acc[m][i]);
}

// The four lane sums of a, b, c and d, as lanes 0 to 3 of the result. (Written
// with masked forms: the plain shuffle intrinsics of this compiler warn about an
// undefined source operand.)
QUILLMAR_AVX512 inline __m512 sum4_512(__m512 a, __m512 b, __m512 c, __m512 d) {
    const __mmask16 all = static_cast<__mmask16>(0xFFFF);
    const __m512 ab =
        _mm512_add_ps(_mm512_mask_unpacklo_ps(a, all, a, b), _mm512_mask_unpackhi_ps(a, all, a, b));
    const __m512 cd =
        _mm512_add_ps(_mm512_mask_unpacklo_ps(c, all, c, d), _mm512_mask_unpackhi_ps(c, all, c, d));
    const __m512d abd = _mm512_castps_pd(ab);
    const __m512d cdd = _mm512_castps_pd(cd);
    const __mmask8 all_pd = static_cast<__mmask8>(0xFF);
    const __m512 abcd =
        _mm512_add_ps(_mm512_castpd_ps(_mm512_mask_unpacklo_pd(abd, all_pd, abd, cdd)),
                      _mm512_castpd_ps(_mm512_mask_unpackhi_pd(abd, all_pd, abd, cdd)));
    const __m512 half = _mm512_add_ps(abcd, _mm512_mask_shuffle_f32x4(abcd, all, abcd, abcd, 0x4E));
    return _mm512_add_ps(half, _mm512_mask_shuffle_f32x4(half, all, half, half, 0xB1));
}

// Lanes 0 to 3.
QUILLMAR_AVX512 inline __m128 low128(__m512 v) {
    return _mm512_mask_extractf32x4_ps(_mm_setzero_ps(), static_cast<__mmask8>(0xF), v, 0);
}

// C independent chains per sum (steps alternate between them) shorten the
// dependency chains when there are few lines.
template <std::size_t L, std::size_t C>
QUILLMAR_AVX512 inline void group_avx512(const float* const* copies, const float* const* xs,
                                         std::size_t n, float* out) {
    __m512 acc[C][BLOCK][L];
    QUILLMAR_UNROLL
    for (auto& chain : acc) {
        QUILLMAR_UNROLL
        for (auto& row : chain) {
            QUILLMAR_UNROLL
            for (auto& a : row) a = _mm512_setzero_ps();
        }
    }
    std::size_t k = 0;
    for (; k + 16 * C <= n; k += 16 * C) {
        QUILLMAR_UNROLL
        for (std::size_t c = 0; c < C; ++c) {
            const std::size_t kc = k + 16 * c;
            __m512 x[L];
            QUILLMAR_UNROLL
            for (std::size_t i = 0; i < L; ++i) x[i] = _mm512_loadu_ps(xs[i] + kc);
            QUILLMAR_UNROLL
            for (std::size_t m = 0; m < BLOCK; ++m) {
                const __m512 t = _mm512_load_ps(copies[m] + kc);
                QUILLMAR_UNROLL
                for (std::size_t i = 0; i < L; ++i)
                    acc[c][m][i] = _mm512_fmadd_ps(t, x[i], acc[c][m][i]);
            }
        }
    }
    for (; k < n; k += 16) {
        const std::size_t r = std::min<std::size_t>(n - k, 16);
        const __mmask16 mask = static_cast<__mmask16>((1u << r) - 1u);
        __m512 x[L];
        QUILLMAR_UNROLL
        for (std::size_t i = 0; i < L; ++i) x[i] = _mm512_maskz_loadu_ps(mask, xs[i] + k);
        QUILLMAR_UNROLL
        for (std::size_t m = 0; m < BLOCK; ++m) {
            const __m512 t = _mm512_maskz_load_ps(mask, copies[m] + k);
            QUILLMAR_UNROLL
            for (std::size_t i = 0; i < L; ++i)
                acc[0][m][i] = _mm512_fmadd_ps(t, x[i], acc[0][m][i]);
        }
    }
    // Four sums (one line, every part) per reduction, stored as they come.
    QUILLMAR_UNROLL
    for (std::size_t i = 0; i < L; ++i) {
        __m512 sums[BLOCK];
        QUILLMAR_UNROLL
        for (std::size_t m = 0; m < BLOCK; ++m) {
            sums[m] = acc[0][m][i];
            QUILLMAR_UNROLL
            for (std::size_t c = 1; c < C; ++c) sums[m] = _mm512_add_ps(sums[m], acc[c][m][i]);
        }
        static_assert(BLOCK == 4);
        _mm_storeu_ps(out + i * BLOCK, low128(sum4_512(sums[0], sums[1], sums[2], sums[3])));
    }
}

// Runs groups of G lines, then the rest one line at a time.
template <std::size_t G, class Group, class One>
inline void by_groups(const float* const* xs, std::size_t lines, float* out, Group group, One one) {
    std::size_t i = 0;
    for (; i + G <= lines; i += G) group(xs + i, out + i * BLOCK);
    for (; i < lines; ++i) one(xs + i, out + i * BLOCK);
}

}  // namespace

void sse2(const float* const* copies, const float* const* xs, std::size_t lines, std::size_t n,
          float* out) {
    by_groups<2>(
        xs, lines, out, [&](const float* const* x, float* o) { group_sse2<2>(copies, x, n, o); },
        [&](const float* const* x, float* o) { group_sse2<1>(copies, x, n, o); });
}

QUILLMAR_AVX2 void avx2_fma(const float* const* copies, const float* const* xs, std::size_t lines,
                            std::size_t n, float* out) {
    by_groups<2>(
        xs, lines, out, [&](const float* const* x, float* o) { group_avx2<2>(copies, x, n, o); },
        [&](const float* const* x, float* o) { group_avx2<1>(copies, x, n, o); });
}

QUILLMAR_AVX512 void avx512(const float* const* copies, const float* const* xs, std::size_t lines,
                            std::size_t n, float* out) {
    // The demodulators' line counts get a kernel of their own.
    switch (lines) {
        case 1:
            return group_avx512<1, 2>(copies, xs, n, out);
        case 4:
            return group_avx512<4, 1>(copies, xs, n, out);
        case 6:
            return group_avx512<6, 1>(copies, xs, n, out);
        default:
            break;
    }
    by_groups<4>(
        xs, lines, out,
        [&](const float* const* x, float* o) { group_avx512<4, 1>(copies, x, n, o); },
        [&](const float* const* x, float* o) { group_avx512<1, 2>(copies, x, n, o); });
}

// Out of line (as are the checks off x86), so that pass stays as small as a
// plain indirect call.
[[gnu::noinline]] bool avx512_supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") &&
           __builtin_cpu_supports("fma");
}

[[gnu::noinline]] bool avx2_fma_supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

#else  // not x86: the portable loop stands in for the vector kernels.

void sse2(const float* const* copies, const float* const* xs, std::size_t lines, std::size_t n,
          float* out) {
    reference(copies, xs, lines, n, out);
}
void avx2_fma(const float* const* copies, const float* const* xs, std::size_t lines, std::size_t n,
              float* out) {
    reference(copies, xs, lines, n, out);
}
void avx512(const float* const* copies, const float* const* xs, std::size_t lines, std::size_t n,
            float* out) {
    reference(copies, xs, lines, n, out);
}
bool avx2_fma_supported() {
    return false;
}
bool avx512_supported() {
    return false;
}

#endif

}  // namespace kernel

namespace {

// Chosen once, on first use, from what the processor supports.
[[gnu::always_inline]] inline kernel::Kernel chosen_kernel() {
    static const kernel::Kernel chosen = kernel::avx512_supported()     ? kernel::avx512
                                         : kernel::avx2_fma_supported() ? kernel::avx2_fma
                                                                        : kernel::sse2;
    return chosen;
}

}  // namespace

void pass(const BlockTaps& taps, std::span<const float* const> newest, std::span<float> parts) {
    const std::size_t count = std::min({newest.size(), MAX_LINES, parts.size() / BLOCK});
    const float* copies[BLOCK];
    for (std::size_t m = 0; m < BLOCK; ++m) copies[m] = taps.copy(m + 1);
    const float* xs[MAX_LINES];
    for (std::size_t i = 0; i < count; ++i) xs[i] = newest[i] + 1;
    chosen_kernel()(copies, xs, count, taps.span_length(), parts.data());
}

}  // namespace filter_block
