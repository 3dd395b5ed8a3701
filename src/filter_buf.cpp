#include "filter_buf.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUILLMAR_X86 1
#endif

namespace filter_buf {

namespace kernel {

float dot_reference(const float* taps, const float* x, std::size_t n) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < n; ++k) sum += taps[k] * x[k];
    return sum;
}

#if QUILLMAR_X86

namespace {

inline float horizontal_sum(__m128 v) {
    __m128 high = _mm_movehl_ps(v, v);
    __m128 pair = _mm_add_ps(v, high);
    __m128 odd = _mm_shuffle_ps(pair, pair, 0x55);
    return _mm_cvtss_f32(_mm_add_ss(pair, odd));
}

// Sums lines [first, first + M) of xs into out with four-lane partial sums.
template <std::size_t M>
inline void dot_group_sse2(const float* taps, const float* const* xs, std::size_t n, float* out) {
    __m128 acc[M];
    for (std::size_t m = 0; m < M; ++m) acc[m] = _mm_setzero_ps();
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m128 t = _mm_loadu_ps(taps + k);
        for (std::size_t m = 0; m < M; ++m)
            acc[m] = _mm_add_ps(acc[m], _mm_mul_ps(t, _mm_loadu_ps(xs[m] + k)));
    }
    for (std::size_t m = 0; m < M; ++m) {
        float sum = horizontal_sum(acc[m]);
        for (std::size_t j = k; j < n; ++j) sum += taps[j] * xs[m][j];
        out[m] = sum;
    }
}

__attribute__((target("avx2,fma"))) inline float horizontal_sum256(__m256 v) {
    return horizontal_sum(_mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1)));
}

// Lane mask selecting the first r (0..7) lanes of a vector of eight.
__attribute__((target("avx2,fma"))) inline __m256i tail_mask(std::size_t r) {
    alignas(32) static const int32_t table[16] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                  0,  0,  0,  0,  0,  0,  0,  0};
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + 8 - r));
}

// Four lines at a time, eight taps per step (four independent sums); the tail
// is read through a lane mask so nothing past n is touched.
__attribute__((target("avx2,fma"))) inline void dot_four_avx2(const float* taps,
                                                              const float* const* xs, std::size_t n,
                                                              float* out) {
    const float* x0 = xs[0];
    const float* x1 = xs[1];
    const float* x2 = xs[2];
    const float* x3 = xs[3];
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(),
           a3 = _mm256_setzero_ps();
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256 t = _mm256_loadu_ps(taps + k);
        a0 = _mm256_fmadd_ps(t, _mm256_loadu_ps(x0 + k), a0);
        a1 = _mm256_fmadd_ps(t, _mm256_loadu_ps(x1 + k), a1);
        a2 = _mm256_fmadd_ps(t, _mm256_loadu_ps(x2 + k), a2);
        a3 = _mm256_fmadd_ps(t, _mm256_loadu_ps(x3 + k), a3);
    }
    if (k < n) {
        const __m256i mask = tail_mask(n - k);
        const __m256 t = _mm256_maskload_ps(taps + k, mask);
        a0 = _mm256_fmadd_ps(t, _mm256_maskload_ps(x0 + k, mask), a0);
        a1 = _mm256_fmadd_ps(t, _mm256_maskload_ps(x1 + k, mask), a1);
        a2 = _mm256_fmadd_ps(t, _mm256_maskload_ps(x2 + k, mask), a2);
        a3 = _mm256_fmadd_ps(t, _mm256_maskload_ps(x3 + k, mask), a3);
    }
    out[0] = horizontal_sum256(a0);
    out[1] = horizontal_sum256(a1);
    out[2] = horizontal_sum256(a2);
    out[3] = horizontal_sum256(a3);
}

