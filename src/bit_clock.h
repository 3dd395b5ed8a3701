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

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "num.h"

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

}  // namespace bit_clock
