#pragma once

// The one failure of frame modulation: without a sample rate or a baud there is
// no bit timing to modulate by.

#include "result.h"

namespace tx {

struct TxError : Error {
    TxError() : Error{"sample rate must be non-zero"} {}
};

}  // namespace tx