// Two lines at a time, sixteen taps per step (four independent sums).
__attribute__((target("avx2,fma"))) inline void dot_two_avx2(const float* taps,
                                                             const float* const* xs, std::size_t n,
                                                             float* out) {
    const float* x0 = xs[0];
    const float* x1 = xs[1];
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), b0 = _mm256_setzero_ps(),
           b1 = _mm256_setzero_ps();
    std::size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const __m256 t = _mm256_loadu_ps(taps + k);
        const __m256 u = _mm256_loadu_ps(taps + k + 8);
        a0 = _mm256_fmadd_ps(t, _mm256_loadu_ps(x0 + k), a0);
        a1 = _mm256_fmadd_ps(t, _mm256_loadu_ps(x1 + k), a1);
        b0 = _mm256_fmadd_ps(u, _mm256_loadu_ps(x0 + k + 8), b0);
        b1 = _mm256_fmadd_ps(u, _mm256_loadu_ps(x1 + k + 8), b1);
    }
    for (; k + 8 <= n; k += 8) {
        const __m256 t = _mm256_loadu_ps(taps + k);
        a0 = _mm256_fmadd_ps(t, _mm256_loadu_ps(x0 + k), a0);
        a1 = _mm256_fmadd_ps(t, _mm256_loadu_ps(x1 + k), a1);
    }
    if (k < n) {
        const __m256i mask = tail_mask(n - k);
        const __m256 t = _mm256_maskload_ps(taps + k, mask);
        b0 = _mm256_fmadd_ps(t, _mm256_maskload_ps(x0 + k, mask), b0);
        b1 = _mm256_fmadd_ps(t, _mm256_maskload_ps(x1 + k, mask), b1);
    }
    out[0] = horizontal_sum256(_mm256_add_ps(a0, b0));
    out[1] = horizontal_sum256(_mm256_add_ps(a1, b1));
}

// Sum of the sixteen lanes. (Written with masked forms: the plain extract and
// shuffle intrinsics of this compiler warn about an undefined source operand.)
__attribute__((target("avx512f,avx2,fma"))) inline float reduce512(__m512 v) {
    const __mmask16 all = static_cast<__mmask16>(0xFFFF);
    const __m512 halves = _mm512_add_ps(v, _mm512_mask_shuffle_f32x4(v, all, v, v, 0x4E));
    const __m256d low = _mm512_mask_extractf64x4_pd(_mm256_setzero_pd(), static_cast<__mmask8>(0xF),
                                                    _mm512_castps_pd(halves), 0);
    return horizontal_sum256(_mm256_castpd_ps(low));
}

// The four lane sums of a, b, c and d into out[0..3], sharing the shuffles.
__attribute__((target("avx512f,avx2,fma"))) inline void reduce512_four(__m512 a, __m512 b, __m512 c,
                                                                       __m512 d, float* out) {
    const __mmask16 all = static_cast<__mmask16>(0xFFFF);
    // Per 128-bit lane: (a0+a2, b0+b2, a1+a3, b1+b3), the same for c and d.
    const __m512 ab =
        _mm512_add_ps(_mm512_mask_unpacklo_ps(a, all, a, b), _mm512_mask_unpackhi_ps(a, all, a, b));
    const __m512 cd =
        _mm512_add_ps(_mm512_mask_unpacklo_ps(c, all, c, d), _mm512_mask_unpackhi_ps(c, all, c, d));
    // Per 128-bit lane: the four-element sums of a, b, c, d.
    const __m512d abd = _mm512_castps_pd(ab);
    const __m512d cdd = _mm512_castps_pd(cd);
    const __mmask8 all_pd = static_cast<__mmask8>(0xFF);
    const __m512 abcd =
        _mm512_add_ps(_mm512_castpd_ps(_mm512_mask_unpacklo_pd(abd, all_pd, abd, cdd)),
                      _mm512_castpd_ps(_mm512_mask_unpackhi_pd(abd, all_pd, abd, cdd)));
    const __m512 half = _mm512_add_ps(abcd, _mm512_mask_shuffle_f32x4(abcd, all, abcd, abcd, 0x4E));
    const __m512 whole =
        _mm512_add_ps(half, _mm512_mask_shuffle_f32x4(half, all, half, half, 0xB1));
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, whole);
    out[0] = lanes[0];
    out[1] = lanes[1];
    out[2] = lanes[2];
    out[3] = lanes[3];
}

__attribute__((target("avx512f,avx2,fma"))) inline __mmask16 tail_mask512(std::size_t r) {
    return static_cast<__mmask16>((1u << r) - 1u);
}

