#include "num.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(Num, SaturateCastClampsAndMapsNanToZero) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(num::saturate_cast<int16_t>(40000.0f), 32767);
    EXPECT_EQ(num::saturate_cast<int16_t>(-40000.0f), -32768);
    EXPECT_EQ(num::saturate_cast<int16_t>(-1.9f), -1);
    EXPECT_EQ(num::saturate_cast<int16_t>(std::nanf("")), 0);
    EXPECT_EQ(num::saturate_cast<int32_t>(inf), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(num::saturate_cast<int32_t>(2147483648.0f), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(num::saturate_cast<int64_t>(9.3e18), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(num::saturate_cast<uint32_t>(-5.0), 0u);
    EXPECT_EQ(num::saturate_cast<uint64_t>(-inf), 0u);
    EXPECT_EQ(num::round_saturate<int32_t>(2.5), 3);
    EXPECT_EQ(num::round_saturate<int32_t>(-2.5), -3);
}

TEST(Num, SaturatingAddStopsAtMax) {
    constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(num::saturating_add(max - 1, 5), max);
    EXPECT_EQ(num::saturating_add(2, 3), 5u);
}
