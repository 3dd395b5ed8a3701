#include "filter_block.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "filter_buf.h"

namespace {

using filter_block::BLOCK;
using filter_block::BlockTaps;
using filter_buf::FilterBuf;
using filter_buf::MAX_FILTER_SIZE;

// Runs `lines` delay lines through pass + add_step the way a demodulator does
// and checks every output against the direct convolution of the same history.
// With small integers for taps and samples every sum is exact, so any wrong
// index or missing term shows as a mismatch.
void check_outputs(std::size_t taps_count, std::size_t lines, std::size_t samples,
                   std::mt19937& rng) {
    std::uniform_int_distribution<int> value(-8, 8);
    std::vector<float> taps(taps_count);
    for (float& t : taps) t = static_cast<float>(value(rng));
    const BlockTaps block(taps);
    std::vector<FilterBuf> bufs(lines);
    std::vector<const float*> newest(lines);
    alignas(16) float parts[BLOCK * filter_block::MAX_LINES] = {};
    std::size_t step = 0;
    for (std::size_t n = 0; n < samples; ++n) {
        ++step;
        for (std::size_t i = 0; i < lines; ++i) {
            const float x = static_cast<float>(value(rng));
            bufs[i].push(x);
            filter_block::add_step(block, step, x, parts + i * BLOCK);
            ASSERT_EQ(parts[i * BLOCK + step - 1], bufs[i].convolve(taps))
                << "taps " << taps_count << " line " << i << " sample " << n;
        }
        if (step == BLOCK) {
            for (std::size_t i = 0; i < lines; ++i) newest[i] = bufs[i].window();
            filter_block::pass(block, newest, std::span(parts, BLOCK * lines));
            for (std::size_t i = 0; i < lines; ++i)
                filter_block::add_step(block, 0, bufs[i].window()[0], parts + i * BLOCK);
            step = 0;
        }
    }
}

TEST(FilterBlock, OutputsEqualDirectConvolution) {
    std::mt19937 rng(3);
    // Tiny sets (fewer taps than a block), block-size boundaries, vector-width
    // boundaries and the largest set; the demodulators' line counts and others.
    for (std::size_t taps :
         {1u, 2u, 3u, 4u, 5u, 6u, 17u, 18u, 19u, 34u, 35u, 73u, 103u, 383u, 478u, 479u}) {
        for (std::size_t lines : {1u, 2u, 4u, 6u, 7u}) {
            check_outputs(taps, lines, MAX_FILTER_SIZE + 3 * BLOCK + 1, rng);
        }
    }
}

// Every kernel agrees with the strict-order reference up to rounding, for every
// length, every alignment of the history and every line count.
TEST(FilterBlock, KernelsMatchReference) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> taps(MAX_FILTER_SIZE - 1);
    for (float& t : taps) t = dist(rng);
    std::vector<FilterBuf> bufs(filter_block::MAX_LINES);
    std::vector<filter_block::kernel::Kernel> kernels = {filter_block::kernel::sse2};
    if (filter_block::kernel::avx2_fma_supported())
        kernels.push_back(filter_block::kernel::avx2_fma);
    if (filter_block::kernel::avx512_supported()) kernels.push_back(filter_block::kernel::avx512);
    for (std::size_t step = 0; step < 2 * MAX_FILTER_SIZE; ++step) {
        for (FilterBuf& b : bufs) b.push(dist(rng));
        const std::size_t n = step % (MAX_FILTER_SIZE - 1) + 1;
        const BlockTaps block(std::span<const float>(taps.data(), n));
        const float* copies[BLOCK];
        for (std::size_t m = 0; m < BLOCK; ++m) copies[m] = block.copy(m + 1);
        const float* xs[filter_block::MAX_LINES];
        for (std::size_t i = 0; i < bufs.size(); ++i) xs[i] = bufs[i].window() + 1;
        const std::size_t len = block.span_length();
        const std::size_t lines = step % filter_block::MAX_LINES + 1;
        float want[BLOCK * filter_block::MAX_LINES];
        filter_block::kernel::reference(copies, xs, lines, len, want);
        for (auto kernel : kernels) {
            float got[BLOCK * filter_block::MAX_LINES];
            kernel(copies, xs, lines, len, got);
            for (std::size_t i = 0; i < lines; ++i) {
                for (std::size_t m = 0; m < BLOCK; ++m) {
                    double magnitude = 0;
                    for (std::size_t j = 0; j < len; ++j)
                        magnitude += std::fabs(copies[m][j] * xs[i][j]);
                    ASSERT_NEAR(got[i * BLOCK + m], want[i * BLOCK + m], magnitude * 1e-6 + 1e-30)
                        << "n " << n << " lines " << lines << " line " << i << " part " << m + 1;
                }
            }
        }
    }
}

}  // namespace