// Four lines at a time, sixteen taps per step.
__attribute__((target("avx512f,avx2,fma"))) inline void dot_four_avx512(const float* taps,
                                                                        const float* const* xs,
                                                                        std::size_t n, float* out) {
    const float* x0 = xs[0];
    const float* x1 = xs[1];
    const float* x2 = xs[2];
    const float* x3 = xs[3];
    __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps(), a2 = _mm512_setzero_ps(),
           a3 = _mm512_setzero_ps();
    std::size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const __m512 t = _mm512_loadu_ps(taps + k);
        a0 = _mm512_fmadd_ps(t, _mm512_loadu_ps(x0 + k), a0);
        a1 = _mm512_fmadd_ps(t, _mm512_loadu_ps(x1 + k), a1);
        a2 = _mm512_fmadd_ps(t, _mm512_loadu_ps(x2 + k), a2);
        a3 = _mm512_fmadd_ps(t, _mm512_loadu_ps(x3 + k), a3);
    }
    if (k < n) {
        const __mmask16 mask = tail_mask512(n - k);
        const __m512 t = _mm512_maskz_loadu_ps(mask, taps + k);
        a0 = _mm512_fmadd_ps(t, _mm512_maskz_loadu_ps(mask, x0 + k), a0);
        a1 = _mm512_fmadd_ps(t, _mm512_maskz_loadu_ps(mask, x1 + k), a1);
        a2 = _mm512_fmadd_ps(t, _mm512_maskz_loadu_ps(mask, x2 + k), a2);
        a3 = _mm512_fmadd_ps(t, _mm512_maskz_loadu_ps(mask, x3 + k), a3);
    }
    reduce512_four(a0, a1, a2, a3, out);
}

// Two lines at a time, thirty-two taps per step.
__attribute__((target("avx512f,avx2,fma"))) inline void dot_two_avx512(const float* taps,
                                                                       const float* const* xs,
                                                                       std::size_t n, float* out) {
    const float* x0 = xs[0];
    const float* x1 = xs[1];
    __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps(), b0 = _mm512_setzero_ps(),
           b1 = _mm512_setzero_ps();
    std::size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        const __m512 t = _mm512_loadu_ps(taps + k);
        const __m512 u = _mm512_loadu_ps(taps + k + 16);
        a0 = _mm512_fmadd_ps(t, _mm512_loadu_ps(x0 + k), a0);
        a1 = _mm512_fmadd_ps(t, _mm512_loadu_ps(x1 + k), a1);
        b0 = _mm512_fmadd_ps(u, _mm512_loadu_ps(x0 + k + 16), b0);
        b1 = _mm512_fmadd_ps(u, _mm512_loadu_ps(x1 + k + 16), b1);
    }
    for (; k + 16 <= n; k += 16) {
        const __m512 t = _mm512_loadu_ps(taps + k);
        a0 = _mm512_fmadd_ps(t, _mm512_loadu_ps(x0 + k), a0);
        a1 = _mm512_fmadd_ps(t, _mm512_loadu_ps(x1 + k), a1);
    }
    if (k < n) {
        const __mmask16 mask = tail_mask512(n - k);
        const __m512 t = _mm512_maskz_loadu_ps(mask, taps + k);
        b0 = _mm512_fmadd_ps(t, _mm512_maskz_loadu_ps(mask, x0 + k), b0);
        b1 = _mm512_fmadd_ps(t, _mm512_maskz_loadu_ps(mask, x1 + k), b1);
    }
    out[0] = reduce512(_mm512_add_ps(a0, b0));
    out[1] = reduce512(_mm512_add_ps(a1, b1));
}

}  // namespace

float dot_sse2(const float* taps, const float* x, std::size_t n) {
    // Four independent four-lane sums keep the adder busy.
    __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps(), a2 = _mm_setzero_ps(),
           a3 = _mm_setzero_ps();
    std::size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_loadu_ps(taps + k), _mm_loadu_ps(x + k)));
        a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_loadu_ps(taps + k + 4), _mm_loadu_ps(x + k + 4)));
        a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_loadu_ps(taps + k + 8), _mm_loadu_ps(x + k + 8)));
        a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_loadu_ps(taps + k + 12), _mm_loadu_ps(x + k + 12)));
    }
    for (; k + 4 <= n; k += 4)
        a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_loadu_ps(taps + k), _mm_loadu_ps(x + k)));
    float sum = horizontal_sum(_mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3)));
    for (; k < n; ++k) sum += taps[k] * x[k];
    return sum;
}

__attribute__((target("avx2,fma"))) float dot_avx2_fma(const float* taps, const float* x,
                                                       std::size_t n) {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(),
           a3 = _mm256_setzero_ps();
    std::size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        a0 = _mm256_fmadd_ps(_mm256_loadu_ps(taps + k), _mm256_loadu_ps(x + k), a0);
        a1 = _mm256_fmadd_ps(_mm256_loadu_ps(taps + k + 8), _mm256_loadu_ps(x + k + 8), a1);
        a2 = _mm256_fmadd_ps(_mm256_loadu_ps(taps + k + 16), _mm256_loadu_ps(x + k + 16), a2);
        a3 = _mm256_fmadd_ps(_mm256_loadu_ps(taps + k + 24), _mm256_loadu_ps(x + k + 24), a3);
    }
    for (; k + 8 <= n; k += 8)
        a0 = _mm256_fmadd_ps(_mm256_loadu_ps(taps + k), _mm256_loadu_ps(x + k), a0);
    if (k < n) {
        const __m256i mask = tail_mask(n - k);
        a1 = _mm256_fmadd_ps(_mm256_maskload_ps(taps + k, mask), _mm256_maskload_ps(x + k, mask),
                             a1);
    }
    return horizontal_sum256(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
}

