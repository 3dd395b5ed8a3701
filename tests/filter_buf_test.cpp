#include "filter_buf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using filter_buf::FilterBuf;
using filter_buf::MAX_FILTER_SIZE;

TEST(FilterBuf, PositionsAndNewestFirst) {
    FilterBuf buf;
    std::vector<float> taps(MAX_FILTER_SIZE, 0.0f);
    taps[0] = 2.0f;
    taps[1] = 3.0f;
    EXPECT_EQ(buf.position(), 0u);
    buf.push(5.0f);
    EXPECT_EQ(buf.position(), 479u);
    EXPECT_EQ(buf.convolve(taps), 10.0f);
    EXPECT_EQ(buf.convolve_reference(taps), 10.0f);
    buf.push(7.0f);
    EXPECT_EQ(buf.convolve(std::span<const float>(taps).first(2)), 2.0f * 7 + 3.0f * 5);

    FilterBuf full;
    for (std::size_t i = 0; i < MAX_FILTER_SIZE; ++i) full.push(static_cast<float>(i + 1));
    EXPECT_EQ(full.position(), 0u);
    EXPECT_EQ(full.newest()[0], 480.0f);
    EXPECT_EQ(full.newest()[479], 1.0f);  // the oldest is the first pushed
    full.push(481.0f);
    EXPECT_EQ(full.newest()[0], 481.0f);
    EXPECT_EQ(full.newest()[479], 2.0f);
}

// Every kernel agrees with the strict tap-order sum up to rounding, for every
// length and every write position (so every alignment and tail size).
TEST(FilterBuf, KernelsMatchReference) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> taps(MAX_FILTER_SIZE);
    for (float& t : taps) t = dist(rng);
    std::vector<FilterBuf> lines(1);
    const bool avx2 = filter_buf::kernel::avx2_fma_supported();
    const bool avx512 = filter_buf::kernel::avx512_supported();
    for (std::size_t step = 0; step < 2 * MAX_FILTER_SIZE; ++step) {
        for (FilterBuf& line : lines) line.push(dist(rng));
        const std::size_t n = step % MAX_FILTER_SIZE + 1;
        const std::span<const float> t(taps.data(), n);
        const float* x = lines[0].newest();
        double magnitude = 0;
        for (std::size_t k = 0; k < n; ++k) magnitude += std::fabs(taps[k] * x[k]);
        const double tolerance = magnitude * 1e-6;
        const float want = filter_buf::kernel::dot_reference(t.data(), x, n);
        ASSERT_NEAR(filter_buf::kernel::dot_sse2(t.data(), x, n), want, tolerance) << n;
        if (avx2) {
            ASSERT_NEAR(filter_buf::kernel::dot_avx2_fma(t.data(), x, n), want, tolerance);
        }
        if (avx512) {
            ASSERT_NEAR(filter_buf::kernel::dot_avx512(t.data(), x, n), want, tolerance);
        }
        ASSERT_NEAR(lines[0].convolve(t), want, tolerance);
    }
}

}  // namespace
