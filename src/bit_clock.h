#pragma once

// BitClock: the bit clock of one slicer with its carrier detect, shared by the
// AFSK and 9600-baud demodulators. The clock is a wrapping 32-bit phase, one
// bit period per 2^32, zero at the expected transition; a bit time is where
// the phase steps from positive to negative. Every zero crossing of the
// slicer's decisions is graded good or bad against the clock and pulls the
// clock towards it; carrier detect follows the grades of the recent bits.
//
// Per sample the owner calls advance(); at a bit time it feeds the bit to its
// HDLC decoder with the correction tally, then calls finish_bit(); last comes
// take_decision() with this sample's decision. Plain data: no allocation, any
// copy is an independent clock.
//
// A demodulator with several slicers keeps their phases side by side in lanes
// and steps them all at once with step_lanes, which also finds the lanes that
// may reach a bit time; reference::step_lanes is the plain form it is checked
// against.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "num.h"
#include "simd_sums.h"

namespace bit_clock {

// A zero crossing within this distance of the clock's zero (an eighth of a bit)
// is good, any other bad.
inline constexpr int32_t GOOD_CROSSING_LIMIT = 0x1FFFFFFF;

// How much of the phase error a crossing leaves, with and without carrier detect.
inline constexpr float INERTIA_CARRIER = 0.74f;
inline constexpr float INERTIA_NO_CARRIER = 0.5f;

// A clocked bit looks like carrier when the eight bit periods up to it held at
// least this many more good crossings than bad ones.
inline constexpr int CARRIER_MARGIN = 2;

// Carrier detect turns on when at least CARRIER_ON_BITS of the last 32 clocked
// bits looked like carrier, and off when CARRIER_OFF_BITS or fewer did.
inline constexpr int CARRIER_ON_BITS = 30;
inline constexpr int CARRIER_OFF_BITS = 6;

// Population counts of all byte values, so that a clocked bit's transition
// balance takes two lookups instead of two bit-counting sequences.
inline constexpr std::array<uint8_t, 256> BYTE_POPCOUNT = [] {
    std::array<uint8_t, 256> t{};
    for (std::size_t i = 0; i < t.size(); ++i)
        t[i] = static_cast<uint8_t>(std::popcount(static_cast<uint8_t>(i)));
    return t;
}();

struct BitClock {
    // Running sum of clock corrections (2^-32 bit periods), wrapping; read and
    // restarted through the slicer's decoder.
    int64_t correction_sum = 0;
    int32_t clock_phase = 0;
    // Bits clocked since the decoder last restarted the tally, wrapping.
    int32_t bit_count = 0;
    // 1 when the slicer's decision was 1 at the previous sample.
    uint32_t last_decision = 0;
    // One bit per clocked bit: 1 when that bit period looked like a carrier.
    uint32_t carrier_history = 0;
    uint8_t good_history = 0;
    uint8_t bad_history = 0;
    uint8_t good_flag = 0;
    uint8_t bad_flag = 0;
    bool carrier_detect = false;

    // Advances the clock by one sample; true when this sample is a bit time
    // (the phase went from positive to negative).
    bool advance_clock(int32_t bit_clock_step) {
        const int32_t previous = clock_phase;
        // Wrapping addition, done in unsigned arithmetic.
        clock_phase = static_cast<int32_t>(static_cast<uint32_t>(previous) +
                                           static_cast<uint32_t>(bit_clock_step));
        return previous > 0 && clock_phase < 0;
    }

    // Bookkeeping after a clocked bit: bit count, transition histories, carrier
    // history and carrier detect. True when the carrier detect changed.
    bool finish_bit() {
        bit_count = static_cast<int32_t>(static_cast<uint32_t>(bit_count) + 1u);
        good_history = static_cast<uint8_t>((good_history << 1) | good_flag);
        bad_history = static_cast<uint8_t>((bad_history << 1) | bad_flag);
        good_flag = 0;
        bad_flag = 0;
        const int balance = BYTE_POPCOUNT[good_history] - BYTE_POPCOUNT[bad_history];
        carrier_history = (carrier_history << 1) | (balance >= CARRIER_MARGIN ? 1u : 0u);
        const int count = std::popcount(carrier_history);
        if (count >= CARRIER_ON_BITS && !carrier_detect) {
            carrier_detect = true;
            return true;
        }
        if (count <= CARRIER_OFF_BITS && carrier_detect) {
            carrier_detect = false;
            return true;
        }
        return false;
    }