__attribute__((target("avx512f,avx2,fma"))) float dot_avx512(const float* taps, const float* x,
                                                             std::size_t n) {
    __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps(), a2 = _mm512_setzero_ps(),
           a3 = _mm512_setzero_ps();
    std::size_t k = 0;
    for (; k + 64 <= n; k += 64) {
        a0 = _mm512_fmadd_ps(_mm512_loadu_ps(taps + k), _mm512_loadu_ps(x + k), a0);
        a1 = _mm512_fmadd_ps(_mm512_loadu_ps(taps + k + 16), _mm512_loadu_ps(x + k + 16), a1);
        a2 = _mm512_fmadd_ps(_mm512_loadu_ps(taps + k + 32), _mm512_loadu_ps(x + k + 32), a2);
        a3 = _mm512_fmadd_ps(_mm512_loadu_ps(taps + k + 48), _mm512_loadu_ps(x + k + 48), a3);
    }
    if (k + 16 <= n) {
        a0 = _mm512_fmadd_ps(_mm512_loadu_ps(taps + k), _mm512_loadu_ps(x + k), a0);
        k += 16;
    }
    if (k + 16 <= n) {
        a1 = _mm512_fmadd_ps(_mm512_loadu_ps(taps + k), _mm512_loadu_ps(x + k), a1);
        k += 16;
    }
    if (k + 16 <= n) {
        a2 = _mm512_fmadd_ps(_mm512_loadu_ps(taps + k), _mm512_loadu_ps(x + k), a2);
        k += 16;
    }
    if (k < n) {
        const __mmask16 mask = tail_mask512(n - k);
        a3 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask, taps + k),
                             _mm512_maskz_loadu_ps(mask, x + k), a3);
    }
    return reduce512(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)));
}

__attribute__((target("avx512f,avx2,fma"))) void dot_lines_avx512(const float* taps,
                                                                  const float* const* xs,
                                                                  std::size_t lines, std::size_t n,
                                                                  float* out) {
    std::size_t i = 0;
    for (; i + 4 <= lines; i += 4) dot_four_avx512(taps, xs + i, n, out + i);
    for (; i + 2 <= lines; i += 2) dot_two_avx512(taps, xs + i, n, out + i);
    for (; i < lines; ++i) out[i] = dot_avx512(taps, xs[i], n);
}

bool avx512_supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") &&
           __builtin_cpu_supports("fma");
}

void dot_lines_sse2(const float* taps, const float* const* xs, std::size_t lines, std::size_t n,
                    float* out) {
    std::size_t i = 0;
    for (; i + 4 <= lines; i += 4) dot_group_sse2<4>(taps, xs + i, n, out + i);
    for (; i + 2 <= lines; i += 2) dot_group_sse2<2>(taps, xs + i, n, out + i);
    for (; i < lines; ++i) out[i] = dot_sse2(taps, xs[i], n);
}

__attribute__((target("avx2,fma"))) void dot_lines_avx2_fma(const float* taps,
                                                            const float* const* xs,
                                                            std::size_t lines, std::size_t n,
                                                            float* out) {
    std::size_t i = 0;
    for (; i + 4 <= lines; i += 4) dot_four_avx2(taps, xs + i, n, out + i);
    for (; i + 2 <= lines; i += 2) dot_two_avx2(taps, xs + i, n, out + i);
    for (; i < lines; ++i) out[i] = dot_avx2_fma(taps, xs[i], n);
}

bool avx2_fma_supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

#else  // not x86: the portable loops stand in for the vector kernels.

