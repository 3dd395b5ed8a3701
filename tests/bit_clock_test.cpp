#include "bit_clock.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <random>

namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// Phases at and around the edges of the quiet range of each step, and random ones.
std::array<int32_t, bit_clock::LANES> lane_phases(int32_t step, std::mt19937& rng) {
    const int32_t limit = bit_clock::quiet_phase_limit(step);
    std::uniform_int_distribution<int32_t> any(kMin, kMax);
    std::array<int32_t, bit_clock::LANES> p{};
    const int32_t edges[] = {limit, limit == kMax ? limit : limit + 1,
                             limit == kMin ? limit : limit - 1, 0, 1, -1, kMax, kMin};
    for (std::size_t k = 0; k < p.size(); ++k) p[k] = k < std::size(edges) ? edges[k] : any(rng);
    return p;
}

TEST(BitClockLanes, FastStepMatchesPlainAndFindsEveryBitTime) {
    std::mt19937 rng(5);
    const int32_t steps[] = {0, 1, 97391549, 467669715, kMax, kMax - 1, -5, kMin};
    for (int32_t step : steps) {
        SCOPED_TRACE(step);
        const int32_t limit = bit_clock::quiet_phase_limit(step);
        for (int round = 0; round < 50; ++round) {
            alignas(16) std::array<int32_t, bit_clock::LANES> fast = lane_phases(step, rng);
            alignas(16) std::array<int32_t, bit_clock::LANES> plain = fast;
            alignas(16) std::array<int32_t, bit_clock::LANES> lane_steps{};
            lane_steps.fill(step);
            lane_steps[11] = 0;  // an unused lane stands still
            const auto before = fast;
            const uint32_t above = bit_clock::step_lanes(fast.data(), lane_steps.data(), limit);
            EXPECT_EQ(above, bit_clock::reference::step_lanes(plain.data(), lane_steps.data(), limit));
            EXPECT_EQ(fast, plain);
            for (std::size_t k = 0; k < bit_clock::LANES; ++k) {
                bit_clock::BitClock clock;
                clock.clock_phase = before[k];
                const bool bit_time = clock.advance_clock(lane_steps[k]);
                EXPECT_EQ(clock.clock_phase, fast[k]) << k;
                // A lane left quiet never reaches a bit time with the clock's own step.
                if (lane_steps[k] == step && bit_time) {
                    EXPECT_TRUE((above >> k) & 1u) << k;
                }
            }
        }
    }
    // The limit is exact: the first phase above it reaches a bit time.
    for (int32_t step : {1, 97391549, kMax}) {
        bit_clock::BitClock clock;
        clock.clock_phase = bit_clock::quiet_phase_limit(step) + 1;
        EXPECT_TRUE(clock.advance_clock(step)) << step;
    }
}

}  // namespace
