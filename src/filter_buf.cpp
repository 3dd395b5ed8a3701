#include "filter_buf.h"

#include <algorithm>
#include <cstdint>

#include "simd_sums.h"

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

using simd_sums::horizontal_sum;
using simd_sums::horizontal_sum256;
using simd_sums::tail_mask;

// Sum of the sixteen lanes. (Written with masked forms: the plain extract and
// shuffle intrinsics of this compiler warn about an undefined source operand.)
__attribute__((target("avx512f,avx2,fma"))) inline float reduce512(__m512 v) {
    const __mmask16 all = static_cast<__mmask16>(0xFFFF);
    const __m512 halves = _mm512_add_ps(v, _mm512_mask_shuffle_f32x4(v, all, v, v, 0x4E));
    const __m256d low = _mm512_mask_extractf64x4_pd(_mm256_setzero_pd(), static_cast<__mmask8>(0xF),
                                                    _mm512_castps_pd(halves), 0);
    return horizontal_sum256(_mm256_castpd_ps(low));
}

__attribute__((target("avx512f,avx2,fma"))) inline __mmask16 tail_mask512(std::size_t r) {
    return static_cast<__mmask16>((1u << r) - 1u);
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

bool avx512_supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") &&
           __builtin_cpu_supports("fma");
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
bool avx2_fma_supported() {
    return false;
}
float dot_avx512(const float* taps, const float* x, std::size_t n) {
    return dot_reference(taps, x, n);
}
bool avx512_supported() {
    return false;
}

#endif

}  // namespace kernel

namespace {

struct Kernels {
    float (*dot)(const float*, const float*, std::size_t);
};

// Chosen once, on first use, from what the processor supports.
[[gnu::always_inline]] inline const Kernels& kernels() {
    static const Kernels chosen = kernel::avx512_supported()     ? Kernels{kernel::dot_avx512}
                                  : kernel::avx2_fma_supported() ? Kernels{kernel::dot_avx2_fma}
                                                                 : Kernels{kernel::dot_sse2};
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

}  // namespace filter_buf