float dot_sse2(const float* taps, const float* x, std::size_t n) {
    return dot_reference(taps, x, n);
}
float dot_avx2_fma(const float* taps, const float* x, std::size_t n) {
    return dot_reference(taps, x, n);
}
void dot_lines_sse2(const float* taps, const float* const* xs, std::size_t lines, std::size_t n,
                    float* out) {
    for (std::size_t i = 0; i < lines; ++i) out[i] = dot_reference(taps, xs[i], n);
}
void dot_lines_avx2_fma(const float* taps, const float* const* xs, std::size_t lines, std::size_t n,
                        float* out) {
    dot_lines_sse2(taps, xs, lines, n, out);
}
bool avx2_fma_supported() {
    return false;
}
float dot_avx512(const float* taps, const float* x, std::size_t n) {
    return dot_reference(taps, x, n);
}
void dot_lines_avx512(const float* taps, const float* const* xs, std::size_t lines, std::size_t n,
                      float* out) {
    dot_lines_sse2(taps, xs, lines, n, out);
}
bool avx512_supported() {
    return false;
}

#endif

}  // namespace kernel

namespace {

struct Kernels {
    float (*dot)(const float*, const float*, std::size_t);
    void (*dot_lines)(const float*, const float* const*, std::size_t, std::size_t, float*);
};

// Chosen once, on first use, from what the processor supports.
[[gnu::always_inline]] inline const Kernels& kernels() {
    static const Kernels chosen =
        kernel::avx512_supported()     ? Kernels{kernel::dot_avx512, kernel::dot_lines_avx512}
        : kernel::avx2_fma_supported() ? Kernels{kernel::dot_avx2_fma, kernel::dot_lines_avx2_fma}
                                       : Kernels{kernel::dot_sse2, kernel::dot_lines_sse2};
    return chosen;
}

}  // namespace

// The newest sample was stored just now; reading it inside a vector load would
// wait for the store to complete, so its term is added on its own and the
// vector pass starts one sample back.
float FilterBuf::convolve(std::span<const float> taps) const {
    const std::size_t n = std::min(taps.size(), MAX_FILTER_SIZE);
    if (n == 0) return 0.0f;
    const float* x = newest();
    return taps[0] * x[0] + kernels().dot(taps.data() + 1, x + 1, n - 1);
}

float FilterBuf::convolve_reference(std::span<const float> taps) const {
    return kernel::dot_reference(taps.data(), newest(), std::min(taps.size(), MAX_FILTER_SIZE));
}

// The newest stored sample may have been stored just now; its term is added on
// its own, as in convolve.
float FilterBuf::convolve_ahead(std::span<const float> taps) const {
    const std::size_t n = std::min(taps.size(), MAX_FILTER_SIZE);
    if (n < 2) return 0.0f;
    const float* x = newest();
    return taps[1] * x[0] + kernels().dot(taps.data() + 2, x + 1, n - 2);
}

namespace {

constexpr std::size_t kMaxLines = 16;

// convolve_lines_ahead for a batch of `Batch` lines (at most kMaxLines), with taps t
// of length n >= 2. As in convolve_ahead, the newest stored sample's term is
// added apart; it is read here, before the kernel call, so that it need not be
// fetched again afterwards. Batch is usually a constant, so the loops unroll.
template <class Batch>
inline void lines_ahead_batch(const float* t, std::size_t n, const FilterBuf* const* lines,
                              Batch batch, float* o, const Kernels& chosen) {
    const float* xs[kMaxLines];
    float newest[kMaxLines];
    for (std::size_t i = 0; i < batch; ++i) {
        const float* x = lines[i]->newest();
        newest[i] = x[0];
        xs[i] = x + 1;
    }
    chosen.dot_lines(t + 2, xs, batch, n - 2, o);
    const float t1 = t[1];
    for (std::size_t i = 0; i < batch; ++i) o[i] = t1 * newest[i] + o[i];
}

}  // namespace

void convolve_lines_ahead(std::span<const float> taps, std::span<const FilterBuf* const> lines,
                          std::span<float> out) {
    const std::size_t n = std::min(taps.size(), MAX_FILTER_SIZE);
    const std::size_t count = std::min(lines.size(), out.size());
    float* const o = out.data();
    if (n < 2) {
        std::fill(o, o + count, 0.0f);
        return;
    }
    const float* const t = taps.data();
    const Kernels& chosen = kernels();
    const FilterBuf* const* l = lines.data();
    // The demodulators' line counts (four and six) get unrolled copies.
    if (count == 4)
        return lines_ahead_batch(t, n, l, std::integral_constant<std::size_t, 4>{}, o, chosen);
    if (count == 6)
        return lines_ahead_batch(t, n, l, std::integral_constant<std::size_t, 6>{}, o, chosen);
    for (std::size_t done = 0; done < count; done += kMaxLines)
        lines_ahead_batch(t, n, l + done, std::min(count - done, kMaxLines), o + done, chosen);
}

}  // namespace filter_buf
