#pragma once

// The bit-clock and carrier-detect thresholds shared by the AFSK and 9600-baud
// demodulators. Each grades every zero crossing of its decisions against its
// bit clock (a wrapping 32-bit phase, one bit period per 2^32, zero at the
// expected transition), pulls the clock towards the crossing, and decides
// carrier from the grades of the recent bits.

#include <cstdint>

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

}  // namespace bit_clock