    // Takes this sample's decision: a change from the last one is a zero
    // crossing, graded and pulling the clock towards it.
    void take_decision(bool bit) {
        const uint32_t decision = bit ? 1u : 0u;
        if (decision != last_decision) take_crossing();
        last_decision = decision;
    }

private:
    void take_crossing() {
        if (clock_phase >= -GOOD_CROSSING_LIMIT && clock_phase <= GOOD_CROSSING_LIMIT) {
            good_flag = 1;
        } else {
            bad_flag = 1;
        }
        const float inertia = carrier_detect ? INERTIA_CARRIER : INERTIA_NO_CARRIER;
        const int32_t pulled =
            num::saturate_cast<int32_t>(static_cast<float>(clock_phase) * inertia);
        const int64_t correction = static_cast<int64_t>(pulled) - static_cast<int64_t>(clock_phase);
        // A wrapping sum: hours of corrections without a flag stay defined.
        correction_sum = static_cast<int64_t>(static_cast<uint64_t>(correction_sum) +
                                              static_cast<uint64_t>(correction));
        clock_phase = pulled;
    }
};

// Lanes stepped at once by step_lanes.
inline constexpr std::size_t LANES = 12;

// The phase above which a clock stepping by `step` may reach a bit time: with
// a step s >= 0 a phase p does (p > 0 and p + s wraps negative) exactly when
// p > max(0, INT32_MAX - s). For a negative step (never used) only phases of
// INT32_MIN count as quiet, which is still exact.
inline int32_t quiet_phase_limit(int32_t step) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    return step >= 0 ? std::max<int32_t>(0, kMax - step) : std::numeric_limits<int32_t>::min();
}

namespace reference {

// Adds steps[k] to phases[k] (wrapping) for every lane k < LANES; bit k of
// the result is set when phase k was above `limit` before its step.
inline uint32_t step_lanes(int32_t* phases, const int32_t* steps, int32_t limit) {
    uint32_t above = 0;
    for (std::size_t k = 0; k < LANES; ++k) {
        above |= (phases[k] > limit ? 1u : 0u) << k;
        phases[k] = static_cast<int32_t>(static_cast<uint32_t>(phases[k]) +
                                         static_cast<uint32_t>(steps[k]));
    }
    return above;
}

}  // namespace reference

// The same as reference::step_lanes, in vector registers where there are
// some. phases and steps are 16-byte aligned.
inline uint32_t step_lanes(int32_t* phases, const int32_t* steps, int32_t limit) {
#if QUILLMAR_X86
    static_assert(LANES == 12);
    const __m128i lim = _mm_set1_epi32(limit);
    auto* p = reinterpret_cast<__m128i*>(phases);
    const auto* s = reinterpret_cast<const __m128i*>(steps);
    const __m128i p0 = _mm_load_si128(p);
    const __m128i p1 = _mm_load_si128(p + 1);
    const __m128i p2 = _mm_load_si128(p + 2);
    // Wrapping 32-bit additions.
    _mm_store_si128(p, _mm_add_epi32(p0, _mm_load_si128(s)));
    _mm_store_si128(p + 1, _mm_add_epi32(p1, _mm_load_si128(s + 1)));
    _mm_store_si128(p + 2, _mm_add_epi32(p2, _mm_load_si128(s + 2)));
    const auto above = [lim](__m128i v) {
        return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(v, lim))));
    };
    return above(p0) | above(p1) << 4 | above(p2) << 8;
#else
    return reference::step_lanes(phases, steps, limit);
#endif
}

}  // namespace bit_clock
