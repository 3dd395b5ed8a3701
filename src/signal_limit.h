#pragma once

// The size bound shared by every generator of transmit audio: a signal may last
// at most 300 seconds at its sample rate. Generators compute the length of their
// result first and refuse anything longer, so no request can make the modem
// allocate without bound.

#include <cstdint>

#include "result.h"

namespace signal_limit {

// Longest signal, in seconds, that any generator builds.
inline constexpr uint64_t kMaxSeconds = 300;

// The largest number of samples a signal at sample_rate may have.
constexpr uint64_t max_samples(uint32_t sample_rate) {
    return kMaxSeconds * static_cast<uint64_t>(sample_rate);
}

// Success when `samples` fits the limit at sample_rate, else the error
// "signal too long: {samples} samples exceeds the limit of {max}".
Status check(uint64_t samples, uint32_t sample_rate);

// a x b, stopping at the largest 64-bit value instead of wrapping. Lengths are
// computed with it so that an absurd request still yields a length to refuse.
constexpr uint64_t saturating_mul(uint64_t a, uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

}  // namespace signal_limit
