#pragma once

// QUILLMAR_X86: set when compiling for x86 with SSE2, where the vector code of
// the filters and slicers is used (with plain loops standing in elsewhere). On
// x86, also the lane sums and tail masks the vector kernels share.

#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
#define QUILLMAR_X86 1
#endif

#if QUILLMAR_X86

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace simd_sums {

inline float horizontal_sum(__m128 v) {
    const __m128 high = _mm_movehl_ps(v, v);
    const __m128 pair = _mm_add_ps(v, high);
    return _mm_cvtss_f32(_mm_add_ss(pair, _mm_shuffle_ps(pair, pair, 0x55)));
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

}  // namespace simd_sums

#endif
