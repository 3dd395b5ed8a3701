#pragma once

// The audio of one transmitted frame: HDLC framing with preamble and postamble
// flags, then AFSK at the output device's sample rate. A pure computation.

#include <cstdint>
#include <span>
#include <vector>

#include "result.h"
#include "tx/tx_error.h"

namespace tx {

// Flags (8 bit periods each) that cover `ms` milliseconds at baud, rounded up;
// 0 when baud is 0.
uint64_t flag_count(uint32_t baud, uint32_t ms);

// Samples of `data` sent as one frame: flags covering txdelay_ms before it and
// txtail_ms after it, mark_hz for level 1 and space_hz for level 0. Fails with
// TxError when sample_rate or baud is 0, and with "signal too long: {} samples
// exceeds the limit of {}" when the audio would last more than 300 seconds, or
// with "signal too long: {} bits exceeds the limit of {}" when the frame has
// more bits than 300 seconds have samples (a baud above the sample rate); both
// are checked before anything is built.
Result<std::vector<int16_t>> build_samples(std::span<const uint8_t> data, uint32_t txdelay_ms,
                                           uint32_t txtail_ms, uint32_t sample_rate, uint32_t baud,
                                           uint32_t mark_hz, uint32_t space_hz);

}  // namespace tx
