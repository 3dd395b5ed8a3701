#pragma once

// Conversions that never reach undefined behaviour: float-to-integer casts
// saturate at the target's range and map NaN to 0; rounding helpers follow the
// same rule.

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>

namespace num {

// Truncates toward zero, saturating at the limits of I; NaN gives 0.
template <std::integral I, std::floating_point F>
constexpr I saturate_cast(F x) {
    if (std::isnan(x)) return 0;
    constexpr F lo = static_cast<F>(std::numeric_limits<I>::min());
    // The largest value of I may not be representable in F (e.g. INT64_MAX in
    // double rounds up to 2^63), so compare against the first value above it.
    constexpr F hi_exclusive =
        static_cast<F>(std::numeric_limits<I>::max() / 2 + 1) * static_cast<F>(2);
    if (x <= lo) return std::numeric_limits<I>::min();
    if (x >= hi_exclusive) return std::numeric_limits<I>::max();
    return static_cast<I>(x);
}

// Rounds to nearest with halves away from zero, then saturates; NaN gives 0.
template <std::integral I, std::floating_point F>
I round_saturate(F x) {
    return saturate_cast<I>(std::round(x));
}

// Adds two unsigned 64-bit counts, stopping at the largest value.
constexpr uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<uint64_t>::max() : sum;
}

}  // namespace num
