#include "filter_buf.h"

#include <gtest/gtest.h>

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

}  // namespace
