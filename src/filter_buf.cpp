#include "filter_buf.h"

#include <algorithm>
#include <cstdint>

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

// M lines at a time, eight taps per step, the tail read through a lane mask so
// nothing past n is touched.
template <std::size_t M>
__attribute__((target("avx2,fma"))) inline void dot_group_avx2(const float* taps,
                                                               const float* const* xs,
                                                               std::size_t n, float* out) {
    __m256 acc[M];
    for (std::size_t m = 0; m < M; ++m) acc[m] = _mm256_setzero_ps();
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256 t = _mm256_loadu_ps(taps + k);
        for (std::size_t m = 0; m < M; ++m)
            acc[m] = _mm256_fmadd_ps(t, _mm256_loadu_ps(xs[m] + k), acc[m]);
    }
    if (k < n) {
        const __m256i mask = tail_mask(n - k);
        const __m256 t = _mm256_maskload_ps(taps + k, mask);
        for (std::size_t m = 0; m < M; ++m)
            acc[m] = _mm256_fmadd_ps(t, _mm256_maskload_ps(xs[m] + k, mask), acc[m]);
    }
    for (std::size_t m = 0; m < M; ++m) out[m] = horizontal_sum256(acc[m]);
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
    for (; i + 4 <= lines; i += 4) dot_group_avx2<4>(taps, xs + i, n, out + i);
    for (; i + 2 <= lines; i += 2) dot_group_avx2<2>(taps, xs + i, n, out + i);
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
void dot_lines_avx2_fma(const float* taps, const float* const* xs, std::size_t lines,
                        std::size_t n, float* out) {
    dot_lines_sse2(taps, xs, lines, n, out);
}
bool avx2_fma_supported() { return false; }

#endif

}  // namespace kernel

namespace {

struct Kernels {
    float (*dot)(const float*, const float*, std::size_t);
    void (*dot_lines)(const float*, const float* const*, std::size_t, std::size_t, float*);
};

// Chosen once, on first use, from what the processor supports.
const Kernels& kernels() {
    static const Kernels chosen = kernel::avx2_fma_supported()
                                      ? Kernels{kernel::dot_avx2_fma, kernel::dot_lines_avx2_fma}
                                      : Kernels{kernel::dot_sse2, kernel::dot_lines_sse2};
    return chosen;
}

}  // namespace

float FilterBuf::convolve(std::span<const float> taps) const {
    return kernels().dot(taps.data(), newest(), std::min(taps.size(), MAX_FILTER_SIZE));
}

float FilterBuf::convolve_reference(std::span<const float> taps) const {
    return kernel::dot_reference(taps.data(), newest(), std::min(taps.size(), MAX_FILTER_SIZE));
}

void convolve_lines(std::span<const float> taps, std::span<const FilterBuf* const> lines,
                    std::span<float> out) {
    constexpr std::size_t kMaxLines = 16;
    const float* xs[kMaxLines];
    const std::size_t n = std::min(taps.size(), MAX_FILTER_SIZE);
    std::size_t done = 0;
    const std::size_t count = std::min(lines.size(), out.size());
    while (done < count) {
        const std::size_t batch = std::min(count - done, kMaxLines);
        for (std::size_t i = 0; i < batch; ++i) xs[i] = lines[done + i]->newest();
        kernels().dot_lines(taps.data(), xs, batch, n, out.data() + done);
        done += batch;
    }
}

}  // namespace filter_buf
